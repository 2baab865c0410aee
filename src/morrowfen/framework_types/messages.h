// morrowfen.messages as the package's compiled modules see it.
#pragma once

#include <Python.h>

#include "../runtime/ref.h"

namespace mf::messages {

inline constexpr const char* module_name = "morrowfen.messages";

struct Message;
struct Request;

// C-level methods of Message, in table order; Request and Response start
// their tables with these. Methods returning int give -1 on error (and 0/1
// for tests); _add_header reports failure only by a pending exception.
struct MessageVTable {
  PyObject* (*get_headers)(Message* self, PyObject* name);           // list of bytes
  PyObject* (*get_first_header)(Message* self, PyObject* name);      // bytes or None
  PyObject* (*get_single_header)(Message* self, PyObject* name);     // bytes; error unless exactly one
  int (*remove_header)(Message* self, PyObject* name);
  int (*_has_header)(Message* self, PyObject* name);
  int (*has_header)(Message* self, PyObject* name);
  void (*_add_header)(Message* self, PyObject* name, PyObject* value);
  int (*_add_header_if_missing)(Message* self, PyObject* name, PyObject* value);
  int (*add_header)(Message* self, PyObject* name, PyObject* value);
  int (*set_header)(Message* self, PyObject* name, PyObject* value);
  PyObject* (*content_type)(Message* self);                          // bytes or None
  int (*remove_headers)(Message* self, PyObject* names);             // an iterable of names
  PyObject* (*get_headers_tuples)(Message* self, PyObject* name);    // list of (name, value)
  int (*init_prop)(Message* self);
  PyObject* (*with_content)(Message* self, PyObject* content);       // the message itself
  int (*has_body)(Message* self);
  int (*declares_content_type)(Message* self, PyObject* type);
  int (*declares_json)(Message* self);
  int (*declares_xml)(Message* self);
};

struct Message {
  PyObject_HEAD
  const MessageVTable* vtab;
  Ref raw_headers;  // "_raw_headers": list of (bytes, bytes) tuples, or None
  Ref content;      // Content or None
};

using RequestVTable = MessageVTable;
using ResponseVTable = MessageVTable;

struct Request {
  Message base;
  Ref method;   // str or None
  Ref url;      // URL
  Ref query;    // parsed query (dict of lists), computed on demand; None until then
  Ref cookies;  // parsed cookies (dict), computed on demand; None until then
  Ref scope;    // the server scope, or None
};

struct Response {
  Message base;
  int status;
};

// C functions exported through __pyx_capi__.
using acquire_request_fn = Request*(PyObject* method, PyObject* path, PyObject* query, PyObject* headers,
                                    PyObject* scope, int flag);
inline constexpr const char* acquire_request_sig =
    "struct morrowfen_Request *(PyObject *, PyObject *, PyObject *, PyObject *, PyObject *, int)";

using release_request_fn = void(Request* request, int flag);
inline constexpr const char* release_request_sig = "void (struct morrowfen_Request *, int)";

}  // namespace mf::messages
