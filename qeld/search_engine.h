// The broadcast search engine: search requests in rounds from every local
// interface, replies turned into DeviceIdentity records, repeats dropped.
#pragma once

#include <cstdint>
#include <functional>

#include "ds_info.h"
#include "timeout_block.h"

namespace qeld {

inline constexpr int kMaxFound = 512;

// Called with each new record (valid only during the call; copy to keep it) and with
// nullptr after each quiet wait. Returns 0 to stop the search, any other value to go on.
using ReplyCallback = std::function<int(const DeviceIdentity*)>;

// Public codes: 1 ran to its end; -5 no callback; -2 directed search found nothing;
// -3 socket failure; -4 stopped by the callback; -13 status 6; -1 out of memory.
// target 0 or 0xFFFFFFFF = broadcast, else one address (network byte order).
int search_servers(uint32_t target, const ReplyCallback& callback);

// Internal codes: records found (0..512); 1 when a directed search got its first new
// 4800-family reply; -11 directed search found nothing; -12, -13, -19 or -20.
int run_search(uint32_t target, const ReplyCallback& callback, const TimeoutBlock& options);

// The engine's found list for one search. It owns its records.
struct FoundList {
  DeviceIdentity* records[kMaxFound] = {};
  int count = 0;
  FoundList() = default;
  FoundList(const FoundList&) = delete;
  FoundList& operator=(const FoundList&) = delete;
  ~FoundList();
  void clear();
};

// What processing one reply decided.
enum class ReplyOutcome {
  kIgnored,     // matched no layout: no record, not counted
  kRefreshed,   // an existing record was refreshed
  kNew,         // a new record was made, passed to the callback and appended
  kEnd,         // the search must end now with *end_code
};

// Processes one accepted reply exactly as the engine does (layout by group and length or
// code, identity matching, refresh, new record, callback, limit, directed end). `reply`
// holds `length` received bytes (at most 40 are used); sender_ip and local_ip are in
// network byte order. Sets *end_code when the outcome is kEnd.
ReplyOutcome process_search_reply(FoundList& found, const uint8_t* reply, int length, int group,
                                  uint32_t sender_ip, uint32_t local_ip, uint32_t target,
                                  const ReplyCallback& callback, int* end_code);

}  // namespace qeld
