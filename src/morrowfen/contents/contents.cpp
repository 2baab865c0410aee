// morrowfen.contents: the bodies of requests and responses (buffered,
// streamed, read from an ASGI or RSGI server, text, HTML, JSON, forms and
// multipart forms), the parts of forms, and server-sent events.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>

#include "../framework_types/contents.h"
#include "../runtime/capi.h"
#include "../runtime/constants.h"
#include "../runtime/coroutine.h"
#include "../runtime/function.h"
#include "../runtime/types.h"
#include "../wire/percent.h"
#include "../wire/text.h"
#include "../runtime/type_support.h"

namespace {

using mf::Ref;
using namespace mf::contents;
namespace sup = mf::support;

const mf::Str k_get_parts{"get_parts"};
const mf::Str k_stream{"stream"};
const mf::Str k_read{"read"};
const mf::Str k_write_data{"write_data"};
const mf::Str k_type{"type"};
const mf::Str k_body{"body"};
const mf::Str k_more_body{"more_body"};
const mf::Str k_http_request{"http.request"};
const mf::Str k_http_disconnect{"http.disconnect"};
const mf::Str k_separators{"separators"};
const mf::Str k_comma{","};
const mf::Str k_colon{":"};
const mf::Bytes k_text_plain{"text/plain; charset=utf-8"};
const mf::Bytes k_text_html{"text/html; charset=utf-8"};
const mf::Bytes k_application_json{"application/json"};
const mf::Bytes k_form_urlencoded{"application/x-www-form-urlencoded"};

// Bound once per process in the module's start-up.
PyObject* g_message_aborted = nullptr;  // morrowfen.exceptions.MessageAborted
PyObject* g_json_dumps = nullptr;       // json.dumps
PyObject* g_compact_separators = nullptr;
PyObject* g_separators_kwnames = nullptr;
// The function objects behind the coroutines and async generators that the
// content methods return.
PyObject* g_content_parts_fn = nullptr;
PyObject* g_asgi_stream_fn = nullptr;
PyObject* g_asgi_read_fn = nullptr;
PyObject* g_rsgi_stream_fn = nullptr;
PyObject* g_rsgi_read_fn = nullptr;

PyTypeObject ContentType = mf::static_type();
PyTypeObject StreamedContentType = mf::static_type();
PyTypeObject ASGIContentType = mf::static_type();
PyTypeObject RSGIContentType = mf::static_type();
PyTypeObject TextContentType = mf::static_type();
PyTypeObject HTMLContentType = mf::static_type();
PyTypeObject JSONContentType = mf::static_type();
PyTypeObject FormContentType = mf::static_type();
PyTypeObject FormPartType = mf::static_type();
PyTypeObject FileBufferType = mf::static_type();
PyTypeObject StreamedFormPartType = mf::static_type();
PyTypeObject MultiPartFormDataType = mf::static_type();
PyTypeObject ServerSentEventType = mf::static_type();
PyTypeObject TextServerSentEventType = mf::static_type();

Content* as_content(PyObject* o) noexcept { return reinterpret_cast<Content*>(o); }

constexpr std::array<std::size_t, 2> content_refs = {offsetof(Content, type), offsetof(Content, body)};
constexpr std::array<std::size_t, 3> streamed_refs = {offsetof(StreamedContent, base.type),
                                                      offsetof(StreamedContent, base.body),
                                                      offsetof(StreamedContent, data_provider)};
constexpr std::array<std::size_t, 3> asgi_refs = {offsetof(ASGIContent, base.type), offsetof(ASGIContent, base.body),
                                                  offsetof(ASGIContent, receive)};
constexpr std::array<std::size_t, 3> rsgi_refs = {offsetof(RSGIContent, base.type), offsetof(RSGIContent, base.body),
                                                  offsetof(RSGIContent, protocol)};
constexpr std::array<std::size_t, 4> multipart_refs = {
    offsetof(MultiPartFormData, base.type), offsetof(MultiPartFormData, base.body), offsetof(MultiPartFormData, parts),
    offsetof(MultiPartFormData, boundary)};
constexpr std::array<std::size_t, 2> form_part_refs = {offsetof(FormPart, name), offsetof(FormPart, data)};
constexpr std::array<std::size_t, 2> file_buffer_refs = {offsetof(FileBuffer, name), offsetof(FileBuffer, data)};
constexpr std::array<std::size_t, 2> streamed_part_refs = {offsetof(StreamedFormPart, name),
                                                           offsetof(StreamedFormPart, data_provider)};
constexpr std::array<std::size_t, 4> event_refs = {offsetof(ServerSentEvent, data), offsetof(ServerSentEvent, event),
                                                   offsetof(ServerSentEvent, id), offsetof(ServerSentEvent, comment)};

// --- small helpers ----------------------------------------------------------------

// A media type: bytes or None, and never a text that would break the
// header line it is written on.
bool check_media_type(PyObject* type) noexcept {
  if (type == Py_None) return true;
  if (!PyBytes_Check(type)) {
    PyErr_Format(PyExc_TypeError, "content_type must be bytes or None, not %.200s", Py_TYPE(type)->tp_name);
    return false;
  }
  std::string_view t(PyBytes_AS_STRING(type), static_cast<std::size_t>(PyBytes_GET_SIZE(type)));
  if (t.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    PyErr_SetString(PyExc_ValueError, "content_type cannot contain CR, LF or NUL");
    return false;
  }
  return true;
}

// Sets the buffered body and its length from a bytes-like object.
int set_body(Content* c, PyObject* data) noexcept {
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return -1;
  c->length = view.len;
  PyBuffer_Release(&view);
  c->body = Ref::borrow(data);
  return 0;
}

bool is_callable(PyObject* value, const char* what) noexcept {
  if (PyCallable_Check(value)) return true;
  PyErr_Format(PyExc_TypeError, "%s must be callable, not %.200s", what, Py_TYPE(value)->tp_name);
  return false;
}

// A content's cached body, when it has one (the buffered body, or the body
// already read from the server).
bool has_body(Content* c) noexcept { return c->body && !c->body.is_none(); }

// The body of a one-parameter function object (the content), for start().
template <class Locals, mf::Kind K>
PyObject* run(PyObject* function, PyObject* content, mf::Body<K> (*body)(Locals&)) noexcept {
  PyObject* args[] = {content};
  return mf::start(function, args, body);
}

bool check_content(const Ref& content) noexcept {
  if (PyObject_TypeCheck(content.get(), &ContentType)) return true;
  PyErr_Format(PyExc_TypeError, "expected a Content, not %.200s", Py_TYPE(content.get())->tp_name);
  return false;
}

// --- async bodies ------------------------------------------------------------------

// Content.get_parts(): the buffered body, once (nothing when there is none).
struct PartsLocals {
  Ref content;
};
mf::AsyncGeneratorBody content_parts_body(PartsLocals& L) {
  if (!check_content(L.content)) co_return {};
  Content* c = as_content(L.content.get());
  if (has_body(c)) {
    Ref sent = co_yield c->body.copy();
    if (!sent) co_return {};
  }
  co_return Ref::none();
}

// The kind of an ASGI receive message: 0 http.request, 1 http.disconnect,
// 2 anything else, -1 error.
int asgi_message_kind(PyObject* message) noexcept {
  PyObject* type = nullptr;
  if (PyMapping_GetOptionalItem(message, k_type, &type) < 0) return -1;
  Ref held = Ref::steal(type);
  if (!held || !PyUnicode_Check(held.get())) return 2;
  if (PyUnicode_Compare(held.get(), k_http_request) == 0) return 0;
  if (PyUnicode_Compare(held.get(), k_http_disconnect) == 0) return 1;
  return 2;
}

// The body chunk of an "http.request" message and whether more follow.
bool asgi_request_chunk(PyObject* message, Ref& chunk, bool& more) noexcept {
  PyObject* body = nullptr;
  PyObject* more_body = nullptr;
  if (PyMapping_GetOptionalItem(message, k_body, &body) < 0) return false;
  chunk = Ref::steal(body);
  if (PyMapping_GetOptionalItem(message, k_more_body, &more_body) < 0) return false;
  Ref more_held = Ref::steal(more_body);
  int truth = more_held ? PyObject_IsTrue(more_held.get()) : 0;
  if (truth < 0) return false;
  more = truth;
  return true;
}

// ASGIContent.stream(): the bodies of "http.request" messages until one says
// no more follow; "http.disconnect" raises MessageAborted.
struct AsgiStreamLocals {
  Ref content, message;
};
mf::AsyncGeneratorBody asgi_stream_body(AsgiStreamLocals& L) {
  if (!check_content(L.content)) co_return {};
  auto* c = L.content.as<ASGIContent>();
  if (has_body(&c->base)) {
    Ref sent = co_yield c->base.body.copy();
    co_return sent ? Ref::none() : Ref();
  }
  for (;;) {
    Ref receive = c->receive.copy();  // held across its call, which may replace the field
    Ref pending = Ref::steal(PyObject_CallNoArgs(receive.get()));
    receive.reset();
    if (!pending) co_return {};
    L.message = co_await mf::await(std::move(pending));
    if (!L.message) co_return {};
    int kind = asgi_message_kind(L.message.get());
    if (kind < 0) co_return {};
    if (kind == 1) {
      PyErr_SetNone(g_message_aborted);
      co_return {};
    }
    if (kind == 2) continue;
    Ref chunk;
    bool more = false;
    if (!asgi_request_chunk(L.message.get(), chunk, more)) co_return {};
    L.message.reset();
    if (chunk && !chunk.is_none() && PyObject_Length(chunk.get()) != 0) {
      if (PyErr_Occurred()) co_return {};
      Ref sent = co_yield std::move(chunk);
      if (!sent) co_return {};
    }
    if (!more) break;
  }
  co_return Ref::none();
}

// Keeps the body read from the server, so that reading again gives it back.
void cache_body(Content* c, const Ref& body) noexcept {
  if (!PyBytes_Check(body.get())) return;
  c->body = body.copy();
  c->length = PyBytes_GET_SIZE(body.get());
}

// ASGIContent.read(): the whole body as bytes.
struct AsgiReadLocals {
  Ref content, iter, chunks;
};
mf::CoroutineBody asgi_read_body(AsgiReadLocals& L) {
  if (!check_content(L.content)) co_return {};
  Content* c = as_content(L.content.get());
  if (has_body(c)) co_return c->body.copy();
  L.iter = Ref::steal(run(g_asgi_stream_fn, L.content.get(), asgi_stream_body));
  L.chunks = Ref::steal(PyList_New(0));
  if (!L.iter || !L.chunks) co_return {};
  for (;;) {
    Ref chunk = co_await mf::anext(L.iter);
    if (!chunk) {
      if (mf::async_iteration_ended()) break;
      co_return {};
    }
    if (PyList_Append(L.chunks.get(), chunk.get()) < 0) co_return {};
  }
  Ref body = mf::wire::join_bytes(L.chunks.get(), "body chunks");
  if (!body) co_return {};
  cache_body(c, body);
  co_return body;
}

// RSGIContent.stream(): `async for chunk in protocol`.
struct RsgiStreamLocals {
  Ref content, iter;
};
mf::AsyncGeneratorBody rsgi_stream_body(RsgiStreamLocals& L) {
  if (!check_content(L.content)) co_return {};
  auto* c = L.content.as<RSGIContent>();
  if (has_body(&c->base)) {
    Ref sent = co_yield c->base.body.copy();
    co_return sent ? Ref::none() : Ref();
  }
  L.iter = mf::aiter(c->protocol.copy().get());
  if (!L.iter) co_return {};
  for (;;) {
    Ref chunk = co_await mf::anext(L.iter);
    if (!chunk) {
      if (mf::async_iteration_ended()) break;
      co_return {};
    }
    Ref sent = co_yield std::move(chunk);
    if (!sent) co_return {};
  }
  co_return Ref::none();
}

// RSGIContent.read(): `await protocol()`.
struct RsgiReadLocals {
  Ref content;
};
mf::CoroutineBody rsgi_read_body(RsgiReadLocals& L) {
  if (!check_content(L.content)) co_return {};
  auto* c = L.content.as<RSGIContent>();
  if (has_body(&c->base)) co_return c->base.body.copy();
  Ref protocol = c->protocol.copy();  // held across its call, which may replace the field
  Ref pending = Ref::steal(PyObject_CallNoArgs(protocol.get()));
  protocol.reset();
  if (!pending) co_return {};
  Ref body = co_await mf::await(std::move(pending));
  if (body) cache_body(&c->base, body);
  co_return body;
}

PyObject* content_parts_entry(PyObject* self, PyObject* const* args) { return mf::start(self, args, content_parts_body); }
PyObject* asgi_stream_entry(PyObject* self, PyObject* const* args) { return mf::start(self, args, asgi_stream_body); }
PyObject* asgi_read_entry(PyObject* self, PyObject* const* args) { return mf::start(self, args, asgi_read_body); }
PyObject* rsgi_stream_entry(PyObject* self, PyObject* const* args) { return mf::start(self, args, rsgi_stream_body); }
PyObject* rsgi_read_entry(PyObject* self, PyObject* const* args) { return mf::start(self, args, rsgi_read_body); }

const mf::Param p_content[] = {{"content"}};
const mf::FunctionDef body_defs[] = {
    {"get_parts", p_content, mf::Kind::async_generator, nullptr, content_parts_entry},
    {"stream", p_content, mf::Kind::async_generator, nullptr, asgi_stream_entry},
    {"read", p_content, mf::Kind::coroutine, nullptr, asgi_read_entry},
    {"stream", p_content, mf::Kind::async_generator, nullptr, rsgi_stream_entry},
    {"read", p_content, mf::Kind::coroutine, nullptr, rsgi_read_entry},
};
PyObject** const body_functions[] = {&g_content_parts_fn, &g_asgi_stream_fn, &g_asgi_read_fn, &g_rsgi_stream_fn,
                                     &g_rsgi_read_fn};

// --- the methods: natives, Python forms, C-level entries -----------------------

// Content
PyObject* content_get_parts_py(PyObject* self, PyObject*) {
  return run(g_content_parts_fn, self, content_parts_body);
}

// StreamedContent: both methods call the data provider.
PyObject* streamed_stream_py(PyObject* self, PyObject*) {
  Ref provider = reinterpret_cast<StreamedContent*>(self)->data_provider.copy();  // held across its call
  return PyObject_CallNoArgs(provider.get());
}

// ASGIContent
PyObject* asgi_stream_py(PyObject* self, PyObject*) { return run(g_asgi_stream_fn, self, asgi_stream_body); }
PyObject* asgi_read_py(PyObject* self, PyObject*) { return run(g_asgi_read_fn, self, asgi_read_body); }

// RSGIContent
PyObject* rsgi_stream_py(PyObject* self, PyObject*) { return run(g_rsgi_stream_fn, self, rsgi_stream_body); }
PyObject* rsgi_read_py(PyObject* self, PyObject*) { return run(g_rsgi_read_fn, self, rsgi_read_body); }

// The C-level tables: each entry runs a Python subclass's replacement of the
// method when there is one (runtime/type_support.h).
using sup::c_method0;
constexpr ContentVTable content_vtable = {c_method0<content_get_parts_py, k_get_parts, Content>};
constexpr StreamingVTable streamed_vtable = {{c_method0<streamed_stream_py, k_get_parts, Content>},
                                             c_method0<streamed_stream_py, k_stream, Content>};
constexpr BodyReaderVTable asgi_vtable = {{{c_method0<asgi_stream_py, k_get_parts, Content>},
                                           c_method0<asgi_stream_py, k_stream, Content>},
                                          c_method0<asgi_read_py, k_read, Content>};
constexpr BodyReaderVTable rsgi_vtable = {{{c_method0<rsgi_stream_py, k_get_parts, Content>},
                                           c_method0<rsgi_stream_py, k_stream, Content>},
                                          c_method0<rsgi_read_py, k_read, Content>};

// --- construction -------------------------------------------------------------------

// A new content object: table set, object fields None, length not fixed.
template <const auto& Refs, const auto* Table>
PyObject* content_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  as_content(self.get())->vtab = reinterpret_cast<const ContentVTable*>(Table);
  sup::fill_none<Refs>(self.get());
  as_content(self.get())->length = -1;
  return self.release();
}

