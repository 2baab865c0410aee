// The rule every header that goes to the wire obeys, in one place: the name
// an RFC 9110 token, the value free of CR, LF and NUL (either would end the
// header line early or split it in two). Header-only and a leaf: the sibling
// modules and the writer include it, it includes nothing of theirs.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>

#include "../runtime/ref.h"

namespace mf::wire {

// Byte classes, one table for one pass over a text.
enum : unsigned char { tchar = 1, forbidden_in_value = 2, non_ascii = 4 };

inline constexpr auto header_byte_classes = [] {
  std::array<unsigned char, 256> t{};
  for (int c = '0'; c <= '9'; ++c) t[c] = tchar;
  for (int c = 'a'; c <= 'z'; ++c) t[c] = tchar;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = tchar;
  for (unsigned char c : std::string_view("!#$%&'*+-.^_`|~")) t[c] = tchar;
  t['\r'] = t['\n'] = t[0] = forbidden_in_value;
  for (int c = 0x80; c < 0x100; ++c) t[c] = non_ascii;
  return t;
}();

inline bool is_tchar(unsigned char c) noexcept { return header_byte_classes[c] & tchar; }

// The classes of a text in one branch-free pass: `any` has a class when some
// byte has it, `all` when every byte has it.
struct Scan {
  unsigned char any = 0;
  unsigned char all = 0xff;
  bool valid_name(std::size_t size) const noexcept { return size > 0 && (all & tchar); }
  bool valid_value() const noexcept { return !(any & forbidden_in_value); }
  bool ascii() const noexcept { return !(any & non_ascii); }
};

inline Scan scan(std::string_view text) noexcept {
  Scan s;
  for (char c : text) {
    unsigned char k = header_byte_classes[static_cast<unsigned char>(c)];
    s.any |= k;
    s.all &= k;
  }
  return s;
}

// Every byte of a name is a token character (and there is at least one).
inline bool valid_name(std::string_view name) noexcept { return scan(name).valid_name(name.size()); }

inline bool valid_value(std::string_view value) noexcept { return scan(value).valid_value(); }

inline std::string_view view(PyObject* bytes) noexcept {
  return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

// The errors, naming the header by its bytes (shown as a plain bytes repr,
// so that formatting the message runs no code of the caller's objects).
// Both return nullptr.
inline PyObject* invalid_name(std::string_view name) noexcept {
  Ref shown = Ref::steal(PyBytes_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  if (shown)
    PyErr_Format(PyExc_ValueError,
                 "invalid header name %R: a header name is a token (letters, digits and !#$%%&'*+-.^_`|~)",
                 shown.get());
  return nullptr;
}

inline PyObject* invalid_value(std::string_view name) noexcept {
  Ref shown = Ref::steal(PyBytes_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  if (shown)
    PyErr_Format(PyExc_ValueError, "invalid value of header %R: a header value cannot contain CR, LF or NUL",
                 shown.get());
  return nullptr;
}

// Checks a (name, value) pair of byte strings: true, or false with ValueError.
inline bool check_texts(std::string_view name, std::string_view value) noexcept {
  if (!valid_name(name)) return invalid_name(name), false;
  if (!valid_value(value)) return invalid_value(name), false;
  return true;
}

// Checks a pair before it joins a header list or goes to the wire: both
// bytes (TypeError otherwise), then the texts as above.
inline bool check_pair(PyObject* name, PyObject* value) noexcept {
  if (!PyBytes_Check(name) || !PyBytes_Check(value)) {
    PyErr_Format(PyExc_TypeError, "header names and values must be bytes, not %.200s and %.200s",
                 Py_TYPE(name)->tp_name, Py_TYPE(value)->tp_name);
    return false;
  }
  return check_texts(view(name), view(value));
}

}  // namespace mf::wire
