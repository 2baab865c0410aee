// morrowfen.exceptions: the framework's exception classes. Every class uses
// the layout mf::exceptions::Exception (the interpreter's exception object,
// then a status code and a message); HTTPException and its subclasses carry
// an HTTP status, the others a status of 0.
#include <array>
#include <cstddef>

#include "../framework_types/constructors.h"
#include "../framework_types/exceptions.h"
#include "../runtime/constants.h"
#include "../runtime/module_def.h"
#include "../runtime/type_support.h"
#include "../runtime/types.h"

namespace {

using mf::Ref;
using mf::exceptions::Exception;
namespace sup = mf::support;

const mf::Str k_empty{""};
const mf::Str k_bad_request{"Bad Request"};
const mf::Str k_not_found{"Not Found"};
const mf::Str k_internal_error{"Internal Server Error"};
const mf::Str k_unsupported_media{"Unsupported Media Type"};
const mf::Str k_unprocessable{"Unprocessable Entity"};
const mf::Str k_content_too_large{"Content Too Large"};
const mf::Str k_aborted{"The message was aborted before it was complete."};

PyTypeObject* base_exception() noexcept { return reinterpret_cast<PyTypeObject*>(PyExc_Exception); }

Exception* as_exc(PyObject* self) noexcept { return reinterpret_cast<Exception*>(self); }

// --- GC and teardown: the interpreter's slots plus the message field ------

int exc_traverse(PyObject* self, visitproc visit, void* arg) {
  if (int e = mf::visit(as_exc(self)->message, visit, arg)) return e;
  return base_exception()->tp_traverse(self, visit, arg);
}

int exc_clear(PyObject* self) {
  as_exc(self)->message.reset();
  return base_exception()->tp_clear(self);
}

void exc_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  as_exc(self)->message.reset();
  base_exception()->tp_dealloc(self);  // untracks again (harmless), clears and frees
}

// --- construction ----------------------------------------------------------

// A new instance with the class's status and default message, before
// __init__ runs (a Python subclass that skips super().__init__ still has both).
template <int Status, const mf::Str* Message>
PyObject* exc_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  Ref self = Ref::steal(base_exception()->tp_new(type, args, kwds));
  if (!self) return nullptr;
  as_exc(self.get())->status = Status;
  as_exc(self.get())->message = Ref::borrow(Message->get());
  return self.release();
}

// A message argument: a str, or None for the class's default.
bool message_argument(PyObject* value, PyObject* fallback, Ref& out) {
  if (!value || value == Py_None || (PyUnicode_Check(value) && PyUnicode_GET_LENGTH(value) == 0)) {
    out = Ref::borrow(fallback);
    return true;
  }
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "message must be a str, not %.200s", Py_TYPE(value)->tp_name);
    return false;
  }
  out = Ref::borrow(value);
  return true;
}

// HTTPException(status, message="")
struct HTTPExceptionInit {
  static constexpr const char* name = "HTTPException";
  static constexpr mf::InitParam params[] = {{"status"}, {"message", k_empty.slot(), false}};
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};

int HTTPExceptionInit::setup(PyObject* self, PyObject* const* bound) noexcept {
  PyObject *status = bound[0], *message = bound[1];
  int code = 0;
  Ref text;
  if (!sup::to_integer(status, code) || !message_argument(message, k_empty, text)) return -1;
  Ref normalized = Ref::steal(PyTuple_Pack(2, status, text.get()));
  if (!normalized) return -1;
  PyException_SetArgs(self, normalized.get());
  as_exc(self)->status = code;
  as_exc(self)->message = std::move(text);
  return 0;
}

// The classes with a fixed status: Class(message=""), where an empty message
// means the status's reason phrase. Their table has no type name: their
// texts have always been those of a nameless format.
constexpr mf::InitParam fixed_status_params[] = {{"message", k_empty.slot(), false}};

template <const mf::Str* Default>
struct FixedStatusInit {
  static constexpr const char* name = nullptr;
  static constexpr const auto& params = fixed_status_params;
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};

