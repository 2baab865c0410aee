// WebSocket: its construction from a server's scope, and the coroutines of
// every message. Each message is one call of the server (ASGI: `receive()` or
// `send(message)`, the message copied from a template; RSGI: the transport's
// `receive()`, `send_str()` or `send_bytes()`) awaited from a native body.
#include <cstring>
#include <string_view>

#include "../runtime/errors.h"
#include "../runtime/init_args.h"
#include "../wire/header_list.h"
#include "../wire/text.h"
#include "websocket_module.h"

namespace mf::websocket {
namespace {

namespace hl = mf::header_list;

const Str k_type{"type"};
const Str k_text{"text"};
const Str k_bytes{"bytes"};
const Str k_code{"code"};
const Str k_reason{"reason"};
const Str k_subprotocol{"subprotocol"};
const Str k_status{"status"};
const Str k_headers{"headers"};
const Str k_body{"body"};
const Str k_path{"path"};
const Str k_query_string{"query_string"};
const Str k_extensions{"extensions"};
const Str k_kind{"kind"};
const Str k_data{"data"};
const Str k_receive{"receive"};
const Str k_send_str{"send_str"};
const Str k_send_bytes{"send_bytes"};
const Str k_accept{"accept"};
const Str k_close{"close"};
const Str k_get{"GET"};
const Str k_empty_text{""};
const Str k_ws_receive{"websocket.receive"};
const Str k_ws_disconnect{"websocket.disconnect"};
const Str k_ws_accept{"websocket.accept"};
const Str k_ws_send{"websocket.send"};
const Str k_ws_close{"websocket.close"};
const Str k_denial{"websocket.http.response"};
const Str k_denial_start{"websocket.http.response.start"};
const Str k_denial_body{"websocket.http.response.body"};
const Bytes k_empty{""};
const Bytes k_protocol_header{"sec-websocket-protocol"};
const Bytes k_content_type{"content-type"};
const Bytes k_text_plain{"text/plain; charset=utf-8"};
const Bytes k_content_length{"content-length"};
const Bytes k_forbidden{"Forbidden"};
const Bytes k_forbidden_length{"9"};

// The codes a disconnect carries when the server gives none: RSGI tells that
// the client closed but not with which code (1005, "no status received"); a
// transport that failed under a send means the connection dropped (1006).
constexpr int no_status = 1005;
constexpr int dropped = 1006;
constexpr int refused_status = 403;

// --- reading what servers give ----------------------------------------------------------

// Byte strings as bytes (exact bytes as they are), text as Latin-1.
Ref as_bytes(PyObject* value) noexcept {
  if (PyBytes_CheckExact(value)) return Ref::borrow(value);
  if (PyBytes_Check(value) || PyByteArray_Check(value) || PyMemoryView_Check(value))
    return Ref::steal(PyBytes_FromObject(value));
  if (PyUnicode_Check(value)) return Ref::steal(PyUnicode_AsLatin1String(value));
  return Ref::steal(mf::expected_type_error("bytes", value));
}

// A close code as the server gave it (an int, or an int enum); `fallback`
// for anything else.
int code_of(PyObject* value, int fallback) noexcept {
  if (!value || !PyLong_Check(value)) return fallback;
  int overflow = 0;
  long code = PyLong_AsLongAndOverflow(value, &overflow);
  if (code == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return fallback;
  }
  return overflow || code < 0 || code > 65535 ? fallback : static_cast<int>(code);
}

// True when the pending exception is the one an RSGI transport raises once
// its connection is closed (looked up in the server's module the first time).
bool protocol_closed_pending() noexcept {
  if (!state.protocol_closed) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref name = Ref::steal(PyUnicode_FromString("granian._granian"));
    PyObject* module = nullptr;
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    if (name && PyDict_GetItemRef(modules, name.get(), &module) > 0) {
      Ref held = Ref::steal(module);
      PyObject* found = nullptr;
      int has = PyObject_GetOptionalAttrString(held.get(), "RSGIProtocolClosed", &found);
      Ref type = Ref::steal(found);
      if (has > 0 && PyType_Check(type.get())) state.protocol_closed = std::move(type);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(raised.release());
    if (!state.protocol_closed) return false;
  }
  return PyErr_ExceptionMatches(state.protocol_closed.get());
}

// True when the pending exception says that the client has gone: an OSError
// from an ASGI send (the servers' "client disconnected"), the RSGI
// transport's closed error.
bool client_gone_pending(const WebSocket* ws) noexcept {
  if (ws->gateway == Gateway::asgi) return PyErr_ExceptionMatches(PyExc_OSError);
  return protocol_closed_pending();
}

void mark_ended(WebSocket* ws, Phase phase, int code) noexcept {
  if (ws->phase == Phase::connecting || ws->phase == Phase::open) {
    ws->phase = phase;
    ws->close_code = code;
  }
}

// After a failed server call: when the client has gone, the connection is
// marked so and WebSocketDisconnect replaces the error (which becomes its
// cause); any other error is left as it is.
void map_gone(WebSocket* ws) noexcept {
  if (!client_gone_pending(ws)) return;
  mark_ended(ws, Phase::gone, dropped);
  Ref cause = Ref::steal(PyErr_GetRaisedException());
  raise_disconnect(ws->close_code, k_empty_text);
  Ref error = Ref::steal(PyErr_GetRaisedException());
  PyException_SetCause(error.get(), cause.copy().release());
  PyException_SetContext(error.get(), cause.release());
  PyErr_SetRaisedException(error.release());
}

// --- construction ---------------------------------------------------------------------------

// A WebSocket with the request line of the handshake: the URL is the path,
// plus "?query" when the query is not empty, as a Request's is.
Ref new_websocket(PyObject* path, PyObject* query, PyObject* headers, PyObject* scope) noexcept {
  Ref target;
  if (PyBytes_GET_SIZE(query) == 0) {
    target = Ref::borrow(path);
  } else {
    Py_ssize_t n = PyBytes_GET_SIZE(path), q = PyBytes_GET_SIZE(query);
    target = Ref::steal(PyBytes_FromStringAndSize(nullptr, n + 1 + q));
    if (!target) return {};
    char* p = PyBytes_AS_STRING(target.get());
    std::memcpy(p, PyBytes_AS_STRING(path), static_cast<std::size_t>(n));
    p[n] = '?';
    std::memcpy(p + n + 1, PyBytes_AS_STRING(query), static_cast<std::size_t>(q));
  }
  Ref url = Ref::steal(PyObject_CallOneArg(state.url_type.get(), target.get()));
  if (!url) return {};
  Ref self = Ref::steal(WebSocketType.tp_new(&WebSocketType, nullptr, nullptr));
  if (!self) return {};
  WebSocket* ws = as_websocket(self);
  ws->base.method = Ref::borrow(k_get);
  ws->base.url = std::move(url);
  ws->base.base.raw_headers = Ref::borrow(headers);
  ws->base.scope = Ref::borrow(scope);
  return self;
}

Ref utf8_text(PyObject* value, const char* what) noexcept {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "the scope's %s must be a str, not %.200s", what, Py_TYPE(value)->tp_name);
    return {};
  }
  return Ref::steal(PyUnicode_AsUTF8String(value));
}

}  // namespace

