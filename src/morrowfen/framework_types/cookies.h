// morrowfen.cookies as the package's compiled modules see it.
#pragma once

#include <Python.h>
#include <datetime.h>

#include <cstdint>

#include "../runtime/ref.h"

namespace mf::cookies {

inline constexpr const char* module_name = "morrowfen.cookies";

struct Cookie;

struct CookieVTable {
  PyObject* (*clone)(Cookie* self);  // a new Cookie with the same fields
};

struct Cookie {
  PyObject_HEAD
  const CookieVTable* vtab;
  Ref name;       // str
  Ref value;      // str
  Ref expires;    // datetime or None
  Ref domain;     // str or None
  Ref path;       // str or None
  int http_only;  // bool
  int secure;     // bool
  std::int64_t max_age;  // -1: not set
  Ref same_site;  // str or None
};

// C functions exported through __pyx_capi__.
using datetime_to_cookie_format_fn = PyObject*(PyDateTime_DateTime* value, int flag);
inline constexpr const char* datetime_to_cookie_format_sig = "PyObject *(PyDateTime_DateTime *, int)";

using write_cookie_for_response_fn = PyObject*(Cookie* cookie);
inline constexpr const char* write_cookie_for_response_sig = "PyObject *(struct morrowfen_Cookie *)";

using parse_cookie_fn = Cookie*(PyObject* value, int flag);
inline constexpr const char* parse_cookie_sig = "struct morrowfen_Cookie *(PyObject *, int)";

}  // namespace mf::cookies
