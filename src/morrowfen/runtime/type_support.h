// Building blocks for the extension types of the package's modules:
// attribute accessors for the fields of the framework_types structs, GC slots
// generated from a list of field offsets, and the Python and C faces of a
// C-level method, which run a Python-level override when there is one.
//
// Every struct of framework_types keeps its objects in Ref fields. Instances
// come from tp_alloc, which zeroes them: a zeroed Ref is a valid empty Ref,
// so no constructor runs, and teardown resets each Ref field before the
// memory is freed.
#pragma once

#include <Python.h>

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>

#include "constants.h"
#include "errors.h"
#include "free_list.h"
#include "function.h"
#include "ref.h"
#include "types.h"

namespace mf::support {

template <class T>
inline T& field(PyObject* self, std::size_t offset) noexcept {
  return *reinterpret_cast<T*>(reinterpret_cast<char*>(self) + offset);
}

inline void* closure_of(std::size_t offset) noexcept { return reinterpret_cast<void*>(offset); }
inline std::size_t offset_of(void* closure) noexcept { return reinterpret_cast<std::size_t>(closure); }

template <class T>
inline PyObject* as_object(T* p) noexcept {
  return reinterpret_cast<PyObject*>(p);
}

// --- attribute accessors ----------------------------------------------------

// An object field: reads give None for an empty field; any object may be
// stored, and deleting the attribute stores None.
inline PyObject* get_object(PyObject* self, void* closure) noexcept {
  const Ref& r = field<Ref>(self, offset_of(closure));
  return new_ref(r ? r.get() : Py_None);
}

inline int set_object(PyObject* self, PyObject* value, void* closure) noexcept {
  field<Ref>(self, offset_of(closure)) = Ref::borrow(value ? value : Py_None);
  return 0;
}

inline int refuse_delete(PyObject* self, void* closure) noexcept {
  (void)closure;
  PyErr_Format(PyExc_TypeError, "cannot delete this attribute of %.200s objects", Py_TYPE(self)->tp_name);
  return -1;
}

// Converts a Python int to a C integer type, refusing other types and values
// out of the type's range.
template <class T>
inline bool to_integer(PyObject* value, T& out) noexcept {
  if (!PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "an integer is required, not %.200s", Py_TYPE(value)->tp_name);
    return false;
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow || v < static_cast<long long>(std::numeric_limits<T>::min()) ||
      v > static_cast<long long>(std::numeric_limits<T>::max())) {
    PyErr_Format(PyExc_OverflowError, "Python int out of range for a %d-bit field",
                 static_cast<int>(sizeof(T) * CHAR_BIT));
    return false;
  }
  out = static_cast<T>(v);
  return true;
}

template <class T>
inline PyObject* get_integer(PyObject* self, void* closure) noexcept {
  return PyLong_FromLongLong(static_cast<long long>(field<T>(self, offset_of(closure))));
}

template <class T>
inline int set_integer(PyObject* self, PyObject* value, void* closure) noexcept {
  if (!value) return refuse_delete(self, closure);
  T v;
  if (!to_integer(value, v)) return -1;
  field<T>(self, offset_of(closure)) = v;
  return 0;
}

// An int field holding a truth value.
inline PyObject* get_flag(PyObject* self, void* closure) noexcept {
  return PyBool_FromLong(field<int>(self, offset_of(closure)));
}

inline int set_flag(PyObject* self, PyObject* value, void* closure) noexcept {
  if (!value) return refuse_delete(self, closure);
  int truth = PyObject_IsTrue(value);
  if (truth < 0) return -1;
  field<int>(self, offset_of(closure)) = truth;
  return 0;
}

inline PyGetSetDef object_field(const char* name, std::size_t offset, const char* doc = nullptr) noexcept {
  return {name, get_object, set_object, doc, closure_of(offset)};
}

template <class T>
inline PyGetSetDef integer_field(const char* name, std::size_t offset, const char* doc = nullptr) noexcept {
  return {name, get_integer<T>, set_integer<T>, doc, closure_of(offset)};
}

inline PyGetSetDef flag_field(const char* name, std::size_t offset, const char* doc = nullptr) noexcept {
  return {name, get_flag, set_flag, doc, closure_of(offset)};
}

inline constexpr PyGetSetDef getset_end{nullptr, nullptr, nullptr, nullptr, nullptr};

// --- GC slots from the offsets of a struct's Ref fields -------------------

template <const auto& Offsets>
int traverse_refs(PyObject* self, visitproc visit, void* arg) noexcept {
  for (std::size_t offset : Offsets) {
    if (int e = mf::visit(field<Ref>(self, offset), visit, arg)) return e;
  }
  return 0;
}

