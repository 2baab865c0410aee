// morrowfen._server: request intake for the serving layer.
//
// instantiate_asgi_request(scope, receive) is the ASGI counterpart of
// penmoth's instantiate_rsgi_request: a Request built from an ASGI "http"
// scope, its body read through `receive` (an ASGIContent). The URL is the
// scope's `path` encoded as UTF-8 (the decoded path, as RSGI servers give
// it) plus `?query_string` when there is one, so one request gives the same
// Request.url on every server.
#include <Python.h>

#include <cstdint>

#include "../framework_types/contents.h"
#include "../framework_types/messages.h"
#include "../runtime/capi.h"
#include "../runtime/constants.h"
#include "../runtime/coroutine.h"
#include "../runtime/errors.h"
#include "../runtime/function.h"
#include "../runtime/ref.h"

namespace {

using mf::Ref;
using mf::contents::ASGIContent;
using mf::messages::Request;

std::int64_t g_interpreter = -1;
PyTypeObject* g_asgi_content = nullptr;  // morrowfen.contents.ASGIContent, kept for the process
mf::messages::acquire_request_fn* g_acquire_request = nullptr;

const mf::Str k_method{"method"};
const mf::Str k_path{"path"};
const mf::Str k_query_string{"query_string"};
const mf::Str k_headers{"headers"};
const mf::Bytes k_empty{""};

// scope[key]; KeyError when it is missing. A dict is read without a call.
Ref scope_item(PyObject* scope, PyObject* key, bool required) {
  PyObject* value = nullptr;
  if (PyDict_CheckExact(scope)) {
    int found = PyDict_GetItemRef(scope, key, &value);
    if (found < 0) return {};
    if (found == 0) {
      if (required) PyErr_SetObject(PyExc_KeyError, key);
      return {};
    }
    return Ref::steal(value);
  }
  if (PyMapping_GetOptionalItem(scope, key, &value) < 0) return {};
  if (!value && required) PyErr_SetObject(PyExc_KeyError, key);
  return Ref::steal(value);
}

// A header name or value as bytes: exact bytes as they are, other byte
// strings by their bytes, text as Latin-1.
Ref header_bytes(PyObject* item) {
  if (PyBytes_CheckExact(item)) return Ref::borrow(item);
  if (PyBytes_Check(item) || PyByteArray_Check(item) || PyMemoryView_Check(item))
    return Ref::steal(PyBytes_FromObject(item));
  if (PyUnicode_Check(item)) return Ref::steal(PyUnicode_AsLatin1String(item));
  return Ref::steal(mf::expected_type_error("bytes", item));
}

// True when `headers` is a list of 2-tuples of exact bytes: the request can
// keep the scope's own list.
bool usable_as_is(PyObject* headers) {
  if (!PyList_CheckExact(headers)) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(headers); ++i) {
    PyObject* pair = PyList_GET_ITEM(headers, i);
    if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2 || !PyBytes_CheckExact(PyTuple_GET_ITEM(pair, 0)) ||
        !PyBytes_CheckExact(PyTuple_GET_ITEM(pair, 1)))
      return false;
  }
  return true;
}

