// morrowfen.messages as the package's compiled modules see it.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../runtime/ref.h"

namespace mf::messages {

inline constexpr const char* module_name = "morrowfen.messages";

struct Message;
struct Request;

// C-level methods of Message, in table order; Request and Response start
// their tables with these. Methods returning int give -1 on error (and 0/1
// for tests); _add_header reports failure only by a pending exception.
struct MessageVTable {
  PyObject* (*get_headers)(Message* self, PyObject* name);           // list of bytes
  PyObject* (*get_first_header)(Message* self, PyObject* name);      // bytes or None
  PyObject* (*get_single_header)(Message* self, PyObject* name);     // bytes; error unless exactly one
  int (*remove_header)(Message* self, PyObject* name);
  int (*_has_header)(Message* self, PyObject* name);
  int (*has_header)(Message* self, PyObject* name);
  void (*_add_header)(Message* self, PyObject* name, PyObject* value);
  int (*_add_header_if_missing)(Message* self, PyObject* name, PyObject* value);
  int (*add_header)(Message* self, PyObject* name, PyObject* value);
  int (*set_header)(Message* self, PyObject* name, PyObject* value);
  PyObject* (*content_type)(Message* self);                          // bytes or None
  int (*remove_headers)(Message* self, PyObject* names);             // an iterable of names
  PyObject* (*get_headers_tuples)(Message* self, PyObject* name);    // list of (name, value)
  int (*init_prop)(Message* self);
  PyObject* (*with_content)(Message* self, PyObject* content);       // the message itself
  int (*has_body)(Message* self);
  int (*declares_content_type)(Message* self, PyObject* type);
  int (*declares_json)(Message* self);
  int (*declares_xml)(Message* self);
};

struct Message {
  PyObject_HEAD
  const MessageVTable* vtab;
  Ref raw_headers;  // "_raw_headers": list of (bytes, bytes) tuples, or None
  Ref content;      // Content or None
};

using RequestVTable = MessageVTable;
using ResponseVTable = MessageVTable;

// A server's intake may leave parts of a Request to be made when first read:
// the request then carries the intake's table and a bit per part not made
// yet. Every reader of those fields in the messages module (the attributes,
// the header methods, the body readers) makes the part first, so nothing
// outside sees a difference but the time the work is done.
enum RequestPart : unsigned {
  part_method = 1,   // Request.method
  part_url = 2,      // Request.url
  part_headers = 4,  // Message.raw_headers
  part_content = 8,  // Message.content (the body reader)
};

struct RequestIntake {
  // Makes `part` (one bit) from the request's scope and channel and stores
  // it in its field; 0, or -1 with an exception set.
  int (*make)(Request* request, unsigned part);
  // The values of the headers named `name` (lower-case ASCII) as a new list
  // of bytes, or only the first value (or None) when `first` is set, without
  // converting the other headers; an empty Ref without an exception when the
  // intake cannot tell (the caller then makes the whole list). May be null.
  Ref (*values)(Request* request, const char* name, Py_ssize_t size, bool first);
  // Whether the server drops a Content-Length that a Transfer-Encoding
  // overrides, so that a Content-Length it passes on frames the body.
  bool length_frames_body;
};

struct Request {
  Message base;
  Ref method;   // str or None
  Ref url;      // URL
  Ref query;    // parsed query (dict of lists), computed on demand; None until then
  Ref cookies;  // parsed cookies (dict), computed on demand; None until then
  Ref scope;    // the server scope, or None
  // Parts left to be made (see RequestIntake); zero for a complete request.
  Ref channel;  // what the body is read through: the RSGI protocol or the ASGI receive
  Ref source;   // what the intake keeps while parts are pending (the RSGI scope's header object)
  const RequestIntake* intake;
  unsigned pending;         // RequestPart bits
  std::int64_t body_limit;  // the limit the body reader gets (negative: none)
};

// Makes the parts among `parts` that are still pending; 0, or -1 with an
// exception set (the part stays pending, so the next read tries again).
inline int make_parts(Request* r, unsigned parts) noexcept {
  for (unsigned part = part_method; part <= part_content; part <<= 1) {
    if (!(r->pending & parts & part)) continue;
    // Not pending while it is made: a read from the code that makes it sees
    // the field as it is instead of starting again.
    r->pending &= ~part;
    if (r->intake->make(r, part) < 0) {
      r->pending |= part;
      return -1;
    }
    if (part == part_content) r->channel = Ref::none();
  }
  return 0;
}

struct Response {
  Message base;
  int status;
};

// C functions exported through __pyx_capi__.
using acquire_request_fn = Request*(PyObject* method, PyObject* path, PyObject* query, PyObject* headers,
                                    PyObject* scope, int flag);
inline constexpr const char* acquire_request_sig =
    "struct morrowfen_Request *(PyObject *, PyObject *, PyObject *, PyObject *, PyObject *, int)";

using release_request_fn = void(Request* request, int flag);
inline constexpr const char* release_request_sig = "void (struct morrowfen_Request *, int)";

}  // namespace mf::messages
