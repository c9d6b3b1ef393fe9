// The window's record of what the pollers saw: every monitored server of the list is
// looked at on each sample, its changes become events in a ring of fixed size (the
// oldest dropped first), and its availability history grows for the timeline.
// Used from one thread (the window's); it reads the records as the port table does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/availability_history.h"
#include "core/change_detector.h"
#include "core/server_list.h"

namespace tavrix {

struct LoggedEvent {
  ChangeEvent event;
  std::string server;           // the server's addresses, as the tree shows them
  bool before_restart = false;  // read back from the kept history at start
};

// The server's addresses: ip1, or "ip1, ip2" for a dual-LAN server.
std::string server_label(const tavrix::ServerRecord& server);

class EventLog {
 public:
  // Ring size: a day of a busy fleet's changes in a few megabytes.
  static constexpr std::size_t kDefaultCapacity = 10000;
  explicit EventLog(std::size_t capacity = kDefaultCapacity);

  // Looks at every server of `list`. A server starts yielding events one refresh period
  // after its monitoring began (once its pollers have answered or failed to), from a
  // baseline that yields none; stopping it ends its detection and its timeline rows.
  // Returns the number of events added.
  std::size_t sample(const tavrix::ServerList& list, int64_t wall_ms, uint64_t steady_ms);

  std::size_t size() const { return count_; }
  std::size_t capacity() const { return ring_.size(); }
  // i = 0 is the newest; i < size().
  const LoggedEvent& newest(std::size_t i) const;
  // Events ever added; grows by one per event, whether or not the ring dropped one.
  uint64_t total() const { return total_; }
  void add(LoggedEvent event);
  void clear();
  // What a previous run saw: its events (oldest first) go into the ring, and each
  // server's timeline is taken up by the server with that label when it is sampled.
  // Likewise a server that leaves the list (a new search, a list opened) leaves its
  // timeline for a record of the same device that comes later.
  void restore(std::vector<LoggedEvent> events,
               std::map<std::string, AvailabilityHistory> timelines);

  // The timeline of a server in the list (nullptr for one never sampled).
  const AvailabilityHistory* history(const tavrix::ServerRecord* server) const;
  // Servers of the list that have a timeline, in list order.
  std::vector<std::pair<std::string, const AvailabilityHistory*>> histories() const;
  // A Redundant COM port of this server was connected on one LAN only at the last sample.
  bool redundancy_lost(const tavrix::ServerRecord* server) const;

 private:
  struct Track {
    std::weak_ptr<tavrix::ServerRecord> record;
    const tavrix::ServerRecord* raw = nullptr;
    std::string label;
    qeld::DeviceIdentity identity;
    bool watching = false;  // monitored at the last sample
    uint64_t since = 0;     // steady ms when monitoring was first seen
    std::optional<ChangeDetector> detector;
    AvailabilityHistory history;
    bool redundancy_lost = false;
  };
  const Track* find(const tavrix::ServerRecord* server) const;
  // Moves the timelines of tracks whose record is not among `records` to parked_.
  void park_gone(const std::vector<std::shared_ptr<tavrix::ServerRecord>>& records,
                 int64_t wall_ms);

  std::vector<LoggedEvent> ring_;
  std::size_t head_ = 0;  // where the next event goes
  std::size_t count_ = 0;
  uint64_t total_ = 0;
  std::vector<Track> tracks_;                            // list order
  std::map<std::string, AvailabilityHistory> restored_;  // by label, until a server takes it
  // Timelines of servers gone from the list, oldest first, at most kMaxServers.
  std::vector<std::pair<qeld::DeviceIdentity, AvailabilityHistory>> parked_;
};

}  // namespace tavrix
