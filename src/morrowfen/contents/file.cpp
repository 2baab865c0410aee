// Files: FileContent, a body sent from a path, and the OpenFile its senders
// read. A file is opened when it is sent (never when the content is made,
// so making one for a missing file does not fail), without blocking on a
// FIFO; its size and modification time are those of the open file, and its
// parts are read in worker threads of the running loop's default executor.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "contents_module.h"

namespace mf::contents::impl {
namespace {

const mf::Str k_read_at{"read_at"};
const mf::Str k_run_in_executor{"run_in_executor"};
const mf::Bytes k_octet_stream{"application/octet-stream"};

OpenFile* as_open_file(PyObject* o) noexcept { return reinterpret_cast<OpenFile*>(o); }

// The attribute `name` of module `module`, bound into `slot` on first use.
bool bind_once(Ref& slot, const char* module, const char* name) noexcept {
  if (slot) return true;
  Ref m = Ref::steal(PyImport_ImportModule(module));
  slot = m ? Ref::steal(PyObject_GetAttrString(m.get(), name)) : Ref();
  return static_cast<bool>(slot);
}

// --- the media type of a file name ------------------------------------------------------

// The type of a compressed file by its coding: the file is sent as it is, so
// its type is the compressed one (with the coding as a Content-Encoding the
// client would unpack it, which is not what a download of x.tar.gz means).
const char* compressed_type(std::string_view coding) noexcept {
  if (coding == "gzip") return "application/gzip";
  if (coding == "bzip2") return "application/x-bzip2";
  if (coding == "xz") return "application/x-xz";
  if (coding == "br") return "application/x-brotli";
  if (coding == "compress") return "application/x-compress";
  return "application/octet-stream";
}

// The media type mimetypes.guess_file_type() gives for the path, text types
// with "; charset=utf-8"; application/octet-stream when it knows none.
Ref guessed_type(PyObject* path) noexcept {
  if (!bind_once(state.guess_file_type, "mimetypes", "guess_file_type")) return {};
  Ref guess = Ref::steal(PyObject_CallOneArg(state.guess_file_type.get(), path));
  if (!guess) return {};
  if (!PyTuple_Check(guess.get()) || PyTuple_GET_SIZE(guess.get()) != 2) return Ref::borrow(k_octet_stream);
  PyObject* type = PyTuple_GET_ITEM(guess.get(), 0);
  PyObject* coding = PyTuple_GET_ITEM(guess.get(), 1);
  std::string_view text;
  if (PyUnicode_Check(coding)) {
    if (!mf::wire::utf8_view(coding, text)) return {};
    return Ref::steal(PyBytes_FromString(compressed_type(text)));
  }
  if (!PyUnicode_Check(type)) return Ref::borrow(k_octet_stream);
  if (!mf::wire::utf8_view(type, text)) return {};
  if (text.starts_with("text/")) return Ref::steal(PyBytes_FromFormat("%s; charset=utf-8", PyUnicode_AsUTF8(type)));
  return mf::wire::bytes_from(text);
}

// --- OpenFile -------------------------------------------------------------------------

void open_file_dealloc(PyObject* self) {
  if (as_open_file(self)->fd >= 0) close(as_open_file(self)->fd);
  Py_TYPE(self)->tp_free(self);
}

bool to_size(PyObject* value, long long& out, const char* what) noexcept {
  if (!sup::to_integer(value, out)) return false;
  if (out >= 0) return true;
  PyErr_Format(PyExc_ValueError, "%s must not be negative", what);
  return false;
}

// read_at(offset, size): exactly `size` bytes from `offset`, read with the
// interpreter released (the call runs in a worker thread).
PyObject* open_file_read_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  long long offset = 0, size = 0;
  if (!sup::check_count("read_at", nargs, 2) || !to_size(args[0], offset, "offset") || !to_size(args[1], size, "size"))
    return nullptr;
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!out) return nullptr;
  char* buffer = PyBytes_AS_STRING(out.get());
  int fd = as_open_file(self)->fd;
  long long done = 0;
  int error = 0;
  Py_BEGIN_ALLOW_THREADS;
  while (done < size) {
    ssize_t n = pread(fd, buffer + done, static_cast<std::size_t>(size - done), static_cast<off_t>(offset + done));
    if (n > 0) {
      done += n;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      error = n < 0 ? errno : 0;
      break;
    }
  }
  Py_END_ALLOW_THREADS;
  if (error) {
    errno = error;
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  if (done < size) {
    PyErr_SetString(PyExc_OSError, "the file is shorter than when it was opened: it changed while it was sent");
    return nullptr;
  }
  return out.release();
}

PyMethodDef open_file_methods[] = {
    {"read_at", mf::as_cfunction(open_file_read_at), METH_FASTCALL,
     "read_at(offset, size)\n\nExactly `size` bytes of the file from `offset` (OSError when it ends before)."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef open_file_members[] = {
    {"size", Py_T_LONGLONG, offsetof(OpenFile, size), Py_READONLY, "The size in bytes, as opened."},
    {"mtime_ns", Py_T_LONGLONG, offsetof(OpenFile, mtime_ns), Py_READONLY,
     "The modification time in nanoseconds since the epoch, as opened."},
    {nullptr, 0, 0, 0, nullptr},
};

// OSError(errno, text, path) for a file that cannot be sent.
PyObject* file_error(int error, PyObject* path) noexcept {
  if (error == ENXIO) {
    Ref args = Ref::steal(Py_BuildValue("(isO)", error, "Not a regular file", path));
    if (args) PyErr_SetObject(PyExc_OSError, args.get());
    return nullptr;
  }
  errno = error;
  return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
}

}  // namespace

int ready_open_file_type() noexcept {
  if (OpenFileType.tp_flags & Py_TPFLAGS_READY) return 0;
  OpenFileType.tp_name = "morrowfen.contents.OpenFile";
  OpenFileType.tp_doc = "A file opened to be sent (made when a FileContent is sent).";
  OpenFileType.tp_basicsize = sizeof(OpenFile);
  OpenFileType.tp_flags = Py_TPFLAGS_DEFAULT;
  OpenFileType.tp_dealloc = open_file_dealloc;
  OpenFileType.tp_methods = open_file_methods;
  OpenFileType.tp_members = open_file_members;
  return PyType_Ready(&OpenFileType);
}

PyObject* open_file_impl(FileContent* content) {
  Ref path = content->path.copy();
  if (!PyUnicode_Check(path.get())) return mf::expected_type_error("str", path.get());
  Ref name = Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
  if (!name) return nullptr;
  // No file has a NUL in its name.
  if (std::strlen(PyBytes_AS_STRING(name.get())) != static_cast<std::size_t>(PyBytes_GET_SIZE(name.get())))
    return file_error(ENOENT, path.get());
  const char* c_name = PyBytes_AS_STRING(name.get());
  struct stat st{};
  int fd = -1, error = 0;
  Py_BEGIN_ALLOW_THREADS;
  fd = open(c_name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    error = errno;
  } else if (fstat(fd, &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? EISDIR : ENXIO;
  }
  if (error && fd >= 0) close(fd);
  Py_END_ALLOW_THREADS;
  if (error) return file_error(error, path.get());
  OpenFile* file = PyObject_New(OpenFile, &OpenFileType);
  if (!file) {
    close(fd);
    return nullptr;
  }
  file->fd = fd;
  file->size = st.st_size;
  file->mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return reinterpret_cast<PyObject*>(file);
}

PyObject* read_file_part_impl(OpenFile* file, long long offset, long long size) {
  if (!bind_once(state.get_running_loop, "asyncio", "get_running_loop")) return nullptr;
  Ref loop = Ref::steal(PyObject_CallNoArgs(state.get_running_loop.get()));
  Ref read = loop ? Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(file), k_read_at)) : Ref();
  Ref start = read ? Ref::steal(PyLong_FromLongLong(offset)) : Ref();
  Ref count = start ? Ref::steal(PyLong_FromLongLong(size)) : Ref();
  if (!count) return nullptr;
  PyObject* args[] = {loop.get(), Py_None, read.get(), start.get(), count.get()};
  return PyObject_VectorcallMethod(k_run_in_executor, args, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// FileContent.get_parts(): the file's bytes as opened, part by part.
mf::AsyncGeneratorBody file_parts_body(FilePartsLocals& L) {
  if (!PyObject_TypeCheck(L.content.get(), &FileContentType)) {
    PyErr_Format(PyExc_TypeError, "expected a FileContent, not %.200s", Py_TYPE(L.content.get())->tp_name);
    co_return {};
  }
  L.file = Ref::steal(open_file_impl(L.content.as<FileContent>()));
  if (!L.file) co_return {};
  std::int64_t size = as_open_file(L.file.get())->size;
  for (std::int64_t offset = 0; offset < size;) {
    std::int64_t n = std::min(file_part_size, size - offset);
    Ref pending = Ref::steal(read_file_part_impl(as_open_file(L.file.get()), offset, n));
    Ref part = co_await mf::await(std::move(pending));
    if (!part) co_return {};
    offset += n;
    Ref sent = co_yield std::move(part);
    if (!sent) co_return {};
  }
  co_return Ref::none();
}

PyObject* file_get_parts_py(PyObject* self, PyObject*) { return run(state.file_parts_fn, self, file_parts_body); }

constexpr ContentVTable file_vtable = {c_method0<file_get_parts_py, k_get_parts, Content>};

// FileContent(path, content_type=None)
int FileInit::setup(PyObject* self, PyObject* const* bound) noexcept {
  PyObject *path = bound[0], *type = bound[1];
  if (!check_media_type(type)) return -1;
  Ref name = Ref::steal(PyOS_FSPath(path));
  if (name && PyBytes_Check(name.get())) {
    name = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(name.get()), PyBytes_GET_SIZE(name.get())));
  } else if (name && !PyUnicode_CheckExact(name.get())) {
    name = Ref::steal(PyUnicode_FromObject(name.get()));  // a str subclass, as plain str
  }
  if (!name) return -1;
  Ref media = type == Py_None ? guessed_type(name.get()) : Ref::borrow(type);
  if (!media) return -1;
  auto* file = reinterpret_cast<FileContent*>(self);
  file->base.type = std::move(media);
  file->base.body = Ref::none();
  file->base.length = -1;
  file->path = std::move(name);
  return 0;
}

}  // namespace mf::contents::impl