template <const mf::Str* Default>
int FixedStatusInit<Default>::setup(PyObject* self, PyObject* const* bound) noexcept {
  Ref text;
  if (!message_argument(bound[0], Default->get(), text)) return -1;
  Ref normalized = Ref::steal(PyTuple_Pack(1, text.get()));
  if (!normalized) return -1;
  PyException_SetArgs(self, normalized.get());
  as_exc(self)->message = std::move(text);
  return 0;
}

// The other classes take any positional arguments, as Exception does; the
// first one, when it is a str, is the message.
template <const mf::Str* Default>
int plain_init(PyObject* self, PyObject* args, PyObject* kwds) {
  if (base_exception()->tp_init(self, args, kwds) < 0) return -1;
  if (PyTuple_GET_SIZE(args) == 0 && Default != &k_empty) {
    Ref normalized = Ref::steal(PyTuple_Pack(1, Default->get()));
    if (!normalized) return -1;
    PyException_SetArgs(self, normalized.get());
    as_exc(self)->message = Ref::borrow(Default->get());
    return 0;
  }
  PyObject* first = PyTuple_GET_SIZE(args) ? PyTuple_GET_ITEM(args, 0) : nullptr;
  as_exc(self)->message = Ref::borrow(first && PyUnicode_Check(first) ? first : k_empty.get());
  return 0;
}

// str(): the message, or the status code when the message is empty.
PyObject* http_exception_str(PyObject* self) {
  const Ref& message = as_exc(self)->message;
  if (message && PyUnicode_Check(message.get()) && PyUnicode_GET_LENGTH(message.get()) > 0)
    return mf::new_ref(message.get());
  return PyUnicode_FromFormat("%d", as_exc(self)->status);
}

PyGetSetDef exc_getset[] = {
    sup::integer_field<int>("status", offsetof(Exception, status), "The HTTP status code (0 when none applies)."),
    sup::object_field("message", offsetof(Exception, message), "The error message."),
    sup::getset_end,
};

// --- the classes ------------------------------------------------------------

PyTypeObject MessageAborted = mf::static_type();
PyTypeObject HTTPException = mf::static_type();
PyTypeObject BadRequest = mf::static_type();
PyTypeObject BadRequestFormat = mf::static_type();
PyTypeObject NotFound = mf::static_type();
PyTypeObject InternalServerError = mf::static_type();
PyTypeObject UnsupportedMediaType = mf::static_type();
PyTypeObject UnprocessableEntity = mf::static_type();
PyTypeObject InvalidArgument = mf::static_type();
PyTypeObject InvalidOperation = mf::static_type();
PyTypeObject FailedRequestError = mf::static_type();
PyTypeObject InvalidExceptionHandler = mf::static_type();
PyTypeObject ContentTooLarge = mf::static_type();

// A constructor with a parameter table: its tp_doc carries the signature.
using DocFn = const char* (*)(const char* type_name, const char* text) noexcept;

struct ClassDef {
  PyTypeObject* type;
  const char* name;
  PyTypeObject* base;  // nullptr: Exception
  newfunc tp_new;
  initproc tp_init;
  const char* doc;
  // nullptr: `doc` as it is (the classes that take any positional arguments, as
  // Exception does, write their "(*args)" signature in it).
  DocFn signature = nullptr;
};

template <class Def>
constexpr ClassDef with_table(PyTypeObject* type, const char* name, PyTypeObject* base, newfunc tp_new,
                              const char* doc) {
  return {type, name, base, tp_new, mf::ctor::init<Def>, doc, mf::ctor::doc<Def>};
}

