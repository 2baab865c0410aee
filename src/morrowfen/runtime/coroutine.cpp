#include "coroutine.h"

#include <frameobject.h>
#include <structmember.h>

#include "constants.h"
#include "errors.h"
#include "types.h"

namespace mf {
namespace detail {

enum class State : unsigned char { created, suspended, running, finished };

struct GenObject {
  PyObject_VAR_HEAD  // ob_size: number of Locals slots
  std::coroutine_handle<> handle;
  PromiseBase* promise;
  Ref function;  // the function object that made it
  Ref name;
  Ref qualname;
  Ref yf;         // the iterator being awaited (cr_await / ag_await / gi_yieldfrom)
  Ref frame;      // frame object, made on demand for introspection
  Ref finalizer;  // async generators: the finalizer hook seen at first iteration
  PyObject* weakreflist;  // managed by the interpreter
  Kind kind;
  State state;
  bool running_async;  // async generators: an asend/athrow is in progress
  bool closed;         // async generators: aclose() ran or the body ended
  bool hooks_inited;
  alignas(Ref) unsigned char slots[1];
};

}  // namespace detail

namespace {

using detail::GenObject;
using detail::PromiseBase;
using detail::State;
using detail::Suspend;

constexpr Py_ssize_t slots_offset = offsetof(GenObject, slots);

GenObject* as_gen(PyObject* o) { return reinterpret_cast<GenObject*>(o); }
PyObject* as_obj(GenObject* g) { return reinterpret_cast<PyObject*>(g); }
Ref* slots_of(GenObject* g) { return reinterpret_cast<Ref*>(g->slots); }

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
void convert_escaping_stop(GenObject* g) {
  const char* msg = nullptr;
  if (PyErr_ExceptionMatches(PyExc_StopIteration))
    msg = g->kind == Kind::async_generator ? "async generator raised StopIteration" : "generator raised StopIteration";
  else if (g->kind == Kind::async_generator && PyErr_ExceptionMatches(PyExc_StopAsyncIteration))
    msg = "async generator raised StopAsyncIteration";
  if (!msg) return;
  raise_from_cause(PyExc_RuntimeError, msg);
}

// --- frame lifetime ---------------------------------------------------------

void clear_slots(GenObject* g) {
  Ref* s = slots_of(g);
  for (Py_ssize_t i = 0; i < Py_SIZE(g); ++i) s[i].reset();
}

// Destroys the C++ frame and drops everything the body held.
void finish(GenObject* g) {
  if (g->handle) {
    auto h = std::exchange(g->handle, {});
    g->promise = nullptr;
    h.destroy();
  }
  g->state = State::finished;
  g->yf.reset();
  g->frame.reset();
  clear_slots(g);
}

// --- driving the body ---------------------------------------------------------

// Resumes the body with `sent` (empty: the pending exception is thrown in).
// PYGEN_NEXT: the body suspended and `out` is what goes out (`body_yield`
// tells a value the body yielded from one passing through an awaited object);
// PYGEN_RETURN: `out` is the result; PYGEN_ERROR: an exception is set.
PySendResult resume(GenObject* g, Ref sent, Ref& out, bool& body_yield) {
  PromiseBase* p = g->promise;
  p->value = std::move(sent);
  p->suspended = Suspend::none;
  g->state = State::running;
  g->handle.resume();
  if (g->handle.done()) {
    out = std::move(p->value);
    finish(g);
    if (!out) {
      convert_escaping_stop(g);
      add_traceback(function_info(g->function).full_name, "morrowfen/runtime/coroutine.cpp", 0);
      return PYGEN_ERROR;
    }
    return PYGEN_RETURN;
  }
  g->state = State::suspended;
  body_yield = p->suspended == Suspend::yielded;
  out = std::move(p->value);
  return PYGEN_NEXT;
}

// An error raised at the body's first instruction: the body never runs.
PySendResult fail_unstarted(GenObject* g) {
  finish(g);
  convert_escaping_stop(g);
  return PYGEN_ERROR;
}

PySendResult send_core(GenObject* g, PyObject* arg, Ref& out, bool& body_yield, bool closing = false) {
  body_yield = false;
  if (g->state == State::running) {
    const char* msg = g->kind == Kind::coroutine         ? "coroutine already executing"
                      : g->kind == Kind::async_generator ? "async generator already executing"
                                                         : "generator already executing";
    PyErr_SetString(PyExc_ValueError, msg);
    return PYGEN_ERROR;
  }
  if (g->state == State::finished) {
    if (g->kind == Kind::coroutine && !closing) {
      PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    } else if (arg) {
      out = Ref::none();
      return PYGEN_RETURN;
    }
    return PYGEN_ERROR;
  }
  if (g->state == State::created && arg && arg != Py_None) {
    PyErr_Format(PyExc_TypeError, "can't send non-None value to a just-started %s", kind_text(g->kind));
    return PYGEN_ERROR;
  }
  if (g->yf) {
    PyObject* result = nullptr;
    g->state = State::running;
    PySendResult r = PyIter_Send(g->yf.get(), arg ? arg : Py_None, &result);
    g->state = State::suspended;
    if (r == PYGEN_NEXT) {
      out = Ref::steal(result);
      return PYGEN_NEXT;
    }
    g->yf.reset();
    return resume(g, Ref::steal(result), out, body_yield);
  }
  return resume(g, Ref::borrow(arg ? arg : Py_None), out, body_yield);
}

// Closes an awaited iterator as `yield from` does when GeneratorExit arrives.
// The caller holds `yf` (its close() runs Python code).
int close_iter(Handle yf) {
  PyObject* meth = nullptr;
  if (PyObject_GetOptionalAttrString(yf.get(), "close", &meth) < 0) PyErr_WriteUnraisable(yf.get());
  if (!meth) return 0;
  Ref close = Ref::steal(meth);
  Ref r = Ref::steal(PyObject_CallNoArgs(close.get()));
  return r ? 0 : -1;
}

// Raises (typ, val, tb) inside the body, validated as throw() requires.
PySendResult throw_here(GenObject* g, PyObject* typ, PyObject* val, PyObject* tb, Ref& out, bool& body_yield) {
  if (tb == Py_None) {
    tb = nullptr;
  } else if (tb && !PyTraceBack_Check(tb)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return PYGEN_ERROR;
  }
  Ref type = Ref::borrow(typ), value = Ref::borrow(val), trace = Ref::borrow(tb);
  if (PyExceptionClass_Check(typ)) {
    PyObject *t = type.release(), *v = value.release(), *b = trace.release();
    PyErr_NormalizeException(&t, &v, &b);
    type = Ref::steal(t), value = Ref::steal(v), trace = Ref::steal(b);
  } else if (PyExceptionInstance_Check(typ)) {
    if (val && val != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return PYGEN_ERROR;
    }
    value = std::move(type);
    type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
    if (!trace) trace = Ref::steal(PyException_GetTraceback(value.get()));
  } else {
    PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
    return PYGEN_ERROR;
  }
  PyErr_Restore(type.release(), value.release(), trace.release());
  if (g->state == State::finished) {
    if (g->kind == Kind::coroutine)
      PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return PYGEN_ERROR;
  }
  if (g->state == State::created) return fail_unstarted(g);
  return resume(g, Ref(), out, body_yield);
}

PySendResult throw_core(GenObject* g, bool close_on_genexit, PyObject* typ, PyObject* val, PyObject* tb, Ref& out,
                        bool& body_yield) {
  body_yield = false;
  if (g->state == State::running) {
    const char* msg = g->kind == Kind::coroutine         ? "coroutine already executing"
                      : g->kind == Kind::async_generator ? "async generator already executing"
                                                         : "generator already executing";
    PyErr_SetString(PyExc_ValueError, msg);
    return PYGEN_ERROR;
  }
  if (g->state == State::finished) {
    // A finished body raises what is thrown at it, unchanged.
    return throw_here(g, typ, val, tb, out, body_yield);
  }
  if (g->yf) {
    if (close_on_genexit && PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
      g->state = State::running;
      int err = close_iter(g->yf.copy());
      g->state = State::suspended;
      g->yf.reset();
      if (err < 0) return resume(g, Ref(), out, body_yield);
      return throw_here(g, typ, val, tb, out, body_yield);
    }
    PyObject* meth = nullptr;
    // The lookup may run Python code: the coroutine counts as running meanwhile,
    // so that code cannot close it or send into it.
    g->state = State::running;
    int found = PyObject_GetOptionalAttrString(g->yf.copy().get(), "throw", &meth);
    g->state = State::suspended;
    if (found < 0) return PYGEN_ERROR;
    if (!meth) {
      g->yf.reset();
      return throw_here(g, typ, val, tb, out, body_yield);
    }
    Ref method = Ref::steal(meth);
    g->state = State::running;
    Ref r = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), typ, val, tb, nullptr));
    g->state = State::suspended;
    if (r) {
      out = std::move(r);
      return PYGEN_NEXT;
    }
    g->yf.reset();
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
      PyObject* stop = PyErr_GetRaisedException();
      Ref exc = Ref::steal(stop);
      Ref value = Ref::borrow(reinterpret_cast<PyStopIterationObject*>(stop)->value);
      if (!value) value = Ref::none();
      return resume(g, std::move(value), out, body_yield);
    }
    return resume(g, Ref(), out, body_yield);
  }
  return throw_here(g, typ, val, tb, out, body_yield);
}