// Content(content_type, data)
int content_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"content_type", "data", nullptr};
  PyObject *type = nullptr, *data = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:Content", const_cast<char**>(kwlist), &type, &data)) return -1;
  if (!check_media_type(type) || set_body(as_content(self), data) < 0) return -1;
  as_content(self)->type = Ref::borrow(type);
  return 0;
}

// StreamedContent(content_type, data_provider, data_length=-1)
int streamed_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"content_type", "data_provider", "data_length", nullptr};
  PyObject *type = nullptr, *provider = nullptr, *length = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|O:StreamedContent", const_cast<char**>(kwlist), &type, &provider,
                                   &length))
    return -1;
  std::int64_t n = -1;
  if (!check_media_type(type) || !is_callable(provider, "data_provider") || (length && !sup::to_integer(length, n)))
    return -1;
  auto* c = reinterpret_cast<StreamedContent*>(self);
  c->base.type = Ref::borrow(type);
  c->base.body = Ref::none();
  c->base.length = n;
  c->data_provider = Ref::borrow(provider);
  return 0;
}

// ASGIContent(receive)
int asgi_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"receive", nullptr};
  PyObject* receive = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:ASGIContent", const_cast<char**>(kwlist), &receive)) return -1;
  if (!is_callable(receive, "receive")) return -1;
  reinterpret_cast<ASGIContent*>(self)->receive = Ref::borrow(receive);
  return 0;
}