const ClassDef classes[] = {
    {&MessageAborted, "morrowfen.exceptions.MessageAborted", nullptr, exc_new<0, &k_empty>, plain_init<&k_aborted>,
     "MessageAborted(*args)\n--\n\nThe client went away before the message was complete."},
    with_table<HTTPExceptionInit>(
        &HTTPException, "morrowfen.exceptions.HTTPException", nullptr, exc_new<500, &k_empty>,
        "HTTPException(status, message='')\n\nAn error that maps to an HTTP response status."),
    with_table<FixedStatusInit<&k_bad_request>>(&BadRequest, "morrowfen.exceptions.BadRequest", &HTTPException,
                                                exc_new<400, &k_bad_request>, "BadRequest(message='')\n\nHTTP 400."),
    with_table<FixedStatusInit<&k_bad_request>>(
        &BadRequestFormat, "morrowfen.exceptions.BadRequestFormat", &BadRequest, exc_new<400, &k_bad_request>,
        "BadRequestFormat(message='')\n\nHTTP 400: the request body is malformed."),
    with_table<FixedStatusInit<&k_not_found>>(&NotFound, "morrowfen.exceptions.NotFound", &HTTPException,
                                              exc_new<404, &k_not_found>, "NotFound(message='')\n\nHTTP 404."),
    with_table<FixedStatusInit<&k_internal_error>>(&InternalServerError, "morrowfen.exceptions.InternalServerError",
                                                   &HTTPException, exc_new<500, &k_internal_error>,
                                                   "InternalServerError(message='')\n\nHTTP 500."),
    with_table<FixedStatusInit<&k_unsupported_media>>(
        &UnsupportedMediaType, "morrowfen.exceptions.UnsupportedMediaType", &HTTPException,
        exc_new<415, &k_unsupported_media>, "UnsupportedMediaType(message='')\n\nHTTP 415."),
    with_table<FixedStatusInit<&k_unprocessable>>(&UnprocessableEntity, "morrowfen.exceptions.UnprocessableEntity",
                                                  &HTTPException, exc_new<422, &k_unprocessable>,
                                                  "UnprocessableEntity(message='')\n\nHTTP 422."),
    {&InvalidArgument, "morrowfen.exceptions.InvalidArgument", nullptr, exc_new<0, &k_empty>, plain_init<&k_empty>,
     "InvalidArgument(*args)\n--\n\nAn argument has an invalid value."},
    {&InvalidOperation, "morrowfen.exceptions.InvalidOperation", nullptr, exc_new<0, &k_empty>, plain_init<&k_empty>,
     "InvalidOperation(*args)\n--\n\nAn operation is not valid in the object's current state."},
    {&FailedRequestError, "morrowfen.exceptions.FailedRequestError", nullptr, exc_new<0, &k_empty>,
     plain_init<&k_empty>, "FailedRequestError(*args)\n--\n\nA request to another service failed."},
    {&InvalidExceptionHandler, "morrowfen.exceptions.InvalidExceptionHandler", nullptr, exc_new<0, &k_empty>,
     plain_init<&k_empty>, "InvalidExceptionHandler(*args)\n--\n\nAn exception handler was configured wrongly."},
    with_table<FixedStatusInit<&k_content_too_large>>(
        &ContentTooLarge, "morrowfen.exceptions.ContentTooLarge", &HTTPException, exc_new<413, &k_content_too_large>,
        "ContentTooLarge(message='')\n\nHTTP 413: the request body is larger than the application takes."),
};

bool types_ready = false;

int ready_types() {
  if (types_ready) return 0;
  for (const ClassDef& c : classes) {
    PyTypeObject& t = *c.type;
    t.tp_name = c.name;
    t.tp_doc = c.signature ? c.signature(c.name, c.doc) : c.doc;
    if (!t.tp_doc) return -1;
    t.tp_basicsize = sizeof(Exception);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_base = c.base ? c.base : base_exception();
    t.tp_new = c.tp_new;
    t.tp_init = c.tp_init;
    t.tp_traverse = exc_traverse;
    t.tp_clear = exc_clear;
    t.tp_dealloc = exc_dealloc;
    if (!c.base) t.tp_getset = exc_getset;
    if (c.type == &HTTPException) t.tp_str = http_exception_str;
    if (PyType_Ready(&t) < 0) return -1;
  }
  types_ready = true;
  return 0;
}

int exec(PyObject* module) {
  if (mf::create_constants() < 0 || ready_types() < 0) return -1;
  for (const ClassDef& c : classes)
    if (mf::publish_type(module, {c.type}) < 0) return -1;
  return 0;
}

mf::ModuleDef module_def{"morrowfen.exceptions", "The framework's exception classes.", exec};

}  // namespace

PyMODINIT_FUNC PyInit_exceptions() { return module_def.init(); }
