// Declarative constructor parameters for the package's extension types.
//
// A type lists the parameters of its constructor once, in an InitParam
// table, and binds the call against it from tp_init (tuple and dict) or from
// a tp_vectorcall (argument vector and keyword names). Both bind exactly as
// PyArg_ParseTupleAndKeywords binds a format of "O" items ("OO|O:Name"), with
// its texts for every misuse, so replacing such a call keeps what callers
// see. The same table gives the type a tp_doc that carries the signature, so
// that inspect.signature(Type) works.
//
//   constexpr mf::InitParam k_response_params[] = {
//       {"status"},
//       {"headers", &mf::none_default, false},
//       {"content", nullptr, false},  // absent: nullptr
//   };
//   int response_init(PyObject* self, PyObject* args, PyObject* kwds) {
//     PyObject* bound[3];
//     if (mf::bind_init("Response", k_response_params, args, kwds, bound) < 0) return -1;
//     ...  // bound[i]: borrowed from the call (or the default), in table order
//   }
//   t.tp_doc = mf::init_doc("Response", k_response_params, "An HTTP response.");
//
// Required parameters come first; positional-only ones (positional_only)
// lead the table. Keyword-only parameters are not supported.
#pragma once

#include <Python.h>

#include <cstddef>

#include "ref.h"

namespace mf {

struct InitParam {
  const char* name;
  // The value an omitted optional parameter binds to, read at each call (so
  // it may point at a variable filled at module start-up); nullptr: an
  // omitted parameter binds to nullptr.
  PyObject* const* default_ = nullptr;
  bool required = true;
  // Only by position; such parameters lead the table.
  bool positional_only = false;
};

// None or False as a default: `{"headers", &mf::none_default, false}`. A
// default the module makes at start-up is read from its state:
// `{"dumps", state.json_dumps.slot(), false}`.
inline PyObject* const none_default = Py_None;
inline PyObject* const false_default = Py_False;

// Binds a tp_init call (`args` a tuple, `kwds` a dict or nullptr) into
// `bound[0..n)` in table order: each entry borrowed from the call or its
// default. `type_name` is the name used in the texts, as after the ':' of a
// PyArg format; nullptr gives the texts of a format without a name. Returns
// 0, or -1 with TypeError set.
int bind_init(const char* type_name, const InitParam* params, std::size_t n, PyObject* args, PyObject* kwds,
              PyObject** bound) noexcept;

// The same for a vectorcall: `args[0..nargs)` positional, then one value per
// name in `kwnames` (a tuple of str, or nullptr).
int bind_init_vector(const char* type_name, const InitParam* params, std::size_t n, PyObject* const* args,
                     std::size_t nargsf, PyObject* kwnames, PyObject** bound) noexcept;

template <std::size_t N>
int bind_init(const char* type_name, const InitParam (&params)[N], PyObject* args, PyObject* kwds,
              PyObject* (&bound)[N]) noexcept {
  return bind_init(type_name, params, N, args, kwds, bound);
}

template <std::size_t N>
int bind_init_vector(const char* type_name, const InitParam (&params)[N], PyObject* const* args, std::size_t nargsf,
                     PyObject* kwnames, PyObject* (&bound)[N]) noexcept {
  return bind_init_vector(type_name, params, N, args, nargsf, kwnames, bound);
}

// A tp_doc carrying the constructor's signature for inspect:
// "Name(a, b, /, c=None)\n--\n\n" followed by `doc` (which may be nullptr).
// `type_name` is the type's name (its tp_name; only the part after the last
// dot is used). A default is written as the repr() of its value when that is
// a literal inspect reads back (None, bool, int, finite float, str, bytes),
// any other value (a function, say) as "...", and an omitted parameter
// without one as None; call it after the defaults exist and before
// PyType_Ready. The text lives until the process ends; nullptr with an
// exception set on failure.
const char* init_doc(const char* type_name, const InitParam* params, std::size_t n, const char* doc) noexcept;

template <std::size_t N>
const char* init_doc(const char* type_name, const InitParam (&params)[N], const char* doc) noexcept {
  return init_doc(type_name, params, N, doc);
}

}  // namespace mf
