#include "tables.h"

#include <array>
#include <initializer_list>
#include <string>

#include "../runtime/constants.h"

namespace mf::penmoth {

namespace {

// The five content types with a ready-made RSGI header list, in table order.
const char* const prebuilt_types[] = {
    "application/json", "text/plain; charset=utf-8", "text/plain", "text/html; charset=utf-8", "text/html",
};

// One shared object per text: `str` texts are interned, `bytes` texts come
// from the process-wide table of shared byte strings.
PyObject* shared_str(const char* text) { return PyUnicode_InternFromString(text); }
PyObject* shared_bytes(const char* text) { return mf::shared_bytes(text, std::char_traits<char>::length(text)); }

// A table mapping each text in one type to the same text in the other.
// The texts are string literals: the index keeps pointers to them.
int text_table(TextTable& table, std::initializer_list<const char*> texts, bool str_keys, bool presized) {
  Ref dict = Ref::steal(presized ? _PyDict_NewPresized(static_cast<Py_ssize_t>(texts.size())) : PyDict_New());
  if (!dict) return -1;
  TextTable built;
  built.str_keys = str_keys;
  for (const char* text : texts) {
    Ref as_str = Ref::steal(shared_str(text));
    PyObject* as_bytes = shared_bytes(text);  // borrowed, process-lifetime
    if (!as_str || !as_bytes) return -1;
    PyObject* key = str_keys ? as_str.get() : as_bytes;
    PyObject* value = str_keys ? as_bytes : as_str.get();
    if (PyDict_SetItem(dict.get(), key, value) < 0) return -1;
    built.add(text, std::char_traits<char>::length(text), PyDict_GetItemWithError(dict.get(), key));
  }
  built.dict = std::move(dict);
  table = std::move(built);
  return 0;
}

Ref one_pair_list(const Ref& pair) {
  Ref list = Ref::steal(PyList_New(1));
  if (list) PyList_SET_ITEM(list.get(), 0, new_ref(pair.get()));
  return list;
}

}  // namespace

int create_content_type_pairs() noexcept {
  Ref name = Ref::steal(shared_str("content-type"));
  if (!name) return -1;
  for (int i = 0; i < 5; ++i) {
    Ref value = Ref::steal(shared_str(prebuilt_types[i]));
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
  if (text_table(state.tables.known_headers,
                 {"host",
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
                  "x-real-ip"},
                 true, true) < 0)
    return -1;
  if (text_table(state.tables.header_val_bytes,
                 {"*/*", "keep-alive", "close", "gzip, deflate", "gzip, deflate, br", "application/json", "text/plain",
                  "text/plain; charset=utf-8", "text/html", "text/html; charset=utf-8"},
                 true, true) < 0)
    return -1;

  // The five prebuilt lists, in table order; the dict below keeps them.
  Ref prebuilt[5];
  for (int i = 0; i < 5; ++i)
    if (!(prebuilt[i] = one_pair_list(state.content_type_pairs[i]))) return -1;
  Ref empty = Ref::steal(PyList_New(0));
  if (!empty) return -1;
  state.tables.empty_headers = std::move(empty);

  TextTable by_ct;
  by_ct.dict = Ref::steal(PyDict_New());
  if (!by_ct.dict) return -1;
  for (int i = 0; i < 5; ++i) {
    PyObject* key = shared_bytes(prebuilt_types[i]);
    if (!key || PyDict_SetItem(by_ct.dict.get(), key, prebuilt[i].get()) < 0) return -1;
    by_ct.add(prebuilt_types[i], std::char_traits<char>::length(prebuilt_types[i]), prebuilt[i].get());
  }
  state.tables.static_headers_by_ct_bytes = std::move(by_ct);

  if (text_table(state.tables.known_outbound_header_name_str,
                 {"content-type",
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
                  "x-frame-options"},
                 false, true) < 0)
    return -1;
  if (text_table(state.tables.known_outbound_header_val_str,
                 {"application/json", "text/plain; charset=utf-8", "text/plain", "text/html; charset=utf-8",
                  "text/html", "chunked", "keep-alive", "close", "0"},
                 false, true) < 0)
    return -1;
  if (text_table(
          state.tables.ct_str_cache,
          {"text/html; charset=utf-8", "text/html", "application/json", "text/plain", "text/plain; charset=utf-8"},
          false, false) < 0)
    return -1;

  state.exported_chunk_size = 61440;
  state.chunk_size = 61440;
  return 0;
}

}  // namespace mf::penmoth
