// The start-up of the runtime layer as one call.
#include "constants.h"
#include "coroutine.h"
#include "function.h"

namespace mf {

int ready_runtime() noexcept {
  return create_constants() < 0 || ready_function_type() < 0 || ready_coroutine_types() < 0 ? -1 : 0;
}

}  // namespace mf
