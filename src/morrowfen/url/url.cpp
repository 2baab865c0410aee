// morrowfen.url: URL, a request target or absolute URL split into its path
// and query, with RFC 3986 reference resolution (join).
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "../framework_types/constructors.h"
#include "../framework_types/url.h"
#include "../runtime/capi.h"
#include "../runtime/constants.h"
#include "../runtime/errors.h"
#include "../runtime/module_def.h"
#include "../runtime/type_support.h"
#include "../runtime/types.h"
#include "../wire/percent.h"

namespace {

using mf::Ref;
using mf::url::URL;
using mf::url::URLVTable;
namespace sup = mf::support;

const mf::Str k_join{"join"};

PyTypeObject URLType = mf::static_type();

// --- splitting (RFC 3986, appendix B) --------------------------------------

struct Parts {
  std::string_view scheme, authority, path, query, fragment;
  bool has_scheme = false, has_authority = false, has_query = false, has_fragment = false;
};

bool scheme_char(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// Splits `s`. A "//" authority is recognised after a scheme, and also at the
// start when `bare_authority` is set (a reference such as "//host/x"); a
// request target such as "//a/b" is a path of its own.
Parts split(std::string_view s, bool bare_authority) noexcept {
  Parts p;
  std::string_view rest = s;
  if (!s.empty() && ((s[0] >= 'a' && s[0] <= 'z') || (s[0] >= 'A' && s[0] <= 'Z'))) {
    std::size_t j = 1;
    while (j < s.size() && scheme_char(s[j])) ++j;
    if (j < s.size() && s[j] == ':') {
      p.scheme = s.substr(0, j);
      p.has_scheme = true;
      rest = s.substr(j + 1);
    }
  }
  if ((p.has_scheme || bare_authority) && rest.substr(0, 2) == "//") {
    std::size_t end = rest.find_first_of("/?#", 2);
    if (end == std::string_view::npos) end = rest.size();
    p.authority = rest.substr(2, end - 2);
    p.has_authority = true;
    rest = rest.substr(end);
  }
  std::size_t hash = rest.find('#');
  if (hash != std::string_view::npos) {
    p.fragment = rest.substr(hash + 1);
    p.has_fragment = true;
    rest = rest.substr(0, hash);
  }
  std::size_t question = rest.find('?');
  if (question != std::string_view::npos) {
    p.query = rest.substr(question + 1);
    p.has_query = true;
    rest = rest.substr(0, question);
  }
  p.path = rest;
  return p;
}

// RFC 3986, 5.2.4.
std::string remove_dot_segments(std::string_view in) {
  std::string out;
  while (!in.empty()) {
    if (in.substr(0, 3) == "../") {
      in.remove_prefix(3);
    } else if (in.substr(0, 2) == "./") {
      in.remove_prefix(2);
    } else if (in.substr(0, 3) == "/./") {
      in.remove_prefix(2);
    } else if (in == "/.") {
      in = "/";
    } else if (in.substr(0, 4) == "/../" || in == "/..") {
      in = in.size() == 3 ? std::string_view("/") : in.substr(3);
      std::size_t last = out.rfind('/');
      out.erase(last == std::string::npos ? 0 : last);
    } else if (in == "." || in == "..") {
      in = {};
    } else {
      std::size_t next = in.find('/', in[0] == '/' ? 1 : 0);
      if (next == std::string_view::npos) next = in.size();
      out.append(in.substr(0, next));
      in.remove_prefix(next);
    }
  }
  return out;
}

// RFC 3986, 5.2.2 and 5.3: the target of `ref` resolved against `base`.
std::string resolve(std::string_view base_text, std::string_view ref_text) {
  Parts b = split(base_text, false);
  Parts r = split(ref_text, true);
  Parts t;
  std::string path;
  if (r.has_scheme) {
    t = r;
    path = remove_dot_segments(r.path);
  } else {
    if (r.has_authority) {
      t.authority = r.authority;
      t.has_authority = true;
      path = remove_dot_segments(r.path);
      t.query = r.query;
      t.has_query = r.has_query;
    } else {
      if (r.path.empty()) {
        path = b.path;
        t.query = r.has_query ? r.query : b.query;
        t.has_query = r.has_query || b.has_query;
      } else {
        if (r.path[0] == '/') {
          path = remove_dot_segments(r.path);
        } else {
          std::string merged;
          if (b.has_authority && b.path.empty()) {
            merged = "/";
          } else {
            std::size_t slash = b.path.rfind('/');
            if (slash != std::string_view::npos) merged = b.path.substr(0, slash + 1);
          }
          merged.append(r.path);
          path = remove_dot_segments(merged);
        }
        t.query = r.query;
        t.has_query = r.has_query;
      }
      t.authority = b.authority;
      t.has_authority = b.has_authority;
    }
    t.scheme = b.scheme;
    t.has_scheme = b.has_scheme;
  }
  t.fragment = r.fragment;
  t.has_fragment = r.has_fragment;

  std::string out;
  if (t.has_scheme) out.append(t.scheme).push_back(':');
  if (t.has_authority) out.append("//").append(t.authority);
  out.append(path);
  if (t.has_query) out.append("?").append(t.query);
  if (t.has_fragment) out.append("#").append(t.fragment);
  return out;
}

// --- the type ----------------------------------------------------------------

constexpr std::array<std::size_t, 3> url_refs = {offsetof(URL, value), offsetof(URL, path), offsetof(URL, query)};

URL* as_url(PyObject* o) noexcept { return reinterpret_cast<URL*>(o); }

// Fills the fields of `self` from `value` (bytes).
int assign(URL* self, PyObject* value) noexcept {
  if (!PyBytes_Check(value)) {
    PyErr_Format(PyExc_TypeError, "URL value must be bytes, not %.200s", Py_TYPE(value)->tp_name);
    return -1;
  }
  Parts p = split(mf::wire::bytes_view(value), false);
  // A value that is all path (a request's target without a query, say) is
  // its own path.
  Ref path = PyBytes_CheckExact(value) && p.path.size() == static_cast<std::size_t>(PyBytes_GET_SIZE(value))
                 ? Ref::borrow(value)
                 : mf::percent::bytes_from(p.path);
  Ref query = mf::percent::bytes_from(p.query);
  if (!path || !query) return -1;
  self->value = Ref::borrow(value);
  self->path = std::move(path);
  self->query = std::move(query);
  self->is_absolute = p.has_scheme;
  return 0;
}

extern const URLVTable url_vtable;

// Freed URLs, kept for the next ones (a server makes one per request).
constinit mf::FreeList<> url_free_list;

PyObject* url_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref self = Ref::steal(sup::alloc_kept<URLType, url_free_list>(type));
  if (!self) return nullptr;
  as_url(self.get())->vtab = &url_vtable;
  sup::fill_none<url_refs>(self.get());
  return self.release();
}

// URL(value)
struct URLInit {
  static constexpr const char* name = "URL";
  static constexpr mf::InitParam params[] = {{"value"}};
  static int setup(PyObject* self, PyObject* const* bound) noexcept { return assign(as_url(self), bound[0]); }
};

// A new URL (of the base type) for `value`.
Ref make_url(PyObject* value) noexcept {
  Ref self = Ref::steal(url_new(&URLType, nullptr, nullptr));
  if (!self || assign(as_url(self.get()), value) < 0) return {};
  return self;
}

// join(): the native, which may throw std::bad_alloc (resolve() builds
// std::strings); the native of its Python face, which also takes bytes; its C
// face. Both faces run under mf::guard().
PyObject* join_impl(URL* self, URL* other) {
  PyObject* base = self->value.get();
  PyObject* ref = other->value.get();
  if (!base || !PyBytes_Check(base) || !ref || !PyBytes_Check(ref)) {
    PyErr_SetString(PyExc_TypeError, "URL value must be bytes");
    return nullptr;
  }
  Ref joined = mf::percent::bytes_from(resolve(mf::wire::bytes_view(base), mf::wire::bytes_view(ref)));
  if (!joined) return nullptr;
  return make_url(joined.get()).release();
}

PyObject* join_url_or_bytes_impl(URL* self, PyObject* other) {
  if (PyObject_TypeCheck(other, &URLType)) return join_impl(self, as_url(other));
  if (PyBytes_Check(other)) {
    Ref converted = make_url(other);
    return converted ? join_impl(self, as_url(converted.get())) : nullptr;
  }
  PyErr_Format(PyExc_TypeError, "join() needs a URL or bytes, not %.200s", Py_TYPE(other)->tp_name);
  return nullptr;
}

PyObject* join(URL* self, URL* other) {
  if (auto result = sup::call_override(sup::as_object(self), k_join, sup::py_object<join_url_or_bytes_impl, k_join>(),
                                       sup::as_object(other)))
    return result->release();
  return join_impl(self, other);
}

constexpr URLVTable url_vtable = {mf::guarded<join>};

PyObject* url_repr(PyObject* self) {
  const Ref& value = as_url(self)->value;
  return PyUnicode_FromFormat("URL(%R)", value ? value.get() : Py_None);
}

PyGetSetDef url_getset[] = {
    sup::object_field("value", offsetof(URL, value), "The URL as given (bytes)."),
    sup::object_field("path", offsetof(URL, path), "The path (bytes)."),
    sup::object_field("query", offsetof(URL, query), "The query without '?' (bytes, empty when none)."),
    sup::flag_field("is_absolute", offsetof(URL, is_absolute), "Whether the URL has a scheme."),
    sup::getset_end,
};

PyMethodDef url_methods[] = {
    {"join", sup::py_object<join_url_or_bytes_impl, k_join>(), METH_O,
     "join(other)\n\nThe URL `other` (a URL or bytes) resolved against this one."},
    {nullptr, nullptr, 0, nullptr},
};

bool types_ready = false;

int ready_types() {
  if (types_ready) return 0;
  sup::gc_slots<url_refs>(URLType);
  URLType.tp_dealloc = sup::dealloc_kept<url_refs, URLType, url_free_list>;
  URLType.tp_name = "morrowfen.url.URL";
  URLType.tp_doc = mf::ctor::doc<URLInit>(URLType.tp_name, "URL(value: bytes)");
  if (!URLType.tp_doc) return -1;
  URLType.tp_basicsize = sizeof(URL);
  URLType.tp_new = url_new;
  URLType.tp_init = mf::ctor::init<URLInit>;
  URLType.tp_vectorcall = mf::ctor::vectorcall<URLInit, URLType>;  // every request makes one
  URLType.tp_repr = url_repr;
  URLType.tp_getset = url_getset;
  URLType.tp_methods = url_methods;
  if (PyType_Ready(&URLType) < 0) return -1;
  types_ready = true;
  return 0;
}

int exec(PyObject* module) {
  if (mf::create_constants() < 0 || ready_types() < 0) return -1;
  return mf::publish(module, {{&URLType, &url_vtable}});
}

mf::ModuleDef module_def{"morrowfen.url", "URL parsing and resolution.", exec};

}  // namespace

PyMODINIT_FUNC PyInit_url() { return module_def.init(); }
