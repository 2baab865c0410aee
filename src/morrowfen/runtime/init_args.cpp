#include "init_args.h"

#include <cmath>
#include <cstring>
#include <deque>
#include <string>

#include "errors.h"

namespace mf {
namespace {

// The keywords of a tp_init call: a dict, looked up by name as the
// interpreter's argument parser looks them up.
class DictKeywords {
 public:
  explicit DictKeywords(PyObject* dict) noexcept : dict_(dict) {}
  Py_ssize_t size() const noexcept { return dict_ ? PyDict_GET_SIZE(dict_) : 0; }

  // 1 and `*out` borrowed from the dict (which the call holds), 0 absent.
  // Keys are compared by their text, which runs no Python code: a lookup
  // that hashed and compared a str subclass key could run code that
  // replaces a value already bound.
  int get(const char* name, PyObject** out) const noexcept {
    *out = nullptr;
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(dict_, &pos, &key, &value)) {
      if (PyUnicode_Check(key) && PyUnicode_EqualToUTF8(key, name)) {
        *out = value;
        return 1;
      }
    }
    return 0;
  }

  // Calls `each(key)` for every keyword in order; stops at a non-zero result.
  template <class F>
  int for_each(F each) const noexcept {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    while (PyDict_Next(dict_, &pos, &key, nullptr))
      if (int r = each(Handle(key))) return r;
    return 0;
  }

 private:
  PyObject* dict_;
};

// The keywords of a vectorcall: names in a tuple, values after the
// positional arguments.
class VectorKeywords {
 public:
  VectorKeywords(PyObject* kwnames, PyObject* const* values) noexcept : names_(kwnames), values_(values) {}
  Py_ssize_t size() const noexcept { return names_ ? PyTuple_GET_SIZE(names_) : 0; }

  int get(const char* name, PyObject** out) const noexcept {
    *out = nullptr;
    for (Py_ssize_t k = 0, n = size(); k < n; ++k) {
      PyObject* key = PyTuple_GET_ITEM(names_, k);
      if (PyUnicode_Check(key) && PyUnicode_EqualToUTF8(key, name)) {
        *out = values_[k];
        return 1;
      }
    }
    return 0;
  }

  template <class F>
  int for_each(F each) const noexcept {
    for (Py_ssize_t k = 0, n = size(); k < n; ++k)
      if (int r = each(Handle(PyTuple_GET_ITEM(names_, k)))) return r;
    return 0;
  }

 private:
  PyObject* names_;
  PyObject* const* values_;
};

// The texts name the type as "Name()", or, for a nameless table, as the
// interpreter's parser does for a format without a name.
struct Names {
  const char* fn;       // "Name" or "function"
  const char* parens;   // "()" or ""
  const char* keyword;  // "Name" or "this function", in the keyword texts
};

Names names_for(const char* type_name) noexcept {
  if (type_name) return {type_name, "()", type_name};
  return {"function", "", "this function"};
}

// The interpreter's "Did you mean" for an unknown keyword: the closest of the
// parameter names by its own rules (those of the _suggestions module), or an
// empty Ref when none is close enough. Failing to compute one only leaves
// the suggestion out, as in the interpreter's parser.
Ref suggest_keyword(const InitParam* params, Py_ssize_t n, PyObject* key) noexcept {
  Ref names = Ref::steal(PyList_New(n));
  for (Py_ssize_t i = 0; names && i < n; ++i) {
    PyObject* name = PyUnicode_FromString(params[i].name);
    if (!name) names.reset();
    else PyList_SET_ITEM(names.get(), i, name);
  }
  Ref module = names ? Ref::steal(PyImport_ImportModule("_suggestions")) : Ref();
  Ref generate = module ? Ref::steal(PyObject_GetAttrString(module.get(), "_generate_suggestions")) : Ref();
  Ref suggestion =
      generate ? Ref::steal(PyObject_CallFunctionObjArgs(generate.get(), names.get(), key, nullptr)) : Ref();
  if (!suggestion || !PyUnicode_Check(suggestion.get())) {
    PyErr_Clear();
    return {};
  }
  return suggestion;
}

// The leftover keywords after binding: a keyword for a parameter already
// given by position, a key that is not a str, or a name that no parameter
// (other than a positional-only one) has.
template <class Keywords>
int leftover_keyword_error(const Names& t, const InitParam* params, Py_ssize_t len, Py_ssize_t pos, Py_ssize_t nargs,
                           const Keywords& kw) noexcept {
  for (Py_ssize_t i = pos; i < nargs; ++i) {
    PyObject* value = nullptr;
    int r = kw.get(params[i].name, &value);
    if (r < 0) return -1;
    if (r > 0) {
      PyErr_Format(PyExc_TypeError, "argument for %.200s%s given by name ('%s') and position (%d)", t.fn, t.parens,
                   params[i].name, static_cast<int>(i + 1));
      return -1;
    }
  }
  int r = kw.for_each([&](Handle key) -> int {
    if (!PyUnicode_Check(key.get())) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      return -1;
    }
    for (Py_ssize_t i = pos; i < len; ++i)
      if (PyUnicode_EqualToUTF8(key.get(), params[i].name)) return 0;
    Ref held = Ref::borrow(key.get());  // str() of a str subclass runs its code
    Ref suggestion = suggest_keyword(params + pos, len - pos, held.get());
    if (suggestion)
      PyErr_Format(PyExc_TypeError, "%.200s%s got an unexpected keyword argument '%S'. Did you mean '%S'?", t.keyword,
                   t.parens, held.get(), suggestion.get());
    else
      PyErr_Format(PyExc_TypeError, "%.200s%s got an unexpected keyword argument '%S'", t.keyword, t.parens,
                   held.get());
    return -1;
  });
  if (r == 0) PyErr_Format(PyExc_TypeError, "invalid keyword argument for %.200s%s", t.keyword, t.parens);
  return -1;
}

