// Server query calls: read a server's port modes and connection records through its
// device handle, either with a socket set of their own per call, or through a channel
// whose sockets one thread (a poller) keeps across its queries.
#pragma once

#include <chrono>
#include <cstdint>

#include "ds_info.h"
#include "qnsock/socket_set.h"
#include "timeout_block.h"

namespace qeld {

// The sockets one thread keeps for its queries; never shared between threads. Two socket
// sets take turns, so a second copy of an answer that the device sends just after the
// first lands on the set the next query does not listen on, and is dropped before that
// set is used again. A set is opened at its first use and opened anew after a change of
// the host's addresses, a socket failure, or a query that left a reply possibly still on
// its way (a time-out or a resend), so that reply finds a closed port. Destroying the
// channel closes everything.
class QueryChannel {
 public:
  QueryChannel();
  ~QueryChannel();
  QueryChannel(const QueryChannel&) = delete;
  QueryChannel& operator=(const QueryChannel&) = delete;

  // Asked before every resend: true makes the query give up as timed out (-2).
  void set_stop_check(bool (*stop)(const void* arg), const void* arg);
  // After a resend or a time-out, an exchange's sockets stay parked for its answers
  // (qnsock/quiet_ports.h) for its whole time-out, and at least this long: the owner's
  // own time-out, when a deadline cuts the waits of its last queries short.
  void set_least_quiet(std::chrono::milliseconds least) { least_quiet_ = least; }
  void close();
  // Socket sets opened so far, and replies dropped because they were waiting before a
  // request was sent (answers to earlier ones).
  int openings() const { return kept_[0].openings + kept_[1].openings; }
  int discarded() const { return hooks_.discarded; }

 private:
  friend int run_server_command(QueryChannel&, uint16_t, const DeviceIdentity&, uint32_t, void*,
                                const TimeoutBlock&);
  KeptSocketSet kept_[2];
  int turn_ = 0;  // the set the next query uses
  ExchangeHooks hooks_;
  std::chrono::milliseconds least_quiet_{0};
};

// Public codes. -5 (nothing sent) for a null output, a handle outside 0..1023 or not open,
// or a port outside 0..16. modes needs room for 16 values.
int query_port_modes(int handle, int port, int32_t* modes);
// records needs room for one 80-byte record (port 1..16).
int query_port_connections(int handle, int port, uint8_t* records);
// The same requests, replies, retries and codes, through the channel's kept sockets.
int query_port_modes(QueryChannel& channel, int handle, int port, int32_t* modes);
int query_port_connections(QueryChannel& channel, int handle, int port, uint8_t* records);

// Opens a socket set (one socket per group), runs the command's handler against the
// reply copy's ip2, closes the set. Internal code; 1 when no row matches (nothing sent).
int run_server_command(uint16_t code, const DeviceIdentity& reply, uint32_t argument, void* output,
                       const TimeoutBlock& timeouts);
// As above on the channel's kept set (-12 when it cannot be made ready; nothing sent).
int run_server_command(QueryChannel& channel, uint16_t code, const DeviceIdentity& reply,
                       uint32_t argument, void* output, const TimeoutBlock& timeouts);

}  // namespace qeld
