// The object side of the native coroutines: the state machine that advances a
// body (send, throw, close, as the interpreter's generators do them), the
// slots and attributes every kind shares, and the coroutine, generator and
// coroutine-wrapper types.
#include <Python.h>
#include <frameobject.h>

#include <utility>

#include "coroutine.h"
#include "errors.h"
#include "free_list.h"
#include "generator_object.h"
#include "types.h"

namespace mf {
namespace detail {
namespace {

constexpr const char* REUSED_COROUTINE_MSG = "cannot reuse already awaited coroutine";

const char* kind_text(Kind k) {
  switch (k) {
    case Kind::coroutine: return "coroutine";
    case Kind::async_generator: return "async generator";
    default: return "generator";
  }
}

// --- errors of the protocol -------------------------------------------------

// An exception leaving a body: StopIteration (and StopAsyncIteration in an
// async generator) cannot escape as such; they become RuntimeError.
void gen_convert_escaping_stop(GenObject* g) {
  const char* msg = nullptr;
  if (PyErr_ExceptionMatches(PyExc_StopIteration))
    msg = g->kind == Kind::async_generator ? "async generator raised StopIteration" : "generator raised StopIteration";
  else if (g->kind == Kind::async_generator && PyErr_ExceptionMatches(PyExc_StopAsyncIteration))
    msg = "async generator raised StopAsyncIteration";
  if (msg) raise_from_cause(PyExc_RuntimeError, msg);
}

// ValueError "<kind> already executing"; a step that went nowhere.
Step gen_refuse_running(GenObject* g) {
  PyErr_Format(PyExc_ValueError, "%s already executing", kind_text(g->kind));
  return {};
}

// --- frame lifetime ---------------------------------------------------------

void gen_clear_slots(GenObject* g) {
  Ref* s = slots_of(g);
  for (Py_ssize_t i = 0; i < Py_SIZE(g); ++i) s[i].reset();
}

// Destroys the C++ frame and drops everything the body held.
void gen_finish(GenObject* g) {
  if (g->handle) {
    auto h = std::exchange(g->handle, {});
    g->promise = nullptr;
    h.destroy();
  }
  g->state = State::finished;
  g->yf.reset();
  g->frame.reset();
  gen_clear_slots(g);
}

// --- driving the body ---------------------------------------------------------

// Resumes the body with `sent` (empty: the pending exception is thrown in).
Step gen_resume(GenObject* g, Ref sent) {
  PromiseBase* p = g->promise;
  p->value = std::move(sent);
  p->suspended = Suspend::none;
  g->state = State::running;
  g->handle.resume();
  Step s;
  s.value = std::move(p->value);
  if (g->handle.done()) {
    gen_finish(g);
    if (!s.value) {
      gen_convert_escaping_stop(g);
      add_traceback(function_info(g->function).full_name, "morrowfen/runtime/generator.cpp", 0);
      return s;
    }
    s.result = PYGEN_RETURN;
    return s;
  }
  g->state = State::suspended;
  s.result = PYGEN_NEXT;
  s.yielded = p->suspended == Suspend::yielded;
  return s;
}

// An error raised at the body's first instruction: the body never runs.
Step gen_fail_unstarted(GenObject* g) {
  gen_finish(g);
  gen_convert_escaping_stop(g);
  return {};
}

// Closes an awaited iterator as `yield from` does when GeneratorExit arrives.
// The caller holds `yf` (its close() runs Python code).
int gen_close_iter(Handle yf) {
  PyObject* meth = nullptr;
  if (PyObject_GetOptionalAttrString(yf.get(), "close", &meth) < 0) PyErr_WriteUnraisable(yf.get());
  if (!meth) return 0;
  Ref close = Ref::steal(meth);
  Ref r = Ref::steal(PyObject_CallNoArgs(close.get()));
  return r ? 0 : -1;
}

// Raises the thrown exception inside the body, validated as throw() requires.
Step gen_raise_in_body(GenObject* g, ThrowArgs a) {
  PyObject* typ = a.type.get();
  PyObject* val = a.value.get();
  PyObject* tb = a.traceback.get();
  if (tb == Py_None) {
    tb = nullptr;
  } else if (tb && !PyTraceBack_Check(tb)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return {};
  }
  Ref type = Ref::borrow(typ), value = Ref::borrow(val), trace = Ref::borrow(tb);
  if (PyExceptionClass_Check(typ)) {
    PyObject *t = type.release(), *v = value.release(), *b = trace.release();
    PyErr_NormalizeException(&t, &v, &b);
    type = Ref::steal(t), value = Ref::steal(v), trace = Ref::steal(b);
  } else if (PyExceptionInstance_Check(typ)) {
    if (val && val != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return {};
    }
    value = std::move(type);
    type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
    if (!trace) trace = Ref::steal(PyException_GetTraceback(value.get()));
  } else {
    PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
    return {};
  }
  PyErr_Restore(type.release(), value.release(), trace.release());
  if (g->state == State::finished) {
    if (g->kind == Kind::coroutine) PyErr_SetString(PyExc_RuntimeError, REUSED_COROUTINE_MSG);
    return {};
  }
  if (g->state == State::created) return gen_fail_unstarted(g);
  return gen_resume(g, Ref());
}

// Turns a step into the value of send() / throw().
PyObject* gen_send_result(GenObject* g, Step s) {
  if (s.result == PYGEN_NEXT) return s.value.release();
  if (s.result == PYGEN_RETURN) {
    if (g->kind == Kind::async_generator) PyErr_SetNone(PyExc_StopAsyncIteration);
    else set_stop_iteration(s.value.get());
  }
  return nullptr;
}

}  // namespace

Step gen_send_step(GenObject* g, Handle arg, bool closing) noexcept {
  if (g->state == State::running) return gen_refuse_running(g);
  if (g->state == State::finished) {
    Step s;
    if (g->kind == Kind::coroutine && !closing) {
      PyErr_SetString(PyExc_RuntimeError, REUSED_COROUTINE_MSG);
    } else if (arg) {
      s.result = PYGEN_RETURN;
      s.value = Ref::none();
    }
    return s;
  }
  if (g->state == State::created && arg && !arg.is_none()) {
    PyErr_Format(PyExc_TypeError, "can't send non-None value to a just-started %s", kind_text(g->kind));
    return {};
  }
  PyObject* sent = arg ? arg.get() : Py_None;
  if (g->yf) {
    PyObject* result = nullptr;
    g->state = State::running;
    PySendResult r = PyIter_Send(g->yf.get(), sent, &result);
    g->state = State::suspended;
    if (r == PYGEN_NEXT) return {PYGEN_NEXT, Ref::steal(result), false};
    g->yf.reset();
    return gen_resume(g, Ref::steal(result));
  }
  return gen_resume(g, Ref::borrow(sent));
}

Step gen_throw_step(GenObject* g, bool close_on_genexit, ThrowArgs a) noexcept {
  if (g->state == State::running) return gen_refuse_running(g);
  // A finished body raises what is thrown at it, unchanged.
  if (g->state == State::finished || !g->yf) return gen_raise_in_body(g, a);
  if (close_on_genexit && PyErr_GivenExceptionMatches(a.type.get(), PyExc_GeneratorExit)) {
    g->state = State::running;
    int err = gen_close_iter(g->yf.copy());
    g->state = State::suspended;
    g->yf.reset();
    if (err < 0) return gen_resume(g, Ref());
    return gen_raise_in_body(g, a);
  }
  PyObject* meth = nullptr;
  // The lookup may run Python code: the coroutine counts as running meanwhile,
  // so that code cannot close it or send into it.
  g->state = State::running;
  int found = PyObject_GetOptionalAttrString(g->yf.copy().get(), "throw", &meth);
  g->state = State::suspended;
  if (found < 0) return {};
  if (!meth) {
    g->yf.reset();
    return gen_raise_in_body(g, a);
  }
  Ref method = Ref::steal(meth);
  g->state = State::running;
  Ref r =
      Ref::steal(PyObject_CallFunctionObjArgs(method.get(), a.type.get(), a.value.get(), a.traceback.get(), nullptr));
  g->state = State::suspended;
  if (r) return {PYGEN_NEXT, std::move(r), false};
  g->yf.reset();
  if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
    PyObject* stop = PyErr_GetRaisedException();
    Ref exc = Ref::steal(stop);
    Ref value = Ref::borrow(reinterpret_cast<PyStopIterationObject*>(stop)->value);
    if (!value) value = Ref::none();
    return gen_resume(g, std::move(value));
  }
  return gen_resume(g, Ref());
}

int gen_parse_throw_args(const char* name, PyObject* const* args, Py_ssize_t nargs, ThrowArgs& out) noexcept {
  if (nargs < 1 || nargs > 3) {
    if (nargs < 1) PyErr_Format(PyExc_TypeError, "%s expected at least 1 argument, got %zd", name, nargs);
    else PyErr_Format(PyExc_TypeError, "%s expected at most 3 arguments, got %zd", name, nargs);
    return -1;
  }
  if (nargs > 1) {
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "the (type, exc, tb) signature of %s() is deprecated, use the single-arg signature instead.",
                         name) < 0)
      return -1;
  }
  out = {args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr};
  return 0;
}

