// morrowfen.contents as the package's compiled modules see it: instance
// layouts, C-level method tables and C functions. Shared by the module that
// defines the types and by every module that imports them.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../runtime/ref.h"

namespace mf::contents {

inline constexpr const char* module_name = "morrowfen.contents";

struct Content;

// C-level methods of Content, inherited by every content type. Each honours
// a Python-level override in the object's type.
struct ContentVTable {
  // The body's parts as an asynchronous iterable of bytes.
  PyObject* (*get_parts)(Content* self);
};

struct Content {
  PyObject_HEAD
  const ContentVTable* vtab;
  Ref type;              // bytes media type, or None
  Ref body;              // buffered body, or None
  std::int64_t length;   // negative: not fixed in advance
};

// StreamedContent, ASGIContent and RSGIContent add stream() (and read()).
struct StreamingVTable {
  ContentVTable base;
  PyObject* (*stream)(Content* self);  // an asynchronous iterable of chunks
};

struct BodyReaderVTable {
  StreamingVTable base;
  PyObject* (*read)(Content* self);  // an awaitable giving the whole body as bytes
};

struct StreamedContent {
  Content base;
  Ref data_provider;  // callable returning an asynchronous iterable
};

struct ASGIContent {
  Content base;
  Ref receive;         // the ASGI receive callable
  std::int64_t limit;  // the most body bytes stream() and read() take (ContentTooLarge past it); negative: none
};

struct RSGIContent {
  Content base;
  Ref protocol;        // the RSGI protocol object
  std::int64_t limit;  // as ASGIContent's
};

// TextContent, HTMLContent, JSONContent and FormContent use Content's layout
// and table.
using TextContent = Content;
using HTMLContent = Content;
using JSONContent = Content;
using FormContent = Content;

struct MultiPartFormData {
  Content base;
  Ref parts;  // list of FormPart / StreamedFormPart
  Ref boundary;  // bytes
};

struct FormPart {
  PyObject_HEAD
  Ref name;  // bytes
  Ref data;  // bytes
};

struct FileBuffer {
  PyObject_HEAD
  Ref name;  // str
  Ref data;  // bytes
};

struct StreamedFormPart {
  PyObject_HEAD
  Ref name;           // bytes
  Ref data_provider;  // callable returning an asynchronous iterable
};

struct ServerSentEvent;

struct ServerSentEventVTable {
  // The text of the data field.
  PyObject* (*write_data)(ServerSentEvent* self);
};

struct ServerSentEvent {
  PyObject_HEAD
  const ServerSentEventVTable* vtab;
  Ref data;
  Ref event;    // str or None
  Ref id;       // str or None
  Ref comment;  // str or None
  std::int32_t retry;  // negative: not set
};

using TextServerSentEvent = ServerSentEvent;

// C functions exported through __pyx_capi__.
using parse_www_form_urlencoded_fn = PyObject*(PyObject* text);
inline constexpr const char* parse_www_form_urlencoded_sig = "PyObject *(PyObject *)";

}  // namespace mf::contents
