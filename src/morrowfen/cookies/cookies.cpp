// morrowfen.cookies: the Cookie type, the Set-Cookie text of a cookie, the
// cookie date format, and the parsing of one pair of a Cookie header.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "../framework_types/constructors.h"
#include "../framework_types/cookies.h"
#include "../runtime/capi.h"
#include "../runtime/constants.h"
#include "../runtime/errors.h"
#include "../runtime/module_def.h"
#include "../runtime/type_support.h"
#include "../runtime/types.h"
#include "../wire/header_text.h"
#include "../wire/percent.h"

namespace {

using mf::Ref;
using mf::cookies::Cookie;
using mf::cookies::CookieVTable;
namespace sup = mf::support;

const mf::Str k_clone{"clone"};
const mf::Str k_utcoffset{"utcoffset"};
const mf::Str k_empty{""};

PyTypeObject CookieType = mf::static_type();

constexpr std::array<std::size_t, 6> cookie_refs = {offsetof(Cookie, name),    offsetof(Cookie, value),
                                                    offsetof(Cookie, expires), offsetof(Cookie, domain),
                                                    offsetof(Cookie, path),    offsetof(Cookie, same_site)};

Cookie* as_cookie(PyObject* o) noexcept { return reinterpret_cast<Cookie*>(o); }

extern const CookieVTable cookie_vtable;

// A new Cookie with every field at its default (name and value None).
PyObject* cookie_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  Cookie* c = as_cookie(self.get());
  c->vtab = &cookie_vtable;
  sup::fill_none<cookie_refs>(self.get());
  c->http_only = 0;
  c->secure = 0;
  c->max_age = -1;
  return self.release();
}

bool str_or_none(PyObject* value, const char* what) noexcept {
  if (value == Py_None || PyUnicode_Check(value)) return true;
  PyErr_Format(PyExc_TypeError, "%s must be a str or None, not %.200s", what, Py_TYPE(value)->tp_name);
  return false;
}

// The process state of the module.
struct CookiesState {
  Ref minus_one;  // the default of max_age, made at start-up
};
constinit mf::ProcessState<CookiesState> cookies_state;
constinit CookiesState& state = *cookies_state;

// Cookie(name, value, expires=None, domain=None, path=None, http_only=False,
//        secure=False, max_age=-1, same_site=None)
struct CookieInit {
  static constexpr const char* name = "Cookie";
  static constexpr mf::InitParam params[] = {
      {"name"},
      {"value"},
      {"expires", &mf::none_default, false},
      {"domain", &mf::none_default, false},
      {"path", &mf::none_default, false},
      {"http_only", &mf::false_default, false},
      {"secure", &mf::false_default, false},
      {"max_age", state.minus_one.slot(), false},
      {"same_site", &mf::none_default, false},
  };
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};

int CookieInit::setup(PyObject* self, PyObject* const* bound) noexcept {
  PyObject *name = bound[0], *value = bound[1], *expires = bound[2], *domain = bound[3], *path = bound[4];
  PyObject *http_only = bound[5], *secure = bound[6], *max_age = bound[7], *same_site = bound[8];
  if (!PyUnicode_Check(name) || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "cookie name and value must be str, not %.200s and %.200s", Py_TYPE(name)->tp_name,
                 Py_TYPE(value)->tp_name);
    return -1;
  }
  if (expires != Py_None && !PyDateTime_Check(expires)) {
    PyErr_Format(PyExc_TypeError, "expires must be a datetime or None, not %.200s", Py_TYPE(expires)->tp_name);
    return -1;
  }
  if (!str_or_none(domain, "domain") || !str_or_none(path, "path") || !str_or_none(same_site, "same_site")) return -1;
  int http_only_flag = PyObject_IsTrue(http_only);
  int secure_flag = http_only_flag < 0 ? -1 : PyObject_IsTrue(secure);
  if (secure_flag < 0) return -1;
  std::int64_t age = -1;
  if (max_age && max_age != Py_None && !sup::to_integer(max_age, age)) return -1;
  Cookie* c = as_cookie(self);
  c->name = Ref::borrow(name);
  c->value = Ref::borrow(value);
  c->expires = Ref::borrow(expires);
  c->domain = Ref::borrow(domain);
  c->path = Ref::borrow(path);
  c->http_only = http_only_flag;
  c->secure = secure_flag;
  c->max_age = age;
  c->same_site = Ref::borrow(same_site);
  return 0;
}

// --- clone ----------------------------------------------------------------

PyObject* clone_impl(Cookie* self) noexcept {
  Ref copy = Ref::steal(cookie_new(&CookieType, nullptr, nullptr));
  if (!copy) return nullptr;
  for (std::size_t offset : cookie_refs)
    sup::field<Ref>(copy.get(), offset) = sup::field<Ref>(sup::as_object(self), offset).copy();
  Cookie* c = as_cookie(copy.get());
  c->http_only = self->http_only;
  c->secure = self->secure;
  c->max_age = self->max_age;
  return copy.release();
}

