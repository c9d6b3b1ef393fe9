// Which addresses the exporter may send to: the servers of the server-list file and
// the --allow CIDR ranges. Nothing else ever gets a datagram.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/address_text.h"
#include "core/server_list_file.h"

namespace tavrix::exporter {

class AccessPolicy {
 public:
  // "192.0.2.0/24" (or a single address, as /32). Empty on success, else the reason.
  std::string add_cidr(std::string_view text);
  // ip1 and ip2 of every listed server.
  void add_listed(const std::vector<ServerListEntry>& entries);
  // ip in network byte order.
  bool allowed(uint32_t ip) const;
  // Empty, or why ip is the network or broadcast address of a local network (from the
  // host's interfaces, read afresh) or of an --allow range: a datagram there would be a
  // broadcast, or reach no device.
  std::string broadcast_reason(uint32_t ip) const;

 private:
  static std::string ip_text_host(uint32_t host);
  struct Range {
    uint32_t network, mask;  // host byte order
  };
  std::vector<Range> ranges_;
  std::unordered_set<uint32_t> addresses_;  // network byte order
};

}  // namespace tavrix::exporter
