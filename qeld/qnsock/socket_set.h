// The UDP socket set: datagram sockets of two groups (1 = 4800 family,
// 0 = 1029 family), a send from every socket of a group, and a non-blocking poll.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <memory>

#include "qeld/library.h"

namespace qeld {

class AddressWatch;

inline constexpr int kGroup4800 = 1;
inline constexpr int kGroup1029 = 0;
inline constexpr int kMaxSetEntries = 32;
inline constexpr int kScratchSize = 2048;

struct UdpSocketEntry {
  int socket = -1;             // -1 after closing
  uint32_t local_address = 0;  // network byte order; 0 = any interface
  int32_t group = 0;
};

// What the owner of a set kept across exchanges learns from them and tells them.
struct ExchangeHooks {
  // Asked before every resend; true ends the exchange as timed out, without sending again.
  bool (*stop)(const void* arg) = nullptr;
  const void* stop_arg = nullptr;
  // Raised by udp_exchange: requests sent again, datagrams found waiting before the first send.
  int resends = 0;
  int discarded = 0;
};

// How a per-interface entry reaches its interface. Its socket is bound to the any-address
// (so broadcast replies reach it) and stands for local_address through IP_PKTINFO.
struct UdpEntryPath {
  bool wildcard = false;          // false: a plain socket bound to local_address
  int32_t ifindex = 0;            // interface of local_address; 0 = not known
  uint32_t subnet_broadcast = 0;  // directed broadcast of that address's subnet; 0 = none
  uint16_t port = 0;              // bound port, host order
  bool live = true;               // local_address is still on that interface
};

// Group-1 entries first, then group-0 entries, each in host-address order.
struct UdpSocketSet {
  int32_t count = 0;
  UdpSocketEntry entries[kMaxSetEntries];
  ExchangeHooks* hooks = nullptr;  // only on a kept set; not owned
  UdpEntryPath paths[kMaxSetEntries];
  int watch = -1;  // per-interface sets: rtnetlink socket told of address changes; -1 none
};

// Fills the set (per_interface != 0: one socket per local address and group; else one
// per group bound to any address). 1, or -12 with every socket it opened closed again.
// Per-interface sockets need no privilege: a plain user can open them.
int udp_open_socket_set(UdpSocketSet& set, int per_interface);
// Closes every socket still open; closing twice is harmless.
void udp_close_socket_set(UdpSocketSet& set);
// Sends length bytes to dest (network order; 0xFFFFFFFF = limited broadcast) and port
// (host order) from every socket of the group. 1 when at least one send worked, else -12.
int udp_send_to(UdpSocketSet& set, uint32_t dest, uint16_t port, const uint8_t* data, int length,
                int group);
// Takes at most one waiting datagram from the group without blocking. 1 (length 0 when
// nothing was taken, a datagram over 2048 bytes, or a refused port) or -12.
// On a per-interface entry, *out_local is the address the datagram reached: the unicast
// destination, or for a broadcast the entry's address on the interface it came in by.
// Dropped as nothing received: a sender 0.0.0.0, a broadcast or multicast sender, one of
// the set's own sockets, and a broadcast that came in by another interface or by one
// that no longer holds the entry's address.
int udp_poll(UdpSocketSet& set, uint8_t* buffer, int max_length, int* out_length,
             sockaddr_in* out_sender, uint32_t* out_local, int group);
// Blocks until a socket of the set is readable or timeout_ms passes (poll(), any
// descriptor number). 1 readable, 0 time-out, -12 failure.
int udp_wait_readable(UdpSocketSet& set, int timeout_ms);
// Reads and drops every datagram already waiting on the set's sockets (a refused port
// counts as nothing). The number dropped, or -12 when a socket has failed.
int udp_discard_pending(UdpSocketSet& set);
// Hands the group's sockets to the parked ones (qnsock/quiet_ports.h) until `until`,
// for answers still on their way to them; their entries are left closed (-1).
void udp_park_group(UdpSocketSet& set, int group, std::chrono::steady_clock::time_point until);

// A set of one socket per group, bound to any address, that one thread keeps across its
// exchanges. It is opened anew when the host's addresses change (the kernel's
// notifications, or a fresh listing that differs where there are none), and when its
// owner asks for it (a failed socket, a reply that may still be on its way).
struct KeptSocketSet {
  UdpSocketSet set;
  bool open = false;
  bool replace = false;                 // the next use opens a new set first
  uint64_t generation = 0;              // of `watch`, taken just before the addresses were listed
  std::shared_ptr<AddressWatch> watch;  // null: no notifications, so compare listings
  AddressList listed;                   // the addresses it was opened under
  int openings = 0;                     // sets opened so far
  // Answers to its requests may still come until then (an exchange resent or timed
  // out): closing parks its 4800-family sockets instead, so no other socket gets them.
  std::chrono::steady_clock::time_point quiet_until{};
};
// Makes the set ready for an exchange, opening it when it is closed, stale or to be
// replaced. 1, or -12 with everything closed (the failures of udp_open_socket_set).
int udp_ready_kept_set(KeptSocketSet& kept);
// Closes the sockets (parking them while quiet_until is ahead); the next use opens a new set.
void udp_close_kept_set(KeptSocketSet& kept);

// What a per-interface entry makes of one datagram: the local address to report, or 0
// to drop it. `dst` and `spec_dst` are the IP_PKTINFO fields (equal for a unicast),
// `arrival_ifindex` the interface it came in by; addresses in network byte order.
uint32_t received_local_address(const UdpSocketSet& set, int entry, uint32_t sender,
                                uint16_t sender_port, uint32_t dst, uint32_t spec_dst,
                                int arrival_ifindex);

}  // namespace qeld
