// morrowfen.penmoth: module definition, start-up and the exported interface.
#include <Python.h>
#include <datetime.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <utility>

#include "../framework_types/exceptions.h"
#include "../framework_types/headers.h"
#include "../framework_types/url.h"
#include "../runtime/capi.h"
#include "../runtime/constants.h"
#include "../runtime/coroutine.h"
#include "../runtime/errors.h"
#include "penmoth.h"
#include "tables.h"

namespace mf::penmoth {

namespace {

Str k_re{"re"};

// --- what start-up binds -------------------------------------------------------------

struct TypeImport {
  const char* module;
  const char* name;
  std::size_t size;
  bool table;
  Ref* slot;
};

const TypeImport type_imports[] = {
    {contents::module_name, "Content", sizeof(contents::Content), true, &state.Content},
    {contents::module_name, "StreamedContent", sizeof(contents::StreamedContent), true, &state.StreamedContent},
    {contents::module_name, "ASGIContent", sizeof(contents::ASGIContent), true, &state.required_types.ASGIContent},
    {contents::module_name, "RSGIContent", sizeof(contents::RSGIContent), true, &state.RSGIContent},
    {contents::module_name, "TextContent", sizeof(contents::TextContent), true, &state.required_types.TextContent},
    {contents::module_name, "HTMLContent", sizeof(contents::HTMLContent), true, &state.required_types.HTMLContent},
    {contents::module_name, "JSONContent", sizeof(contents::JSONContent), true, &state.required_types.JSONContent},
    {contents::module_name, "FormContent", sizeof(contents::FormContent), true, &state.required_types.FormContent},
    {contents::module_name, "FormPart", sizeof(contents::FormPart), false, &state.required_types.FormPart},
    {contents::module_name, "FileBuffer", sizeof(contents::FileBuffer), false, &state.required_types.FileBuffer},
    {contents::module_name, "StreamedFormPart", sizeof(contents::StreamedFormPart), false,
     &state.required_types.StreamedFormPart},
    {contents::module_name, "ServerSentEvent", sizeof(contents::ServerSentEvent), true, &state.ServerSentEvent},
    {contents::module_name, "TextServerSentEvent", sizeof(contents::TextServerSentEvent), true,
     &state.required_types.TextServerSentEvent},
    {contents::module_name, "MultiPartFormData", sizeof(contents::MultiPartFormData), true,
     &state.required_types.MultiPartFormData},
    {contents::module_name, "FileContent", sizeof(contents::FileContent), true, &state.FileContent},
    {"builtins", "type", sizeof(PyHeapTypeObject), false, &state.required_types.type},
    {"datetime", "date", sizeof(PyDateTime_Date), false, &state.required_types.date},
    {"datetime", "time", sizeof(PyDateTime_Time), false, &state.required_types.time},
    {"datetime", "datetime", sizeof(PyDateTime_DateTime), false, &state.required_types.datetime},
    {"datetime", "timedelta", sizeof(PyDateTime_Delta), false, &state.required_types.timedelta},
    {"datetime", "tzinfo", sizeof(PyDateTime_TZInfo), false, &state.required_types.tzinfo},
    {cookies::module_name, "Cookie", sizeof(cookies::Cookie), true, &state.Cookie},
    {exceptions::module_name, "MessageAborted", sizeof(exceptions::Exception), false,
     &state.required_types.MessageAborted},
    {exceptions::module_name, "HTTPException", sizeof(exceptions::Exception), false,
     &state.required_types.HTTPException},
    {exceptions::module_name, "BadRequest", sizeof(exceptions::Exception), false, &state.required_types.BadRequest},
    {exceptions::module_name, "BadRequestFormat", sizeof(exceptions::Exception), false,
     &state.required_types.BadRequestFormat},
    {exceptions::module_name, "NotFound", sizeof(exceptions::Exception), false, &state.required_types.NotFound},
    {exceptions::module_name, "InternalServerError", sizeof(exceptions::Exception), false,
     &state.required_types.InternalServerError},
    {exceptions::module_name, "InvalidArgument", sizeof(exceptions::Exception), false,
     &state.required_types.InvalidArgument},
    {exceptions::module_name, "InvalidOperation", sizeof(exceptions::Exception), false,
     &state.required_types.InvalidOperation},
    {exceptions::module_name, "UnsupportedMediaType", sizeof(exceptions::Exception), false,
     &state.required_types.UnsupportedMediaType},
    {exceptions::module_name, "UnprocessableEntity", sizeof(exceptions::Exception), false,
     &state.required_types.UnprocessableEntity},
    {exceptions::module_name, "FailedRequestError", sizeof(exceptions::Exception), false,
     &state.required_types.FailedRequestError},
    {exceptions::module_name, "InvalidExceptionHandler", sizeof(exceptions::Exception), false,
     &state.required_types.InvalidExceptionHandler},
    {headers::module_name, "Header", sizeof(headers::Header), false, &state.required_types.Header},
    {headers::module_name, "Headers", sizeof(headers::Headers), true, &state.required_types.Headers},
    {url::module_name, "URL", sizeof(url::URL), true, &state.required_types.URL},
    {messages::module_name, "Message", sizeof(messages::Message), true, &state.required_types.Message},
    {messages::module_name, "Request", sizeof(messages::Request), true, &state.required_types.Request},
    {messages::module_name, "Response", sizeof(messages::Response), true, &state.Response},
};

struct FunctionImport {
  const char* module;
  const char* name;
  const char* signature;
  void** slot;
};

template <class F>
void** slot_of(F** p) {
  return reinterpret_cast<void**>(p);
}

const FunctionImport function_imports[] = {
    {contents::module_name, "parse_www_form_urlencoded", contents::parse_www_form_urlencoded_sig,
     slot_of(&state.required_functions.parse_www_form_urlencoded)},
    {contents::module_name, "open_file", contents::open_file_sig, slot_of(&state.open_file)},
    {contents::module_name, "read_file_part", contents::read_file_part_sig, slot_of(&state.read_file_part)},
    {cookies::module_name, "datetime_to_cookie_format", cookies::datetime_to_cookie_format_sig,
     slot_of(&state.required_functions.datetime_to_cookie_format)},
    {cookies::module_name, "write_cookie_for_response", cookies::write_cookie_for_response_sig,
     slot_of(&state.write_cookie_for_response)},
    {cookies::module_name, "parse_cookie", cookies::parse_cookie_sig, slot_of(&state.required_functions.parse_cookie)},
    {messages::module_name, "acquire_request", messages::acquire_request_sig, slot_of(&state.acquire_request)},
    {messages::module_name, "release_request", messages::release_request_sig,
     slot_of(&state.required_functions.release_request)},
};

// --- the Python-callable functions ------------------------------------------------------

PyTypeObject* const bytes_type = &PyBytes_Type;
PyTypeObject* const list_type = &PyList_Type;

const Param p_message[] = {{"message", instance_of(state.Response)}};
const Param p_cookie[] = {{"cookie", instance_of(state.Cookie)}};
const Param p_http_content[] = {{"http_content", instance_of(state.Content)}};
const Param p_data[] = {{"data", exactly(&bytes_type)}};
const Param p_response_send[] = {{"response", instance_of(state.Response)}, {"send"}};
const Param p_event[] = {{"event", instance_of(state.ServerSentEvent)}};
const Param p_raw_headers[] = {{"raw_headers"}};
const Param p_scope_protocol[] = {{"scope"}, {"protocol"}};
const Param p_response_protocol[] = {{"response", instance_of(state.Response)}, {"protocol"}};
const Param p_stream[] = {{"response", instance_of(state.Response)},
                          {"protocol"},
                          {"headers", exactly(&list_type)},
                          {"content", instance_of(state.StreamedContent)}};

const char write_chunks_doc[] =
    "\n    Writes chunks for transfer encoding. This method only works when using\n"
    "    `transfer-encoding: chunked`!\n    ";
const char write_sse_doc[] = "\n    Writes a ServerSentEvent object to bytes.\n    ";

// A definition of the module body: a function, or the newline pattern
// (`_NEW_LINES_RX = re.compile("\r\n|\n")`).
struct Definition {
  Definition(FunctionDef def, const char* file) : function(def), file(file) {}
  static Definition newline_pattern() { return Definition(); }
  std::optional<FunctionDef> function;
  const char* file = nullptr;  // the function's source unit

