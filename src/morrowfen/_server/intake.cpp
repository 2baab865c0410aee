// Request intake for the serving layer: a Request whose method, URL,
// headers and body reader are made when first read, from an RSGI scope
// (with penmoth's conversions, so the header list holds the very objects
// extract_rsgi_headers gives) or an ASGI http scope (the URL is the scope's
// decoded `path` in UTF-8, as RSGI servers give it, plus `?query_string`,
// so one request has the same Request.url on every server).
#include <charconv>
#include <cstring>

#include "../penmoth/penmoth.h"
#include "../runtime/errors.h"
#include "../wire/header_list.h"
#include "../wire/text.h"
#include "server.h"

namespace mf::server {
namespace {

using messages::RequestIntake;

const Str k_method{"method"};
const Str k_path{"path"};
const Str k_query_string{"query_string"};
const Str k_headers{"headers"};
const Str k_get{"get"};
const Str k_get_all{"get_all"};
const Bytes k_empty{""};
constexpr unsigned every_part =
    messages::part_method | messages::part_url | messages::part_headers | messages::part_content;

// --- what both gateways share --------------------------------------------------------

Ref new_request(PyObject* scope, PyObject* channel, const RequestIntake* intake, std::int64_t limit) noexcept {
  auto* type = state.request_type.as<PyTypeObject>();
  Ref empty = Ref::steal(PyTuple_New(0));
  Ref request = empty ? Ref::steal(type->tp_new(type, empty.get(), nullptr)) : Ref();
  if (!request) return {};
  auto* r = request.as<Request>();
  r->scope = Ref::borrow(scope);
  r->channel = Ref::borrow(channel);
  r->intake = intake;
  r->pending = every_part;
  r->body_limit = limit;
  return request;
}

int set_url(Request* r, PyObject* path, PyObject* query) noexcept {
  Ref target = wire::join_target(path, query);
  Ref url = target ? Ref::steal(PyObject_CallOneArg(state.url_type.get(), target.get())) : Ref();
  if (!url) return -1;
  r->url = std::move(url);
  return 0;
}

// The body reader: `Type(channel)`, with the request's limit.
template <class Reader>
int set_content(Request* r, const Ref& type) noexcept {
  Ref channel = r->channel.copy();
  Ref content = Ref::steal(PyObject_CallOneArg(type.get(), channel.get()));
  if (!content) return -1;
  if (PyObject_TypeCheck(content.get(), type.as<PyTypeObject>())) content.as<Reader>()->limit = r->body_limit;
  r->base.content = std::move(content);
  return 0;
}

// --- RSGI --------------------------------------------------------------------------------

// `scope.headers`, read once per request (a server may make the object on
// every read).
Ref scope_headers(Request* r) noexcept {
  if (r->source && !r->source.is_none()) return r->source.copy();
  Ref scope = r->scope.copy();
  Ref headers = Ref::steal(PyObject_GetAttr(scope.get(), k_headers));
  if (headers) r->source = headers.copy();
  return headers;
}

int rsgi_make(Request* r, unsigned part) noexcept {
  Ref scope = r->scope.copy();  // held: reading it runs the scope's code
  switch (part) {
    case messages::part_method: {
      Ref method = penmoth::rsgi_scope_text(scope.get(), k_method);
      if (!method) return -1;
      r->method = std::move(method);
      return 0;
    }
    case messages::part_url: {
      Ref path = penmoth::rsgi_scope_text(scope.get(), k_path);
      Ref raw_path = path ? Ref::steal(PyUnicode_AsUTF8String(path.get())) : Ref();
      if (!raw_path) return -1;
      Ref query = penmoth::rsgi_scope_text(scope.get(), k_query_string);
      Ref raw_query = query ? penmoth::rsgi_query_bytes(query.get()) : Ref();
      return raw_query ? set_url(r, raw_path.get(), raw_query.get()) : -1;
    }
    case messages::part_headers: {
      Ref raw = scope_headers(r);
      Ref list = raw ? penmoth::extract_rsgi_headers_impl(raw.get()) : Ref();
      if (!list) return -1;
      r->base.raw_headers = std::move(list);
      r->source = Ref::none();
      return 0;
    }
    default: return set_content<contents::RSGIContent>(r, state.rsgi_content);
  }
}

// One header through the server's own lookup, `headers.get(name)` or
// `headers.get_all(name)`: the values as extract_rsgi_headers converts them.
// A header object without those methods leaves it to the whole list.
Ref rsgi_values(Request* r, const char* name, Py_ssize_t size, bool first) noexcept {
  Ref headers = scope_headers(r);
  if (!headers) return {};
  // A common name's shared text (the table of outbound names), else a new one.
  PyObject* known = penmoth::state.tables.known_outbound_header_name_str.find({name, static_cast<std::size_t>(size)});
  Ref key = known && PyUnicode_CheckExact(known) ? Ref::borrow(known)
                                                 : Ref::steal(PyUnicode_DecodeLatin1(name, size, nullptr));
  if (!key) return {};
  PyObject* args[] = {headers.get(), key.get()};
  Ref found = Ref::steal(
      PyObject_VectorcallMethod(first ? k_get : k_get_all, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!found) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return {};
  }
  if (first) return found.is_none() ? std::move(found) : penmoth::rsgi_header_value_bytes(found.get());
  Ref items = Ref::steal(PySequence_Fast(found.get(), "get_all() must give a sequence"));
  Ref out = items ? Ref::steal(PyList_New(0)) : Ref();
  if (!out) return {};
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    Ref value = penmoth::rsgi_header_value_bytes(Ref::borrow(PySequence_Fast_GET_ITEM(items.get(), i)).get());
    if (!value || PyList_Append(out.get(), value.get()) < 0) return {};
  }
  return out;
}

// granian reads a body framed by a Transfer-Encoding as such and drops the
// Content-Length beside it.
constexpr RequestIntake rsgi_intake{rsgi_make, rsgi_values, true};

// --- ASGI --------------------------------------------------------------------------------

// scope[key]; KeyError when it is missing and `required`. A dict is read
// without a call.
Ref scope_item(PyObject* scope, PyObject* key, bool required) noexcept {
  PyObject* value = nullptr;
  int found =
      PyDict_CheckExact(scope) ? PyDict_GetItemRef(scope, key, &value) : PyMapping_GetOptionalItem(scope, key, &value);
  if (found < 0) return {};
  if (!value && required) PyErr_SetObject(PyExc_KeyError, key);
  return Ref::steal(value);
}

Ref text_item(PyObject* scope, PyObject* key) noexcept {
  Ref value = scope_item(scope, key, true);
  if (value && !PyUnicode_Check(value.get())) return Ref::steal(expected_type_error("str", value.get()));
  return value;
}

// A header name or value as bytes: exact bytes as they are, other byte
// strings by their bytes, text as Latin-1.
Ref header_bytes(PyObject* item) noexcept {
  if (PyBytes_CheckExact(item)) return Ref::borrow(item);
  if (PyBytes_Check(item) || PyByteArray_Check(item) || PyMemoryView_Check(item))
    return Ref::steal(PyBytes_FromObject(item));
  if (PyUnicode_Check(item)) return Ref::steal(PyUnicode_AsLatin1String(item));
  return Ref::steal(expected_type_error("bytes", item));
}

// A new list of (bytes, bytes) tuples from any iterable of pairs.
Ref converted_headers(PyObject* headers) noexcept {
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
    Ref tuple = value ? Ref::steal(PyTuple_New(2)) : Ref();
    if (!tuple) return {};
    PyTuple_SET_ITEM(tuple.get(), 0, name.release());
    PyTuple_SET_ITEM(tuple.get(), 1, value.release());
    if (PyList_Append(out.get(), tuple.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  return out;
}

int asgi_make(Request* r, unsigned part) noexcept {
  Ref scope = r->scope.copy();
  switch (part) {
    case messages::part_method: {
      Ref method = text_item(scope.get(), k_method);
      if (!method) return -1;
      r->method = std::move(method);
      return 0;
    }
    case messages::part_url: {
      Ref path = text_item(scope.get(), k_path);
      Ref raw_path = path ? Ref::steal(PyUnicode_AsUTF8String(path.get())) : Ref();
      if (!raw_path) return -1;
      Ref query = scope_item(scope.get(), k_query_string, false);
      if (!query) {
        if (PyErr_Occurred()) return -1;
        query = Ref::borrow(k_empty);
      } else if (query.is_none()) {
        query = Ref::borrow(k_empty);
      } else if (!PyBytes_CheckExact(query.get())) {
        query = header_bytes(query.get());
        if (!query) return -1;
      }
      return set_url(r, raw_path.get(), query.get());
    }
    case messages::part_headers: {
      Ref headers = scope_item(scope.get(), k_headers, false);
      if (!headers) {
        if (PyErr_Occurred()) return -1;
        headers = Ref::none();
      }
      if (headers.is_none()) {
        headers = Ref::steal(PyList_New(0));
      } else if (!header_list::exact_pairs(headers.get())) {
        headers = converted_headers(headers.get());
      }
      if (!headers) return -1;
      r->base.raw_headers = std::move(headers);
      return 0;
    }
    default: return set_content<contents::ASGIContent>(r, state.asgi_content);
  }
}

// uvicorn and hypercorn pass on a Content-Length beside a Transfer-Encoding.
constexpr RequestIntake asgi_intake{asgi_make, nullptr, false};

}  // namespace

Ref rsgi_request(PyObject* scope, PyObject* protocol, std::int64_t limit) noexcept {
  return new_request(scope, protocol, &rsgi_intake, limit);
}

Ref asgi_request(PyObject* scope, PyObject* receive, std::int64_t limit) noexcept {
  return new_request(scope, receive, &asgi_intake, limit);
}

namespace {

// The first value of header `name` (lower-case): bytes, None, or empty with
// an exception set. Through the intake's own lookup while the headers are
// not made.
Ref first_header(Request* r, std::string_view name) noexcept {
  auto size = static_cast<Py_ssize_t>(name.size());
  if (r->pending & messages::part_headers && r->intake->values) {
    Ref value = r->intake->values(r, name.data(), size, true);
    if (value || PyErr_Occurred()) return value;
  }
  if (messages::make_parts(r, messages::part_headers) < 0) return {};
  Ref list = r->base.raw_headers.copy();
  if (!PyList_Check(list.get())) return Ref::none();
  bool failed = false;
  PyObject* found = header_list::first(list.get(), name, failed);
  if (failed) return {};
  return Ref::borrow(found ? found : Py_None);
}

}  // namespace

Declared declared_body(Request* r, std::int64_t limit) noexcept {
  Ref length = first_header(r, "content-length");
  if (!length) return Declared::failed;
  if (!PyBytes_Check(length.get())) return Declared::unknown;
  std::string_view digits = wire::trim_blanks(wire::bytes_view(length.get()));
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || end != digits.data() + digits.size()) return Declared::unknown;
  if (error == std::errc::result_out_of_range || value > static_cast<std::uint64_t>(limit)) return Declared::over;
  // A Transfer-Encoding beside it frames the body instead (a server may
  // pass both on): then the reader counts.
  if (r->intake->length_frames_body) return Declared::within;
  Ref coding = first_header(r, "transfer-encoding");
  if (!coding) return Declared::failed;
  return coding.is_none() ? Declared::within : Declared::unknown;
}

void redirect_body(Request* r, PyObject* original, PyObject* receive) noexcept {
  if (r->pending & messages::part_content) {
    r->channel = Ref::borrow(receive);
    return;
  }
  PyObject* content = r->base.content.get();
  if (content && PyObject_TypeCheck(content, state.asgi_content.as<PyTypeObject>())) {
    auto* c = reinterpret_cast<contents::ASGIContent*>(content);
    if (c->receive.is(original)) c->receive = Ref::borrow(receive);
  }
}

PyObject* instantiate_asgi_request_py(PyObject*, PyObject* const* args) {
  Ref request = asgi_request(args[0], args[1], -1);
  if (!request || messages::make_parts(request.as<Request>(), every_part) < 0) return nullptr;
  return request.release();
}

}  // namespace mf::server
