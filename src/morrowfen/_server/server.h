// The private header of morrowfen._server, the native half of the serving
// layer (morrowfen.server): one exchange per request on each gateway, the
// request intake it uses, and the watch that ends a stream when its client
// leaves. Where things are:
//
//   module.cpp    start-up, the module's state, the Core type (the part of
//                 Application that every request reads)
//   intake.cpp    Requests whose parts are made on first read, from an RSGI
//                 scope or an ASGI scope; instantiate_asgi_request
//   answers.cpp   the answers a failure gets (HTTPException, 413, 400, 500)
//                 and what is logged
//   watch.cpp     the Watch: a client leaving (or the server stopping) ends
//                 a stream wherever it waits
//   exchange.cpp  the exchanges themselves: intake, handler, answer
//   files.cpp     the answer to a FileContent: validators, ranges, HEAD, the
//                 server's own file sending
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>

#include "../framework_types/contents.h"
#include "../framework_types/messages.h"
#include "../runtime/constants.h"
#include "../runtime/coroutine.h"
#include "../runtime/ref.h"

namespace mf::server {

using contents::Content;
using messages::Request;
using messages::Response;

inline constexpr const char* module_name = "morrowfen._server";

// What Application keeps for its requests, read by every exchange. The
// Python class Application derives from it and adds what is not per request
// (hooks, lifespan).
struct Core {
  PyObject_HEAD
  Ref handler;
  Ref websocket_handler;  // None: websockets are refused
  Ref streams;            // set of the Watches of streams that wait, to end them when the server stops
  std::int64_t max_body_size;  // bytes; negative: no limit
  int started;                 // the startup hooks have run
  int stopping;                // the server has begun to stop
};

// The module's process state: what start-up binds, held for the process.
struct ServerState {
  PyTypeObject* Core = nullptr;  // the type below, once readied
  Ref asgi_content;        // morrowfen.contents.ASGIContent
  Ref rsgi_content;        // morrowfen.contents.RSGIContent
  Ref text_content;        // morrowfen.contents.TextContent
  Ref request_type;        // morrowfen.messages.Request
  Ref response_type;       // morrowfen.messages.Response
  Ref url_type;            // morrowfen.url.URL
  Ref http_exception;      // morrowfen.exceptions.HTTPException
  Ref message_aborted;     // morrowfen.exceptions.MessageAborted
  Ref logger;              // logging.getLogger("morrowfen.server")
  Ref current_task;        // asyncio.current_task
  Ref get_running_loop;    // asyncio.get_running_loop
  Ref ensure_future;       // asyncio.ensure_future
  Ref cancelled_error;     // asyncio.CancelledError
  Ref send_asgi_response;  // morrowfen.penmoth.send_asgi_response
  Ref websocket_asgi;      // morrowfen.websocket.serve_asgi
  Ref websocket_rsgi;      // morrowfen.websocket.serve_rsgi
  Ref queued_receive_fn;   // the function behind Watch.receive (watch.cpp)
};
extern ServerState& state;

// The Core of an Application, or nullptr with TypeError.
Core* core_of(PyObject* app) noexcept;

// --- intake.cpp
// A Request for an RSGI scope whose method, URL, headers and body reader are
// made on first read, with penmoth's conversions (the objects
// extract_rsgi_headers gives); `limit` bounds the body (negative: none).
Ref rsgi_request(PyObject* scope, PyObject* protocol, std::int64_t limit) noexcept;
// The same for an ASGI http scope, its body read through `receive`.
Ref asgi_request(PyObject* scope, PyObject* receive, std::int64_t limit) noexcept;
// What a request declares of its body against `limit`: the Content-Length
// header read as the server framed the body by it.
enum class Declared : unsigned char {
  unknown,  // no Content-Length (a chunked body, say), or one that does not parse: the reader counts
  within,   // framed by a Content-Length within the limit: the reader needs no count
  over,     // a Content-Length past the limit: 413 before the handler runs
  failed,   // an exception is set
};
Declared declared_body(Request* request, std::int64_t limit) noexcept;
// Points the body of an ASGI request at `receive` (a watch reads the server
// meanwhile): the pending reader is made with it, or a reader already made
// that still reads `original` reads it instead.
void redirect_body(Request* request, PyObject* original, PyObject* receive) noexcept;
PyObject* instantiate_asgi_request_py(PyObject* self, PyObject* const* args);

// --- answers.cpp
// Response(status, None, TextContent(text)).
Ref text_response(int status, const char* text) noexcept;
// The answer to the exception pending after the handler failed (or the
// request could not be read, when `request` is null), with what is logged:
// an HTTPException answers its status and message; a client that left while
// its body was read gets 400, logged at debug; anything else 500, logged
// with its traceback. Empty with the exception still set when it must
// propagate (cancellation, KeyboardInterrupt and other BaseExceptions).
Ref failure_response(PyObject* request) noexcept;
// The 500 for a handler that gave something other than a Response.
Ref not_a_response(PyObject* result) noexcept;
// True for the error an RSGI transport raises once its client has gone.
bool protocol_closed(PyObject* error) noexcept;
// Logs `message` % `args` at `level` ("debug", "error"), with the
// exception's traceback when `error` is given; keeps the exception state as
// it was and never raises (a logger that fails loses the line).
void log(const char* level, const char* message, PyObject* error, std::initializer_list<PyObject*> args = {}) noexcept;
// An RSGI answer that failed before anything went out (`error`): a client
// gone is logged at debug; otherwise 500 goes out in its place.
void rsgi_send_failed(PyObject* protocol, PyObject* error) noexcept;

// --- watch.cpp
// Watches a client from when a stream first waits (and has gone on for a
// moment since) until `watch_stop`: an RSGI protocol's client_disconnect(),
// or an ASGI receive() read until "http.disconnect" (the body messages it
// reads meanwhile are kept for the request's reader). When the client
// leaves, or the server begins to stop, the request's task is cancelled,
// which ends the stream wherever it waits.
enum class Gateway : unsigned char { asgi, rsgi };
// A new watch, not watching yet. `source` is the protocol (RSGI) or the
// receive callable (ASGI).
Ref watch_new(Gateway gateway, Core* core, PyObject* source) noexcept;
// Begins watching (the stream waits for the first time, inside its task);
// `request` is the ASGI request whose body the watch may read. Leaves no
// exception set: a watch that cannot begin only logs at debug.
void watch_begin(PyObject* watch, Request* request) noexcept;
// Stops watching; safe to call twice.
void watch_stop(PyObject* watch) noexcept;
// After the stream: takes back a cancellation the watch caused. False when
// another cancellation is pending too (it must propagate).
bool watch_settle(PyObject* watch) noexcept;
// Whether the watch cancelled the task (a client left, the server stops),
// and whether the client is known to have left.
bool watch_fired(PyObject* watch) noexcept;
bool watch_left(PyObject* watch) noexcept;
// Ends every stream of `core` that waits (the server begins to stop).
int end_streams(Core* core) noexcept;
int ready_watch_type() noexcept;

// The coroutine function behind Watch.receive, the body reader's receive
// while a watch reads the server.
PyObject* queued_receive_py(PyObject* self, PyObject* const* args);

// --- exchange.cpp
// `await app(scope, receive, send)` and `await app.__rsgi__(scope, protocol)`.
PyObject* serve_asgi_py(PyObject* self, PyObject* const* args);
PyObject* serve_rsgi_py(PyObject* self, PyObject* const* args);

// What follows a stream, by how it ended: nothing more; its end written
// (the server stops: the client gets a complete response); 500 in its place
// (it failed before anything went out); the error goes on up.
enum class After : unsigned char { nothing, finish, send_failed, propagate };

// Stops the watch and takes back what it caused. `error` is what ended the
// stream (empty when it ran to its end); on `propagate` it is what goes on
// up. A client that left (or a server that stops) ends the stream quietly.
After after_stream(PyObject* watch, Ref& error, bool started, Gateway gateway) noexcept;

// --- files.cpp
// The coroutine that answers a response whose content is a FileContent
// (penmoth::is_file_content): the file opened (404 when it is missing, 403
// when it may not be read), its validators and the request's conditions,
// one byte range, HEAD; the file sent by the server itself where it can,
// else in parts under a watch. It gives None once answered; on ASGI a
// failure before anything went out is raised, for the exchange to answer 500.
Ref answer_file_asgi(PyObject* app, PyObject* scope, PyObject* receive, PyObject* send, PyObject* request,
                     PyObject* response) noexcept;
Ref answer_file_rsgi(PyObject* app, PyObject* protocol, PyObject* request, PyObject* response) noexcept;
// Start-up: the functions behind those coroutines.
int ready_files(PyObject* globals, PyObject* module_name) noexcept;

}  // namespace mf::server
