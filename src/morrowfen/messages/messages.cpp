// morrowfen.messages: Message, the headers and body common to requests and
// responses; Request, with its URL, query, cookies and body readers; and
// Response, with its status.
#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "../runtime/type_support.h"
#include "../framework_types/contents.h"
#include "../framework_types/cookies.h"
#include "../framework_types/messages.h"
#include "../framework_types/url.h"
#include "../wire/header_list.h"
#include "../runtime/capi.h"
#include "../runtime/constants.h"
#include "../runtime/coroutine.h"
#include "../runtime/function.h"
#include "../runtime/types.h"
#include "../wire/percent.h"
#include "../wire/text.h"

namespace {

using mf::Ref;
using namespace mf::messages;
namespace sup = mf::support;
namespace hl = mf::header_list;

const mf::Str k_get_headers{"get_headers"};
const mf::Str k_get_first_header{"get_first_header"};
const mf::Str k_get_single_header{"get_single_header"};
const mf::Str k_remove_header{"remove_header"};
const mf::Str k__has_header{"_has_header"};
const mf::Str k_has_header{"has_header"};
const mf::Str k__add_header{"_add_header"};
const mf::Str k__add_header_if_missing{"_add_header_if_missing"};
const mf::Str k_add_header{"add_header"};
const mf::Str k_set_header{"set_header"};
const mf::Str k_content_type{"content_type"};
const mf::Str k_remove_headers{"remove_headers"};
const mf::Str k_get_headers_tuples{"get_headers_tuples"};
const mf::Str k_init_prop{"init_prop"};
const mf::Str k_with_content{"with_content"};
const mf::Str k_has_body{"has_body"};
const mf::Str k_declares_content_type{"declares_content_type"};
const mf::Str k_declares_json{"declares_json"};
const mf::Str k_declares_xml{"declares_xml"};
const mf::Str k_read{"read"};
const mf::Str k_stream{"stream"};
const mf::Str k_get_parts{"get_parts"};

// Bound once per process in the module's start-up.
PyTypeObject* g_url_type = nullptr;      // morrowfen.url.URL
PyTypeObject* g_content_type = nullptr;  // morrowfen.contents.Content
PyObject* g_bad_request_format = nullptr;
PyObject* g_json_loads = nullptr;
mf::cookies::parse_cookie_fn* g_parse_cookie = nullptr;
PyObject* g_read_fn = nullptr;
PyObject* g_json_fn = nullptr;
PyObject* g_stream_fn = nullptr;

PyTypeObject MessageType = mf::static_type();
PyTypeObject RequestType = mf::static_type();
PyTypeObject ResponseType = mf::static_type();

Message* as_message(PyObject* o) noexcept { return reinterpret_cast<Message*>(o); }
Request* as_request(PyObject* o) noexcept { return reinterpret_cast<Request*>(o); }
PyObject* obj(Message* m) noexcept { return sup::as_object(m); }

constexpr std::array<std::size_t, 2> message_refs = {offsetof(Message, raw_headers), offsetof(Message, content)};
constexpr std::array<std::size_t, 7> request_refs = {
    offsetof(Request, base.raw_headers), offsetof(Request, base.content), offsetof(Request, method),
    offsetof(Request, url),  offsetof(Request, query),  offsetof(Request, cookies), offsetof(Request, scope)};

// --- the header list -------------------------------------------------------------

// The message's list, or empty: without an exception when it has none
// (None), with TypeError when the field holds something else. Held: removing
// or replacing an item releases it, and a finalizer it runs may replace the
// message's list meanwhile.
Ref header_list(Message* m) noexcept {
  PyObject* list = m->raw_headers.get();
  if (list && PyList_Check(list)) return Ref::borrow(list);
  if (!list || list == Py_None) return {};
  PyErr_Format(PyExc_TypeError, "_raw_headers must be a list or None, not %.200s", Py_TYPE(list)->tp_name);
  return {};
}

// The message's list, a new empty one stored first when it has none.
Ref writable_list(Message* m) noexcept {
  if (Ref list = header_list(m)) return list;
  if (PyErr_Occurred()) return {};
  Ref fresh = Ref::steal(PyList_New(0));
  if (!fresh) return {};
  m->raw_headers = fresh.copy();
  return fresh;
}

// --- the natives of the method table ---------------------------------------------

PyObject* get_headers(Message* self, PyObject* name) noexcept {
  std::string_view wanted;
  if (!hl::name_view(name, wanted)) return nullptr;
  Ref list = header_list(self);
  if (!list) return PyErr_Occurred() ? nullptr : PyList_New(0);
  return hl::values(list.get(), wanted).release();
}

PyObject* get_first_header(Message* self, PyObject* name) noexcept {
  std::string_view wanted;
  if (!hl::name_view(name, wanted)) return nullptr;
  Ref list = header_list(self);
  if (!list) return PyErr_Occurred() ? nullptr : mf::new_ref(Py_None);
  bool failed = false;
  PyObject* value = hl::first(list.get(), wanted, failed);
  return failed ? nullptr : mf::new_ref(value ? value : Py_None);
}

PyObject* get_single_header(Message* self, PyObject* name) noexcept {
  Ref values = Ref::steal(get_headers(self, name));
  if (!values) return nullptr;
  if (PyList_GET_SIZE(values.get()) != 1) {
    PyErr_Format(PyExc_ValueError, "expected exactly one %R header, found %zd", name,
                 PyList_GET_SIZE(values.get()));
    return nullptr;
  }
  return mf::new_ref(PyList_GET_ITEM(values.get(), 0));
}

int remove_header(Message* self, PyObject* name) noexcept {
  std::string_view wanted;
  if (!hl::name_view(name, wanted)) return -1;
  Ref list = header_list(self);
  if (!list) return PyErr_Occurred() ? -1 : 0;
  return hl::remove(list.get(), wanted) < 0 ? -1 : 0;
}

int has_header(Message* self, PyObject* name) noexcept {
  std::string_view wanted;
  if (!hl::name_view(name, wanted)) return -1;
  Ref list = header_list(self);
  if (!list) return PyErr_Occurred() ? -1 : 0;
  bool failed = false;
  PyObject* value = hl::first(list.get(), wanted, failed);
  return failed ? -1 : value != nullptr;
}

// Appends (name, value). Names and values must be bytes, names tokens, and
// values free of CR, LF and NUL: a header list goes to the wire as it is.
void add_header_pair(Message* self, PyObject* name, PyObject* value) noexcept {
  if (!hl::check_pair(name, value)) return;
  Ref list = writable_list(self);
  if (!list) return;
  Ref pair = hl::make_pair(name, value);
  if (pair) PyList_Append(list.get(), pair.get());
}

int add_header_if_missing(Message* self, PyObject* name, PyObject* value) noexcept {
  if (!hl::check_pair(name, value)) return -1;
  int present = has_header(self, name);
  if (present != 0) return present < 0 ? -1 : 0;
  add_header_pair(self, name, value);
  return PyErr_Occurred() ? -1 : 1;
}

int add_header(Message* self, PyObject* name, PyObject* value) noexcept {
  add_header_pair(self, name, value);
  return PyErr_Occurred() ? -1 : 0;
}

int set_header(Message* self, PyObject* name, PyObject* value) noexcept {
  if (!hl::check_pair(name, value)) return -1;
  Ref list = writable_list(self);
  return list ? hl::set(list.get(), name, value) : -1;
}

// The Content-Type header, or else the content's own type.
PyObject* content_type(Message* self) noexcept {
  static const mf::Bytes name{"content-type"};
  Ref list = header_list(self);
  if (list) {
    bool failed = false;
    PyObject* value = hl::first(list.get(), std::string_view(name.text(), name.size()), failed);
    if (failed) return nullptr;
    if (value) return mf::new_ref(value);
  } else if (PyErr_Occurred()) {
    return nullptr;
  }
  PyObject* content = self->content.get();
  if (content && PyObject_TypeCheck(content, g_content_type)) {
    const Ref& type = reinterpret_cast<mf::contents::Content*>(content)->type;
    if (type) return mf::new_ref(type.get());
  }
  return mf::new_ref(Py_None);
}

int remove_headers(Message* self, PyObject* names) noexcept {
  Ref iter = Ref::steal(PyObject_GetIter(names));
  if (!iter) return -1;
  while (Ref name = Ref::steal(PyIter_Next(iter.get()))) {
    if (remove_header(self, name.get()) < 0) return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

PyObject* get_headers_tuples(Message* self, PyObject* name) noexcept {
  std::string_view wanted;
  if (!hl::name_view(name, wanted)) return nullptr;
  Ref out = Ref::steal(PyList_New(0));
  if (!out) return nullptr;
  Ref list = header_list(self);
  if (!list) return PyErr_Occurred() ? nullptr : out.release();
  int status = hl::scan(list.get(), wanted, [&](Py_ssize_t i, PyObject*) {
    PyObject* item = PyList_GET_ITEM(list.get(), i);
    if (PyTuple_Check(item)) return PyList_Append(out.get(), item) < 0 ? -1 : 0;
    Ref pair = Ref::steal(PyList_AsTuple(item));
    return pair && PyList_Append(out.get(), pair.get()) == 0 ? 0 : -1;
  });
  return status < 0 ? nullptr : out.release();
}

int message_init_prop(Message*) noexcept { return 0; }

// A request drops its parsed query and cookies, to parse them again.
int request_init_prop(Message* self) noexcept {
  auto* r = reinterpret_cast<Request*>(self);
  r->query = Ref::none();
  r->cookies = Ref::none();
  return 0;
}

bool content_or_none(PyObject* content) noexcept {
  if (content == Py_None || PyObject_TypeCheck(content, g_content_type)) return true;
  PyErr_Format(PyExc_TypeError, "content must be a Content or None, not %.200s", Py_TYPE(content)->tp_name);
  return false;
}

PyObject* with_content(Message* self, PyObject* content) noexcept {
  if (!content_or_none(content)) return nullptr;
  self->content = Ref::borrow(content);
  return mf::new_ref(obj(self));
}

// Whether the message has a body: a content whose length is not 0 (a
// negative length is a body of unknown length).
int has_body(Message* self) noexcept {
  Ref content = self->content.copy();  // held across a foreign object's __bool__
  if (!content || content.is_none()) return 0;
  if (PyObject_TypeCheck(content.get(), g_content_type)) return content.as<mf::contents::Content>()->length != 0;
  return PyObject_IsTrue(content.get());
}

// The media type of a content type, without parameters.
std::string_view media_type(std::string_view content_type) noexcept {
  return mf::wire::trim_blanks(content_type.substr(0, content_type.find(';')));
}

// Calls `test(media type)` with the message's media type; 0 when it has none.
template <class Test>
int test_media_type(Message* self, Test test) noexcept {
  Ref type = Ref::steal(content_type(self));
  if (!type) return -1;
  if (!PyBytes_Check(type.get())) return 0;
  return test(media_type(mf::wire::bytes_view(type.get())));
}

bool ends_with_ci(std::string_view s, std::string_view suffix) noexcept {
  return s.size() >= suffix.size() && hl::same_name(s.substr(s.size() - suffix.size()), suffix);
}

int declares_content_type(Message* self, PyObject* type) noexcept {
  std::string_view wanted;
  if (!hl::name_view(type, wanted)) return -1;
  wanted = media_type(wanted);
  return test_media_type(self, [&](std::string_view media) { return hl::same_name(media, wanted) ? 1 : 0; });
}

int declares_json(Message* self) noexcept {
  return test_media_type(self, [](std::string_view media) {
    return hl::same_name(media, "application/json") || ends_with_ci(media, "+json") ? 1 : 0;
  });
}

int declares_xml(Message* self) noexcept {
  return test_media_type(self, [](std::string_view media) {
    return hl::same_name(media, "application/xml") || hl::same_name(media, "text/xml") || ends_with_ci(media, "+xml")
               ? 1
               : 0;
  });
}

// --- the faces of the natives (runtime/type_support.h makes them) --------------------

using sup::c_object;
using sup::c_predicate;
using sup::c_status;
using sup::py_object;
using sup::py_predicate;
using sup::py_status;

// _add_header reports failure only by the pending exception (its table
// entry returns nothing), so its two faces are written out.
PyObject* py_add_header_pair(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!sup::check_count("_add_header", nargs, 2)) return nullptr;
  add_header_pair(as_message(self), args[0], args[1]);
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}
void c_add_header_pair(Message* self, PyObject* a, PyObject* b) {
  if (auto r = sup::call_override(obj(self), k__add_header, sup::as_cfunction(py_add_header_pair), a, b)) return;
  add_header_pair(self, a, b);
}

constexpr MessageVTable make_table(int (*init_prop)(Message*)) {
  return {
      c_object<get_headers, k_get_headers, PyObject*>,
      c_object<get_first_header, k_get_first_header, PyObject*>,
      c_object<get_single_header, k_get_single_header, PyObject*>,
      c_status<remove_header, k_remove_header, PyObject*>,
      c_predicate<has_header, k__has_header, PyObject*>,
      c_predicate<has_header, k_has_header, PyObject*>,
      c_add_header_pair,
      c_predicate<add_header_if_missing, k__add_header_if_missing, PyObject*, PyObject*>,
      c_status<add_header, k_add_header, PyObject*, PyObject*>,
      c_status<set_header, k_set_header, PyObject*, PyObject*>,
      c_object<content_type, k_content_type>,
      c_status<remove_headers, k_remove_headers, PyObject*>,
      c_object<get_headers_tuples, k_get_headers_tuples, PyObject*>,
      init_prop,
      c_object<with_content, k_with_content, PyObject*>,
      c_predicate<has_body, k_has_body>,
      c_predicate<declares_content_type, k_declares_content_type, PyObject*>,
      c_predicate<declares_json, k_declares_json>,
      c_predicate<declares_xml, k_declares_xml>,
  };
}

constexpr MessageVTable message_vtable = make_table(c_status<message_init_prop, k_init_prop>);
constexpr MessageVTable request_vtable = make_table(c_status<request_init_prop, k_init_prop>);
constexpr MessageVTable response_vtable = make_table(c_status<message_init_prop, k_init_prop>);

// --- construction -------------------------------------------------------------------

template <const auto& Refs, const MessageVTable* Table>
PyObject* message_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  as_message(self.get())->vtab = Table;
  sup::fill_none<Refs>(self.get());
  return self.release();
}

bool list_or_none(PyObject* value, const char* what) noexcept {
  if (value == Py_None || PyList_Check(value)) return true;
  PyErr_Format(PyExc_TypeError, "%s must be a list or None, not %.200s", what, Py_TYPE(value)->tp_name);
  return false;
}

// Message(headers=None, content=None)
int message_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"headers", "content", nullptr};
  PyObject *headers = Py_None, *content = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OO:Message", const_cast<char**>(kwlist), &headers, &content))
    return -1;
  if (!list_or_none(headers, "headers") || !content_or_none(content)) return -1;
  as_message(self)->raw_headers = Ref::borrow(headers);
  as_message(self)->content = Ref::borrow(content);
  return 0;
}

