#include "function.h"

#include <structmember.h>

#include <cstring>

#include "errors.h"
#include "types.h"

namespace mf {
namespace {

// Every object field is a Ref; the interpreter's member descriptors
// (__module__, __doc__, __globals__) and the generic __dict__ slot read and
// replace them as the PyObject* they are laid out as.
struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionDef* def;
  Ref name;
  Ref qualname;
  Ref module;
  Ref doc;
  Ref code;
  Ref globals;
  Ref varnames;   // tuple of interned parameter names
  Ref full_name;  // "module.name"
  Ref annotations;
  Ref dict;
  PyObject* weakreflist;  // managed by the interpreter
};

Function* as_function(PyObject* o) { return reinterpret_cast<Function*>(o); }

// --- the argument convention ------------------------------------------------

PyObject* count_error(const Function* f, Py_ssize_t given) {
  Py_ssize_t n = static_cast<Py_ssize_t>(f->def->nparams);
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", f->def->name, "exactly",
               n, n == 1 ? "" : "s", given);
  return nullptr;
}

// Index of the parameter called `key`, or -1.
Py_ssize_t param_index(const Function* f, Handle key) {
  PyObject* varnames = f->varnames.get();
  Py_ssize_t n = PyTuple_GET_SIZE(varnames);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (key.is(PyTuple_GET_ITEM(varnames, i))) return i;
  if (!PyUnicode_Check(key.get())) return -1;
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyUnicode_Compare(PyTuple_GET_ITEM(varnames, i), key.get()) == 0) return i;
  return -1;
}

// The value passed by keyword for parameter `i`, or nullptr.
PyObject* keyword_value(const Function* f, Py_ssize_t i, PyObject* kwnames, PyObject* const* kwvalues) {
  PyObject* name = PyTuple_GET_ITEM(f->varnames.get(), i);
  Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k)
    if (PyTuple_GET_ITEM(kwnames, k) == name) return kwvalues[k];
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0) return kwvalues[k];
  }
  return nullptr;
}

// Binds positional and keyword arguments into `bound`, in parameter order.
bool bind(const Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
  Py_ssize_t n = static_cast<Py_ssize_t>(f->def->nparams);
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs > n || (nkw == 0 && nargs != n)) {
    count_error(f, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
  if (nkw == 0) return true;
  PyObject* const* kwvalues = args + nargs;
  for (Py_ssize_t i = nargs; i < n; ++i) {
    bound[i] = keyword_value(f, i, kwnames, kwvalues);
    if (!bound[i]) {
      count_error(f, i);
      return false;
    }
  }
  if (nkw == n - nargs) return true;  // every keyword named an unbound parameter
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f->def->name);
      return false;
    }
    Py_ssize_t i = param_index(f, key);
    if (i >= nargs) continue;
    if (i >= 0) PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", f->def->name, key);
    else PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f->def->name, key);
    return false;
  }
  return true;
}

bool check_types(const Function* f, PyObject* const* bound) {
  for (std::size_t i = 0; i < f->def->nparams; ++i) {
    const Param& p = f->def->params[i];
    PyObject* arg = bound[i];
    if (p.type.mode == ArgType::Mode::any || arg == Py_None) continue;
    bool exact = p.type.mode == ArgType::Mode::exact;
    PyTypeObject* expected = exact ? *static_cast<PyTypeObject* const*>(p.type.type)
                                   : static_cast<const Ref*>(p.type.type)->as<PyTypeObject>();
    bool ok = exact ? Py_IS_TYPE(arg, expected) : PyObject_TypeCheck(arg, expected);
    if (!ok) {
      argument_type_error(p.name, expected, arg);
      return false;
    }
  }
  return true;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Function* f = as_function(self);
  PyObject* bound[max_params];
  PyObject* result = nullptr;
  if (bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound) && check_types(f, bound))
    result = guard([&] { return f->def->entry(self, bound); });
  if (!result) add_traceback(PyUnicode_AsUTF8(f->full_name.get()), "morrowfen/runtime/function.cpp", 0);
  return result;
}

// --- the object -------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  Function* f = as_function(self);
  return visit_all(visit, arg, f->globals, f->dict, f->annotations, f->code, f->doc);
}

int function_clear(PyObject* self) {
  Function* f = as_function(self);
  f->globals.reset();
  f->dict.reset();
  f->annotations.reset();
  f->code.reset();
  f->doc.reset();
  return 0;
}

void function_dealloc(PyObject* self) {
  Function* f = as_function(self);
  PyObject_GC_UnTrack(self);
  if (f->weakreflist) PyObject_ClearWeakRefs(self);
  function_clear(self);
  f->name.reset();
  f->qualname.reset();
  f->module.reset();
  f->varnames.reset();
  f->full_name.reset();
  PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname.get(), self);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return new_ref(self);
  return PyMethod_New(self, obj);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_annotations(PyObject* self, void*) {
  Function* f = as_function(self);
  if (!f->annotations) {
    f->annotations = Ref::steal(PyDict_New());
    if (!f->annotations) return nullptr;
  }
  return new_ref(f->annotations.get());
}

