// morrowfen.headers as the package's compiled modules see it.
#pragma once

#include <Python.h>

#include "../runtime/ref.h"

namespace mf::headers {

inline constexpr const char* module_name = "morrowfen.headers";

struct Header {
  PyObject_HEAD
  Ref name;   // bytes
  Ref value;  // bytes
};

struct Headers;

// C-level methods of Headers, in declaration order. Names match without
// regard to ASCII letter case.
struct HeadersVTable {
  PyObject* (*get)(Headers* self, PyObject* name);        // tuple of values
  PyObject* (*get_first)(Headers* self, PyObject* name);  // bytes or None
  int (*add)(Headers* self, PyObject* name, PyObject* value);
  int (*set)(Headers* self, PyObject* name, PyObject* value);
  int (*remove)(Headers* self, PyObject* name);
};

struct Headers {
  PyObject_HEAD
  const HeadersVTable* vtab;
  Ref values;  // list of (bytes, bytes) tuples
};

}  // namespace mf::headers
