// morrowfen._server: start-up, the module's state and the Core type, the
// part of morrowfen.server.Application that every request reads.
#include "../framework_types/exceptions.h"
#include "../runtime/capi.h"
#include "../runtime/errors.h"
#include "../runtime/function.h"
#include "../runtime/module_def.h"
#include "../runtime/type_support.h"
#include "../runtime/types.h"
#include "server.h"

namespace mf::server {

namespace {
constinit ProcessState<ServerState> storage;
}  // namespace
constinit ServerState& state = *storage;

namespace {

namespace sup = mf::support;

std::int64_t interpreter = -1;

// --- Core ---------------------------------------------------------------------------------

constexpr std::array<std::size_t, 3> core_refs = {offsetof(Core, handler), offsetof(Core, websocket_handler),
                                                  offsetof(Core, streams)};

PyTypeObject CoreType = mf::static_type();

Core* as_core(PyObject* o) noexcept { return reinterpret_cast<Core*>(o); }

PyObject* core_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  sup::fill_none<core_refs>(self.get());
  as_core(self.get())->streams.reset();  // made when a stream first waits
  as_core(self.get())->max_body_size = -1;
  return self.release();
}

// max_body_size: an int of at least 0, or None for no limit.
PyObject* get_max_body_size(PyObject* self, void*) {
  std::int64_t n = as_core(self)->max_body_size;
  return n < 0 ? mf::new_ref(Py_None) : PyLong_FromLongLong(n);
}

int set_max_body_size(PyObject* self, PyObject* value, void* closure) {
  if (!value) return sup::refuse_delete(self, closure);
  if (value == Py_None) {
    as_core(self)->max_body_size = -1;
    return 0;
  }
  std::int64_t n = 0;
  if (!PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "max_body_size must be an int or None, not %.200s", Py_TYPE(value)->tp_name);
    return -1;
  }
  if (!sup::to_integer(value, n)) return -1;
  if (n < 0) {
    PyErr_SetString(PyExc_ValueError, "max_body_size must be at least 0, or None for no limit");
    return -1;
  }
  as_core(self)->max_body_size = n;
  return 0;
}

int set_handler(PyObject* self, PyObject* value, void* closure) {
  if (!value) return sup::refuse_delete(self, closure);
  if (!PyCallable_Check(value)) {
    PyErr_Format(PyExc_TypeError, "handler must be an async callable, not %.200s", Py_TYPE(value)->tp_name);
    return -1;
  }
  as_core(self)->handler = Ref::borrow(value);
  return 0;
}

int set_websocket_handler(PyObject* self, PyObject* value, void* closure) {
  if (!value) return sup::refuse_delete(self, closure);
  if (value != Py_None && !PyCallable_Check(value)) {
    PyErr_Format(PyExc_TypeError, "websocket_handler must be an async callable or None, not %.200s",
                 Py_TYPE(value)->tp_name);
    return -1;
  }
  as_core(self)->websocket_handler = Ref::borrow(value);
  return 0;
}

