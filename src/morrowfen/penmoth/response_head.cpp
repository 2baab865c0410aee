// The content headers of a response, and the response form of a cookie.
#include <charconv>

#include "../orvel_core/orvel_core.h"
#include "../runtime/constants.h"
#include "../runtime/errors.h"
#include "../wire/header_text.h"
#include "penmoth.h"

namespace mf::penmoth {
namespace {

Bytes k_content_type{"content-type"};
Bytes k_content_length{"content-length"};
Bytes k_transfer_encoding{"transfer-encoding"};
Bytes k_chunked{"chunked"};
Bytes k_zero{"0"};
Bytes k_octet_stream{"application/octet-stream"};

// The library's shared object for a content type it knows, else `ct` itself.
PyObject* intern_ct_bytes(PyObject* ct) {
  PyObject* shared =
      get_interned_content_type_bytes(PyBytes_AS_STRING(ct), static_cast<std::size_t>(PyBytes_GET_SIZE(ct)));
  return shared ? shared : ct;
}

bool should_use_chunked_encoding(const Content* content) { return content->length < 0; }

// HTTP forbids a Content-Length in a 1xx or 204 response, and in a 304 one
// unless it is the length a 200 would have had: a response without content
// and with such a status declares no length.
bool forbids_empty_length(int status) { return (status >= 100 && status < 200) || status == 204 || status == 304; }

Ref pair(PyObject* name, Ref value) {
  Ref tuple = value ? Ref::steal(PyTuple_New(2)) : Ref();
  if (!tuple) return {};
  PyTuple_SET_ITEM(tuple.get(), 0, new_ref(name));
  PyTuple_SET_ITEM(tuple.get(), 1, value.release());
  return tuple;
}

}  // namespace

Ref content_type_value(Content* c) noexcept {
  Ref type = c->type.copy();
  if (type.is_none()) return Ref::borrow(k_octet_stream);
  if (!PyBytes_CheckExact(type.get())) return Ref::steal(expected_type_error("bytes", type.get()));
  return Ref::borrow(PyBytes_GET_SIZE(type.get()) > 0 ? intern_ct_bytes(type.get()) : k_octet_stream.get());
}

Ref length_value(std::int64_t length) noexcept {
  char text[24];
  auto end = std::to_chars(text, text + sizeof text, length).ptr;
  return Ref::steal(PyBytes_FromStringAndSize(text, end - text));
}

namespace {

// The header pairs answers repeat, made once: (content-type, T) for the
// shared content types of the core library (they live for the process, so
// their address names them), (content-length, N) for small N, and
// (transfer-encoding, chunked). Tuples of bytes: shared, they cannot change.
Ref shared_type_pair(Ref type) noexcept {
  auto& cache = state.content_type_header_pairs;
  for (auto& [key, pair_ref] : cache) {
    if (key == type.get()) return pair_ref.copy();
    if (!key) {
      PyObject* shared = get_interned_content_type_bytes(PyBytes_AS_STRING(type.get()),
                                                         static_cast<std::size_t>(PyBytes_GET_SIZE(type.get())));
      if (type.get() != shared && type.get() != k_octet_stream.get()) break;  // not one of the library's: not kept
      Ref made = pair(k_content_type, type.copy());
      if (!made) return {};
      key = type.get();
      pair_ref = made.copy();
      return made;
    }
  }
  return pair(k_content_type, std::move(type));
}

Ref length_pair(std::int64_t length) noexcept {
  auto& cache = state.content_length_header_pairs;
  if (length < 0 || static_cast<std::size_t>(length) >= cache.size())
    return pair(k_content_length, length_value(length));
  Ref& slot = cache[static_cast<std::size_t>(length)];
  if (!slot) slot = pair(k_content_length, length_value(length));
  return slot.copy();
}

Ref chunked_pair() noexcept {
  Ref& slot = state.chunked_header_pair;
  if (!slot) slot = pair(k_transfer_encoding, Ref::borrow(k_chunked));
  return slot.copy();
}

}  // namespace

Ref content_header_list(Response* message, PyObject* content) noexcept {
  if (content == Py_None) {
    if (forbids_empty_length(message->status)) return Ref::steal(PyList_New(0));
    Ref list = Ref::steal(PyList_New(1));
    Ref only = list ? length_pair(0) : Ref();
    if (!only) return {};
    PyList_SET_ITEM(list.get(), 0, only.release());
    return list;
  }
  auto* c = reinterpret_cast<Content*>(content);
  Ref type = content_type_value(c);
  if (!type) return {};
  if (!wire::valid_value(wire::view(type.get()))) return Ref::steal(wire::invalid_value("content-type"));
  Ref first = shared_type_pair(std::move(type));
  Ref second = c->length < 0 ? chunked_pair() : length_pair(c->length);
  Ref list = first && second ? Ref::steal(PyList_New(2)) : Ref();
  if (!list) return {};
  PyList_SET_ITEM(list.get(), 0, first.release());
  PyList_SET_ITEM(list.get(), 1, second.release());
  return list;
}

int set_headers_for_response_content_impl(Response* message) noexcept {
  messages::Message* m = &message->base;
  auto add = m->vtab->_add_header;  // the message's own table: a subclass's version runs
  Ref content = m->content.copy();
  int has_content = PyObject_IsTrue(content.get());
  if (has_content < 0) return -1;
  if (!has_content) {
    if (forbids_empty_length(message->status)) return 0;
    add(m, k_content_length, k_zero);
    return PyErr_Occurred() ? -1 : 0;
  }
  Content* c = content_of(content.get());
  if (!c) return -1;
  Ref value = content_type_value(c);
  if (!value) return -1;
  add(m, k_content_type, value.get());
  if (PyErr_Occurred()) return -1;
  if (should_use_chunked_encoding(c)) {
    add(m, k_transfer_encoding, k_chunked);
  } else {
    Ref digits = length_value(c->length);
    if (!digits) return -1;
    add(m, k_content_length, digits.get());
  }
  return PyErr_Occurred() ? -1 : 0;
}

PyObject* set_headers_for_response_content_py(PyObject*, PyObject* const* args) {
  if (args[0] == Py_None) return refuse_none("message", state.Response);
  if (set_headers_for_response_content_impl(reinterpret_cast<Response*>(args[0])) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* write_response_cookie_py(PyObject*, PyObject* const* args) {
  if (args[0] == Py_None) return refuse_none("cookie", state.Cookie);
  return state.write_cookie_for_response(reinterpret_cast<cookies::Cookie*>(args[0]));
}

}  // namespace mf::penmoth
