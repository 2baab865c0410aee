// Server-sent events: ServerSentEvent (data written as compact JSON) and
// TextServerSentEvent (data written as its text); write_data() is the
// C-level method morrowfen.penmoth's event writer calls.
#include <cstdint>

#include "contents_module.h"

namespace mf::contents::impl {

// ServerSentEvent.write_data(): the data as compact JSON.
PyObject* event_write_data_py(PyObject* self, PyObject*) {
  Ref data = as_event(self)->data ? as_event(self)->data.copy() : Ref::none();  // held across dumps()
  PyObject* args[] = {nullptr, data.get(), state.compact_separators.get()};
  return PyObject_Vectorcall(state.json_dumps.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                             state.separators_kwnames.get());
}

// TextServerSentEvent.write_data(): the data text as it is. Line breaks stay:
// the event writer puts each line of the text on a data line of its own.
PyObject* text_event_write_data_py(PyObject* self, PyObject*) {
  const Ref& data = as_event(self)->data;
  return mf::new_ref(data ? data.get() : Py_None);
}

constexpr ServerSentEventVTable event_vtable = {c_method0<event_write_data_py, k_write_data, ServerSentEvent>};
constexpr ServerSentEventVTable text_event_vtable = {
    c_method0<text_event_write_data_py, k_write_data, ServerSentEvent>};

// ServerSentEvent(data, event=None, id=None, retry=-1, comment=None)
int EventInit::setup(PyObject* self, PyObject* const* bound) noexcept {
  PyObject *data = bound[0], *event = bound[1], *id = bound[2], *retry = bound[3], *comment = bound[4];
  std::int32_t retry_value = -1;
  // event, id and comment are kept as given; the event writer refuses what is not text.
  if (retry && retry != Py_None && !sup::to_integer(retry, retry_value)) return -1;
  ServerSentEvent* e = as_event(self);
  e->data = Ref::borrow(data);
  e->event = Ref::borrow(event);
  e->id = Ref::borrow(id);
  e->comment = Ref::borrow(comment);
  e->retry = retry_value;
  return 0;
}

// TextServerSentEvent(data: str, ...): the data is the text itself.
int TextEventInit::setup(PyObject* self, PyObject* const* bound) noexcept {
  if (EventInit::setup(self, bound) < 0) return -1;
  const Ref& data = as_event(self)->data;
  if (PyUnicode_Check(data.get())) return 0;
  PyErr_Format(PyExc_TypeError, "TextServerSentEvent() argument 'data' must be str, not %.200s",
               Py_TYPE(data.get())->tp_name);
  return -1;
}

PyObject* event_repr(PyObject* self) {
  const Ref& data = as_event(self)->data;
  return PyUnicode_FromFormat("<%s %R>", Py_TYPE(self)->tp_name, data ? data.get() : Py_None);
}

}  // namespace mf::contents::impl
