// Operations on a raw header list (a list of (name, value) pairs of bytes),
// shared by morrowfen.headers and morrowfen.messages. Header names match
// without regard to ASCII letter case.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "../runtime/ref.h"
#include "header_text.h"
#include "text.h"

namespace mf::header_list {

inline unsigned char ascii_lower(unsigned char c) noexcept { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

inline bool same_name(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(static_cast<unsigned char>(a[i])) != ascii_lower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// A header name given by the caller: bytes, or str (matched by its UTF-8).
inline bool name_view(PyObject* name, std::string_view& out) noexcept {
  int r = wire::bytes_or_utf8(name, out);
  if (r == 0) PyErr_Format(PyExc_TypeError, "a header name must be bytes or str, not %.200s", Py_TYPE(name)->tp_name);
  return r > 0;
}

// The name and value of one item (borrowed): a tuple or list of two.
inline bool split_item(PyObject* item, PyObject*& name, PyObject*& value) noexcept {
  if (PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 2) {
    name = PyTuple_GET_ITEM(item, 0);
    value = PyTuple_GET_ITEM(item, 1);
    return true;
  }
  if (PyList_Check(item) && PyList_GET_SIZE(item) == 2) {
    name = PyList_GET_ITEM(item, 0);
    value = PyList_GET_ITEM(item, 1);
    return true;
  }
  PyErr_Format(PyExc_TypeError, "a header must be a (name, value) pair, not %.200s", Py_TYPE(item)->tp_name);
  return false;
}

// Whether item `i` of `list` has the name `wanted`: 1, 0, or -1 with an
// exception set. `value` receives the item's value (borrowed).
inline int item_matches(PyObject* list, Py_ssize_t i, std::string_view wanted, PyObject** value) noexcept {
  PyObject* name = nullptr;
  PyObject* v = nullptr;
  if (!split_item(PyList_GET_ITEM(list, i), name, v)) return -1;
  if (value) *value = v;
  if (!PyBytes_Check(name)) return 0;  // a name that is not bytes matches nothing
  return same_name(wire::bytes_view(name), wanted);
}

// Calls `found(index, value)` for each item named `wanted`, in order, until
// it returns non-zero (which is returned; -1 means an exception is set).
// Comparing bytes runs no Python code, so the list cannot change meanwhile.
template <class Found>
int scan(PyObject* list, std::string_view wanted, Found found) noexcept {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyObject* value = nullptr;
    int m = item_matches(list, i, wanted, &value);
    if (m < 0) return -1;
    if (m) {
      if (int r = found(i, value)) return r;
    }
  }
  return 0;
}

// True when `list` is a list of 2-tuples of exact bytes, as a server's
// scope gives them: a request can keep the list as it is.
inline bool exact_pairs(PyObject* list) noexcept {
  if (!PyList_CheckExact(list)) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyObject* pair = PyList_GET_ITEM(list, i);
    if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2 || !PyBytes_CheckExact(PyTuple_GET_ITEM(pair, 0)) ||
        !PyBytes_CheckExact(PyTuple_GET_ITEM(pair, 1)))
      return false;
  }
  return true;
}

// The values of the items named `name`, as a new list.
inline Ref values(PyObject* list, std::string_view name) noexcept {
  Ref out = Ref::steal(PyList_New(0));
  if (!out) return {};
  if (scan(list, name, [&](Py_ssize_t, PyObject* v) { return PyList_Append(out.get(), v) < 0 ? -1 : 0; }) < 0)
    return {};
  return out;
}

// The value of the first item named `name` (borrowed), or nullptr without
// an exception when there is none.
inline PyObject* first(PyObject* list, std::string_view name, bool& failed) noexcept {
  PyObject* result = nullptr;
  failed = scan(list, name, [&](Py_ssize_t, PyObject* v) {
             result = v;
             return 1;
           }) < 0;
  return result;
}

// Removes every item named `name`; the number removed, or -1.
inline Py_ssize_t remove(PyObject* list, std::string_view name) noexcept {
  Py_ssize_t removed = 0;
  for (Py_ssize_t i = PyList_GET_SIZE(list) - 1; i >= 0; --i) {
    if (i >= PyList_GET_SIZE(list)) continue;
    int m = item_matches(list, i, name, nullptr);
    if (m < 0) return -1;
    if (m) {
      if (PyList_SetSlice(list, i, i + 1, nullptr) < 0) return -1;
      ++removed;
    }
  }
  return removed;
}

// The rule a pair must pass before it joins a header list (the same rule
// the writers apply before a list goes to the wire).
using mf::wire::check_pair;

// A new (name, value) tuple.
inline Ref make_pair(PyObject* name, PyObject* value) noexcept {
  Ref pair = Ref::steal(PyTuple_New(2));
  if (pair) {
    PyTuple_SET_ITEM(pair.get(), 0, mf::new_ref(name));
    PyTuple_SET_ITEM(pair.get(), 1, mf::new_ref(value));
  }
  return pair;
}

// Replaces the first item named `name` by (name, value) and removes the
// others; appends the pair when there is none.
inline int set(PyObject* list, PyObject* name, PyObject* value) noexcept {
  std::string_view wanted = wire::bytes_view(name);
  Py_ssize_t first_index = -1;
  if (scan(list, wanted, [&](Py_ssize_t i, PyObject*) {
        first_index = i;
        return 1;
      }) < 0)
    return -1;
  Ref pair = make_pair(name, value);
  if (!pair) return -1;
  if (first_index < 0) return PyList_Append(list, pair.get());
  // Remove the later duplicates first, then put the pair in the first one's place.
  for (Py_ssize_t i = PyList_GET_SIZE(list) - 1; i > first_index; --i) {
    int m = item_matches(list, i, wanted, nullptr);
    if (m < 0) return -1;
    if (m && PyList_SetSlice(list, i, i + 1, nullptr) < 0) return -1;
  }
  if (first_index >= PyList_GET_SIZE(list)) return PyList_Append(list, pair.get());  // a finalizer shrank it
  return PyList_SetItem(list, first_index, pair.release());
}

}  // namespace mf::header_list
