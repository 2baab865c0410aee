// The private header of morrowfen.contents: what its units share. The module
// is split by concern: buffered.cpp (Content and its text, HTML, JSON, form
// and multipart kinds), streamed.cpp (StreamedContent and the bodies read
// from an ASGI or RSGI server), file.cpp (FileContent and the files its
// senders open), events.cpp (server-sent events) and module.cpp (the type
// tables and start-up).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "../framework_types/constructors.h"
#include "../framework_types/contents.h"
#include "../runtime/capi.h"
#include "../runtime/constants.h"
#include "../runtime/coroutine.h"
#include "../runtime/errors.h"
#include "../runtime/function.h"
#include "../runtime/module_def.h"
#include "../runtime/type_support.h"
#include "../runtime/types.h"
#include "../wire/header_text.h"
#include "../wire/percent.h"
#include "../wire/text.h"

namespace mf::contents::impl {

using mf::Ref;
using namespace mf::contents;
namespace sup = mf::support;
using sup::c_method0;

inline const mf::Str k_get_parts{"get_parts"};
inline const mf::Str k_stream{"stream"};
inline const mf::Str k_read{"read"};
inline const mf::Str k_write_data{"write_data"};
inline const mf::Str k_type{"type"};
inline const mf::Str k_body{"body"};
inline const mf::Str k_more_body{"more_body"};
inline const mf::Str k_http_request{"http.request"};
inline const mf::Str k_http_disconnect{"http.disconnect"};
inline const mf::Str k_separators{"separators"};
inline const mf::Str k_comma{","};
inline const mf::Str k_colon{":"};
inline const mf::Bytes k_text_plain{"text/plain; charset=utf-8"};
inline const mf::Bytes k_text_html{"text/html; charset=utf-8"};
inline const mf::Bytes k_application_json{"application/json"};
inline const mf::Bytes k_form_urlencoded{"application/x-www-form-urlencoded"};

// The process state of the module, bound once in its start-up.
struct ContentsState {
  Ref message_aborted;    // morrowfen.exceptions.MessageAborted
  Ref content_too_large;  // morrowfen.exceptions.ContentTooLarge
  Ref json_dumps;       // json.dumps
  Ref compact_separators;
  Ref separators_kwnames;
  Ref minus_one;  // the default of data_length and retry
  // The function objects behind the coroutines and async generators that the
  // content methods return.
  Ref content_parts_fn, asgi_stream_fn, asgi_read_fn, rsgi_stream_fn, rsgi_read_fn, file_parts_fn;
  // Bound on first use (file.cpp): mimetypes.guess_file_type, asyncio.get_running_loop.
  Ref guess_file_type, get_running_loop;
};
inline constinit mf::ProcessState<ContentsState> contents_state;
inline constinit ContentsState& state = *contents_state;

inline PyTypeObject ContentType = mf::static_type();
inline PyTypeObject StreamedContentType = mf::static_type();
inline PyTypeObject ASGIContentType = mf::static_type();
inline PyTypeObject RSGIContentType = mf::static_type();
inline PyTypeObject TextContentType = mf::static_type();
inline PyTypeObject HTMLContentType = mf::static_type();
inline PyTypeObject JSONContentType = mf::static_type();
inline PyTypeObject FormContentType = mf::static_type();
inline PyTypeObject FormPartType = mf::static_type();
inline PyTypeObject FileBufferType = mf::static_type();
inline PyTypeObject StreamedFormPartType = mf::static_type();
inline PyTypeObject MultiPartFormDataType = mf::static_type();
inline PyTypeObject ServerSentEventType = mf::static_type();
inline PyTypeObject TextServerSentEventType = mf::static_type();
inline PyTypeObject FileContentType = mf::static_type();
inline PyTypeObject OpenFileType = mf::static_type();

inline Content* as_content(PyObject* o) noexcept { return reinterpret_cast<Content*>(o); }
inline ServerSentEvent* as_event(PyObject* o) noexcept { return reinterpret_cast<ServerSentEvent*>(o); }

inline constexpr std::array<std::size_t, 2> content_refs = {offsetof(Content, type), offsetof(Content, body)};
inline constexpr std::array<std::size_t, 3> streamed_refs = {offsetof(StreamedContent, base.type),
                                                             offsetof(StreamedContent, base.body),
                                                             offsetof(StreamedContent, data_provider)};
inline constexpr std::array<std::size_t, 3> asgi_refs = {
    offsetof(ASGIContent, base.type), offsetof(ASGIContent, base.body), offsetof(ASGIContent, receive)};
inline constexpr std::array<std::size_t, 3> rsgi_refs = {
    offsetof(RSGIContent, base.type), offsetof(RSGIContent, base.body), offsetof(RSGIContent, protocol)};
inline constexpr std::array<std::size_t, 4> multipart_refs = {
    offsetof(MultiPartFormData, base.type), offsetof(MultiPartFormData, base.body), offsetof(MultiPartFormData, parts),
    offsetof(MultiPartFormData, boundary)};
inline constexpr std::array<std::size_t, 2> form_part_refs = {offsetof(FormPart, name), offsetof(FormPart, data)};
inline constexpr std::array<std::size_t, 2> file_buffer_refs = {offsetof(FileBuffer, name), offsetof(FileBuffer, data)};
inline constexpr std::array<std::size_t, 2> streamed_part_refs = {offsetof(StreamedFormPart, name),
                                                                  offsetof(StreamedFormPart, data_provider)};
inline constexpr std::array<std::size_t, 3> file_refs = {offsetof(FileContent, base.type),
                                                         offsetof(FileContent, base.body), offsetof(FileContent, path)};
inline constexpr std::array<std::size_t, 4> event_refs = {
    offsetof(ServerSentEvent, data), offsetof(ServerSentEvent, event), offsetof(ServerSentEvent, id),
    offsetof(ServerSentEvent, comment)};

// --- small helpers ----------------------------------------------------------------

// A media type: bytes or None, and never a text that would break the
// header line it is written on.
inline bool check_media_type(PyObject* type) noexcept {
  if (type == Py_None) return true;
  if (!PyBytes_Check(type)) {
    PyErr_Format(PyExc_TypeError, "content_type must be bytes or None, not %.200s", Py_TYPE(type)->tp_name);
    return false;
  }
  if (!wire::valid_value(wire::view(type))) {
    PyErr_SetString(PyExc_ValueError, "content_type cannot contain CR, LF or NUL");
    return false;
  }
  return true;
}

// Sets the buffered body and its length from a bytes-like object.
inline int set_body(Content* c, PyObject* data) noexcept {
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return -1;
  c->length = view.len;
  PyBuffer_Release(&view);
  c->body = Ref::borrow(data);
  return 0;
}

inline bool is_callable(PyObject* value, const char* what) noexcept {
  if (PyCallable_Check(value)) return true;
  PyErr_Format(PyExc_TypeError, "%s must be callable, not %.200s", what, Py_TYPE(value)->tp_name);
  return false;
}

// A content's cached body, when it has one (the buffered body, or the body
// already read from the server).
inline bool has_body(Content* c) noexcept { return c->body && !c->body.is_none(); }

// The body of a one-parameter function object (the content), for start().
template <class Locals, mf::Kind K>
inline PyObject* run(const Ref& function, PyObject* content, mf::Body<K> (*body)(Locals&)) noexcept {
  PyObject* args[] = {content};
  return mf::start(function.get(), args, body);
}

inline bool check_content(const Ref& content) noexcept {
  if (PyObject_TypeCheck(content.get(), &ContentType)) return true;
  PyErr_Format(PyExc_TypeError, "expected a Content, not %.200s", Py_TYPE(content.get())->tp_name);
  return false;
}

// Freed contents of the kinds a request makes (the body readers, the
// answer's content), kept for the next ones: one list per exact type.
inline constinit mf::FreeLists<7> content_free_lists;

// A new content object: table set, object fields None, length not fixed.
template <const auto& Refs, const auto* Table>
inline PyObject* content_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref self = Ref::steal(sup::alloc_listed<content_free_lists>(type));
  if (!self) return nullptr;
  as_content(self.get())->vtab = reinterpret_cast<const ContentVTable*>(Table);
  sup::fill_none<Refs>(self.get());
  as_content(self.get())->length = -1;
  return self.release();
}

