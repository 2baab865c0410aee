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

// A header name or value of the scope as bytes: table hit, the bytes
// themselves, or the Latin-1 encoding of the text.
Ref to_bytes(PyObject* item, const Ref& table) {
  if (PyUnicode_CheckExact(item)) {
    if (PyObject* shared = table_get(table, item)) return Ref::borrow(shared);
    return Ref::steal(PyUnicode_AsLatin1String(item));
  }
  if (PyBytes_CheckExact(item)) return Ref::borrow(item);
  if (bytes_like(item)) return Ref::steal(PyBytes_FromObject(item));
  Ref text = Ref::steal(PyObject_Str(item));
  return text ? Ref::steal(PyUnicode_AsLatin1String(text.get())) : Ref();
}

int append_pair(PyObject* headers, PyObject* pair) {
  Ref name = item_at(pair, 0);
  Ref value = name ? item_at(pair, 1) : Ref();
  if (!value) return -1;
  Ref name_bytes = to_bytes(name.get(), state.tables.known_headers);
  Ref value_bytes = name_bytes ? to_bytes(value.get(), state.tables.header_val_bytes) : Ref();
  if (!value_bytes) return -1;
  Ref tuple = pair_of(std::move(name_bytes), std::move(value_bytes));
  return tuple ? PyList_Append(headers, tuple.get()) : -1;
}

// scope.NAME, which must be exactly str or None.
Ref text_attribute(PyObject* scope, PyObject* name) {
  Ref value = Ref::steal(PyObject_GetAttr(scope, name));
  if (value && !value.is_none() && !PyUnicode_CheckExact(value.get())) return Ref::steal(expected_type_error("str", value.get()));
  return value;
}

}  // namespace

// --- request intake ---------------------------------------------------------------------

Ref extract_rsgi_headers_impl(PyObject* raw_headers) noexcept {
  Ref headers = Ref::steal(PyList_New(0));
  if (!headers) return {};
  PyObject* items = nullptr;
  if (PyObject_GetOptionalAttr(raw_headers, k_items, &items) < 0) return {};
  Ref source = items ? Ref::steal(PyObject_CallNoArgs(Ref::steal(items).get())) : Ref::borrow(raw_headers);
  if (!source) return {};
  if (source.is_none()) return headers;
  if (PyList_CheckExact(source.get()) || PyTuple_CheckExact(source.get())) {
    // Walked by index; the length is read again at every step, so a list
    // that changes meanwhile is never read past its end.
    for (Py_ssize_t i = 0; i < Py_SIZE(source.get()); ++i) {
      Ref pair = Ref::borrow(PySequence_Fast_GET_ITEM(source.get(), i));
      if (append_pair(headers.get(), pair.get()) < 0) return {};
    }
    return headers;
  }
  Ref it = Ref::steal(PyObject_GetIter(source.get()));
  if (!it) return {};
  while (Ref pair = Ref::steal(PyIter_Next(it.get())))
    if (append_pair(headers.get(), pair.get()) < 0) return {};
  if (PyErr_Occurred()) return {};
  return headers;
}

Ref instantiate_rsgi_request_impl(PyObject* scope, PyObject* protocol) noexcept {
  Ref path = text_attribute(scope, k_path);
  Ref raw_path = path ? Ref::steal(PyUnicode_AsUTF8String(path.get())) : Ref();
  if (!raw_path) return {};
  Ref query = text_attribute(scope, k_query_string);
  if (!query) return {};
  Ref raw_query = query.is_none() || PyUnicode_GET_LENGTH(query.get()) == 0
                      ? Ref::borrow(k_empty)
                      : Ref::steal(PyUnicode_AsLatin1String(query.get()));
  if (!raw_query) return {};
  Ref scope_headers = Ref::steal(PyObject_GetAttr(scope, k_headers));
  Ref headers = scope_headers ? extract_rsgi_headers_impl(scope_headers.get()) : Ref();
  if (!headers) return {};
  Ref method = text_attribute(scope, k_method);
  if (!method) return {};
  Ref request = Ref::steal(reinterpret_cast<PyObject*>(
      state.acquire_request(method.get(), raw_path.get(), raw_query.get(), headers.get(), scope, 0)));
  if (!request) return {};
  Ref content = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(state.RSGIContent), protocol));
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
