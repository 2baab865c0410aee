// Percent-encoding and application/x-www-form-urlencoded text, shared by the
// url, contents, messages and cookies modules.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "../runtime/ref.h"
#include "text.h"

namespace mf::percent {

inline int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Appends `text` to `out` with every %XX escape decoded; a '%' that does not
// start a valid escape is kept as it is. With `plus_is_space`, '+' stands
// for a blank (form encoding).
inline void decode(std::string_view text, bool plus_is_space, std::string& out) {
  out.reserve(out.size() + text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      int hi = hex_value(text[i + 1]), lo = hex_value(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(plus_is_space && c == '+' ? ' ' : c);
  }
}

// A str from UTF-8 bytes, with U+FFFD for every malformed sequence: decoding
// what a client sent never fails.
inline Ref text_from_utf8(std::string_view bytes) noexcept {
  return Ref::steal(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
}

// The text of percent-encoded bytes. May throw std::bad_alloc (its bytes
// are decoded into a std::string).
inline Ref decoded_text(std::string_view text, bool plus_is_space) {
  std::string buffer;
  decode(text, plus_is_space, buffer);
  return text_from_utf8(buffer);
}

// Appends the bytes of `text`, with each byte for which `plain(byte)` is false
// written as %XX (upper-case hex). With `space_as_plus`, a blank becomes '+'.
template <class Plain>
void encode(std::string_view text, Plain plain, bool space_as_plus, std::string& out) {
  static constexpr char digits[] = "0123456789ABCDEF";
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (plain(c)) {
      out.push_back(ch);
    } else if (space_as_plus && c == ' ') {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 15]);
    }
  }
}

// The bytes that form encoding leaves alone: letters, digits and "*-._".
inline bool form_safe(unsigned char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '*' || c == '-' ||
         c == '.' || c == '_';
}

// Walks the name=value pairs of form-encoded text: pairs are separated by
// '&', empty pairs are skipped, and a pair without '=' has an empty value.
// `sink(name, value)` receives the decoded texts and returns -1 to stop with
// the exception it set. May throw std::bad_alloc (decoded_text).
template <class Sink>
int for_each_pair(std::string_view text, Sink sink) {
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('&', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view pair = text.substr(start, end - start);
    start = end + 1;
    if (pair.empty()) continue;
    std::size_t eq = pair.find('=');
    std::string_view raw_name = pair.substr(0, eq);
    std::string_view raw_value = eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
    Ref name = decoded_text(raw_name, true);
    if (!name) return -1;
    Ref value = decoded_text(raw_value, true);
    if (!value) return -1;
    if (sink(std::move(name), std::move(value)) < 0) return -1;
  }
  return 0;
}

// The bytes of a str or bytes object as a view (UTF-8 for str), valid while
// the object lives; false with TypeError for other types.
inline bool view_of(PyObject* obj, std::string_view& out, const char* what) noexcept {
  int r = wire::bytes_or_utf8(obj, out);
  if (r == 0) PyErr_Format(PyExc_TypeError, "%s must be str or bytes, not %.200s", what, Py_TYPE(obj)->tp_name);
  return r > 0;
}

using wire::bytes_from;

}  // namespace mf::percent
