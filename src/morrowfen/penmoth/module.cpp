// morrowfen.penmoth: module definition, start-up and the exported interface.
#include <Python.h>
#include <datetime.h>

#include <array>
#include <cstdint>
#include <cstring>
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

Bound bound;

namespace {

// --- process-wide state ---------------------------------------------------------

std::int64_t g_interpreter = -1;
Forever<Ref> module_storage;
Ref& g_module = *module_storage;
PyObject* g_globals = nullptr;   // the module's namespace, borrowed from g_module
PyObject* g_builtins = nullptr;  // the builtins' namespace, borrowed (immortal module)

Str k_re{"re"};

// --- what start-up binds -------------------------------------------------------------

// Types that are only checked (never used) still need a place to live.
struct Checked {
  PyTypeObject *ASGIContent, *TextContent, *HTMLContent, *JSONContent, *FormContent, *FormPart, *FileBuffer,
      *StreamedFormPart, *TextServerSentEvent, *MultiPartFormData;
  PyTypeObject* type;
  PyTypeObject *date, *time, *datetime, *timedelta, *tzinfo;
  PyTypeObject *MessageAborted, *HTTPException, *BadRequest, *BadRequestFormat, *NotFound, *InternalServerError,
      *InvalidArgument, *InvalidOperation, *UnsupportedMediaType, *UnprocessableEntity, *FailedRequestError,
      *InvalidExceptionHandler;
  PyTypeObject *Header, *Headers, *URL, *Message, *Request;
} checked;

struct TypeImport {
  const char* module;
  const char* name;
  std::size_t size;
  bool table;
  PyTypeObject** slot;
};

const TypeImport type_imports[] = {
    {"morrowfen.contents", "Content", sizeof(contents::Content), true, &bound.Content},
    {"morrowfen.contents", "StreamedContent", sizeof(contents::StreamedContent), true, &bound.StreamedContent},
    {"morrowfen.contents", "ASGIContent", sizeof(contents::ASGIContent), true, &checked.ASGIContent},
    {"morrowfen.contents", "RSGIContent", sizeof(contents::RSGIContent), true, &bound.RSGIContent},
    {"morrowfen.contents", "TextContent", sizeof(contents::TextContent), true, &checked.TextContent},
    {"morrowfen.contents", "HTMLContent", sizeof(contents::HTMLContent), true, &checked.HTMLContent},
    {"morrowfen.contents", "JSONContent", sizeof(contents::JSONContent), true, &checked.JSONContent},
    {"morrowfen.contents", "FormContent", sizeof(contents::FormContent), true, &checked.FormContent},
    {"morrowfen.contents", "FormPart", sizeof(contents::FormPart), false, &checked.FormPart},
    {"morrowfen.contents", "FileBuffer", sizeof(contents::FileBuffer), false, &checked.FileBuffer},
    {"morrowfen.contents", "StreamedFormPart", sizeof(contents::StreamedFormPart), false, &checked.StreamedFormPart},
    {"morrowfen.contents", "ServerSentEvent", sizeof(contents::ServerSentEvent), true, &bound.ServerSentEvent},
    {"morrowfen.contents", "TextServerSentEvent", sizeof(contents::TextServerSentEvent), true,
     &checked.TextServerSentEvent},
    {"morrowfen.contents", "MultiPartFormData", sizeof(contents::MultiPartFormData), true,
     &checked.MultiPartFormData},
    {"builtins", "type", sizeof(PyHeapTypeObject), false, &checked.type},
    {"datetime", "date", sizeof(PyDateTime_Date), false, &checked.date},
    {"datetime", "time", sizeof(PyDateTime_Time), false, &checked.time},
    {"datetime", "datetime", sizeof(PyDateTime_DateTime), false, &checked.datetime},
    {"datetime", "timedelta", sizeof(PyDateTime_Delta), false, &checked.timedelta},
    {"datetime", "tzinfo", sizeof(PyDateTime_TZInfo), false, &checked.tzinfo},
    {"morrowfen.cookies", "Cookie", sizeof(cookies::Cookie), true, &bound.Cookie},
    {"morrowfen.exceptions", "MessageAborted", sizeof(exceptions::Exception), false, &checked.MessageAborted},
    {"morrowfen.exceptions", "HTTPException", sizeof(exceptions::Exception), false, &checked.HTTPException},
    {"morrowfen.exceptions", "BadRequest", sizeof(exceptions::Exception), false, &checked.BadRequest},
    {"morrowfen.exceptions", "BadRequestFormat", sizeof(exceptions::Exception), false, &checked.BadRequestFormat},
    {"morrowfen.exceptions", "NotFound", sizeof(exceptions::Exception), false, &checked.NotFound},
    {"morrowfen.exceptions", "InternalServerError", sizeof(exceptions::Exception), false,
     &checked.InternalServerError},
    {"morrowfen.exceptions", "InvalidArgument", sizeof(exceptions::Exception), false, &checked.InvalidArgument},
    {"morrowfen.exceptions", "InvalidOperation", sizeof(exceptions::Exception), false, &checked.InvalidOperation},
    {"morrowfen.exceptions", "UnsupportedMediaType", sizeof(exceptions::Exception), false,
     &checked.UnsupportedMediaType},
    {"morrowfen.exceptions", "UnprocessableEntity", sizeof(exceptions::Exception), false,
     &checked.UnprocessableEntity},
    {"morrowfen.exceptions", "FailedRequestError", sizeof(exceptions::Exception), false,
     &checked.FailedRequestError},
    {"morrowfen.exceptions", "InvalidExceptionHandler", sizeof(exceptions::Exception), false,
     &checked.InvalidExceptionHandler},
    {"morrowfen.headers", "Header", sizeof(headers::Header), false, &checked.Header},
    {"morrowfen.headers", "Headers", sizeof(headers::Headers), true, &checked.Headers},
    {"morrowfen.url", "URL", sizeof(url::URL), true, &checked.URL},
    {"morrowfen.messages", "Message", sizeof(messages::Message), true, &checked.Message},
    {"morrowfen.messages", "Request", sizeof(messages::Request), true, &checked.Request},
    {"morrowfen.messages", "Response", sizeof(messages::Response), true, &bound.Response},
};

// C functions bound but not used by any operation; bound all the same.
struct {
  contents::parse_www_form_urlencoded_fn* parse_www_form_urlencoded = nullptr;
  cookies::datetime_to_cookie_format_fn* datetime_to_cookie_format = nullptr;
  cookies::parse_cookie_fn* parse_cookie = nullptr;
  messages::release_request_fn* release_request = nullptr;
} unused;

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
    {"morrowfen.contents", "parse_www_form_urlencoded", contents::parse_www_form_urlencoded_sig,
     slot_of(&unused.parse_www_form_urlencoded)},
    {"morrowfen.cookies", "datetime_to_cookie_format", cookies::datetime_to_cookie_format_sig,
     slot_of(&unused.datetime_to_cookie_format)},
    {"morrowfen.cookies", "write_cookie_for_response", cookies::write_cookie_for_response_sig,
     slot_of(&bound.write_cookie_for_response)},
    {"morrowfen.cookies", "parse_cookie", cookies::parse_cookie_sig, slot_of(&unused.parse_cookie)},
    {"morrowfen.messages", "acquire_request", messages::acquire_request_sig, slot_of(&bound.acquire_request)},
    {"morrowfen.messages", "release_request", messages::release_request_sig, slot_of(&unused.release_request)},
};