void raise_disconnect(int code, PyObject* reason) noexcept {
  Ref number = Ref::steal(PyLong_FromLong(code));
  if (!number) return;
  PyObject* args[] = {number.get(), reason ? reason : k_empty_text.get()};
  Ref error = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&DisconnectType), args, 2, nullptr));
  if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(&DisconnectType), error.get());
}

Ref websocket_from_asgi(PyObject* scope, PyObject* receive, PyObject* send) noexcept {
  Ref path = item(scope, k_path);
  if (!path) {
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, k_path);
    return {};
  }
  Ref raw_path = utf8_text(path.get(), "path");
  if (!raw_path) return {};
  Ref query = item(scope, k_query_string);
  if (!query && PyErr_Occurred()) return {};
  query = !query || query.is_none() ? Ref::borrow(k_empty) : as_bytes(query.get());
  if (!query) return {};
  Ref headers = item(scope, k_headers);
  if (!headers && PyErr_Occurred()) return {};
  if (!headers || headers.is_none()) {
    headers = Ref::steal(PyList_New(0));
  } else if (!header_list::exact_pairs(headers.get())) {
    headers = Ref::steal(state.extract_headers(headers.get(), 0));
  }
  if (!headers) return {};
  Ref extensions = item(scope, k_extensions);
  if (!extensions && PyErr_Occurred()) return {};
  int denial = extensions && PyDict_Check(extensions.get()) ? PyDict_Contains(extensions.get(), k_denial) : 0;
  if (denial < 0) return {};
  Ref self = new_websocket(raw_path.get(), query.get(), headers.get(), scope);
  if (!self) return {};
  WebSocket* ws = as_websocket(self);
  ws->receive = Ref::borrow(receive);
  ws->send = Ref::borrow(send);
  ws->gateway = Gateway::asgi;
  ws->denial = denial;
  return self;
}

