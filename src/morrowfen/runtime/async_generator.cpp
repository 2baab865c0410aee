// The async generator type and the awaitables its asend()/__anext__() and
// athrow()/aclose() return. Each awaitable drives the generator's step state
// machine (generator.cpp) and leaves through one exit: asend_end/athrow_end
// free the generator for the next awaitable once the step is over.
#include "coroutine.h"
#include "errors.h"
#include "generator_object.h"
#include "types.h"

namespace mf {
namespace detail {
namespace {

// --- the generator ------------------------------------------------------------

// The asyncgen hooks, read at the first asend()/athrow()/aclose(): the
// finalizer is kept for gen_finalize, firstiter is called now.
int agen_init_hooks(GenObject* g) {
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
PyObject* agen_unwrap(GenObject* g, Step s) {
  if (s.result == PYGEN_NEXT) {
    if (s.yielded) {
      g->running_async = false;
      set_stop_iteration(s.value.get());
      return nullptr;
    }
    return s.value.release();
  }
  if (s.result == PYGEN_RETURN || !PyErr_Occurred()) PyErr_SetNone(PyExc_StopAsyncIteration);
  if (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) g->closed = true;
  g->running_async = false;
  return nullptr;
}

// StopIteration, StopAsyncIteration or GeneratorExit: how a closing step ends.
bool closing_exception_pending() {
  return PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
         PyErr_ExceptionMatches(PyExc_GeneratorExit);
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
  Ref args;       // the athrow() arguments as a tuple; empty: aclose()
  Awaitable state;
  GenObject* gen() const { return generator.as<GenObject>(); }
};

ASend* as_asend(PyObject* o) { return reinterpret_cast<ASend*>(o); }
AThrow* as_athrow(PyObject* o) { return reinterpret_cast<AThrow*>(o); }

PyObject* asend_new(GenObject* g, Handle sendval) {
  ASend* o = PyObject_GC_New(ASend, &asend_type);
  if (!o) return nullptr;
  zero_after_header(o, sizeof(PyObject), sizeof(ASend));
  o->generator = Ref::borrow(as_obj(g));
  o->sendval = sendval.ref();
  o->state = Awaitable::init;
  PyObject_GC_Track(o);
  return reinterpret_cast<PyObject*>(o);
}

PyObject* athrow_new(GenObject* g, Handle args) {
  AThrow* o = PyObject_GC_New(AThrow, &athrow_type);
  if (!o) return nullptr;
  zero_after_header(o, sizeof(PyObject), sizeof(AThrow));
  o->generator = Ref::borrow(as_obj(g));
  o->args = args.ref();
  o->state = Awaitable::init;
  PyObject_GC_Track(o);
  return reinterpret_cast<PyObject*>(o);
}

PyObject* agen_anext(PyObject* self) {
  GenObject* g = as_gen(self);
  if (agen_init_hooks(g) < 0) return nullptr;
  return asend_new(g, nullptr);
}

PyObject* agen_asend(PyObject* self, PyObject* arg) {
  GenObject* g = as_gen(self);
  if (agen_init_hooks(g) < 0) return nullptr;
  return asend_new(g, arg);
}

PyObject* agen_aclose(PyObject* self, PyObject*) {
  GenObject* g = as_gen(self);
  if (agen_init_hooks(g) < 0) return nullptr;
  return athrow_new(g, nullptr);
}

PyObject* agen_athrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  GenObject* g = as_gen(self);
  ThrowArgs checked;
  if (gen_parse_throw_args("athrow", args, nargs, checked) < 0) return nullptr;
  if (agen_init_hooks(g) < 0) return nullptr;
  Ref tuple = Ref::steal(PyTuple_New(nargs));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, new_ref(args[i]));
  return athrow_new(g, tuple);
}

PyObject* agen_get_running(PyObject* self, void*) { return PyBool_FromLong(as_gen(self)->running_async); }

// --- both awaitables ------------------------------------------------------------

void awaitable_warn_unawaited(GenObject* g, const char* method) {
  PyObject* saved = PyErr_GetRaisedException();
  Ref name = Ref::steal(PyUnicode_FromString(method));
  if (!name || PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine method %R of %R was never awaited", name.get(),
                                g->qualname.get()) < 0)
    PyErr_WriteUnraisable(as_obj(g));
  PyErr_SetRaisedException(saved);
}

// close() of an awaitable: GeneratorExit thrown in through its own throw().
PyObject* awaitable_close(PyObject* self, Awaitable state,
                          PyObject* (*throw_in)(PyObject*, PyObject* const*, Py_ssize_t)) {
  if (state == Awaitable::closed) Py_RETURN_NONE;
  PyObject* exit = PyExc_GeneratorExit;
  Ref r = Ref::steal(throw_in(self, &exit, 1));
  if (r) {
    PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    return nullptr;
  }
  if (closing_exception_pending()) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return nullptr;
}

// --- asend / __anext__ awaitable --------------------------------------------------

// The awaitable is spent when its step gave nullptr: the generator is free
// for the next asend()/athrow().
PyObject* asend_end(ASend* o, PyObject* result) {
  if (!result) {
    o->gen()->running_async = false;
    o->state = Awaitable::closed;
  }
  return result;
}

// Refuses reuse, and a first advance while another awaitable runs the generator.
bool asend_may_advance(ASend* o) {
  if (o->state == Awaitable::closed) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited __anext__()/asend()");
    return false;
  }
  if (o->state == Awaitable::init && o->gen()->running_async) {
    o->state = Awaitable::closed;
    PyErr_SetString(PyExc_RuntimeError, "anext(): asynchronous generator is already running");
    return false;
  }
  return true;
}

