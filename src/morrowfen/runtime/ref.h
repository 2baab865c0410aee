// Owning and borrowed object references, and the holder of process state.
// The only place in the code base that touches reference counts directly:
// every object the package keeps is held by a Ref (an object's fields, a
// coroutine's locals, a module's state in a ProcessState), apart from the
// constants, which constants.h makes once and keeps for the process.
//
// The rule for borrowed pointers (a field read with .get(), a list or tuple
// item, a dict value): a borrowed pointer never outlives a call that can run
// Python code. Hashing or comparing a key that is not exactly str or bytes,
// str() and repr(), attribute access, iteration, a Python override of a
// method, a tzinfo, __bool__/__len__, and releasing any object (its
// finalizer) all can, and that code may replace the field, empty the list or
// drop the last reference. Take a Ref (`field.copy()`, `Ref::borrow(item)`)
// before such a call and use it afterwards.
#pragma once

#include <Python.h>

#include <concepts>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

namespace mf {

class Ref {
 public:
  constexpr Ref() noexcept = default;
  constexpr Ref(std::nullptr_t) noexcept {}
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;

  // Replaces the held object; the old one is released after the new one is
  // in place, so a destructor that runs Python code sees a consistent owner.
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  ~Ref() { Py_XDECREF(ptr_); }

  // Takes over a new reference (or nullptr, which keeps the error convention).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  static Ref none() noexcept { return Ref(Py_NewRef(Py_None)); }

  PyObject* get() const noexcept { return ptr_; }
  template <class T>
  T* as() const noexcept {
    return reinterpret_cast<T*>(ptr_);
  }
  // Hands the reference to the caller (a C-API "new reference" result).
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  Ref copy() const noexcept { return borrow(ptr_); }
  void reset() noexcept { *this = Ref(); }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  bool is(PyObject* other) const noexcept { return ptr_ == other; }
  bool is_none() const noexcept { return ptr_ == Py_None; }
  // The address of the held pointer, for a table that reads the field at
  // each use (a constructor's default, an argument's type): it owns nothing
  // and sees whatever the Ref holds at that moment.
  constexpr PyObject* const* slot() const noexcept { return &ptr_; }

 private:
  explicit Ref(PyObject* p) noexcept : ptr_(p) {}
  PyObject* ptr_ = nullptr;
};

static_assert(sizeof(Ref) == sizeof(PyObject*));

// A borrowed object: a parameter or a table lookup that the callee does not
// own. Trivially copyable and never touches the count; `ref()` takes a
// reference when the object must outlive a call that can run Python code.
// Made from a PyObject*, or from anything that lends one through get() (a
// Ref, a Constant), so a call site passes what it holds.
class Handle {
 public:
  constexpr Handle() noexcept = default;
  constexpr Handle(std::nullptr_t) noexcept {}
  constexpr Handle(PyObject* p) noexcept : ptr_(p) {}
  template <class T>
    requires requires(const T& t) {
      { t.get() } -> std::convertible_to<PyObject*>;
    }
  constexpr Handle(const T& holder) noexcept : ptr_(holder.get()) {}

  constexpr PyObject* get() const noexcept { return ptr_; }
  template <class T>
  T* as() const noexcept {
    return reinterpret_cast<T*>(ptr_);
  }
  Ref ref() const noexcept { return Ref::borrow(ptr_); }
  explicit constexpr operator bool() const noexcept { return ptr_ != nullptr; }
  constexpr bool is(PyObject* other) const noexcept { return ptr_ == other; }
  bool is_none() const noexcept { return ptr_ == Py_None; }

 private:
  PyObject* ptr_ = nullptr;
};

static_assert(sizeof(Handle) == sizeof(PyObject*));
static_assert(std::is_trivially_copyable_v<Handle>);

// The holder of a module's process state: a struct of Refs (or any other
// process-lifetime value). Constant-initialised when T's default constructor
// is constexpr (so usable from any unit's static initialisers), and never
// destroyed: C++ static destructors run after the interpreter has finalized,
// when releasing a reference is no longer allowed.
//
//   constinit mf::ProcessState<ContentsState> contents_state;
//   constinit ContentsState& state = *contents_state;
template <class T>
class ProcessState {
 public:
  constexpr ProcessState() : value_() {}
  ProcessState(const ProcessState&) = delete;
  ProcessState& operator=(const ProcessState&) = delete;
  ~ProcessState() {}
  constexpr T& operator*() noexcept { return value_; }
  constexpr T* operator->() noexcept { return &value_; }

 private:
  union {
    T value_;
  };
};

// A new reference to a borrowed object, for a C-API result the caller owns
// (a getter's, a type slot's) or an item a container steals.
inline PyObject* new_ref(PyObject* p) noexcept { return Py_NewRef(p); }

// Visits a Ref from a tp_traverse slot.
inline int visit(const Ref& r, visitproc v, void* arg) { return r ? v(r.get(), arg) : 0; }

// Visits each Ref in turn; the first non-zero result stops the walk.
template <class... Refs>
  requires(std::same_as<Refs, Ref> && ...)
int visit_all(visitproc v, void* arg, const Refs&... refs) {
  int r = 0;
  ((r = visit(refs, v, arg)) || ...);
  return r;
}

// Gives a freshly allocated object's Ref fields (everything after its
// header) their empty state: a zeroed Ref is a valid empty Ref. For objects
// from PyObject_New/PyObject_GC_New, which leave the memory as it was.
inline void zero_after_header(void* object, std::size_t header, std::size_t size) noexcept {
  std::memset(static_cast<char*>(object) + header, 0, size - header);
}

}  // namespace mf
