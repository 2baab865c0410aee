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

// A file sent from its path: nothing of it is read until it is sent. The
// type is Content's table (get_parts reads the file).
struct FileContent {
  Content base;
  Ref path;  // str: the path given, through os.fspath (bytes decoded as file names are)
};

// A file opened to be sent (made by open_file): its size and modification
// time as it was opened, its parts read off the event loop (read_file_part).
// The descriptor is closed when the object goes, so a read still running in
// a worker thread keeps it open.
struct OpenFile {
  PyObject_HEAD
  int fd;
  std::int64_t size;      // bytes
  std::int64_t mtime_ns;  // the modification time, in nanoseconds since the epoch
};

// The size of the parts a file is read and sent in: large enough that the
// hand-over to a worker thread is a small part of a part's cost, small
// enough that a few in flight are little memory.
inline constexpr std::int64_t file_part_size = 256 * 1024;

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

// The file of a FileContent opened for reading: an OpenFile, or nullptr with
// OSError set (with its errno: FileNotFoundError, PermissionError, ...; a
// directory gives IsADirectoryError, anything else that is not a regular
// file errno ENXIO). Opening never blocks on a FIFO.
using open_file_fn = PyObject*(FileContent* content);
inline constexpr const char* open_file_sig = "PyObject *(struct morrowfen_FileContent *)";

// An awaitable of `size` bytes of the file from `offset`, read in a worker
// thread of the running loop's default executor. Fails with OSError when the
// file ends before them (it changed while it was sent).
using read_file_part_fn = PyObject*(OpenFile* file, long long offset, long long size);
inline constexpr const char* read_file_part_sig = "PyObject *(struct morrowfen_OpenFile *, long long, long long)";

}  // namespace mf::contents
