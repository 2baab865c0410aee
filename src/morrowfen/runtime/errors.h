// Error helpers shared by every module: the rules for reporting a failure,
// traceback entries, the texts of the common type errors, and the one way a
// C++ exception becomes a Python one.
//
// How a function of the package says that it failed, by what it returns.
// Every failure leaves a Python exception set; every success leaves none.
//   object     a Ref (or, at the C API, a new PyObject*): empty / nullptr
//              on failure.
//   status     int: 0 on success, -1 on failure.
//   predicate  int: 1 true, 0 false, -1 failure. (A bool predicate is for
//              tests that cannot fail.)
//   check      bool: true when it passed, false with an exception set: an
//              argument test (to_integer, check_pair) or a step that fills
//              out-parameters (utf8_view).
//   several    an enum class naming each outcome, failure among them.
// A borrowed result (a Handle or PyObject* documented as borrowed) follows
// the object rule. No C++ exception crosses into the interpreter or another
// module: the trampolines every such call passes through (a function
// object's call, the Python and C faces of type_support.h, the constructors
// of constructors.h, the exported forms) run the code under guard(), below.
// Code that may throw (std::bad_alloc from a growing std::string) runs only
// under them, and is not declared noexcept.
#pragma once

#include <Python.h>

#include <new>
#include <type_traits>

#include "ref.h"

namespace mf {

// Adds a traceback entry for `function` (a full dotted name) at the given
// source position. Keeps the pending exception.
void add_traceback(const char* function, const char* file, int line) noexcept;

// TypeError "Expected WHAT, got TYPE". Always returns nullptr.
PyObject* expected_type_error(const char* what, Handle got) noexcept;

// TypeError "Argument 'NAME' has incorrect type (expected T, got U)".
PyObject* argument_type_error(const char* name, PyTypeObject* expected, Handle got) noexcept;

// TypeError "object TYPE can't be used in 'await' expression".
PyObject* not_awaitable_error(Handle obj) noexcept;

// Raises `type(msg)` with the pending exception as its __cause__ and
// __context__ (`raise type(msg) from pending`). With no exception pending
// the new one has neither. Always returns nullptr.
PyObject* raise_from_cause(PyObject* type, const char* msg) noexcept;

// Turns the C++ exception being handled into a Python one: std::bad_alloc
// becomes MemoryError, anything else SystemError(`what`). Call it only from
// inside a catch handler (guard() below, or a coroutine promise's
// unhandled_exception). Inline, and so are they: every library and module
// carries its own copy of the C++ runtime (CMakeLists.txt), and the
// exception being handled is known only to the copy whose handler caught it.
inline void set_error_from_current_exception(const char* what = "unexpected C++ exception") noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, what);
  }
}

// What a failed call returns, by its return type: an empty Ref, nullptr,
// -1 (status, predicate, length), false (check), or nothing.
template <class R>
R failed_result() noexcept {
  if constexpr (std::is_void_v<R>) return;
  else if constexpr (std::is_pointer_v<R>) return nullptr;
  else if constexpr (std::is_same_v<R, bool>) return false;
  else if constexpr (std::is_integral_v<R>) return -1;
  else return R();
}

// Runs `f()` where the interpreter or another module calls in: a C++
// exception that escapes it becomes the Python error and the call gives
// failed_result(). The package's catch-all, which the trampolines every call
// passes through use.
template <class F>
auto guard(F&& f) noexcept -> decltype(f()) {
  try {
    return f();
  } catch (...) {
    set_error_from_current_exception();
    return failed_result<decltype(f())>();
  }
}

namespace detail {
template <auto F, class Signature = decltype(F)>
struct Guarded;
template <auto F, class R, class... A>
struct Guarded<F, R (*)(A...)> {
  static R call(A... args) noexcept {
    return guard([&]() -> R { return F(args...); });
  }
};
}  // namespace detail

// F run under guard(): the form of a function written by hand that goes into
// a method table, a C-level table or the exported interface.
template <auto F>
inline constexpr auto guarded = &detail::Guarded<F>::call;

}  // namespace mf
