// RSGI request intake: a Request from a scope, its headers through the
// lookup tables, its body read through the protocol.
#include <cstring>

#include "../runtime/constants.h"
#include "../runtime/coroutine.h"
#include "../runtime/errors.h"
#include "../wire/header_text.h"
#include "../wire/text.h"
#include "penmoth.h"
#include "rsgi.h"
#include "tables.h"

namespace mf::penmoth {
namespace {

using rsgi::bytes_like;
using rsgi::item_at;
using rsgi::pair_of;

Str k_items{"items"};
Str k_path{"path"};
Str k_query_string{"query_string"};
Str k_headers{"headers"};
Str k_method{"method"};
Bytes k_empty{""};

// The Latin-1 bytes of a text; ASCII text (nearly every header) is copied
// as it is, without the codec.
Ref latin1(PyObject* text) {
  if (PyUnicode_IS_ASCII(text))
    return Ref::steal(
        PyBytes_FromStringAndSize(static_cast<const char*>(PyUnicode_DATA(text)), PyUnicode_GET_LENGTH(text)));
  return Ref::steal(PyUnicode_AsLatin1String(text));
}

// A header name or value of the scope as bytes: table hit, the bytes
// themselves, or the Latin-1 encoding of the text.
Ref to_bytes(PyObject* item, const TextTable& table) {
  if (PyUnicode_CheckExact(item)) {
    if (PyObject* shared = table_get(table, item)) return Ref::borrow(shared);
    return latin1(item);
  }
  if (PyBytes_CheckExact(item)) return Ref::borrow(item);
  if (bytes_like(item)) return Ref::steal(PyBytes_FromObject(item));
  Ref text = Ref::steal(PyObject_Str(item));
  return text ? latin1(text.get()) : Ref();
}

// The converted pair of one scope header, as a new tuple.
Ref converted_pair(PyObject* pair) {
  Ref name, value;
  if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) >= 2) {  // a tuple cannot change: its items are held by it
    name = Ref::borrow(PyTuple_GET_ITEM(pair, 0));
    value = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
  } else {
    name = item_at(pair, 0);
    if (name) value = item_at(pair, 1);
    if (!value) return {};
  }
  Ref name_bytes = to_bytes(name.get(), state.tables.known_headers);
  Ref value_bytes = name_bytes ? to_bytes(value.get(), state.tables.header_val_bytes) : Ref();
  if (!value_bytes) return {};
  return pair_of(std::move(name_bytes), std::move(value_bytes));
}

}  // namespace

Ref rsgi_scope_text(PyObject* scope, PyObject* name) noexcept {
  Ref value = Ref::steal(PyObject_GetAttr(scope, name));
  if (value && !value.is_none() && !PyUnicode_CheckExact(value.get()))
    return Ref::steal(expected_type_error("str", value.get()));
  return value;
}

Ref rsgi_query_bytes(PyObject* query) noexcept {
  if (query == Py_None || PyUnicode_GET_LENGTH(query) == 0) return Ref::borrow(k_empty);
  // The server decoded the target's bytes as UTF-8: encoding the text again
  // gives the client's bytes (ASCII, every percent-encoded query, as it is).
  return Ref::steal(PyUnicode_AsUTF8String(query));
}

Ref rsgi_header_value_bytes(PyObject* value) noexcept { return to_bytes(value, state.tables.header_val_bytes); }

namespace {

// `raw.items()` when `raw` has an items attribute, else `raw` itself. A
// method found on a type whose instances cannot shadow it (generic
// attribute lookup, no instance dict) is called unbound, as the interpreter
// calls `raw.items()`: no bound method is made for the one call.
Ref items_or_self(PyObject* raw) {
  PyTypeObject* type = Py_TYPE(raw);
  if (type->tp_getattro == PyObject_GenericGetAttr && type->tp_dictoffset == 0) {
    PyObject* found = _PyType_Lookup(type, k_items);  // borrowed
    if (found && (Py_IS_TYPE(found, &PyMethodDescr_Type) || PyFunction_Check(found))) {
      Ref method = Ref::borrow(found);  // held: the call may change the type
      PyObject* args[] = {raw};
      return Ref::steal(PyObject_Vectorcall(method.get(), args, 1, nullptr));
    }
  }
  PyObject* items = nullptr;
  if (PyObject_GetOptionalAttr(raw, k_items, &items) < 0) return {};
  return items ? Ref::steal(PyObject_CallNoArgs(Ref::steal(items).get())) : Ref::borrow(raw);
}

}  // namespace

