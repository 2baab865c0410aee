// The module's fixed lookup tables: header texts in both their bytes and
// str forms, the ready-made RSGI header lists, the chunk size.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../runtime/ref.h"

namespace mf::penmoth {

struct Tables {
  Ref known_headers;                // str header name -> bytes
  Ref header_val_bytes;             // str header value -> bytes
  Ref prebuilt_json_headers;        // [("content-type", "application/json")]
  Ref prebuilt_text_plain_utf8_headers;
  Ref prebuilt_text_plain_headers;
  Ref prebuilt_text_html_utf8_headers;
  Ref prebuilt_text_html_headers;
  Ref empty_headers;                // []
  Ref static_headers_by_ct_bytes;   // bytes content type -> one of the five lists above
  Ref known_outbound_header_name_str;  // bytes header name -> str
  Ref known_outbound_header_val_str;   // bytes header value -> str
  Ref ct_str_cache;                    // bytes content type -> str
};
extern Tables& tables;

// 61440 both: the exported variable, and the module's own copy, which is the
// only one the module reads.
extern std::int32_t MAX_RESPONSE_CHUNK_SIZE;
extern std::int32_t max_response_chunk_size;

// Start-up steps: the content-type pairs the prebuilt lists hold, the tables
// emptied (None), then built.
int create_content_type_pairs() noexcept;
void reset_tables() noexcept;
int build_tables() noexcept;

// `table.get(key)`: a borrowed value, or nullptr (with an exception only
// when the key cannot be hashed).
inline PyObject* table_get(const Ref& table, PyObject* key) noexcept {
  return PyDict_GetItemWithError(table.get(), key);
}

}  // namespace mf::penmoth
