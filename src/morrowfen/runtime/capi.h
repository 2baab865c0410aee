// The C-level interface between the package's compiled modules.
//
// A module exports functions and variables as capsules in its `__pyx_capi__`
// dict; each capsule is named by the C type of the item written out as text,
// and an importer compares that text exactly. A type with C-level methods
// exports its method table as an unnamed capsule under `__pyx_vtable__` in
// its own namespace. Both sides use these helpers, with the texts declared
// once in the framework_types headers.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "ref.h"

namespace mf {

// --- exporting ------------------------------------------------------------

// The module's `__pyx_capi__` dict, created when the module has none yet.
// Borrowed from the module namespace; nullptr with an exception on failure.
PyObject* capi_dict(Handle module) noexcept;

// Stores a capsule holding `address` named `signature` under `name`.
int export_item(Handle capi, const char* name, void* address, const char* signature) noexcept;

// Stores the unnamed capsule of `table` as `__pyx_vtable__` in the type's
// namespace. Call after PyType_Ready.
int export_vtable(PyTypeObject* type, const void* table) noexcept;

// --- importing ------------------------------------------------------------

// The attribute `type_name` of `module` (named `module_name` in the texts),
// which must be a type whose instance size fits `expected_size`; empty with
// an exception set when it is not.
Ref import_type(Handle module, const char* module_name, const char* type_name, std::size_t expected_size) noexcept;

// The method table a type exports under `__pyx_vtable__` (after the module's
// start-up has made its constants).
const void* imported_vtable(PyTypeObject* type) noexcept;

// Reads the address of C function `name` from the module's `__pyx_capi__`,
// checking that its capsule carries exactly `signature`.
void* import_item(Handle module, const char* name, const char* signature) noexcept;

template <class F>
int import_function(Handle module, const char* name, const char* signature, F*& out) noexcept {
  void* p = import_item(module, name, signature);
  if (!p) return -1;
  out = reinterpret_cast<F*>(p);
  return 0;
}

// --- one interpreter per process -----------------------------------------

// Records the running interpreter the first time; fails with ImportError when
// a module is later created in another interpreter. `recorded` starts at -1.
int claim_interpreter(std::int64_t& recorded) noexcept;

}  // namespace mf