Ref websocket_from_rsgi(PyObject* scope, PyObject* protocol) noexcept {
  Ref path = Ref::steal(PyObject_GetAttr(scope, k_path));
  Ref raw_path = path ? utf8_text(path.get(), "path") : Ref();
  if (!raw_path) return {};
  Ref query = Ref::steal(PyObject_GetAttr(scope, k_query_string));
  if (!query) return {};
  if (query.is_none()) query = Ref::borrow(k_empty);
  else if (!(query = utf8_text(query.get(), "query_string"))) return {};
  Ref scope_headers = Ref::steal(PyObject_GetAttr(scope, k_headers));
  Ref headers = scope_headers ? Ref::steal(state.extract_headers(scope_headers.get(), 0)) : Ref();
  if (!headers) return {};
  Ref self = new_websocket(raw_path.get(), query.get(), headers.get(), scope);
  if (!self) return {};
  WebSocket* ws = as_websocket(self);
  ws->protocol = Ref::borrow(protocol);
  ws->gateway = Gateway::rsgi;
  return self;
}

namespace {

// A new message from `slot`'s template, made on first use with its keys in
// order: `type` first, set to `kind`, the others None.
Ref from_template(Ref& slot, PyObject* kind, std::initializer_list<PyObject*> keys) noexcept {
  if (!slot) {
    Ref made = Ref::steal(PyDict_New());
    if (!made || PyDict_SetItem(made.get(), k_type, kind) < 0) return {};
    for (PyObject* key : keys)
      if (PyDict_SetItem(made.get(), key, Py_None) < 0) return {};
    slot = std::move(made);
  }
  return Ref::steal(PyDict_Copy(slot.get()));
}

Ref tuple_of(Ref first, Ref second = Ref()) noexcept {
  if (!first) return {};
  Ref tuple = Ref::steal(PyTuple_New(second ? 2 : 1));
  if (!tuple) return {};
  PyTuple_SET_ITEM(tuple.get(), 0, first.release());
  if (second) PyTuple_SET_ITEM(tuple.get(), 1, second.release());
  return tuple;
}

Ref denial_messages() noexcept {
  Ref status = Ref::steal(PyLong_FromLong(refused_status));
  Ref type = hl::make_pair(k_content_type, k_text_plain);
  Ref length = hl::make_pair(k_content_length, k_forbidden_length);
  Ref headers = status && type && length ? Ref::steal(PyList_New(2)) : Ref();
  if (!headers) return {};
  PyList_SET_ITEM(headers.get(), 0, type.release());
  PyList_SET_ITEM(headers.get(), 1, length.release());
  Ref start = from_template(state.denial_start_template, k_denial_start, {k_status, k_headers});
  if (!start || PyDict_SetItem(start.get(), k_status, status.get()) < 0 ||
      PyDict_SetItem(start.get(), k_headers, headers.get()) < 0)
    return {};
  Ref body = from_template(state.denial_body_template, k_denial_body, {k_body});
  if (!body || PyDict_SetItem(body.get(), k_body, k_forbidden) < 0) return {};
  return tuple_of(std::move(start), std::move(body));
}

Ref close_message(int code, PyObject* reason) noexcept {
  Ref number = Ref::steal(PyLong_FromLong(code));
  Ref message = number ? from_template(state.close_template, k_ws_close, {k_code, k_reason}) : Ref();
  if (!message || PyDict_SetItem(message.get(), k_code, number.get()) < 0 ||
      PyDict_SetItem(message.get(), k_reason, reason) < 0)
    return {};
  return message;
}

// protocol.close(code), the RSGI way to refuse or end a connection.
Ref rsgi_close(WebSocket* ws, int code) noexcept {
  Ref protocol = ws->protocol.copy();
  Ref number = Ref::steal(PyLong_FromLong(code));
  if (!number) return {};
  PyObject* args[] = {protocol.get(), number.get()};
  Ref result = Ref::steal(PyObject_VectorcallMethod(k_close, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  return result ? Ref::steal(PyTuple_New(0)) : Ref();
}

}  // namespace

// The ASGI messages to send, in order (a tuple); empty for RSGI, where the
// protocol was told at once.
Ref refuse(WebSocket* ws) noexcept {
  ws->phase = Phase::refused;
  ws->close_code = refused_status;
  if (ws->gateway == Gateway::rsgi) return rsgi_close(ws, refused_status);
  if (ws->denial) return denial_messages();
  return tuple_of(close_message(1000, k_empty_text));
}

Ref close_open(WebSocket* ws, int code, PyObject* reason) noexcept {
  ws->phase = Phase::closed;
  ws->close_code = code;
  if (ws->gateway == Gateway::rsgi) return rsgi_close(ws, code);
  return tuple_of(close_message(code, reason));
}

namespace {

// --- per message ----------------------------------------------------------------------------

// Whether the socket may exchange messages; false with the exception that
// says why (WebSocketDisconnect once the connection has ended).
bool ready(WebSocket* ws, const char* doing) noexcept {
  switch (ws->phase) {
    case Phase::open: return true;
    case Phase::connecting:
      if (ws->gateway == Gateway::none)
        PyErr_Format(PyExc_RuntimeError, "cannot %s: this WebSocket is not connected to a server", doing);
      else PyErr_Format(PyExc_RuntimeError, "cannot %s before the WebSocket is accepted: await accept() first", doing);
      return false;
    case Phase::refused: PyErr_Format(PyExc_RuntimeError, "cannot %s: the handshake was refused", doing); return false;
    case Phase::closed:
    case Phase::gone: raise_disconnect(ws->close_code, k_empty_text); return false;
  }
  return false;
}

// The text or bytes of an ASGI "websocket.receive"; a "websocket.disconnect"
// ends the connection and raises WebSocketDisconnect.
Ref asgi_data(WebSocket* ws, PyObject* message) noexcept {
  Ref kind = item(message, k_type);
  if (!kind) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_RuntimeError, "an ASGI message without a type: %R", message);
    return {};
  }
  if (same_text(kind.get(), k_ws_receive)) {
    Ref text = item(message, k_text);
    if (text && !text.is_none()) {
      if (PyUnicode_Check(text.get())) return text;
      return Ref::steal(mf::expected_type_error("str", text.get()));
    }
    if (!text && PyErr_Occurred()) return {};
    Ref bytes = item(message, k_bytes);
    if (bytes && !bytes.is_none()) return as_bytes(bytes.get());
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_RuntimeError, "a websocket.receive message with neither text nor bytes");
    return {};
  }
  if (same_text(kind.get(), k_ws_disconnect)) {
    Ref code = item(message, k_code);
    Ref reason = code || !PyErr_Occurred() ? item(message, k_reason) : Ref();
    if (PyErr_Occurred()) return {};
    int number = code_of(code.get(), no_status);
    mark_ended(ws, Phase::gone, number);
    raise_disconnect(number, reason && PyUnicode_Check(reason.get()) ? reason.get() : k_empty_text.get());
    return {};
  }
  PyErr_Format(PyExc_RuntimeError, "unexpected ASGI message %R while receiving", kind.get());
  return {};
}

