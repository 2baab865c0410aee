// morrowfen.messages: Message, the headers and body common to requests and
// responses; Request, with its URL, query, cookies and body readers; and
// Response, with its status. This unit holds Response, the type tables and
// the module's start-up; messages_module.h says where the rest is.
#include "messages_module.h"

namespace mf::messages::impl {
namespace {

bool valid_status(int status) noexcept {
  if (status >= 100 && status <= 999) return true;
  PyErr_Format(PyExc_ValueError, "invalid HTTP status %d: expected 100 to 999", status);
  return false;
}

PyObject* response_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  Ref self =
      Ref::steal(message_new<message_refs, &response_vtable, ResponseType, response_free_list>(type, args, kwds));
  if (self) reinterpret_cast<Response*>(self.get())->status = 200;
  return self.release();
}

// Response(status, headers=None, content=None)
struct ResponseInit {
  static constexpr const char* name = "Response";
  static constexpr mf::InitParam params[] = {
      {"status"}, {"headers", &mf::none_default, false}, {"content", &mf::none_default, false}};
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};

int ResponseInit::setup(PyObject* self, PyObject* const* bound) noexcept {
  PyObject *status = bound[0], *headers = bound[1], *content = bound[2];
  int code = 0;
  if (!sup::to_integer(status, code) || !valid_status(code) || !list_or_none(headers, "headers") ||
      !content_or_none(content))
    return -1;
  auto* r = reinterpret_cast<Response*>(self);
  r->status = code;
  r->base.raw_headers = Ref::borrow(headers);
  r->base.content = Ref::borrow(content);
  return 0;
}

PyObject* get_status(PyObject* self, void*) { return PyLong_FromLong(reinterpret_cast<Response*>(self)->status); }

int set_status(PyObject* self, PyObject* value, void* closure) {
  if (!value) return sup::refuse_delete(self, closure);
  int code = 0;
  if (!sup::to_integer(value, code) || !valid_status(code)) return -1;
  reinterpret_cast<Response*>(self)->status = code;
  return 0;
}

PyObject* response_repr(PyObject* self) {
  return PyUnicode_FromFormat("<%s %d>", Py_TYPE(self)->tp_name, reinterpret_cast<Response*>(self)->status);
}

// --- type tables and start-up ---------------------------------------------------------

PyGetSetDef response_getset[] = {
    {"status", get_status, set_status, "The HTTP status code (100 to 999).", nullptr},
    sup::getset_end,
};

bool types_ready = false;

int ready_types() {
  if (types_ready) return 0;
  sup::gc_slots<message_refs>(MessageType);
  MessageType.tp_dealloc = sup::dealloc_kept<message_refs, MessageType, message_free_list>;
  MessageType.tp_name = "morrowfen.messages.Message";
  MessageType.tp_doc = mf::ctor::doc<MessageInit>(
      MessageType.tp_name, "Message(headers=None, content=None): the headers and body of a request or response.");
  MessageType.tp_basicsize = sizeof(Message);
  MessageType.tp_new = message_new<message_refs, &message_vtable, MessageType, message_free_list>;
  MessageType.tp_init = mf::ctor::init<MessageInit>;
  MessageType.tp_methods = message_methods;
  MessageType.tp_getset = message_getset;

  sup::gc_slots<request_refs>(RequestType);
  RequestType.tp_dealloc = sup::dealloc_kept<request_refs, RequestType, request_free_list>;
  RequestType.tp_name = "morrowfen.messages.Request";
  RequestType.tp_doc = mf::ctor::doc<RequestInit>(
      RequestType.tp_name, "Request(method: str | None, url: bytes, headers: list[tuple[bytes, bytes]] | None)");
  RequestType.tp_basicsize = sizeof(Request);
  RequestType.tp_base = &MessageType;
  RequestType.tp_new = message_new<request_refs, &request_vtable, RequestType, request_free_list>;
  RequestType.tp_init = mf::ctor::init<RequestInit>;
  RequestType.tp_vectorcall = mf::ctor::vectorcall<RequestInit, RequestType>;
  RequestType.tp_repr = request_repr;
  RequestType.tp_methods = request_methods;
  RequestType.tp_getset = request_getset;

  sup::gc_slots<message_refs>(ResponseType);
  ResponseType.tp_dealloc = sup::dealloc_kept<message_refs, ResponseType, response_free_list>;
  ResponseType.tp_name = "morrowfen.messages.Response";
  ResponseType.tp_doc = mf::ctor::doc<ResponseInit>(
      ResponseType.tp_name,
      "Response(status: int, headers: list[tuple[bytes, bytes]] | None = None, content: Content | None = None)");
  ResponseType.tp_basicsize = sizeof(Response);
  ResponseType.tp_base = &MessageType;
  ResponseType.tp_new = response_new;
  ResponseType.tp_init = mf::ctor::init<ResponseInit>;
  ResponseType.tp_vectorcall = mf::ctor::vectorcall<ResponseInit, ResponseType>;
  ResponseType.tp_repr = response_repr;
  ResponseType.tp_getset = response_getset;

  if (!MessageType.tp_doc || !RequestType.tp_doc || !ResponseType.tp_doc) return -1;
  if (PyType_Ready(&MessageType) < 0 || PyType_Ready(&RequestType) < 0 || PyType_Ready(&ResponseType) < 0) return -1;
  types_ready = true;
  return 0;
}

Ref attribute_of(const char* module, const char* name) noexcept {
  Ref m = Ref::steal(PyImport_ImportModule(module));
  return m ? Ref::steal(PyObject_GetAttrString(m.get(), name)) : Ref();
}

int bind_globals(PyObject* module) {
  if (!state.url_type) {
    Ref url = attribute_of("morrowfen.url", "URL");
    Ref content = attribute_of("morrowfen.contents", "Content");
    Ref bad_format = attribute_of("morrowfen.exceptions", "BadRequestFormat");
    Ref loads = attribute_of("json", "loads");
    if (!url || !content || !bad_format || !loads) return -1;
    if (!PyType_Check(url.get()) || !PyType_Check(content.get())) {
      PyErr_SetString(PyExc_TypeError, "morrowfen.url.URL and morrowfen.contents.Content must be types");
      return -1;
    }
    Ref asgi_content = attribute_of("morrowfen.contents", "ASGIContent");
    Ref rsgi_content = attribute_of("morrowfen.contents", "RSGIContent");
    if (!asgi_content || !rsgi_content) return -1;
    if (!PyType_Check(asgi_content.get()) || !PyType_Check(rsgi_content.get())) {
      PyErr_SetString(PyExc_TypeError, "morrowfen.contents.ASGIContent and RSGIContent must be types");
      return -1;
    }
    Ref cookies = Ref::steal(PyImport_ImportModule("morrowfen.cookies"));
    if (!cookies ||
        mf::import_function(cookies.get(), "parse_cookie", mf::cookies::parse_cookie_sig, state.parse_cookie) < 0)
      return -1;
    state.bad_request_format = std::move(bad_format);
    state.json_loads = std::move(loads);
    state.content_type = std::move(content);
    state.url_type = std::move(url);
    state.body_reader_types[0] = std::move(asgi_content);
    state.body_reader_types[1] = std::move(rsgi_content);
  }
  return sup::make_functions(module, mf::messages::module_name, "morrowfen/messages/request.cpp", body_defs,
                             body_functions);
}

int exec(PyObject* module) {
  if (mf::ready_runtime() < 0) return -1;
  if (bind_globals(module) < 0 || ready_types() < 0) return -1;
  using mf::Export;
  return mf::publish(
      module, {{&MessageType, &message_vtable}, {&RequestType, &request_vtable}, {&ResponseType, &response_vtable}},
      {Export::function<acquire_request_fn>("acquire_request", acquire_request, acquire_request_sig),
       Export::function<release_request_fn>("release_request", release_request, release_request_sig)});
}

mf::ModuleDef module_def{"morrowfen.messages", "HTTP requests and responses.", exec};

}  // namespace
}  // namespace mf::messages::impl

PyMODINIT_FUNC PyInit_messages() { return mf::messages::impl::module_def.init(); }
