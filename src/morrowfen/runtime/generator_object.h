// What the three sides of the native coroutine objects share, private to the
// runtime: the object layout, the step state machine that advances a body,
// and the building blocks of the type objects.
//
//   body.cpp             the C++ coroutine side: promise, await adapters,
//                        making an object for a body
//   generator.cpp        GenObject's state machine; the coroutine, generator
//                        and coroutine-wrapper types
//   async_generator.cpp  the async generator type and its asend/athrow
//                        awaitables
#pragma once

#include <Python.h>

#include <coroutine>
#include <cstddef>

#include "coroutine.h"
#include "function.h"
#include "ref.h"

namespace mf::detail {

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

inline constexpr Py_ssize_t gen_slots_offset = offsetof(GenObject, slots);

inline GenObject* as_gen(PyObject* o) noexcept { return reinterpret_cast<GenObject*>(o); }
inline PyObject* as_obj(GenObject* g) noexcept { return reinterpret_cast<PyObject*>(g); }
inline Ref* slots_of(GenObject* g) noexcept { return reinterpret_cast<Ref*>(g->slots); }

// --- the step state machine (generator.cpp) ----------------------------------

// One advance of a body. PYGEN_NEXT: the body suspended and `value` goes out
// (`yielded` tells a value the body yielded from one passing through from an
// awaited object); PYGEN_RETURN: `value` is the result; PYGEN_ERROR: an
// exception is set and `value` is empty.
struct Step {
  PySendResult result = PYGEN_ERROR;
  Ref value;
  bool yielded = false;
};

// What throw() raises in a body: the type or instance, and the deprecated
// value and traceback (each may be nullptr). Borrowed from the caller.
struct ThrowArgs {
  Handle type;
  Handle value;
  Handle traceback;
};

// send(arg); `arg` nullptr is __next__(). With `closing`, a finished
// coroutine ends quietly instead of refusing reuse.
Step gen_send_step(GenObject* g, Handle arg, bool closing = false) noexcept;

// throw(): the exception goes to the awaited iterator first, as `yield from`
// passes it on; with `close_on_genexit`, GeneratorExit closes that iterator
// instead.
Step gen_throw_step(GenObject* g, bool close_on_genexit, ThrowArgs args) noexcept;

// throw() with its arguments as given from Python (1 to 3 of them).
Step gen_throw_step(GenObject* g, PyObject* const* args, Py_ssize_t nargs) noexcept;

// close(): GeneratorExit thrown in; the result of close(), or nullptr.
PyObject* gen_close_impl(GenObject* g) noexcept;

// Validates the (type[, value[, traceback]]) arguments of throw()/athrow()
// named `name`, with the interpreter's texts and deprecation warning.
int gen_parse_throw_args(const char* name, PyObject* const* args, Py_ssize_t nargs, ThrowArgs& out) noexcept;

// --- the type objects ----------------------------------------------------------

// The getters and setters every object kind shares.
PyObject* gen_get_name(PyObject* self, void*) noexcept;
int gen_set_name(PyObject* self, PyObject* value, void*) noexcept;
PyObject* gen_get_qualname(PyObject* self, void*) noexcept;
int gen_set_qualname(PyObject* self, PyObject* value, void*) noexcept;
PyObject* gen_get_await(PyObject* self, void*) noexcept;
PyObject* gen_get_frame(PyObject* self, void*) noexcept;
PyObject* gen_get_suspended(PyObject* self, void*) noexcept;
PyObject* gen_get_code(PyObject* self, void*) noexcept;

// A type of GenObject: its slots (dealloc, GC, finalizer, repr), methods and
// attributes.
PyTypeObject gen_type_base(const char* name, PyMethodDef* methods, PyGetSetDef* getset) noexcept;

// A small GC'd iterator type (coroutine wrapper, asend, athrow).
PyTypeObject helper_type(const char* name, Py_ssize_t size, destructor dealloc, traverseproc traverse,
                         PyMethodDef* methods) noexcept;

extern PyTypeObject coroutine_wrapper_type;
extern PyTypeObject asend_type;
extern PyTypeObject athrow_type;

}  // namespace mf::detail