PyObject* asend_send(PyObject* self, PyObject* arg) {
  ASend* o = as_asend(self);
  GenObject* g = o->gen();
  if (!asend_may_advance(o)) return nullptr;
  if (o->state == Awaitable::init) {
    if (!arg || arg == Py_None) arg = o->sendval.get();
    o->state = Awaitable::iter;
  }
  g->running_async = true;
  return asend_end(o, agen_unwrap(g, gen_send_step(g, arg)));
}

PyObject* asend_iternext(PyObject* self) { return asend_send(self, nullptr); }

PyObject* asend_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  ASend* o = as_asend(self);
  GenObject* g = o->gen();
  if (!asend_may_advance(o)) return nullptr;
  if (o->state == Awaitable::init) {
    o->state = Awaitable::iter;
    g->running_async = true;
  }
  return asend_end(o, agen_unwrap(g, gen_throw_step(g, args, nargs)));
}

PyObject* asend_close(PyObject* self, PyObject*) { return awaitable_close(self, as_asend(self)->state, asend_throw); }

void asend_finalize(PyObject* self) {
  ASend* o = as_asend(self);
  if (o->state == Awaitable::init) awaitable_warn_unawaited(o->gen(), "asend");
}

int asend_traverse(PyObject* self, visitproc visit, void* arg) {
  ASend* o = as_asend(self);
  return visit_all(visit, arg, o->generator, o->sendval);
}

void asend_dealloc(PyObject* self) {
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
  PyObject_GC_UnTrack(self);
  ASend* o = as_asend(self);
  o->generator.reset();
  o->sendval.reset();
  PyObject_GC_Del(self);
}

// --- athrow / aclose awaitable ------------------------------------------------------

PyObject* athrow_end(AThrow* o, PyObject* result) {
  if (!result) {
    o->gen()->running_async = false;
    o->state = Awaitable::closed;
  }
  return result;
}

// aclose(): the body may await on its way out but must not yield again; its
// end is the awaitable's end. Shared by send() and throw().
PyObject* aclose_result(AThrow* o, Step s) {
  if (s.result == PYGEN_NEXT && !s.yielded) return s.value.release();
  athrow_end(o, nullptr);
  if (s.result == PYGEN_NEXT) {
    PyErr_SetString(PyExc_RuntimeError, "async generator ignored GeneratorExit");
    return nullptr;
  }
  if (s.result == PYGEN_RETURN || PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
      PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
    PyErr_Clear();
    PyErr_SetNone(PyExc_StopIteration);
  }
  return nullptr;
}

// The one exit of a step: athrow() ends as asend() does, aclose() as above.
PyObject* athrow_result(AThrow* o, Step s) {
  if (o->args) return athrow_end(o, agen_unwrap(o->gen(), std::move(s)));
  return aclose_result(o, std::move(s));
}

// Refuses reuse, and a first advance while another awaitable runs the generator.
bool athrow_may_advance(AThrow* o) {
  if (o->state == Awaitable::closed) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited aclose()/athrow()");
    return false;
  }
  if (o->state == Awaitable::init && o->gen()->running_async) {
    o->state = Awaitable::closed;
    PyErr_SetString(PyExc_RuntimeError, o->args ? "athrow(): asynchronous generator is already running"
                                                : "aclose(): asynchronous generator is already running");
    return false;
  }
  return true;
}

// The exception athrow() was given, borrowed from its tuple.
ThrowArgs athrow_args(AThrow* o) {
  PyObject* args = o->args.get();
  Py_ssize_t n = PyTuple_GET_SIZE(args);
  return {PyTuple_GET_ITEM(args, 0), n > 1 ? PyTuple_GET_ITEM(args, 1) : nullptr,
          n > 2 ? PyTuple_GET_ITEM(args, 2) : nullptr};
}

