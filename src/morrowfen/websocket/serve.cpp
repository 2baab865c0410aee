// The entry points the serving layer calls for a WebSocket handshake:
// serve_asgi(handler, scope, receive, send) and serve_rsgi(handler, scope,
// protocol). Each builds the WebSocket, awaits `handler(ws)`, and ends the
// connection by these rules:
//   - a handler that returns (or a handler of None) refuses a handshake it
//     did not accept (403), and closes an open connection with 1000;
//   - a handler that raises refuses the handshake when it had not accepted,
//     and closes with 1011 when it had; the error is logged once, with its
//     traceback, on the "morrowfen.server" logger, and goes no further;
//   - a WebSocketDisconnect that escapes the handler after the client left
//     (or after the application closed) is no fault: nothing is logged;
//   - a cancellation (or any exception that is not an Exception) goes on as
//     it is.
#include "../runtime/errors.h"
#include "websocket_module.h"

namespace mf::websocket {
namespace {

const Str k_type{"type"};
const Str k_ws_connect{"websocket.connect"};
const Str k_error{"error"};
const Str k_exc_info{"exc_info"};
const Str k_no_reason{""};

// logger.error(text, exc_info=error). A logger that fails is reported as
// unraisable: the connection's end goes on.
void log_error(const char* text, PyObject* error) noexcept {
  Ref message = Ref::steal(PyUnicode_FromString(text));
  Ref names = message ? Ref::steal(PyTuple_Pack(1, k_exc_info.get())) : Ref();
  Ref logger = state.logger.copy();
  Ref done;
  if (names) {
    PyObject* args[] = {logger.get(), message.get(), error};
    done = Ref::steal(PyObject_VectorcallMethod(k_error, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
  }
  if (!done) PyErr_WriteUnraisable(state.logger.get());
}

// What ends a connection once its handler is done; `error` is what the
// handler raised, or nullptr. Returns the close() coroutine to await, or None.
Ref settle(PyObject* ws_object, PyObject* error) noexcept {
  WebSocket* ws = as_websocket(ws_object);
  Phase phase = ws->phase;
  bool ended = phase != Phase::connecting && phase != Phase::open;
  if (error) {
    if (ended && PyObject_TypeCheck(error, &DisconnectType)) return Ref::none();
    if (phase == Phase::connecting)
      log_error("the websocket handler raised before accepting; the handshake was refused (403)", error);
    else if (phase == Phase::open)
      log_error("the websocket handler raised; the connection was closed with 1011", error);
    else log_error("the websocket handler raised after the connection had ended", error);
  }
  if (ended) return Ref::none();
  return start_close(ws_object, phase == Phase::open && error ? 1011 : 1000, k_no_reason);
}

template <Gateway G>
struct ServeLocals;

template <>
struct ServeLocals<Gateway::asgi> {
  Ref handler, scope, receive, send, ws, error;
};

template <>
struct ServeLocals<Gateway::rsgi> {
  Ref handler, scope, protocol, ws, error;
};

template <Gateway G>
mf::CoroutineBody serve_body(ServeLocals<G>& L) {
  if constexpr (G == Gateway::asgi) {
    // The server's first message is "websocket.connect"; anything else (a
    // disconnect) means the client left before the handshake was answered.
    Ref pending = Ref::steal(PyObject_CallNoArgs(L.receive.get()));
    Ref first = co_await mf::await(std::move(pending));
    if (!first) co_return {};
    Ref kind = item(first.get(), k_type);
    if (!kind) co_return PyErr_Occurred() ? Ref() : Ref::none();
    if (!same_text(kind.get(), k_ws_connect)) co_return Ref::none();
    L.ws = websocket_from_asgi(L.scope.get(), L.receive.get(), L.send.get());
  } else {
    L.ws = websocket_from_rsgi(L.scope.get(), L.protocol.get());
  }
  if (!L.ws) co_return {};
  if (!L.handler.is_none()) {
    Ref pending = Ref::steal(PyObject_CallOneArg(L.handler.get(), L.ws.get()));
    Ref result = co_await mf::await(std::move(pending));
    if (!result) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) co_return {};
      L.error = Ref::steal(PyErr_GetRaisedException());
    }
  }
  Ref closing = settle(L.ws.get(), L.error.get());
  L.error.reset();
  if (!closing || closing.is_none()) co_return closing;
  co_return co_await mf::await(std::move(closing));
}

const mf::Param p_asgi[] = {{"handler"}, {"scope"}, {"receive"}, {"send"}};
const mf::Param p_rsgi[] = {{"handler"}, {"scope"}, {"protocol"}};

}  // namespace

const mf::FunctionDef serve_defs[] = {
    {"serve_asgi", p_asgi, mf::Kind::coroutine,
     "Serves the handshake of an ASGI \"websocket\" scope: awaits handler(ws) with a WebSocket that talks through "
     "`receive` and `send`, then refuses or closes the connection as the handler left it (a handler of None refuses "
     "it).",
     mf::body_py<serve_body<Gateway::asgi>>},
    {"serve_rsgi", p_rsgi, mf::Kind::coroutine,
     "Serves the handshake of an RSGI scope whose proto is \"ws\": awaits handler(ws) with a WebSocket that talks "
     "through `protocol`, then refuses or closes the connection as the handler left it (a handler of None refuses "
     "it).",
     mf::body_py<serve_body<Gateway::rsgi>>},
};

}  // namespace mf::websocket
