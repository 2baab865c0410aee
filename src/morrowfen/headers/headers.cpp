// morrowfen.headers: Header, one (name, value) pair, and Headers, a list of
// pairs with lookups that ignore ASCII letter case in names.
#include <array>
#include <cstddef>
#include <string_view>

#include "../framework_types/constructors.h"
#include "../framework_types/headers.h"
#include "../runtime/capi.h"
#include "../runtime/constants.h"
#include "../runtime/module_def.h"
#include "../runtime/type_support.h"
#include "../runtime/types.h"
#include "../wire/header_list.h"

namespace {

using mf::Ref;
using mf::headers::Header;
using mf::headers::Headers;
using mf::headers::HeadersVTable;
namespace sup = mf::support;
namespace hl = mf::header_list;

const mf::Str k_get{"get"};
const mf::Str k_get_first{"get_first"};
const mf::Str k_add{"add"};
const mf::Str k_set{"set"};
const mf::Str k_remove{"remove"};

PyTypeObject HeaderType = mf::static_type();
PyTypeObject HeadersType = mf::static_type();

// --- Header -------------------------------------------------------------------

constexpr std::array<std::size_t, 2> header_refs = {offsetof(Header, name), offsetof(Header, value)};

Header* as_header(PyObject* o) noexcept { return reinterpret_cast<Header*>(o); }

PyObject* header_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (self) sup::fill_none<header_refs>(self.get());
  return self.release();
}

// Header(name, value)
struct HeaderInit {
  static constexpr const char* name = "Header";
  static constexpr mf::InitParam params[] = {{"name"}, {"value"}};
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};

int HeaderInit::setup(PyObject* self, PyObject* const* bound) noexcept {
  PyObject *name = bound[0], *value = bound[1];
  if (!hl::check_pair(name, value)) return -1;
  as_header(self)->name = Ref::borrow(name);
  as_header(self)->value = Ref::borrow(value);
  return 0;
}

PyObject* header_repr(PyObject* self) {
  // Held: the repr of one field may run code that replaces the other.
  Header* h = as_header(self);
  Ref name = h->name ? h->name.copy() : Ref::none();
  Ref value = h->value ? h->value.copy() : Ref::none();
  return PyUnicode_FromFormat("Header(%R, %R)", name.get(), value.get());
}

PyGetSetDef header_getset[] = {
    sup::object_field("name", offsetof(Header, name), "The header name (bytes)."),
    sup::object_field("value", offsetof(Header, value), "The header value (bytes)."),
    sup::getset_end,
};

// --- Headers --------------------------------------------------------------

constexpr std::array<std::size_t, 1> headers_refs = {offsetof(Headers, values)};

Headers* as_headers(PyObject* o) noexcept { return reinterpret_cast<Headers*>(o); }

// The list of pairs; a new empty one when the field holds None. Held: removing
// or replacing an item releases it, and a finalizer it runs may replace the
// field meanwhile.
Ref values_list(Headers* self, bool create) noexcept {
  PyObject* values = self->values.get();
  if (values && PyList_Check(values)) return Ref::borrow(values);
  if (!values || values == Py_None) {
    if (!create) return {};
    Ref fresh = Ref::steal(PyList_New(0));
    if (!fresh) return {};
    self->values = fresh.copy();
    return fresh;
  }
  PyErr_Format(PyExc_TypeError, "Headers.values must be a list, not %.200s", Py_TYPE(values)->tp_name);
  return {};
}

// The natives (their Python and C faces come from runtime/type_support.h).
PyObject* get_impl(Headers* self, PyObject* name) noexcept {
  std::string_view wanted;
  if (!hl::name_view(name, wanted)) return nullptr;
  Ref list = values_list(self, false);
  if (!list) return PyErr_Occurred() ? nullptr : PyTuple_New(0);
  Ref found = hl::values(list.get(), wanted);
  return found ? PyList_AsTuple(found.get()) : nullptr;
}

PyObject* get_first_impl(Headers* self, PyObject* name) noexcept {
  std::string_view wanted;
  if (!hl::name_view(name, wanted)) return nullptr;
  Ref list = values_list(self, false);
  if (!list) return PyErr_Occurred() ? nullptr : mf::new_ref(Py_None);
  bool failed = false;
  PyObject* value = hl::first(list.get(), wanted, failed);
  if (failed) return nullptr;
  return mf::new_ref(value ? value : Py_None);
}

int add_impl(Headers* self, PyObject* name, PyObject* value) noexcept {
  if (!hl::check_pair(name, value)) return -1;
  Ref list = values_list(self, true);
  if (!list) return -1;
  Ref pair = hl::make_pair(name, value);
  return pair ? PyList_Append(list.get(), pair.get()) : -1;
}

int set_impl(Headers* self, PyObject* name, PyObject* value) noexcept {
  if (!hl::check_pair(name, value)) return -1;
  Ref list = values_list(self, true);
  return list ? hl::set(list.get(), name, value) : -1;
}

int remove_impl(Headers* self, PyObject* name) noexcept {
  std::string_view wanted;
  if (!hl::name_view(name, wanted)) return -1;
  Ref list = values_list(self, false);
  if (!list) return PyErr_Occurred() ? -1 : 0;
  return hl::remove(list.get(), wanted) < 0 ? -1 : 0;
}

// The C-level table: each entry honours a Python-level replacement.
const HeadersVTable headers_vtable = {
    sup::c_object<get_impl, k_get, PyObject*>,
    sup::c_object<get_first_impl, k_get_first, PyObject*>,
    sup::c_status<add_impl, k_add, PyObject*, PyObject*>,
    sup::c_status<set_impl, k_set, PyObject*, PyObject*>,
    sup::c_status<remove_impl, k_remove, PyObject*>,
};

