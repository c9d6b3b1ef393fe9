// Fuzz harness for the decoding of the two command replies, 0x41 (port modes) and
// 0x3A (connection records), for port 0 and single ports: entries are taken only from
// bytes that arrived and are written only where the caller gave room.
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "qeld/commands.h"

namespace {

constexpr int kMaxPortEntries = 16;
constexpr int32_t kModeSentinel = 0x7E7E7E7E;
constexpr uint8_t kByteSentinel = 0xA5;

// Entries the reply announces for this request, before looking at what arrived.
int announced(const uint8_t* r, int len, uint8_t port) {
  if (port != 0) return 1;
  if (len < 22) return 0;
  return r[21] < kMaxPortEntries ? r[21] : kMaxPortEntries;
}

}  // namespace

// Input: byte 0 selects the command (bit 0: 0 = modes, 1 = connections), byte 1 is the
// port number asked for, the rest is the reply as received.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool connections = data[0] & 1;
  const uint8_t port = data[1];
  // Exactly the received bytes on the heap, so a read past them is caught.
  std::vector<uint8_t> reply(data + 2, data + size);
  const int len = static_cast<int>(reply.size());
  const uint8_t* r = reply.empty() ? nullptr : reply.data();
  uint8_t none[1] = {0};
  if (r == nullptr) r = none;

  const int want = announced(r, len, port);
  if (!connections) {
    std::vector<int32_t> modes(kMaxPortEntries, kModeSentinel);
    const int n = qeld::decode_port_modes(r, len, port, modes.data());
    const int arrived = len > 24 ? len - 24 : 0;
    const int expect = want < arrived ? want : arrived;
    FUZZ_CHECK(n == expect);
    for (int i = 0; i < kMaxPortEntries; ++i) {
      if (i < n) {
        FUZZ_CHECK(modes[i] == static_cast<int32_t>(static_cast<int8_t>(r[24 + i])));
      } else {
        FUZZ_CHECK(modes[i] == kModeSentinel);  // nothing written past the entries taken
      }
    }
    return 0;
  }

  const int rec = qeld::kConnRecordSize;
  std::vector<uint8_t> records(kMaxPortEntries * rec, kByteSentinel);
  const int n = qeld::decode_connections(r, len, port, records.data());
  const int whole = len >= 24 ? (len - 24) / rec : 0;
  const int bound = want < whole ? want : whole;
  FUZZ_CHECK(n >= 0 && n <= bound);
  if (port != 0) FUZZ_CHECK(n == bound);  // one port: its record whenever it arrived whole
  for (int i = 0; i < n; ++i)
    FUZZ_CHECK(std::memcmp(records.data() + i * rec, r + 24 + i * rec, rec) == 0);
  for (std::size_t b = static_cast<std::size_t>(n) * rec; b < records.size(); ++b)
    FUZZ_CHECK(records[b] == kByteSentinel);
  return 0;
}
