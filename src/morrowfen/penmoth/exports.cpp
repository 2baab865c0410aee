// The C-level interface of morrowfen.penmoth, exported through __pyx_capi__
// for the package's other compiled modules: every exported form, next to the
// type texts (framework_types/penmoth.h) that importers compare.
//
// The exported forms share one rule: they do not test their arguments'
// types (the caller passes the declared types), take a trailing flag that
// has no effect, and add a traceback entry naming the function when they fail.
#include "../runtime/errors.h"
#include "../runtime/module_def.h"
#include "penmoth.h"

namespace mf::penmoth {
namespace {

// Runs an operation for a C caller: no C++ exception leaves it (guard()),
// and a failure gets the traceback entry of the exported function.
template <class Operation>
PyObject* exported(Operation operation, const char* name) noexcept {
  Ref result = guard(operation);
  if (!result) add_traceback(name, "morrowfen/penmoth/exports.cpp", 0);
  return result.release();
}

PyObject* as_object(void* p) noexcept { return static_cast<PyObject*>(p); }

PyObject* extract_rsgi_headers(PyObject* raw_headers, int) {
  return exported([&] { return extract_rsgi_headers_impl(raw_headers); }, "morrowfen.penmoth.extract_rsgi_headers");
}

PyObject* write_sse(ServerSentEvent* event, int) {
  return exported([&] { return write_sse_impl(as_object(event)); }, "morrowfen.penmoth.write_sse");
}

PyObject* send_rsgi_response_sync(Response* response, PyObject* protocol, int) {
  return exported([&] { return send_rsgi_response_sync_impl(as_object(response), protocol); },
                  "morrowfen.penmoth.send_rsgi_response_sync");
}

Request* instantiate_rsgi_request(PyObject* scope, PyObject* protocol, int) {
  return reinterpret_cast<Request*>(exported([&] { return instantiate_rsgi_request_impl(scope, protocol); },
                                             "morrowfen.penmoth.instantiate_rsgi_request"));
}

// Reports failure only by the pending exception, which the caller tests.
void set_headers_for_response_content(Response* message, int) {
  bool failed = as_object(message) == Py_None ? (refuse_none("message", state.Response), true)
                                              : set_headers_for_response_content_impl(message) < 0;
  if (failed) add_traceback("morrowfen.penmoth.set_headers_for_response_content", "morrowfen/penmoth/exports.cpp", 0);
}

}  // namespace

// The exported forms have exactly the types the interface declares.
int export_interface(PyObject* module) noexcept {
  return publish(module, {},
                 {{"MAX_RESPONSE_CHUNK_SIZE", &state.exported_chunk_size, MAX_RESPONSE_CHUNK_SIZE_sig},
                  Export::function<extract_rsgi_headers_fn>("extract_rsgi_headers", extract_rsgi_headers,
                                                            extract_rsgi_headers_sig),
                  Export::function<write_sse_fn>("write_sse", write_sse, write_sse_sig),
                  Export::function<send_rsgi_response_sync_fn>("send_rsgi_response_sync", send_rsgi_response_sync,
                                                               send_rsgi_response_sync_sig),
                  Export::function<instantiate_rsgi_request_fn>("instantiate_rsgi_request", instantiate_rsgi_request,
                                                                instantiate_rsgi_request_sig),
                  Export::function<set_headers_for_response_content_fn>("set_headers_for_response_content",
                                                                        set_headers_for_response_content,
                                                                        set_headers_for_response_content_sig)});
}

}  // namespace mf::penmoth
