// Change detection over successive snapshots of one server record.
#include "core/change_detector.h"

#include <utility>

namespace tavrix {

ServerSnapshot take_snapshot(const tavrix::ServerRecord& server) {
  ServerSnapshot s;
  s.online = server.online.load(std::memory_order_relaxed);
  s.lans = server.dual_lan ? 2 : 1;
  s.ports = port_table(server);
  return s;
}

std::vector<ChangeEvent> diff_ports(const std::vector<PortTexts>& before,
                                    const std::vector<PortTexts>& after, int64_t time_ms) {
  std::vector<ChangeEvent> events;
  for (std::size_t i = 0; i < after.size() && i < before.size(); ++i) {
    const PortTexts& b = before[i];
    const PortTexts& a = after[i];
    if (a.mode_code != b.mode_code) {
      ChangeEvent e;
      e.time_ms = time_ms;
      e.kind = EventKind::kMode;
      e.port = a.port;
      e.value = mode_label(a);
      e.previous = mode_label(b);
      e.mode_code = a.mode_code;
      e.previous_code = b.mode_code;
      events.push_back(std::move(e));
    }
    if (!a.supported || !b.supported) continue;
    for (int lan = 1; lan <= 2; ++lan) {
      const auto& now = lan == 1 ? a.lan1 : a.lan2;
      const auto& was = lan == 1 ? b.lan1 : b.lan2;
      for (int n = 0; n < 4; ++n) {
        if (now[n] == was[n]) continue;
        ChangeEvent e;
        e.time_ms = time_ms;
        e.kind = EventKind::kConnection;
        e.port = a.port;
        e.lan = lan;
        e.connection = n + 1;
        e.value = now[n];
        e.previous = was[n];
        events.push_back(std::move(e));
      }
    }
  }
  return events;
}

int lans_up(const PortTexts& port) {
  if (!port.supported) return 0;
  return (port.connected1 > 0 ? 1 : 0) + (port.connected2 > 0 ? 1 : 0);
}

bool redundancy_lost(const PortTexts& port, bool dual_lan) {
  return dual_lan && lans_up(port) == 1;
}

bool OnlineConfirm::observe(bool online) {
  if (online == reported_) {
    streak_ = 0;
    return false;
  }
  if (++streak_ < confirm_) return false;
  reported_ = online;
  streak_ = 0;
  return true;
}

std::vector<ChangeEvent> ChangeDetector::observe(ServerSnapshot snapshot, int64_t time_ms) {
  std::vector<ChangeEvent> events;
  if (lans_.empty()) {
    for (int lan = 0; lan < snapshot.lans; ++lan)
      lans_.emplace_back((snapshot.online & (1 << lan)) != 0, confirm_);
    last_ = std::move(snapshot);
    return events;
  }
  for (std::size_t lan = 0; lan < lans_.size(); ++lan) {
    if (!lans_[lan].observe((snapshot.online & (1 << lan)) != 0)) continue;
    ChangeEvent e;
    e.time_ms = time_ms;
    e.kind = EventKind::kLan;
    e.lan = static_cast<int>(lan) + 1;
    e.value = lan_status_text(lans_[lan].state() ? 1 : 0, 0);
    e.previous = lan_status_text(lans_[lan].state() ? 0 : 1, 0);
    events.push_back(std::move(e));
  }
  for (auto& e : diff_ports(last_.ports, snapshot.ports, time_ms)) events.push_back(std::move(e));
  last_ = std::move(snapshot);
  return events;
}

bool ChangeDetector::lan_on_line(int lan) const {
  const std::size_t i = static_cast<std::size_t>(lan - 1);
  return lan >= 1 && i < lans_.size() && lans_[i].state();
}

}  // namespace tavrix
