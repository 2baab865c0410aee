// Building the module's fixed lookup tables (the tables themselves are part
// of the module's state, state.h).
#pragma once

#include <Python.h>

#include "state.h"

namespace mf::penmoth {

// Start-up steps: the content-type pairs the prebuilt lists hold, the tables
// emptied (None), then built.
int create_content_type_pairs() noexcept;
void reset_tables() noexcept;
int build_tables() noexcept;

// `table.get(key)`: a borrowed value, or nullptr (with an exception only
// when the key cannot be hashed). The key is held by the caller: hashing a
// key that is not exactly str or bytes runs Python code.
inline PyObject* table_get(const Ref& table, PyObject* key) noexcept {
  return PyDict_GetItemWithError(table.get(), key);
}

}  // namespace mf::penmoth
