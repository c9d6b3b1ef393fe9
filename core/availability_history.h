// How available one server was over the last hours, as rows of state changes for the
// availability timeline: On Line / Off Line per LAN, and for each Redundant COM port
// whether its connections were up on both LANs, one or none. Bounded in time and count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "core/change_detector.h"

namespace tavrix {

// LAN row: kUp On Line, kDown Off Line. Port row: kUp connected on every LAN the server
// has, kPartial on one of two, kDown on none. Server row: kUp every LAN On Line and no
// port short of a path, kPartial otherwise, kDown every LAN Off Line. kUnknown: not
// monitored, or (port rows) not in Redundant COM or no LAN answering to tell.
enum class Availability : uint8_t { kUnknown, kDown, kPartial, kUp };

struct AvailabilityChange {
  int64_t time_ms = 0;  // wall clock, ms since the Unix epoch
  Availability state = Availability::kUnknown;
};

struct AvailabilityRow {
  std::string label;  // "LAN1", "LAN2", "Port 3" (server rows: the server's addresses)
  int port = 0;       // 1-based for a port row, 0 otherwise
  std::deque<AvailabilityChange> changes;  // oldest first; a state holds until the next
  // The state at time t (kUnknown before the first change).
  Availability at(int64_t t) const;
};

class AvailabilityHistory {
 public:
  static constexpr int64_t kKeepMs = 6 * 3600 * 1000;  // the longest span the timeline shows
  static constexpr std::size_t kMaxChanges = 4096;     // per row: a flapping LAN stays bounded

  // Adds the states a snapshot shows (only those that differ from the row's last).
  void record(const ServerSnapshot& snapshot, int64_t time_ms);
  // From now on nothing is known (monitoring stopped).
  void record_gap(int64_t time_ms);
  // Forgets changes older than kKeepMs, keeping the one in force at the cut.
  void trim(int64_t now_ms);

  const AvailabilityRow& summary() const { return summary_; }
  // LAN rows first, then one row per port ever seen in Redundant COM, in port order.
  const std::vector<AvailabilityRow>& rows() const { return rows_; }

 private:
  AvailabilityRow& row(const std::string& label, int port);
  static void put(AvailabilityRow& row, int64_t time_ms, Availability state);

  AvailabilityRow summary_;
  std::vector<AvailabilityRow> rows_;
};

}  // namespace tavrix