template <const auto& Offsets>
int clear_refs(PyObject* self) noexcept {
  for (std::size_t offset : Offsets) field<Ref>(self, offset).reset();
  return 0;
}

template <const auto& Offsets>
void dealloc_refs(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  clear_refs<Offsets>(self);
  Py_TYPE(self)->tp_free(self);
}

// The same, keeping the memory of an instance of exactly `Type` in `List`
// (runtime/free_list.h) for the next one `alloc_kept` makes.
template <const auto& Offsets, PyTypeObject& Type, auto& List>
void dealloc_kept(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  clear_refs<Offsets>(self);
  if (Py_IS_TYPE(self, &Type) && List.give_back(self)) return;
  Py_TYPE(self)->tp_free(self);
}

// tp_alloc(type, 0), from `List` for exactly `Type` when it keeps one.
template <PyTypeObject& Type, auto& List>
PyObject* alloc_kept(PyTypeObject* type) noexcept {
  if (type == &Type) {
    if (PyObject* kept = List.take(type)) return kept;
  }
  return type->tp_alloc(type, 0);
}

// The same for types that share their slots, each with its list in `Lists`
// (a FreeLists).
template <const auto& Offsets, auto& Lists>
void dealloc_listed(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  clear_refs<Offsets>(self);
  if (auto* list = Lists.of(Py_TYPE(self)); list && list->give_back(self)) return;
  Py_TYPE(self)->tp_free(self);
}

template <auto& Lists>
PyObject* alloc_listed(PyTypeObject* type) noexcept {
  if (auto* list = Lists.of(type)) {
    if (PyObject* kept = list->take(type)) return kept;
  }
  return type->tp_alloc(type, 0);
}

// Stores None in every Ref field (fresh instances, so that Python code never
// meets an empty field).
template <const auto& Offsets>
void fill_none(PyObject* self) noexcept {
  for (std::size_t offset : Offsets) field<Ref>(self, offset) = Ref::none();
}

// Fills in the slots every GC-tracked type of the siblings shares.
template <const auto& Offsets>
void gc_slots(PyTypeObject& type) noexcept {
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  type.tp_traverse = traverse_refs<Offsets>;
  type.tp_clear = clear_refs<Offsets>;
  type.tp_dealloc = dealloc_refs<Offsets>;
}

// --- Python-level overrides of C-level methods ----------------------------