// A body reader (ASGIContent, RSGIContent): a content without a limit.
template <const auto& Refs, const auto* Table, class Reader>
inline PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  PyObject* self = content_new<Refs, Table>(type, args, kwds);
  if (self) reinterpret_cast<Reader*>(self)->limit = -1;
  return self;
}

// Counts `more` body bytes against a reader's limit: false with
// ContentTooLarge set once the total passes it.
inline bool within_limit(std::int64_t limit, std::int64_t& total, Py_ssize_t more) noexcept {
  total += more;
  if (limit < 0 || total <= limit) return true;
  PyErr_SetNone(state.content_too_large.get());
  return false;
}

template <const auto& Refs>
inline PyObject* plain_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (self) sup::fill_none<Refs>(self.get());
  return self.release();
}

template <const ServerSentEventVTable* Table>
inline PyObject* event_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  as_event(self.get())->vtab = Table;
  sup::fill_none<event_refs>(self.get());
  as_event(self.get())->retry = -1;
  return self.release();
}

// --- buffered.cpp
extern const ContentVTable content_vtable;
struct PartsLocals {
  Ref content;
};
mf::AsyncGeneratorBody content_parts_body(PartsLocals& L);
PyObject* content_get_parts_py(PyObject* self, PyObject*);
// The constructors (framework_types/constructors.h): each one's parameters
// and the name its error texts use.
struct ContentInit {
  static constexpr const char* name = "Content";
  static constexpr mf::InitParam params[] = {{"content_type"}, {"data"}};
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};
struct TextInit {
  static constexpr const char* name = "TextContent";
  static constexpr mf::InitParam params[] = {{"text"}};
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};
struct HTMLInit {
  static constexpr const char* name = "HTMLContent";
  static constexpr mf::InitParam params[] = {{"html"}};
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};
struct JSONInit {
  static constexpr const char* name = "JSONContent";
  static constexpr mf::InitParam params[] = {{"data"}, {"dumps", state.json_dumps.slot(), false}};
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};
struct FormInit {
  static constexpr const char* name = "FormContent";
  static constexpr mf::InitParam params[] = {{"data"}};
  static int setup(PyObject* self, PyObject* const* bound);  // may throw std::bad_alloc
};
struct FormPartInit {
  static constexpr const char* name = "FormPart";
  static constexpr mf::InitParam params[] = {{"name"}, {"data"}};
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};
struct FileBufferInit {
  static constexpr const char* name = "FileBuffer";
  static constexpr mf::InitParam params[] = {{"name"}, {"data"}};
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};
struct StreamedPartInit {
  static constexpr const char* name = "StreamedFormPart";
  static constexpr mf::InitParam params[] = {{"name"}, {"data_provider"}};
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};
struct MultiPartInit {
  static constexpr const char* name = "MultiPartFormData";
  static constexpr mf::InitParam params[] = {{"parts"}};
  static int setup(PyObject* self, PyObject* const* bound);  // may throw std::bad_alloc
};
PyObject* parse_www_form_urlencoded_impl(PyObject* text);  // may throw std::bad_alloc
// The exported form.
inline constexpr auto parse_www_form_urlencoded = mf::guarded<parse_www_form_urlencoded_impl>;
PyObject* parse_www_form_urlencoded_py(PyObject*, PyObject* text);