// A URL object for `value`: a URL as it is, bytes parsed.
Ref to_url(PyObject* value) noexcept {
  if (PyObject_TypeCheck(value, g_url_type)) return Ref::borrow(value);
  return Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(g_url_type), value));
}

// Request(method, url, headers)
int request_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"method", "url", "headers", nullptr};
  PyObject *method = nullptr, *url = nullptr, *headers = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO:Request", const_cast<char**>(kwlist), &method, &url, &headers))
    return -1;
  if (method != Py_None && !PyUnicode_Check(method)) {
    PyErr_Format(PyExc_TypeError, "method must be a str or None, not %.200s", Py_TYPE(method)->tp_name);
    return -1;
  }
  if (!list_or_none(headers, "headers")) return -1;
  Ref url_object = to_url(url);
  if (!url_object) return -1;
  Request* r = as_request(self);
  r->method = Ref::borrow(method);
  r->url = std::move(url_object);
  r->base.raw_headers = Ref::borrow(headers);
  r->query = Ref::none();
  r->cookies = Ref::none();
  return 0;
}

bool valid_status(int status) noexcept {
  if (status >= 100 && status <= 999) return true;
  PyErr_Format(PyExc_ValueError, "invalid HTTP status %d: expected 100 to 999", status);
  return false;
}