// close(): GeneratorExit thrown in; a body that yields again ignored it.
PyObject* close_core(GenObject* g) {
  if (g->state == State::created) {
    finish(g);
    Py_RETURN_NONE;
  }
  if (g->state == State::finished) Py_RETURN_NONE;
  if (g->state == State::running) {
    PyErr_Format(PyExc_ValueError, "%s already executing", kind_text(g->kind));
    return nullptr;
  }
  int err = 0;
  if (g->yf) {
    g->state = State::running;
    err = close_iter(g->yf.copy());
    g->state = State::suspended;
    g->yf.reset();
  }
  if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
  Ref out;
  bool body_yield = false;
  PySendResult r = resume(g, Ref(), out, body_yield);
  if (r == PYGEN_NEXT) {
    const char* msg = g->kind == Kind::coroutine         ? "coroutine ignored GeneratorExit"
                      : g->kind == Kind::async_generator ? "async generator ignored GeneratorExit"
                                                         : "generator ignored GeneratorExit";
    PyErr_SetString(PyExc_RuntimeError, msg);
    return nullptr;
  }
  if (r == PYGEN_RETURN) return out.release();
  if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return nullptr;
}

// Turns a send result into the value of send() / __next__().
PyObject* send_result(GenObject* g, PySendResult r, Ref& out) {
  if (r == PYGEN_NEXT) return out.release();
  if (r == PYGEN_RETURN) {
    if (g->kind == Kind::async_generator)
      PyErr_SetNone(PyExc_StopAsyncIteration);
    else
      set_stop_iteration(out.get());
  }
  return nullptr;
}

