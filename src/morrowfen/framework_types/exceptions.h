// morrowfen.exceptions as the package's compiled modules see it.
#pragma once

#include <Python.h>

#include "../runtime/ref.h"

namespace mf::exceptions {

inline constexpr const char* module_name = "morrowfen.exceptions";

// Every exception class of the module uses this layout; HTTPException and
// its subclasses fill status and message.
struct Exception {
  PyBaseExceptionObject base;
  int status;
  Ref message;  // str
};

}  // namespace mf::exceptions
