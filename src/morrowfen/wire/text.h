// Views of the text inside byte-string and str objects, and the small text
// operations the modules share. Header-only and a leaf, like the rest of wire/.
//
// A view is valid while its object lives (and, for a str, its UTF-8 form is
// cached in the object): hold the object across any call that runs Python code.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>
#include <string_view>

#include "../runtime/ref.h"

namespace mf::wire {

// The bytes of a bytes object (or of a subclass).
inline std::string_view bytes_view(PyObject* bytes) noexcept {
  return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

// `value` is a str (or a subclass) with the characters of the str `text`:
// compared as stored, so no Python code runs and no exception is set.
inline bool same_text(PyObject* value, PyObject* text) noexcept {
  if (value == text) return true;
  if (!PyUnicode_Check(value)) return false;
  Py_ssize_t length = PyUnicode_GET_LENGTH(value);
  int kind = PyUnicode_KIND(value);
  return length == PyUnicode_GET_LENGTH(text) && kind == PyUnicode_KIND(text) &&
         std::memcmp(PyUnicode_DATA(value), PyUnicode_DATA(text), static_cast<std::size_t>(length) * kind) == 0;
}

// The UTF-8 form of a str (strict: lone surrogates fail). false with the
// codec's exception set.
inline bool utf8_view(PyObject* text, std::string_view& out) noexcept {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (!data) return false;
  out = {data, static_cast<std::size_t>(size)};
  return true;
}

// The bytes of a bytes object, or the UTF-8 of a str: 1, 0 (another type,
// no exception set), or -1 with the codec's exception set.
inline int bytes_or_utf8(PyObject* obj, std::string_view& out) noexcept {
  if (PyBytes_Check(obj)) {
    out = bytes_view(obj);
    return 1;
  }
  if (PyUnicode_Check(obj)) return utf8_view(obj, out) ? 1 : -1;
  return 0;
}

inline Ref bytes_from(std::string_view s) noexcept {
  return Ref::steal(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// Without leading and trailing blanks (spaces and tabs).
inline std::string_view trim_blanks(std::string_view s) noexcept {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Joins the bytes objects of a list into one (the item itself when there is
// only one); `what` names the items in the TypeError for one that is not bytes.
inline Ref join_bytes(PyObject* list, const char* what) noexcept {
  Py_ssize_t total = 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyObject* part = PyList_GET_ITEM(list, i);
    if (!PyBytes_Check(part)) {
      PyErr_Format(PyExc_TypeError, "%s must be bytes, not %.200s", what, Py_TYPE(part)->tp_name);
      return {};
    }
    total += PyBytes_GET_SIZE(part);
  }
  if (PyList_GET_SIZE(list) == 1) return Ref::borrow(PyList_GET_ITEM(list, 0));
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, total));
  if (!out) return {};
  char* p = PyBytes_AS_STRING(out.get());
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyObject* part = PyList_GET_ITEM(list, i);
    std::memcpy(p, PyBytes_AS_STRING(part), static_cast<std::size_t>(PyBytes_GET_SIZE(part)));
    p += PyBytes_GET_SIZE(part);
  }
  return out;
}

// A request target: `path`, or `path?query` when the query is not empty
// (both exactly bytes); the path object itself when there is no query.
inline Ref join_target(PyObject* path, PyObject* query) noexcept {
  if (PyBytes_GET_SIZE(query) == 0) return Ref::borrow(path);
  Py_ssize_t n = PyBytes_GET_SIZE(path), q = PyBytes_GET_SIZE(query);
  Ref target = Ref::steal(PyBytes_FromStringAndSize(nullptr, n + 1 + q));
  if (!target) return {};
  char* p = PyBytes_AS_STRING(target.get());
  std::memcpy(p, PyBytes_AS_STRING(path), static_cast<std::size_t>(n));
  p[n] = '?';
  std::memcpy(p + n + 1, PyBytes_AS_STRING(query), static_cast<std::size_t>(q));
  return target;
}

}  // namespace mf::wire
