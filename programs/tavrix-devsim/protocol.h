// The device side of the wire: parsing the requests a device server receives on
// its two ports and building its replies, byte for byte at explicit offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fleet.h"

namespace devsim {

enum class ParseStatus {
  kOk,
  kTooShort,     // fewer bytes than the family's header (8 or 6), or a command under 21
  kBadLength,    // the length field is below the header or above the bytes received
};

// A device named in a search request's list of servers found so far.
struct Listed4800 {
  uint8_t key[4];
  uint8_t id[2];
  uint8_t mac[6];
};
struct Listed1029 {
  uint8_t id[2];
  uint8_t unit[2];
};

struct Request {
  Family family = Family::k4800;
  uint8_t code = 0;
  uint8_t status = 0;
  uint16_t length = 0;      // the length field (big-endian on the wire)
  uint8_t id[4] = {};       // request id bytes (1029 family: only id[0..1])
  std::vector<Listed4800> listed_4800;  // request 0x01
  std::vector<Listed1029> listed_1029;  // requests 0x49 and 0x02
  bool has_identity = false;            // 4800 commands: bytes 8-19 and the port byte
  uint8_t key[4] = {};
  uint8_t model_id[2] = {};
  uint8_t mac[6] = {};
  uint8_t port = 0;
};

// The one entry point for incoming datagrams: never reads data[len] or beyond. Entries
// are counted from min(len, length field); a trailing partial entry is ignored.
ParseStatus parse_request(const uint8_t* data, std::size_t len, Family family, Request& out);

// True when the request's found list names this device (4800: key, id and mac1;
// 1029: model id and unit id).
bool device_listed(const Device& d, const Request& r);

// The search reply of a device, or an empty vector when it does not answer this
// request (family off, wrong 1029 code). 4800: layout 24 or 40 as the device says.
// 1029: code 0x82 with both addresses, or the device's other code with mac1 only.
std::vector<uint8_t> search_reply(const Device& d, const Request& r);

// The 80-byte connection record of a port: 8 x (LAN1 peer, LAN2 peer), then
// 8 x (LAN1 state, LAN2 state).
std::vector<uint8_t> connection_record(const Port& p);

// Replies to 0x41 (mode byte per port) and 0x3A (connection records). Port byte 0 =
// all ports; 1..count = one port; any other port gets status 3. Empty vector for an
// unknown command code.
std::vector<uint8_t> command_reply(const Device& d, const Request& r);

// Big-endian length field helper shared with the fault code.
void put_length(std::vector<uint8_t>& reply);

}  // namespace devsim
