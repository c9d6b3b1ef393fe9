// The availability timeline's rows, kept from successive snapshots of one server.
#include "core/availability_history.h"

#include <algorithm>

namespace tavrix {

Availability AvailabilityRow::at(int64_t t) const {
  // The last change at or before t.
  auto it = std::upper_bound(changes.begin(), changes.end(), t,
                             [](int64_t v, const AvailabilityChange& c) { return v < c.time_ms; });
  return it == changes.begin() ? Availability::kUnknown : std::prev(it)->state;
}

void AvailabilityHistory::put(AvailabilityRow& row, int64_t time_ms, Availability state) {
  if (!row.changes.empty() && row.changes.back().state == state) return;
  // A clock set back must not break the order that at() relies on.
  if (!row.changes.empty()) time_ms = std::max(time_ms, row.changes.back().time_ms);
  row.changes.push_back({time_ms, state});
  while (row.changes.size() > kMaxChanges) row.changes.pop_front();
}

AvailabilityRow& AvailabilityHistory::row(const std::string& label, int port) {
  for (auto& r : rows_)
    if (r.label == label) return r;
  AvailabilityRow r;
  r.label = label;
  r.port = port;
  // LAN rows (port 0) before port rows, ports in order.
  auto at = std::find_if(rows_.begin(), rows_.end(),
                         [&](const AvailabilityRow& x) { return x.port > port; });
  return *rows_.insert(at, std::move(r));
}

void AvailabilityHistory::record(const ServerSnapshot& s, int64_t time_ms) {
  int lans_on = 0;
  for (int lan = 0; lan < s.lans; ++lan) {
    const bool on = (s.online & (1 << lan)) != 0;
    lans_on += on;
    put(row("LAN" + std::to_string(lan + 1), 0), time_ms,
        on ? Availability::kUp : Availability::kDown);
  }
  bool short_of_path = false;
  for (const PortTexts& p : s.ports) {
    const std::string label = "Port " + std::to_string(p.port);
    Availability state = Availability::kUnknown;
    if (p.supported && lans_on > 0) {
      const int up = lans_up(p);
      state = up == 0       ? Availability::kDown
              : up < s.lans ? Availability::kPartial
                            : Availability::kUp;
      short_of_path = short_of_path || redundancy_lost(p, s.lans > 1);
    }
    // Ports never seen in Redundant COM get no row.
    if (state != Availability::kUnknown ||
        std::any_of(rows_.begin(), rows_.end(), [&](auto& r) { return r.label == label; }))
      put(row(label, p.port), time_ms, state);
  }
  Availability server = Availability::kUp;
  if (lans_on == 0)
    server = Availability::kDown;
  else if (lans_on < s.lans || short_of_path)
    server = Availability::kPartial;
  put(summary_, time_ms, server);
}

void AvailabilityHistory::record_gap(int64_t time_ms) {
  put(summary_, time_ms, Availability::kUnknown);
  for (auto& r : rows_) put(r, time_ms, Availability::kUnknown);
}

void AvailabilityHistory::trim(int64_t now_ms) {
  const int64_t cut = now_ms - kKeepMs;
  auto trim_row = [cut](AvailabilityRow& r) {
    while (r.changes.size() > 1 && r.changes[1].time_ms <= cut) r.changes.pop_front();
  };
  trim_row(summary_);
  for (auto& r : rows_) trim_row(r);
}

}  // namespace tavrix
