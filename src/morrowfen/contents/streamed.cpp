// The bodies that arrive or leave as a stream: StreamedContent (a response
// body produced part by part), ASGIContent and RSGIContent (a request body
// read from the server), with their stream(), get_parts() and read().
#include <cstdint>

#include "contents_module.h"

namespace mf::contents::impl {

// --- reading from the server ----------------------------------------------------

// The kind of an ASGI receive message, by its "type".
enum class MessageKind : unsigned char { request, disconnect, other, failed };

MessageKind asgi_message_kind(PyObject* message) noexcept {
  PyObject* type = nullptr;
  if (PyMapping_GetOptionalItem(message, k_type, &type) < 0) return MessageKind::failed;
  Ref held = Ref::steal(type);
  if (!held || !PyUnicode_Check(held.get())) return MessageKind::other;
  if (wire::same_text(held.get(), k_http_request.get())) return MessageKind::request;
  if (wire::same_text(held.get(), k_http_disconnect.get())) return MessageKind::disconnect;
  return MessageKind::other;
}
// The body chunk of an "http.request" message and whether more follow.
bool asgi_request_chunk(PyObject* message, Ref& chunk, bool& more) noexcept {
  PyObject* body = nullptr;
  PyObject* more_body = nullptr;
  if (PyMapping_GetOptionalItem(message, k_body, &body) < 0) return false;
  chunk = Ref::steal(body);
  if (PyMapping_GetOptionalItem(message, k_more_body, &more_body) < 0) return false;
  Ref more_held = Ref::steal(more_body);
  int truth = more_held ? PyObject_IsTrue(more_held.get()) : 0;
  if (truth < 0) return false;
  more = truth;
  return true;
}
// The size of a chunk read from a server, for the limit (-1 with an
// exception set when it has none).
Py_ssize_t chunk_size(PyObject* chunk) noexcept {
  if (PyBytes_Check(chunk)) return PyBytes_GET_SIZE(chunk);
  return PyObject_Length(chunk);
}
// receive(), to be awaited: the field is held across its call, which may
// replace it.
Ref call_receive(ASGIContent* c) noexcept {
  Ref receive = c->receive.copy();
  return Ref::steal(PyObject_CallNoArgs(receive.get()));
}
// One message read from an ASGI server for a body: 1 for an "http.request"
// (`chunk` its body when that is not empty, counted against `limit`; `more`
// whether more follow), 0 for a message of another kind (skipped), -1 with
// an exception set (MessageAborted for "http.disconnect").
int asgi_body_step(PyObject* message, std::int64_t limit, std::int64_t& total, Ref& chunk, bool& more) noexcept {
  MessageKind kind = asgi_message_kind(message);
  if (kind == MessageKind::failed) return -1;
  if (kind == MessageKind::disconnect) {
    PyErr_SetNone(state.message_aborted.get());
    return -1;
  }
  if (kind == MessageKind::other) return 0;
  if (!asgi_request_chunk(message, chunk, more)) return -1;
  Py_ssize_t size = chunk && !chunk.is_none() ? chunk_size(chunk.get()) : 0;
  if (size < 0 || (size > 0 && !within_limit(limit, total, size))) return -1;
  if (size == 0) chunk.reset();
  return 1;
}
// ASGIContent.stream(): the bodies of "http.request" messages until one says
// no more follow; "http.disconnect" raises MessageAborted.
mf::AsyncGeneratorBody asgi_stream_body(AsgiStreamLocals& L) {
  if (!check_content(L.content)) co_return {};
  auto* c = L.content.as<ASGIContent>();
  if (has_body(&c->base)) {
    Ref sent = co_yield c->base.body.copy();
    co_return sent ? Ref::none() : Ref();
  }
  std::int64_t total = 0;
  for (;;) {
    L.message = co_await mf::await(call_receive(c));
    if (!L.message) co_return {};
    Ref chunk;
    bool more = false;
    int step = asgi_body_step(L.message.get(), c->limit, total, chunk, more);
    L.message.reset();
    if (step < 0) co_return {};
    if (step == 0) continue;
    if (chunk) {
      Ref sent = co_yield std::move(chunk);
      if (!sent) co_return {};
    }
    if (!more) break;
  }
  co_return Ref::none();
}
// Keeps the body read from the server, so that reading again gives it back.
void cache_body(Content* c, const Ref& body) noexcept {
  if (!PyBytes_Check(body.get())) return;
  c->body = body.copy();
  c->length = PyBytes_GET_SIZE(body.get());
}
// ASGIContent.read(): the whole body as bytes, read as stream() reads it (a
// loop of its own: no async generator between the server and the body).
mf::CoroutineBody asgi_read_body(AsgiReadLocals& L) {
  if (!check_content(L.content)) co_return {};
  auto* c = L.content.as<ASGIContent>();
  if (has_body(&c->base)) co_return c->base.body.copy();
  L.chunks = Ref::steal(PyList_New(0));
  if (!L.chunks) co_return {};
  std::int64_t total = 0;
  for (;;) {
    L.message = co_await mf::await(call_receive(c));
    if (!L.message) co_return {};
    Ref chunk;
    bool more = false;
    int step = asgi_body_step(L.message.get(), c->limit, total, chunk, more);
    L.message.reset();
    if (step < 0) co_return {};
    if (step == 0) continue;
    if (chunk && PyList_Append(L.chunks.get(), chunk.get()) < 0) co_return {};
    if (!more) break;
  }
  Ref body = mf::wire::join_bytes(L.chunks.get(), "body chunks");
  if (!body) co_return {};
  cache_body(&c->base, body);
  co_return body;
}
// RSGIContent.stream(): `async for chunk in protocol`.
mf::AsyncGeneratorBody rsgi_stream_body(RsgiStreamLocals& L) {
  if (!check_content(L.content)) co_return {};
  auto* c = L.content.as<RSGIContent>();
  if (has_body(&c->base)) {
    Ref sent = co_yield c->base.body.copy();
    co_return sent ? Ref::none() : Ref();
  }
  L.iter = mf::aiter(c->protocol.copy().get());
  if (!L.iter) co_return {};
  std::int64_t total = 0;
  for (;;) {
    Ref chunk = co_await mf::anext(L.iter);
    if (!chunk) break;
    if (c->limit >= 0) {
      Py_ssize_t size = chunk_size(chunk.get());
      if (size < 0 || !within_limit(c->limit, total, size)) co_return {};
    }
    Ref sent = co_yield std::move(chunk);
    if (!sent) co_return {};
  }
  co_return mf::async_iteration_ended() ? Ref::none() : Ref();
}
// RSGIContent.read(): `await protocol()`; with a limit, the chunks of
// `async for chunk in protocol` joined, so that a body past the limit is
// refused as it arrives instead of being read whole first.
mf::CoroutineBody rsgi_read_body(RsgiReadLocals& L) {
  if (!check_content(L.content)) co_return {};
  auto* c = L.content.as<RSGIContent>();
  if (has_body(&c->base)) co_return c->base.body.copy();
  if (c->limit >= 0) {
    L.iter = mf::aiter(c->protocol.copy().get());
    L.chunks = Ref::steal(PyList_New(0));
    if (!L.iter || !L.chunks) co_return {};
    std::int64_t total = 0;
    for (;;) {
      Ref chunk = co_await mf::anext(L.iter);
      if (!chunk) break;
      Py_ssize_t size = chunk_size(chunk.get());
      if (size < 0 || !within_limit(c->limit, total, size) || PyList_Append(L.chunks.get(), chunk.get()) < 0)
        co_return {};
    }
    if (!mf::async_iteration_ended()) co_return {};
    Ref body = mf::wire::join_bytes(L.chunks.get(), "body chunks");
    if (body) cache_body(&c->base, body);
    co_return body;
  }
  Ref protocol = c->protocol.copy();  // held across its call, which may replace the field
  Ref pending = Ref::steal(PyObject_CallNoArgs(protocol.get()));
  protocol.reset();
  if (!pending) co_return {};
  Ref body = co_await mf::await(std::move(pending));
  if (body) cache_body(&c->base, body);
  co_return body;
}

// --- the methods ------------------------------------------------------------------

// StreamedContent: both methods call the data provider.
PyObject* streamed_stream_py(PyObject* self, PyObject*) {
  Ref provider = reinterpret_cast<StreamedContent*>(self)->data_provider.copy();  // held across its call
  return PyObject_CallNoArgs(provider.get());
}
// ASGIContent
PyObject* asgi_stream_py(PyObject* self, PyObject*) { return run(state.asgi_stream_fn, self, asgi_stream_body); }
PyObject* asgi_read_py(PyObject* self, PyObject*) { return run(state.asgi_read_fn, self, asgi_read_body); }
// RSGIContent
PyObject* rsgi_stream_py(PyObject* self, PyObject*) { return run(state.rsgi_stream_fn, self, rsgi_stream_body); }
PyObject* rsgi_read_py(PyObject* self, PyObject*) { return run(state.rsgi_read_fn, self, rsgi_read_body); }

// The C-level tables: each entry runs a Python subclass's replacement of the
// method when there is one (runtime/type_support.h).
constexpr StreamingVTable streamed_vtable = {{c_method0<streamed_stream_py, k_get_parts, Content>},
                                             c_method0<streamed_stream_py, k_stream, Content>};
constexpr BodyReaderVTable asgi_vtable = {
    {{c_method0<asgi_stream_py, k_get_parts, Content>}, c_method0<asgi_stream_py, k_stream, Content>},
    c_method0<asgi_read_py, k_read, Content>};
constexpr BodyReaderVTable rsgi_vtable = {
    {{c_method0<rsgi_stream_py, k_get_parts, Content>}, c_method0<rsgi_stream_py, k_stream, Content>},
    c_method0<rsgi_read_py, k_read, Content>};

// --- construction ---------------------------------------------------------------------

// StreamedContent(content_type, data_provider, data_length=-1)
int StreamedInit::setup(PyObject* self, PyObject* const* bound) noexcept {
  PyObject *type = bound[0], *provider = bound[1], *length = bound[2];
  std::int64_t n = -1;
  if (!check_media_type(type) || !is_callable(provider, "data_provider") || (length && !sup::to_integer(length, n)))
    return -1;
  auto* c = reinterpret_cast<StreamedContent*>(self);
  c->base.type = Ref::borrow(type);
  c->base.body = Ref::none();
  c->base.length = n;
  c->data_provider = Ref::borrow(provider);
  return 0;
}
// ASGIContent(receive)
int ASGIInit::setup(PyObject* self, PyObject* const* bound) noexcept {
  PyObject* receive = bound[0];
  if (!is_callable(receive, "receive")) return -1;
  reinterpret_cast<ASGIContent*>(self)->receive = Ref::borrow(receive);
  reinterpret_cast<ASGIContent*>(self)->limit = -1;
  return 0;
}
// RSGIContent(protocol)
int RSGIInit::setup(PyObject* self, PyObject* const* bound) noexcept {
  reinterpret_cast<RSGIContent*>(self)->protocol = Ref::borrow(bound[0]);
  reinterpret_cast<RSGIContent*>(self)->limit = -1;
  return 0;
}

}  // namespace mf::contents::impl