PyObject* response_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  Ref self = Ref::steal(message_new<message_refs, &response_vtable>(type, args, kwds));
  if (self) reinterpret_cast<Response*>(self.get())->status = 200;
  return self.release();
}

// Response(status, headers=None, content=None)
int response_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"status", "headers", "content", nullptr};
  PyObject *status = nullptr, *headers = Py_None, *content = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OO:Response", const_cast<char**>(kwlist), &status, &headers,
                                   &content))
    return -1;
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

PyObject* request_repr(PyObject* self) {
  // Held: the repr of one field may run code that replaces the other.
  Request* r = as_request(self);
  Ref method = r->method ? r->method.copy() : Ref::none();
  Ref value = r->url ? r->url.copy() : Ref::none();
  if (PyObject_TypeCheck(value.get(), g_url_type)) {
    const Ref& text = value.as<mf::url::URL>()->value;
    value = text ? text.copy() : Ref::none();
  }
  return PyUnicode_FromFormat("<%s %R %R>", Py_TYPE(self)->tp_name, method.get(), value.get());
}

// --- query and cookies, parsed on first use -----------------------------------------

// The query of the request's URL as a dict of lists of str.
Ref parse_query(Request* r) noexcept {
  Ref result = Ref::steal(PyDict_New());
  if (!result) return {};
  PyObject* url = r->url.get();
  if (!url || !PyObject_TypeCheck(url, g_url_type)) return result;
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
  Ref list = header_list(&r->base);
  if (!list) return PyErr_Occurred() ? Ref() : std::move(result);
  Ref values = hl::values(list.get(), std::string_view(cookie_header.text(), cookie_header.size()));
  if (!values) return {};
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
      Ref cookie = Ref::steal(reinterpret_cast<PyObject*>(g_parse_cookie(raw.get(), 0)));
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
  if (!check_request(L.request)) co_return {};
  L.content = as_request(L.request.get())->base.content.copy();
  if (!L.content || L.content.is_none()) co_return Ref::none();
  if (PyObject_TypeCheck(L.content.get(), g_content_type)) {
    const Ref& body = L.content.as<mf::contents::Content>()->body;
    if (body && !body.is_none()) co_return body.copy();
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
    if (!chunk) {
      if (mf::async_iteration_ended()) break;
      co_return {};
    }
    if (PyList_Append(L.chunks.get(), chunk.get()) < 0) co_return {};
  }
  co_return mf::wire::join_bytes(L.chunks.get(), "body chunks");
}

