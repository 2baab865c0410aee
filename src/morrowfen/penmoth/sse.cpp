// Server-sent events: write_sse gives the bytes of one event block. The data
// text comes from the event's own write_data() (morrowfen.contents: JSON for
// ServerSentEvent, the text itself for TextServerSentEvent); line breaks are
// found with the module attribute _NEW_LINES_RX, read at each use.
#include <string>
#include <string_view>

#include "../runtime/constants.h"
#include "../runtime/errors.h"
#include "../wire/text.h"
#include "penmoth.h"

namespace mf::penmoth {
namespace {

Str k_new_lines_rx{"_NEW_LINES_RX"};
Str k_empty_str{""};
Str k_sub{"sub"};
Str k_split{"split"};

bool has_line_break(PyObject* text) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  return PyUnicode_FindChar(text, '\n', 0, n, 1) >= 0 || PyUnicode_FindChar(text, '\r', 0, n, 1) >= 0;
}

// Splits at CR LF, LF and lone CR: the line breaks of the event-stream format.
template <class F>
void for_each_line(std::string_view text, F&& f) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\r' && c != '\n') continue;
    f(text.substr(start, i - start));
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  f(text.substr(start));
}

// The UTF-8 form of a field text (strict: lone surrogates fail).
bool utf8(PyObject* text, std::string_view& out) {
  if (!PyUnicode_Check(text)) {
    expected_type_error("str", text);
    return false;
  }
  return wire::utf8_view(text, out);
}

// A field of the event: a str, or None. Returns 1 when it holds text.
int field_text(const Ref& field) {
  if (field.is_none()) return 0;
  if (!PyUnicode_Check(field.get())) {
    expected_type_error("str", field.get());
    return -1;
  }
  return PyUnicode_GET_LENGTH(field.get()) > 0;
}

// The newline pattern, read from the module namespace at each use.
Ref newline_pattern() { return lookup_global(k_new_lines_rx); }

// `prefix` + the text with the pattern's matches removed, and any line break
// that is still there dropped too, so the value stays on its line.
bool write_single_line(std::string& out, const char* prefix, const Ref& field) {
  Ref rx = newline_pattern();
  if (!rx) return false;
  Ref text = field.copy();
  if (!rx.is(state.original_newline_pattern.get()) || has_line_break(text.get())) {
    PyObject* args[] = {rx.get(), k_empty_str.get(), text.get()};
    text = Ref::steal(PyObject_VectorcallMethod(k_sub, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!text) return false;
  }
  std::string_view bytes;
  if (!utf8(text.get(), bytes)) return false;
  out += prefix;
  for (char c : bytes)
    if (c != '\r' && c != '\n') out += c;
  out += '\n';
  return true;
}

// One ": " comment line per piece the pattern splits off, and per line break
// left inside a piece.
bool write_comment(std::string& out, const Ref& field) {
  Ref rx = newline_pattern();
  if (!rx) return false;
  Ref comment = field.copy();  // held: a replaced pattern's split() may replace the event's field
  Ref pieces;
  if (rx.is(state.original_newline_pattern.get()) && !has_line_break(comment.get())) {
    pieces = Ref::steal(PyList_New(1));
    if (!pieces) return false;
    PyList_SET_ITEM(pieces.get(), 0, comment.release());
  } else {
    PyObject* args[] = {rx.get(), comment.get()};
    Ref result = Ref::steal(PyObject_VectorcallMethod(k_split, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!result) return false;
    pieces = Ref::steal(PySequence_List(result.get()));
    if (!pieces) return false;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pieces.get()); ++i) {
    std::string_view bytes;
    if (!utf8(PyList_GET_ITEM(pieces.get(), i), bytes)) return false;
    for_each_line(bytes, [&](std::string_view line) {
      out += ": ";
      out += line;
      out += '\n';
    });
  }
  return true;
}

Ref encode_sse(ServerSentEvent* ev) {
  std::string out;
  // The fields are held from the moment they are checked: looking the pattern
  // up and calling it may run Python code that replaces them.
  Ref id = ev->id.copy(), comment = ev->comment.copy(), event = ev->event.copy();
  int has;
  if ((has = field_text(id)) < 0 || (has && !write_single_line(out, "id: ", id))) return {};
  if ((has = field_text(comment)) < 0 || (has && !write_comment(out, comment))) return {};
  if ((has = field_text(event)) < 0 || (has && !write_single_line(out, "event: ", event))) return {};
  int has_data = PyObject_IsTrue(ev->data.copy().get());  // held across its own __bool__
  if (has_data < 0) return {};
  if (has_data) {
    Ref text = Ref::steal(ev->vtab->write_data(ev));  // the event's own table: overrides run
    if (!text) return {};
    if (text.is_none()) {
      PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "encode");
      return {};
    }
    if (!PyUnicode_Check(text.get())) {
      PyErr_Format(PyExc_TypeError, "write_data() of %.200s must return str, not %.200s", Py_TYPE(ev)->tp_name,
                   Py_TYPE(text.get())->tp_name);
      return {};
    }
    Ref encoded = Ref::steal(PyUnicode_AsUTF8String(text.get()));
    if (!encoded) return {};
    // A text of several lines goes out as several data lines; the client
    // joins them again with line feeds.
    for_each_line({PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))},
                  [&](std::string_view line) {
                    out += "data: ";
                    out += line;
                    out += '\n';
                  });
  }
  if (ev->retry >= 0) {
    out += "retry: ";
    out += std::to_string(ev->retry);
    out += '\n';
  }
  out += '\n';
  return Ref::steal(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

}  // namespace

Ref write_sse_impl(PyObject* event) {
  if (event == Py_None) return Ref::steal(refuse_none("event", state.ServerSentEvent));
  return encode_sse(reinterpret_cast<ServerSentEvent*>(event));
}

PyObject* write_sse_py(PyObject*, PyObject* const* args) { return write_sse_impl(args[0]).release(); }

}  // namespace mf::penmoth