int parse_throw_args(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject*& typ, PyObject*& val,
                     PyObject*& tb) {
  if (nargs < 1 || nargs > 3) {
    if (nargs < 1)
      PyErr_Format(PyExc_TypeError, "%s expected at least 1 argument, got %zd", name, nargs);
    else
      PyErr_Format(PyExc_TypeError, "%s expected at most 3 arguments, got %zd", name, nargs);
    return -1;
  }
  if (nargs > 1) {
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "the (type, exc, tb) signature of %s() is deprecated, use the single-arg signature instead.",
                         name) < 0)
      return -1;
  }
  typ = args[0];
  val = nargs > 1 ? args[1] : nullptr;
  tb = nargs > 2 ? args[2] : nullptr;
  return 0;
}

// --- the Python objects: shared slots ------------------------------------------

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
  finish(g);
  g->finalizer.reset();
  return 0;
}

void warn_unawaited(GenObject* g) {
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
    warn_unawaited(g);
  } else {
    Ref r = Ref::steal(close_core(g));
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
  finish(g);
  g->finalizer.reset();
  g->function.reset();
  g->name.reset();
  g->qualname.reset();
  PyObject_GC_Del(self);
}

PyObject* gen_repr(PyObject* self) {
  GenObject* g = as_gen(self);
  const char* what = g->kind == Kind::coroutine ? "coroutine" : g->kind == Kind::async_generator ? "async_generator" : "generator";
  return PyUnicode_FromFormat("<%s object %S at %p>", what, g->qualname.get(), self);
}

// --- attributes ------------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) { return new_ref(as_gen(self)->name.get()); }
PyObject* get_qualname(PyObject* self, void*) { return new_ref(as_gen(self)->qualname.get()); }
int set_name(PyObject* self, PyObject* v, void*) { return set_text_attribute(as_gen(self)->name, v, "__name__"); }
int set_qualname(PyObject* self, PyObject* v, void*) { return set_text_attribute(as_gen(self)->qualname, v, "__qualname__"); }
PyObject* get_await(PyObject* self, void*) {
  GenObject* g = as_gen(self);
  return new_ref(g->yf ? g->yf.get() : Py_None);
}
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_gen(self)->state == State::running); }
PyObject* get_suspended(PyObject* self, void*) { return PyBool_FromLong(as_gen(self)->state == State::suspended); }
PyObject* get_running_async(PyObject* self, void*) { return PyBool_FromLong(as_gen(self)->running_async); }
PyObject* get_code(PyObject* self, void*) { return new_ref(function_info(as_gen(self)->function).code); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_frame(PyObject* self, void*) {
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

// --- generator and coroutine methods -----------------------------------------------

PyObject* gen_send(PyObject* self, PyObject* arg) {
  GenObject* g = as_gen(self);
  Ref out;
  bool body_yield;
  PySendResult r = send_core(g, arg, out, body_yield);
  return send_result(g, r, out);
}

PyObject* gen_iternext(PyObject* self) {
  GenObject* g = as_gen(self);
  Ref out;
  bool body_yield;
  PySendResult r = send_core(g, nullptr, out, body_yield);
  if (r == PYGEN_RETURN && !out.is_none()) {
    set_stop_iteration(out.get());
    return nullptr;
  }
  return r == PYGEN_NEXT ? out.release() : nullptr;
}

PySendResult gen_am_send(PyObject* self, PyObject* arg, PyObject** result) {
  Ref out;
  bool body_yield;
  PySendResult r = send_core(as_gen(self), arg, out, body_yield);
  *result = out.release();
  return r;
}

// throw() with its arguments as given from Python.
PySendResult throw_step(GenObject* g, PyObject* const* args, Py_ssize_t nargs, Ref& out, bool& body_yield) {
  PyObject *typ, *val, *tb;
  body_yield = false;
  if (parse_throw_args("throw", args, nargs, typ, val, tb) < 0) return PYGEN_ERROR;
  return throw_core(g, true, typ, val, tb, out, body_yield);
}

PyObject* gen_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  GenObject* g = as_gen(self);
  Ref out;
  bool body_yield;
  PySendResult r = throw_step(g, args, nargs, out, body_yield);
  return send_result(g, r, out);
}

PyObject* gen_close(PyObject* self, PyObject*) { return close_core(as_gen(self)); }

// --- the coroutine's __await__ iterator ------------------------------------------------

struct CoroWrapper {
  PyObject_HEAD
  Ref coroutine;
};

PyTypeObject coro_wrapper_type;

PyObject* coro_await(PyObject* self) {
  CoroWrapper* w = PyObject_GC_New(CoroWrapper, &coro_wrapper_type);
  if (!w) return nullptr;
  zero_after_header(w, sizeof(PyObject), sizeof(CoroWrapper));
  w->coroutine = Ref::borrow(self);
  PyObject_GC_Track(w);
  return reinterpret_cast<PyObject*>(w);
}

PyObject* wrapped(PyObject* self) { return reinterpret_cast<CoroWrapper*>(self)->coroutine.get(); }
PyObject* cw_iternext(PyObject* self) { return gen_iternext(wrapped(self)); }
PyObject* cw_send(PyObject* self, PyObject* arg) { return gen_send(wrapped(self), arg); }
PySendResult cw_am_send(PyObject* self, PyObject* arg, PyObject** result) {
  return gen_am_send(wrapped(self), arg, result);
}
PyObject* cw_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return gen_throw(wrapped(self), args, nargs);
}
PyObject* cw_close(PyObject* self, PyObject*) { return gen_close(wrapped(self), nullptr); }
int cw_traverse(PyObject* self, visitproc visit, void* arg) {
  return mf::visit(reinterpret_cast<CoroWrapper*>(self)->coroutine, visit, arg);
}
void cw_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  reinterpret_cast<CoroWrapper*>(self)->coroutine.reset();
  PyObject_GC_Del(self);
}

