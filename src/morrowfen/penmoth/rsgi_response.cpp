// RSGI answers: a Response through one protocol call (send_rsgi_response_sync)
// or as a stream (_send_rsgi_stream), send_rsgi_response choosing.
#include <cstring>

#include "../runtime/constants.h"
#include "../runtime/coroutine.h"
#include "../runtime/errors.h"
#include "../wire/header_text.h"
#include "../wire/text.h"
#include "penmoth.h"
#include "rsgi.h"
#include "tables.h"

namespace mf::penmoth {
namespace {

using rsgi::bytes_like;
using rsgi::item_at;
using rsgi::pair_of;

Str k_content_type_str{"content-type"};
Bytes k_content_type{"content-type"};
Str k_response_empty{"response_empty"};
Str k_response_bytes{"response_bytes"};
Str k_response_str{"response_str"};
Str k_response_stream{"response_stream"};
Str k_send_bytes{"send_bytes"};
Str k_send_str{"send_str"};
Str k_stream{"stream"};
Str k_send_rsgi_stream{"_send_rsgi_stream"};

// --- the RSGI header list ------------------------------------------------------------
//
// Every name, value and content type that is not a table's own text is
// checked by the wire rule (a token name, a value free of CR, LF and NUL)
// before the protocol is called, and must reach the wire byte for byte: the
// server writes header text as UTF-8, so ASCII bytes become the same text,
// other bytes are decoded as UTF-8, and bytes that are not UTF-8 are refused.

// The table's own str for a hit; a table value of another type is refused.
Ref table_str(PyObject* hit) {
  if (PyUnicode_CheckExact(hit)) return Ref::borrow(hit);
  return Ref::steal(expected_type_error("str", hit));
}

// What is converted: a name, or the value of the header whose converted
// name is `header` (a str, or nullptr for the content type). The header's
// bytes are only looked at for an error text.
struct HeaderPart {
  bool is_name;
  PyObject* header;
};

std::string_view header_bytes(const HeaderPart& part) {
  if (!part.header) return "content-type";
  std::string_view bytes;
  if (!wire::utf8_view(part.header, bytes)) PyErr_Clear();
  return bytes;
}

PyObject* refuse(std::string_view text, const HeaderPart& part) {
  return part.is_name ? wire::invalid_name(text) : wire::invalid_value(header_bytes(part));
}

PyObject* not_utf8(const HeaderPart& part) {
  std::string_view header = header_bytes(part);
  Ref shown = Ref::steal(PyBytes_FromStringAndSize(header.data(), static_cast<Py_ssize_t>(header.size())));
  if (shown) PyErr_Format(PyExc_ValueError, "the value of header %R is neither ASCII nor UTF-8", shown.get());
  return nullptr;
}

// Bytes as the text that carries them to the wire unchanged.
Ref text_of_bytes(std::string_view bytes, HeaderPart part) {
  wire::Scan s = wire::scan(bytes);
  if (part.is_name ? !s.valid_name(bytes.size()) : !s.valid_value()) return Ref::steal(refuse(bytes, part));
  auto size = static_cast<Py_ssize_t>(bytes.size());
  if (s.ascii()) return Ref::steal(PyUnicode_DecodeLatin1(bytes.data(), size, nullptr));
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(bytes.data(), size, nullptr));
  if (!text && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    PyErr_Clear();
    return Ref::steal(not_utf8(part));
  }
  return text;
}

// A str checked by the same rule, on the UTF-8 the server will write.
Ref checked_text(Ref text, HeaderPart part) {
  std::string_view bytes;
  if (!wire::utf8_view(text.get(), bytes)) return {};
  if (part.is_name ? !wire::valid_name(bytes) : !wire::valid_value(bytes)) return Ref::steal(refuse(bytes, part));
  return text;
}

Ref text_of_buffer(PyObject* bytes_like_object, HeaderPart part) {
  Py_buffer view;
  if (PyObject_GetBuffer(bytes_like_object, &view, PyBUF_SIMPLE) < 0) return {};
  Ref text = text_of_bytes({static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)}, part);
  PyBuffer_Release(&view);
  return text;
}

// A name, value or content type as str, once any table lookup missed.
Ref convert(PyObject* item, HeaderPart part) {
  if (PyBytes_CheckExact(item)) return text_of_bytes(wire::view(item), part);
  if (PyUnicode_CheckExact(item)) return checked_text(Ref::borrow(item), part);
  if (bytes_like(item)) return text_of_buffer(item, part);
  Ref text = Ref::steal(PyObject_Str(item));
  return text ? checked_text(std::move(text), part) : Ref();
}

Ref to_str(PyObject* item, const TextTable& table, HeaderPart part) {
  if (PyBytes_CheckExact(item)) {
    if (PyObject* hit = table_get(table, item)) return table_str(hit);
    if (PyErr_Occurred()) return {};
  }
  return convert(item, part);
}

constexpr HeaderPart content_type_part{false, nullptr};

