// Addresses as the windows and the command line print them.
#pragma once

#include <cstdint>
#include <string>

namespace tavrix {

// ip is in network byte order; 0 (and, when asked, 255.255.255.255) gives "".
std::string ip_text(uint32_t ip, bool blank_broadcast);
std::string mac_text(const uint8_t mac[6]);
inline constexpr const char* kNoMac = "00:00:00:00:00:00";

}  // namespace tavrix
