// morrowfen._probe: small bodies written against the runtime, so that tests
// can hold the native coroutine, async-generator and generator objects to
// the interpreter's own behaviour, case by case.
#include <new>

#include "runtime/constants.h"
#include "runtime/coroutine.h"
#include "runtime/function.h"
#include "runtime/ref.h"

namespace {

using mf::Ref;

// await_one(x): `return await x`
struct AwaitOne {
  Ref x;
};
mf::CoroutineBody await_one_body(AwaitOne& L) { co_return co_await mf::await(L.x.copy()); }

// await_all(items): `return [await x for x in items]`
struct AwaitAll {
  Ref items, results;
};
mf::CoroutineBody await_all_body(AwaitAll& L) {
  L.results = Ref::steal(PyList_New(0));
  if (!L.results) co_return {};
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(L.items.get()); ++i) {
    Ref r = co_await mf::await(Ref::borrow(PyList_GET_ITEM(L.items.get(), i)));
    if (!r || PyList_Append(L.results.get(), r.get()) < 0) co_return {};
  }
  co_return std::move(L.results);
}

// stubborn(x): awaits x, and awaits it again whenever an exception is thrown
// in (so it ignores GeneratorExit).
struct Stubborn {
  Ref x;
};
mf::CoroutineBody stubborn_body(Stubborn& L) {
  for (;;) {
    Ref r = co_await mf::await(L.x.copy());
    if (r) co_return r;
    PyErr_Clear();
  }
}

// raise_stop(): raises StopIteration out of the body.
struct RaiseStop {
  Ref unused;
};
mf::CoroutineBody raise_stop_body(RaiseStop&) {
  PyErr_SetNone(PyExc_StopIteration);
  co_return {};
}

// count(n): yields 0..n-1 and returns "done"; a thrown exception is yielded
// back as ("caught", exc) once and counting goes on.
struct Count {
  Ref n, i;
};
mf::GeneratorBody count_body(Count& L) {
  long n = PyLong_AsLong(L.n.get());
  if (n == -1 && PyErr_Occurred()) co_return {};
  for (long i = 0; i < n; ++i) {
    Ref sent = co_yield Ref::steal(PyLong_FromLong(i));
    if (!sent) {
      if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) co_return {};
      Ref exc = Ref::steal(PyErr_GetRaisedException());
      Ref again = co_yield Ref::steal(Py_BuildValue("(sO)", "caught", exc.get()));
      if (!again) co_return {};
    }
  }
  co_return Ref::steal(PyUnicode_FromString("done"));
}

// echo(): yields None, then yields back every value sent in.
struct Echo {
  Ref last;
};
mf::GeneratorBody echo_body(Echo& L) {
  L.last = Ref::none();
  for (;;) {
    Ref sent = co_yield L.last.copy();
    if (!sent) co_return {};
    L.last = std::move(sent);
  }
}

// agen(items): for x in items: yield await x
struct AGen {
  Ref items, index;
};
mf::AsyncGeneratorBody agen_body(AGen& L) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(L.items.get()); ++i) {
    Ref r = co_await mf::await(Ref::borrow(PyList_GET_ITEM(L.items.get(), i)));
    if (!r) co_return {};
    Ref sent = co_yield std::move(r);
    if (!sent) co_return {};
  }
  co_return Ref::none();
}

// agen_stubborn(x): yields 1, and yields again after any exception thrown in.
struct AGenStubborn {
  Ref x;
};
mf::AsyncGeneratorBody agen_stubborn_body(AGenStubborn&) {
  for (;;) {
    Ref sent = co_yield Ref::steal(PyLong_FromLong(1));
    if (!sent) PyErr_Clear();
  }
}

// collect(iterable): `return [x async for x in iterable]`
struct Collect {
  Ref iterable, iter, results;
};
mf::CoroutineBody collect_body(Collect& L) {
  L.iter = mf::aiter(L.iterable.get());
  L.results = Ref::steal(PyList_New(0));
  if (!L.iter || !L.results) co_return {};
  for (;;) {
    Ref item = co_await mf::anext(L.iter);
    if (!item) break;
    if (PyList_Append(L.results.get(), item.get()) < 0) co_return {};
  }
  if (!mf::async_iteration_ended()) co_return {};
  co_return std::move(L.results);
}

// no_memory(x): fails with std::bad_alloc, as a body whose std::string cannot
// grow does.
struct NoMemory {
  Ref x;
};
mf::CoroutineBody no_memory_body(NoMemory&) {
  throw std::bad_alloc();
  co_return {};
}

PyObject* await_one(PyObject* self, PyObject* const* args) { return mf::start(self, args, await_one_body); }
PyObject* await_all(PyObject* self, PyObject* const* args) { return mf::start(self, args, await_all_body); }
PyObject* stubborn(PyObject* self, PyObject* const* args) { return mf::start(self, args, stubborn_body); }
PyObject* raise_stop(PyObject* self, PyObject* const* args) { return mf::start(self, args, raise_stop_body); }
PyObject* count(PyObject* self, PyObject* const* args) { return mf::start(self, args, count_body); }
PyObject* echo(PyObject* self, PyObject* const* args) { return mf::start(self, args, echo_body); }
PyObject* agen(PyObject* self, PyObject* const* args) { return mf::start(self, args, agen_body); }
PyObject* agen_stubborn(PyObject* self, PyObject* const* args) { return mf::start(self, args, agen_stubborn_body); }
PyObject* collect(PyObject* self, PyObject* const* args) { return mf::start(self, args, collect_body); }
PyObject* no_memory(PyObject* self, PyObject* const* args) { return mf::start(self, args, no_memory_body); }

PyTypeObject* list_type = &PyList_Type;

const mf::Param p_x[] = {{"x"}};
const mf::Param p_items[] = {{"items", mf::exactly(&list_type)}};
const mf::Param p_n[] = {{"n"}};
const mf::Param p_iterable[] = {{"iterable"}};

const mf::FunctionDef defs[] = {
    {"await_one", p_x, mf::Kind::coroutine, nullptr, await_one},
    {"await_all", p_items, mf::Kind::coroutine, nullptr, await_all},
    {"stubborn", p_x, mf::Kind::coroutine, nullptr, stubborn},
    {"raise_stop", p_x, mf::Kind::coroutine, nullptr, raise_stop},
    {"count", p_n, mf::Kind::generator, nullptr, count},
    {"echo", p_x, mf::Kind::generator, nullptr, echo},
    {"agen", p_items, mf::Kind::async_generator, nullptr, agen},
    {"agen_stubborn", p_x, mf::Kind::async_generator, nullptr, agen_stubborn},
    {"collect", p_iterable, mf::Kind::coroutine, nullptr, collect},
    {"no_memory", p_x, mf::Kind::coroutine, nullptr, no_memory},
};

int exec(PyObject* module) {
  if (mf::ready_runtime() < 0) return -1;
  PyObject* globals = PyModule_GetDict(module);
  Ref name = Ref::steal(PyUnicode_FromString("morrowfen._probe"));
  if (!name) return -1;
  for (const mf::FunctionDef& def : defs) {
    Ref fn = mf::make_function(def, "morrowfen/runtime/probe.cpp", globals, name.get());
    if (!fn || PyModule_AddObjectRef(module, def.name, fn.get()) < 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec)}, {0, nullptr}};
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_probe", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__probe() { return PyModuleDef_Init(&module_def); }
