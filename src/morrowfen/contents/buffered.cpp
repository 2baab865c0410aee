// Buffered bodies: Content and its text, HTML, JSON and form kinds, the
// parts of forms and multipart bodies, and form-encoded text.
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "contents_module.h"

namespace mf::contents::impl {

// Content.get_parts(): the buffered body, once (nothing when there is none).
mf::AsyncGeneratorBody content_parts_body(PartsLocals& L) {
  if (!check_content(L.content)) co_return {};
  Content* c = as_content(L.content.get());
  if (has_body(c)) {
    Ref sent = co_yield c->body.copy();
    if (!sent) co_return {};
  }
  co_return Ref::none();
}

// Content
PyObject* content_get_parts_py(PyObject* self, PyObject*) {
  return run(state.content_parts_fn, self, content_parts_body);
}

// The C-level table: get_parts() runs a Python subclass's replacement when
// there is one (runtime/type_support.h).
constexpr ContentVTable content_vtable = {c_method0<content_get_parts_py, k_get_parts, Content>};

// --- construction ---------------------------------------------------------------------

// Content(content_type, data)
int ContentInit::setup(PyObject* self, PyObject* const* bound) noexcept {
  PyObject *type = bound[0], *data = bound[1];
  if (!check_media_type(type) || set_body(as_content(self), data) < 0) return -1;
  as_content(self)->type = Ref::borrow(type);
  return 0;
}
// Text bodies: the UTF-8 bytes of a str.
int set_text(PyObject* self, PyObject* text, PyObject* media_type) noexcept {
  if (!PyUnicode_Check(text)) {
    PyErr_Format(PyExc_TypeError, "expected a str, not %.200s", Py_TYPE(text)->tp_name);
    return -1;
  }
  Ref body = Ref::steal(PyUnicode_AsUTF8String(text));
  if (!body) return -1;
  Content* c = as_content(self);
  c->length = PyBytes_GET_SIZE(body.get());
  c->body = std::move(body);
  c->type = Ref::borrow(media_type);
  return 0;
}
// TextContent(text)
int TextInit::setup(PyObject* self, PyObject* const* bound) noexcept { return set_text(self, bound[0], k_text_plain); }
// HTMLContent(html)
int HTMLInit::setup(PyObject* self, PyObject* const* bound) noexcept { return set_text(self, bound[0], k_text_html); }
// JSONContent(data, dumps=json.dumps): the body is dumps(data), encoded as
// UTF-8 when it is a str (a dumps that gives bytes is used as it is).
int JSONInit::setup(PyObject* self, PyObject* const* bound) noexcept {
  PyObject *data = bound[0], *dumps = bound[1];
  Ref text = Ref::steal(PyObject_CallOneArg(dumps, data));
  if (!text) return -1;
  if (PyUnicode_Check(text.get())) {
    text = Ref::steal(PyUnicode_AsUTF8String(text.get()));
    if (!text) return -1;
  } else if (!PyBytes_Check(text.get())) {
    PyErr_Format(PyExc_TypeError, "dumps() must return str or bytes, not %.200s", Py_TYPE(text.get())->tp_name);
    return -1;
  }
  Content* c = as_content(self);
  c->length = PyBytes_GET_SIZE(text.get());
  c->body = std::move(text);
  c->type = Ref::borrow(k_application_json);
  return 0;
}
// One name or value of a form: a str (as UTF-8), bytes, or anything else by
// its str().
bool form_text(PyObject* value, Ref& holder, std::string_view& out) noexcept {
  if (PyBytes_Check(value)) {
    out = std::string_view(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
    return true;
  }
  holder = Ref::steal(PyUnicode_Check(value) ? mf::new_ref(value) : PyObject_Str(value));
  return holder && mf::percent::view_of(holder.get(), out, "a form value");
}
// FormContent(data): a dict, or an iterable of (name, value) pairs.
int FormInit::setup(PyObject* self, PyObject* const* bound) {
  PyObject* data = bound[0];
  Ref pairs = Ref::steal(PyDict_Check(data) ? PyDict_Items(data) : PySequence_List(data));
  if (!pairs) return -1;
  std::string out;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
    Ref pair = Ref::steal(PySequence_Tuple(PyList_GET_ITEM(pairs.get(), i)));
    if (!pair) return -1;
    if (PyTuple_GET_SIZE(pair.get()) != 2) {
      PyErr_SetString(PyExc_ValueError, "form data items must be (name, value) pairs");
      return -1;
    }
    Ref name_holder, value_holder;
    std::string_view name, value;
    if (!form_text(PyTuple_GET_ITEM(pair.get(), 0), name_holder, name) ||
        !form_text(PyTuple_GET_ITEM(pair.get(), 1), value_holder, value))
      return -1;
    if (!out.empty()) out.push_back('&');
    mf::percent::encode(name, mf::percent::form_safe, true, out);
    out.push_back('=');
    mf::percent::encode(value, mf::percent::form_safe, true, out);
  }
  Ref body = mf::percent::bytes_from(out);
  if (!body) return -1;
  Content* c = as_content(self);
  c->length = PyBytes_GET_SIZE(body.get());
  c->body = std::move(body);
  c->type = Ref::borrow(k_form_urlencoded);
  return 0;
}

// --- form parts and multipart bodies -------------------------------------------------

bool check_type(PyObject* value, PyTypeObject* type, const char* what) noexcept {
  if (PyObject_TypeCheck(value, type)) return true;
  PyErr_Format(PyExc_TypeError, "%s must be %s, not %.200s", what, type->tp_name, Py_TYPE(value)->tp_name);
  return false;
}

// FormPart(name: bytes, data: bytes)
int FormPartInit::setup(PyObject* self, PyObject* const* bound) noexcept {
  PyObject *name = bound[0], *data = bound[1];
  if (!check_type(name, &PyBytes_Type, "name") || !check_type(data, &PyBytes_Type, "data")) return -1;
  reinterpret_cast<FormPart*>(self)->name = Ref::borrow(name);
  reinterpret_cast<FormPart*>(self)->data = Ref::borrow(data);
  return 0;
}

// FileBuffer(name: str, data: bytes)
int FileBufferInit::setup(PyObject* self, PyObject* const* bound) noexcept {
  PyObject *name = bound[0], *data = bound[1];
  if (!check_type(name, &PyUnicode_Type, "name") || !check_type(data, &PyBytes_Type, "data")) return -1;
  reinterpret_cast<FileBuffer*>(self)->name = Ref::borrow(name);
  reinterpret_cast<FileBuffer*>(self)->data = Ref::borrow(data);
  return 0;
}

// StreamedFormPart(name: bytes, data_provider)
int StreamedPartInit::setup(PyObject* self, PyObject* const* bound) noexcept {
  PyObject *name = bound[0], *provider = bound[1];
  if (!check_type(name, &PyBytes_Type, "name") || !is_callable(provider, "data_provider")) return -1;
  reinterpret_cast<StreamedFormPart*>(self)->name = Ref::borrow(name);
  reinterpret_cast<StreamedFormPart*>(self)->data_provider = Ref::borrow(provider);
  return 0;
}

// 32 random hex digits after a fixed prefix: 45 characters, within the limit
// of 70. The system's entropy (getentropy, which a wheel's oldest supported
// C library has); should it fail, a counter mixed with the clock still gives
// a boundary that the caller checks against every part.
std::string random_boundary() {
  static constexpr char digits[] = "0123456789abcdef";
  unsigned char bytes[16];
  if (getentropy(bytes, sizeof bytes) != 0) {
    static std::uint64_t counter = 0;
    std::uint64_t mix = ++counter * 0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(std::time(nullptr));
    for (unsigned char& b : bytes) {
      mix = mix * 6364136223846793005ull + 1442695040888963407ull;
      b = static_cast<unsigned char>(mix >> 56);
    }
  }
  std::string boundary = "----morrowfen";
  for (unsigned char b : bytes) {
    boundary.push_back(digits[b >> 4]);
    boundary.push_back(digits[b & 15]);
  }
  return boundary;
}

// A field name inside a quoted Content-Disposition parameter: '"', CR and
// LF are percent-escaped, as browsers do.
void append_quoted_name(std::string& out, std::string_view name) {
  for (char c : name) {
    if (c == '"') out.append("%22");
    else if (c == '\r') out.append("%0D");
    else if (c == '\n') out.append("%0A");
    else out.push_back(c);
  }
}

// MultiPartFormData(parts): a multipart/form-data body made of FormPart
// objects, with a random boundary that none of the parts contains.
int MultiPartInit::setup(PyObject* self, PyObject* const* bound) {
  PyObject* parts = bound[0];
  Ref list = Ref::steal(PySequence_List(parts));
  if (!list) return -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject* part = PyList_GET_ITEM(list.get(), i);
    if (!PyObject_TypeCheck(part, &FormPartType)) {
      PyErr_Format(PyExc_TypeError, "MultiPartFormData parts must be FormPart objects, not %.200s",
                   Py_TYPE(part)->tp_name);
      return -1;
    }
    auto* p = reinterpret_cast<FormPart*>(part);
    if (!check_type(p->name.get(), &PyBytes_Type, "FormPart.name") ||
        !check_type(p->data.get(), &PyBytes_Type, "FormPart.data"))
      return -1;
  }
  std::string body;
  std::string boundary;
  for (;;) {
    boundary = random_boundary();
    bool clash = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()) && !clash; ++i) {
      auto* p = reinterpret_cast<FormPart*>(PyList_GET_ITEM(list.get(), i));
      std::string_view data(PyBytes_AS_STRING(p->data.get()),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(p->data.get())));
      clash = data.find(boundary) != std::string_view::npos;
    }
    if (!clash) break;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    auto* p = reinterpret_cast<FormPart*>(PyList_GET_ITEM(list.get(), i));
    body.append("--").append(boundary).append("\r\nContent-Disposition: form-data; name=\"");
    append_quoted_name(body, std::string_view(PyBytes_AS_STRING(p->name.get()),
                                              static_cast<std::size_t>(PyBytes_GET_SIZE(p->name.get()))));
    body.append("\"\r\n\r\n");
    body.append(PyBytes_AS_STRING(p->data.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(p->data.get())));
    body.append("\r\n");
  }
  body.append("--").append(boundary).append("--\r\n");
  Ref body_bytes = mf::percent::bytes_from(body);
  Ref boundary_bytes = mf::percent::bytes_from(boundary);
  Ref type = Ref::steal(PyBytes_FromFormat("multipart/form-data; boundary=%s", boundary.c_str()));
  if (!body_bytes || !boundary_bytes || !type) return -1;
  auto* m = reinterpret_cast<MultiPartFormData*>(self);
  m->base.length = PyBytes_GET_SIZE(body_bytes.get());
  m->base.body = std::move(body_bytes);
  m->base.type = std::move(type);
  m->parts = std::move(list);
  m->boundary = std::move(boundary_bytes);
  return 0;
}