// await request.json(): the body parsed as JSON (None without content); a
// body that is not JSON raises BadRequestFormat.
struct JsonLocals {
  Ref request;
};
mf::CoroutineBody json_body(JsonLocals& L) {
  PyObject* args[] = {L.request.get()};
  Ref pending = Ref::steal(mf::start(g_read_fn, args, read_body));
  if (!pending) co_return {};
  Ref data = co_await mf::await(std::move(pending));
  if (!data || data.is_none()) co_return data;
  Ref parsed = Ref::steal(PyObject_CallOneArg(g_json_loads, data.get()));
  if (parsed || !PyErr_ExceptionMatches(PyExc_ValueError)) co_return parsed;
  Ref cause = Ref::steal(PyErr_GetRaisedException());
  Ref error = Ref::steal(PyObject_CallFunction(g_bad_request_format, "s", "The request body is not valid JSON."));
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
  if (!check_request(L.request)) co_return {};
  Ref content = as_request(L.request.get())->base.content.copy();
  if (!content || content.is_none()) co_return Ref::none();
  L.iter = content_chunks(content.get(), true);
  content.reset();
  if (!L.iter) co_return {};
  for (;;) {
    Ref chunk = co_await mf::anext(L.iter);
    if (!chunk) {
      if (mf::async_iteration_ended()) break;
      co_return {};
    }
    Ref sent = co_yield std::move(chunk);
    if (!sent) co_return {};
  }
  co_return Ref::none();
}