PyMethodDef cw_methods[] = {
    {"send", cw_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cw_throw)), METH_FASTCALL, nullptr},
    {"close", cw_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods cw_as_async = {nullptr, nullptr, nullptr, cw_am_send};

// --- async generator --------------------------------------------------------------------

int init_hooks(GenObject* g) {
  if (g->hooks_inited) return 0;
  g->hooks_inited = true;
  Ref getter = Ref::borrow(PySys_GetObject("get_asyncgen_hooks"));  // held across its call
  if (!getter) return 0;
  Ref hooks = Ref::steal(PyObject_CallNoArgs(getter.get()));
  if (!hooks) return -1;
  Ref firstiter = Ref::steal(PySequence_GetItem(hooks.get(), 0));
  Ref finalizer = firstiter ? Ref::steal(PySequence_GetItem(hooks.get(), 1)) : Ref();
  if (!finalizer) return -1;
  if (!finalizer.is_none()) g->finalizer = std::move(finalizer);
  if (!firstiter.is_none()) {
    Ref r = Ref::steal(PyObject_CallOneArg(firstiter.get(), as_obj(g)));
    if (!r) return -1;
  }
  return 0;
}

// What one step of the async generator means to an asend/athrow awaitable:
// a value the body yielded ends the step (StopIteration carrying it), a value
// passing through from an awaited object goes out unchanged.
PyObject* unwrap(GenObject* g, PySendResult r, Ref& out, bool body_yield) {
  if (r == PYGEN_NEXT) {
    if (body_yield) {
      g->running_async = false;
      set_stop_iteration(out.get());
      return nullptr;
    }
    return out.release();
  }
  if (r == PYGEN_RETURN || !PyErr_Occurred()) PyErr_SetNone(PyExc_StopAsyncIteration);
  if (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit))
    g->closed = true;
  g->running_async = false;
  return nullptr;
}

enum class Awaitable : unsigned char { init, iter, closed };

struct ASend {
  PyObject_HEAD
  Ref generator;  // the async generator
  Ref sendval;
  Awaitable state;
  GenObject* gen() const { return generator.as<GenObject>(); }
};

struct AThrow {
  PyObject_HEAD
  Ref generator;  // the async generator
  Ref args;       // empty: aclose()
  Awaitable state;
  GenObject* gen() const { return generator.as<GenObject>(); }
};

PyTypeObject asend_type;
PyTypeObject athrow_type;

PyObject* new_asend(GenObject* g, PyObject* sendval) {
  ASend* o = PyObject_GC_New(ASend, &asend_type);
  if (!o) return nullptr;
  zero_after_header(o, sizeof(PyObject), sizeof(ASend));
  o->generator = Ref::borrow(as_obj(g));
  o->sendval = Ref::borrow(sendval);
  o->state = Awaitable::init;
  PyObject_GC_Track(o);
  return reinterpret_cast<PyObject*>(o);
}

PyObject* new_athrow(GenObject* g, PyObject* args) {
  AThrow* o = PyObject_GC_New(AThrow, &athrow_type);
  if (!o) return nullptr;
  zero_after_header(o, sizeof(PyObject), sizeof(AThrow));
  o->generator = Ref::borrow(as_obj(g));
  o->args = Ref::borrow(args);
  o->state = Awaitable::init;
  PyObject_GC_Track(o);
  return reinterpret_cast<PyObject*>(o);
}

PyObject* agen_anext(PyObject* self) {
  GenObject* g = as_gen(self);
  if (init_hooks(g) < 0) return nullptr;
  return new_asend(g, nullptr);
}

PyObject* agen_asend(PyObject* self, PyObject* arg) {
  GenObject* g = as_gen(self);
  if (init_hooks(g) < 0) return nullptr;
  return new_asend(g, arg);
}