const CookieVTable cookie_vtable = {sup::c_object<clone_impl, k_clone>};

// --- the cookie date format -------------------------------------------------

// Day of the week (0 = Sunday) of a proleptic Gregorian date.
int weekday(int y, int m, int d) noexcept {
  static constexpr int offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (m < 3) y -= 1;
  return (y + y / 4 - y / 100 + y / 400 + offsets[m - 1] + d) % 7;
}

// The datetime in UTC: an aware one is shifted by its offset, a naive one is
// taken as UTC already.
Ref in_utc(PyObject* dt) noexcept {
  PyObject* tz = PyDateTime_DATE_GET_TZINFO(dt);
  if (tz == Py_None) return Ref::borrow(dt);
  Ref offset = Ref::steal(PyObject_CallMethodNoArgs(dt, k_utcoffset));
  if (!offset) return {};
  if (offset.is_none()) return Ref::borrow(dt);
  Ref utc = Ref::steal(PyNumber_Subtract(dt, offset.get()));
  // A datetime subclass may answer the subtraction with anything: the fields
  // below are read from a datetime's own layout.
  if (utc && !PyDateTime_Check(utc.get())) {
    PyErr_Format(PyExc_TypeError, "a datetime minus its utcoffset() gave %.200s, not a datetime",
                 Py_TYPE(utc.get())->tp_name);
    return {};
  }
  return utc;
}

// "Wed, 21 Oct 2015 07:28:00 GMT"
PyObject* datetime_to_cookie_format(PyDateTime_DateTime* value, int /*flag*/) {
  PyObject* dt = reinterpret_cast<PyObject*>(value);
  if (!dt || !PyDateTime_Check(dt)) {
    PyErr_Format(PyExc_TypeError, "expected a datetime, not %.200s", dt ? Py_TYPE(dt)->tp_name : "NULL");
    return nullptr;
  }
  Ref utc = in_utc(dt);
  if (!utc) return nullptr;
  static constexpr const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  PyObject* u = utc.get();
  int y = PyDateTime_GET_YEAR(u), m = PyDateTime_GET_MONTH(u), d = PyDateTime_GET_DAY(u);
  char buffer[48];
  int n = std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[weekday(y, m, d)], d,
                        months[m - 1], y, PyDateTime_DATE_GET_HOUR(u), PyDateTime_DATE_GET_MINUTE(u),
                        PyDateTime_DATE_GET_SECOND(u));
  return PyBytes_FromStringAndSize(buffer, n);
}

// --- Set-Cookie -------------------------------------------------------------------

// RFC 6265 cookie-octet, with '%' also escaped so that parse_cookie's
// percent-decoding gives back exactly the value written.
bool is_cookie_octet(unsigned char c) noexcept {
  return c == 0x21 || (c >= 0x23 && c <= 0x2B && c != '%') || (c >= 0x2D && c <= 0x3A) || (c >= 0x3C && c <= 0x5B) ||
         (c >= 0x5D && c <= 0x7E);
}

bool utf8_of(PyObject* text, const char* what, std::string_view& out) noexcept {
  if (!PyUnicode_Check(text)) {
    PyErr_Format(PyExc_TypeError, "cookie %s must be a str, not %.200s", what, Py_TYPE(text)->tp_name);
    return false;
  }
  return mf::wire::utf8_view(text, out);
}

// Appends "; Label=text" for an attribute that is set (a non-empty str),
// refusing characters that would end the attribute or the header line, and
// any character beyond ASCII (a header carries bytes; a domain must be given
// in its ASCII form, a path percent-encoded).
bool append_attribute(std::string& out, const char* label, const Ref& field, const char* what) {
  if (!field || field.is_none()) return true;
  std::string_view text;
  if (!utf8_of(field.get(), what, text)) return false;
  if (text.empty()) return true;
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f || c == ';') {
      PyErr_Format(PyExc_ValueError, "invalid character (code %d) in cookie %s", static_cast<int>(c), what);
      return false;
    }
    if (c >= 0x80) {
      PyErr_Format(PyExc_ValueError, "cookie %s %R is not ASCII", what, field.get());
      return false;
    }
  }
  out.append("; ").append(label).push_back('=');
  out.append(text);
  return true;
}

