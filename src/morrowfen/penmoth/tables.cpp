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

// A dict mapping each text in one type to the same text in the other.
Ref text_table(std::initializer_list<const char*> texts, bool str_keys, bool presized) {
  Ref table = Ref::steal(presized ? _PyDict_NewPresized(static_cast<Py_ssize_t>(texts.size())) : PyDict_New());
  if (!table) return {};
  for (const char* text : texts) {
    Ref as_str = Ref::steal(shared_str(text));
    PyObject* as_bytes = shared_bytes(text);  // borrowed, process-lifetime
    if (!as_str || !as_bytes) return {};
    PyObject* key = str_keys ? as_str.get() : as_bytes;
    PyObject* value = str_keys ? as_bytes : as_str.get();
    if (PyDict_SetItem(table.get(), key, value) < 0) return {};
  }
  return table;
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
  for (Ref* t : {&state.tables.known_headers, &state.tables.header_val_bytes, &state.tables.empty_headers,
                 &state.tables.static_headers_by_ct_bytes, &state.tables.known_outbound_header_name_str,
                 &state.tables.known_outbound_header_val_str, &state.tables.ct_str_cache})
    *t = Ref::none();
}

int build_tables() noexcept {
  Ref known_headers = text_table({"host",
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
                                 true, true);
  if (!known_headers) return -1;
  state.tables.known_headers = std::move(known_headers);

  Ref header_val_bytes =
      text_table({"*/*", "keep-alive", "close", "gzip, deflate", "gzip, deflate, br", "application/json", "text/plain",
                  "text/plain; charset=utf-8", "text/html", "text/html; charset=utf-8"},
                 true, true);
  if (!header_val_bytes) return -1;
  state.tables.header_val_bytes = std::move(header_val_bytes);

  // The five prebuilt lists, in table order; the dict below keeps them.
  Ref prebuilt[5];
  for (int i = 0; i < 5; ++i)
    if (!(prebuilt[i] = one_pair_list(state.content_type_pairs[i]))) return -1;
  Ref empty = Ref::steal(PyList_New(0));
  if (!empty) return -1;
  state.tables.empty_headers = std::move(empty);

  Ref by_ct = Ref::steal(PyDict_New());
  if (!by_ct) return -1;
  for (int i = 0; i < 5; ++i) {
    PyObject* key = shared_bytes(prebuilt_types[i]);
    if (!key || PyDict_SetItem(by_ct.get(), key, prebuilt[i].get()) < 0) return -1;
  }
  state.tables.static_headers_by_ct_bytes = std::move(by_ct);

  Ref names = text_table({"content-type",
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
                         false, true);
  if (!names) return -1;
  state.tables.known_outbound_header_name_str = std::move(names);

  Ref values = text_table({"application/json", "text/plain; charset=utf-8", "text/plain", "text/html; charset=utf-8",
                           "text/html", "chunked", "keep-alive", "close", "0"},
                          false, true);
  if (!values) return -1;
  state.tables.known_outbound_header_val_str = std::move(values);

  Ref ct_cache = text_table(
      {"text/html; charset=utf-8", "text/html", "application/json", "text/plain", "text/plain; charset=utf-8"}, false,
      false);
  if (!ct_cache) return -1;
  state.tables.ct_str_cache = std::move(ct_cache);

  state.exported_chunk_size = 61440;
  state.chunk_size = 61440;
  return 0;
}

}  // namespace mf::penmoth
