// morrowfen.websocket: WebSocket connections served through the same
// Application as requests. WebSocket is a Request (URL, query, cookies,
// headers) with the messages of a connection; WebSocketDisconnect says that
// the connection has ended. This unit holds WebSocketDisconnect, the type
// tables and the module's start-up; websocket_module.h says where the rest is.
#include "../framework_types/url.h"
#include "../runtime/capi.h"
#include "../runtime/init_args.h"
#include "../runtime/module_def.h"
#include "websocket_module.h"

namespace mf::websocket {
namespace {

std::int64_t g_interpreter = -1;

// --- WebSocketDisconnect ----------------------------------------------------------------

PyTypeObject* base_exception() noexcept { return reinterpret_cast<PyTypeObject*>(PyExc_Exception); }
Disconnect* as_disconnect(PyObject* self) noexcept { return reinterpret_cast<Disconnect*>(self); }

int disconnect_traverse(PyObject* self, visitproc visit, void* arg) {
  if (int e = mf::visit(as_disconnect(self)->reason, visit, arg)) return e;
  return base_exception()->tp_traverse(self, visit, arg);
}

int disconnect_clear(PyObject* self) {
  as_disconnect(self)->reason.reset();
  return base_exception()->tp_clear(self);
}

void disconnect_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  as_disconnect(self)->reason.reset();
  base_exception()->tp_dealloc(self);
}

constexpr mf::InitParam disconnect_params[] = {{"code", state.default_code.slot(), false},
                                               {"reason", state.default_reason.slot(), false}};

PyObject* disconnect_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  Ref self = Ref::steal(base_exception()->tp_new(type, args, kwds));
  if (!self) return nullptr;
  as_disconnect(self.get())->code = 1000;
  as_disconnect(self.get())->reason = state.default_reason.copy();
  return self.release();
}

// WebSocketDisconnect(code=1000, reason=""): its args are (code, reason).
int disconnect_init(PyObject* self, PyObject* args, PyObject* kwds) {
  PyObject* bound[2];
  if (mf::bind_init("WebSocketDisconnect", disconnect_params, args, kwds, bound) < 0) return -1;
  int code = 0;
  if (!sup::to_integer(bound[0], code)) return -1;
  if (!PyUnicode_Check(bound[1])) {
    PyErr_Format(PyExc_TypeError, "reason must be a str, not %.200s", Py_TYPE(bound[1])->tp_name);
    return -1;
  }
  Ref pair = Ref::steal(PyTuple_Pack(2, bound[0], bound[1]));
  if (!pair) return -1;
  Disconnect* d = as_disconnect(self);
  d->code = code;
  d->reason = Ref::borrow(bound[1]);
  Ref old = Ref::steal(d->base.args);  // the exception's own field: replaced, the old value released
  d->base.args = pair.release();
  return 0;
}

// "1001", or "1001 going away" with a reason.
PyObject* disconnect_str(PyObject* self) {
  Disconnect* d = as_disconnect(self);
  Ref reason = d->reason.copy();
  if (!reason || !PyUnicode_Check(reason.get()) || PyUnicode_GET_LENGTH(reason.get()) == 0)
    return PyUnicode_FromFormat("%d", d->code);
  return PyUnicode_FromFormat("%d %U", d->code, reason.get());
}

PyGetSetDef disconnect_getset[] = {
    sup::integer_field<int>("code", offsetof(Disconnect, code), "The close code the connection ended with."),
    sup::object_field("reason", offsetof(Disconnect, reason), "The close reason (str), empty when none was given."),
    sup::getset_end,
};

// --- type tables and start-up -------------------------------------------------------------

bool types_ready = false;