PyObject* read_entry(PyObject* self, PyObject* const* args) { return mf::start(self, args, read_body); }
PyObject* json_entry(PyObject* self, PyObject* const* args) { return mf::start(self, args, json_body); }
PyObject* stream_entry(PyObject* self, PyObject* const* args) { return mf::start(self, args, stream_body); }

const mf::Param p_request[] = {{"request"}};
const mf::FunctionDef body_defs[] = {
    {"read", p_request, mf::Kind::coroutine, nullptr, read_entry},
    {"json", p_request, mf::Kind::coroutine, nullptr, json_entry},
    {"stream", p_request, mf::Kind::async_generator, nullptr, stream_entry},
};
PyObject** const body_functions[] = {&g_read_fn, &g_json_fn, &g_stream_fn};

PyObject* request_read_py(PyObject* self, PyObject*) {
  PyObject* args[] = {self};
  return mf::start(g_read_fn, args, read_body);
}
PyObject* request_json_py(PyObject* self, PyObject*) {
  PyObject* args[] = {self};
  return mf::start(g_json_fn, args, json_body);
}
PyObject* request_stream_py(PyObject* self, PyObject*) {
  PyObject* args[] = {self};
  return mf::start(g_stream_fn, args, stream_body);
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
  Ref target;
  if (PyBytes_GET_SIZE(query) == 0) {
    target = Ref::borrow(path);
  } else {
    Py_ssize_t n = PyBytes_GET_SIZE(path), q = PyBytes_GET_SIZE(query);
    target = Ref::steal(PyBytes_FromStringAndSize(nullptr, n + 1 + q));
    if (!target) return nullptr;
    char* p = PyBytes_AS_STRING(target.get());
    std::memcpy(p, PyBytes_AS_STRING(path), static_cast<std::size_t>(n));
    p[n] = '?';
    std::memcpy(p + n + 1, PyBytes_AS_STRING(query), static_cast<std::size_t>(q));
  }
  Ref url = to_url(target.get());
  if (!url) return nullptr;
  Ref request = Ref::steal(message_new<request_refs, &request_vtable>(&RequestType, nullptr, nullptr));
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
  request->base.content = Ref::none();
  request->scope = Ref::none();
  request->query = Ref::none();
  request->cookies = Ref::none();
}