// --- the Python-callable functions ------------------------------------------------------

PyTypeObject* const bytes_type = &PyBytes_Type;
PyTypeObject* const list_type = &PyList_Type;

const Param p_message[] = {{"message", instance_of(&bound.Response)}};
const Param p_cookie[] = {{"cookie", instance_of(&bound.Cookie)}};
const Param p_http_content[] = {{"http_content", instance_of(&bound.Content)}};
const Param p_data[] = {{"data", exactly(&bytes_type)}};
const Param p_response_send[] = {{"response", instance_of(&bound.Response)}, {"send"}};
const Param p_event[] = {{"event", instance_of(&bound.ServerSentEvent)}};
const Param p_raw_headers[] = {{"raw_headers"}};
const Param p_scope_protocol[] = {{"scope"}, {"protocol"}};
const Param p_response_protocol[] = {{"response", instance_of(&bound.Response)}, {"protocol"}};
const Param p_stream[] = {{"response", instance_of(&bound.Response)},
                          {"protocol"},
                          {"headers", exactly(&list_type)},
                          {"content", instance_of(&bound.StreamedContent)}};

const char write_chunks_doc[] =
    "\n    Writes chunks for transfer encoding. This method only works when using\n"
    "    `transfer-encoding: chunked`!\n    ";
