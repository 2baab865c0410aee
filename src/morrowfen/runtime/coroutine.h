// Native coroutine, async-generator and generator objects.
//
// A body is a C++20 coroutine returning CoroutineBody, AsyncGeneratorBody or
// GeneratorBody. It keeps every Python object that lives across a suspension
// in its Locals struct (a standard-layout struct of Refs that the garbage
// collector can see); the parameters of the Python function are its first
// members, in order. Inside a body:
//
//   Ref r = co_await mf::await(std::move(obj));  // `await obj`
//   Ref s = co_await mf::anext(L.iter);            // one step of `async for`
//   Ref v = co_yield std::move(item);              // generators only
//   co_return Ref::none();                         // or co_return {} on error
//
// Every awaited result is a Ref that is empty when an exception is pending,
// exactly as the C API reports errors; awaiting an empty Ref (a call that
// failed) gives an empty result with that exception kept, so the result of a
// call is awaited without a check first. Keep co_await and co_yield out of the
// conditions of `if` statements and out of the branches of conditional
// expressions (`c ? co_await a : b`): g++ 12 mislays the frame of such a
// coroutine (it is then neither freed nor destroyed correctly, or the awaited
// result is lost). Take the result first:
// `bool sent = static_cast<bool>(co_await ...); if (!sent) ...`. Only Python awaitables can be awaited:
// the promise refuses anything else at compile time.
//
// The Python objects behave as the interpreter's own coroutines, async
// generators and generators: send/throw/close, __await__, asend/athrow/aclose,
// the cr_*/ag_*/gi_* attributes, the asyncgen hooks, GC and finalization.
#pragma once

#include <Python.h>

#include <coroutine>
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include "errors.h"
#include "function.h"
#include "ref.h"

namespace mf {

// --- what a body may await -------------------------------------------------

// `await obj`: the awaitable's iterator is driven as `yield from` drives it.
struct Await {
  Ref target;
};
inline Await await(Ref obj) noexcept { return {std::move(obj)}; }

// One step of `async for` over the iterator `it` (from aiter()): calls
// __anext__ and awaits its result. An empty result with StopAsyncIteration
// pending is the end of the iteration, so a loop relays every item and tells
// the end from an error once, after:
//
//   for (;;) {
//     L.item = co_await mf::anext(L.iter);
//     if (!L.item) break;
//     ...
//   }
//   if (!mf::async_iteration_ended()) co_return {};
struct AwaitNext {
  PyObject* iterator;
};
inline AwaitNext anext(const Ref& it) noexcept { return {it.get()}; }

// Asks for `hook(context)` to be called once, the first time the body is
// about to suspend in an awaited object from here on: `co_await
// mf::on_first_suspend(hook, context)`. An await that completes at once does
// not call it; `on_first_suspend(nullptr, nullptr)` withdraws the request.
// The hook runs before the body suspends, inside the step that advances it,
// must not raise, and leaves no exception set. (The serving layer begins
// watching a client only once a stream really waits.)
using SuspendHook = void (*)(void* context) noexcept;
struct OnFirstSuspend {
  SuspendHook hook;
  void* context;
};
inline OnFirstSuspend on_first_suspend(SuspendHook hook, void* context) noexcept { return {hook, context}; }

// True when `await obj` would accept `obj` (a coroutine, a generator-based
// coroutine, or an object with __await__).
bool is_awaitable(Handle obj) noexcept;

// The iterator that `await obj` drives, as the interpreter obtains it (the
// coroutine itself, or its __await__()); TypeError when `obj` is not
// awaitable.
Ref awaitable_iter(Handle obj) noexcept;

// The asynchronous iterator of `obj` (its __aiter__), as `async for` takes it.
Ref aiter(Handle obj) noexcept;

// After an empty anext() result: true (and the exception cleared) when the
// iteration simply ended, false when a real error is pending (a check).
bool async_iteration_ended() noexcept;

namespace detail {

struct GenObject;

enum class Suspend : unsigned char { none, awaiting, yielded };

struct PromiseBase {
  GenObject* owner = nullptr;
  // Hand-over slot: the value sent in at a resume, or the value the body
  // yields, returns or passes through from an awaited object. Empty with an
  // exception pending means an error travels in that direction.
  Ref value;
  Suspend suspended = Suspend::none;
  SuspendHook suspend_hook = nullptr;
  void* suspend_context = nullptr;

  // Frames come from a small cache of freed ones of the same size (a
  // request makes the same coroutines over and over; most frames are larger
  // than the interpreter's small-object allocator serves).
  static void* operator new(std::size_t size) noexcept;
  static void operator delete(void* p, std::size_t size) noexcept;

  std::suspend_always initial_suspend() noexcept { return {}; }
  std::suspend_always final_suspend() noexcept { return {}; }
  // Inline: it runs in the handler the body's module compiled
  // (set_error_from_current_exception, errors.h).
  void unhandled_exception() noexcept {
    set_error_from_current_exception("unexpected C++ exception in a coroutine body");
    value.reset();
  }
  void return_value(Ref result) noexcept { value = std::move(result); }

