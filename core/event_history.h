// The events kept across restarts: one JSON object a line (JSON Lines), appended as
// each event happens, with the fields of the Events export. Bounded in size (the file is
// rotated to "<path>.1" at half the bound) and in age; a torn last line, left by a crash
// in the middle of a write, is skipped when read and never glued to the next event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "core/availability_history.h"
#include "core/event_log.h"

namespace tavrix {

// The kind's word, as the Events tab and its export show it ("LAN", "Mode", "Connection").
const char* event_kind_word(EventKind kind);

// One event as a line (without the line end), and back. False for a line that is not
// one (torn, damaged, or of another kind).
std::string event_line(const LoggedEvent& event);
bool parse_event_line(const std::string& line, LoggedEvent& out);

struct HistoryRead {
  std::vector<LoggedEvent> events;  // oldest first
  std::size_t skipped = 0;          // lines that could not be read (a torn last line)
};

class EventHistoryFile {
 public:
  static constexpr std::size_t kDefaultMaxBytes = 10u << 20;
  static constexpr int64_t kDefaultMaxAgeMs = 30LL * 24 * 3600 * 1000;

  explicit EventHistoryFile(std::string path, std::size_t max_bytes = kDefaultMaxBytes,
                            int64_t max_age_ms = kDefaultMaxAgeMs);
  ~EventHistoryFile();
  EventHistoryFile(const EventHistoryFile&) = delete;
  EventHistoryFile& operator=(const EventHistoryFile&) = delete;

  // Reads both files (the rotated one first), keeping events not older than the age
  // bound at now_ms.
  HistoryRead read(int64_t now_ms) const;
  // Appends one line and flushes it to the kernel, so a killed process loses at most the
  // line being written. Empty on success, else the system's reason.
  std::string append(const LoggedEvent& event);

  const std::string& path() const { return path_; }
  std::string rotated_path() const { return path_ + ".1"; }

 private:
  std::string open_for_append();

  std::string path_;
  std::size_t max_bytes_;
  int64_t max_age_ms_;
  std::FILE* file_ = nullptr;
  std::size_t size_ = 0;
};

// The timelines that the LAN events of a read history imply, by server, ending in a
// gap ("not monitored") at `restart_ms`, when this run began.
std::map<std::string, AvailabilityHistory> histories_from_events(
    const std::vector<LoggedEvent>& events, int64_t restart_ms);

}  // namespace tavrix
