// The function object type shared by every Python-callable function that a
// module of the package defines in C++.
//
// A function is declared by a FunctionDef: its name, its parameters with
// their type tests, its kind and documentation, and the C++ entry that gets
// the arguments bound in parameter order. The type implements the common
// argument convention (all parameters positional-or-keyword, no defaults,
// exact-count binding with the interpreter's texts for every misuse),
// vectorcall, and the introspection surface of the interpreter's own
// functions, with a real code object whose flags mark coroutine, async
// generator and generator functions.
#pragma once

#include <Python.h>

#include <cstddef>

#include "ref.h"

namespace mf {

enum class Kind : unsigned char { plain, coroutine, async_generator, generator };

// How an argument is tested at the call. None always passes a typed test.
struct ArgType {
  enum class Mode : unsigned char { any, exact, subclass };
  Mode mode = Mode::any;
  // Where the type is read at call time: exact, a PyTypeObject* const (a
  // built-in type); subclass, a Ref (a framework type, bound into the
  // module's state during its start-up).
  const void* type = nullptr;
};

inline constexpr ArgType any_type{};
// Exactly this type (for built-in types such as bytes and list).
inline constexpr ArgType exactly(PyTypeObject* const* type) { return {ArgType::Mode::exact, type}; }
// This type or any subclass of it (for framework types).
inline constexpr ArgType instance_of(const Ref& type) { return {ArgType::Mode::subclass, &type}; }

struct Param {
  const char* name;
  ArgType type = any_type;
};

inline constexpr std::size_t max_params = 8;

// The C++ entry of a function: `self` is the function object, `args` the
// arguments bound in parameter order (borrowed). Returns a new reference,
// or nullptr with an exception set. A C++ exception that escapes it is
// caught at the call and reported as MemoryError (std::bad_alloc) or
// SystemError.
using Entry = PyObject* (*)(PyObject* self, PyObject* const* args);

struct FunctionDef {
  const char* name;
  const Param* params;
  std::size_t nparams;
  Kind kind;
  const char* doc;  // nullptr: __doc__ is None
  Entry entry;

  template <std::size_t N>
  constexpr FunctionDef(const char* name_, const Param (&params_)[N], Kind kind_, const char* doc_, Entry entry_)
      : name(name_), params(params_), nparams(N), kind(kind_), doc(doc_), entry(entry_) {
    static_assert(N <= max_params);
  }
};

// The function type; ready it once per process before making functions.
extern PyTypeObject function_type;
int ready_function_type() noexcept;

// A code object describing `def`: argument count and variable names from
// its parameters, flags from its kind. `filename` names the source unit.
Ref make_code(const FunctionDef& def, const char* filename) noexcept;

// A new function object for `def`, with `globals` as its namespace and
// `module` (a str) as its __module__.
Ref make_function(const FunctionDef& def, Handle code, Handle globals, Handle module) noexcept;

// Both at once: the code object and the function, for modules whose start-up
// has no reason to make them at different moments.
Ref make_function(const FunctionDef& def, const char* filename, Handle globals, Handle module) noexcept;

// What a function carries, for the coroutine objects it creates. The
// objects are borrowed from the function and live as long as it does.
struct FunctionInfo {
  PyObject* name;      // borrowed
  PyObject* qualname;  // borrowed
  PyObject* code;      // borrowed
  PyObject* globals;   // borrowed
  const FunctionDef* def;
  const char* full_name;  // "module.name", for traceback entries
};
FunctionInfo function_info(Handle function) noexcept;

}  // namespace mf