  struct AwaitAdapter {
    PromiseBase& promise;
    Ref iterator;  // the awaitable's iterator, or empty (error / done)
    Ref result;
    bool suspended;
    bool await_ready() noexcept;
    void await_suspend(std::coroutine_handle<>) noexcept {}
    Ref await_resume() noexcept;
  };
  AwaitAdapter await_transform(Await a) noexcept;
  AwaitAdapter await_transform(AwaitNext a) noexcept;

  // Records the hook; never suspends.
  struct HookAdapter {
    bool await_ready() noexcept { return true; }
    void await_suspend(std::coroutine_handle<>) noexcept {}
    void await_resume() noexcept {}
  };
  HookAdapter await_transform(OnFirstSuspend h) noexcept {
    suspend_hook = h.hook;
    suspend_context = h.context;
    return {};
  }

  struct YieldAdapter {
    PromiseBase& promise;
    bool await_ready() noexcept { return false; }
    void await_suspend(std::coroutine_handle<>) noexcept {}
    Ref await_resume() noexcept { return std::move(promise.value); }
  };
};

// Makes the object for a body of `function`; its Locals slots take the
// bound arguments. Not yet tracked by the collector.
GenObject* gen_new(PyObject* function, Kind kind, Py_ssize_t nslots, PyObject* const* args) noexcept;
Ref* gen_slots(GenObject* g) noexcept;
// Gives `g` its coroutine frame and hands out the object; an empty `h` (the
// frame could not be allocated) frees `g` and raises MemoryError.
PyObject* gen_attach_or_free(GenObject* g, std::coroutine_handle<> h, PromiseBase* p) noexcept;
inline PyObject* gen_attach(GenObject* g, std::coroutine_handle<> h, PromiseBase* p) noexcept {
  return gen_attach_or_free(g, h, p);
}

}  // namespace detail

template <Kind K>
class [[nodiscard]] Body {
 public:
  struct promise_type : detail::PromiseBase {
    Body get_return_object() noexcept { return Body(std::coroutine_handle<promise_type>::from_promise(*this)); }
    static Body get_return_object_on_allocation_failure() noexcept { return Body(); }
    YieldAdapter yield_value(Ref item) noexcept
      requires(K != Kind::coroutine)
    {
      value = std::move(item);
      suspended = detail::Suspend::yielded;
      return {*this};
    }
  };

  Body(Body&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Body& operator=(Body&&) = delete;
  ~Body() {
    if (handle_) handle_.destroy();
  }
  std::coroutine_handle<promise_type> release() noexcept { return std::exchange(handle_, {}); }

 private:
  Body() noexcept = default;
  explicit Body(std::coroutine_handle<promise_type> h) noexcept : handle_(h) {}
  std::coroutine_handle<promise_type> handle_;
};

using CoroutineBody = Body<Kind::coroutine>;
using AsyncGeneratorBody = Body<Kind::async_generator>;
using GeneratorBody = Body<Kind::generator>;

// Creates the coroutine (or generator) object of `function` running `body`.
// The first members of Locals receive the bound arguments, in parameter
// order; nothing of the body runs before the object is first advanced.
template <class Locals, Kind K>
PyObject* start(PyObject* function, PyObject* const* args, Body<K> (*body)(Locals&)) noexcept {
  static_assert(std::is_standard_layout_v<Locals> && sizeof(Locals) % sizeof(Ref) == 0,
                "Locals must be a struct of Refs");
  constexpr Py_ssize_t nslots = sizeof(Locals) / sizeof(Ref);
  detail::GenObject* g = detail::gen_new(function, K, nslots, args);
  if (!g) return nullptr;
  Locals& locals = *std::launder(reinterpret_cast<Locals*>(detail::gen_slots(g)));
  auto handle = body(locals).release();
  return detail::gen_attach_or_free(g, handle, handle ? &handle.promise() : nullptr);
}

// The Python face of a function whose call only starts `Body` (the entry of
// its FunctionDef): `mf::body_py<read_body>`.
template <auto Body>
PyObject* body_py(PyObject* function, PyObject* const* args) noexcept {
  return start(function, args, Body);
}

// The object types, readied (and registered with collections.abc) by
// ready_coroutine_types(), once per process.
extern PyTypeObject coroutine_type;
extern PyTypeObject async_generator_type;
extern PyTypeObject generator_type;
int ready_coroutine_types() noexcept;

// Everything a module of the package needs from the runtime before it makes
// functions or coroutines: its constants, the function type, the coroutine
// types. Idempotent; 0, or -1 with an exception set.
int ready_runtime() noexcept;

// Raises StopIteration carrying `value` (the interpreter's way to return a
// value from an iterator step).
void set_stop_iteration(Handle value) noexcept;

}  // namespace mf