// `type` is held by the caller: a bytes subclass's __hash__ runs Python code
// during the lookup, which may replace the content's field.
Ref content_type_str(PyObject* type) {
  if (PyObject* hit = table_get(state.tables.ct_str_cache, type)) return table_str(hit);
  if (PyErr_Occurred()) return {};  // an unhashable content type
  return convert(type, content_type_part);
}

Ref content_type_pair(PyObject* type) {
  Ref ct = content_type_str(type);
  return ct ? pair_of(Ref::borrow(k_content_type_str), std::move(ct)) : Ref();
}

// 1 when the raw header names the content type, 0 when not, -1 on error.
int is_content_type(PyObject* name, PyObject* name_str) {
  if (PyBytes_CheckExact(name))
    return PyBytes_GET_SIZE(name) == 12 && std::memcmp(PyBytes_AS_STRING(name), "content-type", 12) == 0;
  if (PyUnicode_CheckExact(name)) return PyUnicode_CompareWithASCIIString(name, "content-type") == 0;
  int r = PyObject_RichCompareBool(name, k_content_type, Py_EQ);
  if (r == 0) r = PyObject_RichCompareBool(name, k_content_type_str, Py_EQ);
  if (r == 0) r = PyObject_RichCompareBool(name_str, k_content_type_str, Py_EQ);
  return r;
}

// The raw headers converted one by one, plus the content's type when no
// raw header names it.
Ref converted_headers(PyObject* raw, PyObject* content) {
  Ref headers = Ref::steal(PyList_New(0));
  if (!headers) return {};
  bool has_ct = false;
  for (Py_ssize_t i = 0;; ++i) {
    Ref h;
    if (PyList_CheckExact(raw)) {
      if (i >= PyList_GET_SIZE(raw)) break;
      h = Ref::borrow(PyList_GET_ITEM(raw, i));
    } else {
      Py_ssize_t n = PyObject_Length(raw);
      if (n < 0) return {};
      if (i >= n) break;
      if (!(h = Ref::steal(PySequence_GetItem(raw, i)))) return {};
    }
    Ref name = item_at(h.get(), 0);
    Ref value = name ? item_at(h.get(), 1) : Ref();
    if (!value) return {};
    Ref name_str = to_str(name.get(), state.tables.known_outbound_header_name_str, {true, nullptr});
    Ref value_str =
        name_str ? to_str(value.get(), state.tables.known_outbound_header_val_str, {false, name_str.get()}) : Ref();
    if (!value_str) return {};
    int ct = is_content_type(name.get(), name_str.get());
    if (ct < 0) return {};
    has_ct = has_ct || ct;
    Ref tuple = pair_of(std::move(name_str), std::move(value_str));
    if (!tuple || PyList_Append(headers.get(), tuple.get()) < 0) return {};
  }
  if (!has_ct && content != Py_None) {
    Ref type = reinterpret_cast<Content*>(content)->type.copy();
    if (!type.is_none()) {
      Ref pair = content_type_pair(type.get());
      if (!pair || PyList_Append(headers.get(), pair.get()) < 0) return {};
    }
  }
  return headers;
}

// No raw headers: a shared list when one serves, else one new pair.
Ref shortcut_headers(PyObject* content) {
  if (content == Py_None) return state.tables.empty_headers.copy();
  // Held across the lookups: a bytes subclass's __hash__ may replace the field.
  Ref type = reinterpret_cast<Content*>(content)->type.copy();
  if (type.is_none()) return state.tables.empty_headers.copy();
  if (PyObject* prebuilt = table_get(state.tables.static_headers_by_ct_bytes, type.get())) {
    if (PyList_CheckExact(prebuilt)) return Ref::borrow(prebuilt);
    return Ref::steal(expected_type_error("list", prebuilt));
  }
  if (PyErr_Occurred()) return {};
  Ref pair = content_type_pair(type.get());
  if (!pair) return {};
  Ref list = Ref::steal(PyList_New(1));
  if (list) PyList_SET_ITEM(list.get(), 0, pair.release());
  return list;
}

}  // namespace

Ref rsgi_headers(PyObject* raw, PyObject* content) noexcept {
  if (raw == Py_None) return shortcut_headers(content);
  Py_ssize_t n = PyList_CheckExact(raw) ? PyList_GET_SIZE(raw) : PyObject_Length(raw);
  if (n < 0) return {};
  return n == 0 ? shortcut_headers(content) : converted_headers(raw, content);
}

bool rsgi_streams(PyObject* content) noexcept {
  return PyObject_TypeCheck(content, state.StreamedContent.as<PyTypeObject>()) &&
         reinterpret_cast<Content*>(content)->body.is_none();
}