Step gen_throw_step(GenObject* g, PyObject* const* args, Py_ssize_t nargs) noexcept {
  ThrowArgs a;
  if (gen_parse_throw_args("throw", args, nargs, a) < 0) return {};
  return gen_throw_step(g, true, a);
}

PyObject* gen_close_impl(GenObject* g) noexcept {
  if (g->state == State::created) {
    gen_finish(g);
    Py_RETURN_NONE;
  }
  if (g->state == State::finished) Py_RETURN_NONE;
  if (g->state == State::running) {
    gen_refuse_running(g);
    return nullptr;
  }
  int err = 0;
  if (g->yf) {
    g->state = State::running;
    err = gen_close_iter(g->yf.copy());
    g->state = State::suspended;
    g->yf.reset();
  }
  if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
  Step s = gen_resume(g, Ref());
  if (s.result == PYGEN_NEXT) {
    PyErr_Format(PyExc_RuntimeError, "%s ignored GeneratorExit", kind_text(g->kind));
    return nullptr;
  }
  if (s.result == PYGEN_RETURN) return s.value.release();
  if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return nullptr;
}

// --- the Python objects: shared slots ------------------------------------------

namespace {

int gen_traverse(PyObject* self, visitproc visit, void* arg) {
  GenObject* g = as_gen(self);
  if (int r = visit_all(visit, arg, g->function, g->yf, g->frame, g->finalizer)) return r;
  Ref* s = slots_of(g);
  for (Py_ssize_t i = 0; i < Py_SIZE(g); ++i)
    if (int r = mf::visit(s[i], visit, arg)) return r;
  return g->promise ? mf::visit(g->promise->value, visit, arg) : 0;
}

int gen_clear(PyObject* self) {
  GenObject* g = as_gen(self);
  // The frame goes first: it may still refer to what the slots hold.
  gen_finish(g);
  g->finalizer.reset();
  return 0;
}

void gen_warn_unawaited(GenObject* g) {
  Ref warnings = Ref::steal(PyImport_ImportModule("warnings"));
  Ref warn = warnings ? Ref::steal(PyObject_GetAttrString(warnings.get(), "_warn_unawaited_coroutine")) : Ref();
  Ref r = warn ? Ref::steal(PyObject_CallOneArg(warn.get(), as_obj(g))) : Ref();
  if (!r) PyErr_WriteUnraisable(as_obj(g));
}

void gen_finalize(PyObject* self) {
  GenObject* g = as_gen(self);
  if (g->state == State::finished) return;
  PyObject* saved = PyErr_GetRaisedException();
  if (g->kind == Kind::async_generator && g->finalizer && !g->closed) {
    Ref finalizer = g->finalizer.copy();  // held across the hook
    Ref r = Ref::steal(PyObject_CallOneArg(finalizer.get(), self));
    if (!r) PyErr_WriteUnraisable(self);
  } else if (g->kind == Kind::coroutine && g->state == State::created) {
    gen_warn_unawaited(g);
  } else {
    Ref r = Ref::steal(gen_close_impl(g));
    if (!r && PyErr_Occurred()) PyErr_WriteUnraisable(self);
  }
  PyErr_SetRaisedException(saved);
}

void gen_dealloc(PyObject* self) {
  GenObject* g = as_gen(self);
  PyObject_GC_UnTrack(self);
  if (g->weakreflist) PyObject_ClearWeakRefs(self);
  PyObject_GC_Track(self);
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyObject_GC_UnTrack(self);
  gen_finish(g);
  g->finalizer.reset();
  g->function.reset();
  g->name.reset();
  g->qualname.reset();
  PyObject_GC_Del(self);
}

PyObject* gen_repr(PyObject* self) {
  GenObject* g = as_gen(self);
  const char* what = g->kind == Kind::coroutine         ? "coroutine"
                     : g->kind == Kind::async_generator ? "async_generator"
                                                        : "generator";
  return PyUnicode_FromFormat("<%s object %S at %p>", what, g->qualname.get(), self);
}

}  // namespace