// RSGIContent(protocol)
int rsgi_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"protocol", nullptr};
  PyObject* protocol = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:RSGIContent", const_cast<char**>(kwlist), &protocol)) return -1;
  reinterpret_cast<RSGIContent*>(self)->protocol = Ref::borrow(protocol);
  return 0;
}

// Text bodies: the UTF-8 bytes of a str.
int set_text(PyObject* self, PyObject* text, PyObject* media_type) noexcept {
  if (!PyUnicode_Check(text)) {
    PyErr_Format(PyExc_TypeError, "expected a str, not %.200s", Py_TYPE(text)->tp_name);
    return -1;
  }
  Ref body = Ref::steal(PyUnicode_AsUTF8String(text));
  if (!body) return -1;
  Content* c = as_content(self);
  c->length = PyBytes_GET_SIZE(body.get());
  c->body = std::move(body);
  c->type = Ref::borrow(media_type);
  return 0;
}

// TextContent(text)
int text_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"text", nullptr};
  PyObject* text = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:TextContent", const_cast<char**>(kwlist), &text)) return -1;
  return set_text(self, text, k_text_plain);
}

// HTMLContent(html)
int html_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"html", nullptr};
  PyObject* html = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:HTMLContent", const_cast<char**>(kwlist), &html)) return -1;
  return set_text(self, html, k_text_html);
}

