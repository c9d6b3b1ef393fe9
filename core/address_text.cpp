// Address texts of the windows and the command line.
#include "core/address_text.h"

#include <arpa/inet.h>

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

std::optional<uint32_t> parse_ipv4(const std::string& text) {
  in_addr addr{};
  // inet_pton takes only four decimal octets, unlike inet_addr's shorthand forms.
  if (inet_pton(AF_INET, text.c_str(), &addr) != 1) return std::nullopt;
  return addr.s_addr;
}

}  // namespace tavrix
