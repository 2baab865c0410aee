// FileContent: sent whole by send_asgi_response and send_rsgi_response, and
// in parts (the coroutines here) by the serving layer when the server does
// not send the file itself.
//
// A file is opened before anything is sent: its Content-Length is the size
// of the open file, and every part comes from that open file, so a file
// replaced meanwhile cannot mix into the answer (one that shrinks ends the
// body early, with an error); a server that sends the file itself is given
// its path only while the path names that file as opened (server_path).
// Parts are read in worker threads of the loop's default executor. An ASGI
// server's send waits while the client is behind, which bounds what is in
// flight; an RSGI stream transport takes every part at once, so there the
// parts are paced.
#include <algorithm>
#include <chrono>
#include <cstdint>

#include <sys/stat.h>

#include "../runtime/constants.h"
#include "../runtime/coroutine.h"
#include "../runtime/errors.h"
#include "penmoth.h"

namespace mf::penmoth {
namespace {

Str k_response_file{"response_file"};
Str k_response_stream{"response_stream"};
Str k_content_length_str{"content-length"};
Bytes k_content_type{"content-type"};
Bytes k_content_length{"content-length"};
Bytes k_empty{""};

// The pace of a file through an RSGI stream transport: the first part_burst
// bytes at once, then no faster than pace_rate bytes a second. The transport
// gives no sign of the client's own pace; a client at least this fast keeps
// what the server holds for it within the burst.
constexpr std::int64_t pace_burst = 4 * 1024 * 1024;
constexpr double pace_rate = 256.0 * 1024 * 1024;

contents::OpenFile* as_open_file(PyObject* o) noexcept { return reinterpret_cast<contents::OpenFile*>(o); }

// The attribute `name` of module `module`, bound into `slot` on first use.
bool bind_once(Ref& slot, const char* module, const char* name) noexcept {
  if (slot) return true;
  Ref m = Ref::steal(PyImport_ImportModule(module));
  slot = m ? Ref::steal(PyObject_GetAttrString(m.get(), name)) : Ref();
  return static_cast<bool>(slot);
}

// The awaitable of one part: `size` bytes of the file from `offset`.
Ref read_part(PyObject* file, std::int64_t offset, std::int64_t size) noexcept {
  return Ref::steal(state.read_file_part(as_open_file(file), offset, size));
}

// The start and the end of what a coroutine sends, from its arguments.
bool span_of(PyObject* start, PyObject* count, std::int64_t& offset, std::int64_t& end) noexcept {
  offset = PyLong_AsLongLong(start);
  end = offset + PyLong_AsLongLong(count);
  return !PyErr_Occurred();
}

// A coroutine of one of the functions below, given (channel, file, start, count).
template <class Locals>
Ref start_parts(const Ref& function, CoroutineBody (*body)(Locals&), PyObject* channel, PyObject* file,
                std::int64_t start, std::int64_t count) noexcept {
  Ref first = Ref::steal(PyLong_FromLongLong(start));
  Ref size = first ? Ref::steal(PyLong_FromLongLong(count)) : Ref();
  if (!size) return {};
  PyObject* args[] = {channel, file, first.get(), size.get()};
  return Ref::steal(mf::start(function.get(), args, body));
}

struct AsgiParts {
  Ref send, file, start, count, part;
};

// The body messages: one per part, the last with more_body False (an empty
// body is one empty message).
CoroutineBody asgi_parts_body(AsgiParts& L) {
  std::int64_t offset = 0, end = 0;
  if (!span_of(L.start.get(), L.count.get(), offset, end)) co_return {};
  if (offset >= end) {
    Ref message = asgi_body_message(k_empty, -1);
    Ref pending = message ? Ref::steal(PyObject_CallOneArg(L.send.get(), message.get())) : Ref();
    message.reset();
    co_return co_await await(std::move(pending));
  }
  while (offset < end) {
    std::int64_t n = std::min(contents::file_part_size, end - offset);
    L.part = co_await await(read_part(L.file.get(), offset, n));
    if (!L.part) co_return {};
    offset += n;
    Ref message = asgi_body_message(L.part.get(), offset < end ? 1 : 0);
    L.part.reset();
    Ref pending = message ? Ref::steal(PyObject_CallOneArg(L.send.get(), message.get())) : Ref();
    message.reset();
    bool sent = static_cast<bool>(co_await await(std::move(pending)));
    if (!sent) co_return {};
  }
  co_return Ref::none();
}

struct RsgiParts {
  Ref transport, file, start, count, part;
};

// transport.send_bytes(part) for each part, paced.
CoroutineBody rsgi_parts_body(RsgiParts& L) {
  std::int64_t offset = 0, end = 0;
  if (!span_of(L.start.get(), L.count.get(), offset, end)) co_return {};
  if (!bind_once(state.sleep, "asyncio", "sleep")) co_return {};
  auto began = std::chrono::steady_clock::now();
  std::int64_t sent_bytes = 0;
  while (offset < end) {
    std::int64_t n = std::min(contents::file_part_size, end - offset);
    L.part = co_await await(read_part(L.file.get(), offset, n));
    if (!L.part) co_return {};
    offset += n;
    Ref pending = rsgi_send_chunk(L.transport.get(), L.part.get());
    L.part.reset();
    bool sent = static_cast<bool>(co_await await(std::move(pending)));
    if (!sent) co_return {};
    sent_bytes += n;
    double due = static_cast<double>(sent_bytes - pace_burst) / pace_rate;
    double now = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    if (offset < end && due > now) {
      Ref delay = Ref::steal(PyFloat_FromDouble(due - now));
      Ref wait = delay ? Ref::steal(PyObject_CallOneArg(state.sleep.get(), delay.get())) : Ref();
      delay.reset();
      bool waited = static_cast<bool>(co_await await(std::move(wait)));
      if (!waited) co_return {};
    }
  }
  co_return Ref::none();
}

struct RsgiFileStream {
  Ref protocol, status, headers, file, transport;
};

// send_rsgi_response's stream of a whole file: the stream opened (the
// transport, or an awaitable of it), then the parts.
CoroutineBody rsgi_file_stream_body(RsgiFileStream& L) {
  PyObject* args[] = {L.protocol.get(), L.status.get(), L.headers.get()};
  Ref opened =
      Ref::steal(PyObject_VectorcallMethod(k_response_stream, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (opened && is_awaitable(opened.get())) {
    L.transport = co_await await(std::move(opened));
  } else {
    L.transport = std::move(opened);
  }
  if (!L.transport) co_return {};
  Ref parts = rsgi_file_parts(L.transport.get(), L.file.get(), 0, as_open_file(L.file.get())->size);
  co_return co_await await(std::move(parts));
}

const Param p_asgi_parts[] = {{"send"}, {"file"}, {"start"}, {"count"}};
const Param p_rsgi_parts[] = {{"transport"}, {"file"}, {"start"}, {"count"}};
const Param p_rsgi_stream[] = {{"protocol"}, {"status"}, {"headers"}, {"file"}};
const FunctionDef file_functions[] = {
    {"send_file_parts", p_asgi_parts, Kind::coroutine, nullptr, body_py<asgi_parts_body>},
    {"send_file_parts", p_rsgi_parts, Kind::coroutine, nullptr, body_py<rsgi_parts_body>},
    {"send_file_stream", p_rsgi_stream, Kind::coroutine, nullptr, body_py<rsgi_file_stream_body>},
};
Ref* const file_function_slots[] = {&state.asgi_file_parts_fn, &state.rsgi_file_parts_fn, &state.rsgi_file_stream_fn};

}  // namespace

bool is_file_content(PyObject* content) noexcept {
  return PyObject_TypeCheck(content, state.FileContent.as<PyTypeObject>());
}

Ref open_file(PyObject* content) noexcept {
  return Ref::steal(state.open_file(reinterpret_cast<contents::FileContent*>(content)));
}

Ref server_path(PyObject* content, PyObject* file) noexcept {
  Ref path = reinterpret_cast<contents::FileContent*>(content)->path.copy();
  if (!PyUnicode_Check(path.get())) return {};
  if (!PyUnicode_AsUTF8AndSize(path.get(), nullptr)) {
    PyErr_Clear();  // a name with bytes that are not UTF-8 (kept as surrogates)
    return {};
  }
  if (PyUnicode_GET_LENGTH(path.get()) == 0 || PyUnicode_READ_CHAR(path.get(), 0) != '/') {
    if (!bind_once(state.abspath, "os.path", "abspath")) return {};
    path = Ref::steal(PyObject_CallOneArg(state.abspath.get(), path.get()));
    if (!path) return {};
    if (!PyUnicode_Check(path.get()) || !PyUnicode_AsUTF8AndSize(path.get(), nullptr)) {
      PyErr_Clear();  // a working directory whose name is not UTF-8
      return {};
    }
  }
  // The server opens the path again: only while it names the file that was
  // opened, as it was (not replaced, grown or touched since, and not another
  // file that a text-normalised ".." names), may the headers made from the
  // open file go with what the server sends.
  const char* name = PyUnicode_AsUTF8AndSize(path.get(), nullptr);
  const auto* open = reinterpret_cast<const contents::OpenFile*>(file);
  struct stat named{}, opened{};
  if (stat(name, &named) != 0 || fstat(open->fd, &opened) != 0) return {};
  std::int64_t mtime_ns = static_cast<std::int64_t>(named.st_mtim.tv_sec) * 1000000000 + named.st_mtim.tv_nsec;
  bool same = named.st_dev == opened.st_dev && named.st_ino == opened.st_ino && named.st_size == open->size &&
              mtime_ns == open->mtime_ns;
  if (!same) return {};
  return path;
}

Ref asgi_file_parts(PyObject* send, PyObject* file, std::int64_t start, std::int64_t count) noexcept {
  return start_parts(state.asgi_file_parts_fn, asgi_parts_body, send, file, start, count);
}

Ref rsgi_file_parts(PyObject* transport, PyObject* file, std::int64_t start, std::int64_t count) noexcept {
  return start_parts(state.rsgi_file_parts_fn, rsgi_parts_body, transport, file, start, count);
}

int set_file_headers(Response* response, PyObject* content, std::int64_t size) noexcept {
  messages::Message* m = &response->base;
  auto add = m->vtab->_add_header;  // the message's own table: a subclass's version runs
  Ref type = content_type_value(reinterpret_cast<Content*>(content));
  if (!type) return -1;
  add(m, k_content_type, type.get());
  if (PyErr_Occurred()) return -1;
  Ref digits = length_value(size);
  if (!digits) return -1;
  add(m, k_content_length, digits.get());
  return PyErr_Occurred() ? -1 : 0;
}

Ref send_rsgi_file(Response* response, PyObject* protocol, PyObject* raw, PyObject* content) noexcept {
  Ref file = open_file(content);
  if (!file) return {};
  // A copy: the list for a content type alone is shared.
  Ref shared = rsgi_headers(raw, content);
  Ref headers = shared ? Ref::steal(PyList_GetSlice(shared.get(), 0, PY_SSIZE_T_MAX)) : Ref();
  Ref length = headers
                   ? Ref::steal(PyUnicode_FromFormat("%lld", static_cast<long long>(as_open_file(file.get())->size)))
                   : Ref();
  Ref pair = length ? Ref::steal(PyTuple_Pack(2, k_content_length_str.get(), length.get())) : Ref();
  Ref status = pair ? Ref::steal(PyLong_FromLong(response->status)) : Ref();
  if (!status || PyList_Append(headers.get(), pair.get()) < 0) return {};
  Ref path = server_path(content, file.get());
  if (PyErr_Occurred()) return {};
  PyObject* method = nullptr;
  if (path && PyObject_GetOptionalAttr(protocol, k_response_file, &method) < 0) return {};
  if (Ref call = Ref::steal(method)) {
    PyObject* args[] = {status.get(), headers.get(), path.get()};
    return Ref::steal(PyObject_Vectorcall(call.get(), args, 3, nullptr)) ? Ref::none() : Ref();
  }
  PyObject* args[] = {protocol, status.get(), headers.get(), file.get()};
  return Ref::steal(mf::start(state.rsgi_file_stream_fn.get(), args, rsgi_file_stream_body));
}

int make_file_functions(PyObject* globals, PyObject* module_name) noexcept {
  for (std::size_t i = 0; i < std::size(file_functions); ++i) {
    if (*file_function_slots[i]) continue;
    *file_function_slots[i] = make_function(file_functions[i], "morrowfen/penmoth/files.cpp", globals, module_name);
    if (!*file_function_slots[i]) return -1;
  }
  return 0;
}

}  // namespace mf::penmoth