// JSONContent(data, dumps=json.dumps): the body is dumps(data), encoded as
// UTF-8 when it is a str (a dumps that gives bytes is used as it is).
int json_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"data", "dumps", nullptr};
  PyObject *data = nullptr, *dumps = g_json_dumps;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:JSONContent", const_cast<char**>(kwlist), &data, &dumps))
    return -1;
  Ref text = Ref::steal(PyObject_CallOneArg(dumps, data));
  if (!text) return -1;
  if (PyUnicode_Check(text.get())) {
    text = Ref::steal(PyUnicode_AsUTF8String(text.get()));
    if (!text) return -1;
  } else if (!PyBytes_Check(text.get())) {
    PyErr_Format(PyExc_TypeError, "dumps() must return str or bytes, not %.200s", Py_TYPE(text.get())->tp_name);
    return -1;
  }
  Content* c = as_content(self);
  c->length = PyBytes_GET_SIZE(text.get());
  c->body = std::move(text);
  c->type = Ref::borrow(k_application_json);
  return 0;
}

// One name or value of a form: a str (as UTF-8), bytes, or anything else by
// its str().
bool form_text(PyObject* value, Ref& holder, std::string_view& out) noexcept {
  if (PyBytes_Check(value)) {
    out = std::string_view(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
    return true;
  }
  holder = Ref::steal(PyUnicode_Check(value) ? mf::new_ref(value) : PyObject_Str(value));
  return holder && mf::percent::view_of(holder.get(), out, "a form value");
}

// FormContent(data): a dict, or an iterable of (name, value) pairs.
int form_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"data", nullptr};
  PyObject* data = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:FormContent", const_cast<char**>(kwlist), &data)) return -1;
  Ref pairs = Ref::steal(PyDict_Check(data) ? PyDict_Items(data) : PySequence_List(data));
  if (!pairs) return -1;
  std::string out;
  try {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
      Ref pair = Ref::steal(PySequence_Tuple(PyList_GET_ITEM(pairs.get(), i)));
      if (!pair) return -1;
      if (PyTuple_GET_SIZE(pair.get()) != 2) {
        PyErr_SetString(PyExc_ValueError, "form data items must be (name, value) pairs");
        return -1;
      }
      Ref name_holder, value_holder;
      std::string_view name, value;
      if (!form_text(PyTuple_GET_ITEM(pair.get(), 0), name_holder, name) ||
          !form_text(PyTuple_GET_ITEM(pair.get(), 1), value_holder, value))
        return -1;
      if (!out.empty()) out.push_back('&');
      mf::percent::encode(name, mf::percent::form_safe, true, out);
      out.push_back('=');
      mf::percent::encode(value, mf::percent::form_safe, true, out);
    }
  } catch (...) {
    PyErr_NoMemory();
    return -1;
  }
  Ref body = mf::percent::bytes_from(out);
  if (!body) return -1;
  Content* c = as_content(self);
  c->length = PyBytes_GET_SIZE(body.get());
  c->body = std::move(body);
  c->type = Ref::borrow(k_form_urlencoded);
  return 0;
}

