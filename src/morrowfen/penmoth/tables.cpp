#include "tables.h"

#include <iterator>
#include <span>
#include <string>

#include "../runtime/constants.h"

namespace mf::penmoth {

namespace {

// One shared object per text: `str` texts are interned, `bytes` texts come
// from the process-wide table of shared byte strings.
PyObject* shared_str(const char* text) { return PyUnicode_InternFromString(text); }
PyObject* shared_bytes(const char* text) { return mf::shared_bytes(text, std::char_traits<char>::length(text)); }

// --- the text tables: each maps every text in one type to the same text in the other

enum class Keys : unsigned char { str, bytes };  // the type of the keys; the values have the other

struct TextTableDef {
  TextTable Tables::* table;
  Keys keys;
  std::span<const char* const> texts;  // string literals: the index keeps pointers to them
};

constexpr const char* request_header_names[] = {
    "host",
    "user-agent",
    "accept",
    "accept-encoding",
    "accept-language",
    "content-type",
    "content-length",
    "connection",
    "cookie",
    "authorization",
    "origin",
    "referer",
    "cache-control",
    "pragma",
    "upgrade-insecure-requests",
    "sec-ch-ua",
    "sec-ch-ua-mobile",
    "sec-ch-ua-platform",
    "sec-fetch-site",
    "sec-fetch-mode",
    "sec-fetch-user",
    "sec-fetch-dest",
    "x-forwarded-for",
    "x-forwarded-proto",
    "x-forwarded-host",
    "x-real-ip",
};
constexpr const char* request_header_values[] = {
    "*/*",
    "keep-alive",
    "close",
    "gzip, deflate",
    "gzip, deflate, br",
    "application/json",
    "text/plain",
    "text/plain; charset=utf-8",
    "text/html",
    "text/html; charset=utf-8",
};
constexpr const char* response_header_names[] = {
    "content-type",
    "content-length",
    "server",
    "date",
    "set-cookie",
    "location",
    "connection",
    "cache-control",
    "vary",
    "access-control-allow-origin",
    "access-control-allow-headers",
    "access-control-allow-methods",
    "access-control-allow-credentials",
    "access-control-expose-headers",
    "access-control-max-age",
    "transfer-encoding",
    "www-authenticate",
    "authorization",
    "accept",
    "host",
    "etag",
    "last-modified",
    "strict-transport-security",
    "x-content-type-options",
    "x-frame-options",
};
constexpr const char* response_header_values[] = {
    "application/json",
    "text/plain; charset=utf-8",
    "text/plain",
    "text/html; charset=utf-8",
    "text/html",
    "chunked",
    "keep-alive",
    "close",
    "0",
};
constexpr const char* content_types[] = {
    "text/html; charset=utf-8", "text/html", "application/json", "text/plain", "text/plain; charset=utf-8",
};

const TextTableDef text_tables[] = {
    {&Tables::known_headers, Keys::str, request_header_names},
    {&Tables::header_val_bytes, Keys::str, request_header_values},
    {&Tables::known_outbound_header_name_str, Keys::bytes, response_header_names},
    {&Tables::known_outbound_header_val_str, Keys::bytes, response_header_values},
    {&Tables::ct_str_cache, Keys::bytes, content_types},
};

int build_text_table(const TextTableDef& def) {
  Ref dict = Ref::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(def.texts.size())));
  if (!dict) return -1;
  TextTable built;
  built.str_keys = def.keys == Keys::str;
  for (const char* text : def.texts) {
    Ref as_str = Ref::steal(shared_str(text));
    PyObject* as_bytes = shared_bytes(text);  // borrowed, process-lifetime
    if (!as_str || !as_bytes) return -1;
    PyObject* key = built.str_keys ? as_str.get() : as_bytes;
    PyObject* value = built.str_keys ? as_bytes : as_str.get();
    if (PyDict_SetItem(dict.get(), key, value) < 0) return -1;
    built.add(text, std::char_traits<char>::length(text), PyDict_GetItemWithError(dict.get(), key));
  }
  built.dict = std::move(dict);
  state.tables.*def.table = std::move(built);
  return 0;
}

// --- the prebuilt RSGI header lists, by content type

Ref one_pair_list(const Ref& pair) {
  Ref list = Ref::steal(PyList_New(1));
  if (list) PyList_SET_ITEM(list.get(), 0, new_ref(pair.get()));
  return list;
}

int build_prebuilt_lists() {
  TextTable by_ct;
  by_ct.dict = Ref::steal(PyDict_New());
  if (!by_ct.dict) return -1;
  for (std::size_t i = 0; i < std::size(prebuilt_content_types); ++i) {
    const char* type = prebuilt_content_types[i];
    Ref list = one_pair_list(state.content_type_pairs[i]);
    PyObject* key = list ? shared_bytes(type) : nullptr;
    if (!key || PyDict_SetItem(by_ct.dict.get(), key, list.get()) < 0) return -1;
    by_ct.add(type, std::char_traits<char>::length(type), list.get());  // the dict holds the list
  }
  state.tables.static_headers_by_ct_bytes = std::move(by_ct);
  return 0;
}

}  // namespace

int create_content_type_pairs() noexcept {
  Ref name = Ref::steal(shared_str("content-type"));
  if (!name) return -1;
  for (std::size_t i = 0; i < std::size(prebuilt_content_types); ++i) {
    Ref value = Ref::steal(shared_str(prebuilt_content_types[i]));
    if (!value) return -1;
    state.content_type_pairs[i] = Ref::steal(PyTuple_Pack(2, name.get(), value.get()));
    if (!state.content_type_pairs[i]) return -1;
  }
  return 0;
}

void reset_tables() noexcept {
  Tables& t = state.tables;
  for (TextTable* table : {&t.known_headers, &t.header_val_bytes, &t.static_headers_by_ct_bytes,
                           &t.known_outbound_header_name_str, &t.known_outbound_header_val_str, &t.ct_str_cache})
    table->reset();
  t.empty_headers = Ref::none();
}

int build_tables() noexcept {
  for (const TextTableDef& def : text_tables)
    if (build_text_table(def) < 0) return -1;
  Ref empty = Ref::steal(PyList_New(0));
  if (!empty) return -1;
  state.tables.empty_headers = std::move(empty);
  if (build_prebuilt_lists() < 0) return -1;
  state.exported_chunk_size = max_response_chunk_size;
  state.chunk_size = max_response_chunk_size;
  return 0;
}

}  // namespace mf::penmoth
