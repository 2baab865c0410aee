// The constructors of the sibling types, from one description each: the
// parameter table (runtime/init_args.h), the name the error texts use, and
// the code that fills a new instance from the bound arguments.
//
//   struct ContentInit {
//     static constexpr const char* name = "Content";  // nullptr: the texts of a nameless format
//     static constexpr mf::InitParam params[] = {{"content_type"}, {"data"}};
//     static int setup(PyObject* self, PyObject* const* bound) noexcept;  // bound: in table order
//   };
//   ContentType.tp_init = mf::ctor::init<ContentInit>;
//   ContentType.tp_vectorcall = mf::ctor::vectorcall<ContentInit, ContentType>;
//   ContentType.tp_doc = mf::ctor::doc<ContentInit>("morrowfen.contents.Content", "...");
//
// tp_init serves `obj.__init__(...)`, `super().__init__(...)` and the generic
// type call. The vectorcall builds an instance of exactly the native type
// without the argument tuple and dict of that generic call: it binds, takes
// a new instance from the type's tp_new (which must ignore its arguments, as
// every tp_new of the sibling types does), and runs the same setup. A type
// that is not exactly the native one (a Python subclass, which may override
// __init__) gets the generic type call.
#pragma once

#include <Python.h>

#include <cstddef>
#include <iterator>

#include "../runtime/errors.h"
#include "../runtime/init_args.h"
#include "../runtime/ref.h"

namespace mf::ctor {

// The generic call of a type (tp_new, then tp_init of an instance of it), for
// a vectorcall that is not the native type's own.
inline PyObject* generic_call(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) noexcept {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  Ref tuple = Ref::steal(PyTuple_New(nargs));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(args[i]).release());
  Ref kwargs;
  if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
    kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k)
      if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) return nullptr;
  }
  return Py_TYPE(callable)->tp_call(callable, tuple.get(), kwargs.get());  // a metaclass: type's call or its own
}

// Both run the setup under mf::guard(): a setup may throw (std::bad_alloc).
template <class Def>
int init(PyObject* self, PyObject* args, PyObject* kwds) noexcept {
  PyObject* bound[std::size(Def::params)];
  if (mf::bind_init(Def::name, Def::params, args, kwds, bound) < 0) return -1;
  return mf::guard([&] { return Def::setup(self, bound); });
}

template <class Def, PyTypeObject& Type>
PyObject* vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
  if (callable != reinterpret_cast<PyObject*>(&Type)) return generic_call(callable, args, nargsf, kwnames);
  PyObject* bound[std::size(Def::params)];
  if (mf::bind_init_vector(Def::name, Def::params, args, nargsf, kwnames, bound) < 0) return nullptr;
  Ref self = Ref::steal(Type.tp_new(&Type, nullptr, nullptr));
  if (!self || mf::guard([&] { return Def::setup(self.get(), bound); }) < 0) return nullptr;
  return self.release();
}

// The type's tp_doc: its signature for inspect, then `doc`. Call it after the
// defaults of the table exist; nullptr with an exception set on failure.
template <class Def>
const char* doc(const char* type_name, const char* text) noexcept {
  return mf::init_doc(type_name, Def::params, text);
}

}  // namespace mf::ctor