// --- form parts and multipart bodies -------------------------------------------------

template <const auto& Refs>
PyObject* plain_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (self) sup::fill_none<Refs>(self.get());
  return self.release();
}

bool check_type(PyObject* value, PyTypeObject* type, const char* what) noexcept {
  if (PyObject_TypeCheck(value, type)) return true;
  PyErr_Format(PyExc_TypeError, "%s must be %s, not %.200s", what, type->tp_name, Py_TYPE(value)->tp_name);
  return false;
}

// FormPart(name: bytes, data: bytes)
int form_part_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"name", "data", nullptr};
  PyObject *name = nullptr, *data = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:FormPart", const_cast<char**>(kwlist), &name, &data)) return -1;
  if (!check_type(name, &PyBytes_Type, "name") || !check_type(data, &PyBytes_Type, "data")) return -1;
  reinterpret_cast<FormPart*>(self)->name = Ref::borrow(name);
  reinterpret_cast<FormPart*>(self)->data = Ref::borrow(data);
  return 0;
}

// FileBuffer(name: str, data: bytes)
int file_buffer_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"name", "data", nullptr};
  PyObject *name = nullptr, *data = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:FileBuffer", const_cast<char**>(kwlist), &name, &data)) return -1;
  if (!check_type(name, &PyUnicode_Type, "name") || !check_type(data, &PyBytes_Type, "data")) return -1;
  reinterpret_cast<FileBuffer*>(self)->name = Ref::borrow(name);
  reinterpret_cast<FileBuffer*>(self)->data = Ref::borrow(data);
  return 0;
}

// StreamedFormPart(name: bytes, data_provider)
int streamed_part_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"name", "data_provider", nullptr};
  PyObject *name = nullptr, *provider = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:StreamedFormPart", const_cast<char**>(kwlist), &name, &provider))
    return -1;
  if (!check_type(name, &PyBytes_Type, "name") || !is_callable(provider, "data_provider")) return -1;
  reinterpret_cast<StreamedFormPart*>(self)->name = Ref::borrow(name);
  reinterpret_cast<StreamedFormPart*>(self)->data_provider = Ref::borrow(provider);
  return 0;
}

std::string random_boundary() {
  static constexpr char digits[] = "0123456789abcdef";
  std::random_device source;
  std::string boundary = "----morrowfen";
  for (int i = 0; i < 4; ++i) {  // 32 hex digits: 45 characters, within the limit of 70
    unsigned value = source();
    for (int j = 0; j < 4; ++j, value >>= 8) {
      boundary.push_back(digits[(value >> 4) & 15]);
      boundary.push_back(digits[value & 15]);
    }
  }
  return boundary;
}

// A field name inside a quoted Content-Disposition parameter: '"', CR and
// LF are percent-escaped, as browsers do.
void append_quoted_name(std::string& out, std::string_view name) {
  for (char c : name) {
    if (c == '"') out.append("%22");
    else if (c == '\r') out.append("%0D");
    else if (c == '\n') out.append("%0A");
    else out.push_back(c);
  }
}

// MultiPartFormData(parts): a multipart/form-data body made of FormPart
// objects, with a random boundary that none of the parts contains.
int multipart_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"parts", nullptr};
  PyObject* parts = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:MultiPartFormData", const_cast<char**>(kwlist), &parts)) return -1;
  Ref list = Ref::steal(PySequence_List(parts));
  if (!list) return -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject* part = PyList_GET_ITEM(list.get(), i);
    if (!PyObject_TypeCheck(part, &FormPartType)) {
      PyErr_Format(PyExc_TypeError, "MultiPartFormData parts must be FormPart objects, not %.200s",
                   Py_TYPE(part)->tp_name);
      return -1;
    }
    auto* p = reinterpret_cast<FormPart*>(part);
    if (!check_type(p->name.get(), &PyBytes_Type, "FormPart.name") ||
        !check_type(p->data.get(), &PyBytes_Type, "FormPart.data"))
      return -1;
  }
  std::string body;
  std::string boundary;
  try {
    for (;;) {
      boundary = random_boundary();
      bool clash = false;
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()) && !clash; ++i) {
        auto* p = reinterpret_cast<FormPart*>(PyList_GET_ITEM(list.get(), i));
        std::string_view data(PyBytes_AS_STRING(p->data.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(p->data.get())));
        clash = data.find(boundary) != std::string_view::npos;
      }
      if (!clash) break;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
      auto* p = reinterpret_cast<FormPart*>(PyList_GET_ITEM(list.get(), i));
      body.append("--").append(boundary).append("\r\nContent-Disposition: form-data; name=\"");
      append_quoted_name(body, std::string_view(PyBytes_AS_STRING(p->name.get()),
                                                static_cast<std::size_t>(PyBytes_GET_SIZE(p->name.get()))));
      body.append("\"\r\n\r\n");
      body.append(PyBytes_AS_STRING(p->data.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(p->data.get())));
      body.append("\r\n");
    }
    body.append("--").append(boundary).append("--\r\n");
  } catch (...) {
    PyErr_NoMemory();
    return -1;
  }
  Ref body_bytes = mf::percent::bytes_from(body);
  Ref boundary_bytes = mf::percent::bytes_from(boundary);
  Ref type = Ref::steal(PyBytes_FromFormat("multipart/form-data; boundary=%s", boundary.c_str()));
  if (!body_bytes || !boundary_bytes || !type) return -1;
  auto* m = reinterpret_cast<MultiPartFormData*>(self);
  m->base.length = PyBytes_GET_SIZE(body_bytes.get());
  m->base.body = std::move(body_bytes);
  m->base.type = std::move(type);
  m->parts = std::move(list);
  m->boundary = std::move(boundary_bytes);
  return 0;
}

