#include "errors.h"

#include "ref.h"

// Exported by the interpreter, declared in its internal headers only.
extern "C" void _PyTraceback_Add(const char* funcname, const char* filename, int lineno);

namespace mf {

void add_traceback(const char* function, const char* file, int line) noexcept {
  _PyTraceback_Add(function, file, line);
}

PyObject* expected_type_error(const char* what, Handle got) noexcept {
  PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", what, Py_TYPE(got.get())->tp_name);
  return nullptr;
}

PyObject* argument_type_error(const char* name, PyTypeObject* expected, Handle got) noexcept {
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
               expected->tp_name, Py_TYPE(got.get())->tp_name);
  return nullptr;
}

PyObject* not_awaitable_error(Handle obj) noexcept {
  PyErr_Format(PyExc_TypeError, "object %.200s can't be used in 'await' expression", Py_TYPE(obj.get())->tp_name);
  return nullptr;
}

PyObject* raise_from_cause(PyObject* type, const char* msg) noexcept {
  Ref cause = Ref::steal(PyErr_GetRaisedException());
  PyErr_SetString(type, msg);
  Ref error = Ref::steal(PyErr_GetRaisedException());
  if (cause) {
    PyException_SetCause(error.get(), cause.copy().release());  // steals
    PyException_SetContext(error.get(), cause.release());       // steals
  }
  PyErr_SetRaisedException(error.release());
  return nullptr;
}

}  // namespace mf
