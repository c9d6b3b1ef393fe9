// What the host's own addresses say about a search: with nothing but loopback, no
// broadcast leaves the machine. Shared by the command line and the windows.
#pragma once

#include <string>

#include "qeld/library.h"

namespace tavrix {

// True when every address of the list is in 127.0.0.0/8 (or there is none).
bool only_loopback(const qeld::AddressList& list);

// Looks at the host's addresses now.
bool host_has_only_loopback();

// The sentence both front-ends say then (lower case first, as the CLI prints it).
inline constexpr const char* kLoopbackOnlyText =
    "this host has no IPv4 address but loopback, so a broadcast search reaches no device; "
    "give an interface an address";

}  // namespace tavrix
