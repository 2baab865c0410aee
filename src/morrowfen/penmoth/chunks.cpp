// Bodies in pieces: get_chunks slices a buffered body, write_chunks frames
// a content's parts in the chunked transfer coding.
#include <charconv>
#include <cstring>

#include "../runtime/constants.h"
#include "../runtime/coroutine.h"
#include "../runtime/errors.h"
#include "penmoth.h"

namespace mf::penmoth {
namespace {

Bytes k_empty{""};
Bytes k_terminator{"0\r\n\r\n"};
Str k_get_parts{"get_parts"};

// --- get_chunks: slices of at most the chunk size, then b"" ---------------------------

struct GetChunks {
  Ref data;
};

GeneratorBody get_chunks_body(GetChunks& L) {
  Py_ssize_t n = PyObject_Length(L.data.get());
  if (n < 0) co_return {};
  for (Py_ssize_t i = 0; i < n; i += state.chunk_size) {
    Ref slice = Ref::steal(PySequence_GetSlice(L.data.get(), i, i + state.chunk_size));
    if (!slice) co_return {};
    bool resumed = static_cast<bool>(co_yield std::move(slice));
    if (!resumed) co_return {};
  }
  bool resumed = static_cast<bool>(co_yield Ref::borrow(k_empty));
  co_return resumed ? Ref::none() : Ref();
}

// --- write_chunks: one chunked-coding frame per part, then the terminator -------------

// size in lowercase hex, CR LF, the part's bytes, CR LF: one contiguous frame.
Ref frame(PyObject* chunk) {
  if (PyObject_Length(chunk) < 0) return {};
  Py_buffer view;
  if (PyObject_GetBuffer(chunk, &view, PyBUF_SIMPLE) < 0) {
    PyErr_Format(PyExc_TypeError, "can't concat %.100s to bytes", Py_TYPE(chunk)->tp_name);
    return {};
  }
  if (view.len == 0) {  // a zero-length part would end the body early: it is dropped
    PyBuffer_Release(&view);
    return Ref::none();
  }
  char size[2 * sizeof(Py_ssize_t) + 2];
  char* end = std::to_chars(size, size + sizeof size - 2, static_cast<unsigned long long>(view.len), 16).ptr;
  *end++ = '\r';
  *end++ = '\n';
  auto digits = static_cast<Py_ssize_t>(end - size);
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, digits + view.len + 2));
  if (out) {
    char* p = PyBytes_AS_STRING(out.get());
    std::memcpy(p, size, static_cast<std::size_t>(digits));
    std::memcpy(p + digits, view.buf, static_cast<std::size_t>(view.len));
    std::memcpy(p + digits + view.len, "\r\n", 2);
  }
  PyBuffer_Release(&view);
  return out;
}

struct WriteChunks {
  Ref http_content, iter, chunk;
};

AsyncGeneratorBody write_chunks_body(WriteChunks& L) {
  Ref parts = Ref::steal(PyObject_CallMethodNoArgs(L.http_content.get(), k_get_parts));
  if (!parts) co_return {};
  L.iter = aiter(parts.get());
  if (!L.iter) co_return {};
  for (;;) {
    L.chunk = co_await anext(L.iter);
    if (!L.chunk) break;
    Ref framed = frame(L.chunk.get());
    if (!framed) co_return {};
    if (framed.is_none()) continue;
    bool resumed = static_cast<bool>(co_yield std::move(framed));
    if (!resumed) co_return {};
  }
  if (!async_iteration_ended()) co_return {};
  bool resumed = static_cast<bool>(co_yield Ref::borrow(k_terminator));
  co_return resumed ? Ref::none() : Ref();
}

}  // namespace

PyObject* get_chunks_py(PyObject* self, PyObject* const* args) { return start(self, args, get_chunks_body); }

PyObject* write_chunks_py(PyObject* self, PyObject* const* args) { return start(self, args, write_chunks_body); }

}  // namespace mf::penmoth
