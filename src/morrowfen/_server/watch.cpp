// The Watch: ends a streamed response when its client leaves, or when the
// server begins to stop, by cancelling the request's own task (which ends the
// stream wherever it waits: for its next part or for the server).
//
// A stream is watched only from when it first waits (a stream that never
// waits cannot be interrupted, so it pays for nothing), and the server is
// asked about its client only once the stream has gone on for a moment
// (WATCH_DELAY) after that: a short stream that waits for the server now and
// then (on a server whose send() always waits) asks nothing. A server's stop
// ends a stream from its first wait. On RSGI the watch is
// the protocol's client_disconnect() future. On ASGI it reads receive()
// until "http.disconnect", driving the receive() awaitable itself, as a task
// would but without one: a done callback on the future it waits for steps
// it again. The messages it reads meanwhile are kept for the request's body
// reader, which reads them through the watch (up to WATCH_QUEUE_LIMIT bytes
// ahead of it; past that the watch waits for the reader).
//
// Every reference between the watch, its futures and the task is dropped
// when the watch stops and settles, so a finished stream leaves nothing for
// the cyclic collector.
#include "../runtime/errors.h"
#include "../runtime/function.h"
#include "../runtime/type_support.h"
#include "../runtime/types.h"
#include "../wire/text.h"
#include "server.h"

