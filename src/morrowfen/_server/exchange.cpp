// One exchange per request, on each gateway: the intake, the handler, the
// answer. A buffered RSGI answer is one synchronous protocol call, so the
// only coroutines of such a request are this one and the handler's. A
// streamed answer is driven here, part by part: the exchange holds the body's
// iterator, watches the client from when the stream first waits, and always
// closes the iterator. The senders of morrowfen.penmoth decide what is
// streamed (asgi_body_kind, rsgi_streams) and build every message.
//
// Errors, on both gateways: an HTTPException answers its status and message;
// a client that left while its body was read gets 400 (logged at debug);
// anything else 500, logged with its traceback. A failure before anything
// went out answers 500 in place of the response; one after the response
// started is logged once and the response is left unfinished, so that the
// server closes the connection.
#include "../penmoth/penmoth.h"
#include "../runtime/errors.h"
#include "../wire/text.h"
#include "server.h"

namespace mf::server {
namespace {

const Str k_proto{"proto"};
const Str k_get{"GET"};
const Str k_head{"HEAD"};
const Str k_http{"http"};
const Str k_ws{"ws"};
const Str k_type{"type"};
const Str k_lifespan{"lifespan"};
const Str k_websocket{"websocket"};
const Str k_started_for_request{"_started_for_request"};
const Str k_lifespan_method{"_lifespan"};
const Str k_stream{"stream"};
const Str k_get_parts{"get_parts"};
const Str k_response_stream{"response_stream"};
const Str k_close{"close"};
const Str k_aclose{"aclose"};
const Str k_ag_frame{"ag_frame"};
const Str k_code{"code"};
const Str k_websocket_connect{"websocket.connect"};
const Str k_websocket_close{"websocket.close"};
const Bytes k_empty{""};

// --- what both gateways share ------------------------------------------------------------

bool is_text(PyObject* value, const Str& text) noexcept { return wire::same_text(value, text.get()); }

// A Response to give the client, once the handler's result is in (or not):
// the failure's answer, or the 500 for something that is not a Response.
Ref checked_response(Ref result, PyObject* request) noexcept {
  if (!result) return failure_response(request);
  if (PyObject_TypeCheck(result.get(), state.response_type.as<PyTypeObject>())) return result;
  return not_a_response(result.get());
}

// The answer to a request whose declared body is larger than the limit,
// before the handler runs (nothing is read of it).
Ref too_large() noexcept {
  log("debug", "the request declares a body larger than max_body_size; answered 413", nullptr);
  return text_response(413, "Content Too Large");
}

// The body limit against what the request declares: a 413 to give at once,
// or empty (no exception) to go on; a body framed by a Content-Length within
// the limit is read without counting. GET and HEAD requests carry no body
// (their Content-Length is not read before the handler; a body one sends
// anyway is counted as it is read).
Ref checked_length(Request* request, std::int64_t limit) noexcept {
  if (messages::make_parts(request, messages::part_method) < 0) return failure_response(nullptr);
  PyObject* method = request->method.get();
  if (PyUnicode_Check(method) && (is_text(method, k_get) || is_text(method, k_head))) return {};
  switch (declared_body(request, limit)) {
    case Declared::over: return too_large();
    case Declared::failed: return failure_response(nullptr);
    case Declared::within: request->body_limit = -1; return {};
    default: return {};
  }
}

// The handler called with the request just taken in: the awaitable of its
// call, or empty when the answer is in `response` already (a 413 for a
// declared body over the limit; the failure's answer when the intake or the
// call failed), or when nothing can be answered (`response` empty, an
// exception set).
Ref call_handler(Core* core, const Ref& request, Ref& response) noexcept {
  if (request && core->max_body_size >= 0) response = checked_length(request.as<Request>(), core->max_body_size);
  if (!request || response || PyErr_Occurred()) {
    if (!response) response = failure_response(request.get());
    return {};
  }
  Ref handler = core->handler.copy();
  Ref pending = Ref::steal(PyObject_CallOneArg(handler.get(), request.get()));
  if (!pending) response = checked_response(Ref(), request.get());
  return pending;
}

}  // namespace

After after_stream(PyObject* watch, Ref& error, bool started, Gateway gateway) noexcept {
  watch_stop(watch);
  if (!error) {
    if (watch_settle(watch)) return After::nothing;
    error = Ref::steal(PyObject_CallNoArgs(state.cancelled_error.get()));  // another cancellation is pending
    return After::propagate;
  }
  if (PyErr_GivenExceptionMatches(error.get(), state.cancelled_error.get())) {
    bool fired = watch_fired(watch);
    if (!watch_settle(watch) || !fired) return After::propagate;
    error.reset();
    if (watch_left(watch)) {
      log("debug", "the client left during a streamed response", nullptr);
      return After::nothing;
    }
    log("debug", "the server is stopping: a streamed response was ended", nullptr);
    return After::finish;
  }
  if (!PyErr_GivenExceptionMatches(error.get(), PyExc_Exception)) {
    watch_settle(watch);
    return After::propagate;
  }
  if (!watch_settle(watch)) {
    // Cancelled from elsewhere as well: that cancellation goes on up, from this failure.
    Ref cancelled = Ref::steal(PyObject_CallNoArgs(state.cancelled_error.get()));
    if (cancelled) PyException_SetCause(cancelled.get(), error.release());
    error = std::move(cancelled);
    return After::propagate;
  }
  if (watch_left(watch) || (gateway == Gateway::rsgi && protocol_closed(error.get()))) {
    log("debug", "the client left during a streamed response", error.get());
  } else if (started) {
    log("error", "the streamed response failed after it had started; the response was ended", error.get());
  } else {
    return After::send_failed;
  }
  error.reset();
  return After::nothing;
}

namespace {

// `iterator.aclose()`, when there is one to run: an async generator that
// ran to its end needs none. Empty (no exception) when nothing is to await.
Ref closing(PyObject* iterator) noexcept {
  if (PyAsyncGen_CheckExact(iterator)) {
    Ref frame = Ref::steal(PyObject_GetAttr(iterator, k_ag_frame));
    if (frame && frame.is_none()) return {};
    PyErr_Clear();
  }
  PyObject* aclose = nullptr;
  if (PyObject_GetOptionalAttr(iterator, k_aclose, &aclose) <= 0) {
    if (PyErr_Occurred()) log("error", "closing the body of a streamed response failed", nullptr);
    PyErr_Clear();
    return {};
  }
  Ref pending = Ref::steal(PyObject_CallNoArgs(Ref::steal(aclose).get()));
  if (!pending) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    log("error", "closing the body of a streamed response failed", error.get());
  }
  return pending;
}

// Closes the iterator without awaiting (the exchange itself is being
// closed): one step of aclose(), then the awaitable is closed.
void close_now(PyObject* iterator) noexcept {
  Ref pending = closing(iterator);
  Ref it = pending ? awaitable_iter(pending.get()) : Ref();
  if (it) {
    PyObject* out = nullptr;
    PySendResult sent = PyIter_Send(it.get(), Py_None, &out);
    Ref yielded = Ref::steal(out);  // released: the step is only taken
    if (sent == PYGEN_NEXT) Ref::steal(PyObject_CallMethodNoArgs(it.get(), k_close));
  }
  PyErr_Clear();
}

// --- RSGI ---------------------------------------------------------------------------------

struct RsgiExchange {
  Ref app, scope, protocol;  // the parameters
  Ref request, response, iter, trx, chunk, watch, error;
};

void begin_rsgi_watch(void* locals) noexcept {
  auto& L = *static_cast<RsgiExchange*>(locals);
  watch_begin(L.watch.get(), nullptr);
}

// A websocket is refused before it is accepted; any other protocol too.
Ref refuse_rsgi(RsgiExchange& L) noexcept {
  Ref code = Ref::steal(PyLong_FromLong(403));
  PyObject* args[] = {L.protocol.get(), code.get()};
  Ref closed =
      code ? Ref::steal(PyObject_VectorcallMethod(k_close, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)) : Ref();
  return closed ? Ref::none() : Ref();
}

// The buffered answer: one protocol call.
void answer_rsgi(RsgiExchange& L) noexcept {
  if (!penmoth::send_rsgi_response_sync_impl(L.response.get(), L.protocol.get())) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    rsgi_send_failed(L.protocol.get(), error.get());
  }
}

