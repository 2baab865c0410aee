// Declarations shared by the units of morrowfen.penmoth.
//
// Naming: each operation `op` has `op_impl`, the native body (a Ref, or an
// int status; it adds no traceback entry), `op_py`, its Python face
// (arguments bound and type-tested by the runtime's function objects),
// and, for the operations the module exports through __pyx_capi__, `op`
// itself, the exported C form (exports.cpp). The coroutine, generator and
// async-generator operations have only `op_py`.
//
// Where things are: start-up in module.cpp, the lookup tables in tables.cpp,
// content headers and the cookie header in response_head.cpp, get_chunks and
// write_chunks in chunks.cpp, server-sent events in sse.cpp, the ASGI sender
// in asgi.cpp, RSGI request intake in rsgi_request.cpp, RSGI answers in
// rsgi_response.cpp, the exported C forms in exports.cpp.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../framework_types/contents.h"
#include "../framework_types/cookies.h"
#include "../framework_types/messages.h"
#include "../framework_types/penmoth.h"
#include "../runtime/function.h"
#include "../runtime/ref.h"
#include "state.h"

namespace mf::penmoth {

using contents::Content;
using contents::ServerSentEvent;
using messages::Request;
using messages::Response;

// A name looked up as the module's code would: in the module namespace,
// then among the built-ins. NameError when it is in neither.
Ref lookup_global(PyObject* name) noexcept;

// The message's content as a Content: TypeError for anything that is not one
// (the message's field is typed, so this guards only against foreign writes).
Content* content_of(PyObject* content) noexcept;

// TypeError for a None where a framework object is needed; nullptr.
PyObject* refuse_none(const char* param, const Ref& expected) noexcept;

// --- the operations ------------------------------------------------------------

// response_head.cpp
int set_headers_for_response_content_impl(Response* message) noexcept;  // 0, or -1 with an exception
PyObject* set_headers_for_response_content_py(PyObject* self, PyObject* const* args);
PyObject* write_response_cookie_py(PyObject* self, PyObject* const* args);

// chunks.cpp
PyObject* write_chunks_py(PyObject* self, PyObject* const* args);
PyObject* get_chunks_py(PyObject* self, PyObject* const* args);

// sse.cpp
Ref write_sse_impl(PyObject* event);  // may throw std::bad_alloc (its text grows in a std::string)
PyObject* write_sse_py(PyObject* self, PyObject* const* args);

// asgi.cpp
PyObject* send_asgi_response_py(PyObject* self, PyObject* const* args);

// rsgi_request.cpp
Ref extract_rsgi_headers_impl(PyObject* raw_headers) noexcept;
Ref instantiate_rsgi_request_impl(PyObject* scope, PyObject* protocol) noexcept;
PyObject* extract_rsgi_headers_py(PyObject* self, PyObject* const* args);
PyObject* instantiate_rsgi_request_py(PyObject* self, PyObject* const* args);

// rsgi_response.cpp
Ref send_rsgi_response_sync_impl(PyObject* response, PyObject* protocol) noexcept;
PyObject* send_rsgi_response_sync_py(PyObject* self, PyObject* const* args);
PyObject* send_rsgi_stream_py(PyObject* self, PyObject* const* args);
PyObject* send_rsgi_response_py(PyObject* self, PyObject* const* args);

// --- what the serving layer's exchange (morrowfen._server) shares with the senders
//
// Each sender's rule for "is this answer streamed?" is the function below;
// the exchange asks it rather than restating it.

// response_head.cpp: the content headers set_headers_for_response_content
// adds, as a new list of (name, value) tuples, without touching the
// response: for `content` None (a response without content) or a true
// Content. The content type is checked by the header rule.
Ref content_header_list(Response* message, PyObject* content) noexcept;

// asgi.cpp: what the ASGI sender sends after the start message, for a
// response's content (None included).
enum class AsgiBody : unsigned char { empty, single, sliced, streamed, failed };
AsgiBody asgi_body_kind(PyObject* content) noexcept;
// The response's header list, checked, as the server gets it (the very list).
Ref asgi_checked_headers(Response* response) noexcept;
Ref asgi_start_message(Response* response, PyObject* headers) noexcept;
Ref asgi_start_message(int status, PyObject* headers) noexcept;  // another status than the response's
// {"type": "http.response.body", "body": body[, "more_body": more]}: with
// `more_body` -1 the key is left out.
Ref asgi_body_message(PyObject* body, int more_body) noexcept;
// A part of a stream: exactly bytes, or None (b""); borrowed, or nullptr.
PyObject* asgi_checked_part(PyObject* part) noexcept;

// rsgi_request.cpp: the scope's attribute NAME, exactly str or None (else
// TypeError "Expected str, got ..."); the query text as the client's bytes
// (UTF-8; the shared b"" for None or ""); a header value of the scope as
// bytes, through the value table (the objects extract_rsgi_headers gives).
Ref rsgi_scope_text(PyObject* scope, PyObject* name) noexcept;
Ref rsgi_query_bytes(PyObject* query) noexcept;
Ref rsgi_header_value_bytes(PyObject* value) noexcept;

// rsgi_response.cpp: a StreamedContent without a buffered body is streamed
// (`content` is not None).
bool rsgi_streams(PyObject* content) noexcept;
// The RSGI header list of a response's raw headers and content.
Ref rsgi_headers(PyObject* raw, PyObject* content) noexcept;
// trx.send_bytes(chunk) or trx.send_str(chunk), by the chunk's type: the
// awaitable the transport returns.
Ref rsgi_send_chunk(PyObject* trx, PyObject* chunk) noexcept;

// response_head.cpp: a content's Content-Type value (application/octet-stream
// for none); the digits of a Content-Length.
Ref content_type_value(Content* c) noexcept;
Ref length_value(std::int64_t length) noexcept;

// exports.cpp: the module's __pyx_capi__ (created when missing), filled in
// the order of the interface.
int export_interface(PyObject* module) noexcept;

// --- files.cpp: FileContent, sent whole by the senders above and in parts by
// the serving layer. A file is opened (contents' open_file) before anything
// is sent, so that its headers say what the file held when opened.

// A FileContent (or a subclass).
bool is_file_content(PyObject* content) noexcept;
// The file of a FileContent, opened: an OpenFile (contents.h), or empty with
// OSError set.
Ref open_file(PyObject* content) noexcept;
// The path a server is given to send the file itself (ASGI pathsend, RSGI
// response_file): absolute, as pathsend asks. Empty without an exception
// when no server can be given it (a name that is not UTF-8, or a path that
// no longer names `file`, the OpenFile as opened): the file is then sent
// in parts.
Ref server_path(PyObject* content, PyObject* file) noexcept;
// The coroutines that send `count` bytes of an OpenFile from `start`, read
// part by part off the event loop: as ASGI body messages through `send`,
// the last ending the body; and through an RSGI stream transport, whose
// sends never wait for the client, paced.
Ref asgi_file_parts(PyObject* send, PyObject* file, std::int64_t start, std::int64_t count) noexcept;
Ref rsgi_file_parts(PyObject* transport, PyObject* file, std::int64_t start, std::int64_t count) noexcept;
// send_asgi_response's headers for a FileContent: Content-Type and a
// Content-Length of `size`, added as set_headers_for_response_content adds them.
int set_file_headers(Response* response, PyObject* content, std::int64_t size) noexcept;
// send_rsgi_response_sync for a FileContent: response_file where the
// protocol has it, else the awaitable of a stream of the file.
Ref send_rsgi_file(Response* response, PyObject* protocol, PyObject* raw, PyObject* content) noexcept;
// Start-up: the functions behind the coroutines above.
int make_file_functions(PyObject* globals, PyObject* module_name) noexcept;

}  // namespace mf::penmoth
