// Addresses as the windows and the command line print them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tavrix {

// ip is in network byte order; 0 (and, when asked, 255.255.255.255) gives "".
std::string ip_text(uint32_t ip, bool blank_broadcast);
std::string mac_text(const uint8_t mac[6]);
// Strict dotted-quad IPv4 text to network byte order; nullopt when it does not parse.
std::optional<uint32_t> parse_ipv4(const std::string& text);
inline constexpr const char* kNoMac = "00:00:00:00:00:00";

}  // namespace tavrix
