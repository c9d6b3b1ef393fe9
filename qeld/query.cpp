// Server query calls: one socket set and one command exchange per call, aimed at the
// address of the LAN that the handle serves.
#include "query.h"

#include "commands.h"
#include "library.h"
#include "qnsock/socket_set.h"
#include "result_codes.h"

namespace qeld {
namespace {

constexpr int kMaxPortArg = 16;

int query(uint16_t code, int handle, int port, void* output) {
  if (output == nullptr) return kPubBadArgument;
  if (handle < 0 || handle >= kMaxHandles) return kPubBadArgument;
  // A snapshot instead of a pointer into the slot: a close on the GUI thread cannot free
  // the record under a running query.
  _DS_INFO reply;
  TimeoutBlock timeouts;
  if (!handle_snapshot(handle, reply, timeouts)) return kPubBadArgument;
  if (port < 0 || port > kMaxPortArg) return kPubBadArgument;
  return map_result_code(
      run_server_command(code, reply, static_cast<uint32_t>(port), output, timeouts));
}

}  // namespace

int run_server_command(uint16_t code, const _DS_INFO& reply, uint32_t argument, void* output,
                       const TimeoutBlock& timeouts) {
  UdpSocketSet set;
  if (udp_open_socket_set(set, 0) != kOk) return kErrSocket;
  int rc = kOk;
  if (const CommandRow* row = find_command(code)) {
    rc = row->handler(set, reply.ip2, reply, argument, output, timeouts);
  }
  udp_close_socket_set(set);
  return rc;
}

int query_port_modes(int handle, int port, int32_t* modes) {
  return query(kCmdPortModes, handle, port, modes);
}

int query_port_connections(int handle, int port, uint8_t* records) {
  return query(kCmdConnections, handle, port, records);
}

}  // namespace qeld