PyObject* athrow_send(PyObject* self, PyObject* arg) {
  AThrow* o = as_athrow(self);
  GenObject* g = o->gen();
  if (o->state != Awaitable::closed && g->state == State::finished) {
    o->state = Awaitable::closed;
    PyErr_SetNone(PyExc_StopIteration);
    return nullptr;
  }
  if (!athrow_may_advance(o)) return nullptr;
  if (o->state == Awaitable::iter) return athrow_result(o, gen_send_step(g, arg ? arg : Py_None));
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
  if (!o->args) g->closed = true;
  ThrowArgs thrown = o->args ? athrow_args(o) : ThrowArgs{PyExc_GeneratorExit, nullptr, nullptr};
  return athrow_result(o, gen_throw_step(g, false, thrown));
}

PyObject* athrow_iternext(PyObject* self) { return athrow_send(self, Py_None); }

PyObject* athrow_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  AThrow* o = as_athrow(self);
  GenObject* g = o->gen();
  if (!athrow_may_advance(o)) return nullptr;
  if (o->state == Awaitable::init) {
    o->state = Awaitable::iter;
    g->running_async = true;
  }
  return athrow_result(o, gen_throw_step(g, args, nargs));
}

PyObject* athrow_close(PyObject* self, PyObject*) {
  return awaitable_close(self, as_athrow(self)->state, athrow_throw);
}

void athrow_finalize(PyObject* self) {
  AThrow* o = as_athrow(self);
  if (o->state == Awaitable::init) awaitable_warn_unawaited(o->gen(), o->args ? "athrow" : "aclose");
}

int athrow_traverse(PyObject* self, visitproc visit, void* arg) {
  AThrow* o = as_athrow(self);
  return visit_all(visit, arg, o->generator, o->args);
}

void athrow_dealloc(PyObject* self) {
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
  PyObject_GC_UnTrack(self);
  AThrow* o = as_athrow(self);
  o->generator.reset();
  o->args.reset();
  PyObject_GC_Del(self);
}

// --- type tables -------------------------------------------------------------------------

PyMethodDef agen_methods[] = {
    {"asend", agen_asend, METH_O, nullptr},
    {"athrow", as_cfunction(agen_athrow), METH_FASTCALL, nullptr},
    {"aclose", agen_aclose, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef agen_getset[] = {
    {"__name__", gen_get_name, gen_set_name, nullptr, nullptr},
    {"__qualname__", gen_get_qualname, gen_set_qualname, nullptr, nullptr},
    {"ag_await", gen_get_await, nullptr, nullptr, nullptr},
    {"ag_frame", gen_get_frame, nullptr, nullptr, nullptr},
    {"ag_running", agen_get_running, nullptr, nullptr, nullptr},
    {"ag_suspended", gen_get_suspended, nullptr, nullptr, nullptr},
    {"ag_code", gen_get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef asend_methods[] = {
    {"send", asend_send, METH_O, nullptr},
    {"throw", as_cfunction(asend_throw), METH_FASTCALL, nullptr},
    {"close", asend_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef athrow_methods[] = {
    {"send", athrow_send, METH_O, nullptr},
    {"throw", as_cfunction(athrow_throw), METH_FASTCALL, nullptr},
    {"close", athrow_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods agen_as_async = {nullptr, PyObject_SelfIter, agen_anext, nullptr};
PyAsyncMethods self_await_as_async = {PyObject_SelfIter, nullptr, nullptr, nullptr};

}  // namespace

PyTypeObject asend_type = [] {
  PyTypeObject t =
      helper_type("morrowfen.async_generator_asend", sizeof(ASend), asend_dealloc, asend_traverse, asend_methods);
  t.tp_iternext = asend_iternext;
  t.tp_as_async = &self_await_as_async;
  t.tp_finalize = asend_finalize;
  return t;
}();

PyTypeObject athrow_type = [] {
  PyTypeObject t =
      helper_type("morrowfen.async_generator_athrow", sizeof(AThrow), athrow_dealloc, athrow_traverse, athrow_methods);
  t.tp_iternext = athrow_iternext;
  t.tp_as_async = &self_await_as_async;
  t.tp_finalize = athrow_finalize;
  return t;
}();

}  // namespace detail

PyTypeObject async_generator_type = [] {
  PyTypeObject t = detail::gen_type_base("morrowfen.async_generator", detail::agen_methods, detail::agen_getset);
  t.tp_as_async = &detail::agen_as_async;
  return t;
}();

}  // namespace mf