// The binding itself, in the order the interpreter's parser checks a call,
// so that the same misuse gives the same text.
template <class Keywords>
int bind(const char* type_name, const InitParam* params, std::size_t n, PyObject* const* args, Py_ssize_t nargs,
         const Keywords& kw, PyObject** bound) noexcept {
  const Names t = names_for(type_name);
  const auto len = static_cast<Py_ssize_t>(n);
  Py_ssize_t pos = 0;  // leading positional-only parameters
  while (pos < len && params[pos].positional_only) ++pos;
  Py_ssize_t min = 0;  // required parameters
  while (min < len && params[min].required) ++min;
  for (Py_ssize_t i = 0; i < len; ++i) bound[i] = params[i].default_ ? *params[i].default_ : nullptr;

  Py_ssize_t nkwargs = kw.size();
  if (nargs + nkwargs > len) {
    PyErr_Format(PyExc_TypeError, "%.200s%s takes at most %d %sargument%s (%zd given)", t.fn, t.parens,
                 static_cast<int>(len), nargs == 0 ? "keyword " : "", len == 1 ? "" : "s", nargs + nkwargs);
    return -1;
  }
  bool skip = false;  // a positional-only parameter is missing: counted below
  for (Py_ssize_t i = 0; i < len && !skip; ++i) {
    PyObject* current = nullptr;
    if (i < nargs) {
      current = args[i];
    } else if (nkwargs && i >= pos) {
      if (kw.get(params[i].name, &current) < 0) return -1;
      if (current) --nkwargs;
    }
    if (current) {
      bound[i] = current;
      continue;
    }
    if (i < min) {
      if (i < pos) {
        skip = true;
        continue;
      }
      PyErr_Format(PyExc_TypeError, "%.200s%s missing required argument '%s' (pos %d)", t.fn, t.parens, params[i].name,
                   static_cast<int>(i + 1));
      return -1;
    }
    if (!nkwargs) return 0;  // the rest keep their defaults
  }
  if (skip) {
    Py_ssize_t least = pos < min ? pos : min;
    PyErr_Format(PyExc_TypeError, "%.200s%s takes %s %d positional argument%s (%zd given)", t.fn, t.parens,
                 least < len ? "at least" : "exactly", static_cast<int>(least), least == 1 ? "" : "s", nargs);
    return -1;
  }
  if (nkwargs > 0) return leftover_keyword_error(t, params, len, pos, nargs, kw);
  return 0;
}

// Whether inspect can read a default back from its repr() in a signature:
// None, a bool, an int, a finite float, a str or bytes (exactly those types).
bool literal_default(PyObject* value) noexcept {
  if (value == Py_None || PyBool_Check(value) || PyLong_CheckExact(value) || PyUnicode_CheckExact(value) ||
      PyBytes_CheckExact(value))
    return true;
  return PyFloat_CheckExact(value) && std::isfinite(PyFloat_AS_DOUBLE(value));
}

// The tp_doc texts, kept for the process: type objects point into them.
ProcessState<std::deque<std::string>> g_docs;

}  // namespace

int bind_init(const char* type_name, const InitParam* params, std::size_t n, PyObject* args, PyObject* kwds,
              PyObject** bound) noexcept {
  if (!args || !PyTuple_Check(args) || (kwds && !PyDict_Check(kwds))) {
    PyErr_BadInternalCall();
    return -1;
  }
  return bind(type_name, params, n, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), DictKeywords(kwds), bound);
}

int bind_init_vector(const char* type_name, const InitParam* params, std::size_t n, PyObject* const* args,
                     std::size_t nargsf, PyObject* kwnames, PyObject** bound) noexcept {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  // Every argument by position, the required ones given (the usual call):
  // bound as they come, the rest to their defaults.
  if ((!kwnames || PyTuple_GET_SIZE(kwnames) == 0) && nargs <= static_cast<Py_ssize_t>(n) &&
      (nargs == static_cast<Py_ssize_t>(n) || !params[nargs].required)) {
    for (std::size_t i = 0; i < n; ++i)
      bound[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : params[i].default_ ? *params[i].default_ : nullptr;
    return 0;
  }
  return bind(type_name, params, n, args, nargs, VectorKeywords(kwnames, args + nargs), bound);
}

const char* init_doc(const char* type_name, const InitParam* params, std::size_t n, const char* doc) noexcept {
  return guard([&]() -> const char* {
    const char* dot = std::strrchr(type_name, '.');
    std::string text = dot ? dot + 1 : type_name;
    text += '(';
    std::size_t pos = 0;
    while (pos < n && params[pos].positional_only) ++pos;
    for (std::size_t i = 0; i < n; ++i) {
      if (i) text += ", ";
      text += params[i].name;
      if (!params[i].required) {
        text += '=';
        PyObject* value = params[i].default_ ? *params[i].default_ : nullptr;
        if (value && !literal_default(value)) {
          text += "...";  // inspect reads back literals only; a function or other object is shown as "..."
        } else if (value) {
          Ref repr = Ref::steal(PyObject_Repr(value));
          const char* utf8 = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
          if (!utf8) return nullptr;
          text += utf8;
        } else {
          text += "None";
        }
      }
      if (i + 1 == pos) text += ", /";
    }
    text += ")\n--\n\n";
    if (doc) text += doc;
    g_docs->push_back(std::move(text));
    return g_docs->back().c_str();
  });
}

}  // namespace mf
