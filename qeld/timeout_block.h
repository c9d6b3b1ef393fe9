// The time-out block that governs waiting and resending: one per device handle,
// and one more as the library's search options.
#pragma once

#include <cstdint>

namespace qeld {

using ProgressCallback = void (*)(uint32_t arg);

struct TimeoutBlock {
  uint32_t timeout_ms = 1000;          // one wait
  int32_t attempts = 5;                // sends per command (<1 counts as 1); quiet rounds for a search
  ProgressCallback progress_callback = nullptr;  // reserved, never called
  uint32_t callback_arg = 0;           // reserved
  uint32_t reserved_timeout_ms = 60000;  // kept, not read
};

}  // namespace qeld