// "; SameSite=Strict", "Lax" or "None" (matched without regard to case, and
// written as spelt here); any other text is refused.
bool append_same_site(std::string& out, const Ref& field) {
  if (!field || field.is_none()) return true;
  std::string_view text;
  if (!utf8_of(field.get(), "same_site", text)) return false;
  if (text.empty()) return true;
  for (std::string_view allowed : {std::string_view("Strict"), std::string_view("Lax"), std::string_view("None")}) {
    bool same = text.size() == allowed.size();
    for (std::size_t i = 0; same && i < text.size(); ++i) same = (text[i] | 0x20) == (allowed[i] | 0x20);
    if (same) {
      out.append("; SameSite=").append(allowed);
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "cookie same_site must be 'Strict', 'Lax' or 'None', not %R", field.get());
  return false;
}

// May throw std::bad_alloc (the text grows in a std::string).
PyObject* write_cookie_for_response_impl(Cookie* cookie) {
  // Every field is held for the whole call: the expiry's tzinfo runs Python
  // code, which may replace any field of the cookie meanwhile.
  struct Fields {
    Ref name, value, expires, domain, path, same_site;
  } f{cookie->name.copy(),   cookie->value.copy(), cookie->expires.copy(),
      cookie->domain.copy(), cookie->path.copy(),  cookie->same_site.copy()};
  std::string_view name, value;
  if (!f.name || !utf8_of(f.name.get(), "name", name)) return nullptr;
  if (name.empty()) {
    PyErr_SetString(PyExc_ValueError, "a cookie name cannot be empty");
    return nullptr;
  }
  for (char ch : name) {
    if (!mf::wire::is_tchar(static_cast<unsigned char>(ch))) {  // RFC 6265 names are RFC 9110 tokens
      PyErr_Format(PyExc_ValueError, "invalid character (code %d) in cookie name",
                   static_cast<int>(static_cast<unsigned char>(ch)));
      return nullptr;
    }
  }
  if (!f.value || !utf8_of(f.value.get(), "value", value)) return nullptr;
  std::string out;
  out.reserve(name.size() + value.size() + 96);
  out.append(name).push_back('=');
  mf::percent::encode(value, is_cookie_octet, false, out);
  if (f.expires && !f.expires.is_none()) {
    Ref date = Ref::steal(datetime_to_cookie_format(reinterpret_cast<PyDateTime_DateTime*>(f.expires.get()), 0));
    if (!date) return nullptr;
    out.append("; Expires=")
        .append(PyBytes_AS_STRING(date.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(date.get())));
  }
  if (cookie->max_age >= 0) out.append("; Max-Age=").append(std::to_string(cookie->max_age));
  if (!append_attribute(out, "Domain", f.domain, "domain") || !append_attribute(out, "Path", f.path, "path"))
    return nullptr;
  if (cookie->secure) out.append("; Secure");
  if (cookie->http_only) out.append("; HttpOnly");
  if (!append_same_site(out, f.same_site)) return nullptr;
  return mf::percent::bytes_from(out).release();
}

// The exported form.
constexpr auto write_cookie_for_response = mf::guarded<write_cookie_for_response_impl>;

// --- one pair of a Cookie header --------------------------------------------

// "name=value" (a pair without '=' is a value with an empty name, as
// browsers treat it); the value may be quoted; both are percent-decoded.
// May throw std::bad_alloc (percent::decoded_text).
Cookie* parse_cookie_impl(PyObject* value, int /*flag*/) {
  if (!value || !PyBytes_Check(value)) {
    PyErr_Format(PyExc_TypeError, "parse_cookie() needs bytes, not %.200s", value ? Py_TYPE(value)->tp_name : "NULL");
    return nullptr;
  }
  std::string_view text = mf::wire::trim_blanks(
      std::string_view(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value))));
  std::size_t eq = text.find('=');
  std::string_view raw_name =
      eq == std::string_view::npos ? std::string_view() : mf::wire::trim_blanks(text.substr(0, eq));
  std::string_view raw_value = eq == std::string_view::npos ? text : mf::wire::trim_blanks(text.substr(eq + 1));
  if (raw_value.size() >= 2 && raw_value.front() == '"' && raw_value.back() == '"')
    raw_value = raw_value.substr(1, raw_value.size() - 2);
  Ref name = mf::percent::decoded_text(raw_name, false);
  Ref decoded = name ? mf::percent::decoded_text(raw_value, false) : Ref();
  if (!decoded) return nullptr;
  Ref cookie = Ref::steal(cookie_new(&CookieType, nullptr, nullptr));
  if (!cookie) return nullptr;
  as_cookie(cookie.get())->name = std::move(name);
  as_cookie(cookie.get())->value = std::move(decoded);
  return as_cookie(cookie.release());
}

// The exported form.
constexpr auto parse_cookie = mf::guarded<parse_cookie_impl>;

// --- Python-callable forms ------------------------------------------------------

