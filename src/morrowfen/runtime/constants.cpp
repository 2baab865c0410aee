#include "constants.h"

#include <string>
#include <string_view>
#include <unordered_map>

#include "errors.h"
#include "ref.h"

namespace mf {
namespace {

Constant* g_declared = nullptr;

// Byte-string objects by content; they are never released.
std::unordered_map<std::string, PyObject*>& bytes_table() {
  static std::unordered_map<std::string, PyObject*> table;
  return table;
}

}  // namespace

Constant::Constant(const char* text, std::size_t size, Kind kind) noexcept
    : text_(text), size_(size), kind_(kind), next_(g_declared) {
  g_declared = this;
}

PyObject* shared_bytes(const char* data, std::size_t size) noexcept {
  return guard([&]() -> PyObject* {  // the key or the table may fail to grow
    auto& table = bytes_table();
    std::string key(data, size);
    if (auto it = table.find(key); it != table.end()) return it->second;
    Ref obj = Ref::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size)));
    if (!obj) return nullptr;
    table.emplace(std::move(key), obj.get());
    return obj.release();  // the table keeps it for the process
  });
}

int create_constants() noexcept {
  for (Constant* c = g_declared; c; c = c->next_) {
    if (c->object_) continue;
    if (c->kind_ == Constant::Kind::str) {
      PyObject* s = PyUnicode_FromStringAndSize(c->text_, static_cast<Py_ssize_t>(c->size_));
      if (!s) return -1;
      PyUnicode_InternInPlace(&s);  // interned texts are immortal
      c->object_ = s;
    } else {
      c->object_ = shared_bytes(c->text_, c->size_);
      if (!c->object_) return -1;
    }
  }
  return 0;
}

}  // namespace mf
