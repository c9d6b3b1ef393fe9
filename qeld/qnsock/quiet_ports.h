// Sockets whose port may still receive answers to requests already given up on, kept
// bound and unread until then. Closed at once, their port could go to the next socket
// that any program of this host binds, and that socket would take those answers for its
// own: neither a command reply nor a search reply is matched by its sender. The
// datagram counterpart of TCP's TIME_WAIT.
#pragma once

#include <chrono>

#include "qeld/timeout_block.h"

namespace qeld {

// The most sockets parked at once; past it the one due first is closed early.
inline constexpr int kMaxParkedSockets = 256;

// When the sockets of an exchange given up on may be closed: after its whole time-out once
// more (every attempt's wait), and at least `least` from now.
std::chrono::steady_clock::time_point quiet_end(const TimeoutBlock& timeouts,
                                                std::chrono::milliseconds least = {});

// Takes ownership of fd and closes it once `until` has passed (a thread of the library's
// own does, while any socket is parked). A negative fd is ignored.
void park_socket(int fd, std::chrono::steady_clock::time_point until);
// Closes the parked sockets whose time has passed now rather than a moment later; costs one
// atomic load when none are.
void reap_parked_sockets();
// Closes every parked socket now (the library's stop).
void close_parked_sockets();
int parked_socket_count();

}  // namespace qeld
