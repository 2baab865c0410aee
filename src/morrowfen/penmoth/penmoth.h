// Declarations shared by the units of morrowfen.penmoth.
#pragma once

#include <Python.h>

#include "../framework_types/contents.h"
#include "../framework_types/cookies.h"
#include "../framework_types/messages.h"
#include "../framework_types/penmoth.h"
#include "../runtime/function.h"
#include "../runtime/ref.h"

namespace mf::penmoth {

using contents::Content;
using contents::ServerSentEvent;
using messages::Request;
using messages::Response;

// Types and C functions of the sibling modules, bound at start-up.
struct Bound {
  PyTypeObject* Content = nullptr;
  PyTypeObject* StreamedContent = nullptr;
  PyTypeObject* RSGIContent = nullptr;
  PyTypeObject* ServerSentEvent = nullptr;
  PyTypeObject* Cookie = nullptr;
  PyTypeObject* Response = nullptr;
  messages::acquire_request_fn* acquire_request = nullptr;
  cookies::write_cookie_for_response_fn* write_cookie_for_response = nullptr;
};
extern Bound bound;

// A name looked up as the module's code would: in the module namespace,
// then among the built-ins. NameError when it is in neither.
Ref lookup_global(PyObject* name) noexcept;

// The message's content as a Content: TypeError for anything that is not one
// (the message's field is typed, so this guards only against foreign writes).
Content* content_of(PyObject* content) noexcept;

// TypeError for a None where a framework object is needed.
PyObject* refuse_none(const char* param, PyTypeObject* expected) noexcept;

// --- the operations, as the Python-callable entries call them -------------------
// Each returns a new reference (or -1 / nullptr with an exception set) and
// adds no traceback entry of its own; the exported C-level forms do.

int set_content_headers(Response* message) noexcept;                        // response_head.cpp
PyObject* write_response_cookie(PyObject* self, PyObject* const* args);
PyObject* set_headers_for_response_content_entry(PyObject* self, PyObject* const* args);
void set_headers_for_response_content(Response* message, int flag);         // exported

PyObject* write_chunks(PyObject* self, PyObject* const* args);              // body_framing.cpp
PyObject* get_chunks(PyObject* self, PyObject* const* args);
PyObject* write_sse_entry(PyObject* self, PyObject* const* args);
PyObject* write_sse(ServerSentEvent* event, int flag);                     // exported
void remember_newline_pattern(PyObject* pattern) noexcept;  // the pattern start-up compiled

PyObject* send_asgi_response(PyObject* self, PyObject* const* args);        // asgi.cpp

Ref extract_headers(PyObject* raw_headers) noexcept;                       // rsgi.cpp
Ref instantiate_request(PyObject* scope, PyObject* protocol) noexcept;
Ref send_sync(PyObject* response, PyObject* protocol) noexcept;
PyObject* extract_rsgi_headers_entry(PyObject* self, PyObject* const* args);
PyObject* instantiate_rsgi_request_entry(PyObject* self, PyObject* const* args);
PyObject* send_rsgi_response_sync_entry(PyObject* self, PyObject* const* args);
PyObject* send_rsgi_stream(PyObject* self, PyObject* const* args);
PyObject* send_rsgi_response(PyObject* self, PyObject* const* args);
PyObject* extract_rsgi_headers(PyObject* raw_headers, int flag);           // exported
Request* instantiate_rsgi_request(PyObject* scope, PyObject* protocol, int flag);
PyObject* send_rsgi_response_sync(Response* response, PyObject* protocol, int flag);

// Adds the traceback entry of an exported function that failed.
void traceback(const char* function) noexcept;

}  // namespace mf::penmoth
