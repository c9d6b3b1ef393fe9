// Addresses as the windows and the command line print them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavrix {

// ip is in network byte order; 0 (and, when asked, 255.255.255.255) gives "".
std::string ip_text(uint32_t ip, bool blank_broadcast);
std::string mac_text(const uint8_t mac[6]);
// "192.0.2.10" to network byte order: four decimal octets of one to three digits, no
// sign, no leading zero (it would read as octal elsewhere), nothing around; nullopt else.
std::optional<uint32_t> parse_ipv4(std::string_view text);
inline constexpr const char* kNoMac = "00:00:00:00:00:00";
// Whether a MAC is set: all zeros means none (a one-LAN server's second MAC).
bool has_mac(const uint8_t mac[6]);

}  // namespace tavrix
