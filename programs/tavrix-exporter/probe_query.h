// The /probe query string: strict parsing (percent-decoding, no unknown, empty or
// repeated parameter) and the checks every target address must pass before anything
// is sent. Pure functions, fuzzed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/outcome.h"

namespace tavrix::exporter {

// Longer query strings are refused: a probe needs two short addresses.
inline constexpr std::size_t kMaxQueryLength = 512;

struct ProbeQuery {
  std::string target;  // LAN1 address as given (decoded)
  std::string lan2;    // second-LAN address, or empty
  bool debug = false;  // debug=true: the probe's own log before its metrics
};

// Parses the raw query string (the part after '?', not decoded); a failure's reason is
// short, for a 400 answer.
Outcome<ProbeQuery> parse_probe_query(std::string_view query);

// Decodes %XX and '+'; false for a malformed escape or a decoded NUL.
bool percent_decode(std::string_view in, std::string& out);

// A device address: four decimal octets, not in 0.0.0.0/8, multicast or reserved space
// (255.255.255.255 included); the address in network byte order. Whether it is the
// network or broadcast address of a local network is AccessPolicy's question.
Outcome<uint32_t> check_device_target(std::string_view text);

}  // namespace tavrix::exporter