// --- server-sent events ------------------------------------------------------------

ServerSentEvent* as_event(PyObject* o) noexcept { return reinterpret_cast<ServerSentEvent*>(o); }

// ServerSentEvent.write_data(): the data as compact JSON.
PyObject* event_write_data_py(PyObject* self, PyObject*) {
  Ref data = as_event(self)->data ? as_event(self)->data.copy() : Ref::none();  // held across dumps()
  PyObject* args[] = {nullptr, data.get(), g_compact_separators};
  return PyObject_Vectorcall(g_json_dumps, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, g_separators_kwnames);
}

// TextServerSentEvent.write_data(): the data text as it is. Line breaks stay:
// the event writer puts each line of the text on a data line of its own.
PyObject* text_event_write_data_py(PyObject* self, PyObject*) {
  const Ref& data = as_event(self)->data;
  return mf::new_ref(data ? data.get() : Py_None);
}



constexpr ServerSentEventVTable event_vtable = {c_method0<event_write_data_py, k_write_data, ServerSentEvent>};
constexpr ServerSentEventVTable text_event_vtable = {
    c_method0<text_event_write_data_py, k_write_data, ServerSentEvent>};

template <const ServerSentEventVTable* Table>
PyObject* event_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  as_event(self.get())->vtab = Table;
  sup::fill_none<event_refs>(self.get());
  as_event(self.get())->retry = -1;
  return self.release();
}

// ServerSentEvent(data, event=None, id=None, retry=-1, comment=None)
int event_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"data", "event", "id", "retry", "comment", nullptr};
  PyObject *data = nullptr, *event = Py_None, *id = Py_None, *retry = nullptr, *comment = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOOO", const_cast<char**>(kwlist), &data, &event, &id, &retry,
                                   &comment))
    return -1;
  std::int32_t retry_value = -1;
  // event, id and comment are kept as given; the event writer refuses what is not text.
  if (retry && retry != Py_None && !sup::to_integer(retry, retry_value)) return -1;
  ServerSentEvent* e = as_event(self);
  e->data = Ref::borrow(data);
  e->event = Ref::borrow(event);
  e->id = Ref::borrow(id);
  e->comment = Ref::borrow(comment);
  e->retry = retry_value;
  return 0;
}

// TextServerSentEvent(data: str, ...): the data is the text itself.
int text_event_init(PyObject* self, PyObject* args, PyObject* kwds) {
  if (event_init(self, args, kwds) < 0) return -1;
  const Ref& data = as_event(self)->data;
  if (PyUnicode_Check(data.get())) return 0;
  PyErr_Format(PyExc_TypeError, "TextServerSentEvent() argument 'data' must be str, not %.200s",
               Py_TYPE(data.get())->tp_name);
  return -1;
}

PyObject* event_repr(PyObject* self) {
  const Ref& data = as_event(self)->data;
  return PyUnicode_FromFormat("<%s %R>", Py_TYPE(self)->tp_name, data ? data.get() : Py_None);
}

// --- parse_www_form_urlencoded ------------------------------------------------------

// name=value pairs into a dict: a str value, or a list of them when the name
// repeats.
PyObject* parse_www_form_urlencoded(PyObject* text) {
  if (!text || !PyUnicode_Check(text)) {
    PyErr_Format(PyExc_TypeError, "expected a str, not %.200s", text ? Py_TYPE(text)->tp_name : "NULL");
    return nullptr;
  }
  std::string_view view;
  if (!mf::percent::view_of(text, view, "text")) return nullptr;
  Ref result = Ref::steal(PyDict_New());
  if (!result) return nullptr;
  int status = mf::percent::for_each_pair(view, [&](Ref name, Ref value) -> int {
    PyObject* existing = nullptr;
    if (PyDict_GetItemRef(result.get(), name.get(), &existing) < 0) return -1;
    Ref held = Ref::steal(existing);
    if (!held) return PyDict_SetItem(result.get(), name.get(), value.get());
    if (PyList_CheckExact(held.get())) return PyList_Append(held.get(), value.get());
    Ref both = Ref::steal(PyList_New(0));
    if (!both || PyList_Append(both.get(), held.get()) < 0 || PyList_Append(both.get(), value.get()) < 0) return -1;
    return PyDict_SetItem(result.get(), name.get(), both.get());
  });
  return status < 0 ? nullptr : result.release();
}

PyObject* parse_www_form_urlencoded_py(PyObject*, PyObject* text) { return parse_www_form_urlencoded(text); }

// --- type tables ----------------------------------------------------------------------

PyGetSetDef content_getset[] = {
    sup::object_field("type", offsetof(Content, type), "The media type (bytes), or None."),
    sup::object_field("body", offsetof(Content, body), "The buffered body, or None."),
    sup::integer_field<std::int64_t>("length", offsetof(Content, length), "The body length; negative when unknown."),
    sup::getset_end,
};
PyGetSetDef streamed_getset[] = {sup::object_field("data_provider", offsetof(StreamedContent, data_provider)),
                                 sup::getset_end};
PyGetSetDef asgi_getset[] = {sup::object_field("receive", offsetof(ASGIContent, receive)), sup::getset_end};
PyGetSetDef rsgi_getset[] = {sup::object_field("protocol", offsetof(RSGIContent, protocol)), sup::getset_end};
PyGetSetDef multipart_getset[] = {sup::object_field("parts", offsetof(MultiPartFormData, parts)),
                                  sup::object_field("boundary", offsetof(MultiPartFormData, boundary)),
                                  sup::getset_end};
