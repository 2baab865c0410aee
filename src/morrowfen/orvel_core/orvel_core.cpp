#include "orvel_core.h"

#include <cstring>
#include <string_view>

namespace {

struct Entry {
  std::string_view text;
  PyObject* object;  // created on first request, kept for the life of the process
};

Entry g_types[] = {
    {"application/json", nullptr},
    {"text/plain; charset=utf-8", nullptr},
    {"text/plain", nullptr},
    {"text/html; charset=utf-8", nullptr},
    {"text/html", nullptr},
    {"application/octet-stream", nullptr},
    {"text/css", nullptr},
    {"text/css; charset=utf-8", nullptr},
    {"text/javascript", nullptr},
    {"text/javascript; charset=utf-8", nullptr},
    {"application/javascript", nullptr},
    {"application/xml", nullptr},
    {"text/xml", nullptr},
    {"image/png", nullptr},
    {"image/jpeg", nullptr},
    {"image/gif", nullptr},
    {"image/svg+xml", nullptr},
    {"image/webp", nullptr},
    {"text/event-stream", nullptr},
    {"application/x-www-form-urlencoded", nullptr},
    {"multipart/form-data", nullptr},
    {"application/pdf", nullptr},
};

}  // namespace

extern "C" PyObject* get_interned_content_type_bytes(const char* data, std::size_t length) {
  std::string_view text(data, length);
  for (Entry& e : g_types) {
    if (e.text != text) continue;
    if (!e.object) {
      e.object = PyBytes_FromStringAndSize(e.text.data(), static_cast<Py_ssize_t>(e.text.size()));
      if (!e.object) {
        PyErr_Clear();  // no shared object this time; the caller uses its own
        return nullptr;
      }
    }
    return e.object;
  }
  return nullptr;
}