// --- type tables ----------------------------------------------------------------------

PyMethodDef message_methods[] = {
    {"get_headers", py_object<get_headers, k_get_headers>(), METH_O, "get_headers(name)\n\nThe values of the headers named `name`."},
    {"get_first_header", py_object<get_first_header, k_get_first_header>(), METH_O,
     "get_first_header(name)\n\nThe first value of the headers named `name`, or None."},
    {"get_single_header", py_object<get_single_header, k_get_single_header>(), METH_O,
     "get_single_header(name)\n\nThe value of the one header named `name` (ValueError unless exactly one)."},
    {"remove_header", py_status<remove_header, k_remove_header>(), METH_O, "remove_header(name)\n\nRemoves the headers named `name`."},
    {"_has_header", py_predicate<has_header, k__has_header>(), METH_O, nullptr},
    {"has_header", py_predicate<has_header, k_has_header>(), METH_O, "has_header(name)\n\nWhether a header named `name` is present."},
    {"_add_header", sup::as_cfunction(py_add_header_pair), METH_FASTCALL, nullptr},
    {"_add_header_if_missing", py_predicate<add_header_if_missing, k__add_header_if_missing>(), METH_FASTCALL, nullptr},
    {"add_header", py_status<add_header, k_add_header>(), METH_FASTCALL,
     "add_header(name, value)\n\nAppends a header."},
    {"set_header", py_status<set_header, k_set_header>(), METH_FASTCALL,
     "set_header(name, value)\n\nReplaces the headers named `name` by one with this value."},
    {"content_type", py_object<content_type, k_content_type>(), METH_NOARGS,
     "content_type()\n\nThe Content-Type header, else the content's type, else None."},
    {"remove_headers", py_status<remove_headers, k_remove_headers>(), METH_O, "remove_headers(names)\n\nRemoves the headers of each name."},
    {"get_headers_tuples", py_object<get_headers_tuples, k_get_headers_tuples>(), METH_O,
     "get_headers_tuples(name)\n\nThe (name, value) pairs of the headers named `name`."},
    {"init_prop", py_status<message_init_prop, k_init_prop>(), METH_NOARGS,
     "init_prop()\n\nDrops values derived from the headers, to compute them again."},
    {"with_content", py_object<with_content, k_with_content>(), METH_O,
     "with_content(content)\n\nSets the content and returns the message."},
    {"has_body", py_predicate<has_body, k_has_body>(), METH_NOARGS, "has_body()\n\nWhether the message has a non-empty body."},
    {"declares_content_type", py_predicate<declares_content_type, k_declares_content_type>(), METH_O,
     "declares_content_type(type)\n\nWhether the media type is `type` (parameters ignored)."},
    {"declares_json", py_predicate<declares_json, k_declares_json>(), METH_NOARGS, "declares_json()\n\nWhether the media type is JSON."},
    {"declares_xml", py_predicate<declares_xml, k_declares_xml>(), METH_NOARGS, "declares_xml()\n\nWhether the media type is XML."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef request_methods[] = {
    {"init_prop", py_status<request_init_prop, k_init_prop>(), METH_NOARGS,
     "init_prop()\n\nDrops the parsed query and cookies, to parse them again."},
    {"read", request_read_py, METH_NOARGS, "read()\n\nAwaitable: the whole body as bytes, or None."},
    {"json", request_json_py, METH_NOARGS, "json()\n\nAwaitable: the body parsed as JSON, or None."},
    {"stream", request_stream_py, METH_NOARGS, "stream()\n\nThe body's chunks, as an asynchronous iterable."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef message_getset[] = {
    sup::object_field("_raw_headers", offsetof(Message, raw_headers), "The (name, value) header pairs, or None."),
    sup::object_field("content", offsetof(Message, content), "The body (a Content), or None."),
    sup::getset_end,
};

PyGetSetDef request_getset[] = {
    sup::object_field("method", offsetof(Request, method)),
    sup::object_field("url", offsetof(Request, url)),
    sup::object_field("scope", offsetof(Request, scope), "The server's scope, or None."),
    {"query", get_parsed<parse_query, offsetof(Request, query)>, sup::set_object,
     "The query parameters, as a dict of lists.", sup::closure_of(offsetof(Request, query))},
    {"cookies", get_parsed<parse_cookies, offsetof(Request, cookies)>, sup::set_object,
     "The cookies of the Cookie headers, as a dict.", sup::closure_of(offsetof(Request, cookies))},
    sup::getset_end,
};

PyGetSetDef response_getset[] = {
    {"status", get_status, set_status, "The HTTP status code (100 to 999).", nullptr},
    sup::getset_end,
};

bool types_ready = false;

int ready_types() {
  if (types_ready) return 0;
  sup::gc_slots<message_refs>(MessageType);
  MessageType.tp_name = "morrowfen.messages.Message";
  MessageType.tp_doc = "Message(headers=None, content=None): the headers and body of a request or response.";
  MessageType.tp_basicsize = sizeof(Message);
  MessageType.tp_new = message_new<message_refs, &message_vtable>;
  MessageType.tp_init = message_init;
  MessageType.tp_methods = message_methods;
  MessageType.tp_getset = message_getset;

  sup::gc_slots<request_refs>(RequestType);
  RequestType.tp_name = "morrowfen.messages.Request";
  RequestType.tp_doc = "Request(method: str | None, url: bytes, headers: list[tuple[bytes, bytes]] | None)";
  RequestType.tp_basicsize = sizeof(Request);
  RequestType.tp_base = &MessageType;
  RequestType.tp_new = message_new<request_refs, &request_vtable>;
  RequestType.tp_init = request_init;
  RequestType.tp_repr = request_repr;
  RequestType.tp_methods = request_methods;
  RequestType.tp_getset = request_getset;

  sup::gc_slots<message_refs>(ResponseType);
  ResponseType.tp_name = "morrowfen.messages.Response";
  ResponseType.tp_doc =
      "Response(status: int, headers: list[tuple[bytes, bytes]] | None = None, content: Content | None = None)";
  ResponseType.tp_basicsize = sizeof(Response);
  ResponseType.tp_base = &MessageType;
  ResponseType.tp_new = response_new;
  ResponseType.tp_init = response_init;
  ResponseType.tp_repr = response_repr;
  ResponseType.tp_getset = response_getset;

  if (PyType_Ready(&MessageType) < 0 || PyType_Ready(&RequestType) < 0 || PyType_Ready(&ResponseType) < 0) return -1;
  types_ready = true;
  return 0;
}

Ref attribute_of(const char* module, const char* name) noexcept {
  Ref m = Ref::steal(PyImport_ImportModule(module));
  return m ? Ref::steal(PyObject_GetAttrString(m.get(), name)) : Ref();
}

int bind_globals(PyObject* module) {
  if (!g_url_type) {
    Ref url = attribute_of("morrowfen.url", "URL");
    Ref content = attribute_of("morrowfen.contents", "Content");
    Ref bad_format = attribute_of("morrowfen.exceptions", "BadRequestFormat");
    Ref loads = attribute_of("json", "loads");
    if (!url || !content || !bad_format || !loads) return -1;
    if (!PyType_Check(url.get()) || !PyType_Check(content.get())) {
      PyErr_SetString(PyExc_TypeError, "morrowfen.url.URL and morrowfen.contents.Content must be types");
      return -1;
    }
    Ref cookies = Ref::steal(PyImport_ImportModule("morrowfen.cookies"));
    if (!cookies ||
        mf::import_function(cookies.get(), "parse_cookie", mf::cookies::parse_cookie_sig, g_parse_cookie) < 0)
      return -1;
    PyObject* url_type = nullptr;
    PyObject* content_type_object = nullptr;
    sup::keep(url_type, std::move(url));
    sup::keep(content_type_object, std::move(content));
    sup::keep(g_bad_request_format, std::move(bad_format));
    sup::keep(g_json_loads, std::move(loads));
    g_content_type = reinterpret_cast<PyTypeObject*>(content_type_object);
    g_url_type = reinterpret_cast<PyTypeObject*>(url_type);
  }
  return sup::keep_functions(module, mf::messages::module_name, "morrowfen/messages/messages.cpp", body_defs, body_functions);
}

int exec(PyObject* module) {
  if (mf::ready_runtime() < 0) return -1;
  if (bind_globals(module) < 0 || ready_types() < 0) return -1;
  if (mf::add_type(module, &MessageType) < 0 || mf::add_type(module, &RequestType) < 0 ||
      mf::add_type(module, &ResponseType) < 0)
    return -1;
  if (mf::export_vtable(&MessageType, &message_vtable) < 0 || mf::export_vtable(&RequestType, &request_vtable) < 0 ||
      mf::export_vtable(&ResponseType, &response_vtable) < 0)
    return -1;
  PyObject* capi = mf::capi_dict(module);
  if (!capi) return -1;
  acquire_request_fn* acquire = acquire_request;
  release_request_fn* release = release_request;
  if (mf::export_function(capi, "acquire_request", acquire, acquire_request_sig) < 0 ||
      mf::export_function(capi, "release_request", release, release_request_sig) < 0)
    return -1;
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "morrowfen.messages", "HTTP requests and responses.", 0, nullptr,
                          slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_messages() { return PyModuleDef_Init(&module_def); }
