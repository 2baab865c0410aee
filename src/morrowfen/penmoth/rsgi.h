// Helpers both halves of the RSGI bridge use.
#pragma once

#include <Python.h>

#include "../runtime/ref.h"

namespace mf::penmoth::rsgi {

// Byte strings that are not exactly bytes: converted as their bytes, never
// through their text representation.
inline bool bytes_like(PyObject* o) noexcept {
  return PyBytes_Check(o) || PyByteArray_Check(o) || PyMemoryView_Check(o);
}

// pair[i], as integer subscription.
inline Ref item_at(PyObject* pair, Py_ssize_t i) noexcept {
  if (PyList_CheckExact(pair) || PyTuple_CheckExact(pair)) return Ref::steal(PySequence_GetItem(pair, i));
  Ref index = Ref::steal(PyLong_FromSsize_t(i));
  return index ? Ref::steal(PyObject_GetItem(pair, index.get())) : Ref();
}

// A new 2-tuple that takes over both references.
inline Ref pair_of(Ref first, Ref second) noexcept {
  Ref tuple = Ref::steal(PyTuple_New(2));
  if (!tuple) return {};
  PyTuple_SET_ITEM(tuple.get(), 0, first.release());
  PyTuple_SET_ITEM(tuple.get(), 1, second.release());
  return tuple;
}

}  // namespace mf::penmoth::rsgi
