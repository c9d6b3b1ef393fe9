// The UDP socket set: datagram sockets of two groups (1 = 4800 family,
// 0 = 1029 family), a send from every socket of a group, and a non-blocking poll.
#pragma once

#include <netinet/in.h>

#include <cstdint>

namespace qeld {

inline constexpr int kGroup4800 = 1;
inline constexpr int kGroup1029 = 0;
inline constexpr int kMaxSetEntries = 32;
inline constexpr int kScratchSize = 2048;

struct UdpSocketEntry {
  int socket = -1;             // -1 after closing
  uint32_t local_address = 0;  // network byte order; 0 = any interface
  int32_t group = 0;
};

// Group-1 entries first, then group-0 entries, each in host-address order.
struct UdpSocketSet {
  int32_t count = 0;
  UdpSocketEntry entries[kMaxSetEntries];
};

// Fills the set (per_interface != 0: one socket per local address and group; else one
// per group bound to any address). 1, or -12 with every socket it opened closed again.
int udp_open_socket_set(UdpSocketSet& set, int per_interface);
// Closes every socket still open; always 1; closing twice is harmless.
int udp_close_socket_set(UdpSocketSet& set);
// Sends length bytes to dest (network order; 0xFFFFFFFF = limited broadcast) and port
// (host order) from every socket of the group. 1 when at least one send worked, else -12.
int udp_send_to(UdpSocketSet& set, uint32_t dest, uint16_t port, const uint8_t* data, int length,
                int group);
// Takes at most one waiting datagram from the group without blocking. 1 (length 0 when
// nothing was taken, a datagram over 2048 bytes, or a refused port) or -12.
int udp_poll(UdpSocketSet& set, uint8_t* buffer, int max_length, int* out_length,
             sockaddr_in* out_sender, uint32_t* out_local, int group);
// Blocks until a socket of the set is readable or timeout_ms passes (poll(), any
// descriptor number). 1 readable, 0 time-out, -12 failure.
int udp_wait_readable(UdpSocketSet& set, int timeout_ms);

}  // namespace qeld
