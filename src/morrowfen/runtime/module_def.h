// The definition of a sibling module of the package, and the end of its
// start-up: the types it adds to its namespace with their C-level tables, and
// the C functions it exports.
//
//   int exec(PyObject* module) {
//     if (mf::create_constants() < 0 || ready_types() < 0) return -1;
//     return mf::publish(module, {{&URLType, &url_vtable}});
//   }
//   mf::ModuleDef module_def{"morrowfen.url", "URL parsing and resolution.", exec};
//   PyMODINIT_FUNC PyInit_url() { return module_def.init(); }
#pragma once

#include <Python.h>

#include <initializer_list>
#include <type_traits>

#include "capi.h"
#include "ref.h"
#include "types.h"

namespace mf {

// A module with one exec slot, loaded into one interpreter per process (its
// state lives in process-wide holders). A namespace-scope object: the
// interpreter keeps the definition's address.
class ModuleDef {
 public:
  ModuleDef(const char* name, const char* doc, int (*exec)(PyObject* module), PyMethodDef* methods = nullptr) noexcept
      : slots_{{Py_mod_exec, reinterpret_cast<void*>(exec)},
               {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
               {0, nullptr}},
        def_{PyModuleDef_HEAD_INIT, name, doc, 0, methods, slots_, nullptr, nullptr, nullptr} {}
  ModuleDef(const ModuleDef&) = delete;
  ModuleDef& operator=(const ModuleDef&) = delete;

  // The result of the module's PyInit function.
  PyObject* init() noexcept { return PyModuleDef_Init(&def_); }

 private:
  PyModuleDef_Slot slots_[3];
  PyModuleDef def_;
};

// A type the module adds to its namespace under its short name, and the
// C-level table it exports as __pyx_vtable__ (nullptr: none).
struct PublicType {
  PyTypeObject* type;
  const void* vtable = nullptr;
};

// A C function the module exports in __pyx_capi__, of the type `F` the
// interface declares (given, not deduced: the function must have it).
struct Export {
  template <class F>
  static Export function(const char* name, std::type_identity_t<F>* function, const char* signature) noexcept {
    return {name, reinterpret_cast<void*>(function), signature};
  }
  const char* name;
  void* address;
  const char* signature;
};

// Adds one type and exports its table.
inline int publish_type(Handle module, const PublicType& t) noexcept {
  if (add_type(module, t.type) < 0) return -1;
  return t.vtable ? export_vtable(t.type, t.vtable) : 0;
}

// Adds the types and exports their tables, then exports the functions (the
// module gets a __pyx_capi__ only when it exports some), in order.
inline int publish(Handle module, std::initializer_list<PublicType> types,
                   std::initializer_list<Export> functions = {}) noexcept {
  for (const PublicType& t : types)
    if (publish_type(module, t) < 0) return -1;
  if (functions.size() == 0) return 0;
  PyObject* capi = capi_dict(module);
  if (!capi) return -1;
  for (const Export& f : functions)
    if (export_item(capi, f.name, f.address, f.signature) < 0) return -1;
  return 0;
}

}  // namespace mf
