// The program's clocks: one steady tick for elapsed times and the wall clock for
// timestamps.
#pragma once

#include <cstdint>

namespace tavrix {

// Millisecond tick from the steady clock, wrapping at 2^32 (differences taken unsigned).
uint32_t tick_ms();
// Milliseconds on the steady clock, not wrapping.
uint64_t steady_ms();
// Wall-clock milliseconds since the Unix epoch.
int64_t wall_ms();

}  // namespace tavrix