PyObject* agen_aclose(PyObject* self, PyObject*) {
  GenObject* g = as_gen(self);
  if (init_hooks(g) < 0) return nullptr;
  return new_athrow(g, nullptr);
}

PyObject* agen_athrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  GenObject* g = as_gen(self);
  PyObject *typ, *val, *tb;
  if (parse_throw_args("athrow", args, nargs, typ, val, tb) < 0) return nullptr;
  if (init_hooks(g) < 0) return nullptr;
  Ref tuple = Ref::steal(PyTuple_New(nargs));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, new_ref(args[i]));
  return new_athrow(g, tuple.get());
}

// asend / __anext__ awaitable

PyObject* asend_send(PyObject* self, PyObject* arg) {
  ASend* o = reinterpret_cast<ASend*>(self);
  if (o->state == Awaitable::closed) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited __anext__()/asend()");
    return nullptr;
  }
  if (o->state == Awaitable::init) {
    if (o->gen()->running_async) {
      o->state = Awaitable::closed;
      PyErr_SetString(PyExc_RuntimeError, "anext(): asynchronous generator is already running");
      return nullptr;
    }
    if (!arg || arg == Py_None) arg = o->sendval.get();
    o->state = Awaitable::iter;
  }
  o->gen()->running_async = true;
  Ref out;
  bool body_yield = false;
  PySendResult r = send_core(o->gen(), arg, out, body_yield);
  PyObject* result = unwrap(o->gen(), r, out, body_yield);
  if (!result) o->state = Awaitable::closed;
  return result;
}

PyObject* asend_iternext(PyObject* self) { return asend_send(self, nullptr); }

PyObject* asend_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  ASend* o = reinterpret_cast<ASend*>(self);
  if (o->state == Awaitable::closed) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited __anext__()/asend()");
    return nullptr;
  }
  if (o->state == Awaitable::init) {
    if (o->gen()->running_async) {
      o->state = Awaitable::closed;
      PyErr_SetString(PyExc_RuntimeError, "anext(): asynchronous generator is already running");
      return nullptr;
    }
    o->state = Awaitable::iter;
    o->gen()->running_async = true;
  }
  Ref out;
  bool body_yield = false;
  PySendResult r = throw_step(o->gen(), args, nargs, out, body_yield);
  PyObject* result = unwrap(o->gen(), r, out, body_yield);
  if (!result) {
    o->gen()->running_async = false;
    o->state = Awaitable::closed;
  }
  return result;
}

PyObject* asend_close(PyObject* self, PyObject*) {
  ASend* o = reinterpret_cast<ASend*>(self);
  if (o->state == Awaitable::closed) Py_RETURN_NONE;
  PyObject* exit = PyExc_GeneratorExit;
  Ref r = Ref::steal(asend_throw(self, &exit, 1));
  if (r) {
    PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    return nullptr;
  }
  if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
      PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return nullptr;
}

void warn_unawaited_method(GenObject* g, const char* method) {
  PyObject* saved = PyErr_GetRaisedException();
  Ref name = Ref::steal(PyUnicode_FromString(method));
  if (!name || PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine method %R of %R was never awaited", name.get(),
                                g->qualname.get()) < 0)
    PyErr_WriteUnraisable(as_obj(g));
  PyErr_SetRaisedException(saved);
}

void asend_finalize(PyObject* self) {
  ASend* o = reinterpret_cast<ASend*>(self);
  if (o->state == Awaitable::init) warn_unawaited_method(o->gen(), "asend");
}

int asend_traverse(PyObject* self, visitproc visit, void* arg) {
  ASend* o = reinterpret_cast<ASend*>(self);
  return visit_all(visit, arg, o->generator, o->sendval);
}

void asend_dealloc(PyObject* self) {
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
  PyObject_GC_UnTrack(self);
  ASend* o = reinterpret_cast<ASend*>(self);
  o->generator.reset();
  o->sendval.reset();
  PyObject_GC_Del(self);
}

// athrow / aclose awaitable

const char* already_running(AThrow* o) {
  return o->args ? "athrow(): asynchronous generator is already running"
                 : "aclose(): asynchronous generator is already running";
}