// The text or bytes of an RSGI transport message; a close message ends the
// connection and raises WebSocketDisconnect.
Ref rsgi_data(WebSocket* ws, PyObject* message) noexcept {
  Ref kind = Ref::steal(PyObject_GetAttr(message, k_kind));
  if (!kind) return {};
  long number = PyLong_Check(kind.get()) ? PyLong_AsLong(kind.get()) : -1;
  if (number == -1 && PyErr_Occurred()) return {};
  if (number == 0) {
    mark_ended(ws, Phase::gone, no_status);
    raise_disconnect(no_status, k_empty_text);
    return {};
  }
  if (number != 1 && number != 2) {
    PyErr_Format(PyExc_RuntimeError, "unexpected RSGI websocket message kind %R", kind.get());
    return {};
  }
  Ref data = Ref::steal(PyObject_GetAttr(message, k_data));
  if (!data) return {};
  if (number == 1) return as_bytes(data.get());
  if (PyUnicode_Check(data.get())) return data;
  return Ref::steal(mf::expected_type_error("str", data.get()));
}

struct ReceiveLocals {
  Ref ws, message;
};

// await ws.receive(), or one step of `async for` (Iterating): the next
// message's text or bytes. Once the client has gone, receive() raises
// WebSocketDisconnect and the iteration ends.
template <bool Iterating>
mf::CoroutineBody receive_body(ReceiveLocals& L) {
  WebSocket* ws = as_websocket(L.ws);
  bool ok = ready(ws, "receive");
  if (!ok) {
    if (Iterating && PyErr_ExceptionMatches(reinterpret_cast<PyObject*>(&DisconnectType))) {
      PyErr_Clear();
      PyErr_SetNone(PyExc_StopAsyncIteration);
    }
    co_return {};
  }
  Ref pending;
  if (ws->gateway == Gateway::asgi) {
    Ref receive = ws->receive.copy();
    pending = Ref::steal(PyObject_CallNoArgs(receive.get()));
  } else {
    Ref transport = ws->transport.copy();
    pending = Ref::steal(PyObject_CallMethodNoArgs(transport.get(), k_receive));
  }
  L.message = co_await mf::await(std::move(pending));
  Ref data;
  if (!L.message) {
    map_gone(ws);
  } else {
    data = ws->gateway == Gateway::asgi ? asgi_data(ws, L.message.get()) : rsgi_data(ws, L.message.get());
    L.message.reset();
  }
  if (!data && Iterating && PyErr_ExceptionMatches(reinterpret_cast<PyObject*>(&DisconnectType))) {
    PyErr_Clear();
    PyErr_SetNone(PyExc_StopAsyncIteration);
  }
  co_return data;
}