namespace mf::server {
namespace {

namespace sup = mf::support;

constexpr Py_ssize_t watch_queue_limit = Py_ssize_t{1} << 20;
// Seconds from a stream's first wait to asking the server about its client.
constexpr double watch_delay = 0.05;

const Str k_client_disconnect{"client_disconnect"};
const Str k_add_done_callback{"add_done_callback"};
const Str k_remove_done_callback{"remove_done_callback"};
const Str k_cancel{"cancel"};
const Str k_uncancel{"uncancel"};
const Str k_cancelling{"cancelling"};
const Str k_cancelled{"cancelled"};
const Str k_exception{"exception"};
const Str k_done{"done"};
const Str k_call_soon{"call_soon"};
const Str k_call_later{"call_later"};
const Str k_create_future{"create_future"};
const Str k_set_result{"set_result"};
const Str k_close{"close"};
const Str k_type{"type"};
const Str k_body{"body"};
const Str k_http_request{"http.request"};
const Str k_http_disconnect{"http.disconnect"};

struct Watch {
  PyObject_HEAD
  vectorcallfunc vectorcall;  // the watch is called as a done callback
  Ref core;      // the Application, whose set of waiting streams holds the watch meanwhile
  Ref source;    // RSGI: the protocol; ASGI: the server's receive
  Ref task;      // the request's task, from begin() until settle()
  Ref future;    // RSGI: client_disconnect()'s future; ASGI: the future receive() waits for
  Ref reading;   // ASGI: the iterator of the receive() being read
  Ref messages;  // ASGI: the messages read, for the body reader (a list read from `head`)
  Ref waiters;   // ASGI: futures of body readers waiting for the next message
  Ref timer;     // the loop's timer that begins reading, until it does
  Ref request;   // ASGI: the request whose body the watch may read, until reading begins
  Py_ssize_t head;
  Py_ssize_t queued;  // body bytes among the messages kept
  Gateway gateway;
  bool began;     // the stream has waited: watch_begin() ran
  bool active;    // watching: a client leaving cancels the task
  bool fired;     // a cancellation this watch caused is pending
  bool left;      // the client has gone
  bool reading_began;  // ASGI: receive() is read by the watch
  bool finished;  // ASGI: receive() is read no more (disconnect seen, failure, stopped)
  bool paused;    // ASGI: the reader is too far behind
};

constexpr std::array<std::size_t, 9> watch_refs = {
    offsetof(Watch, core),    offsetof(Watch, source),  offsetof(Watch, task),
    offsetof(Watch, future),  offsetof(Watch, reading), offsetof(Watch, messages),
    offsetof(Watch, waiters), offsetof(Watch, timer),   offsetof(Watch, request)};

PyTypeObject WatchType = mf::static_type();

Watch* as_watch(PyObject* o) noexcept { return reinterpret_cast<Watch*>(o); }
PyObject* as_object(Watch* w) noexcept { return reinterpret_cast<PyObject*>(w); }

// obj.NAME(*args); the result, or empty with an exception set.
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) noexcept {
  PyObject* argv[] = {obj, static_cast<PyObject*>(args)...};
  return Ref::steal(
      PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A method call whose failure is only logged (at debug): the watch's own
// bookkeeping must not fail a request.
template <class... A>
void call_quietly(PyObject* obj, PyObject* name, A... args) noexcept {
  if (!call_method(obj, name, args...)) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    log("debug", "watching the client: a call failed", error.get());
  }
}

Ref running_loop() noexcept {
  PyObject* loop = PyObject_CallNoArgs(state.get_running_loop.get());
  return Ref::steal(loop);
}

// The client left (or the server stops): the task is cancelled, once.
void fire(Watch* w, bool client_left) noexcept {
  if (client_left) w->left = true;
  if (!w->active) return;
  w->active = false;
  w->fired = true;
  call_quietly(w->task.get(), k_cancel);
}

// --- ASGI: reading receive() without a task ----------------------------------------------

// Every body reader waiting for a message looks again.
void wake(Watch* w) noexcept {
  if (!w->waiters || PyList_GET_SIZE(w->waiters.get()) == 0) return;
  Ref waiters = std::move(w->waiters);
  w->waiters = Ref::steal(PyList_New(0));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(waiters.get()); ++i) {
    PyObject* waiter = PyList_GET_ITEM(waiters.get(), i);
    Ref done = call_method(waiter, k_done);
    if (done && !PyObject_IsTrue(done.get())) call_quietly(waiter, k_set_result, Py_None);
    PyErr_Clear();
  }
}

void finish(Watch* w) noexcept {
  w->finished = true;
  w->reading.reset();
  wake(w);
}

// The kind of a message: "http.request", "http.disconnect", or another.
enum class Kind : unsigned char { request, disconnect, other };

Kind message_kind(PyObject* message) noexcept {
  if (!PyDict_Check(message)) return Kind::other;
  PyObject* type = PyDict_GetItemWithError(message, k_type);  // borrowed; a dict of str keys runs no code
  if (!type || !PyUnicode_Check(type)) {
    PyErr_Clear();
    return Kind::other;
  }
  if (wire::same_text(type, k_http_request.get())) return Kind::request;
  if (wire::same_text(type, k_http_disconnect.get())) return Kind::disconnect;
  return Kind::other;
}

Py_ssize_t body_size(PyObject* message) noexcept {
  PyObject* body = PyDict_GetItemWithError(message, k_body);
  if (body && PyBytes_Check(body)) return PyBytes_GET_SIZE(body);
  PyErr_Clear();
  return 0;
}

void keep_message(Watch* w, PyObject* message) noexcept {
  Kind kind = message_kind(message);
  if (!w->messages) w->messages = Ref::steal(PyList_New(0));
  if (!w->messages || PyList_Append(w->messages.get(), message) < 0) {
    PyErr_Clear();
    finish(w);
    return;
  }
  if (kind == Kind::request) w->queued += body_size(message);
  wake(w);
  if (kind == Kind::disconnect) {
    finish(w);
    fire(w, true);
  } else if (w->queued > watch_queue_limit) {
    w->paused = true;
  }
}

// Steps the receive() being read until it waits for a future (whose done
// callback steps it again), the client leaves, or the watch stops.
void drive(Watch* w) noexcept {
  Ref hold = Ref::borrow(as_object(w));  // a message may end the last reference elsewhere
  while (!w->finished && !w->paused) {
    if (!w->reading) {
      Ref receive = w->source.copy();
      Ref pending = Ref::steal(PyObject_CallNoArgs(receive.get()));
      w->reading = pending ? awaitable_iter(pending.get()) : Ref();
      if (!w->reading) break;
    }
    PyObject* out = nullptr;
    Ref reading = w->reading.copy();
    PySendResult r = PyIter_Send(reading.get(), Py_None, &out);
    Ref yielded = Ref::steal(out);
    if (r == PYGEN_RETURN) {
      w->reading.reset();
      keep_message(w, yielded.get());
      continue;
    }
    if (r == PYGEN_ERROR) break;
    if (yielded.is_none()) {  // a bare yield: step again on the next turn of the loop
      Ref loop = running_loop();
      if (!loop || !call_method(loop.get(), k_call_soon, as_object(w), Py_None)) break;
      return;
    }
    // A future (what a task waits for): its done callback steps the receive
    // again. (A task would also set the future's _asyncio_future_blocking
    // back to False; the future is not awaited anywhere else, so it is left.)
    if (!call_method(yielded.get(), k_add_done_callback, as_object(w))) {
      if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_RuntimeError, "receive() gave an awaitable that yielded %.200s",
                     Py_TYPE(yielded.get())->tp_name);
      }
      break;
    }
    w->future = std::move(yielded);
    return;
  }
  if (PyErr_Occurred()) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    log("debug", "receive() failed while watching for the client leaving", error.get());
  }
  if (!w->paused) finish(w);
}