int ready_types() {
  if (types_ready) return 0;
  PyTypeObject& d = DisconnectType;
  d.tp_name = "morrowfen.websocket.WebSocketDisconnect";
  d.tp_doc = mf::init_doc(d.tp_name, disconnect_params,
                          "The connection has ended: the client left (or the application closed it). `code` is the "
                          "close code the server reported, `reason` its reason.");
  d.tp_basicsize = sizeof(Disconnect);
  d.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  d.tp_base = base_exception();
  d.tp_new = disconnect_new;
  d.tp_init = disconnect_init;
  d.tp_str = disconnect_str;
  d.tp_traverse = disconnect_traverse;
  d.tp_clear = disconnect_clear;
  d.tp_dealloc = disconnect_dealloc;
  d.tp_getset = disconnect_getset;

  PyTypeObject& w = WebSocketType;
  sup::gc_slots<websocket_refs>(w);
  w.tp_name = "morrowfen.websocket.WebSocket";
  w.tp_doc =
      "A WebSocket connection: a Request (url, query, cookies, headers) of the handshake, with the messages of the "
      "connection (accept, receive, send, close, async iteration). The serving layer makes it for the handler.";
  w.tp_basicsize = sizeof(WebSocket);
  w.tp_base = state.request_type.as<PyTypeObject>();
  w.tp_methods = websocket_methods;
  w.tp_getset = websocket_getset;
  w.tp_as_async = &websocket_async;
  if (!d.tp_doc || PyType_Ready(&d) < 0 || PyType_Ready(&w) < 0) return -1;
  types_ready = true;
  return 0;
}

Ref attribute_of(const char* module, const char* name) noexcept {
  Ref m = Ref::steal(PyImport_ImportModule(module));
  return m ? Ref::steal(PyObject_GetAttrString(m.get(), name)) : Ref();
}

int bind(PyObject* module) {
  if (!state.request_type) {
    Ref messages = Ref::steal(PyImport_ImportModule(messages::module_name));
    Ref url = attribute_of(mf::url::module_name, "URL");
    Ref penmoth_module = messages && url ? Ref::steal(PyImport_ImportModule(penmoth::module_name)) : Ref();
    Ref logging = penmoth_module ? Ref::steal(PyImport_ImportModule("logging")) : Ref();
    Ref logger = logging ? Ref::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", "morrowfen.server")) : Ref();
    if (!logger) return -1;
    if (!PyType_Check(url.get())) {
      PyErr_SetString(PyExc_TypeError, "morrowfen.url.URL must be a type");
      return -1;
    }
    Ref request = mf::import_type(messages.get(), messages::module_name, "Request", sizeof(messages::Request));
    if (!request || mf::import_function(penmoth_module.get(), "extract_rsgi_headers", penmoth::extract_rsgi_headers_sig,
                                        state.extract_headers) < 0)
      return -1;
    Ref code = Ref::steal(PyLong_FromLong(1000));
    Ref reason = Ref::steal(PyUnicode_FromString(""));
    if (!code || !reason) return -1;
    state.default_code = std::move(code);
    state.default_reason = std::move(reason);
    state.logger = std::move(logger);
    state.url_type = std::move(url);
    state.request_type = std::move(request);
  }
  return sup::make_functions(module, module_name, "morrowfen/websocket/socket.cpp", method_defs, method_functions);
}

int exec(PyObject* module) {
  if (mf::claim_interpreter(g_interpreter) < 0) return -1;
  if (mf::ready_runtime() < 0 || bind(module) < 0 || ready_types() < 0) return -1;
  if (mf::publish(module, {{&WebSocketType}, {&DisconnectType}}) < 0) return -1;
  Ref name = Ref::steal(PyUnicode_FromString(module_name));
  if (!name) return -1;
  for (const mf::FunctionDef& def : serve_defs) {
    Ref fn = mf::make_function(def, "morrowfen/websocket/serve.cpp", PyModule_GetDict(module), name.get());
    if (!fn || PyModule_AddObjectRef(module, def.name, fn.get()) < 0) return -1;
  }
  return 0;
}

mf::ModuleDef module_def{"morrowfen.websocket", "WebSocket connections served through morrowfen.server.Application.",
                         exec};

}  // namespace
}  // namespace mf::websocket

PyMODINIT_FUNC PyInit_websocket() { return mf::websocket::module_def.init(); }
