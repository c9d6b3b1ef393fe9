// The UDP command set: the (code, handler) table and the two monitor commands, 0x41
// (operation mode of every port) and 0x3A (connection record of one port).
#include "commands.h"

#include <array>
#include <cstring>

#include "byte_reader.h"
#include "exchange.h"
#include "result_codes.h"

namespace qeld {
namespace {

constexpr std::size_t kCountOffset = 21;
constexpr std::size_t kEntriesOffset = 24;
constexpr int kMaxPorts = 16;

constexpr std::array<CommandRow, 2> kCommandTable{{
    {kCmdPortModes, &command_port_modes},
    {kCmdConnections, &command_connections},
}};

// Entries to take: all announced ports (at most 16) for port 0, else exactly one; never
// more than the received bytes hold, since a short reply must not expose stale buffer bytes.
int entries_to_take(const uint8_t* reply, int length, uint8_t port, std::size_t entry_size) {
  ByteReader r(reply, length > 0 ? static_cast<std::size_t>(length) : 0);
  int wanted = 1;
  if (port == 0) {
    uint8_t announced = 0;
    if (!r.u8(kCountOffset, announced)) return 0;
    wanted = announced > kMaxPorts ? kMaxPorts : announced;
  }
  if (r.size() <= kEntriesOffset) return 0;
  std::size_t held = (r.size() - kEntriesOffset) / entry_size;
  return static_cast<std::size_t>(wanted) > held ? static_cast<int>(held) : wanted;
}

}  // namespace

const CommandRow* find_command(uint16_t code) {
  for (const CommandRow& row : kCommandTable) {
    if ((row.code & 0xFFFFu) == code) return &row;
  }
  return nullptr;
}

void build_command_request(uint8_t request[kCommandRequestSize], uint8_t code,
                           const DeviceIdentity& record, uint8_t port) {
  std::memset(request, 0, kCommandRequestSize);
  request[0] = code;
  put_u16_be(request + 2, kCommandRequestSize);
  build_identity_header(request, record);
  request[20] = port;
}

int decode_port_modes(const uint8_t* reply, int length, uint8_t port, int32_t* modes) {
  int n = entries_to_take(reply, length, port, 1);
  for (int i = 0; i < n; ++i) {
    modes[i] = static_cast<int32_t>(static_cast<int8_t>(reply[kEntriesOffset + i]));
  }
  return n;
}

int decode_connections(const uint8_t* reply, int length, uint8_t port, uint8_t* records) {
  // For port 0 the 104-byte reply buffer holds one record, so at most one is copied.
  int n = entries_to_take(reply, length, port, kConnRecordSize);
  if (n <= 0) return 0;
  std::size_t bytes = static_cast<std::size_t>(n) * kConnRecordSize;
  std::memset(records, 0, bytes);
  std::memcpy(records, reply + kEntriesOffset, bytes);
  return n;
}

int command_port_modes(UdpSocketSet& set, uint32_t device_ip, const DeviceIdentity& record,
                       uint32_t argument, void* output, const TimeoutBlock& timeouts) {
  uint8_t request[kCommandRequestSize];
  const uint8_t port = static_cast<uint8_t>(argument);
  build_command_request(request, kCmdPortModes, record, port);
  uint8_t reply[kModesReplySize] = {};
  int length = 0;
  int rc = udp_exchange(kCmdPortModes, set, device_ip, request, kCommandRequestSize, reply,
                        kModesReplySize, timeouts, &length);
  if (rc != kOk) return rc;
  decode_port_modes(reply, length, port, static_cast<int32_t*>(output));
  return kOk;
}

int command_connections(UdpSocketSet& set, uint32_t device_ip, const DeviceIdentity& record,
                        uint32_t argument, void* output, const TimeoutBlock& timeouts) {
  uint8_t request[kCommandRequestSize];
  const uint8_t port = static_cast<uint8_t>(argument);
  build_command_request(request, kCmdConnections, record, port);
  uint8_t reply[kConnReplySize] = {};
  int length = 0;
  int rc = udp_exchange(kCmdConnections, set, device_ip, request, kCommandRequestSize, reply,
                        kConnReplySize, timeouts, &length);
  if (rc != kOk) return rc;
  decode_connections(reply, length, port, static_cast<uint8_t*>(output));
  return kOk;
}

}  // namespace qeld
