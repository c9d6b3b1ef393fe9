// Untrusted text (from a file, a request, a device) made safe to quote in a reason, a
// message or a log line: one line, bounded, nothing a terminal would act on.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavrix {

// Control characters and DEL become \n, \r, \t or \xNN; printable text, UTF-8 included,
// stays as it is. Longer than max_bytes: cut at a character boundary and "..." appended.
std::string printable_text(std::string_view text, std::size_t max_bytes = 64);

}  // namespace tavrix