struct SendLocals {
  Ref ws, data;
};

// await ws.send(data): str as a text message, bytes as a binary one.
mf::CoroutineBody send_body(SendLocals& L) {
  WebSocket* ws = as_websocket(L.ws);
  bool ok = ready(ws, "send");
  if (!ok) co_return {};
  bool text = PyUnicode_Check(L.data.get());
  Ref pending;
  if (ws->gateway == Gateway::asgi) {
    Ref message = text ? from_template(state.text_template, k_ws_send, {k_text})
                       : from_template(state.bytes_template, k_ws_send, {k_bytes});
    if (!message || PyDict_SetItem(message.get(), text ? k_text : k_bytes, L.data.get()) < 0) co_return {};
    Ref send = ws->send.copy();
    pending = Ref::steal(PyObject_CallOneArg(send.get(), message.get()));
  } else {
    Ref transport = ws->transport.copy();  // held for the call
    PyObject* args[] = {transport.get(), L.data.get()};
    pending = Ref::steal(
        PyObject_VectorcallMethod(text ? k_send_str : k_send_bytes, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }
  Ref done = co_await mf::await(std::move(pending));
  if (!done) {
    map_gone(ws);
    co_return {};
  }
  co_return Ref::none();
}

struct AcceptLocals {
  Ref ws, subprotocol;
};

// await ws.accept(subprotocol=None)
mf::CoroutineBody accept_body(AcceptLocals& L) {
  WebSocket* ws = as_websocket(L.ws);
  if (ws->phase != Phase::connecting || ws->gateway == Gateway::none) {
    if (ws->phase == Phase::open) PyErr_SetString(PyExc_RuntimeError, "the WebSocket was accepted already");
    else ready(ws, "accept");
    co_return {};
  }
  Ref pending;
  if (ws->gateway == Gateway::asgi) {
    Ref message = from_template(state.accept_template, k_ws_accept, {k_subprotocol});
    if (!message || PyDict_SetItem(message.get(), k_subprotocol, L.subprotocol.get()) < 0) co_return {};
    Ref send = ws->send.copy();
    pending = Ref::steal(PyObject_CallOneArg(send.get(), message.get()));
  } else {
    Ref protocol = ws->protocol.copy();
    pending = Ref::steal(PyObject_CallMethodNoArgs(protocol.get(), k_accept));
  }
  Ref done = co_await mf::await(std::move(pending));
  if (!done) {
    map_gone(ws);
    co_return {};
  }
  if (ws->phase != Phase::connecting) co_return Ref::none();  // ended meanwhile (closed from another task)
  if (ws->gateway == Gateway::rsgi) ws->transport = std::move(done);
  ws->phase = Phase::open;
  co_return Ref::none();
}

struct CloseLocals {
  Ref ws, code, reason, messages;
};

// await ws.close(code=1000, reason=""): before accepting, the handshake is
// refused (403); once closed or gone, nothing happens. A client that left
// meanwhile is no error.
mf::CoroutineBody close_body(CloseLocals& L) {
  WebSocket* ws = as_websocket(L.ws);
  if (ws->gateway == Gateway::none) {
    PyErr_SetString(PyExc_RuntimeError, "cannot close: this WebSocket is not connected to a server");
    co_return {};
  }
  if (ws->phase != Phase::connecting && ws->phase != Phase::open) co_return Ref::none();
  int code = code_of(L.code.get(), 1000);
  L.messages = ws->phase == Phase::connecting ? refuse(ws) : close_open(ws, code, L.reason.get());
  if (!L.messages) {
    if (client_gone_pending(ws)) {
      PyErr_Clear();
      co_return Ref::none();
    }
    co_return {};
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(L.messages.get()); ++i) {
    Ref send = ws->send.copy();
    Ref pending = Ref::steal(PyObject_CallOneArg(send.get(), PyTuple_GET_ITEM(L.messages.get(), i)));
    Ref done = co_await mf::await(std::move(pending));
    if (!done) {
      if (!client_gone_pending(ws)) co_return {};
      PyErr_Clear();
      break;
    }
  }
  co_return Ref::none();
}

const mf::Param p_ws[] = {{"self"}};
const mf::Param p_ws_subprotocol[] = {{"self"}, {"subprotocol"}};
const mf::Param p_ws_data[] = {{"self"}, {"data"}};
const mf::Param p_ws_close[] = {{"self"}, {"code"}, {"reason"}};

// --- the Python faces ---------------------------------------------------------------------

WebSocket* checked(PyObject* self) noexcept {
  if (PyObject_TypeCheck(self, &WebSocketType)) return as_websocket(self);
  PyErr_Format(PyExc_TypeError, "expected a WebSocket, not %.200s", Py_TYPE(self)->tp_name);
  return nullptr;
}

// The subprotocols the client offered, in its order, from its
// Sec-WebSocket-Protocol headers.
Ref offered_subprotocols(WebSocket* ws) noexcept {
  Ref result = Ref::steal(PyList_New(0));
  if (!result) return {};
  PyObject* raw = ws->base.base.raw_headers.get();
  if (!raw || !PyList_Check(raw)) return result;
  Ref list = Ref::borrow(raw);
  Ref values = hl::values(list.get(), std::string_view(k_protocol_header.text(), k_protocol_header.size()));
  if (!values) return {};
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
    PyObject* value = PyList_GET_ITEM(values.get(), i);
    if (!PyBytes_Check(value)) continue;
    std::string_view text = mf::wire::bytes_view(value);
    while (!text.empty()) {
      std::size_t end = text.find(',');
      std::string_view name = mf::wire::trim_blanks(text.substr(0, end));
      text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
      if (name.empty()) continue;
      Ref item = Ref::steal(PyUnicode_DecodeLatin1(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
      if (!item || PyList_Append(result.get(), item.get()) < 0) return {};
    }
  }
  return result;
}

PyObject* get_subprotocols(PyObject* self, void*) {
  WebSocket* ws = as_websocket(self);
  if (!ws->subprotocols) {
    Ref parsed = offered_subprotocols(ws);
    if (!parsed) return nullptr;
    ws->subprotocols = std::move(parsed);
  }
  return ws->subprotocols.copy().release();
}

const Str phase_names[] = {Str("connecting"), Str("open"), Str("refused"), Str("closed"), Str("gone")};

PyObject* get_state(PyObject* self, void*) { return new_ref(phase_names[static_cast<int>(as_websocket(self)->phase)]); }

constexpr mf::InitParam accept_params[] = {{"subprotocol", &mf::none_default, false}};
constexpr mf::InitParam close_params[] = {{"code", state.default_code.slot(), false},
                                          {"reason", state.default_reason.slot(), false}};

PyObject* accept_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[1];
  if (mf::bind_init_vector("accept", accept_params, args, static_cast<std::size_t>(nargs), kwnames, bound) < 0)
    return nullptr;
  WebSocket* ws = checked(self);
  if (!ws) return nullptr;
  PyObject* subprotocol = bound[0];
  if (subprotocol != Py_None) {
    if (!PyUnicode_Check(subprotocol)) {
      PyErr_Format(PyExc_TypeError, "subprotocol must be a str or None, not %.200s", Py_TYPE(subprotocol)->tp_name);
      return nullptr;
    }
    Ref offered = Ref::steal(get_subprotocols(self, nullptr));
    if (!offered) return nullptr;
    int found = PySequence_Contains(offered.get(), subprotocol);
    if (found < 0) return nullptr;
    if (!found) {
      PyErr_Format(PyExc_ValueError, "the client did not offer the subprotocol %R (it offered %R)", subprotocol,
                   offered.get());
      return nullptr;
    }
  }
  PyObject* call[] = {self, subprotocol};
  return mf::start(state.accept_fn.get(), call, accept_body);
}

PyObject* receive_py(PyObject* self, PyObject*) {
  PyObject* call[] = {self};
  return mf::start(state.receive_fn.get(), call, receive_body<false>);
}

PyObject* send_py(PyObject* self, PyObject* data) {
  Ref payload;
  if (PyUnicode_Check(data) || PyBytes_CheckExact(data)) {
    payload = Ref::borrow(data);
  } else if (PyBytes_Check(data) || PyByteArray_Check(data) || PyMemoryView_Check(data)) {
    payload = Ref::steal(PyBytes_FromObject(data));
    if (!payload) return nullptr;
  } else {
    PyErr_Format(PyExc_TypeError, "send() takes a str or bytes, not %.200s", Py_TYPE(data)->tp_name);
    return nullptr;
  }
  PyObject* call[] = {self, payload.get()};
  return mf::start(state.send_fn.get(), call, send_body);
}

PyObject* close_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2];
  if (mf::bind_init_vector("close", close_params, args, static_cast<std::size_t>(nargs), kwnames, bound) < 0)
    return nullptr;
  PyObject *code = bound[0], *reason = bound[1];
  int number = 0;
  if (!sup::to_integer(code, number)) return nullptr;
  if (number < 1000 || number > 4999) {
    PyErr_Format(PyExc_ValueError, "a close code is 1000 to 4999, not %d", number);
    return nullptr;
  }
  if (!PyUnicode_Check(reason)) {
    PyErr_Format(PyExc_TypeError, "reason must be a str, not %.200s", Py_TYPE(reason)->tp_name);
    return nullptr;
  }
  std::string_view utf8;
  if (!mf::wire::utf8_view(reason, utf8)) return nullptr;
  if (utf8.size() > 123) {
    PyErr_Format(PyExc_ValueError, "a close reason is at most 123 bytes in UTF-8, not %zu", utf8.size());
    return nullptr;
  }
  PyObject* call[] = {self, code, reason};
  return mf::start(state.close_fn.get(), call, close_body);
}

