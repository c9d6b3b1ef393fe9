// The program's clocks: one steady tick for elapsed times and the wall clock for
// timestamps.
#pragma once

#include <cstdint>
#include <string>

namespace tavrix {

// Millisecond tick from the steady clock, wrapping at 2^32 (differences taken unsigned).
uint32_t tick_ms();
// Milliseconds on the steady clock, not wrapping.
uint64_t steady_ms();
// Wall-clock milliseconds since the Unix epoch.
int64_t wall_ms();
// A time in ms since the Unix epoch as ISO 8601 UTC with milliseconds, the form of
// every timestamped line ("2026-12-08T01:24:12.237Z").
std::string timestamp_text(int64_t epoch_ms);
// The wall clock's time now in that form.
std::string timestamp_now();

}  // namespace tavrix