const char write_sse_doc[] = "\n    Writes a ServerSentEvent object to bytes.\n    ";

struct Registered {
  FunctionDef def;
  const char* file;
};

// In order of registration.
const Registered functions[] = {
    {{"set_headers_for_response_content", p_message, Kind::plain, nullptr, set_headers_for_response_content_entry},
     "morrowfen/penmoth/response_head.cpp"},
    {{"write_response_cookie", p_cookie, Kind::plain, nullptr, write_response_cookie},
     "morrowfen/penmoth/response_head.cpp"},
    {{"write_chunks", p_http_content, Kind::async_generator, write_chunks_doc, write_chunks},
     "morrowfen/penmoth/body_framing.cpp"},
    {{"get_chunks", p_data, Kind::generator, nullptr, get_chunks}, "morrowfen/penmoth/body_framing.cpp"},
    {{"send_asgi_response", p_response_send, Kind::coroutine, nullptr, send_asgi_response},
     "morrowfen/penmoth/asgi.cpp"},
    {{"write_sse", p_event, Kind::plain, write_sse_doc, write_sse_entry}, "morrowfen/penmoth/body_framing.cpp"},
    {{"extract_rsgi_headers", p_raw_headers, Kind::plain, nullptr, extract_rsgi_headers_entry},
     "morrowfen/penmoth/rsgi.cpp"},
    {{"instantiate_rsgi_request", p_scope_protocol, Kind::plain, nullptr, instantiate_rsgi_request_entry},
     "morrowfen/penmoth/rsgi.cpp"},
    {{"send_rsgi_response_sync", p_response_protocol, Kind::plain, nullptr, send_rsgi_response_sync_entry},
     "morrowfen/penmoth/rsgi.cpp"},
    {{"_send_rsgi_stream", p_stream, Kind::coroutine, nullptr, send_rsgi_stream}, "morrowfen/penmoth/rsgi.cpp"},
    {{"send_rsgi_response", p_response_protocol, Kind::coroutine, nullptr, send_rsgi_response},
     "morrowfen/penmoth/rsgi.cpp"},
};
constexpr std::size_t nfunctions = sizeof(functions) / sizeof(functions[0]);
Forever<std::array<Ref, nfunctions>> code_storage;
std::array<Ref, nfunctions>& codes = *code_storage;

// --- start-up steps -------------------------------------------------------------------

int set_attr(PyObject* ns, const char* name, PyObject* value) { return PyDict_SetItemString(ns, name, value); }

int check_version() {
  int major = static_cast<int>((Py_Version >> 24) & 0xff);
  int minor = static_cast<int>((Py_Version >> 16) & 0xff);
  if (major == 3 && minor == 13) return 0;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 13,
                          "morrowfen.penmoth", "does not match", major, minor);
}

int register_in_sys_modules(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  int has = PyDict_ContainsString(modules, "morrowfen.penmoth");
  if (has != 0) return has < 0 ? -1 : 0;
  return PyDict_SetItemString(modules, "morrowfen.penmoth", module);
}