PyObject* aiter_py(PyObject* self) { return new_ref(self); }

PyObject* anext_py(PyObject* self) {
  PyObject* call[] = {self};
  return mf::start(state.anext_fn.get(), call, receive_body<true>);
}

}  // namespace

Ref start_close(PyObject* ws, int code, PyObject* reason) noexcept {
  Ref number = Ref::steal(PyLong_FromLong(code));
  if (!number) return {};
  PyObject* call[] = {ws, number.get(), reason};
  return Ref::steal(mf::start(state.close_fn.get(), call, close_body));
}

const mf::FunctionDef method_defs[] = {
    {"accept", p_ws_subprotocol, mf::Kind::coroutine, nullptr, mf::body_py<accept_body>},
    {"receive", p_ws, mf::Kind::coroutine, nullptr, mf::body_py<receive_body<false>>},
    {"__anext__", p_ws, mf::Kind::coroutine, nullptr, mf::body_py<receive_body<true>>},
    {"send", p_ws_data, mf::Kind::coroutine, nullptr, mf::body_py<send_body>},
    {"close", p_ws_close, mf::Kind::coroutine, nullptr, mf::body_py<close_body>},
};
Ref* const method_functions[] = {&state.accept_fn, &state.receive_fn, &state.anext_fn, &state.send_fn, &state.close_fn};

