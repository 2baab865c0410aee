// The C++ coroutine side of the native coroutine objects: the promise that a
// body's co_await and co_yield go through, the adapters that drive an awaited
// object as `yield from` does, and the making of the Python object for a body.
#include "coroutine.h"
#include "errors.h"
#include "generator_object.h"

namespace mf {
namespace detail {
namespace {

// A generator made by a types.coroutine function.
bool is_iterable_coroutine(PyObject* obj) {
  if (!PyGen_CheckExact(obj)) return false;
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyGen_GetCode(reinterpret_cast<PyGenObject*>(obj))));
  return code && (reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_ITERABLE_COROUTINE);
}

// The iterator that `await obj` drives, as the interpreter obtains it.
Ref awaitable_iter_of(PyObject* obj) {
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

// --- coroutine frames -------------------------------------------------------------
//
// Freed frames are kept by size, a few of each of the first sizes seen, and
// handed out again. Only ever used with the interpreter's lock held. Not under
// AddressSanitizer, which must see every frame freed.

struct FrameCache {
  static constexpr std::size_t sizes = 16;  // distinct frame sizes kept
  static constexpr std::size_t depth = 8;   // frames kept of each
  struct Bucket {
    std::size_t size = 0;
    std::size_t count = 0;
    void* frames[depth] = {};
  };
  Bucket buckets[sizes];

  Bucket* find(std::size_t size, bool add) noexcept {
    for (Bucket& b : buckets) {
      if (b.size == size) return &b;
      if (b.size == 0) {
        if (!add) return nullptr;
        b.size = size;
        return &b;
      }
    }
    return nullptr;
  }
};
constinit FrameCache frame_cache;

}  // namespace

void* PromiseBase::operator new(std::size_t size) noexcept {
  FrameCache::Bucket* b = frame_cache.find(size, false);
  if (b && b->count) return b->frames[--b->count];
  return PyObject_Malloc(size);
}

void PromiseBase::operator delete(void* p, std::size_t size) noexcept {
#ifdef __SANITIZE_ADDRESS__
  (void)size;
  PyObject_Free(p);
  return;
#endif
  FrameCache::Bucket* b = frame_cache.find(size, true);
  if (b && b->count < FrameCache::depth) {
    b->frames[b->count++] = p;
    return;
  }
  PyObject_Free(p);
}

// --- the promise ------------------------------------------------------------------

PromiseBase::AwaitAdapter PromiseBase::await_transform(Await a) noexcept {
  // Taken out of the argument: temporaries of a co_await expression live on
  // in the frame across the suspension, where the collector cannot see them.
  Ref target = std::move(a.target);
  Ref it = target ? awaitable_iter_of(target.get()) : Ref();
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
    PyErr_Format(PyExc_TypeError, "'async for' received an invalid object from __anext__: %.200s", step_type->tp_name);
    return {*this, Ref(), Ref(), false};
  }
  return {*this, awaitable_iter_of(step.get()), Ref(), false};
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
  if (SuspendHook hook = std::exchange(promise.suspend_hook, nullptr)) hook(promise.suspend_context);
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

// --- the object for a body -----------------------------------------------------------

GenObject* gen_new(PyObject* function, Kind kind, Py_ssize_t nslots, PyObject* const* args) noexcept {
  PyTypeObject* type = kind == Kind::coroutine         ? &coroutine_type
                       : kind == Kind::async_generator ? &async_generator_type
                                                       : &generator_type;
  GenObject* g = PyObject_GC_NewVar(GenObject, type, nslots);
  if (!g) return nullptr;
  // Every field and slot starts empty (null handle, no promise, false flags).
  zero_after_header(g, sizeof(PyVarObject),
                    static_cast<std::size_t>(gen_slots_offset + nslots * Py_ssize_t{sizeof(Ref)}));
  FunctionInfo info = function_info(function);
  g->function = Ref::borrow(function);
  g->name = Ref::borrow(info.name);
  g->qualname = Ref::borrow(info.qualname);
  g->kind = kind;
  g->state = State::created;
  Ref* s = slots_of(g);
  for (std::size_t i = 0; i < info.def->nparams && static_cast<Py_ssize_t>(i) < nslots; ++i)
    s[i] = Ref::borrow(args[i]);
  return g;
}

Ref* gen_slots(GenObject* g) noexcept { return slots_of(g); }

PyObject* gen_attach_or_free(GenObject* g, std::coroutine_handle<> h, PromiseBase* p) noexcept {
  if (!h) {
    g->state = State::finished;     // nothing to finalize
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

bool is_awaitable(Handle obj) noexcept {
  PyTypeObject* type = Py_TYPE(obj.get());
  return (type->tp_as_async && type->tp_as_async->am_await) || PyCoro_CheckExact(obj.get()) ||
         detail::is_iterable_coroutine(obj.get());
}

Ref awaitable_iter(Handle obj) noexcept { return detail::awaitable_iter_of(obj.get()); }

Ref aiter(Handle obj) noexcept {
  PyTypeObject* type = Py_TYPE(obj.get());
  unaryfunc getter = type->tp_as_async ? type->tp_as_async->am_aiter : nullptr;
  if (!getter) {
    PyErr_Format(PyExc_TypeError, "'async for' requires an object with __aiter__ method, got %.200s", type->tp_name);
    return {};
  }
  return Ref::steal(getter(obj.get()));
}

bool async_iteration_ended() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) return false;
  PyErr_Clear();
  return true;
}

}  // namespace mf
