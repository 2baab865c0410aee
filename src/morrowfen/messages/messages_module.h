// The private header of morrowfen.messages: what its units share. The module
// is split by concern: message.cpp (the header API of Message and its
// C-level table), request.cpp (Request: URL, query, cookies, bodies, and the
// C functions acquire_request and release_request) and module.cpp (Response,
// the type tables and start-up).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "../framework_types/constructors.h"
#include "../framework_types/contents.h"
#include "../framework_types/cookies.h"
#include "../framework_types/messages.h"
#include "../framework_types/url.h"
#include "../runtime/capi.h"
#include "../runtime/constants.h"
#include "../runtime/coroutine.h"
#include "../runtime/function.h"
#include "../runtime/module_def.h"
#include "../runtime/type_support.h"
#include "../runtime/types.h"
#include "../wire/header_list.h"
#include "../wire/percent.h"
#include "../wire/text.h"

namespace mf::messages::impl {

using mf::Ref;
using namespace mf::messages;
namespace sup = mf::support;
namespace hl = mf::header_list;

inline const mf::Str k_get_headers{"get_headers"};
inline const mf::Str k_get_first_header{"get_first_header"};
inline const mf::Str k_get_single_header{"get_single_header"};
inline const mf::Str k_remove_header{"remove_header"};
inline const mf::Str k__has_header{"_has_header"};
inline const mf::Str k_has_header{"has_header"};
inline const mf::Str k__add_header{"_add_header"};
inline const mf::Str k__add_header_if_missing{"_add_header_if_missing"};
inline const mf::Str k_add_header{"add_header"};
inline const mf::Str k_set_header{"set_header"};
inline const mf::Str k_content_type{"content_type"};
inline const mf::Str k_remove_headers{"remove_headers"};
inline const mf::Str k_get_headers_tuples{"get_headers_tuples"};
inline const mf::Str k_init_prop{"init_prop"};
inline const mf::Str k_with_content{"with_content"};
inline const mf::Str k_has_body{"has_body"};
inline const mf::Str k_declares_content_type{"declares_content_type"};
inline const mf::Str k_declares_json{"declares_json"};
inline const mf::Str k_declares_xml{"declares_xml"};
inline const mf::Str k_read{"read"};
inline const mf::Str k_stream{"stream"};
inline const mf::Str k_get_parts{"get_parts"};

// The process state of the module, bound once in its start-up.
struct MessagesState {
  Ref url_type;      // morrowfen.url.URL
  Ref content_type;  // morrowfen.contents.Content
  // morrowfen.contents.ASGIContent and RSGIContent: their read() is called
  // through their C-level table
  Ref body_reader_types[2];
  Ref bad_request_format;
  Ref json_loads;
  mf::cookies::parse_cookie_fn* parse_cookie = nullptr;
  // The function objects behind the coroutines the Request methods return.
  Ref read_fn, json_fn, stream_fn;
};
inline constinit mf::ProcessState<MessagesState> messages_state;
inline constinit MessagesState& state = *messages_state;

// Instances of the sibling types the state binds, or of their subclasses.
inline bool is_url(PyObject* o) noexcept { return PyObject_TypeCheck(o, state.url_type.as<PyTypeObject>()); }
inline bool is_content(PyObject* o) noexcept { return PyObject_TypeCheck(o, state.content_type.as<PyTypeObject>()); }

inline PyTypeObject MessageType = mf::static_type();
inline PyTypeObject RequestType = mf::static_type();
inline PyTypeObject ResponseType = mf::static_type();

inline Message* as_message(PyObject* o) noexcept { return reinterpret_cast<Message*>(o); }
inline Request* as_request(PyObject* o) noexcept { return reinterpret_cast<Request*>(o); }
inline PyObject* obj(Message* m) noexcept { return sup::as_object(m); }

inline constexpr std::array<std::size_t, 2> message_refs = {offsetof(Message, raw_headers), offsetof(Message, content)};
inline constexpr std::array<std::size_t, 9> request_refs = {offsetof(Request, base.raw_headers),
                                                            offsetof(Request, base.content),
                                                            offsetof(Request, method),
                                                            offsetof(Request, url),
                                                            offsetof(Request, query),
                                                            offsetof(Request, cookies),
                                                            offsetof(Request, scope),
                                                            offsetof(Request, channel),
                                                            offsetof(Request, source)};

// Freed requests and responses (and messages), for the next ones: a server
// makes and drops one of each per request.
inline constinit mf::FreeList<> message_free_list, request_free_list, response_free_list;

template <const auto& Refs, const MessageVTable* Table, PyTypeObject& Type, auto& List>
inline PyObject* message_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref self = Ref::steal(sup::alloc_kept<Type, List>(type));
  if (!self) return nullptr;
  as_message(self.get())->vtab = Table;
  sup::fill_none<Refs>(self.get());
  return self.release();
}

