// The content headers of a response, and the response form of a cookie.
#include <charconv>

#include "../orvel_core/orvel_core.h"
#include "../runtime/constants.h"
#include "../runtime/errors.h"
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

}  // namespace

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
  Ref type = c->type.copy();
  PyObject* value;
  if (type.is_none()) {
    value = k_octet_stream;
  } else if (!PyBytes_CheckExact(type.get())) {
    expected_type_error("bytes", type.get());
    return -1;
  } else {
    value = PyBytes_GET_SIZE(type.get()) > 0 ? intern_ct_bytes(type.get()) : k_octet_stream.get();
  }
  add(m, k_content_type, value);
  if (PyErr_Occurred()) return -1;
  if (should_use_chunked_encoding(c)) {
    add(m, k_transfer_encoding, k_chunked);
  } else {
    char text[24];
    auto end = std::to_chars(text, text + sizeof text, c->length).ptr;
    Ref digits = Ref::steal(PyBytes_FromStringAndSize(text, end - text));
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
