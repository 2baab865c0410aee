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
// key that is not exactly str or bytes runs Python code. A str key equals
// no bytes key and the reverse, and only ASCII text equals a table's text.
inline PyObject* table_get(const TextTable& table, PyObject* key) noexcept {
  if (PyUnicode_CheckExact(key)) {
    if (!table.str_keys || !PyUnicode_IS_ASCII(key)) return nullptr;
    return table.find(
        {static_cast<const char*>(PyUnicode_DATA(key)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(key))});
  }
  if (PyBytes_CheckExact(key)) {
    if (table.str_keys) return nullptr;
    return table.find({PyBytes_AS_STRING(key), static_cast<std::size_t>(PyBytes_GET_SIZE(key))});
  }
  return PyDict_GetItemWithError(table.dict.get(), key);
}

}  // namespace mf::penmoth