 private:
  Definition() = default;
};

// The module body's definitions, in order.
const Definition definitions[] = {
    {{"set_headers_for_response_content", p_message, Kind::plain, nullptr, set_headers_for_response_content_py},
     "morrowfen/penmoth/response_head.cpp"},
    {{"write_response_cookie", p_cookie, Kind::plain, nullptr, write_response_cookie_py},
     "morrowfen/penmoth/response_head.cpp"},
    {{"write_chunks", p_http_content, Kind::async_generator, write_chunks_doc, write_chunks_py},
     "morrowfen/penmoth/chunks.cpp"},
    {{"get_chunks", p_data, Kind::generator, nullptr, get_chunks_py}, "morrowfen/penmoth/chunks.cpp"},
    {{"send_asgi_response", p_response_send, Kind::coroutine, nullptr, send_asgi_response_py},
     "morrowfen/penmoth/asgi.cpp"},
    Definition::newline_pattern(),
    {{"write_sse", p_event, Kind::plain, write_sse_doc, write_sse_py}, "morrowfen/penmoth/sse.cpp"},
    {{"extract_rsgi_headers", p_raw_headers, Kind::plain, nullptr, extract_rsgi_headers_py},
     "morrowfen/penmoth/rsgi_request.cpp"},
    {{"instantiate_rsgi_request", p_scope_protocol, Kind::plain, nullptr, instantiate_rsgi_request_py},
     "morrowfen/penmoth/rsgi_request.cpp"},
    {{"send_rsgi_response_sync", p_response_protocol, Kind::plain, nullptr, send_rsgi_response_sync_py},
     "morrowfen/penmoth/rsgi_response.cpp"},
    {{"_send_rsgi_stream", p_stream, Kind::coroutine, nullptr, send_rsgi_stream_py},
     "morrowfen/penmoth/rsgi_response.cpp"},
    {{"send_rsgi_response", p_response_protocol, Kind::coroutine, nullptr, send_rsgi_response_py},
     "morrowfen/penmoth/rsgi_response.cpp"},
};
// The functions' code objects, made in an early start-up step and used by a
// late one (none for the pattern).
using Codes = std::array<Ref, std::size(definitions)>;

// --- start-up steps -------------------------------------------------------------------

int set_attr(PyObject* ns, const char* name, PyObject* value) { return PyDict_SetItemString(ns, name, value); }

int check_version() {
  int major = static_cast<int>((Py_Version >> 24) & 0xff);
  int minor = static_cast<int>((Py_Version >> 16) & 0xff);
  if (major == 3 && minor == 13) return 0;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 13,
                          module_name, "does not match", major, minor);
}

int register_in_sys_modules(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  int has = PyDict_ContainsString(modules, module_name);
  if (has != 0) return has < 0 ? -1 : 0;
  return PyDict_SetItemString(modules, module_name, module);
}

int bind_types() {
  const char* current = nullptr;
  Ref module;
  for (const TypeImport& t : type_imports) {
    if (!current || std::strcmp(current, t.module) != 0) {
      module = Ref::steal(PyImport_ImportModule(t.module));
      if (!module) return -1;
      current = t.module;
    }
    Ref type = import_type(module.get(), t.module, t.name, t.size);
    if (!type || (t.table && !imported_vtable(type.as<PyTypeObject>()))) return -1;
    *t.slot = std::move(type);  // a start-up that runs again after a failure replaces what the earlier one bound
  }
  return 0;
}

int bind_functions() {
  const char* current = nullptr;
  Ref module;
  for (const FunctionImport& f : function_imports) {
    if (!current || std::strcmp(current, f.module) != 0) {
      module = Ref::steal(PyImport_ImportModule(f.module));
      if (!module) return -1;
      current = f.module;
    }
    if (*f.slot) continue;
    void* address = import_item(module.get(), f.name, f.signature);
    if (!address) return -1;
    *f.slot = address;
  }
  return ready_function_type();
}

int bind_newline_pattern(PyObject* ns) {
  Ref re_module = lookup_global(k_re);
  if (!re_module) return -1;
  Ref pattern = Ref::steal(PyObject_CallMethod(re_module.get(), "compile", "s", "\r\n|\n"));
  if (!pattern || set_attr(ns, "_NEW_LINES_RX", pattern.get()) < 0) return -1;
  state.original_newline_pattern = std::move(pattern);
  return 0;
}

int run_body(PyObject* ns, const Codes& codes) {
  Ref http = Ref::steal(PyImport_ImportModule("http"));
  if (!http || set_attr(ns, "http", http.get()) < 0) return -1;
  Ref re = Ref::steal(PyImport_ImportModule("re"));
  if (!re || set_attr(ns, "re", re.get()) < 0) return -1;
  if (build_tables() < 0) return -1;
  Ref name = Ref::steal(PyUnicode_FromString(module_name));
  if (!name) return -1;
  for (std::size_t i = 0; i < std::size(definitions); ++i) {
    const std::optional<FunctionDef>& function = definitions[i].function;
    if (!function) {
      if (bind_newline_pattern(ns) < 0) return -1;
      continue;
    }
    Ref fn = make_function(*function, codes[i].get(), ns, name.get());
    if (!fn || set_attr(ns, function->name, fn.get()) < 0) return -1;
  }
  if (make_file_functions(ns, name.get()) < 0) return -1;
  Ref test = Ref::steal(PyDict_New());
  return test ? set_attr(ns, "__test__", test.get()) : -1;
}

int startup(PyObject* module, PyObject* ns, bool& constants_made) {
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins || set_attr(ns, "__builtins__", builtins.get()) < 0) return -1;
  state.builtins = PyModule_GetDict(builtins.get());
  if (check_version() < 0) return -1;
  if (create_constants() < 0 || ready_coroutine_types() < 0) return -1;
  constants_made = true;
  if (register_in_sys_modules(module) < 0) return -1;
  if (create_content_type_pairs() < 0) return -1;
  Codes codes;
  for (std::size_t i = 0; i < std::size(definitions); ++i) {
    const Definition& d = definitions[i];
    if (d.function && !(codes[i] = make_code(*d.function, d.file))) return -1;
  }
  reset_tables();
  if (export_interface(module) < 0) return -1;
  if (bind_types() < 0) return -1;
  if (bind_functions() < 0) return -1;
  return run_body(ns, codes);
}