// --- parse_www_form_urlencoded ------------------------------------------------------

// name=value pairs into a dict: a str value, or a list of them when the name
// repeats. May throw std::bad_alloc (percent::for_each_pair).
PyObject* parse_www_form_urlencoded_impl(PyObject* text) {
  if (!text || !PyUnicode_Check(text)) {
    PyErr_Format(PyExc_TypeError, "expected a str, not %.200s", text ? Py_TYPE(text)->tp_name : "NULL");
    return nullptr;
  }
  std::string_view view;
  if (!mf::percent::view_of(text, view, "text")) return nullptr;
  Ref result = Ref::steal(PyDict_New());
  if (!result) return nullptr;
  int status = mf::percent::for_each_pair(view, [&](Ref name, Ref value) -> int {
    PyObject* existing = nullptr;
    if (PyDict_GetItemRef(result.get(), name.get(), &existing) < 0) return -1;
    Ref held = Ref::steal(existing);
    if (!held) return PyDict_SetItem(result.get(), name.get(), value.get());
    if (PyList_CheckExact(held.get())) return PyList_Append(held.get(), value.get());
    Ref both = Ref::steal(PyList_New(0));
    if (!both || PyList_Append(both.get(), held.get()) < 0 || PyList_Append(both.get(), value.get()) < 0) return -1;
    return PyDict_SetItem(result.get(), name.get(), both.get());
  });
  return status < 0 ? nullptr : result.release();
}

PyObject* parse_www_form_urlencoded_py(PyObject*, PyObject* text) { return parse_www_form_urlencoded(text); }

}  // namespace mf::contents::impl