// --- attributes ------------------------------------------------------------------

PyObject* gen_get_name(PyObject* self, void*) noexcept { return new_ref(as_gen(self)->name.get()); }
PyObject* gen_get_qualname(PyObject* self, void*) noexcept { return new_ref(as_gen(self)->qualname.get()); }
int gen_set_name(PyObject* self, PyObject* v, void*) noexcept {
  return set_text_attribute(as_gen(self)->name, v, "__name__");
}
int gen_set_qualname(PyObject* self, PyObject* v, void*) noexcept {
  return set_text_attribute(as_gen(self)->qualname, v, "__qualname__");
}
PyObject* gen_get_await(PyObject* self, void*) noexcept {
  GenObject* g = as_gen(self);
  return new_ref(g->yf ? g->yf.get() : Py_None);
}
PyObject* gen_get_suspended(PyObject* self, void*) noexcept {
  return PyBool_FromLong(as_gen(self)->state == State::suspended);
}
PyObject* gen_get_code(PyObject* self, void*) noexcept { return new_ref(function_info(as_gen(self)->function).code); }
PyObject* gen_get_frame(PyObject* self, void*) noexcept {
  GenObject* g = as_gen(self);
  if (g->state == State::finished) Py_RETURN_NONE;
  if (!g->frame) {
    FunctionInfo info = function_info(g->function);
    g->frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(info.code), info.globals, nullptr)));
    if (!g->frame) return nullptr;
  }
  return new_ref(g->frame.get());
}

