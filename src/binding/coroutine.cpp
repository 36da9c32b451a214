#include "summarizer/bodies.hpp"

namespace smz {

bool init_coroutine_types() { return true; }

}  // namespace smz