int export_interface(PyObject* module) {
  PyObject* capi = capi_dict(module);
  if (!capi) return -1;
  if (export_item(capi, "MAX_RESPONSE_CHUNK_SIZE", &MAX_RESPONSE_CHUNK_SIZE, MAX_RESPONSE_CHUNK_SIZE_sig) < 0 ||
      export_function(capi, "extract_rsgi_headers", &extract_rsgi_headers, extract_rsgi_headers_sig) < 0 ||
      export_function(capi, "write_sse", &write_sse, write_sse_sig) < 0 ||
      export_function(capi, "send_rsgi_response_sync", &send_rsgi_response_sync, send_rsgi_response_sync_sig) < 0 ||
      export_function(capi, "instantiate_rsgi_request", &instantiate_rsgi_request, instantiate_rsgi_request_sig) < 0 ||
      export_function(capi, "set_headers_for_response_content", &set_headers_for_response_content,
                      set_headers_for_response_content_sig) < 0)
    return -1;
  return 0;
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
    PyTypeObject* type = nullptr;
    if (import_type(module.get(), t.module, t.name, t.size, SizeCheck::warn, type) < 0) return -1;
    Ref owned = Ref::steal(reinterpret_cast<PyObject*>(type));
    if (t.table && !imported_vtable(type)) return -1;
    // The module keeps its types for the life of the process (a start-up that
    // runs again after a failure releases what the earlier one bound).
    Ref earlier = Ref::steal(reinterpret_cast<PyObject*>(std::exchange(*t.slot, type)));
    owned.release();
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

int create_functions(std::size_t first, std::size_t last, PyObject* ns, PyObject* module_name) {
  for (std::size_t i = first; i < last; ++i) {
    Ref fn = make_function(functions[i].def, codes[i].get(), ns, module_name);
    if (!fn || set_attr(ns, functions[i].def.name, fn.get()) < 0) return -1;
  }
  return 0;
}

int run_body(PyObject* ns) {
  Ref http = Ref::steal(PyImport_ImportModule("http"));
  if (!http || set_attr(ns, "http", http.get()) < 0) return -1;
  Ref re = Ref::steal(PyImport_ImportModule("re"));
  if (!re || set_attr(ns, "re", re.get()) < 0) return -1;
  if (build_tables() < 0) return -1;
  Ref module_name = Ref::steal(PyUnicode_FromString("morrowfen.penmoth"));
  if (!module_name) return -1;
  if (create_functions(0, 5, ns, module_name.get()) < 0) return -1;
  Ref re_module = lookup_global(k_re);
  if (!re_module) return -1;
  Ref pattern = Ref::steal(PyObject_CallMethod(re_module.get(), "compile", "s", "\r\n|\n"));
  if (!pattern || set_attr(ns, "_NEW_LINES_RX", pattern.get()) < 0) return -1;
  remember_newline_pattern(pattern.get());
  if (create_functions(5, nfunctions, ns, module_name.get()) < 0) return -1;
  Ref test = Ref::steal(PyDict_New());
  return test ? set_attr(ns, "__test__", test.get()) : -1;
}

int startup(PyObject* module, PyObject* ns, bool& constants_made) {
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins || set_attr(ns, "__builtins__", builtins.get()) < 0) return -1;
  g_builtins = PyModule_GetDict(builtins.get());
  if (check_version() < 0) return -1;
  if (create_constants() < 0 || ready_coroutine_types() < 0) return -1;
  constants_made = true;
  if (register_in_sys_modules(module) < 0) return -1;
  if (create_content_type_pairs() < 0) return -1;
  for (std::size_t i = 0; i < nfunctions; ++i)
    if (!(codes[i] = make_code(functions[i].def, functions[i].file))) return -1;
  reset_tables();
  if (export_interface(module) < 0) return -1;
  if (bind_types() < 0) return -1;
  if (bind_functions() < 0) return -1;
  return run_body(ns);
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
  if (claim_interpreter(g_interpreter) < 0) return nullptr;
  if (g_module) return new_ref(g_module.get());
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
  if (g_module) {
    if (g_module.is(module)) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'penmoth' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  g_module = Ref::borrow(module);
  g_globals = PyModule_GetDict(module);
  bool constants_made = false;
  if (startup(module, g_globals, constants_made) == 0) return 0;
  if (constants_made) add_traceback("init morrowfen.penmoth", "morrowfen/penmoth/module.cpp", __LINE__);
  g_globals = nullptr;
  g_module.reset();
  return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "penmoth", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace

Ref lookup_global(PyObject* name) noexcept {
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(g_globals, name, &value) != 0) return Ref::steal(value);
  if (PyDict_GetItemRef(g_builtins, name, &value) != 0) return Ref::steal(value);
  if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return {};
}

Content* content_of(PyObject* content) noexcept {
  if (PyObject_TypeCheck(content, bound.Content)) return reinterpret_cast<Content*>(content);
  PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(content)->tp_name, bound.Content->tp_name);
  return nullptr;
}

PyObject* refuse_none(const char* param, PyTypeObject* expected) noexcept {
  return argument_type_error(param, expected, Py_None);
}

void traceback(const char* function) noexcept { add_traceback(function, "morrowfen/penmoth/module.cpp", 0); }

}  // namespace mf::penmoth

PyMODINIT_FUNC PyInit_penmoth() { return PyModuleDef_Init(&mf::penmoth::module_def); }