namespace {

PyObject* gen_get_running(PyObject* self, void*) { return PyBool_FromLong(as_gen(self)->state == State::running); }
PyObject* gen_get_none(PyObject*, void*) { Py_RETURN_NONE; }

// --- generator and coroutine methods -----------------------------------------------

PyObject* gen_send(PyObject* self, PyObject* arg) {
  GenObject* g = as_gen(self);
  return gen_send_result(g, gen_send_step(g, arg));
}

PyObject* gen_iternext(PyObject* self) {
  Step s = gen_send_step(as_gen(self), nullptr);
  if (s.result == PYGEN_RETURN && !s.value.is_none()) {
    set_stop_iteration(s.value.get());
    return nullptr;
  }
  return s.result == PYGEN_NEXT ? s.value.release() : nullptr;
}

PySendResult gen_am_send(PyObject* self, PyObject* arg, PyObject** result) {
  Step s = gen_send_step(as_gen(self), arg);
  *result = s.value.release();
  return s.result;
}

PyObject* gen_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  GenObject* g = as_gen(self);
  return gen_send_result(g, gen_throw_step(g, args, nargs));
}

PyObject* gen_close(PyObject* self, PyObject*) { return gen_close_impl(as_gen(self)); }

// --- the coroutine's __await__ iterator ------------------------------------------------

struct CoroWrapper {
  PyObject_HEAD
  Ref coroutine;
};

PyObject* cw_wrapped(PyObject* self) { return reinterpret_cast<CoroWrapper*>(self)->coroutine.get(); }

// Freed wrappers, for the next await (an interpreter's `await` of a native
// coroutine makes one).
constinit FreeList<> wrapper_free_list;

PyObject* coro_await(PyObject* self) {
  PyObject* kept = wrapper_free_list.take(&coroutine_wrapper_type);  // tracked, its field empty
  if (kept) {
    reinterpret_cast<CoroWrapper*>(kept)->coroutine = Ref::borrow(self);
    return kept;
  }
  CoroWrapper* w = PyObject_GC_New(CoroWrapper, &coroutine_wrapper_type);
  if (!w) return nullptr;
  zero_after_header(w, sizeof(PyObject), sizeof(CoroWrapper));
  w->coroutine = Ref::borrow(self);
  PyObject_GC_Track(w);
  return reinterpret_cast<PyObject*>(w);
}

PyObject* cw_iternext(PyObject* self) { return gen_iternext(cw_wrapped(self)); }
PyObject* cw_send(PyObject* self, PyObject* arg) { return gen_send(cw_wrapped(self), arg); }
PySendResult cw_am_send(PyObject* self, PyObject* arg, PyObject** result) {
  return gen_am_send(cw_wrapped(self), arg, result);
}
PyObject* cw_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return gen_throw(cw_wrapped(self), args, nargs);
}
PyObject* cw_close(PyObject* self, PyObject*) { return gen_close(cw_wrapped(self), nullptr); }
int cw_traverse(PyObject* self, visitproc visit, void* arg) {
  return mf::visit(reinterpret_cast<CoroWrapper*>(self)->coroutine, visit, arg);
}
void cw_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  reinterpret_cast<CoroWrapper*>(self)->coroutine.reset();
  if (!wrapper_free_list.give_back(self)) PyObject_GC_Del(self);
}

// --- type tables -------------------------------------------------------------------------

