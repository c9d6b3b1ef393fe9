// The allow-list of device addresses.
#include "access.h"

#include <arpa/inet.h>
#include <ifaddrs.h>

#include <charconv>

namespace tavrix::exporter {

std::string AccessPolicy::add_cidr(std::string_view text) {
  const std::size_t slash = text.find('/');
  const auto parsed = parse_ipv4(text.substr(0, slash));
  if (!parsed) return "--allow '" + std::string(text) + "': not a network like 192.0.2.0/24";
  int prefix = 32;
  if (slash != std::string_view::npos) {
    const std::string_view p = text.substr(slash + 1);
    const auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), prefix);
    if (ec != std::errc() || end != p.data() + p.size() || p.empty() || prefix < 0 || prefix > 32)
      return "--allow '" + std::string(text) + "': the prefix must be 0 to 32";
  }
  const uint32_t mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
  const uint32_t host = ntohl(*parsed);
  if ((host & ~mask) != 0)
    return "--allow '" + std::string(text) + "': host bits are set (did you mean " +
           ip_text_host(host & mask) + "/" + std::to_string(prefix) + "?)";
  ranges_.push_back({host & mask, mask});
  return {};
}

std::string AccessPolicy::ip_text_host(uint32_t host) {
  return std::to_string(host >> 24) + "." + std::to_string((host >> 16) & 255) + "." +
         std::to_string((host >> 8) & 255) + "." + std::to_string(host & 255);
}

void AccessPolicy::add_listed(const std::vector<ServerListEntry>& entries) {
  for (const auto& e : entries) {
    addresses_.insert(e.identity.ip1);
    addresses_.insert(e.identity.ip2);
  }
}

std::string AccessPolicy::broadcast_reason(uint32_t ip) const {
  const uint32_t host = ntohl(ip);
  // A /31 or /32 has no network or broadcast address.
  const auto edge = [host](uint32_t network, uint32_t mask) {
    return mask != 0xFFFFFFFFu && mask != 0xFFFFFFFEu &&
           (host == (network & mask) || host == ((network & mask) | ~mask));
  };
  const auto prefix = [](uint32_t mask) { return std::to_string(__builtin_popcount(mask)); };
  for (const Range& r : ranges_)
    if (edge(r.network, r.mask))
      return "the network or broadcast address of the allowed range " + ip_text_host(r.network) +
             "/" + prefix(r.mask);
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return "the host's networks cannot be listed";
  std::string why;
  for (const ifaddrs* i = list; i && why.empty(); i = i->ifa_next) {
    if (!i->ifa_addr || !i->ifa_netmask || i->ifa_addr->sa_family != AF_INET) continue;
    const uint32_t a = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    const uint32_t m = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
    if (edge(a, m))
      why = "the network or broadcast address of the local network " + ip_text_host(a & m) + "/" +
            prefix(m);
  }
  freeifaddrs(list);
  return why;
}

bool AccessPolicy::allowed(uint32_t ip) const {
  if (addresses_.count(ip)) return true;
  const uint32_t host = ntohl(ip);
  for (const Range& r : ranges_)
    if ((host & r.mask) == r.network) return true;
  return false;
}

}  // namespace tavrix::exporter
