// morrowfen.contents: the bodies of requests and responses (buffered,
// streamed, read from an ASGI or RSGI server, text, HTML, JSON, forms and
// multipart forms), the parts of forms, and server-sent events. This unit
// holds the type tables and the module's start-up; contents_module.h says
// where the rest is.
#include "contents_module.h"

namespace mf::contents::impl {
namespace {

const mf::Param p_content[] = {{"content"}};
const mf::FunctionDef body_defs[] = {
    {"get_parts", p_content, mf::Kind::async_generator, nullptr, mf::body_py<content_parts_body>},
    {"stream", p_content, mf::Kind::async_generator, nullptr, mf::body_py<asgi_stream_body>},
    {"read", p_content, mf::Kind::coroutine, nullptr, mf::body_py<asgi_read_body>},
    {"stream", p_content, mf::Kind::async_generator, nullptr, mf::body_py<rsgi_stream_body>},
    {"read", p_content, mf::Kind::coroutine, nullptr, mf::body_py<rsgi_read_body>},
    {"get_parts", p_content, mf::Kind::async_generator, nullptr, mf::body_py<file_parts_body>},
};
Ref* const body_functions[] = {&state.content_parts_fn, &state.asgi_stream_fn, &state.asgi_read_fn,
                               &state.rsgi_stream_fn,   &state.rsgi_read_fn,   &state.file_parts_fn};

// --- type tables ----------------------------------------------------------------------

PyGetSetDef content_getset[] = {
    sup::object_field("type", offsetof(Content, type), "The media type (bytes), or None."),
    sup::object_field("body", offsetof(Content, body), "The buffered body, or None."),
    sup::integer_field<std::int64_t>("length", offsetof(Content, length), "The body length; negative when unknown."),
    sup::getset_end,
};
PyGetSetDef streamed_getset[] = {sup::object_field("data_provider", offsetof(StreamedContent, data_provider)),
                                 sup::getset_end};
constexpr const char* limit_doc =
    "The most body bytes stream() and read() take (ContentTooLarge past it); -1: no limit.";
PyGetSetDef asgi_getset[] = {sup::object_field("receive", offsetof(ASGIContent, receive)),
                             sup::integer_field<std::int64_t>("limit", offsetof(ASGIContent, limit), limit_doc),
                             sup::getset_end};
PyGetSetDef rsgi_getset[] = {sup::object_field("protocol", offsetof(RSGIContent, protocol)),
                             sup::integer_field<std::int64_t>("limit", offsetof(RSGIContent, limit), limit_doc),
                             sup::getset_end};
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
PyGetSetDef file_getset[] = {
    {"path", sup::get_object, nullptr, "The file's path (str).", sup::closure_of(offsetof(FileContent, path))},
    sup::getset_end,
};
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
PyMethodDef file_methods[] = {{"get_parts", file_get_parts_py, METH_NOARGS,
                               "get_parts()\n\nThe file's bytes, read when iterated, as an asynchronous iterable."},
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

// A type's constructor (framework_types/constructors.h): tp_init, the tp_doc
// with its signature, and a vectorcall for the types made on every request.
struct Init {
  initproc tp_init;
  const char* (*doc)(const char* type_name, const char* text) noexcept;
  vectorcallfunc vectorcall = nullptr;
};

template <class Def>
constexpr Init init_of() {
  return {mf::ctor::init<Def>, mf::ctor::doc<Def>};
}
template <class Def, PyTypeObject& Type>
constexpr Init fast_init_of() {
  return {mf::ctor::init<Def>, mf::ctor::doc<Def>, mf::ctor::vectorcall<Def, Type>};
}

struct TypeDef {
  PyTypeObject* type;
  const char* name;
  const char* doc;  // after the signature
  Py_ssize_t size;
  PyTypeObject* base;
  newfunc tp_new;
  Init init;
  PyGetSetDef* getset;
  PyMethodDef* methods;
  const void* table;  // exported as __pyx_vtable__, when set
};

const TypeDef type_defs[] = {
    {&ContentType, "morrowfen.contents.Content", "Content(content_type: bytes, data: bytes)", sizeof(Content), nullptr,
     content_new<content_refs, &content_vtable>, fast_init_of<ContentInit, ContentType>(), content_getset,
     content_methods, &content_vtable},
    {&StreamedContentType, "morrowfen.contents.StreamedContent",
     "StreamedContent(content_type: bytes, data_provider, data_length: int = -1)", sizeof(StreamedContent),
     &ContentType, content_new<streamed_refs, &streamed_vtable>, fast_init_of<StreamedInit, StreamedContentType>(),
     streamed_getset, streamed_methods, &streamed_vtable},
    {&ASGIContentType, "morrowfen.contents.ASGIContent", "ASGIContent(receive)", sizeof(ASGIContent), &ContentType,
     reader_new<asgi_refs, &asgi_vtable, ASGIContent>, fast_init_of<ASGIInit, ASGIContentType>(), asgi_getset,
     asgi_methods, &asgi_vtable},
    {&RSGIContentType, "morrowfen.contents.RSGIContent", "RSGIContent(protocol)", sizeof(RSGIContent), &ContentType,
     reader_new<rsgi_refs, &rsgi_vtable, RSGIContent>, fast_init_of<RSGIInit, RSGIContentType>(), rsgi_getset,
     rsgi_methods, &rsgi_vtable},
    {&TextContentType, "morrowfen.contents.TextContent", "TextContent(text: str)", sizeof(TextContent), &ContentType,
     nullptr, fast_init_of<TextInit, TextContentType>(), nullptr, nullptr, &content_vtable},
    {&HTMLContentType, "morrowfen.contents.HTMLContent", "HTMLContent(html: str)", sizeof(HTMLContent), &ContentType,
     nullptr, fast_init_of<HTMLInit, HTMLContentType>(), nullptr, nullptr, &content_vtable},
    {&JSONContentType, "morrowfen.contents.JSONContent", "JSONContent(data, dumps=json.dumps)", sizeof(JSONContent),
     &ContentType, nullptr, fast_init_of<JSONInit, JSONContentType>(), nullptr, nullptr, &content_vtable},
    {&FormContentType, "morrowfen.contents.FormContent", "FormContent(data: dict | list[tuple[str, str]])",
     sizeof(FormContent), &ContentType, nullptr, init_of<FormInit>(), nullptr, nullptr, &content_vtable},
    {&FormPartType, "morrowfen.contents.FormPart", "FormPart(name: bytes, data: bytes)", sizeof(FormPart), nullptr,
     plain_new<form_part_refs>, init_of<FormPartInit>(), form_part_getset, nullptr, nullptr},
    {&FileBufferType, "morrowfen.contents.FileBuffer", "FileBuffer(name: str, data: bytes)", sizeof(FileBuffer),
     nullptr, plain_new<file_buffer_refs>, init_of<FileBufferInit>(), file_buffer_getset, nullptr, nullptr},
    {&StreamedFormPartType, "morrowfen.contents.StreamedFormPart", "StreamedFormPart(name: bytes, data_provider)",
     sizeof(StreamedFormPart), nullptr, plain_new<streamed_part_refs>, init_of<StreamedPartInit>(),
     streamed_part_getset, nullptr, nullptr},
    {&MultiPartFormDataType, "morrowfen.contents.MultiPartFormData", "MultiPartFormData(parts: list[FormPart])",
     sizeof(MultiPartFormData), &ContentType, content_new<multipart_refs, &content_vtable>, init_of<MultiPartInit>(),
     multipart_getset, nullptr, &content_vtable},
    {&FileContentType, "morrowfen.contents.FileContent",
     "A file sent from its path, read only as it is sent; a missing file is found then. content_type None: "
     "guessed from the name (text types with charset=utf-8).",
     sizeof(FileContent), &ContentType, content_new<file_refs, &file_vtable>, fast_init_of<FileInit, FileContentType>(),
     file_getset, file_methods, &file_vtable},
    {&ServerSentEventType, "morrowfen.contents.ServerSentEvent",
     "ServerSentEvent(data, event: str | None = None, id: str | None = None, retry: int = -1, "
     "comment: str | None = None)",
     sizeof(ServerSentEvent), nullptr, event_new<&event_vtable>, init_of<EventInit>(), event_getset, event_methods,
     &event_vtable},
    {&TextServerSentEventType, "morrowfen.contents.TextServerSentEvent",
     "TextServerSentEvent(data: str, event: str | None = None, id: str | None = None, retry: int = -1, "
     "comment: str | None = None)",
     sizeof(TextServerSentEvent), &ServerSentEventType, event_new<&text_event_vtable>, init_of<TextEventInit>(),
     nullptr, text_event_methods, &text_event_vtable},
};

// GC slots by the struct each type uses; the kinds a request makes keep
// their freed instances (content_free_lists).
void set_gc_slots(PyTypeObject* t) {
  if (t == &StreamedContentType) {
    sup::gc_slots<streamed_refs>(*t);
    t->tp_dealloc = sup::dealloc_listed<streamed_refs, content_free_lists>;
  } else if (t == &ASGIContentType) {
    sup::gc_slots<asgi_refs>(*t);
    t->tp_dealloc = sup::dealloc_listed<asgi_refs, content_free_lists>;
  } else if (t == &RSGIContentType) {
    sup::gc_slots<rsgi_refs>(*t);
    t->tp_dealloc = sup::dealloc_listed<rsgi_refs, content_free_lists>;
  } else if (t == &MultiPartFormDataType) sup::gc_slots<multipart_refs>(*t);
  else if (t == &FormPartType) sup::gc_slots<form_part_refs>(*t);
  else if (t == &FileBufferType) sup::gc_slots<file_buffer_refs>(*t);
  else if (t == &StreamedFormPartType) sup::gc_slots<streamed_part_refs>(*t);
  else if (t == &FileContentType) sup::gc_slots<file_refs>(*t);
  else if (t == &ServerSentEventType || t == &TextServerSentEventType) sup::gc_slots<event_refs>(*t);
  else {
    sup::gc_slots<content_refs>(*t);
    t->tp_dealloc = sup::dealloc_listed<content_refs, content_free_lists>;
  }
}

bool types_ready = false;

int ready_types() {
  if (types_ready) return 0;
  for (PyTypeObject* t : {&ContentType, &TextContentType, &HTMLContentType, &JSONContentType, &StreamedContentType,
                          &ASGIContentType, &RSGIContentType})
    content_free_lists.add(t);
  for (const TypeDef& s : type_defs) {
    PyTypeObject* t = s.type;
    set_gc_slots(t);
    t->tp_name = s.name;
    t->tp_doc = s.init.doc(s.name, s.doc);
    if (!t->tp_doc) return -1;
    t->tp_basicsize = s.size;
    t->tp_base = s.base;
    t->tp_new = s.tp_new;
    t->tp_init = s.init.tp_init;
    t->tp_vectorcall = s.init.vectorcall;
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
  if (!state.message_aborted) {
    Ref exceptions = Ref::steal(PyImport_ImportModule("morrowfen.exceptions"));
    Ref aborted = exceptions ? Ref::steal(PyObject_GetAttrString(exceptions.get(), "MessageAborted")) : Ref();
    Ref too_large = aborted ? Ref::steal(PyObject_GetAttrString(exceptions.get(), "ContentTooLarge")) : Ref();
    if (!too_large) return -1;
    state.content_too_large = std::move(too_large);
    state.message_aborted = std::move(aborted);
  }
  if (!state.json_dumps) {
    Ref json = Ref::steal(PyImport_ImportModule("json"));
    Ref dumps = json ? Ref::steal(PyObject_GetAttrString(json.get(), "dumps")) : Ref();
    Ref separators = Ref::steal(PyTuple_Pack(2, k_comma.get(), k_colon.get()));
    Ref kwnames = Ref::steal(PyTuple_Pack(1, k_separators.get()));
    Ref minus_one = Ref::steal(PyLong_FromLong(-1));
    if (!dumps || !separators || !kwnames || !minus_one) return -1;
    state.minus_one = std::move(minus_one);
    state.compact_separators = std::move(separators);
    state.separators_kwnames = std::move(kwnames);
    state.json_dumps = std::move(dumps);
  }
  return sup::make_functions(module, mf::contents::module_name, "morrowfen/contents/contents.cpp", body_defs,
                             body_functions);
}

int exec(PyObject* module) {
  if (mf::ready_runtime() < 0) return -1;
  if (bind_globals(module) < 0 || ready_types() < 0) return -1;  // the docs show the defaults bound here
  if (ready_open_file_type() < 0) return -1;
  for (const TypeDef& s : type_defs)
    if (mf::publish_type(module, {s.type, s.table}) < 0) return -1;
  return mf::publish(module, {},
                     {mf::Export::function<parse_www_form_urlencoded_fn>(
                          "parse_www_form_urlencoded", parse_www_form_urlencoded, parse_www_form_urlencoded_sig),
                      mf::Export::function<open_file_fn>("open_file", open_file, open_file_sig),
                      mf::Export::function<read_file_part_fn>("read_file_part", read_file_part, read_file_part_sig)});
}

mf::ModuleDef module_def{"morrowfen.contents", "Message bodies and server-sent events.", exec, module_methods};

}  // namespace
}  // namespace mf::contents::impl

PyMODINIT_FUNC PyInit_contents() { return mf::contents::impl::module_def.init(); }
