// Error helpers shared by every module: traceback entries and the texts of
// the common type errors.
#pragma once

#include <Python.h>

namespace mf {

// Adds a traceback entry for `function` (a full dotted name) at the given
// source position. Keeps the pending exception.
void add_traceback(const char* function, const char* file, int line) noexcept;

// TypeError "Expected WHAT, got TYPE". Always returns nullptr.
PyObject* expected_type_error(const char* what, PyObject* got) noexcept;

// TypeError "Argument 'NAME' has incorrect type (expected T, got U)".
PyObject* argument_type_error(const char* name, PyTypeObject* expected, PyObject* got) noexcept;

// TypeError "object TYPE can't be used in 'await' expression".
PyObject* not_awaitable_error(PyObject* obj) noexcept;

}  // namespace mf
