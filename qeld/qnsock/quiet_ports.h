// Sockets whose port may still receive answers to requests already given up on, kept
// bound and unread until then. Closed at once, their port could go to the next socket
// that any program of this host binds, and that socket would take those answers for its
// own: a command reply is matched by its code and status, never by its sender. The
// datagram counterpart of TCP's TIME_WAIT.
#pragma once

#include <chrono>

namespace qeld {

// The most sockets parked at once; past it the one due first is closed early.
inline constexpr int kMaxParkedSockets = 256;

// Takes ownership of fd and closes it once `until` has passed (at a later park, reap or
// close_parked_sockets). A negative fd is ignored.
void park_socket(int fd, std::chrono::steady_clock::time_point until);
// Closes the parked sockets whose time has passed; costs one atomic load when none are.
void reap_parked_sockets();
// Closes every parked socket now (the library's stop).
void close_parked_sockets();
int parked_socket_count();

}  // namespace qeld
