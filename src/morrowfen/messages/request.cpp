// Request: its URL, the query and cookies parsed on first use, the body
// readers, and the C functions that make a Request for a server.
#include "messages_module.h"

namespace mf::messages::impl {

// A URL object for `value`: a URL as it is, bytes parsed.
Ref to_url(PyObject* value) noexcept {
  if (is_url(value)) return Ref::borrow(value);
  return Ref::steal(PyObject_CallOneArg(state.url_type.get(), value));
}

// --- parts made on first read --------------------------------------------------------

void forget_part(Message* m, unsigned part) noexcept {
  Request* r = pending_request(m, part);
  if (!r) return;
  r->pending &= ~part;
  if (part & part_content) r->channel = Ref::none();
}

// Request(method, url, headers)
int RequestInit::setup(PyObject* self, PyObject* const* bound) noexcept {
  PyObject *method = bound[0], *url = bound[1], *headers = bound[2];
  if (method != Py_None && !PyUnicode_Check(method)) {
    PyErr_Format(PyExc_TypeError, "method must be a str or None, not %.200s", Py_TYPE(method)->tp_name);
    return -1;
  }
  if (!list_or_none(headers, "headers")) return -1;
  Ref url_object = to_url(url);
  if (!url_object) return -1;
  Request* r = as_request(self);
  forget_part(&r->base, part_method | part_url | part_headers | part_content);
  r->method = Ref::borrow(method);
  r->url = std::move(url_object);
  r->base.raw_headers = Ref::borrow(headers);
  r->query = Ref::none();
  r->cookies = Ref::none();
  return 0;
}

PyObject* request_repr(PyObject* self) {
  // Held: the repr of one field may run code that replaces the other.
  Request* r = as_request(self);
  if (make_parts(r, part_method | part_url) < 0) return nullptr;
  Ref method = r->method ? r->method.copy() : Ref::none();
  Ref value = r->url ? r->url.copy() : Ref::none();
  if (is_url(value.get())) {
    const Ref& text = value.as<mf::url::URL>()->value;
    value = text ? text.copy() : Ref::none();
  }
  return PyUnicode_FromFormat("<%s %R %R>", Py_TYPE(self)->tp_name, method.get(), value.get());
}

// --- query and cookies, parsed on first use -----------------------------------------

// The query of the request's URL as a dict of lists of str. May throw
// std::bad_alloc (percent::for_each_pair).
Ref parse_query(Request* r) {
  if (make_parts(r, part_url) < 0) return {};
  Ref result = Ref::steal(PyDict_New());
  if (!result) return {};
  PyObject* url = r->url.get();
  if (!url || !is_url(url)) return result;
  PyObject* query = reinterpret_cast<mf::url::URL*>(url)->query.get();
  if (!query || !PyBytes_Check(query)) return result;
  int status = mf::percent::for_each_pair(mf::wire::bytes_view(query), [&](Ref name, Ref value) -> int {
    PyObject* values = PyDict_SetDefault(result.get(), name.get(), Py_None);
    if (!values) return -1;
    if (values == Py_None) {
      Ref fresh = Ref::steal(PyList_New(0));
      if (!fresh || PyDict_SetItem(result.get(), name.get(), fresh.get()) < 0) return -1;
      return PyList_Append(fresh.get(), value.get());
    }
    return PyList_Append(values, value.get());
  });
  return status < 0 ? Ref() : std::move(result);
}

// The cookies of the Cookie headers, by name; the first of a repeated name
// wins (clients send the cookie of the most specific path first).
Ref parse_cookies(Request* r) noexcept {
  static const mf::Bytes cookie_header{"cookie"};
  Ref result = Ref::steal(PyDict_New());
  if (!result) return {};
  std::string_view name(cookie_header.text(), cookie_header.size());
  Ref values;
  if (r->pending & part_headers && r->intake->values) {
    values = r->intake->values(r, name.data(), static_cast<Py_ssize_t>(name.size()), false);
    if (!values && PyErr_Occurred()) return {};
  }
  if (!values) {
    Ref list = header_list(&r->base);
    if (!list) return PyErr_Occurred() ? Ref() : std::move(result);
    values = hl::values(list.get(), name);
    if (!values) return {};
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
    PyObject* header = PyList_GET_ITEM(values.get(), i);
    if (!PyBytes_Check(header)) continue;
    std::string_view text = mf::wire::bytes_view(header);
    while (!text.empty()) {
      std::size_t end = text.find(';');
      std::string_view piece = mf::wire::trim_blanks(text.substr(0, end));
      text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
      if (piece.empty()) continue;
      Ref raw = mf::percent::bytes_from(piece);
      if (!raw) return {};
      Ref cookie = Ref::steal(reinterpret_cast<PyObject*>(state.parse_cookie(raw.get(), 0)));
      if (!cookie) return {};
      auto* c = cookie.as<mf::cookies::Cookie>();
      if (!c->name || !PyUnicode_Check(c->name.get()) || PyUnicode_GET_LENGTH(c->name.get()) == 0) continue;
      if (!PyDict_SetDefault(result.get(), c->name.get(), c->value.get())) return {};
    }
  }
  return result;
}

template <Ref (*Parse)(Request*), std::size_t Offset>
PyObject* get_parsed(PyObject* self, void*) {
  Ref& cache = sup::field<Ref>(self, Offset);
  if (!cache || cache.is_none()) {
    Ref parsed = Parse(as_request(self));
    if (!parsed) return nullptr;
    cache = std::move(parsed);
  }
  return mf::new_ref(cache.get());
}
template <Ref (*Parse)(Request*), std::size_t Offset>
constexpr getter parsed_getter = mf::guarded<get_parsed<Parse, Offset>>;

// --- Request bodies ------------------------------------------------------------------

bool check_request(const Ref& request) noexcept {
  if (PyObject_TypeCheck(request.get(), &RequestType)) return true;
  PyErr_Format(PyExc_TypeError, "expected a Request, not %.200s", Py_TYPE(request.get())->tp_name);
  return false;
}

// The content's chunks: its stream() when it has one, else get_parts().
Ref content_chunks(PyObject* content, bool prefer_stream) noexcept {
  Ref method;
  if (prefer_stream) {
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(content, k_stream, &found) < 0) return {};
    method = Ref::steal(found);
  }
  if (!method) method = Ref::steal(PyObject_GetAttr(content, k_get_parts));
  if (!method) return {};
  Ref iterable = Ref::steal(PyObject_CallNoArgs(method.get()));
  return iterable ? mf::aiter(iterable.get()) : Ref();
}

