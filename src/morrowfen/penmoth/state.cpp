// The process state of morrowfen.penmoth and the helpers every operation
// shares. These live in the implementation library (not the module), so
// that the serving layer's native module uses the same tables and bound
// types that the module's start-up made.
#include "../runtime/errors.h"
#include "penmoth.h"

namespace mf::penmoth {

namespace {
constinit ProcessState<PenmothState> penmoth_state;
}  // namespace
constinit PenmothState& state = *penmoth_state;

Ref lookup_global(PyObject* name) noexcept {
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(state.globals, name, &value) != 0) return Ref::steal(value);
  if (PyDict_GetItemRef(state.builtins, name, &value) != 0) return Ref::steal(value);
  if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return {};
}

Content* content_of(PyObject* content) noexcept {
  auto* type = state.Content.as<PyTypeObject>();
  if (PyObject_TypeCheck(content, type)) return reinterpret_cast<Content*>(content);
  PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(content)->tp_name, type->tp_name);
  return nullptr;
}

PyObject* refuse_none(const char* param, const Ref& expected) noexcept {
  return argument_type_error(param, expected.as<PyTypeObject>(), Py_None);
}

}  // namespace mf::penmoth