PyObject* athrow_send(PyObject* self, PyObject* arg) {
  AThrow* o = reinterpret_cast<AThrow*>(self);
  GenObject* g = o->gen();
  if (o->state == Awaitable::closed) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited aclose()/athrow()");
    return nullptr;
  }
  if (g->state == State::finished) {
    o->state = Awaitable::closed;
    PyErr_SetNone(PyExc_StopIteration);
    return nullptr;
  }
  Ref out;
  bool body_yield = false;
  PySendResult r;
  if (o->state == Awaitable::init) {
    if (g->running_async) {
      o->state = Awaitable::closed;
      PyErr_SetString(PyExc_RuntimeError, already_running(o));
      return nullptr;
    }
    if (g->closed) {
      o->state = Awaitable::closed;
      PyErr_SetNone(PyExc_StopAsyncIteration);
      return nullptr;
    }
    if (arg && arg != Py_None) {
      PyErr_SetString(PyExc_RuntimeError, "can't send non-None value to a just-started coroutine");
      return nullptr;
    }
    o->state = Awaitable::iter;
    g->running_async = true;
    if (!o->args) {
      g->closed = true;
      r = throw_core(g, false, PyExc_GeneratorExit, nullptr, nullptr, out, body_yield);
    } else {
      PyObject* args = o->args.get();
      Py_ssize_t n = PyTuple_GET_SIZE(args);
      PyObject* typ = PyTuple_GET_ITEM(args, 0);
      PyObject* val = n > 1 ? PyTuple_GET_ITEM(args, 1) : nullptr;
      PyObject* tb = n > 2 ? PyTuple_GET_ITEM(args, 2) : nullptr;
      r = throw_core(g, false, typ, val, tb, out, body_yield);
      PyObject* result = unwrap(g, r, out, body_yield);
      if (!result) {
        g->running_async = false;
        o->state = Awaitable::closed;
      }
      return result;
    }
  } else {
    r = send_core(g, arg ? arg : Py_None, out, body_yield);
    if (o->args) {
      PyObject* result = unwrap(g, r, out, body_yield);
      if (!result) {
        g->running_async = false;
        o->state = Awaitable::closed;
      }
      return result;
    }
  }
  // aclose(): the body must not yield again; its end is the awaitable's end.
  if (r == PYGEN_NEXT && !body_yield) return out.release();
  g->running_async = false;
  o->state = Awaitable::closed;
  if (r == PYGEN_NEXT) {
    PyErr_SetString(PyExc_RuntimeError, "async generator ignored GeneratorExit");
    return nullptr;
  }
  if (r == PYGEN_RETURN || PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
      PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
    PyErr_Clear();
    PyErr_SetNone(PyExc_StopIteration);
  }
  return nullptr;
}

PyObject* athrow_iternext(PyObject* self) { return athrow_send(self, Py_None); }

PyObject* athrow_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  AThrow* o = reinterpret_cast<AThrow*>(self);
  GenObject* g = o->gen();
  if (o->state == Awaitable::closed) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited aclose()/athrow()");
    return nullptr;
  }
  if (o->state == Awaitable::init) {
    if (g->running_async) {
      o->state = Awaitable::closed;
      PyErr_SetString(PyExc_RuntimeError, already_running(o));
      return nullptr;
    }
    o->state = Awaitable::iter;
    g->running_async = true;
  }
  Ref out;
  bool body_yield = false;
  PySendResult r = throw_step(g, args, nargs, out, body_yield);
  if (o->args) {
    PyObject* result = unwrap(g, r, out, body_yield);
    if (!result) {
      g->running_async = false;
      o->state = Awaitable::closed;
    }
    return result;
  }
  if (r == PYGEN_NEXT && body_yield) {
    g->running_async = false;
    o->state = Awaitable::closed;
    PyErr_SetString(PyExc_RuntimeError, "async generator ignored GeneratorExit");
    return nullptr;
  }
  if (r == PYGEN_NEXT) return out.release();
  g->running_async = false;
  o->state = Awaitable::closed;
  if (r == PYGEN_RETURN) PyErr_SetNone(PyExc_StopAsyncIteration);
  if (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
    PyErr_Clear();
    PyErr_SetNone(PyExc_StopIteration);
  }
  return nullptr;
}

PyObject* athrow_close(PyObject* self, PyObject*) {
  AThrow* o = reinterpret_cast<AThrow*>(self);
  if (o->state == Awaitable::closed) Py_RETURN_NONE;
  PyObject* exit = PyExc_GeneratorExit;
  Ref r = Ref::steal(athrow_throw(self, &exit, 1));
  if (r) {
    PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    return nullptr;
  }
  if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
      PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return nullptr;
}

void athrow_finalize(PyObject* self) {
  AThrow* o = reinterpret_cast<AThrow*>(self);
  if (o->state == Awaitable::init) warn_unawaited_method(o->gen(), o->args ? "athrow" : "aclose");
}

int athrow_traverse(PyObject* self, visitproc visit, void* arg) {
  AThrow* o = reinterpret_cast<AThrow*>(self);
  return visit_all(visit, arg, o->generator, o->args);
}

void athrow_dealloc(PyObject* self) {
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
  PyObject_GC_UnTrack(self);
  AThrow* o = reinterpret_cast<AThrow*>(self);
  o->generator.reset();
  o->args.reset();
  PyObject_GC_Del(self);
}

// --- type tables -------------------------------------------------------------------------

