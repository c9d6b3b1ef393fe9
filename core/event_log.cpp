// The event ring and the per-server change detection behind the Events tab and the
// availability timeline.
#include "core/event_log.h"

#include <algorithm>
#include <cassert>

#include "core/address_text.h"
#include "core/list_replacement.h"
#include "core/string_table.h"

namespace tavrix {

std::string server_label(const tavrix::ServerRecord& server) {
  std::string text = ip_text(server.ip1, true);
  if (server.dual_lan == 1) text += ", " + ip_text(server.ip2, true);
  return text;
}

EventLog::EventLog(std::size_t capacity) : ring_(std::max<std::size_t>(capacity, 1)) {}

const LoggedEvent& EventLog::newest(std::size_t i) const {
  assert(i < count_);
  return ring_[(head_ + ring_.size() - 1 - i) % ring_.size()];
}

void EventLog::add(LoggedEvent event) {
  ring_[head_] = std::move(event);
  head_ = (head_ + 1) % ring_.size();
  count_ = std::min(count_ + 1, ring_.size());
  ++total_;
}

void EventLog::clear() {
  for (auto& e : ring_) e = LoggedEvent{};
  head_ = 0;
  count_ = 0;
}

void EventLog::restore(std::vector<LoggedEvent> events,
                       std::map<std::string, AvailabilityHistory> timelines) {
  for (auto& e : events) add(std::move(e));
  restored_ = std::move(timelines);
}

std::size_t EventLog::sample(const tavrix::ServerList& list, int64_t wall_ms, uint64_t steady_ms) {
  std::size_t added = 0;
  std::vector<Track> next;
  const int n = list.server_count();
  next.reserve(static_cast<std::size_t>(n));
  std::vector<std::shared_ptr<tavrix::ServerRecord>> records;
  records.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i)
    if (auto rec = list.server_ptr(i)) records.push_back(std::move(rec));
  park_gone(records, wall_ms);
  for (std::size_t i = 0; i < records.size(); ++i) {
    const std::shared_ptr<tavrix::ServerRecord>& rec = records[i];
    // The same record as before (an address reused after a free is a new server); the
    // list's order seldom changes, so the same place is tried first.
    auto same = [&](const Track& t) { return t.raw == rec.get() && t.record.lock() == rec; };
    auto it = i < tracks_.size() && same(tracks_[i])
                  ? tracks_.begin() + i
                  : std::find_if(tracks_.begin(), tracks_.end(), same);
    Track t;
    if (it != tracks_.end()) {
      t = std::move(*it);
    } else {
      t.record = rec;
      t.raw = rec.get();
      t.label = server_label(*rec);
      t.identity = identity_of(*rec);
      const auto parked = std::find_if(parked_.begin(), parked_.end(), [&](const auto& p) {
        return same_server(p.first, t.identity);
      });
      if (parked != parked_.end()) {
        t.history = std::move(parked->second);
        parked_.erase(parked);
      } else if (auto kept = restored_.find(t.label); kept != restored_.end()) {
        t.history = std::move(kept->second);
        restored_.erase(kept);
      }
    }
    if (rec->monitoring.load(std::memory_order_relaxed) != 1) {
      if (t.watching) t.history.record_gap(wall_ms);
      t.watching = false;
      t.detector.reset();
      t.redundancy_lost = false;
    } else if (!t.watching) {
      t.watching = true;
      t.since = steady_ms;
    }
    const uint64_t settle = static_cast<uint64_t>(list.refresh_rate.load()) * 1000;
    if (t.watching && steady_ms - t.since >= settle) {
      const bool baseline = !t.detector;
      if (baseline) t.detector.emplace(1);
      ServerSnapshot snap = take_snapshot(*rec);
      // A LAN already Off Line when monitoring begins is news too: the baseline that
      // reports no change would otherwise hide it.
      if (baseline)
        for (int lan = 1; lan <= snap.lans; ++lan)
          if (!(snap.online & (1 << (lan - 1)))) {
            ChangeEvent e;
            e.time_ms = wall_ms;
            e.kind = EventKind::kLan;
            e.lan = lan;
            e.previous = load_str(kStrIdle);
            e.value = load_str(kStrOffLine);
            add({std::move(e), t.label});
            ++added;
          }
      t.redundancy_lost =
          snap.online != 0 && std::any_of(snap.ports.begin(), snap.ports.end(), [&](auto& p) {
            return tavrix::redundancy_lost(p, snap.lans > 1);
          });
      t.history.record(snap, wall_ms);
      for (auto& e : t.detector->observe(std::move(snap), wall_ms)) {
        add({std::move(e), t.label});
        ++added;
      }
    }
    t.history.trim(wall_ms);
    next.push_back(std::move(t));
  }
  tracks_ = std::move(next);
  return added;
}

void EventLog::park_gone(const std::vector<std::shared_ptr<tavrix::ServerRecord>>& records,
                         int64_t wall_ms) {
  for (auto& t : tracks_) {
    const auto record = t.record.lock();
    if (record && std::find(records.begin(), records.end(), record) != records.end()) continue;
    if (t.history.summary().changes.empty()) continue;
    if (t.watching) t.history.record_gap(wall_ms);
    // A newer timeline of the same device replaces an older one.
    std::erase_if(parked_, [&](const auto& p) { return same_server(p.first, t.identity); });
    parked_.emplace_back(t.identity, std::move(t.history));
  }
  for (auto& p : parked_) p.second.trim(wall_ms);
  if (parked_.size() > static_cast<std::size_t>(kMaxServers))
    parked_.erase(parked_.begin(), parked_.end() - static_cast<std::ptrdiff_t>(kMaxServers));
}

const EventLog::Track* EventLog::find(const tavrix::ServerRecord* server) const {
  for (const auto& t : tracks_)
    if (t.raw == server && !t.record.expired()) return &t;
  return nullptr;
}

const AvailabilityHistory* EventLog::history(const tavrix::ServerRecord* server) const {
  const Track* t = find(server);
  return t ? &t->history : nullptr;
}

std::vector<std::pair<std::string, const AvailabilityHistory*>> EventLog::histories() const {
  std::vector<std::pair<std::string, const AvailabilityHistory*>> out;
  for (const auto& t : tracks_)
    if (!t.history.summary().changes.empty()) out.emplace_back(t.label, &t.history);
  return out;
}

bool EventLog::redundancy_lost(const tavrix::ServerRecord* server) const {
  const Track* t = find(server);
  return t && t->redundancy_lost;
}

}  // namespace tavrix