// --- request intake ---------------------------------------------------------------------

Ref extract_rsgi_headers_impl(PyObject* raw_headers) noexcept {
  Ref source;
  if (PyList_CheckExact(raw_headers) || PyTuple_CheckExact(raw_headers)) {
    source = Ref::borrow(raw_headers);  // neither has an items()
  } else if (!(source = items_or_self(raw_headers))) {
    return {};
  }
  if (source.is_none()) return Ref::steal(PyList_New(0));
  if (PyList_CheckExact(source.get()) || PyTuple_CheckExact(source.get())) {
    // Walked by index into a list of the size seen first. The source's length
    // is read again at every step (converting a pair runs Python code, which
    // may change a list): a list that shrinks is never read past its end, and
    // the result keeps only the pairs read; one that grows is read to its end.
    Py_ssize_t sized = Py_SIZE(source.get());
    Ref headers = Ref::steal(PyList_New(sized));
    if (!headers) return {};
    // Not visible to the collector (gc.get_objects()) while slots are empty.
    PyObject_GC_UnTrack(headers.get());
    Py_ssize_t i = 0;
    for (; i < Py_SIZE(source.get()); ++i) {
      Ref pair = converted_pair(Ref::borrow(PySequence_Fast_GET_ITEM(source.get(), i)).get());
      if (!pair) return {};
      if (i < sized) {
        PyList_SET_ITEM(headers.get(), i, pair.release());
      } else if (PyList_Append(headers.get(), pair.get()) < 0) {
        return {};
      }
    }
    if (i < sized && PyList_SetSlice(headers.get(), i, sized, nullptr) < 0) return {};
    PyObject_GC_Track(headers.get());
    return headers;
  }
  Ref headers = Ref::steal(PyList_New(0));
  Ref it = headers ? Ref::steal(PyObject_GetIter(source.get())) : Ref();
  if (!it) return {};
  while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
    Ref converted = converted_pair(pair.get());
    if (!converted || PyList_Append(headers.get(), converted.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  return headers;
}

Ref instantiate_rsgi_request_impl(PyObject* scope, PyObject* protocol) noexcept {
  Ref path = rsgi_scope_text(scope, k_path);
  Ref raw_path = path ? Ref::steal(PyUnicode_AsUTF8String(path.get())) : Ref();
  if (!raw_path) return {};
  Ref query = rsgi_scope_text(scope, k_query_string);
  Ref raw_query = query ? rsgi_query_bytes(query.get()) : Ref();
  if (!raw_query) return {};
  Ref scope_headers = Ref::steal(PyObject_GetAttr(scope, k_headers));
  Ref headers = scope_headers ? extract_rsgi_headers_impl(scope_headers.get()) : Ref();
  if (!headers) return {};
  Ref method = rsgi_scope_text(scope, k_method);
  if (!method) return {};
  Ref request = Ref::steal(reinterpret_cast<PyObject*>(
      state.acquire_request(method.get(), raw_path.get(), raw_query.get(), headers.get(), scope, 0)));
  if (!request) return {};
  Ref content = Ref::steal(PyObject_CallOneArg(state.RSGIContent.get(), protocol));
  if (!content) return {};
  request.as<Request>()->base.content = std::move(content);
  return request;
}

PyObject* extract_rsgi_headers_py(PyObject*, PyObject* const* args) {
  return extract_rsgi_headers_impl(args[0]).release();
}

PyObject* instantiate_rsgi_request_py(PyObject*, PyObject* const* args) {
  return instantiate_rsgi_request_impl(args[0], args[1]).release();
}

}  // namespace mf::penmoth