PyObject* write_cookie_for_response_py(PyObject*, PyObject* cookie) {
  if (!PyObject_TypeCheck(cookie, &CookieType)) {
    PyErr_Format(PyExc_TypeError, "expected a Cookie, not %.200s", Py_TYPE(cookie)->tp_name);
    return nullptr;
  }
  return write_cookie_for_response(as_cookie(cookie));
}

PyObject* datetime_to_cookie_format_py(PyObject*, PyObject* value) {
  return datetime_to_cookie_format(reinterpret_cast<PyDateTime_DateTime*>(value), 0);
}

PyObject* parse_cookie_py(PyObject*, PyObject* value) { return sup::as_object(parse_cookie(value, 0)); }

PyObject* cookie_repr(PyObject* self) {
  // Held: the repr of one field may run code that replaces the other.
  Cookie* c = as_cookie(self);
  Ref name = c->name ? c->name.copy() : Ref::none();
  Ref value = c->value ? c->value.copy() : Ref::none();
  return PyUnicode_FromFormat("<Cookie %R=%R>", name.get(), value.get());
}

PyGetSetDef cookie_getset[] = {
    sup::object_field("name", offsetof(Cookie, name)),
    sup::object_field("value", offsetof(Cookie, value)),
    sup::object_field("expires", offsetof(Cookie, expires), "A datetime (naive means UTC), or None."),
    sup::object_field("domain", offsetof(Cookie, domain)),
    sup::object_field("path", offsetof(Cookie, path)),
    sup::flag_field("http_only", offsetof(Cookie, http_only)),
    sup::flag_field("secure", offsetof(Cookie, secure)),
    sup::integer_field<std::int64_t>("max_age", offsetof(Cookie, max_age), "Seconds; -1 when not set."),
    sup::object_field("same_site", offsetof(Cookie, same_site)),
    sup::getset_end,
};

PyMethodDef cookie_methods[] = {
    {"clone", sup::py_object<clone_impl, k_clone>(), METH_NOARGS, "clone()\n\nA new Cookie with the same fields."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef module_methods[] = {
    {"write_cookie_for_response", write_cookie_for_response_py, METH_O,
     "write_cookie_for_response(cookie)\n\nThe Set-Cookie header value of a cookie, as bytes."},
    {"datetime_to_cookie_format", datetime_to_cookie_format_py, METH_O,
     "datetime_to_cookie_format(value)\n\nA datetime in the cookie date format, as bytes (naive means UTC)."},
    {"parse_cookie", parse_cookie_py, METH_O,
     "parse_cookie(value)\n\nThe Cookie of one name=value pair of a Cookie request header (bytes)."},
    {nullptr, nullptr, 0, nullptr},
};

bool types_ready = false;

int ready_types() {
  if (types_ready) return 0;
  sup::gc_slots<cookie_refs>(CookieType);
  CookieType.tp_name = "morrowfen.cookies.Cookie";
  if (!state.minus_one) {
    state.minus_one = Ref::steal(PyLong_FromLong(-1));
    if (!state.minus_one) return -1;
  }
  CookieType.tp_doc = mf::ctor::doc<CookieInit>(
      CookieType.tp_name,
      "Cookie(name: str, value: str, expires: datetime | None = None, domain: str | None = None, "
      "path: str | None = None, http_only: bool = False, secure: bool = False, max_age: int = -1, "
      "same_site: str | None = None)");
  if (!CookieType.tp_doc) return -1;
  CookieType.tp_basicsize = sizeof(Cookie);
  CookieType.tp_new = cookie_new;
  CookieType.tp_init = mf::ctor::init<CookieInit>;
  CookieType.tp_vectorcall = mf::ctor::vectorcall<CookieInit, CookieType>;
  CookieType.tp_repr = cookie_repr;
  CookieType.tp_getset = cookie_getset;
  CookieType.tp_methods = cookie_methods;
  if (PyType_Ready(&CookieType) < 0) return -1;
  types_ready = true;
  return 0;
}

int exec(PyObject* module) {
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) return -1;
  if (mf::create_constants() < 0 || ready_types() < 0) return -1;
  using namespace mf::cookies;
  using mf::Export;
  return mf::publish(module, {{&CookieType, &cookie_vtable}},
                     {Export::function<datetime_to_cookie_format_fn>(
                          "datetime_to_cookie_format", datetime_to_cookie_format, datetime_to_cookie_format_sig),
                      Export::function<write_cookie_for_response_fn>(
                          "write_cookie_for_response", write_cookie_for_response, write_cookie_for_response_sig),
                      Export::function<parse_cookie_fn>("parse_cookie", parse_cookie, parse_cookie_sig)});
}

mf::ModuleDef module_def{"morrowfen.cookies", "HTTP cookies.", exec, module_methods};

}  // namespace

PyMODINIT_FUNC PyInit_cookies() { return module_def.init(); }