PyGetSetDef form_part_getset[] = {sup::object_field("name", offsetof(FormPart, name)),
                                  sup::object_field("data", offsetof(FormPart, data)), sup::getset_end};
PyGetSetDef file_buffer_getset[] = {sup::object_field("name", offsetof(FileBuffer, name)),
                                    sup::object_field("data", offsetof(FileBuffer, data)), sup::getset_end};
PyGetSetDef streamed_part_getset[] = {sup::object_field("name", offsetof(StreamedFormPart, name)),
                                      sup::object_field("data_provider", offsetof(StreamedFormPart, data_provider)),
                                      sup::getset_end};
PyGetSetDef event_getset[] = {
    sup::object_field("data", offsetof(ServerSentEvent, data)),
    sup::object_field("event", offsetof(ServerSentEvent, event)),
    sup::object_field("id", offsetof(ServerSentEvent, id)),
    sup::object_field("comment", offsetof(ServerSentEvent, comment)),
    sup::integer_field<std::int32_t>("retry", offsetof(ServerSentEvent, retry), "Milliseconds; negative when not set."),
    sup::getset_end,
};

constexpr const char* get_parts_doc = "get_parts()\n\nThe body's parts, as an asynchronous iterable of bytes.";
constexpr const char* stream_doc = "stream()\n\nThe body's chunks, as an asynchronous iterable of bytes.";
constexpr const char* read_doc = "read()\n\nAwaitable: the whole body as bytes.";

PyMethodDef content_methods[] = {{"get_parts", content_get_parts_py, METH_NOARGS, get_parts_doc},
                                 {nullptr, nullptr, 0, nullptr}};
PyMethodDef streamed_methods[] = {{"get_parts", streamed_stream_py, METH_NOARGS, get_parts_doc},
                                  {"stream", streamed_stream_py, METH_NOARGS, stream_doc},
                                  {nullptr, nullptr, 0, nullptr}};
PyMethodDef asgi_methods[] = {{"get_parts", asgi_stream_py, METH_NOARGS, get_parts_doc},
                              {"stream", asgi_stream_py, METH_NOARGS, stream_doc},
                              {"read", asgi_read_py, METH_NOARGS, read_doc},
                              {nullptr, nullptr, 0, nullptr}};
PyMethodDef rsgi_methods[] = {{"get_parts", rsgi_stream_py, METH_NOARGS, get_parts_doc},
                              {"stream", rsgi_stream_py, METH_NOARGS, stream_doc},
                              {"read", rsgi_read_py, METH_NOARGS, read_doc},
                              {nullptr, nullptr, 0, nullptr}};
PyMethodDef event_methods[] = {
    {"write_data", event_write_data_py, METH_NOARGS, "write_data()\n\nThe text of the event's data field."},
    {nullptr, nullptr, 0, nullptr}};