template <class F>
PyCFunction fastcall(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Coroutines and generators share send, throw and close.
PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O, nullptr},
    {"throw", fastcall(gen_throw), METH_FASTCALL, nullptr},
    {"close", gen_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef generator_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"gi_yieldfrom", get_await, nullptr, nullptr, nullptr},
    {"gi_frame", get_frame, nullptr, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"gi_code", get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef agen_methods[] = {
    {"asend", agen_asend, METH_O, nullptr},
    {"athrow", fastcall(agen_athrow), METH_FASTCALL, nullptr},
    {"aclose", agen_aclose, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef agen_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"ag_await", get_await, nullptr, nullptr, nullptr},
    {"ag_frame", get_frame, nullptr, nullptr, nullptr},
    {"ag_running", get_running_async, nullptr, nullptr, nullptr},
    {"ag_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"ag_code", get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef asend_methods[] = {
    {"send", asend_send, METH_O, nullptr},
    {"throw", fastcall(asend_throw), METH_FASTCALL, nullptr},
    {"close", asend_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef athrow_methods[] = {
    {"send", athrow_send, METH_O, nullptr},
    {"throw", fastcall(athrow_throw), METH_FASTCALL, nullptr},
    {"close", athrow_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods coroutine_as_async = {coro_await, nullptr, nullptr, gen_am_send};
PyAsyncMethods agen_as_async = {nullptr, PyObject_SelfIter, agen_anext, nullptr};
PyAsyncMethods self_await_as_async = {PyObject_SelfIter, nullptr, nullptr, nullptr};

PyTypeObject gen_type_base(const char* name, PyMethodDef* methods, PyGetSetDef* getset) {
  PyTypeObject t = static_type();
  t.tp_name = name;
  t.tp_basicsize = slots_offset;
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
                         PyMethodDef* methods) {
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

}  // namespace

PyTypeObject coroutine_type = [] {
  PyTypeObject t = gen_type_base("morrowfen.coroutine", gen_methods, coroutine_getset);
  t.tp_as_async = &coroutine_as_async;
  return t;
}();

PyTypeObject generator_type = [] {
  PyTypeObject t = gen_type_base("morrowfen.generator", gen_methods, generator_getset);
  t.tp_iter = PyObject_SelfIter;
  t.tp_iternext = gen_iternext;
  t.tp_as_async = nullptr;
  return t;
}();

PyTypeObject async_generator_type = [] {
  PyTypeObject t = gen_type_base("morrowfen.async_generator", agen_methods, agen_getset);
  t.tp_as_async = &agen_as_async;
  return t;
}();

namespace {

PyTypeObject coro_wrapper_type_init = [] {
  PyTypeObject t = helper_type("morrowfen.coroutine_wrapper", sizeof(CoroWrapper), cw_dealloc, cw_traverse, cw_methods);
  t.tp_iternext = cw_iternext;
  t.tp_as_async = &cw_as_async;
  return t;
}();

}  // namespace

// --- bodies ---------------------------------------------------------------------------------

namespace detail {

void PromiseBase::unhandled_exception() noexcept {
  set_error_from_current_exception("unexpected C++ exception in a coroutine body");
  value.reset();
}

// A generator made by a types.coroutine function.
static bool is_iterable_coroutine(PyObject* obj) {
  if (!PyGen_CheckExact(obj)) return false;
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyGen_GetCode(reinterpret_cast<PyGenObject*>(obj))));
  return code && (reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_ITERABLE_COROUTINE);
}

// The iterator that `await obj` drives, as the interpreter obtains it.
static Ref awaitable_iter(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &coroutine_type) {
    if (as_gen(obj)->yf) {
      PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
      return {};
    }
    return Ref::borrow(obj);
  }
  if (PyCoro_CheckExact(obj) || is_iterable_coroutine(obj)) return Ref::borrow(obj);
  unaryfunc getter = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
  if (!getter) {
    not_awaitable_error(obj);
    return {};
  }
  Ref it = Ref::steal(getter(obj));
  if (!it) return {};
  if (PyCoro_CheckExact(it.get()) || Py_IS_TYPE(it.get(), &coroutine_type)) {
    PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
    return {};
  }
  if (!PyIter_Check(it.get())) {
    PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it.get())->tp_name);
    return {};
  }
  return it;
}

PromiseBase::AwaitAdapter PromiseBase::await_transform(Await a) noexcept {
  // Taken out of the argument: temporaries of a co_await expression live on
  // in the frame across the suspension, where the collector cannot see them.
  Ref target = std::move(a.target);
  Ref it = target ? awaitable_iter(target.get()) : Ref();
  return {*this, std::move(it), Ref(), false};
}

PromiseBase::AwaitAdapter PromiseBase::await_transform(AwaitNext a) noexcept {
  PyTypeObject* type = Py_TYPE(a.iterator);
  unaryfunc next = type->tp_as_async ? type->tp_as_async->am_anext : nullptr;
  if (!next) {
    PyErr_Format(PyExc_TypeError, "'async for' requires an object with __anext__ method, got %.200s", type->tp_name);
    return {*this, Ref(), Ref(), false};
  }
  Ref step = Ref::steal(next(a.iterator));
  if (!step) return {*this, Ref(), Ref(), false};
  PyTypeObject* step_type = Py_TYPE(step.get());
  if (step_type != &coroutine_type && !PyCoro_CheckExact(step.get()) &&
      !(step_type->tp_as_async && step_type->tp_as_async->am_await)) {
    PyErr_Format(PyExc_TypeError, "'async for' received an invalid object from __anext__: %.200s",
                 step_type->tp_name);
    return {*this, Ref(), Ref(), false};
  }
  return {*this, awaitable_iter(step.get()), Ref(), false};
}

// The first step of `yield from`: often the awaited object is done at once
// and the body goes on without suspending.
bool PromiseBase::AwaitAdapter::await_ready() noexcept {
  if (!iterator) return true;  // error pending
  PyObject* out = nullptr;
  PySendResult r = PyIter_Send(iterator.get(), Py_None, &out);
  if (r != PYGEN_NEXT) {
    result = Ref::steal(out);
    iterator.reset();
    return true;
  }
  promise.owner->yf = std::move(iterator);
  promise.value = Ref::steal(out);
  promise.suspended = Suspend::awaiting;
  suspended = true;
  return false;
}

Ref PromiseBase::AwaitAdapter::await_resume() noexcept {
  // After a suspension the driver delivers the awaited result in the promise.
  return suspended ? std::move(promise.value) : std::move(result);
}

GenObject* gen_new(PyObject* function, Kind kind, Py_ssize_t nslots, PyObject* const* args) noexcept {
  PyTypeObject* type = kind == Kind::coroutine         ? &coroutine_type
                       : kind == Kind::async_generator ? &async_generator_type
                                                       : &generator_type;
  GenObject* g = PyObject_GC_NewVar(GenObject, type, nslots);
  if (!g) return nullptr;
  // Every field and slot starts empty (null handle, no promise, false flags).
  zero_after_header(g, sizeof(PyVarObject), static_cast<std::size_t>(slots_offset + nslots * Py_ssize_t{sizeof(Ref)}));
  FunctionInfo info = function_info(function);
  g->function = Ref::borrow(function);
  g->name = Ref::borrow(info.name);
  g->qualname = Ref::borrow(info.qualname);
  g->kind = kind;
  g->state = State::created;
  Ref* s = reinterpret_cast<Ref*>(g->slots);
  for (std::size_t i = 0; i < info.def->nparams && static_cast<Py_ssize_t>(i) < nslots; ++i)
    s[i] = Ref::borrow(args[i]);
  return g;
}

Ref* gen_slots(GenObject* g) noexcept { return slots_of(g); }

PyObject* gen_attach(GenObject* g, std::coroutine_handle<> h, PromiseBase* p) noexcept {
  if (!h) {
    g->state = State::finished;  // nothing to finalize
    Ref::steal(as_obj(g)).reset();  // frees g
    return PyErr_NoMemory();
  }
  g->handle = h;
  g->promise = p;
  p->owner = g;
  PyObject_GC_Track(g);
  return as_obj(g);
}

}  // namespace detail

// --- helpers for bodies -------------------------------------------------------------------

bool is_awaitable(PyObject* obj) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  return (type->tp_as_async && type->tp_as_async->am_await) || PyCoro_CheckExact(obj) ||
         detail::is_iterable_coroutine(obj);
}