// Asks the server about the client: RSGI, the protocol's client_disconnect();
// ASGI, receive() read until "http.disconnect" (the request's body reader
// reads through the watch from then on). Leaves no exception set.
void start_reading(Watch* w) noexcept {
  Ref hold = Ref::borrow(as_object(w));
  Ref saved = Ref::steal(PyErr_GetRaisedException());
  if (w->gateway == Gateway::rsgi) {
    Ref waiting = call_method(w->source.get(), k_client_disconnect);
    Ref future;
    if (waiting) {
      PyObject* found = nullptr;
      int has = PyObject_GetOptionalAttr(waiting.get(), k_add_done_callback, &found);
      Ref attribute = Ref::steal(found);  // only whether it is there counts
      if (has > 0) future = std::move(waiting);
      else if (has == 0) future = Ref::steal(PyObject_CallOneArg(state.ensure_future.get(), waiting.get()));
    }
    if (future && call_method(future.get(), k_add_done_callback, as_object(w))) {
      w->future = std::move(future);
    } else {
      // A protocol that cannot tell: the transport's send failing ends the stream.
      Ref error = Ref::steal(PyErr_GetRaisedException());
      log("debug", "the protocol offers no client_disconnect()", error.get());
    }
  } else {
    Ref request = std::move(w->request);
    Ref method = Ref::steal(PyMethod_New(state.queued_receive_fn.get(), as_object(w)));
    if (method && request) redirect_body(request.as<Request>(), w->source.get(), method.get());
    PyErr_Clear();
    w->reading_began = true;
    drive(w);
  }
  PyErr_Clear();
  PyErr_SetRaisedException(saved.release());
}

// --- the object ---------------------------------------------------------------------

// Called as a done callback: RSGI, with client_disconnect()'s future; ASGI,
// with the future receive() waited for (or None, after a bare yield).
PyObject* watch_call(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  Watch* w = as_watch(self);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs != 1 || kwnames) {
    PyErr_SetString(PyExc_TypeError, "a watch is called with one argument");
    return nullptr;
  }
  if (args[0] == Py_Ellipsis) {  // the timer of watch_begin()
    if (w->timer) {
      w->timer.reset();
      if (w->active) start_reading(w);
    }
    Py_RETURN_NONE;
  }
  if (w->gateway == Gateway::rsgi) {
    if (!w->future.is(args[0])) Py_RETURN_NONE;
    Ref cancelled = call_method(args[0], k_cancelled);
    Ref error = cancelled && !PyObject_IsTrue(cancelled.get()) ? call_method(args[0], k_exception) : Ref();
    if (error && error.is_none()) fire(w, true);
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  if (!w->future.is(args[0]) && args[0] != Py_None) Py_RETURN_NONE;  // a callback of a watch stopped meanwhile
  w->future.reset();
  drive(w);
  Py_RETURN_NONE;
}

// --- the body reader's receive while the watch reads the server --------------------

struct QueuedReceive {
  Ref watch, waiter;
};

// The next message the watch kept; once it reads no more (and none is
// left), the server's own receive().
CoroutineBody queued_receive_body(QueuedReceive& L) {
  for (;;) {
    Watch* w = as_watch(L.watch.get());
    PyObject* kept = w->messages.get();
    if (kept && w->head < PyList_GET_SIZE(kept)) {
      Ref message = Ref::borrow(PyList_GET_ITEM(kept, w->head));
      if (++w->head == PyList_GET_SIZE(kept)) {
        w->head = 0;
        if (PyList_SetSlice(kept, 0, PyList_GET_SIZE(kept), nullptr) < 0) co_return {};
      }
      if (message_kind(message.get()) == Kind::request) {
        w->queued -= body_size(message.get());
        if (w->paused && w->queued <= watch_queue_limit) {
          w->paused = false;
          drive(w);
        }
      }
      co_return message;
    }
    if (w->finished || !w->reading_began) {
      Ref receive = w->source.copy();
      Ref pending = Ref::steal(PyObject_CallNoArgs(receive.get()));
      if (!pending) co_return {};
      co_return co_await await(std::move(pending));
    }
    Ref loop = running_loop();
    L.waiter = loop ? call_method(loop.get(), k_create_future) : Ref();
    if (!L.waiter) co_return {};
    if (!w->waiters) w->waiters = Ref::steal(PyList_New(0));
    if (!w->waiters || PyList_Append(w->waiters.get(), L.waiter.get()) < 0) co_return {};
    bool woken = static_cast<bool>(co_await await(L.waiter.copy()));
    L.waiter.reset();
    if (!woken) co_return {};
  }
}

}  // namespace

PyObject* queued_receive_py(PyObject* self, PyObject* const* args) { return start(self, args, queued_receive_body); }

