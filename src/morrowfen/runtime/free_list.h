// Free lists for the objects a request makes and drops by the thousand
// (requests, responses, contents, URLs, coroutines): the memory of a freed
// object of one exact static type is kept and handed out again for the next
// one, without the allocator and the collector's bookkeeping between them.
//
// Only for instances of the type itself (a Python subclass has its own
// size and dictionary, and its dealloc takes a reference of its type): the
// type's tp_alloc and tp_dealloc ask `take` and `give_back`. Under
// AddressSanitizer nothing is kept, so that it sees every object freed. Used
// with the interpreter's lock held (one interpreter per process).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>

namespace mf {

template <std::size_t Depth = 16>
class FreeList {
 public:
  // A kept object, as PyType_GenericAlloc gives one of `type`: a new
  // reference, every byte after its header zero, tracked by the collector
  // when the type is. nullptr: none kept.
  PyObject* take(PyTypeObject* type) noexcept {
    if (count_ == 0) return nullptr;
    PyObject* o = items_[--count_];
    std::memset(reinterpret_cast<char*>(o) + sizeof(PyObject), 0,
                static_cast<std::size_t>(type->tp_basicsize) - sizeof(PyObject));
    _Py_NewReference(o);
    if (PyType_IS_GC(type)) PyObject_GC_Track(o);
    return o;
  }

  // From tp_dealloc, once the object is untracked and its fields cleared:
  // true when its memory is kept (the caller must not free it).
  bool give_back(PyObject* o) noexcept {
#ifdef __SANITIZE_ADDRESS__
    (void)o;
    return false;
#else
    if (count_ == Depth) return false;
    items_[count_++] = o;
    return true;
#endif
  }

 private:
  PyObject* items_[Depth] = {};
  std::size_t count_ = 0;
};

// One free list for each of a few static types (types that share their
// tp_new and tp_dealloc), found by the exact type. The types are named at
// start-up, before any instance is made.
template <std::size_t Types, std::size_t Depth = 16>
class FreeLists {
 public:
  void add(PyTypeObject* type) noexcept {
    for (std::size_t i = 0; i < Types; ++i) {
      if (types_[i] == type) return;
      if (!types_[i]) {
        types_[i] = type;
        return;
      }
    }
  }
  FreeList<Depth>* of(PyTypeObject* type) noexcept {
    for (std::size_t i = 0; i < Types && types_[i]; ++i)
      if (types_[i] == type) return &lists_[i];
    return nullptr;
  }

 private:
  PyTypeObject* types_[Types] = {};
  FreeList<Depth> lists_[Types] = {};
};

}  // namespace mf
