// Text and byte-string constants created once per process.
//
// A constant is declared at namespace scope (`static const mf::Str k_content{"content"};`)
// and becomes usable after the owning module's start-up has called
// mf::create_constants(). Equal texts share one object: every `str` constant
// is interned, and byte-string constants with the same bytes are one object
// across all modules of the package. Constants live until the process ends.
#pragma once

#include <Python.h>

#include <cstddef>

namespace mf {

class Constant {
 public:
  enum class Kind : unsigned char { str, bytes };

  Constant(const char* text, std::size_t size, Kind kind) noexcept;
  Constant(const Constant&) = delete;
  Constant& operator=(const Constant&) = delete;

  // Borrowed; the object is owned by the process-wide constant table.
  PyObject* get() const noexcept { return object_; }
  operator PyObject*() const noexcept { return object_; }
  // The object's address, for a table read after the constants exist (a
  // constructor's default).
  constexpr PyObject* const* slot() const noexcept { return &object_; }
  const char* text() const noexcept { return text_; }
  std::size_t size() const noexcept { return size_; }

 private:
  friend int create_constants() noexcept;
  const char* text_;
  std::size_t size_;
  Kind kind_;
  mutable PyObject* object_ = nullptr;
  Constant* next_ = nullptr;
};

// An interned `str` constant.
class Str : public Constant {
 public:
  template <std::size_t N>
  Str(const char (&text)[N]) noexcept : Constant(text, N - 1, Kind::str) {}
};

// A `bytes` constant; its length comes from the literal, so it may hold
// any byte, NUL included.
class Bytes : public Constant {
 public:
  template <std::size_t N>
  Bytes(const char (&text)[N]) noexcept : Constant(text, N - 1, Kind::bytes) {}
};

// Creates every declared constant that does not exist yet. Returns 0, or -1
// with an exception set. Called by each module's start-up.
int create_constants() noexcept;

// The shared object for a byte string (created if needed; borrowed,
// process-lifetime). nullptr with an exception set on failure.
PyObject* shared_bytes(const char* data, std::size_t size) noexcept;

}  // namespace mf