// await request.read(): the whole body as bytes, or None without content.
struct ReadLocals {
  Ref request, content, iter, chunks;
};
mf::CoroutineBody read_body(ReadLocals& L) {
  if (!check_request(L.request) || make_parts(as_request(L.request.get()), part_content) < 0) co_return {};
  L.content = as_request(L.request.get())->base.content.copy();
  if (!L.content || L.content.is_none()) co_return Ref::none();
  if (is_content(L.content.get())) {
    const Ref& body = L.content.as<mf::contents::Content>()->body;
    if (body && !body.is_none()) co_return body.copy();
  }
  if (PyObject_TypeCheck(L.content.get(), state.body_reader_types[0].as<PyTypeObject>()) ||
      PyObject_TypeCheck(L.content.get(), state.body_reader_types[1].as<PyTypeObject>())) {
    // A server's body: its C-level read(), which runs a subclass's own.
    auto* table = reinterpret_cast<const mf::contents::BodyReaderVTable*>(L.content.as<mf::contents::Content>()->vtab);
    Ref pending = Ref::steal(table->read(L.content.as<mf::contents::Content>()));
    if (!pending) co_return {};
    co_return co_await mf::await(std::move(pending));
  }
  PyObject* reader = nullptr;
  if (PyObject_GetOptionalAttr(L.content.get(), k_read, &reader) < 0) co_return {};
  if (reader) {
    Ref pending = Ref::steal(PyObject_CallNoArgs(Ref::steal(reader).get()));
    if (!pending) co_return {};
    co_return co_await mf::await(std::move(pending));
  }
  L.iter = content_chunks(L.content.get(), false);
  L.chunks = Ref::steal(PyList_New(0));
  if (!L.iter || !L.chunks) co_return {};
  for (;;) {
    Ref chunk = co_await mf::anext(L.iter);
    if (!chunk) break;
    if (PyList_Append(L.chunks.get(), chunk.get()) < 0) co_return {};
  }
  if (!mf::async_iteration_ended()) co_return {};
  co_return mf::wire::join_bytes(L.chunks.get(), "body chunks");
}

// await request.json(): the body parsed as JSON (None without content); a
// body that is not JSON raises BadRequestFormat.
struct JsonLocals {
  Ref request;
};
mf::CoroutineBody json_body(JsonLocals& L) {
  PyObject* args[] = {L.request.get()};
  Ref pending = Ref::steal(mf::start(state.read_fn.get(), args, read_body));
  if (!pending) co_return {};
  Ref data = co_await mf::await(std::move(pending));
  if (!data || data.is_none()) co_return data;
  Ref parsed = Ref::steal(PyObject_CallOneArg(state.json_loads.get(), data.get()));
  if (parsed || !PyErr_ExceptionMatches(PyExc_ValueError)) co_return parsed;
  Ref cause = Ref::steal(PyErr_GetRaisedException());
  Ref error =
      Ref::steal(PyObject_CallFunction(state.bad_request_format.get(), "s", "The request body is not valid JSON."));
  if (!error) co_return {};
  PyException_SetCause(error.get(), cause.release());
  PyErr_SetRaisedException(error.release());
  co_return {};
}