PyMethodDef text_event_methods[] = {
    {"write_data", text_event_write_data_py, METH_NOARGS, "write_data()\n\nThe text of the event's data field."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef module_methods[] = {
    {"parse_www_form_urlencoded", parse_www_form_urlencoded_py, METH_O,
     "parse_www_form_urlencoded(text)\n\nThe pairs of form-encoded text as a dict (a list for a repeated name)."},
    {nullptr, nullptr, 0, nullptr}};

struct TypeDef {
  PyTypeObject* type;
  const char* name;
  const char* doc;
  Py_ssize_t size;
  PyTypeObject* base;
  newfunc tp_new;
  initproc tp_init;
  PyGetSetDef* getset;
  PyMethodDef* methods;
  const void* table;  // exported as __pyx_vtable__, when set
};

const TypeDef type_defs[] = {
    {&ContentType, "morrowfen.contents.Content", "Content(content_type: bytes, data: bytes)", sizeof(Content), nullptr,
     content_new<content_refs, &content_vtable>, content_init, content_getset, content_methods, &content_vtable},
    {&StreamedContentType, "morrowfen.contents.StreamedContent",
     "StreamedContent(content_type: bytes, data_provider, data_length: int = -1)", sizeof(StreamedContent),
     &ContentType, content_new<streamed_refs, &streamed_vtable>, streamed_init, streamed_getset, streamed_methods,
     &streamed_vtable},
    {&ASGIContentType, "morrowfen.contents.ASGIContent", "ASGIContent(receive)", sizeof(ASGIContent), &ContentType,
     content_new<asgi_refs, &asgi_vtable>, asgi_init, asgi_getset, asgi_methods, &asgi_vtable},
    {&RSGIContentType, "morrowfen.contents.RSGIContent", "RSGIContent(protocol)", sizeof(RSGIContent), &ContentType,
     content_new<rsgi_refs, &rsgi_vtable>, rsgi_init, rsgi_getset, rsgi_methods, &rsgi_vtable},
    {&TextContentType, "morrowfen.contents.TextContent", "TextContent(text: str)", sizeof(TextContent), &ContentType,
     nullptr, text_init, nullptr, nullptr, &content_vtable},
    {&HTMLContentType, "morrowfen.contents.HTMLContent", "HTMLContent(html: str)", sizeof(HTMLContent), &ContentType,
     nullptr, html_init, nullptr, nullptr, &content_vtable},
    {&JSONContentType, "morrowfen.contents.JSONContent", "JSONContent(data, dumps=json.dumps)", sizeof(JSONContent),
     &ContentType, nullptr, json_init, nullptr, nullptr, &content_vtable},
    {&FormContentType, "morrowfen.contents.FormContent", "FormContent(data: dict | list[tuple[str, str]])",
     sizeof(FormContent), &ContentType, nullptr, form_init, nullptr, nullptr, &content_vtable},
    {&FormPartType, "morrowfen.contents.FormPart", "FormPart(name: bytes, data: bytes)", sizeof(FormPart), nullptr,
     plain_new<form_part_refs>, form_part_init, form_part_getset, nullptr, nullptr},
    {&FileBufferType, "morrowfen.contents.FileBuffer", "FileBuffer(name: str, data: bytes)", sizeof(FileBuffer),
     nullptr, plain_new<file_buffer_refs>, file_buffer_init, file_buffer_getset, nullptr, nullptr},
    {&StreamedFormPartType, "morrowfen.contents.StreamedFormPart", "StreamedFormPart(name: bytes, data_provider)",
     sizeof(StreamedFormPart), nullptr, plain_new<streamed_part_refs>, streamed_part_init, streamed_part_getset,
     nullptr, nullptr},
    {&MultiPartFormDataType, "morrowfen.contents.MultiPartFormData", "MultiPartFormData(parts: list[FormPart])",
     sizeof(MultiPartFormData), &ContentType, content_new<multipart_refs, &content_vtable>, multipart_init,
     multipart_getset, nullptr, &content_vtable},
    {&ServerSentEventType, "morrowfen.contents.ServerSentEvent",
     "ServerSentEvent(data, event: str | None = None, id: str | None = None, retry: int = -1, "
     "comment: str | None = None)",
     sizeof(ServerSentEvent), nullptr, event_new<&event_vtable>, event_init, event_getset, event_methods,
     &event_vtable},
    {&TextServerSentEventType, "morrowfen.contents.TextServerSentEvent",
     "TextServerSentEvent(data: str, event: str | None = None, id: str | None = None, retry: int = -1, "
     "comment: str | None = None)",
     sizeof(TextServerSentEvent), &ServerSentEventType, event_new<&text_event_vtable>, text_event_init, nullptr,
     text_event_methods, &text_event_vtable},
};

// GC slots by the struct each type uses.
void set_gc_slots(PyTypeObject* t) {
  if (t == &StreamedContentType) sup::gc_slots<streamed_refs>(*t);
  else if (t == &ASGIContentType) sup::gc_slots<asgi_refs>(*t);
  else if (t == &RSGIContentType) sup::gc_slots<rsgi_refs>(*t);
  else if (t == &MultiPartFormDataType) sup::gc_slots<multipart_refs>(*t);
  else if (t == &FormPartType) sup::gc_slots<form_part_refs>(*t);
  else if (t == &FileBufferType) sup::gc_slots<file_buffer_refs>(*t);
  else if (t == &StreamedFormPartType) sup::gc_slots<streamed_part_refs>(*t);
  else if (t == &ServerSentEventType || t == &TextServerSentEventType) sup::gc_slots<event_refs>(*t);
  else sup::gc_slots<content_refs>(*t);
}

bool types_ready = false;

int ready_types() {
  if (types_ready) return 0;
  for (const TypeDef& s : type_defs) {
    PyTypeObject* t = s.type;
    set_gc_slots(t);
    t->tp_name = s.name;
    t->tp_doc = s.doc;
    t->tp_basicsize = s.size;
    t->tp_base = s.base;
    t->tp_new = s.tp_new;
    t->tp_init = s.tp_init;
    t->tp_getset = s.getset;
    t->tp_methods = s.methods;
    if (t == &ServerSentEventType || t == &TextServerSentEventType) t->tp_repr = event_repr;
    if (PyType_Ready(t) < 0) return -1;
  }
  types_ready = true;
  return 0;
}

// The process-wide objects the methods use.
int bind_globals(PyObject* module) {
  if (!g_message_aborted) {
    Ref exceptions = Ref::steal(PyImport_ImportModule("morrowfen.exceptions"));
    Ref aborted = exceptions ? Ref::steal(PyObject_GetAttrString(exceptions.get(), "MessageAborted")) : Ref();
    if (!aborted) return -1;
    sup::keep(g_message_aborted, std::move(aborted));
  }
  if (!g_json_dumps) {
    Ref json = Ref::steal(PyImport_ImportModule("json"));
    Ref dumps = json ? Ref::steal(PyObject_GetAttrString(json.get(), "dumps")) : Ref();
    Ref separators = Ref::steal(PyTuple_Pack(2, k_comma.get(), k_colon.get()));
    Ref kwnames = Ref::steal(PyTuple_Pack(1, k_separators.get()));
    if (!dumps || !separators || !kwnames) return -1;
    sup::keep(g_compact_separators, std::move(separators));
    sup::keep(g_separators_kwnames, std::move(kwnames));
    sup::keep(g_json_dumps, std::move(dumps));
  }
  return sup::keep_functions(module, mf::contents::module_name, "morrowfen/contents/contents.cpp", body_defs, body_functions);
}

int exec(PyObject* module) {
  if (mf::ready_runtime() < 0) return -1;
  if (ready_types() < 0 || bind_globals(module) < 0) return -1;
  for (const TypeDef& s : type_defs) {
    if (mf::add_type(module, s.type) < 0) return -1;
    if (s.table && mf::export_vtable(s.type, s.table) < 0) return -1;
  }
  PyObject* capi = mf::capi_dict(module);
  if (!capi) return -1;
  parse_www_form_urlencoded_fn* parse = parse_www_form_urlencoded;
  return mf::export_function(capi, "parse_www_form_urlencoded", parse, parse_www_form_urlencoded_sig);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "morrowfen.contents", "Message bodies and server-sent events.", 0,
                          module_methods, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_contents() { return PyModuleDef_Init(&module_def); }
