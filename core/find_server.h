// Finding one server by its address: a directed search of the address (or of its two
// LANs' addresses), ended once the replies have settled, the reply to keep chosen, and
// the two LANs' replies merged into the identity that handles are opened with.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "core/outcome.h"
#include "qeld/ds_info.h"

namespace tavrix::core {

// Settled: one reply, or two for the models that answer a directed search twice.
bool replies_settled(int count, const qeld::DeviceIdentity* first);
// Of a two-reply model's answers, the one naming a second LAN is kept; `second` may be null.
const qeld::DeviceIdentity& choose_reply(const qeld::DeviceIdentity& first,
                                         const qeld::DeviceIdentity* second);
// The identity from the replies at the two addresses: LAN1's reply with LAN2's port as
// its second LAN, or LAN2's alone with LAN1's MAC unknown; the handles then talk to the
// addresses named.
std::optional<qeld::DeviceIdentity> merge_lan_replies(
    const std::optional<qeld::DeviceIdentity>& lan1,
    const std::optional<qeld::DeviceIdentity>& lan2, uint32_t lan1_address, uint32_t lan2_address);

struct SearchLimits {
  int wait_ms = 1000;  // one quiet wait
  int attempts = 5;    // quiet waits before the search gives up
  // When set, the waits are cut to fit and the search ends by then.
  std::optional<std::chrono::steady_clock::time_point> deadline;
  bool (*cancel)(const void* arg) = nullptr;  // asked at every reply and quiet wait
  const void* cancel_arg = nullptr;
};

// Directed search of `address` (network byte order). Replies of models the map does not
// know are dropped. Takes no library lock: one silent address holds up no other search.
// A failure's code is the search's public code: kPubSocket (the search's sockets could
// not be had), kPubStopped (cancelled), otherwise nothing of a known model answered.
Outcome<qeld::DeviceIdentity> find_server(uint32_t address, const SearchLimits& limits);
// The same for a server named by both its LANs' addresses (lan2 0: LAN1 alone). A LAN1
// reply that names its second LAN needs no second search. Found when either LAN answered.
Outcome<qeld::DeviceIdentity> find_server(uint32_t lan1, uint32_t lan2, const SearchLimits& limits);

}  // namespace tavrix::core
