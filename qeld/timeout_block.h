// The time-out block that governs waiting and resending: one per device handle,
// and one more as the library's search options.
#pragma once

#include <cstdint>

namespace qeld {

struct TimeoutBlock {
  uint32_t timeout_ms = 1000;  // one wait
  int32_t attempts = 5;        // sends per command (<1 counts as 1); quiet rounds for a search
};

}  // namespace qeld
