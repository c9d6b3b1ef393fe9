// Fuzz harness for the simulator's request parser and the replies it builds from a
// parsed request: any datagram is read within its bytes, and every reply is well formed.
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "programs/tavrix-devsim/fleet.h"
#include "programs/tavrix-devsim/protocol.h"

namespace {

devsim::Device make_device(uint8_t shape) {
  devsim::Device d;
  d.name = "fuzz";
  d.model_key = 0x01020304;
  d.model_id = 0x2613;
  d.unit_id = 7;
  d.mac1 = {0x00, 0x90, 0xE8, 0x01, 0x02, 0x03};
  d.ip1 = 0x0100000A;
  if (shape & 1) {
    d.mac2 = {0x00, 0x90, 0xE8, 0x01, 0x02, 0x04};
    d.ip2 = 0x0200000A;
  }
  d.layout_4800 = (shape & 2) ? 40 : 24;
  d.code_1029 = (shape & 4) ? 0x82 : 0xC9;
  d.text_set = (shape & 8) ? 'A' : 'B';
  d.listed_silent = shape & 16;
  d.reported_ports = (shape & 32) ? 20 : -1;  // a device that claims more ports than it has
  d.ports.resize(1 + (shape >> 6) * 5);       // 1, 6, 11 or 16 ports
  for (std::size_t i = 0; i < d.ports.size(); ++i) {
    d.ports[i].mode = static_cast<int>(i % 3 == 0 ? d.redundant_mode() : i);
    d.ports[i].conns[0].lan[0] = {static_cast<uint8_t>(d.connected_state()), 0x0500000A};
  }
  return d;
}

void check_reply(const std::vector<uint8_t>& reply, uint8_t code) {
  if (reply.empty()) return;
  FUZZ_CHECK(reply.size() >= 4 && reply.size() <= 2048);
  FUZZ_CHECK((reply[2] << 8 | reply[3]) == static_cast<int>(reply.size()));
  FUZZ_CHECK(reply[0] == (code | 0x80) || reply[0] == 0x82 || reply[0] == 0xC9);
}

}  // namespace

// Input: byte 0 (bit 0 the family, bits 1-7 the device's shape for the replies), then
// the datagram as the device receives it.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const devsim::Family family = (data[0] & 1) ? devsim::Family::k1029 : devsim::Family::k4800;
  // Exactly the datagram's bytes on the heap, so a read past them is caught.
  std::vector<uint8_t> dgram(data + 1, data + size);
  const std::size_t len = dgram.size();
  devsim::Request req;
  const devsim::ParseStatus st =
      devsim::parse_request(dgram.empty() ? nullptr : dgram.data(), len, family, req);
  const std::size_t header = family == devsim::Family::k4800 ? 8 : 6;
  if (len < header) FUZZ_CHECK(st == devsim::ParseStatus::kTooShort);
  if (st != devsim::ParseStatus::kOk) return 0;

  FUZZ_CHECK(req.family == family && req.code == dgram[0] && req.status == dgram[1]);
  FUZZ_CHECK(req.length >= header && req.length <= len);
  if (family == devsim::Family::k4800) {
    if (req.code == 0x01) {
      FUZZ_CHECK(req.listed_4800.size() == (req.length - header) / 12);
      for (std::size_t i = 0; i < req.listed_4800.size(); ++i)
        FUZZ_CHECK(std::memcmp(req.listed_4800[i].key, dgram.data() + header + 12 * i, 4) == 0);
    } else {
      FUZZ_CHECK(req.has_identity && req.length >= 21 && req.port == dgram[20]);
    }
  } else {
    FUZZ_CHECK(req.listed_1029.size() == (req.length - header) / 4);
  }

  const devsim::Device dev = make_device(static_cast<uint8_t>(data[0] >> 1));
  (void)devsim::device_listed(dev, req);
  check_reply(devsim::search_reply(dev, req), req.code);
  if (family == devsim::Family::k4800 && req.has_identity) {
    const std::vector<uint8_t> reply = devsim::command_reply(dev, req);
    check_reply(reply, req.code);
    if (!reply.empty()) {
      // Replies of a command carry the device's identity header back.
      FUZZ_CHECK(reply.size() >= 20);
      FUZZ_CHECK(std::memcmp(reply.data() + 14, dev.mac1.data(), 6) == 0);
    }
  }
  return 0;
}
