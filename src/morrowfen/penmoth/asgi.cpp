// Sending a Response through an ASGI `send` callable.
#include <initializer_list>

#include "../runtime/constants.h"
#include "../runtime/coroutine.h"
#include "../runtime/errors.h"
#include "../wire/header_text.h"
#include "penmoth.h"
#include "tables.h"

namespace mf::penmoth {
namespace {

Str k_type{"type"};
Str k_status{"status"};
Str k_headers{"headers"};
Str k_body{"body"};
Str k_more_body{"more_body"};
Str k_start{"http.response.start"};
Str k_response_body{"http.response.body"};
Str k_get_parts{"get_parts"};
Str k_get_chunks{"get_chunks"};
Bytes k_empty{""};

}  // namespace

// The response's header list as the server gets it (the very object), after
// a check of every pair: a (name, value) pair of bytes (TypeError), the name
// a token and the value free of CR, LF and NUL (ValueError). A response
// without a list gets a new empty one, as adding a header would give it.
// Nothing here runs Python code, so the list cannot change while it is read.
Ref asgi_checked_headers(Response* response) noexcept {
  Ref& field = response->base.raw_headers;
  if (!field || field.is_none()) {
    Ref fresh = Ref::steal(PyList_New(0));
    if (!fresh) return {};
    field = fresh.copy();
    return fresh;
  }
  PyObject* list = field.get();
  if (!PyList_Check(list) && !PyTuple_Check(list)) {
    PyErr_Format(PyExc_TypeError, "the headers of a response must be a list of (bytes, bytes) pairs, not %.200s",
                 Py_TYPE(list)->tp_name);
    return {};
  }
  for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(list); i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(list, i);
    if (!(PyTuple_Check(item) || PyList_Check(item)) || PySequence_Fast_GET_SIZE(item) != 2) {
      PyErr_Format(PyExc_TypeError, "a response header must be a (name, value) pair of bytes, not %.200s",
                   Py_TYPE(item)->tp_name);
      return {};
    }
    if (!wire::check_pair(PySequence_Fast_GET_ITEM(item, 0), PySequence_Fast_GET_ITEM(item, 1))) return {};
  }
  return field.copy();
}

namespace {

struct Field {
  PyObject* key;
  PyObject* value = nullptr;  // nullptr: None (set for each message)
};

// A new message from `slot`'s template, made on first use with its keys in
// order: `type` first, set to `kind`, then `fields`.
Ref from_template(Ref& slot, PyObject* kind, std::initializer_list<Field> fields) {
  if (!slot) {
    Ref made = Ref::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(fields.size()) + 1));
    if (!made || PyDict_SetItem(made.get(), k_type, kind) < 0) return {};
    for (const Field& f : fields)
      if (PyDict_SetItem(made.get(), f.key, f.value ? f.value : Py_None) < 0) return {};
    slot = std::move(made);
  }
  return Ref::steal(PyDict_Copy(slot.get()));
}

}  // namespace

Ref asgi_start_message(Response* response, PyObject* headers) noexcept {
  return asgi_start_message(response->status, headers);
}

Ref asgi_start_message(int status_code, PyObject* headers) noexcept {
  if (status_code == 200) {  // the usual one: its template holds the status
    Ref ok = Ref::steal(PyLong_FromLong(200));
    Ref message =
        ok ? from_template(state.ok_start_message_template, k_start, {{k_status, ok.get()}, {k_headers}}) : Ref();
    if (!message || PyDict_SetItem(message.get(), k_headers, headers) < 0) return {};
    return message;
  }
  Ref status = Ref::steal(PyLong_FromLong(status_code));
  Ref message = status ? from_template(state.start_message_template, k_start, {{k_status}, {k_headers}}) : Ref();
  if (!message || PyDict_SetItem(message.get(), k_status, status.get()) < 0 ||
      PyDict_SetItem(message.get(), k_headers, headers) < 0)
    return {};
  return message;
}

// {"type": "http.response.body", "body": body[, "more_body": more]}
Ref asgi_body_message(PyObject* body, int more_body) noexcept {
  Ref message =
      more_body < 0 ? from_template(state.body_message_template, k_response_body, {{k_body}})
      : more_body
          ? from_template(state.more_body_message_template, k_response_body, {{k_body}, {k_more_body, Py_True}})
          : from_template(state.last_body_message_template, k_response_body, {{k_body}, {k_more_body, Py_False}});
  if (!message || PyDict_SetItem(message.get(), k_body, body) < 0) return {};
  return message;
}

// A part or slice: exactly bytes, or None (which goes out as b"").
PyObject* asgi_checked_part(PyObject* part) noexcept {
  if (part == Py_None) return k_empty;
  if (PyBytes_CheckExact(part)) return part;
  return expected_type_error("bytes", part);
}