namespace {

// protocol.NAME(status, headers[, body]); the result is dropped.
Ref respond(PyObject* protocol, PyObject* name, Response* response, PyObject* headers, PyObject* body) {
  Ref status = Ref::steal(PyLong_FromLong(response->status));
  if (!status) return {};
  PyObject* args[] = {protocol, status.get(), headers, body};
  Ref r = Ref::steal(PyObject_VectorcallMethod(name, args, (body ? 4 : 3) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  return r ? Ref::none() : Ref();
}

}  // namespace

// --- buffered answer --------------------------------------------------------------------

Ref send_rsgi_response_sync_impl(PyObject* response_object, PyObject* protocol) noexcept {
  if (response_object == Py_None) return Ref::steal(refuse_none("response", state.Response));
  auto* response = reinterpret_cast<Response*>(response_object);
  Ref raw = response->base.raw_headers.copy();
  Ref content = response->base.content.copy();
  if (!content.is_none() && !content_of(content.get())) return {};
  if (is_file_content(content.get())) return send_rsgi_file(response, protocol, raw.get(), content.get());
  Ref headers = rsgi_headers(raw.get(), content.get());
  if (!headers) return {};
  if (content.is_none()) return respond(protocol, k_response_empty, response, headers.get(), nullptr);
  if (rsgi_streams(content.get())) {
    Ref stream = lookup_global(k_send_rsgi_stream);
    if (!stream) return {};
    PyObject* args[] = {response_object, protocol, headers.get(), content.get()};
    return Ref::steal(PyObject_Vectorcall(stream.get(), args, 4, nullptr));
  }
  Ref body = content.as<Content>()->body.copy();
  if (body.is_none()) return respond(protocol, k_response_empty, response, headers.get(), nullptr);
  if (PyBytes_CheckExact(body.get())) return respond(protocol, k_response_bytes, response, headers.get(), body.get());
  if (PyUnicode_CheckExact(body.get())) return respond(protocol, k_response_str, response, headers.get(), body.get());
  if (bytes_like(body.get())) {
    Ref copy = Ref::steal(PyBytes_FromObject(body.get()));
    return copy ? respond(protocol, k_response_bytes, response, headers.get(), copy.get()) : Ref();
  }
  Ref text = Ref::steal(PyObject_Str(body.get()));
  return text ? respond(protocol, k_response_str, response, headers.get(), text.get()) : Ref();
}

namespace {

// --- streaming ---------------------------------------------------------------------------

struct SendStream {
  Ref response, protocol, headers, content, trx, iter, chunk;
};

}  // namespace

Ref rsgi_send_chunk(PyObject* trx, PyObject* chunk) noexcept {
  if (PyBytes_CheckExact(chunk)) return Ref::steal(PyObject_CallMethodOneArg(trx, k_send_bytes, chunk));
  if (PyUnicode_CheckExact(chunk)) return Ref::steal(PyObject_CallMethodOneArg(trx, k_send_str, chunk));
  if (bytes_like(chunk)) {
    Ref copy = Ref::steal(PyBytes_FromObject(chunk));
    return copy ? Ref::steal(PyObject_CallMethodOneArg(trx, k_send_bytes, copy.get())) : Ref();
  }
  Ref text = Ref::steal(PyObject_Str(chunk));
  return text ? Ref::steal(PyObject_CallMethodOneArg(trx, k_send_str, text.get())) : Ref();
}

namespace {

CoroutineBody send_stream_body(SendStream& L) {
  if (L.response.is_none()) co_return Ref::steal(refuse_none("response", state.Response));
  Ref status = Ref::steal(PyLong_FromLong(L.response.as<Response>()->status));
  if (!status) co_return {};
  PyObject* args[] = {L.protocol.get(), status.get(), L.headers.get()};
  Ref opened =
      Ref::steal(PyObject_VectorcallMethod(k_response_stream, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  status.reset();
  if (!opened) co_return {};
  // RSGI servers return the transport itself; an awaitable result is
  // awaited for it.
  if (is_awaitable(opened.get())) {
    L.trx = co_await await(std::move(opened));
    if (!L.trx) co_return {};
  } else {
    L.trx = std::move(opened);
  }
  Ref stream = Ref::steal(PyObject_CallMethodNoArgs(L.content.get(), k_stream));
  if (!stream || !(L.iter = aiter(stream.get()))) co_return {};
  stream.reset();
  for (;;) {
    L.chunk = co_await anext(L.iter);
    if (!L.chunk) break;
    int has = PyObject_IsTrue(L.chunk.get());
    if (has < 0) co_return {};
    if (!has) continue;
    bool sent = static_cast<bool>(co_await await(rsgi_send_chunk(L.trx.get(), L.chunk.get())));
    if (!sent) co_return {};
  }
  co_return async_iteration_ended() ? Ref::none() : Ref();
}

struct SendResponse {
  Ref response, protocol, res;
};

CoroutineBody send_response_body(SendResponse& L) {
  L.res = send_rsgi_response_sync_impl(L.response.get(), L.protocol.get());
  if (!L.res) co_return {};
  if (L.res.is_none()) co_return Ref::none();
  bool done = static_cast<bool>(co_await await(L.res.copy()));
  co_return done ? Ref::none() : Ref();
}

}  // namespace

PyObject* send_rsgi_response_sync_py(PyObject*, PyObject* const* args) {
  return send_rsgi_response_sync_impl(args[0], args[1]).release();
}

PyObject* send_rsgi_stream_py(PyObject* self, PyObject* const* args) { return start(self, args, send_stream_body); }

PyObject* send_rsgi_response_py(PyObject* self, PyObject* const* args) { return start(self, args, send_response_body); }

}  // namespace mf::penmoth