PyMethodDef cw_methods[] = {
    {"send", cw_send, METH_O, nullptr},
    {"throw", as_cfunction(cw_throw), METH_FASTCALL, nullptr},
    {"close", cw_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods cw_as_async = {nullptr, nullptr, nullptr, cw_am_send};

// Coroutines and generators share send, throw and close.
PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O, nullptr},
    {"throw", as_cfunction(gen_throw), METH_FASTCALL, nullptr},
    {"close", gen_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", gen_get_name, gen_set_name, nullptr, nullptr},
    {"__qualname__", gen_get_qualname, gen_set_qualname, nullptr, nullptr},
    {"cr_await", gen_get_await, nullptr, nullptr, nullptr},
    {"cr_frame", gen_get_frame, nullptr, nullptr, nullptr},
    {"cr_running", gen_get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", gen_get_suspended, nullptr, nullptr, nullptr},
    {"cr_code", gen_get_code, nullptr, nullptr, nullptr},
    {"cr_origin", gen_get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef generator_getset[] = {
    {"__name__", gen_get_name, gen_set_name, nullptr, nullptr},
    {"__qualname__", gen_get_qualname, gen_set_qualname, nullptr, nullptr},
    {"gi_yieldfrom", gen_get_await, nullptr, nullptr, nullptr},
    {"gi_frame", gen_get_frame, nullptr, nullptr, nullptr},
    {"gi_running", gen_get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", gen_get_suspended, nullptr, nullptr, nullptr},
    {"gi_code", gen_get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods coroutine_as_async = {coro_await, nullptr, nullptr, gen_am_send};

}  // namespace

PyTypeObject gen_type_base(const char* name, PyMethodDef* methods, PyGetSetDef* getset) noexcept {
  PyTypeObject t = static_type();
  t.tp_name = name;
  t.tp_basicsize = gen_slots_offset;
  t.tp_itemsize = sizeof(Ref);
  t.tp_dealloc = gen_dealloc;
  t.tp_repr = gen_repr;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  t.tp_traverse = gen_traverse;
  t.tp_clear = gen_clear;
  t.tp_weaklistoffset = offsetof(GenObject, weakreflist);
  t.tp_methods = methods;
  t.tp_getset = getset;
  t.tp_finalize = gen_finalize;
  return t;
}

PyTypeObject helper_type(const char* name, Py_ssize_t size, destructor dealloc, traverseproc traverse,
                         PyMethodDef* methods) noexcept {
  PyTypeObject t = static_type();
  t.tp_name = name;
  t.tp_basicsize = size;
  t.tp_dealloc = dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  t.tp_traverse = traverse;
  t.tp_iter = PyObject_SelfIter;
  t.tp_methods = methods;
  return t;
}

PyTypeObject coroutine_wrapper_type = [] {
  PyTypeObject t = helper_type("morrowfen.coroutine_wrapper", sizeof(CoroWrapper), cw_dealloc, cw_traverse, cw_methods);
  t.tp_iternext = cw_iternext;
  t.tp_as_async = &cw_as_async;
  return t;
}();

}  // namespace detail

PyTypeObject coroutine_type = [] {
  PyTypeObject t = detail::gen_type_base("morrowfen.coroutine", detail::gen_methods, detail::coroutine_getset);
  t.tp_as_async = &detail::coroutine_as_async;
  return t;
}();

PyTypeObject generator_type = [] {
  PyTypeObject t = detail::gen_type_base("morrowfen.generator", detail::gen_methods, detail::generator_getset);
  t.tp_iter = PyObject_SelfIter;
  t.tp_iternext = detail::gen_iternext;
  t.tp_as_async = nullptr;
  return t;
}();

void set_stop_iteration(Handle value) noexcept {
  if (!value || value.is_none()) {
    PyErr_SetNone(PyExc_StopIteration);
    return;
  }
  Ref e = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value.get()));
  if (e) PyErr_SetObject(PyExc_StopIteration, e.get());
}

int ready_coroutine_types() noexcept {
  static bool ready = false;
  if (ready) return 0;
  for (PyTypeObject* t : {&coroutine_type, &generator_type, &async_generator_type, &detail::coroutine_wrapper_type,
                          &detail::asend_type, &detail::athrow_type})
    if (PyType_Ready(t) < 0) return -1;
  Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
  if (!abc) return -1;
  const std::pair<const char*, PyTypeObject*> registrations[] = {
      {"Coroutine", &coroutine_type}, {"AsyncGenerator", &async_generator_type}, {"Generator", &generator_type}};
  for (auto [abc_name, type] : registrations) {
    Ref cls = Ref::steal(PyObject_GetAttrString(abc.get(), abc_name));
    Ref r =
        cls ? Ref::steal(PyObject_CallMethod(cls.get(), "register", "O", reinterpret_cast<PyObject*>(type))) : Ref();
    if (!r) return -1;
  }
  ready = true;
  return 0;
}

}  // namespace mf