AsgiBody asgi_body_kind(PyObject* content_object) noexcept {
  if (content_object == Py_None) return AsgiBody::empty;
  int has_content = PyObject_IsTrue(content_object);
  if (has_content <= 0) return has_content < 0 ? AsgiBody::failed : AsgiBody::empty;
  Content* content = content_of(content_object);
  if (!content) return AsgiBody::failed;
  if (content->length < 0 || PyObject_TypeCheck(content_object, state.StreamedContent.as<PyTypeObject>()))
    return AsgiBody::streamed;
  return content->length > state.chunk_size ? AsgiBody::sliced : AsgiBody::single;
}

namespace {

// `send(message)`, to be awaited.
Await send_message(const Ref& send, Ref message) {
  if (!message) return await(Ref());
  return await(Ref::steal(PyObject_CallOneArg(send.get(), message.get())));
}

struct SendAsgi {
  Ref response, send, content, iter, chunk, file;
};

CoroutineBody send_asgi_body(SendAsgi& L) {
  if (L.response.is_none()) co_return Ref::steal(refuse_none("response", state.Response));
  auto* response = L.response.as<Response>();
  L.content = response->base.content.copy();
  if (is_file_content(L.content.get())) {
    // A file (files.cpp): opened first, its size the Content-Length, then its parts.
    L.file = open_file(L.content.get());
    if (!L.file || set_file_headers(response, L.content.get(), L.file.as<contents::OpenFile>()->size) < 0) co_return {};
    Ref headers = asgi_checked_headers(response);
    Ref start = headers ? asgi_start_message(response, headers.get()) : Ref();
    headers.reset();
    bool sent = static_cast<bool>(co_await send_message(L.send, std::move(start)));
    if (!sent) co_return {};
    Ref parts = asgi_file_parts(L.send.get(), L.file.get(), 0, L.file.as<contents::OpenFile>()->size);
    co_return co_await await(std::move(parts));
  }
  if (set_headers_for_response_content_impl(response) < 0) co_return {};
  Ref headers = asgi_checked_headers(response);
  if (!headers) co_return {};
  Ref start = asgi_start_message(response, headers.get());
  headers.reset();
  bool sent = static_cast<bool>(co_await send_message(L.send, std::move(start)));
  if (!sent) co_return {};

  AsgiBody kind = asgi_body_kind(L.content.get());
  if (kind == AsgiBody::failed) co_return {};
  if (kind == AsgiBody::empty) {
    sent = static_cast<bool>(co_await send_message(L.send, asgi_body_message(k_empty, -1)));
    co_return sent ? Ref::none() : Ref();
  }
  Content* content = L.content.as<Content>();

  if (kind == AsgiBody::streamed) {
    // Streamed: part by part; an empty (or None) part is the closing one.
    Ref parts = Ref::steal(PyObject_CallMethodNoArgs(L.content.get(), k_get_parts));
    if (!parts || !(L.iter = aiter(parts.get()))) co_return {};
    parts.reset();
    for (;;) {
      L.chunk = co_await anext(L.iter);
      if (!L.chunk) break;
      PyObject* chunk = asgi_checked_part(L.chunk.get());
      if (!chunk) co_return {};
      bool closing = PyBytes_GET_SIZE(chunk) == 0;
      sent = static_cast<bool>(co_await send_message(L.send, asgi_body_message(chunk, !closing)));
      if (!sent) co_return {};
      if (closing) co_return Ref::none();  // the body is complete: nothing more is read or sent
    }
    if (!async_iteration_ended()) co_return {};
    sent = static_cast<bool>(co_await send_message(L.send, asgi_body_message(k_empty, 0)));
    co_return sent ? Ref::none() : Ref();
  }

  if (kind == AsgiBody::sliced) {
    // Large and buffered: slices, the last one empty.
    Ref get_chunks = lookup_global(k_get_chunks);
    if (!get_chunks) co_return {};
    Ref body = content->body.copy();  // held: the callable found may be any code
    Ref slices = Ref::steal(PyObject_CallOneArg(get_chunks.get(), body.get()));
    body.reset();
    get_chunks.reset();
    if (!slices) co_return {};
    L.iter = Ref::steal(PyObject_GetIter(slices.get()));
    slices.reset();
    if (!L.iter) co_return {};
    for (;;) {
      L.chunk = Ref::steal(PyIter_Next(L.iter.get()));
      if (!L.chunk) {
        if (PyErr_Occurred()) co_return {};
        break;
      }
      PyObject* chunk = asgi_checked_part(L.chunk.get());
      if (!chunk) co_return {};
      sent = static_cast<bool>(co_await send_message(L.send, asgi_body_message(chunk, PyBytes_GET_SIZE(chunk) > 0)));
      if (!sent) co_return {};
    }
    co_return Ref::none();
  }

  // Small and buffered: one message, the body as it is.
  sent = static_cast<bool>(co_await send_message(L.send, asgi_body_message(content->body.get(), 0)));
  co_return sent ? Ref::none() : Ref();
}

}  // namespace

PyObject* send_asgi_response_py(PyObject* self, PyObject* const* args) { return start(self, args, send_asgi_body); }

}  // namespace mf::penmoth
