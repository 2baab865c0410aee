// morrowfen.url as the package's compiled modules see it.
#pragma once

#include <Python.h>

#include "../runtime/ref.h"

namespace mf::url {

inline constexpr const char* module_name = "morrowfen.url";

struct URL;

struct URLVTable {
  // This URL with a relative URL resolved against it (a new URL).
  PyObject* (*join)(URL* self, URL* other);
};

struct URL {
  PyObject_HEAD
  const URLVTable* vtab;
  Ref value;  // bytes, as given
  Ref path;   // bytes
  Ref query;  // bytes (without "?"), empty when there is none
  int is_absolute;
};

}  // namespace mf::url