// When the class of `self` replaces the native method `native` (the function
// behind the Python-visible method `name`), calls the replacement with `args`
// and returns its result (empty with an exception set on failure). Returns
// std::nullopt when no replacement exists: the caller runs the native code.
template <class... Args>
std::optional<Ref> call_override(PyObject* self, PyObject* name, PyCFunction native, Args... args) noexcept {
  std::optional<Ref> method = python_override(self, name, native);
  if (!method) return std::nullopt;
  if (!*method) return Ref();
  PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
  return Ref::steal(
      PyObject_Vectorcall(method->get(), argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The argument count check of a METH_FASTCALL method taking exactly `n`.
inline bool check_count(const char* name, Py_ssize_t nargs, Py_ssize_t n) noexcept {
  if (nargs == n) return true;
  PyErr_Format(PyExc_TypeError, "%.200s() takes exactly %zd argument%s (%zd given)", name, n, n == 1 ? "" : "s", nargs);
  return false;
}

// The truth value of an override's result, as the int-returning C-level
// methods report it: 0, 1, or -1 with an exception set.
inline int truth_of(const Ref& result) noexcept { return result ? PyObject_IsTrue(result.get()) : -1; }

// --- C-level methods: one native, its Python face, its C face -------------
//
// A C-level method of a sibling type is written once, as a native
// `R name_impl(Self*, PyObject*...)` that returns a new reference (or nullptr
// with an exception), a status (0, or -1 with an exception) or a predicate
// (1, 0, or -1 with an exception). From it the templates below make
//   py_object / py_status / py_predicate: the Python face that goes into the
//     type's method table (METH_NOARGS for no argument, METH_O for one,
//     METH_FASTCALL with a count check for two), and
//   c_object / c_status / c_predicate: the entry of the type's C-level table,
//     which runs a Python subclass's replacement of the method named `Name`
//     when there is one, and the native otherwise.
// Register the Python face given by py_...<native, name>() so that the
// override test recognises it.

template <class F>
struct native_self;
template <class R, class S, class... A>
struct native_self<R (*)(S*, A...)> {
  using type = S;
};
template <class R, class S, class... A>
struct native_self<R (*)(S*, A...) noexcept> {
  using type = S;
};
template <auto Native>
using self_of = typename native_self<decltype(Native)>::type;

template <auto Native>
self_of<Native>* self_as(PyObject* o) noexcept {
  return reinterpret_cast<self_of<Native>*>(o);
}

// Result conversions of the Python faces.
inline PyObject* object_result(PyObject* r) noexcept { return r; }
inline PyObject* status_result(int r) noexcept { return r < 0 ? nullptr : new_ref(Py_None); }
inline PyObject* predicate_result(int r) noexcept { return r < 0 ? nullptr : PyBool_FromLong(r); }

template <auto Native, auto Result>
PyObject* py_face0(PyObject* self, PyObject*) noexcept {
  return guard([&] { return Result(Native(self_as<Native>(self))); });
}
template <auto Native, auto Result>
PyObject* py_face1(PyObject* self, PyObject* arg) noexcept {
  return guard([&] { return Result(Native(self_as<Native>(self), arg)); });
}
template <auto Native, auto Result, const Str& Name>
PyObject* py_face2(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (!check_count(Name.text(), nargs, 2)) return nullptr;
  return guard([&] { return Result(Native(self_as<Native>(self), args[0], args[1])); });
}

// The Python face for arity 0, 1 or 2 (the name is used by the count check).
template <auto Native, auto Result, const Str& Name, std::size_t Arity>
PyCFunction py_face() noexcept {
  if constexpr (Arity == 0) return py_face0<Native, Result>;
  else if constexpr (Arity == 1) return py_face1<Native, Result>;
  else return as_cfunction(py_face2<Native, Result, Name>);
}

template <class F>
struct native_arity;
template <class R, class S, class... A>
struct native_arity<R (*)(S*, A...)> : std::integral_constant<std::size_t, sizeof...(A)> {};
template <class R, class S, class... A>
struct native_arity<R (*)(S*, A...) noexcept> : std::integral_constant<std::size_t, sizeof...(A)> {};

template <auto Native, const Str& Name>
PyCFunction py_object() noexcept {
  return py_face<Native, object_result, Name, native_arity<decltype(Native)>::value>();
}
template <auto Native, const Str& Name>
PyCFunction py_status() noexcept {
  return py_face<Native, status_result, Name, native_arity<decltype(Native)>::value>();
}
template <auto Native, const Str& Name>
PyCFunction py_predicate() noexcept {
  return py_face<Native, predicate_result, Name, native_arity<decltype(Native)>::value>();
}

// The C faces.
template <auto Native, const Str& Name, class... A>
PyObject* c_object(self_of<Native>* self, A... args) noexcept {
  return guard([&]() -> PyObject* {
    if (auto r = call_override(as_object(self), Name, py_object<Native, Name>(), args...)) return r->release();
    return Native(self, args...);
  });
}
template <auto Native, const Str& Name, class... A>
int c_status(self_of<Native>* self, A... args) noexcept {
  return guard([&]() -> int {
    if (auto r = call_override(as_object(self), Name, py_status<Native, Name>(), args...)) return *r ? 0 : -1;
    return Native(self, args...);
  });
}
template <auto Native, const Str& Name, class... A>
int c_predicate(self_of<Native>* self, A... args) noexcept {
  return guard([&]() -> int {
    if (auto r = call_override(as_object(self), Name, py_predicate<Native, Name>(), args...)) return truth_of(*r);
    return Native(self, args...);
  });
}

// The C face of a method whose Python face is written by hand (METH_NOARGS
// or METH_O): the face itself is the native.
template <PyCFunction Py, const Str& Name, class Self>
PyObject* c_method0(Self* self) noexcept {
  return guard([&]() -> PyObject* {
    if (auto r = call_override(as_object(self), Name, Py)) return r->release();
    return Py(as_object(self), nullptr);
  });
}

// Makes a module's private function objects (the ones its methods start
// coroutines with) the first time, each into its field of the module's state.
template <std::size_t N>
int make_functions(PyObject* module, const char* module_name, const char* file, const FunctionDef (&defs)[N],
                   Ref* const (&slots)[N]) noexcept {
  PyObject* globals = PyModule_GetDict(module);
  Ref name = Ref::steal(PyUnicode_FromString(module_name));
  if (!globals || !name) return -1;
  for (std::size_t i = 0; i < N; ++i) {
    if (*slots[i]) continue;
    *slots[i] = make_function(defs[i], file, globals, name.get());
    if (!*slots[i]) return -1;
  }
  return 0;
}

}  // namespace mf::support
