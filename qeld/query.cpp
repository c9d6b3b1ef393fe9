// Server query calls: one command exchange per call, aimed at the address of the LAN
// that the handle serves, on a socket set of the call's own or on a channel's kept one.
#include "query.h"

#include <algorithm>
#include <chrono>

#include "commands.h"
#include "library.h"
#include "qnsock/quiet_ports.h"
#include "qnsock/socket_set.h"
#include "result_codes.h"

namespace qeld {
namespace {

constexpr int kMaxPortArg = 16;

int query(QueryChannel* channel, uint16_t code, int handle, int port, void* output) {
  if (output == nullptr) return kPubBadArgument;
  if (handle < 0 || handle >= kMaxHandles) return kPubBadArgument;
  // A snapshot instead of a pointer into the slot: a close on the GUI thread cannot free
  // the record under a running query.
  DeviceIdentity reply;
  TimeoutBlock timeouts;
  if (!handle_snapshot(handle, reply, timeouts)) return kPubBadArgument;
  if (port < 0 || port > kMaxPortArg) return kPubBadArgument;
  const auto arg = static_cast<uint32_t>(port);
  return map_result_code(channel ? run_server_command(*channel, code, reply, arg, output, timeouts)
                                 : run_server_command(code, reply, arg, output, timeouts));
}

}  // namespace

int run_server_command(uint16_t code, const DeviceIdentity& reply, uint32_t argument, void* output,
                       const TimeoutBlock& timeouts) {
  UdpSocketSet set;
  if (udp_open_socket_set(set, 0) != kOk) return kErrSocket;
  ExchangeHooks hooks;
  set.hooks = &hooks;
  int rc = kOk;
  if (const CommandRow* row = find_command(code)) {
    rc = row->handler(set, reply.ip2, reply, argument, output, timeouts);
  }
  if (rc == kErrTimeout || hooks.resends != 0) udp_park_group(set, kGroup4800, quiet_end(timeouts));
  udp_close_socket_set(set);
  return rc;
}

int run_server_command(QueryChannel& channel, uint16_t code, const DeviceIdentity& reply,
                       uint32_t argument, void* output, const TimeoutBlock& timeouts) {
  KeptSocketSet& kept = channel.kept_[channel.turn_];
  channel.turn_ ^= 1;
  if (udp_ready_kept_set(kept) != kOk) return kErrSocket;
  const CommandRow* row = find_command(code);
  if (row == nullptr) return kOk;
  kept.set.hooks = &channel.hooks_;
  const int resends = channel.hooks_.resends;
  const int rc = row->handler(kept.set, reply.ip2, reply, argument, output, timeouts);
  // After a time-out or a resend the device may still answer an attempt it has not
  // answered yet: the next query on this set gets new sockets, while the old ones stay
  // parked for that answer. A socket failure, too, is cured by new sockets.
  if (rc == kErrTimeout || channel.hooks_.resends != resends) {
    kept.replace = true;
    kept.quiet_until = quiet_end(timeouts, channel.least_quiet_);
  }
  if (rc == kErrSocket) kept.replace = true;
  return rc;
}

QueryChannel::QueryChannel() = default;

QueryChannel::~QueryChannel() {
  close();
}

void QueryChannel::set_stop_check(bool (*stop)(const void* arg), const void* arg) {
  hooks_.stop = stop;
  hooks_.stop_arg = arg;
}

void QueryChannel::close() {
  for (KeptSocketSet& k : kept_) udp_close_kept_set(k);
}

int query_port_modes(int handle, int port, int32_t* modes) {
  return query(nullptr, kCmdPortModes, handle, port, modes);
}

int query_port_connections(int handle, int port, uint8_t* records) {
  return query(nullptr, kCmdConnections, handle, port, records);
}

int query_port_modes(QueryChannel& channel, int handle, int port, int32_t* modes) {
  return query(&channel, kCmdPortModes, handle, port, modes);
}

int query_port_connections(QueryChannel& channel, int handle, int port, uint8_t* records) {
  return query(&channel, kCmdConnections, handle, port, records);
}

}  // namespace qeld