int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  as_function(self)->annotations = Ref::borrow(value);
  return 0;
}

PyObject* get_name(PyObject* self, void*) { return new_ref(as_function(self)->name.get()); }
int set_name(PyObject* self, PyObject* v, void*) { return set_text_attribute(as_function(self)->name, v, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return new_ref(as_function(self)->qualname.get()); }
int set_qualname(PyObject* self, PyObject* v, void*) {
  return set_text_attribute(as_function(self)->qualname, v, "__qualname__");
}
PyObject* get_code(PyObject* self, void*) { return new_ref(as_function(self)->code.get()); }

PyObject* function_reduce(PyObject* self, PyObject*) { return new_ref(as_function(self)->qualname.get()); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(Function, doc), 0, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakreflist), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject function_type = [] {
  PyTypeObject t = static_type();
  t.tp_name = "morrowfen.function";
  t.tp_basicsize = sizeof(Function);
  t.tp_dealloc = function_dealloc;
  t.tp_vectorcall_offset = offsetof(Function, vectorcall);
  t.tp_repr = function_repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  t.tp_traverse = function_traverse;
  t.tp_clear = function_clear;
  t.tp_weaklistoffset = offsetof(Function, weakreflist);
  t.tp_methods = function_methods;
  t.tp_members = function_members;
  t.tp_getset = function_getset;
  t.tp_descr_get = function_descr_get;
  t.tp_dictoffset = offsetof(Function, dict);
  return t;
}();

int ready_function_type() noexcept { return PyType_Ready(&function_type); }

Ref make_code(const FunctionDef& def, const char* filename) noexcept {
  Ref varnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(def.nparams)));
  if (!varnames) return {};
  for (std::size_t i = 0; i < def.nparams; ++i) {
    PyObject* name = PyUnicode_InternFromString(def.params[i].name);
    if (!name) return {};
    PyTuple_SET_ITEM(varnames.get(), static_cast<Py_ssize_t>(i), name);
  }
  int flags = CO_OPTIMIZED | CO_NEWLOCALS;
  switch (def.kind) {
    case Kind::plain: break;
    case Kind::coroutine: flags |= CO_COROUTINE; break;
    case Kind::async_generator: flags |= CO_ASYNC_GENERATOR; break;
    case Kind::generator: flags |= CO_GENERATOR; break;
  }
  Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, def.name, 1)));
  if (!empty) return {};
  Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
  Ref kwargs =
      Ref::steal(Py_BuildValue("{s:n,s:O,s:i,s:n}", "co_argcount", static_cast<Py_ssize_t>(def.nparams), "co_varnames",
                               varnames.get(), "co_flags", flags, "co_nlocals", static_cast<Py_ssize_t>(def.nparams)));
  if (!replace || !kwargs) return {};
  Ref noargs = Ref::steal(PyTuple_New(0));
  if (!noargs) return {};
  return Ref::steal(PyObject_Call(replace.get(), noargs.get(), kwargs.get()));
}

Ref make_function(const FunctionDef& def, Handle code, Handle globals, Handle module) noexcept {
  Ref varnames = Ref::steal(PyObject_GetAttrString(code.get(), "co_varnames"));
  Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
  Ref doc = def.doc ? Ref::steal(PyUnicode_FromString(def.doc)) : Ref::none();
  if (!varnames || !name || !doc) return {};
  Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", module.get(), name.get()));
  if (!full_name) return {};
  Function* f = PyObject_GC_New(Function, &function_type);
  if (!f) return {};
  zero_after_header(f, sizeof(PyObject), sizeof(Function));
  f->vectorcall = function_vectorcall;
  f->def = &def;
  f->qualname = name.copy();
  f->name = std::move(name);
  f->module = module.ref();
  f->doc = std::move(doc);
  f->code = code.ref();
  f->globals = globals.ref();
  f->varnames = std::move(varnames);
  f->full_name = std::move(full_name);
  PyObject_GC_Track(f);
  return Ref::steal(reinterpret_cast<PyObject*>(f));
}

Ref make_function(const FunctionDef& def, const char* filename, Handle globals, Handle module) noexcept {
  Ref code = make_code(def, filename);
  return code ? make_function(def, code, globals, module) : Ref();
}

FunctionInfo function_info(Handle function) noexcept {
  Function* f = function.as<Function>();
  return {
      f->name.get(), f->qualname.get(), f->code.get(), f->globals.get(), f->def, PyUnicode_AsUTF8(f->full_name.get())};
}

}  // namespace mf