Ref watch_new(Gateway gateway, Core* core, PyObject* source) noexcept {
  Ref self = Ref::steal(WatchType.tp_alloc(&WatchType, 0));
  if (!self) return {};
  Watch* w = as_watch(self.get());
  w->vectorcall = watch_call;
  w->gateway = gateway;
  w->core = Ref::borrow(reinterpret_cast<PyObject*>(core));
  w->source = Ref::borrow(source);
  return self;
}

void watch_begin(PyObject* self, Request* request) noexcept {
  Watch* w = as_watch(self);
  if (w->began) return;
  w->began = true;
  Ref saved = Ref::steal(PyErr_GetRaisedException());  // none is expected; kept as it was
  w->task = Ref::steal(PyObject_CallNoArgs(state.current_task.get()));
  if (!w->task || w->task.is_none()) {
    w->task.reset();
    PyErr_Clear();
    PyErr_SetRaisedException(saved.release());
    return;
  }
  auto* core = w->core.as<Core>();
  if (!core->streams) core->streams = Ref::steal(PySet_New(nullptr));
  if (!core->streams || PySet_Add(core->streams.get(), self) < 0) PyErr_Clear();
  w->active = true;
  if (core->stopping) {
    fire(w, false);
  } else {
    if (request) w->request = Ref::borrow(reinterpret_cast<PyObject*>(request));
    Ref loop = running_loop();
    Ref delay = loop ? Ref::steal(PyFloat_FromDouble(watch_delay)) : Ref();
    w->timer = delay ? call_method(loop.get(), k_call_later, delay.get(), self, Py_Ellipsis) : Ref();
    if (!w->timer) {
      PyErr_Clear();
      start_reading(w);  // no timer: at once
    }
  }
  PyErr_Clear();
  PyErr_SetRaisedException(saved.release());
}

void watch_stop(PyObject* self) noexcept {
  Watch* w = as_watch(self);
  if (!w->began) return;
  Ref hold = Ref::borrow(self);
  Ref saved = Ref::steal(PyErr_GetRaisedException());
  w->active = false;
  auto* core = w->core.as<Core>();
  if (core->streams && PySet_Discard(core->streams.get(), self) < 0) PyErr_Clear();
  if (Ref timer = std::move(w->timer)) call_quietly(timer.get(), k_cancel);
  w->request.reset();
  if (Ref future = std::move(w->future)) {
    call_quietly(future.get(), k_remove_done_callback, self);
    if (w->gateway == Gateway::rsgi) {
      Ref done = call_method(future.get(), k_done);
      if (done && !PyObject_IsTrue(done.get())) {
        call_quietly(future.get(), k_cancel);
      } else if (done) {
        Ref cancelled = call_method(future.get(), k_cancelled);
        Ref error = cancelled && !PyObject_IsTrue(cancelled.get()) ? call_method(future.get(), k_exception) : Ref();
        if (error && error.is_none()) w->left = true;
      }
    }
  }
  if (Ref reading = std::move(w->reading)) {
    PyObject* close = nullptr;
    if (PyObject_GetOptionalAttr(reading.get(), k_close, &close) > 0)
      Ref::steal(PyObject_CallNoArgs(Ref::steal(close).get()));
  }
  if (w->gateway == Gateway::asgi) finish(w);
  PyErr_Clear();
  PyErr_SetRaisedException(saved.release());
}

bool watch_settle(PyObject* self) noexcept {
  Watch* w = as_watch(self);
  w->active = false;
  Ref task = std::move(w->task);
  if (!task) return true;
  bool fired = std::exchange(w->fired, false);
  Ref count = call_method(task.get(), fired ? k_uncancel : k_cancelling);
  long n = count ? PyLong_AsLong(count.get()) : 0;
  PyErr_Clear();
  return n == 0;
}

bool watch_fired(PyObject* self) noexcept { return as_watch(self)->fired; }
bool watch_left(PyObject* self) noexcept { return as_watch(self)->left; }

int end_streams(Core* core) noexcept {
  core->stopping = 1;
  if (!core->streams) return 0;
  Ref waiting = Ref::steal(PySequence_List(core->streams.get()));
  if (!waiting) return -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(waiting.get()); ++i)
    fire(as_watch(PyList_GET_ITEM(waiting.get(), i)), false);
  return 0;
}

int ready_watch_type() noexcept {
  static bool ready = false;
  if (ready) return 0;
  sup::gc_slots<watch_refs>(WatchType);
  WatchType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
  WatchType.tp_name = "morrowfen._server.Watch";
  WatchType.tp_doc = "Watches a streamed response's client (internal).";
  WatchType.tp_basicsize = sizeof(Watch);
  WatchType.tp_vectorcall_offset = offsetof(Watch, vectorcall);
  WatchType.tp_call = PyVectorcall_Call;
  if (PyType_Ready(&WatchType) < 0) return -1;
  ready = true;
  return 0;
}

}  // namespace mf::server
