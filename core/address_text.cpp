// Address texts of the windows and the command line.
#include "core/address_text.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace tavrix {

std::string ip_text(uint32_t ip, bool blank_broadcast) {
  if (ip == 0 || (blank_broadcast && ip == 0xFFFFFFFFu)) return {};
  uint8_t b[4];
  std::memcpy(b, &ip, 4);  // network byte order: the bytes stand in address order
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

std::string mac_text(const uint8_t mac[6]) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return text;
}

bool has_mac(const uint8_t mac[6]) {
  for (int i = 0; i < 6; ++i)
    if (mac[i] != 0) return true;
  return false;
}

std::optional<uint32_t> parse_ipv4(std::string_view text) {
  uint8_t b[4];
  const char* p = text.data();
  const char* const end = text.data() + text.size();
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (p == end || *p != '.') return std::nullopt;
      ++p;
    }
    const char* start = p;
    unsigned v = 0;
    const auto [next, ec] = std::from_chars(p, end, v, 10);
    if (ec != std::errc() || next - start > 3 || v > 255 || (next - start > 1 && *start == '0'))
      return std::nullopt;
    b[i] = static_cast<uint8_t>(v);
    p = next;
  }
  if (p != end) return std::nullopt;
  uint32_t out;
  std::memcpy(&out, b, 4);  // the bytes in address order: network byte order
  return out;
}

}  // namespace tavrix
