// Helpers for the extension types that the package's modules define.
#pragma once

#include <Python.h>

#include <optional>

#include "ref.h"

namespace mf {

// A zeroed static type object with the header of an immortal object; fill
// in its slots, then PyType_Ready it.
PyTypeObject static_type() noexcept;

// Setter body for a text attribute such as __name__ or __qualname__: the
// value must be a str; `what` names the attribute in the error.
int set_text_attribute(Ref& slot, Handle value, const char* what) noexcept;

// A C function of any signature as a method table's PyCFunction (its flags
// tell the interpreter how to call it: METH_FASTCALL, METH_FASTCALL |
// METH_KEYWORDS).
template <class F>
inline PyCFunction as_cfunction(F* f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Readies `type` and adds it to `module` under its short name.
int add_type(Handle module, PyTypeObject* type) noexcept;

// For a C-level method that Python code may override in a subclass: when the
// attribute `name` of `self` is something else than the native method
// implemented by `native`, returns that attribute (bound), which the caller
// calls instead. std::nullopt: no override; an empty Ref: an error is set.
// Instances of the package's own (static) types never pay for the lookup.
std::optional<Ref> python_override(Handle self, Handle name, PyCFunction native) noexcept;

}  // namespace mf