PyObject* headers_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  as_headers(self.get())->vtab = &headers_vtable;
  sup::fill_none<headers_refs>(self.get());
  return self.release();
}

// Headers(values=None): a list of (name, value) pairs of bytes, copied.
struct HeadersInit {
  static constexpr const char* name = "Headers";
  static constexpr mf::InitParam params[] = {{"values", &mf::none_default, false}};
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};

int HeadersInit::setup(PyObject* self, PyObject* const* bound) noexcept {
  PyObject* values = bound[0];
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return -1;
  if (values && values != Py_None) {
    Ref iter = Ref::steal(PyObject_GetIter(values));
    if (!iter) return -1;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
      Ref seq = Ref::steal(PySequence_Tuple(item.get()));
      if (!seq) return -1;
      PyObject* name = nullptr;
      PyObject* value = nullptr;
      if (!hl::split_item(seq.get(), name, value) || !hl::check_pair(name, value)) return -1;
      if (PyList_Append(list.get(), seq.get()) < 0) return -1;
    }
    if (PyErr_Occurred()) return -1;
  }
  as_headers(self)->values = std::move(list);
  return 0;
}

Py_ssize_t headers_len(PyObject* self) {
  Ref list = values_list(as_headers(self), false);
  if (!list) return PyErr_Occurred() ? -1 : 0;
  return PyList_GET_SIZE(list.get());
}

PyObject* headers_iter(PyObject* self) {
  Ref list = values_list(as_headers(self), true);
  return list ? PyObject_GetIter(list.get()) : nullptr;
}

int headers_contains(PyObject* self, PyObject* name) {
  std::string_view wanted;
  if (!hl::name_view(name, wanted)) return -1;
  Ref list = values_list(as_headers(self), false);
  if (!list) return PyErr_Occurred() ? -1 : 0;
  bool failed = false;
  PyObject* value = hl::first(list.get(), wanted, failed);
  return failed ? -1 : value != nullptr;
}

PyObject* headers_repr(PyObject* self) {
  const Ref& values = as_headers(self)->values;
  return PyUnicode_FromFormat("Headers(%R)", values ? values.get() : Py_None);
}

PySequenceMethods headers_as_sequence = {
    headers_len, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, headers_contains, nullptr, nullptr,
};

PyGetSetDef headers_getset[] = {
    sup::object_field("values", offsetof(Headers, values), "The (name, value) pairs (a list)."),
    sup::getset_end,
};

PyMethodDef headers_methods[] = {
    {"get", sup::py_object<get_impl, k_get>(), METH_O,
     "get(name)\n\nThe values of the headers named `name`, as a tuple."},
    {"get_first", sup::py_object<get_first_impl, k_get_first>(), METH_O,
     "get_first(name)\n\nThe first value of the headers named `name`, or None."},
    {"add", sup::py_status<add_impl, k_add>(), METH_FASTCALL, "add(name, value)\n\nAppends a header."},
    {"set", sup::py_status<set_impl, k_set>(), METH_FASTCALL,
     "set(name, value)\n\nReplaces the headers named `name` by one with this value."},
    {"remove", sup::py_status<remove_impl, k_remove>(), METH_O, "remove(name)\n\nRemoves the headers named `name`."},
    {nullptr, nullptr, 0, nullptr},
};

bool types_ready = false;

int ready_types() {
  if (types_ready) return 0;
  sup::gc_slots<header_refs>(HeaderType);
  HeaderType.tp_name = "morrowfen.headers.Header";
  HeaderType.tp_doc = mf::ctor::doc<HeaderInit>(HeaderType.tp_name, "Header(name: bytes, value: bytes)");
  if (!HeaderType.tp_doc) return -1;
  HeaderType.tp_basicsize = sizeof(Header);
  HeaderType.tp_new = header_new;
  HeaderType.tp_init = mf::ctor::init<HeaderInit>;
  HeaderType.tp_repr = header_repr;
  HeaderType.tp_getset = header_getset;

  sup::gc_slots<headers_refs>(HeadersType);
  HeadersType.tp_name = "morrowfen.headers.Headers";
  HeadersType.tp_doc =
      mf::ctor::doc<HeadersInit>(HeadersType.tp_name, "Headers(values: list[tuple[bytes, bytes]] | None = None)");
  if (!HeadersType.tp_doc) return -1;
  HeadersType.tp_basicsize = sizeof(Headers);
  HeadersType.tp_new = headers_new;
  HeadersType.tp_init = mf::ctor::init<HeadersInit>;
  HeadersType.tp_repr = headers_repr;
  HeadersType.tp_iter = headers_iter;
  HeadersType.tp_as_sequence = &headers_as_sequence;
  HeadersType.tp_getset = headers_getset;
  HeadersType.tp_methods = headers_methods;
  if (PyType_Ready(&HeaderType) < 0 || PyType_Ready(&HeadersType) < 0) return -1;
  types_ready = true;
  return 0;
}

int exec(PyObject* module) {
  if (mf::create_constants() < 0 || ready_types() < 0) return -1;
  return mf::publish(module, {{&HeaderType}, {&HeadersType, &headers_vtable}});
}

mf::ModuleDef module_def{"morrowfen.headers", "HTTP header collections.", exec};

}  // namespace

PyMODINIT_FUNC PyInit_headers() { return module_def.init(); }
