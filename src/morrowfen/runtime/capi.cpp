#include "capi.h"

#include "constants.h"

namespace mf {
namespace {

const Str k_pyx_vtable{"__pyx_vtable__"};

}  // namespace

PyObject* capi_dict(Handle module) noexcept {
  PyObject* ns = PyModule_GetDict(module.get());  // borrowed
  if (!ns) return nullptr;
  PyObject* capi = nullptr;
  if (PyDict_GetItemStringRef(ns, "__pyx_capi__", &capi) < 0) return nullptr;
  if (capi) {
    Ref owned = Ref::steal(capi);
    return owned.get();  // still held by the namespace
  }
  Ref fresh = Ref::steal(PyDict_New());
  if (!fresh || PyDict_SetItemString(ns, "__pyx_capi__", fresh.get()) < 0) return nullptr;
  return fresh.get();
}

int export_item(Handle capi, const char* name, void* address, const char* signature) noexcept {
  Ref capsule = Ref::steal(PyCapsule_New(address, signature, nullptr));
  if (!capsule) return -1;
  return PyDict_SetItemString(capi.get(), name, capsule.get());
}

int export_vtable(PyTypeObject* type, const void* table) noexcept {
  Ref capsule = Ref::steal(PyCapsule_New(const_cast<void*>(table), nullptr, nullptr));
  if (!capsule) return -1;
  Ref ns = Ref::steal(PyType_GetDict(type));
  if (!ns || PyDict_SetItemString(ns.get(), "__pyx_vtable__", capsule.get()) < 0) return -1;
  PyType_Modified(type);
  return 0;
}

Ref import_type(Handle module, const char* module_name, const char* type_name, std::size_t expected_size) noexcept {
  Ref obj = Ref::steal(PyObject_GetAttrString(module.get(), type_name));
  if (!obj) return {};
  if (!PyType_Check(obj.get())) {
    PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, type_name);
    return {};
  }
  auto* type = obj.as<PyTypeObject>();
  Py_ssize_t basic = type->tp_basicsize;
  Py_ssize_t item = type->tp_itemsize;
  if (item && item < 8) item = 8;  // a variable part counts as at least one word
  auto expected = static_cast<Py_ssize_t>(expected_size);
  if (basic + item < expected) {
    PyErr_Format(PyExc_ValueError,
                 "%.200s.%.200s size changed, may indicate binary incompatibility. "
                 "Expected %zd from C header, got %zd from PyObject",
                 module_name, type_name, expected, basic + item);
    return {};
  }
  if (basic > expected) {
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 0,
                         "%s.%s size changed, may indicate binary incompatibility. "
                         "Expected %zd from C header, got %zd from PyObject",
                         module_name, type_name, expected, basic) < 0)
      return {};
  }
  return obj;
}

const void* imported_vtable(PyTypeObject* type) noexcept {
  Ref ns = Ref::steal(PyType_GetDict(type));
  if (!ns) return nullptr;
  Ref capsule = Ref::steal(PyObject_GetItem(ns.get(), k_pyx_vtable));
  if (!capsule) return nullptr;
  void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
  if (!table && !PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
  return table;
}

void* import_item(Handle module, const char* name, const char* signature) noexcept {
  Ref capi = Ref::steal(PyObject_GetAttrString(module.get(), "__pyx_capi__"));
  if (!capi) return nullptr;
  // The name is held: looking the item up may run code that renames the module.
  Ref name_object = Ref::steal(PyModule_GetNameObject(module.get()));
  const char* module_name = name_object ? PyUnicode_AsUTF8(name_object.get()) : nullptr;
  if (!module_name) return nullptr;
  PyObject* capsule = nullptr;
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key) return nullptr;
  if (PyMapping_GetOptionalItem(capi.get(), key.get(), &capsule) < 0) return nullptr;
  Ref held = Ref::steal(capsule);
  if (!held) {
    PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s", module_name, "function", name);
    return nullptr;
  }
  if (!PyCapsule_IsValid(held.get(), signature)) {
    const char* got = PyCapsule_CheckExact(held.get()) ? PyCapsule_GetName(held.get()) : Py_TYPE(held.get())->tp_name;
    PyErr_Format(PyExc_TypeError, "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)", "function",
                 module_name, name, signature, got ? got : "NULL");
    return nullptr;
  }
  return PyCapsule_GetPointer(held.get(), signature);
}

int claim_interpreter(std::int64_t& recorded) noexcept {
  std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return -1;
  if (recorded == -1) {
    recorded = current;
  } else if (recorded != current) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return -1;
  }
  return 0;
}

}  // namespace mf
