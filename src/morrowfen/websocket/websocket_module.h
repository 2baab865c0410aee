// The private header of morrowfen.websocket: what its units share. The module
// is split by concern: socket.cpp (the WebSocket type: its construction from
// a server's scope and the coroutines of every message: accept, receive,
// send, close, async iteration), serve.cpp (the entry points the serving
// layer calls: the handler run, and the refusal, closing and logging rules)
// and module.cpp (WebSocketDisconnect, the type tables and start-up).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "../framework_types/messages.h"
#include "../framework_types/penmoth.h"
#include "../runtime/constants.h"
#include "../runtime/coroutine.h"
#include "../runtime/function.h"
#include "../runtime/type_support.h"
#include "../runtime/types.h"
#include "../wire/text.h"

namespace mf::websocket {

using mf::Ref;
namespace sup = mf::support;

inline constexpr const char* module_name = "morrowfen.websocket";

enum class Gateway : int { none, asgi, rsgi };

// Where a connection is. `refused`: the application refused the handshake;
// `closed`: it closed the connection; `gone`: the server said that the
// client left.
enum class Phase : int { connecting, open, refused, closed, gone };

struct WebSocket {
  messages::Request base;
  Ref receive;       // ASGI: the server's receive
  Ref send;          // ASGI: the server's send
  Ref protocol;      // RSGI: the protocol
  Ref transport;     // RSGI: the transport protocol.accept() gave
  Ref subprotocols;  // list of str, read from the headers on first use; empty until then
  Gateway gateway;
  Phase phase;
  int close_code;  // once closed or gone: the code the connection ended with
  int denial;      // ASGI: the scope offers the websocket.http.response extension
};

struct Disconnect {
  PyBaseExceptionObject base;
  int code;
  Ref reason;  // str
};

inline constexpr std::array<std::size_t, 14> websocket_refs = {
    offsetof(WebSocket, base.base.raw_headers),
    offsetof(WebSocket, base.base.content),
    offsetof(WebSocket, base.method),
    offsetof(WebSocket, base.url),
    offsetof(WebSocket, base.query),
    offsetof(WebSocket, base.cookies),
    offsetof(WebSocket, base.scope),
    offsetof(WebSocket, base.channel),
    offsetof(WebSocket, base.source),
    offsetof(WebSocket, receive),
    offsetof(WebSocket, send),
    offsetof(WebSocket, protocol),
    offsetof(WebSocket, transport),
    offsetof(WebSocket, subprotocols),
};

// The process state of the module, bound once in its start-up.
struct State {
  Ref request_type;  // morrowfen.messages.Request
  Ref url_type;      // morrowfen.url.URL
  penmoth::extract_rsgi_headers_fn* extract_headers = nullptr;
  Ref logger;           // logging.getLogger("morrowfen.server")
  Ref protocol_closed;  // the RSGI server's "transport closed" error, once seen
  // The defaults of WebSocketDisconnect(code, reason) and close(code, reason).
  Ref default_code;    // 1000
  Ref default_reason;  // ""
  // The function objects behind the coroutines of the methods.
  Ref accept_fn, receive_fn, anext_fn, send_fn, close_fn;
  // ASGI messages, copied from these for each use (made on first use).
  Ref accept_template, text_template, bytes_template, close_template, denial_start_template, denial_body_template;
};
inline constinit mf::ProcessState<State> websocket_state;
inline constinit State& state = *websocket_state;

inline PyTypeObject WebSocketType = mf::static_type();
inline PyTypeObject DisconnectType = mf::static_type();

inline WebSocket* as_websocket(PyObject* o) noexcept { return reinterpret_cast<WebSocket*>(o); }
inline WebSocket* as_websocket(const Ref& o) noexcept { return o.as<WebSocket>(); }

// mapping[key], or an empty Ref without an exception when it is missing. A
// dict is read without running Python code.
inline Ref item(PyObject* mapping, PyObject* key) noexcept {
  PyObject* value = nullptr;
  if (PyDict_Check(mapping)) {
    if (PyDict_GetItemRef(mapping, key, &value) < 0) return {};
  } else if (PyMapping_GetOptionalItem(mapping, key, &value) < 0) {
    return {};
  }
  return Ref::steal(value);
}

// A message type as a server gave it is the text `constant`.
inline bool same_text(PyObject* value, PyObject* constant) noexcept { return wire::same_text(value, constant); }

// --- socket.cpp
// A WebSocket for an ASGI "websocket" scope (read as the HTTP intake reads an
// "http" scope), talking through `receive` and `send`.
Ref websocket_from_asgi(PyObject* scope, PyObject* receive, PyObject* send) noexcept;
// A WebSocket for an RSGI scope whose proto is "ws", talking through `protocol`.
Ref websocket_from_rsgi(PyObject* scope, PyObject* protocol) noexcept;
// Refuses the handshake (ASGI: a 403 through the denial response where the
// scope offers it, else a close before accepting; RSGI: protocol.close(403)).
// The phase is `refused` afterwards. Returns the ASGI messages to send, in
// order (a tuple; empty on RSGI, where the protocol was told at once), or
// an empty Ref with an exception set.
Ref refuse(WebSocket* ws) noexcept;
// The same for closing an open connection with `code` and `reason` (the
// ASGI close message, or protocol.close(code)); the phase is `closed` afterwards.
Ref close_open(WebSocket* ws, int code, PyObject* reason) noexcept;
// The coroutine of ws.close(code, reason), as the handler's end needs it.
Ref start_close(PyObject* ws, int code, PyObject* reason) noexcept;
// Sets WebSocketDisconnect(code, reason) as the pending exception.
void raise_disconnect(int code, PyObject* reason) noexcept;
// The defaults of close(), made once at start-up; 0 or -1.

extern const mf::FunctionDef method_defs[5];
extern Ref* const method_functions[5];
extern PyMethodDef websocket_methods[];
extern PyGetSetDef websocket_getset[];
extern PyAsyncMethods websocket_async;

// --- serve.cpp
extern const mf::FunctionDef serve_defs[2];

}  // namespace mf::websocket
