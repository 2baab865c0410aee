// Message: the headers and body common to requests and responses. Its header
// API is written once as natives; the runtime makes their Python faces and
// the entries of the C-level table, which honour a Python subclass's
// replacement of the method.
#include "messages_module.h"

namespace mf::messages::impl {

// --- the header list -------------------------------------------------------------

// The message's list, or empty: without an exception when it has none
// (None), with TypeError when the field holds something else. Held: removing
// or replacing an item releases it, and a finalizer it runs may replace the
// message's list meanwhile.
Ref header_list(Message* m) noexcept {
  if (ready(m, part_headers) < 0) return {};
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

// The values of one header of a request whose headers are not made yet, from
// its intake: an empty Ref without an exception when the intake cannot tell.
Ref intake_values(Message* m, std::string_view wanted, bool first) noexcept {
  Request* r = pending_request(m, part_headers);
  if (!r || !r->intake->values || wanted.size() > 64 || !mf::wire::valid_name(wanted)) return {};
  char lower[64];
  for (std::size_t i = 0; i < wanted.size(); ++i) lower[i] = static_cast<char>(hl::ascii_lower(wanted[i]));
  return r->intake->values(r, lower, static_cast<Py_ssize_t>(wanted.size()), first);
}

PyObject* get_headers_impl(Message* self, PyObject* name) noexcept {
  std::string_view wanted;
  if (!hl::name_view(name, wanted)) return nullptr;
  if (Ref found = intake_values(self, wanted, false)) return found.release();
  if (PyErr_Occurred()) return nullptr;
  Ref list = header_list(self);
  if (!list) return PyErr_Occurred() ? nullptr : PyList_New(0);
  return hl::values(list.get(), wanted).release();
}

PyObject* get_first_header_impl(Message* self, PyObject* name) noexcept {
  std::string_view wanted;
  if (!hl::name_view(name, wanted)) return nullptr;
  if (Ref found = intake_values(self, wanted, true)) return found.release();
  if (PyErr_Occurred()) return nullptr;
  Ref list = header_list(self);
  if (!list) return PyErr_Occurred() ? nullptr : mf::new_ref(Py_None);
  bool failed = false;
  PyObject* value = hl::first(list.get(), wanted, failed);
  return failed ? nullptr : mf::new_ref(value ? value : Py_None);
}

PyObject* get_single_header_impl(Message* self, PyObject* name) noexcept {
  Ref values = Ref::steal(get_headers_impl(self, name));
  if (!values) return nullptr;
  if (PyList_GET_SIZE(values.get()) != 1) {
    PyErr_Format(PyExc_ValueError, "expected exactly one %R header, found %zd", name, PyList_GET_SIZE(values.get()));
    return nullptr;
  }
  return mf::new_ref(PyList_GET_ITEM(values.get(), 0));
}

int remove_header_impl(Message* self, PyObject* name) noexcept {
  std::string_view wanted;
  if (!hl::name_view(name, wanted)) return -1;
  Ref list = header_list(self);
  if (!list) return PyErr_Occurred() ? -1 : 0;
  return hl::remove(list.get(), wanted) < 0 ? -1 : 0;
}

int has_header_impl(Message* self, PyObject* name) noexcept {
  std::string_view wanted;
  if (!hl::name_view(name, wanted)) return -1;
  if (Ref found = intake_values(self, wanted, true)) return !found.is_none();
  if (PyErr_Occurred()) return -1;
  Ref list = header_list(self);
  if (!list) return PyErr_Occurred() ? -1 : 0;
  bool failed = false;
  PyObject* value = hl::first(list.get(), wanted, failed);
  return failed ? -1 : value != nullptr;
}

// Appends (name, value). Names and values must be bytes, names tokens, and
// values free of CR, LF and NUL: a header list goes to the wire as it is.
void add_header_pair_impl(Message* self, PyObject* name, PyObject* value) noexcept {
  if (!hl::check_pair(name, value)) return;
  Ref list = writable_list(self);
  if (!list) return;
  Ref pair = hl::make_pair(name, value);
  if (pair) PyList_Append(list.get(), pair.get());
}

int add_header_if_missing_impl(Message* self, PyObject* name, PyObject* value) noexcept {
  if (!hl::check_pair(name, value)) return -1;
  int present = has_header_impl(self, name);
  if (present != 0) return present < 0 ? -1 : 0;
  add_header_pair_impl(self, name, value);
  return PyErr_Occurred() ? -1 : 1;
}

int add_header_impl(Message* self, PyObject* name, PyObject* value) noexcept {
  add_header_pair_impl(self, name, value);
  return PyErr_Occurred() ? -1 : 0;
}

int set_header_impl(Message* self, PyObject* name, PyObject* value) noexcept {
  if (!hl::check_pair(name, value)) return -1;
  Ref list = writable_list(self);
  return list ? hl::set(list.get(), name, value) : -1;
}

// The Content-Type header, or else the content's own type.
PyObject* content_type_impl(Message* self) noexcept {
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
  if (ready(self, part_content) < 0) return nullptr;
  PyObject* content = self->content.get();
  if (content && is_content(content)) {
    const Ref& type = reinterpret_cast<mf::contents::Content*>(content)->type;
    if (type) return mf::new_ref(type.get());
  }
  return mf::new_ref(Py_None);
}

int remove_headers_impl(Message* self, PyObject* names) noexcept {
  Ref iter = Ref::steal(PyObject_GetIter(names));
  if (!iter) return -1;
  while (Ref name = Ref::steal(PyIter_Next(iter.get()))) {
    if (remove_header_impl(self, name.get()) < 0) return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

PyObject* get_headers_tuples_impl(Message* self, PyObject* name) noexcept {
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

int message_init_prop_impl(Message*) noexcept { return 0; }

// A request drops its parsed query and cookies, to parse them again.
int request_init_prop_impl(Message* self) noexcept {
  auto* r = reinterpret_cast<Request*>(self);
  r->query = Ref::none();
  r->cookies = Ref::none();
  return 0;
}

bool content_or_none(PyObject* content) noexcept {
  if (content == Py_None || is_content(content)) return true;
  PyErr_Format(PyExc_TypeError, "content must be a Content or None, not %.200s", Py_TYPE(content)->tp_name);
  return false;
}

PyObject* with_content_impl(Message* self, PyObject* content) noexcept {
  if (!content_or_none(content)) return nullptr;
  forget_part(self, part_content);
  self->content = Ref::borrow(content);
  return mf::new_ref(obj(self));
}

// Whether the message has a body: a content whose length is not 0 (a
// negative length is a body of unknown length).
int has_body_impl(Message* self) noexcept {
  if (ready(self, part_content) < 0) return -1;
  Ref content = self->content.copy();  // held across a foreign object's __bool__
  if (!content || content.is_none()) return 0;
  if (is_content(content.get())) return content.as<mf::contents::Content>()->length != 0;
  return PyObject_IsTrue(content.get());
}

// The media type of a content type, without parameters.
std::string_view media_type(std::string_view content_type) noexcept {
  return mf::wire::trim_blanks(content_type.substr(0, content_type.find(';')));
}

// Calls `test(media type)` with the message's media type; 0 when it has none.
template <class Test>
int test_media_type(Message* self, Test test) noexcept {
  Ref type = Ref::steal(content_type_impl(self));
  if (!type) return -1;
  if (!PyBytes_Check(type.get())) return 0;
  return test(media_type(mf::wire::bytes_view(type.get())));
}

bool ends_with_ci(std::string_view s, std::string_view suffix) noexcept {
  return s.size() >= suffix.size() && hl::same_name(s.substr(s.size() - suffix.size()), suffix);
}

int declares_content_type_impl(Message* self, PyObject* type) noexcept {
  std::string_view wanted;
  if (!hl::name_view(type, wanted)) return -1;
  wanted = media_type(wanted);
  return test_media_type(self, [&](std::string_view media) { return hl::same_name(media, wanted) ? 1 : 0; });
}

int declares_json_impl(Message* self) noexcept {
  return test_media_type(self, [](std::string_view media) {
    return hl::same_name(media, "application/json") || ends_with_ci(media, "+json") ? 1 : 0;
  });
}

int declares_xml_impl(Message* self) noexcept {
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
PyObject* add_header_pair_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!sup::check_count("_add_header", nargs, 2)) return nullptr;
  add_header_pair_impl(as_message(self), args[0], args[1]);
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}
void add_header_pair(Message* self, PyObject* a, PyObject* b) {
  if (auto r = sup::call_override(obj(self), k__add_header, mf::as_cfunction(add_header_pair_py), a, b)) return;
  add_header_pair_impl(self, a, b);
}

constexpr MessageVTable make_table(int (*init_prop)(Message*)) {
  return {
      c_object<get_headers_impl, k_get_headers, PyObject*>,
      c_object<get_first_header_impl, k_get_first_header, PyObject*>,
      c_object<get_single_header_impl, k_get_single_header, PyObject*>,
      c_status<remove_header_impl, k_remove_header, PyObject*>,
      c_predicate<has_header_impl, k__has_header, PyObject*>,
      c_predicate<has_header_impl, k_has_header, PyObject*>,
      add_header_pair,
      c_predicate<add_header_if_missing_impl, k__add_header_if_missing, PyObject*, PyObject*>,
      c_status<add_header_impl, k_add_header, PyObject*, PyObject*>,
      c_status<set_header_impl, k_set_header, PyObject*, PyObject*>,
      c_object<content_type_impl, k_content_type>,
      c_status<remove_headers_impl, k_remove_headers, PyObject*>,
      c_object<get_headers_tuples_impl, k_get_headers_tuples, PyObject*>,
      init_prop,
      c_object<with_content_impl, k_with_content, PyObject*>,
      c_predicate<has_body_impl, k_has_body>,
      c_predicate<declares_content_type_impl, k_declares_content_type, PyObject*>,
      c_predicate<declares_json_impl, k_declares_json>,
      c_predicate<declares_xml_impl, k_declares_xml>,
  };
}

constexpr MessageVTable message_vtable = make_table(c_status<message_init_prop_impl, k_init_prop>);
constexpr MessageVTable request_vtable = make_table(c_status<request_init_prop_impl, k_init_prop>);
constexpr MessageVTable response_vtable = make_table(c_status<message_init_prop_impl, k_init_prop>);

// Message(headers=None, content=None)
int MessageInit::setup(PyObject* self, PyObject* const* bound) noexcept {
  PyObject *headers = bound[0], *content = bound[1];
  if (!list_or_none(headers, "headers") || !content_or_none(content)) return -1;
  forget_part(as_message(self), part_headers | part_content);
  as_message(self)->raw_headers = Ref::borrow(headers);
  as_message(self)->content = Ref::borrow(content);
  return 0;
}

PyMethodDef message_methods[] = {
    {"get_headers", py_object<get_headers_impl, k_get_headers>(), METH_O,
     "get_headers(name)\n\nThe values of the headers named `name`."},
    {"get_first_header", py_object<get_first_header_impl, k_get_first_header>(), METH_O,
     "get_first_header(name)\n\nThe first value of the headers named `name`, or None."},
    {"get_single_header", py_object<get_single_header_impl, k_get_single_header>(), METH_O,
     "get_single_header(name)\n\nThe value of the one header named `name` (ValueError unless exactly one)."},
    {"remove_header", py_status<remove_header_impl, k_remove_header>(), METH_O,
     "remove_header(name)\n\nRemoves the headers named `name`."},
    {"_has_header", py_predicate<has_header_impl, k__has_header>(), METH_O, nullptr},
    {"has_header", py_predicate<has_header_impl, k_has_header>(), METH_O,
     "has_header(name)\n\nWhether a header named `name` is present."},
    {"_add_header", mf::as_cfunction(add_header_pair_py), METH_FASTCALL, nullptr},
    {"_add_header_if_missing", py_predicate<add_header_if_missing_impl, k__add_header_if_missing>(), METH_FASTCALL,
     nullptr},
    {"add_header", py_status<add_header_impl, k_add_header>(), METH_FASTCALL,
     "add_header(name, value)\n\nAppends a header."},
    {"set_header", py_status<set_header_impl, k_set_header>(), METH_FASTCALL,
     "set_header(name, value)\n\nReplaces the headers named `name` by one with this value."},
    {"content_type", py_object<content_type_impl, k_content_type>(), METH_NOARGS,
     "content_type()\n\nThe Content-Type header, else the content's type, else None."},
    {"remove_headers", py_status<remove_headers_impl, k_remove_headers>(), METH_O,
     "remove_headers(names)\n\nRemoves the headers of each name."},
    {"get_headers_tuples", py_object<get_headers_tuples_impl, k_get_headers_tuples>(), METH_O,
     "get_headers_tuples(name)\n\nThe (name, value) pairs of the headers named `name`."},
    {"init_prop", py_status<message_init_prop_impl, k_init_prop>(), METH_NOARGS,
     "init_prop()\n\nDrops values derived from the headers, to compute them again."},
    {"with_content", py_object<with_content_impl, k_with_content>(), METH_O,
     "with_content(content)\n\nSets the content and returns the message."},
    {"has_body", py_predicate<has_body_impl, k_has_body>(), METH_NOARGS,
     "has_body()\n\nWhether the message has a non-empty body."},
    {"declares_content_type", py_predicate<declares_content_type_impl, k_declares_content_type>(), METH_O,
     "declares_content_type(type)\n\nWhether the media type is `type` (parameters ignored)."},
    {"declares_json", py_predicate<declares_json_impl, k_declares_json>(), METH_NOARGS,
     "declares_json()\n\nWhether the media type is JSON."},
    {"declares_xml", py_predicate<declares_xml_impl, k_declares_xml>(), METH_NOARGS,
     "declares_xml()\n\nWhether the media type is XML."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef message_getset[] = {
    part_field<part_headers>("_raw_headers", offsetof(Message, raw_headers),
                             "The (name, value) header pairs, or None."),
    part_field<part_content>("content", offsetof(Message, content), "The body (a Content), or None."),
    sup::getset_end,
};

}  // namespace mf::messages::impl
