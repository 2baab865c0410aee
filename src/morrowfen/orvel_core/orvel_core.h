// The package's native core library.
#pragma once

#include <Python.h>

#include <cstddef>

extern "C" {

// A borrowed reference to the process-wide bytes object for a common content
// type given by `length` bytes at `data` (not NUL-terminated), or NULL, with
// no exception set, for any other text. Call with the interpreter lock held.
__attribute__((visibility("default"))) PyObject* get_interned_content_type_bytes(const char* data, std::size_t length);
}