inline bool list_or_none(PyObject* value, const char* what) noexcept {
  if (value == Py_None || PyList_Check(value)) return true;
  PyErr_Format(PyExc_TypeError, "%s must be a list or None, not %.200s", what, Py_TYPE(value)->tp_name);
  return false;
}

// --- parts of a Request made on first read (request.cpp) ---------------------------

// `m` as a Request that still has one of `parts` to make, else nullptr.
inline Request* pending_request(Message* m, unsigned parts) noexcept {
  if (!PyObject_TypeCheck(obj(m), &RequestType)) return nullptr;
  auto* r = reinterpret_cast<Request*>(m);
  return r->pending & parts ? r : nullptr;
}

// Makes the parts of `m` among `parts` when it is a Request that has them
// pending; 0, or -1 with an exception set.
inline int ready(Message* m, unsigned parts) noexcept {
  Request* r = pending_request(m, parts);
  return r ? make_parts(r, parts) : 0;
}

// A part set from outside is no longer the intake's to make.
void forget_part(Message* m, unsigned part) noexcept;

// The attribute of a field that may be a pending part: read, it is made
// first; written, the intake no longer makes it.
template <unsigned Part>
PyObject* get_part(PyObject* self, void* closure) noexcept {
  if (ready(as_message(self), Part) < 0) return nullptr;
  return sup::get_object(self, closure);
}
template <unsigned Part>
int set_part(PyObject* self, PyObject* value, void* closure) noexcept {
  forget_part(as_message(self), Part);
  return sup::set_object(self, value, closure);
}
template <unsigned Part>
PyGetSetDef part_field(const char* name, std::size_t offset, const char* doc = nullptr) noexcept {
  return {name, get_part<Part>, set_part<Part>, doc, sup::closure_of(offset)};
}

// --- message.cpp
extern const MessageVTable message_vtable;
extern const MessageVTable request_vtable;
extern const MessageVTable response_vtable;
extern PyMethodDef message_methods[];
extern PyGetSetDef message_getset[];
Ref header_list(Message* m) noexcept;
bool content_or_none(PyObject* content) noexcept;
// Message(headers=None, content=None)
struct MessageInit {
  static constexpr const char* name = "Message";
  static constexpr mf::InitParam params[] = {{"headers", &mf::none_default, false},
                                             {"content", &mf::none_default, false}};
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};
int request_init_prop_impl(Message* self) noexcept;

// --- request.cpp
extern PyMethodDef request_methods[];
extern PyGetSetDef request_getset[];
extern const mf::FunctionDef body_defs[3];
extern Ref* const body_functions[3];
// Request(method, url, headers)
struct RequestInit {
  static constexpr const char* name = "Request";
  static constexpr mf::InitParam params[] = {{"method"}, {"url"}, {"headers"}};
  static int setup(PyObject* self, PyObject* const* bound) noexcept;
};
PyObject* request_repr(PyObject* self);
Request* acquire_request(PyObject* method, PyObject* path, PyObject* query, PyObject* headers, PyObject* scope,
                         int flag);
void release_request(Request* request, int flag);

}  // namespace mf::messages::impl
