#include "types.h"

#include <cstring>

namespace mf {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject static_type() noexcept {
  PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
  return t;
}
#pragma GCC diagnostic pop

int set_text_attribute(Ref& slot, Handle value, const char* what) noexcept {
  if (!value || !PyUnicode_Check(value.get())) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  slot = value.ref();
  return 0;
}

int add_type(Handle module, PyTypeObject* type) noexcept {
  if (PyType_Ready(type) < 0) return -1;
  const char* dot = std::strrchr(type->tp_name, '.');
  return PyModule_AddObjectRef(module.get(), dot ? dot + 1 : type->tp_name, reinterpret_cast<PyObject*>(type));
}

std::optional<Ref> python_override(Handle self, Handle name, PyCFunction native) noexcept {
  PyTypeObject* type = Py_TYPE(self.get());
  // Only classes defined in Python (heap types) can replace a native method:
  // the package's own types have no instance __dict__.
  if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return std::nullopt;
  Ref attr = Ref::steal(PyObject_GetAttr(self.get(), name.get()));
  if (!attr) return Ref();
  if (PyCFunction_Check(attr.get()) && PyCFunction_GET_FUNCTION(attr.get()) == native) return std::nullopt;
  return attr;
}

}  // namespace mf