// A new list of (bytes, bytes) tuples from any iterable of pairs.
Ref converted_headers(PyObject* headers) {
  Ref out = Ref::steal(PyList_New(0));
  Ref it = out ? Ref::steal(PyObject_GetIter(headers)) : Ref();
  if (!it) return {};
  while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
    Ref items = Ref::steal(PySequence_Tuple(pair.get()));
    if (!items) return {};
    if (PyTuple_GET_SIZE(items.get()) != 2) {
      PyErr_Format(PyExc_ValueError, "a header must be a (name, value) pair, not %zd items",
                   PyTuple_GET_SIZE(items.get()));
      return {};
    }
    Ref name = header_bytes(PyTuple_GET_ITEM(items.get(), 0));
    Ref value = name ? header_bytes(PyTuple_GET_ITEM(items.get(), 1)) : Ref();
    if (!value) return {};
    Ref tuple = Ref::steal(PyTuple_New(2));
    if (!tuple) return {};
    PyTuple_SET_ITEM(tuple.get(), 0, name.release());
    PyTuple_SET_ITEM(tuple.get(), 1, value.release());
    if (PyList_Append(out.get(), tuple.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  return out;
}

Ref request_headers(PyObject* scope) {
  Ref headers = scope_item(scope, k_headers, false);
  if (!headers) return PyErr_Occurred() ? Ref() : Ref::steal(PyList_New(0));
  if (headers.is_none()) return Ref::steal(PyList_New(0));
  if (usable_as_is(headers.get())) return headers;
  return converted_headers(headers.get());
}

Ref query_bytes(PyObject* scope) {
  Ref query = scope_item(scope, k_query_string, false);
  if (!query) return PyErr_Occurred() ? Ref() : Ref::borrow(k_empty);
  if (PyBytes_CheckExact(query.get())) return query;
  if (query.is_none()) return Ref::borrow(k_empty);
  return header_bytes(query.get());
}

Ref instantiate(PyObject* scope, PyObject* receive) {
  Ref method = scope_item(scope, k_method, true);
  if (!method) return {};
  if (!PyUnicode_Check(method.get())) return Ref::steal(mf::expected_type_error("str", method.get()));
  Ref path = scope_item(scope, k_path, true);
  if (!path) return {};
  if (!PyUnicode_Check(path.get())) return Ref::steal(mf::expected_type_error("str", path.get()));
  Ref raw_path = Ref::steal(PyUnicode_AsUTF8String(path.get()));
  if (!raw_path) return {};
  Ref query = query_bytes(scope);
  if (!query) return {};
  Ref headers = request_headers(scope);
  if (!headers) return {};
  Ref content = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(g_asgi_content), receive));
  if (!content) return {};
  Ref request = Ref::steal(reinterpret_cast<PyObject*>(
      g_acquire_request(method.get(), raw_path.get(), query.get(), headers.get(), scope, 0)));
  if (!request) return {};
  reinterpret_cast<Request*>(request.get())->base.content = std::move(content);
  return request;
}

PyObject* instantiate_asgi_request(PyObject*, PyObject* const* args) { return instantiate(args[0], args[1]).release(); }

const mf::Param p_scope_receive[] = {{"scope"}, {"receive"}};
const char instantiate_doc[] =
    "Builds a Request from an ASGI http scope; its content is an ASGIContent reading `receive`.";
const mf::FunctionDef instantiate_def{"instantiate_asgi_request", p_scope_receive, mf::Kind::plain, instantiate_doc,
                                      instantiate_asgi_request};

int bind() {
  if (!g_asgi_content) {
    Ref contents = Ref::steal(PyImport_ImportModule(mf::contents::module_name));
    PyTypeObject* type = nullptr;
    if (!contents ||
        mf::import_type(contents.get(), mf::contents::module_name, "ASGIContent", sizeof(ASGIContent), type) < 0)
      return -1;
    g_asgi_content = type;  // kept for the process
  }
  if (!g_acquire_request) {
    Ref messages = Ref::steal(PyImport_ImportModule(mf::messages::module_name));
    if (!messages || mf::import_function(messages.get(), "acquire_request", mf::messages::acquire_request_sig,
                                         g_acquire_request) < 0)
      return -1;
  }
  return 0;
}

int exec(PyObject* module) {
  if (mf::claim_interpreter(g_interpreter) < 0) return -1;
  if (mf::ready_runtime() < 0 || bind() < 0) return -1;
  Ref name = Ref::steal(PyUnicode_FromString("morrowfen._server"));
  if (!name) return -1;
  Ref fn = mf::make_function(instantiate_def, "morrowfen/server/intake.cpp", PyModule_GetDict(module), name.get());
  if (!fn) return -1;
  return PyModule_AddObjectRef(module, instantiate_def.name, fn.get());
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "morrowfen._server",
                          "Request intake for morrowfen.server.",
                          0,
                          nullptr,
                          slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__server() { return PyModuleDef_Init(&module_def); }
