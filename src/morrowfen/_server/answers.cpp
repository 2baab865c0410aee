// The answers a failure gets, and what is logged (on the "morrowfen.server"
// logger, never the exception's text to the client).
#include "../framework_types/exceptions.h"
#include "../penmoth/penmoth.h"
#include "server.h"

namespace mf::server {
namespace {

const Str k_status{"status"};
const Str k_message{"message"};
const Str k_exc_info{"exc_info"};
const Str k_closed_error{"RSGIProtocolClosed"};
const Str k_repr{"repr"};

// The server module that defines RSGIProtocolClosed, if it is loaded.
constexpr const char* granian_module = "granian._granian";

Ref exc_info_names() noexcept { return Ref::steal(PyTuple_Pack(1, k_exc_info.get())); }

// Response(exc.status, None, TextContent(exc.message)), read as attributes
// (a subclass may define either).
Ref http_error_response(PyObject* error) noexcept {
  Ref status = Ref::steal(PyObject_GetAttr(error, k_status));
  Ref message = status ? Ref::steal(PyObject_GetAttr(error, k_message)) : Ref();
  if (message && !PyUnicode_Check(message.get())) message = Ref::steal(PyObject_Str(message.get()));
  Ref content = message ? Ref::steal(PyObject_CallOneArg(state.text_content.get(), message.get())) : Ref();
  if (!content) return {};
  PyObject* args[] = {status.get(), Py_None, content.get()};
  return Ref::steal(PyObject_Vectorcall(state.response_type.get(), args, 3, nullptr));
}

}  // namespace

void log(const char* level, const char* message, PyObject* error, std::initializer_list<PyObject*> args) noexcept {
  Ref saved = Ref::steal(PyErr_GetRaisedException());
  Ref text = Ref::steal(PyUnicode_FromString(message));
  Ref kwnames = error ? exc_info_names() : Ref();
  if (text && (!error || kwnames)) {
    PyObject* argv[8] = {state.logger.get(), text.get()};
    std::size_t n = 2;
    for (PyObject* a : args)
      if (n < 7) argv[n++] = a;
    if (error) argv[n] = error;
    Ref result = Ref::steal(PyObject_VectorcallMethod(Ref::steal(PyUnicode_FromString(level)).get(), argv,
                                                      n | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
  }
  PyErr_Clear();  // a logger that fails loses the line, not the request
  PyErr_SetRaisedException(saved.release());
}

Ref text_response(int status, const char* text) noexcept {
  Ref body = Ref::steal(PyUnicode_FromString(text));
  Ref content = body ? Ref::steal(PyObject_CallOneArg(state.text_content.get(), body.get())) : Ref();
  Ref code = content ? Ref::steal(PyLong_FromLong(status)) : Ref();
  if (!code) return {};
  PyObject* args[] = {code.get(), Py_None, content.get()};
  return Ref::steal(PyObject_Vectorcall(state.response_type.get(), args, 3, nullptr));
}

bool protocol_closed(PyObject* error) noexcept {
  if (!error) return false;
  Ref saved = Ref::steal(PyErr_GetRaisedException());
  bool closed = false;
  Ref module = Ref::steal(PyImport_GetModule(Ref::steal(PyUnicode_FromString(granian_module)).get()));
  if (module) {
    Ref type = Ref::steal(PyObject_GetAttr(module.get(), k_closed_error));
    closed = type && PyType_Check(type.get()) && PyObject_TypeCheck(error, type.as<PyTypeObject>());
  }
  PyErr_Clear();
  PyErr_SetRaisedException(saved.release());
  return closed;
}

Ref failure_response(PyObject* request) noexcept {
  Ref error = Ref::steal(PyErr_GetRaisedException());
  if (!error || !PyErr_GivenExceptionMatches(error.get(), PyExc_Exception)) {
    PyErr_SetRaisedException(error.release());  // cancellation and the like go on up
    return {};
  }
  if (PyObject_TypeCheck(error.get(), state.http_exception.as<PyTypeObject>())) {
    if (Ref answer = http_error_response(error.get())) return answer;
    Ref again = Ref::steal(PyErr_GetRaisedException());
    PyObject* name = reinterpret_cast<PyObject*>(Py_TYPE(error.get()));
    Ref qualname = Ref::steal(PyObject_GetAttrString(name, "__qualname__"));
    PyErr_Clear();
    log("error", "%s could not be answered; answered 500", again.get(), {qualname ? qualname.get() : Py_None});
    return text_response(500, "Internal Server Error");
  }
  if (request &&
      (PyObject_TypeCheck(error.get(), state.message_aborted.as<PyTypeObject>()) || protocol_closed(error.get()))) {
    // The client stopped sending its body: its doing, not the handler's.
    log("debug", "the client left while its request was read; answered 400", error.get());
    return text_response(400, "Bad Request");
  }
  log("error", request ? "the handler raised; answered 500" : "the request could not be read; answered 500",
      error.get());
  return text_response(500, "Internal Server Error");
}

Ref not_a_response(PyObject* result) noexcept {
  Ref reprlib = Ref::steal(PyImport_ImportModule("reprlib"));
  Ref shown = reprlib ? Ref::steal(PyObject_CallMethodOneArg(reprlib.get(), k_repr, result)) : Ref();
  Ref qualname = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(result)), "__qualname__"));
  PyErr_Clear();
  log("error", "the handler returned %s (%s), not a Response; answered 500", nullptr,
      {shown ? shown.get() : Py_None, qualname ? qualname.get() : Py_None});
  return text_response(500, "Internal Server Error");
}

void rsgi_send_failed(PyObject* protocol, PyObject* error) noexcept {
  if (protocol_closed(error)) {
    log("debug", "the client left before the response was sent", error);
    return;
  }
  Ref answer = text_response(500, "Internal Server Error");
  Ref sent = answer ? penmoth::send_rsgi_response_sync_impl(answer.get(), protocol) : Ref();
  if (sent) {
    log("error", "sending the response failed before it started; answered 500", error);
    return;
  }
  Ref again = Ref::steal(PyErr_GetRaisedException());
  log("error", "sending the response failed, and so did answering 500 (%r)", error, {again.get()});
}

}  // namespace mf::server
