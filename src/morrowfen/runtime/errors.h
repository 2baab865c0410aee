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
//   several    an enum class naming each outcome, failure among them.
// A borrowed result (a Handle or PyObject* documented as borrowed) follows
// the object rule. No C++ exception crosses into the interpreter: the places
// where the interpreter calls the package's C++ catch everything and call
// set_error_from_current_exception().
#pragma once

#include <Python.h>

#include <new>

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
// inside a catch handler (or a coroutine promise's unhandled_exception).
// Inline, and so is the promise's: every library and module carries its own
// copy of the C++ runtime (CMakeLists.txt), and the exception being handled
// is known only to the copy whose handler caught it.
inline void set_error_from_current_exception(const char* what = "unexpected C++ exception") noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, what);
  }
}

}  // namespace mf