// request.stream(): the body's chunks as they arrive.
struct StreamLocals {
  Ref request, iter;
};
mf::AsyncGeneratorBody stream_body(StreamLocals& L) {
  if (!check_request(L.request) || make_parts(as_request(L.request.get()), part_content) < 0) co_return {};
  Ref content = as_request(L.request.get())->base.content.copy();
  if (!content || content.is_none()) co_return Ref::none();
  L.iter = content_chunks(content.get(), true);
  content.reset();
  if (!L.iter) co_return {};
  for (;;) {
    Ref chunk = co_await mf::anext(L.iter);
    if (!chunk) break;
    Ref sent = co_yield std::move(chunk);
    if (!sent) co_return {};
  }
  co_return mf::async_iteration_ended() ? Ref::none() : Ref();
}

const mf::Param p_request[] = {{"request"}};
const mf::FunctionDef body_defs[] = {
    {"read", p_request, mf::Kind::coroutine, nullptr, mf::body_py<read_body>},
    {"json", p_request, mf::Kind::coroutine, nullptr, mf::body_py<json_body>},
    {"stream", p_request, mf::Kind::async_generator, nullptr, mf::body_py<stream_body>},
};
Ref* const body_functions[] = {&state.read_fn, &state.json_fn, &state.stream_fn};

PyObject* request_read_py(PyObject* self, PyObject*) {
  PyObject* args[] = {self};
  return mf::start(state.read_fn.get(), args, read_body);
}
PyObject* request_json_py(PyObject* self, PyObject*) {
  PyObject* args[] = {self};
  return mf::start(state.json_fn.get(), args, json_body);
}
PyObject* request_stream_py(PyObject* self, PyObject*) {
  PyObject* args[] = {self};
  return mf::start(state.stream_fn.get(), args, stream_body);
}

// --- C functions ----------------------------------------------------------------------

// A Request for a server's request line and headers: the URL is the path,
// plus "?query" when the query is not empty; the header list is kept as
// given (the very list object).
Request* acquire_request(PyObject* method, PyObject* path, PyObject* query, PyObject* headers, PyObject* scope,
                         int /*flag*/) {
  if (!PyBytes_Check(path) || !PyBytes_Check(query)) {
    PyErr_Format(PyExc_TypeError, "path and query must be bytes, not %.200s and %.200s", Py_TYPE(path)->tp_name,
                 Py_TYPE(query)->tp_name);
    return nullptr;
  }
  if (!list_or_none(headers, "headers")) return nullptr;
  Ref target = mf::wire::join_target(path, query);
  if (!target) return nullptr;
  Ref url = to_url(target.get());
  if (!url) return nullptr;
  Ref request = Ref::steal(
      message_new<request_refs, &request_vtable, RequestType, request_free_list>(&RequestType, nullptr, nullptr));
  if (!request) return nullptr;
  Request* r = as_request(request.get());
  r->method = Ref::borrow(method);
  r->url = std::move(url);
  r->base.raw_headers = Ref::borrow(headers);
  r->scope = Ref::borrow(scope);
  return as_request(request.release());
}

// Drops what a request holds for the exchange with the server: its body
// reader, scope and parsed values.
void release_request(Request* request, int /*flag*/) {
  forget_part(&request->base, part_content);
  request->base.content = Ref::none();
  request->scope = Ref::none();
  request->query = Ref::none();
  request->cookies = Ref::none();
}

PyMethodDef request_methods[] = {
    {"init_prop", sup::py_status<request_init_prop_impl, k_init_prop>(), METH_NOARGS,
     "init_prop()\n\nDrops the parsed query and cookies, to parse them again."},
    {"read", request_read_py, METH_NOARGS, "read()\n\nAwaitable: the whole body as bytes, or None."},
    {"json", request_json_py, METH_NOARGS, "json()\n\nAwaitable: the body parsed as JSON, or None."},
    {"stream", request_stream_py, METH_NOARGS, "stream()\n\nThe body's chunks, as an asynchronous iterable."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef request_getset[] = {
    part_field<part_method>("method", offsetof(Request, method)),
    part_field<part_url>("url", offsetof(Request, url)),
    sup::object_field("scope", offsetof(Request, scope), "The server's scope, or None."),
    {"query", parsed_getter<parse_query, offsetof(Request, query)>, sup::set_object,
     "The query parameters, as a dict of lists.", sup::closure_of(offsetof(Request, query))},
    {"cookies", parsed_getter<parse_cookies, offsetof(Request, cookies)>, sup::set_object,
     "The cookies of the Cookie headers, as a dict.", sup::closure_of(offsetof(Request, cookies))},
    sup::getset_end,
};

}  // namespace mf::messages::impl