// The stream's head: its iterator taken, then the stream opened (the
// transport, or an awaitable of it). Empty with an exception set when
// something failed; `opened` tells whether the head went out.
Ref open_rsgi_stream(RsgiExchange& L, PyObject* content, bool& opened) noexcept {
  auto* response = L.response.as<Response>();
  Ref raw = response->base.raw_headers.copy();
  Ref headers = penmoth::rsgi_headers(raw.get(), content);
  Ref parts = headers ? Ref::steal(PyObject_CallMethodNoArgs(content, k_stream)) : Ref();
  L.iter = parts ? aiter(parts.get()) : Ref();
  if (!L.iter) return {};
  Ref status = Ref::steal(PyLong_FromLong(response->status));
  if (!status) return {};
  PyObject* args[] = {L.protocol.get(), status.get(), headers.get()};
  Ref trx = Ref::steal(PyObject_VectorcallMethod(k_response_stream, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  opened = static_cast<bool>(trx);
  return trx;
}

CoroutineBody serve_rsgi_body(RsgiExchange& L) {
  Core* core = core_of(L.app.get());
  if (!core) co_return {};
  Ref proto = Ref::steal(PyObject_GetAttr(L.scope.get(), k_proto));
  if (!proto) co_return {};
  if (!is_text(proto.get(), k_http)) {
    // A websocket: served by the application's websocket handler, once
    // started; refused (before it is accepted) otherwise.
    if (!is_text(proto.get(), k_ws) || core->websocket_handler.is_none()) co_return refuse_rsgi(L);
    if (!core->started) {
      Ref pending = Ref::steal(PyObject_CallMethodNoArgs(L.app.get(), k_started_for_request));
      Ref started = co_await await(std::move(pending));
      int ok = started ? PyObject_IsTrue(started.get()) : -1;
      if (ok < 0) co_return {};
      if (!ok) co_return refuse_rsgi(L);
    }
    PyObject* args[] = {core->websocket_handler.get(), L.scope.get(), L.protocol.get()};
    Ref pending = Ref::steal(PyObject_Vectorcall(state.websocket_rsgi.get(), args, 3, nullptr));
    co_return co_await await(std::move(pending));
  }
  proto.reset();

  if (!core->started) {
    Ref pending = Ref::steal(PyObject_CallMethodNoArgs(L.app.get(), k_started_for_request));
    Ref started = co_await await(std::move(pending));
    int ok = started ? PyObject_IsTrue(started.get()) : -1;
    if (ok < 0) co_return {};
    if (!ok) {
      L.response = text_response(500, "Internal Server Error");
      if (L.response) answer_rsgi(L);
      co_return L.response ? Ref::none() : Ref();
    }
  }

  L.request = rsgi_request(L.scope.get(), L.protocol.get(), core->max_body_size);
  Ref pending = call_handler(core, L.request, L.response);
  if (pending) {
    Ref result = co_await await(std::move(pending));
    L.response = checked_response(std::move(result), L.request.get());
  }
  if (!L.response) co_return {};

  Ref content = L.response.as<Response>()->base.content.copy();
  if (penmoth::is_file_content(content.get())) {
    // A file: answered in files.cpp (validators, ranges, the server's own file sending).
    content.reset();
    Ref answer = answer_file_rsgi(L.app.get(), L.protocol.get(), L.request.get(), L.response.get());
    co_return co_await await(std::move(answer));
  }
  if (content.is_none() || !penmoth::rsgi_streams(content.get())) {
    answer_rsgi(L);
    co_return Ref::none();
  }

  // Streamed.
  bool started = false;
  L.watch = watch_new(Gateway::rsgi, core, L.protocol.get());
  if (!L.watch) co_return {};
  co_await on_first_suspend(begin_rsgi_watch, &L);
  Ref opened = open_rsgi_stream(L, content.get(), started);
  content.reset();
  if (opened && is_awaitable(opened.get())) {
    L.trx = co_await await(std::move(opened));
  } else {
    L.trx = std::move(opened);
  }
  while (L.trx) {
    L.chunk = co_await anext(L.iter);
    if (!L.chunk) {
      async_iteration_ended();  // the end clears; a failure stays set for after_stream
      break;
    }
    int has = PyObject_IsTrue(L.chunk.get());
    if (has < 0) break;
    if (!has) continue;
    bool sent = static_cast<bool>(co_await await(penmoth::rsgi_send_chunk(L.trx.get(), L.chunk.get())));
    if (!sent) break;
  }
  co_await on_first_suspend(nullptr, nullptr);
  L.chunk.reset();
  L.trx.reset();
  L.error = Ref::steal(PyErr_GetRaisedException());
  After after = after_stream(L.watch.get(), L.error, started, Gateway::rsgi);
  L.watch.reset();
  if (L.iter) {
    if (L.error && PyErr_GivenExceptionMatches(L.error.get(), PyExc_GeneratorExit)) {
      close_now(L.iter.get());
    } else if (Ref pending = closing(L.iter.get())) {
      Ref closed = co_await await(std::move(pending));
      if (!closed) {
        Ref error = Ref::steal(PyErr_GetRaisedException());
        log("error", "closing the body of a streamed response failed", error.get());
      }
    }
    L.iter.reset();
  }
  if (after == After::send_failed) rsgi_send_failed(L.protocol.get(), L.error.get());
  if (after == After::propagate) {
    PyErr_SetRaisedException(L.error.release());
    co_return {};
  }
  co_return Ref::none();
}

// --- ASGI ---------------------------------------------------------------------------------

struct AsgiExchange {
  Ref app, scope, receive, send;  // the parameters
  Ref request, response, iter, chunk, watch, error;
};

void begin_asgi_watch(void* locals) noexcept {
  auto& L = *static_cast<AsgiExchange*>(locals);
  watch_begin(L.watch.get(), L.request ? L.request.as<Request>() : nullptr);
}

// `send(message)`, to be awaited (an empty message stays an error).
Await send_message(const Ref& send, Ref message) noexcept {
  if (!message) return await(Ref());
  return await(Ref::steal(PyObject_CallOneArg(send.get(), message.get())));
}

// penmoth's whole sender, for what the exchange does not send itself.
Await penmoth_send(AsgiExchange& L, const Ref& response) noexcept {
  if (!response) return await(Ref());
  PyObject* args[] = {response.get(), L.send.get()};
  return await(Ref::steal(PyObject_Vectorcall(state.send_asgi_response.get(), args, 2, nullptr)));
}

// The start message of a buffered or streamed answer: the content headers
// added, every header checked. A plain Response without headers of its own
// (the usual answer) gets a new list of the content headers, as penmoth's
// sender would make it, without the round through the response's header
// methods; `content` is None for an answer without content.
Ref start_message(AsgiExchange& L, PyObject* content) noexcept {
  auto* response = L.response.as<Response>();
  PyObject* raw = response->base.raw_headers.get();
  if (Py_IS_TYPE(L.response.get(), state.response_type.as<PyTypeObject>()) &&
      (!raw || raw == Py_None || (PyList_CheckExact(raw) && PyList_GET_SIZE(raw) == 0))) {
    Ref headers = penmoth::content_header_list(response, content);
    return headers ? penmoth::asgi_start_message(response, headers.get()) : Ref();
  }
  if (penmoth::set_headers_for_response_content_impl(response) < 0) return {};
  Ref headers = penmoth::asgi_checked_headers(response);
  return headers ? penmoth::asgi_start_message(response, headers.get()) : Ref();
}

// A websocket is refused: closed when it connects.
struct RefuseLocals {
  Ref receive, send;
};

CoroutineBody serve_asgi_body(AsgiExchange& L) {
  Core* core = core_of(L.app.get());
  if (!core) co_return {};
  Ref kind = Ref::steal(PyObject_GetItem(L.scope.get(), k_type));
  if (!kind) co_return {};
  if (!is_text(kind.get(), k_http)) {
    if (is_text(kind.get(), k_lifespan)) {
      PyObject* args[] = {L.app.get(), L.receive.get(), L.send.get()};
      Ref pending =
          Ref::steal(PyObject_VectorcallMethod(k_lifespan_method, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
      if (!pending) co_return {};
      co_return co_await await(std::move(pending));
    }
    if (is_text(kind.get(), k_websocket) && !core->websocket_handler.is_none()) {
      bool serve = core->started;
      if (!serve) {
        Ref pending = Ref::steal(PyObject_CallMethodNoArgs(L.app.get(), k_started_for_request));
        Ref started = co_await await(std::move(pending));
        int ok = started ? PyObject_IsTrue(started.get()) : -1;
        if (ok < 0) co_return {};
        serve = ok;
      }
      if (serve) {
        PyObject* args[] = {core->websocket_handler.get(), L.scope.get(), L.receive.get(), L.send.get()};
        Ref pending = Ref::steal(PyObject_Vectorcall(state.websocket_asgi.get(), args, 4, nullptr));
        co_return co_await await(std::move(pending));
      }
    }
    if (is_text(kind.get(), k_websocket)) {
      // Refused: closed when it connects.
      Ref pending = Ref::steal(PyObject_CallNoArgs(L.receive.get()));
      Ref message = co_await await(std::move(pending));
      if (!message) co_return {};
      Ref type = PyDict_Check(message.get()) ? Ref::borrow(PyDict_GetItemWithError(message.get(), k_type)) : Ref();
      if (PyErr_Occurred()) co_return {};
      if (type && is_text(type.get(), k_websocket_connect)) {
        Ref close = Ref::steal(PyDict_New());
        Ref code = Ref::steal(PyLong_FromLong(1000));
        if (!close || !code || PyDict_SetItem(close.get(), k_type, k_websocket_close) < 0 ||
            PyDict_SetItem(close.get(), k_code, code.get()) < 0)
          co_return {};
        bool sent = static_cast<bool>(co_await send_message(L.send, std::move(close)));
        if (!sent) co_return {};
      }
      co_return Ref::none();
    }
    PyErr_Format(PyExc_RuntimeError, "unsupported ASGI scope type %R", kind.get());
    co_return {};
  }
  kind.reset();

  bool failed = false;  // sending failed before anything went out: 500 in its place
  if (!core->started) {
    Ref pending = Ref::steal(PyObject_CallMethodNoArgs(L.app.get(), k_started_for_request));
    Ref started = co_await await(std::move(pending));
    int ok = started ? PyObject_IsTrue(started.get()) : -1;
    if (ok < 0) co_return {};
    if (!ok) {
      L.response = text_response(500, "Internal Server Error");
      bool sent = static_cast<bool>(co_await penmoth_send(L, L.response));
      co_return sent ? Ref::none() : Ref();
    }
  }

  L.request = asgi_request(L.scope.get(), L.receive.get(), core->max_body_size);
  Ref pending = call_handler(core, L.request, L.response);
  if (pending) {
    Ref result = co_await await(std::move(pending));
    L.response = checked_response(std::move(result), L.request.get());
  }
  if (!L.response) co_return {};

  Ref content = L.response.as<Response>()->base.content.copy();
  penmoth::AsgiBody body = penmoth::asgi_body_kind(content.get());
  if (penmoth::is_file_content(content.get())) {
    // A file: answered in files.cpp (validators, ranges, the server's own file sending).
    content.reset();
    Ref answer =
        answer_file_asgi(L.app.get(), L.scope.get(), L.receive.get(), L.send.get(), L.request.get(), L.response.get());
    bool sent = static_cast<bool>(co_await await(std::move(answer)));
    failed = !sent;
  } else if (body == penmoth::AsgiBody::sliced) {
    content.reset();
    bool sent = static_cast<bool>(co_await penmoth_send(L, L.response));
    failed = !sent;
  } else if (body != penmoth::AsgiBody::streamed) {
    Ref message;
    if (body != penmoth::AsgiBody::failed)
      message = start_message(L, body == penmoth::AsgiBody::empty ? Py_None : content.get());
    bool sent = static_cast<bool>(co_await send_message(L.send, std::move(message)));
    if (sent) {
      Ref last = body == penmoth::AsgiBody::empty
                     ? penmoth::asgi_body_message(k_empty, -1)
                     : penmoth::asgi_body_message(content.as<Content>()->body.copy().get(), 0);
      content.reset();
      sent = static_cast<bool>(co_await send_message(L.send, std::move(last)));
    }
    failed = !sent;
  } else {
    // Streamed: the iterator first (as the sender would ask for it), then
    // the head, then part by part; an empty (or None) part is the closing one.
    bool started = false;
    Ref parts = Ref::steal(PyObject_CallMethodNoArgs(content.get(), k_get_parts));
    L.iter = parts ? aiter(parts.get()) : Ref();
    parts.reset();
    L.watch = L.iter ? watch_new(Gateway::asgi, core, L.receive.get()) : Ref();
    if (L.watch) {
      co_await on_first_suspend(begin_asgi_watch, &L);
      Ref head = start_message(L, content.get());
      content.reset();
      started = static_cast<bool>(co_await send_message(L.send, std::move(head)));
      bool closed = false;
      while (started && !closed) {
        L.chunk = co_await anext(L.iter);
        if (!L.chunk) {
          if (!async_iteration_ended()) break;
          L.chunk = Ref::borrow(k_empty);
        }
        PyObject* part = penmoth::asgi_checked_part(L.chunk.get());
        if (!part) break;
        closed = PyBytes_GET_SIZE(part) == 0;
        bool sent = static_cast<bool>(co_await send_message(L.send, penmoth::asgi_body_message(part, closed ? 0 : 1)));
        if (!sent) break;
      }
      co_await on_first_suspend(nullptr, nullptr);
      L.chunk.reset();
      L.error = Ref::steal(PyErr_GetRaisedException());
      After after = after_stream(L.watch.get(), L.error, started, Gateway::asgi);
      L.watch.reset();
      if (L.error && PyErr_GivenExceptionMatches(L.error.get(), PyExc_GeneratorExit)) {
        close_now(L.iter.get());
      } else if (Ref pending = closing(L.iter.get())) {
        Ref done = co_await await(std::move(pending));
        if (!done) {
          Ref error = Ref::steal(PyErr_GetRaisedException());
          log("error", "closing the body of a streamed response failed", error.get());
        }
      }
      L.iter.reset();
      if (after == After::propagate) {
        PyErr_SetRaisedException(L.error.release());
        co_return {};
      }
      if (after == After::finish) {
        bool sent = static_cast<bool>(co_await send_message(L.send, penmoth::asgi_body_message(k_empty, 0)));
        if (!sent) PyErr_Clear();  // the server may have closed the connection meanwhile
      }
      if (after == After::send_failed) PyErr_SetRaisedException(L.error.release());
      failed = after == After::send_failed;
    } else {
      failed = true;
    }
  }
  if (!failed) co_return Ref::none();

  // Whether anything went out shows in what the server does with a fresh
  // start message: every server here refuses one once the response started.
  L.error = Ref::steal(PyErr_GetRaisedException());
  if (L.error && !PyErr_GivenExceptionMatches(L.error.get(), PyExc_Exception)) {
    PyErr_SetRaisedException(L.error.release());
    co_return {};
  }
  L.response = text_response(500, "Internal Server Error");
  bool answered = static_cast<bool>(co_await penmoth_send(L, L.response));
  if (answered) {
    log("error", "sending the response failed before it started; answered 500", L.error.get());
  } else {
    PyErr_Clear();
    log("error", "sending the response failed after it had started; the response was ended", L.error.get());
  }
  co_return Ref::none();
}

}  // namespace

PyObject* serve_asgi_py(PyObject* self, PyObject* const* args) { return start(self, args, serve_asgi_body); }
PyObject* serve_rsgi_py(PyObject* self, PyObject* const* args) { return start(self, args, serve_rsgi_body); }

}  // namespace mf::server