PyObject* end_streams_py(PyObject* self, PyObject*) {
  if (end_streams(as_core(self)) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyGetSetDef core_getset[] = {
    {"handler", sup::get_object, set_handler, "The async callable Request -> Response.",
     sup::closure_of(offsetof(Core, handler))},
    {"websocket_handler", sup::get_object, set_websocket_handler,
     "The async callable given each WebSocket, or None (websockets are refused).",
     sup::closure_of(offsetof(Core, websocket_handler))},
    {"max_body_size", get_max_body_size, set_max_body_size,
     "The largest request body read, in bytes (413 past it), or None for no limit.", nullptr},
    sup::flag_field("_started", offsetof(Core, started), "The startup hooks have run."),
    sup::flag_field("_stopping", offsetof(Core, stopping), "The server has begun to stop."),
    sup::getset_end,
};

PyMethodDef core_methods[] = {
    {"_end_streams", end_streams_py, METH_NOARGS,
     "_end_streams()\n\nEnds every streamed response that waits (the server begins to stop); later ones end when "
     "they first wait."},
    {nullptr, nullptr, 0, nullptr},
};

int ready_core_type() {
  if (state.Core) return 0;
  sup::gc_slots<core_refs>(CoreType);
  CoreType.tp_name = "morrowfen._server.Core";
  CoreType.tp_doc = "What an Application keeps for its requests (the base of morrowfen.server.Application).";
  CoreType.tp_basicsize = sizeof(Core);
  CoreType.tp_new = core_new;
  CoreType.tp_getset = core_getset;
  CoreType.tp_methods = core_methods;
  if (PyType_Ready(&CoreType) < 0) return -1;
  state.Core = &CoreType;
  return 0;
}

// --- start-up -------------------------------------------------------------------------------

Ref attribute_of(const char* module, const char* name) noexcept {
  Ref m = Ref::steal(PyImport_ImportModule(module));
  return m ? Ref::steal(PyObject_GetAttrString(m.get(), name)) : Ref();
}

struct Binding {
  const char* module;
  const char* name;
  Ref ServerState::* slot;
};

const Binding bindings[] = {
    {"morrowfen.contents", "ASGIContent", &ServerState::asgi_content},
    {"morrowfen.contents", "RSGIContent", &ServerState::rsgi_content},
    {"morrowfen.contents", "TextContent", &ServerState::text_content},
    {"morrowfen.messages", "Request", &ServerState::request_type},
    {"morrowfen.messages", "Response", &ServerState::response_type},
    {"morrowfen.url", "URL", &ServerState::url_type},
    {"morrowfen.exceptions", "HTTPException", &ServerState::http_exception},
    {"morrowfen.exceptions", "MessageAborted", &ServerState::message_aborted},
    {"asyncio", "current_task", &ServerState::current_task},
    {"asyncio", "get_running_loop", &ServerState::get_running_loop},
    {"asyncio", "ensure_future", &ServerState::ensure_future},
    {"asyncio", "CancelledError", &ServerState::cancelled_error},
    // penmoth's start-up binds the sibling types and builds the tables the
    // exchange shares with it.
    {"morrowfen.penmoth", "send_asgi_response", &ServerState::send_asgi_response},
    {"morrowfen.websocket", "serve_asgi", &ServerState::websocket_asgi},
    {"morrowfen.websocket", "serve_rsgi", &ServerState::websocket_rsgi},
};

const Param p_scope_receive[] = {{"scope"}, {"receive"}};
const Param p_serve_asgi[] = {{"self"}, {"scope"}, {"receive"}, {"send"}};
const Param p_serve_rsgi[] = {{"self"}, {"scope"}, {"protocol"}};
const Param p_self[] = {{"self"}};

const FunctionDef functions[] = {
    {"instantiate_asgi_request", p_scope_receive, Kind::plain,
     "Builds a Request from an ASGI http scope; its content is an ASGIContent reading `receive`.",
     instantiate_asgi_request_py},
    {"serve_asgi", p_serve_asgi, Kind::coroutine, "await app(scope, receive, send): one ASGI exchange.", serve_asgi_py},
    {"serve_rsgi", p_serve_rsgi, Kind::coroutine, "await app.__rsgi__(scope, protocol): one RSGI exchange.",
     serve_rsgi_py},
};

int bind(PyObject* module) {
  for (const Binding& b : bindings) {
    if (state.*b.slot) continue;
    Ref value = attribute_of(b.module, b.name);
    if (!value) return -1;
    state.*b.slot = std::move(value);
  }
  if (!state.logger) {
    Ref get_logger = attribute_of("logging", "getLogger");
    Ref logger = get_logger ? Ref::steal(PyObject_CallFunction(get_logger.get(), "s", "morrowfen.server")) : Ref();
    if (!logger) return -1;
    state.logger = std::move(logger);
  }
  Ref name = Ref::steal(PyUnicode_FromString(module_name));
  if (!name) return -1;
  PyObject* globals = PyModule_GetDict(module);
  if (!state.queued_receive_fn) {
    static const FunctionDef receive_def{"receive", p_self, Kind::coroutine, nullptr, queued_receive_py};
    Ref fn = make_function(receive_def, "morrowfen/_server/watch.cpp", globals, name.get());
    if (!fn) return -1;
    state.queued_receive_fn = std::move(fn);
  }
  if (ready_files(globals, name.get()) < 0) return -1;
  for (const FunctionDef& def : functions) {
    Ref fn = make_function(def, "morrowfen/_server/exchange.cpp", globals, name.get());
    if (!fn || PyModule_AddObjectRef(module, def.name, fn.get()) < 0) return -1;
  }
  return 0;
}

int exec(PyObject* module) {
  if (claim_interpreter(interpreter) < 0) return -1;
  if (ready_runtime() < 0 || bind(module) < 0) return -1;
  if (ready_core_type() < 0 || ready_watch_type() < 0) return -1;
  return publish(module, {{&CoreType}});
}

ModuleDef module_def{module_name, "The serving layer's native half: request intake and the per-request exchange.",
                     exec};

}  // namespace

Core* core_of(PyObject* app) noexcept {
  if (state.Core && PyObject_TypeCheck(app, state.Core)) return as_core(app);
  PyErr_Format(PyExc_TypeError, "expected an Application, not %.200s", Py_TYPE(app)->tp_name);
  return nullptr;
}

}  // namespace mf::server

PyMODINIT_FUNC PyInit__server() { return mf::server::module_def.init(); }
