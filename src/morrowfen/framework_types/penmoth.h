// The C-level interface that morrowfen.penmoth exports through __pyx_capi__,
// for the package's other compiled modules.
#pragma once

#include <Python.h>

#include "contents.h"
#include "messages.h"

namespace mf::penmoth {

inline constexpr const char* module_name = "morrowfen.penmoth";

inline constexpr const char* MAX_RESPONSE_CHUNK_SIZE_sig = "int";

using extract_rsgi_headers_fn = PyObject*(PyObject* raw_headers, int flag);
inline constexpr const char* extract_rsgi_headers_sig = "PyObject *(PyObject *, int)";

using write_sse_fn = PyObject*(contents::ServerSentEvent* event, int flag);
inline constexpr const char* write_sse_sig = "PyObject *(struct morrowfen_ServerSentEvent *, int)";

using send_rsgi_response_sync_fn = PyObject*(messages::Response* response, PyObject* protocol, int flag);
inline constexpr const char* send_rsgi_response_sync_sig = "PyObject *(struct morrowfen_Response *, PyObject *, int)";

using instantiate_rsgi_request_fn = messages::Request*(PyObject* scope, PyObject* protocol, int flag);
inline constexpr const char* instantiate_rsgi_request_sig = "struct morrowfen_Request *(PyObject *, PyObject *, int)";

using set_headers_for_response_content_fn = void(messages::Response* message, int flag);
inline constexpr const char* set_headers_for_response_content_sig = "void (struct morrowfen_Response *, int)";

}  // namespace mf::penmoth