PyMethodDef websocket_methods[] = {
    {"accept", mf::as_cfunction(accept_py), METH_FASTCALL | METH_KEYWORDS,
     "accept($self, /, subprotocol=None)\n--\n\nAwaitable: accepts the connection, choosing one of the subprotocols "
     "the client offered (or none)."},
    {"receive", receive_py, METH_NOARGS,
     "receive($self, /)\n--\n\nAwaitable: the next message, str for a text frame and bytes for a binary one; raises "
     "WebSocketDisconnect once the client has gone."},
    {"send", send_py, METH_O,
     "send($self, data, /)\n--\n\nAwaitable: sends str as a text message, bytes as a binary one; raises "
     "WebSocketDisconnect once the connection has ended."},
    {"close", mf::as_cfunction(close_py), METH_FASTCALL | METH_KEYWORDS,
     "close($self, /, code=1000, reason='')\n--\n\nAwaitable: closes the connection with a code and a reason; before "
     "accepting, refuses the handshake (403). Nothing happens once the connection has ended."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef websocket_getset[] = {
    {"subprotocols", get_subprotocols, nullptr, "The subprotocols the client offered, in its order.", nullptr},
    {"state", get_state, nullptr, "'connecting', 'open', 'closed' (by the application) or 'gone' (the client left).",
     nullptr},
    sup::getset_end,
};

PyAsyncMethods websocket_async = {nullptr, aiter_py, anext_py, nullptr};

}  // namespace mf::websocket