// --- streamed.cpp
extern const StreamingVTable streamed_vtable;
extern const BodyReaderVTable asgi_vtable;
extern const BodyReaderVTable rsgi_vtable;
struct AsgiStreamLocals {
  Ref content, message;
};
struct AsgiReadLocals {
  Ref content, message, chunks;
};
struct RsgiStreamLocals {
  Ref content, iter;
};
struct RsgiReadLocals {
  Ref content, iter, chunks;
};
mf::AsyncGeneratorBody asgi_stream_body(AsgiStreamLocals& L);
mf::CoroutineBody asgi_read_body(AsgiReadLocals& L);
mf::AsyncGeneratorBody rsgi_stream_body(RsgiStreamLocals& L);
mf::CoroutineBody rsgi_read_body(RsgiReadLocals& L);
PyObject* streamed_stream_py(PyObject* self, PyObject*);
PyObject* asgi_stream_py(PyObject* self, PyObject*);
PyObject* asgi_read_py(PyObject* self, PyObject*);
PyObject* rsgi_stream_py(PyObject* self, PyObject*);
PyObject* rsgi_read_py(PyObject* self, PyObject*);
struct StreamedInit {
  static constexpr const char* name = "StreamedContent";
  static constexpr mf::InitParam params[] = {
      {"content_type"}, {"data_provider"}, {"data_length", state.minus_one.slot(), false}};
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};
struct ASGIInit {
  static constexpr const char* name = "ASGIContent";
  static constexpr mf::InitParam params[] = {{"receive"}};
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};
struct RSGIInit {
  static constexpr const char* name = "RSGIContent";
  static constexpr mf::InitParam params[] = {{"protocol"}};
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};

// --- file.cpp
extern const ContentVTable file_vtable;
struct FilePartsLocals {
  Ref content, file;
};
mf::AsyncGeneratorBody file_parts_body(FilePartsLocals& L);
PyObject* file_get_parts_py(PyObject* self, PyObject*);
struct FileInit {
  static constexpr const char* name = "FileContent";
  static constexpr mf::InitParam params[] = {{"path"}, {"content_type", &mf::none_default, false}};
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};
int ready_open_file_type() noexcept;
PyObject* open_file_impl(FileContent* content);
PyObject* read_file_part_impl(OpenFile* file, long long offset, long long size);
// The exported forms.
inline constexpr auto open_file = mf::guarded<open_file_impl>;
inline constexpr auto read_file_part = mf::guarded<read_file_part_impl>;

// --- events.cpp
extern const ServerSentEventVTable event_vtable;
extern const ServerSentEventVTable text_event_vtable;
PyObject* event_write_data_py(PyObject* self, PyObject*);
PyObject* text_event_write_data_py(PyObject* self, PyObject*);
// ServerSentEvent and TextServerSentEvent: a nameless table, as the texts have always been.
inline constexpr mf::InitParam event_params[] = {{"data"},
                                                 {"event", &mf::none_default, false},
                                                 {"id", &mf::none_default, false},
                                                 {"retry", state.minus_one.slot(), false},
                                                 {"comment", &mf::none_default, false}};
struct EventInit {
  static constexpr const char* name = nullptr;
  static constexpr const auto& params = event_params;
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};
struct TextEventInit {
  static constexpr const char* name = nullptr;
  static constexpr const auto& params = event_params;
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};
PyObject* event_repr(PyObject* self);

}  // namespace mf::contents::impl