// --- module definition ------------------------------------------------------------------

int copy_import_attr(PyObject* import_spec, PyObject* ns, const char* from, const char* to, bool none_too) {
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttrString(import_spec, from, &value) < 0) return -1;
  Ref held = Ref::steal(value);
  if (!held || (!none_too && held.is_none())) return 0;
  return PyDict_SetItemString(ns, to, held.get());
}

PyObject* create(PyObject* import_spec, PyModuleDef*) {
  if (claim_interpreter(state.interpreter) < 0) return nullptr;
  if (state.module) return new_ref(state.module.get());
  Ref name = Ref::steal(PyObject_GetAttrString(import_spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* ns = PyModule_GetDict(module.get());
  if (copy_import_attr(import_spec, ns, "loader", "__loader__", true) < 0 ||
      copy_import_attr(import_spec, ns, "origin", "__file__", true) < 0 ||
      copy_import_attr(import_spec, ns, "parent", "__package__", true) < 0 ||
      copy_import_attr(import_spec, ns, "submodule_search_locations", "__path__", false) < 0)
    return nullptr;
  return module.release();
}

int exec(PyObject* module) {
  if (state.module) {
    if (state.module.is(module)) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'penmoth' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  state.module = Ref::borrow(module);
  state.globals = PyModule_GetDict(module);
  bool constants_made = false;
  if (startup(module, state.globals, constants_made) == 0) return 0;
  if (constants_made) add_traceback("init morrowfen.penmoth", "morrowfen/penmoth/module.cpp", __LINE__);
  state.globals = nullptr;
  state.module.reset();
  return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "penmoth", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace mf::penmoth

PyMODINIT_FUNC PyInit_penmoth() { return PyModuleDef_Init(&mf::penmoth::module_def); }