Ref aiter(PyObject* obj) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  unaryfunc getter = type->tp_as_async ? type->tp_as_async->am_aiter : nullptr;
  if (!getter) {
    PyErr_Format(PyExc_TypeError, "'async for' requires an object with __aiter__ method, got %.200s", type->tp_name);
    return {};
  }
  return Ref::steal(getter(obj));
}

bool async_iteration_ended() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) return false;
  PyErr_Clear();
  return true;
}

void set_stop_iteration(PyObject* value) noexcept {
  if (!value || value == Py_None) {
    PyErr_SetNone(PyExc_StopIteration);
    return;
  }
  Ref e = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value));
  if (e) PyErr_SetObject(PyExc_StopIteration, e.get());
}

int ready_coroutine_types() noexcept {
  static bool ready = false;
  if (ready) return 0;
  coro_wrapper_type = coro_wrapper_type_init;
  asend_type = helper_type("morrowfen.async_generator_asend", sizeof(ASend), asend_dealloc, asend_traverse,
                           asend_methods);
  asend_type.tp_iternext = asend_iternext;
  asend_type.tp_as_async = &self_await_as_async;
  asend_type.tp_finalize = asend_finalize;
  athrow_type = helper_type("morrowfen.async_generator_athrow", sizeof(AThrow), athrow_dealloc, athrow_traverse,
                            athrow_methods);
  athrow_type.tp_iternext = athrow_iternext;
  athrow_type.tp_as_async = &self_await_as_async;
  athrow_type.tp_finalize = athrow_finalize;
  for (PyTypeObject* t : {&coroutine_type, &generator_type, &async_generator_type, &coro_wrapper_type, &asend_type,
                          &athrow_type})
    if (PyType_Ready(t) < 0) return -1;
  Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
  if (!abc) return -1;
  const std::pair<const char*, PyTypeObject*> registrations[] = {
      {"Coroutine", &coroutine_type}, {"AsyncGenerator", &async_generator_type}, {"Generator", &generator_type}};
  for (auto [abc_name, type] : registrations) {
    Ref cls = Ref::steal(PyObject_GetAttrString(abc.get(), abc_name));
    Ref r = cls ? Ref::steal(PyObject_CallMethod(cls.get(), "register", "O", reinterpret_cast<PyObject*>(type)))
                : Ref();
    if (!r) return -1;
  }
  ready = true;
  return 0;
}

int ready_runtime() noexcept {
  return create_constants() < 0 || ready_function_type() < 0 || ready_coroutine_types() < 0 ? -1 : 0;
}

}  // namespace mf
