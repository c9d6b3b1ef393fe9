// The UDP command set: a table of (code, handler) rows and the handlers of the
// two commands the monitor uses, 0x41 (port modes) and 0x3A (connection records).
#pragma once

#include <cstdint>

#include "ds_info.h"
#include "qnsock/socket_set.h"
#include "timeout_block.h"

namespace qeld {

inline constexpr uint8_t kCmdPortModes = 0x41;
inline constexpr uint8_t kCmdConnections = 0x3A;
inline constexpr int kCommandRequestSize = 21;
inline constexpr int kModesReplySize = 40;
inline constexpr int kConnReplySize = 104;
inline constexpr int kConnRecordSize = 80;

using CommandHandler = int (*)(UdpSocketSet& set, uint32_t device_ip, const DeviceIdentity& record,
                               uint32_t argument, void* output, const TimeoutBlock& timeouts);

struct CommandRow {
  uint32_t code;
  CommandHandler handler;
};

// First row whose low 16 bits equal code, or nullptr.
const CommandRow* find_command(uint16_t code);

// Builds the 21-byte request of a command (code, length 21, identity, port byte).
void build_command_request(uint8_t request[kCommandRequestSize], uint8_t code,
                           const DeviceIdentity& record, uint8_t port);

// Decode a reply of `length` received bytes into the output, as the handlers do after a
// successful exchange. Only entries that actually arrived are taken. Return the number
// of entries written.
int decode_port_modes(const uint8_t* reply, int length, uint8_t port, int32_t* modes);
int decode_connections(const uint8_t* reply, int length, uint8_t port, uint8_t* records);

int command_port_modes(UdpSocketSet& set, uint32_t device_ip, const DeviceIdentity& record,
                       uint32_t argument, void* output, const TimeoutBlock& timeouts);
int command_connections(UdpSocketSet& set, uint32_t device_ip, const DeviceIdentity& record,
                        uint32_t argument, void* output, const TimeoutBlock& timeouts);

}  // namespace qeld
