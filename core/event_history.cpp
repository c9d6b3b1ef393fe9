// Appending events to the kept history, rotating it, and reading it back.
#include "core/event_history.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>

namespace tavrix {

namespace {

using Json = nlohmann::ordered_json;

// Local time as the Events tab shows it; the exact time is kept beside it.
std::string local_time_text(int64_t ms) {
  const std::time_t t = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

Json number_or_null(int n) {
  return n > 0 ? Json(n) : Json(nullptr);
}

int number_of(const Json& o, const char* key) {
  const auto it = o.find(key);
  return it != o.end() && it->is_number_integer() ? it->get<int>() : 0;
}

void read_lines(const std::string& path, int64_t since, HistoryRead& out) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    LoggedEvent e;
    if (!parse_event_line(line, e)) {
      ++out.skipped;
      continue;
    }
    if (e.event.time_ms >= since) out.events.push_back(std::move(e));
  }
}

}  // namespace

const char* event_kind_word(EventKind kind) {
  switch (kind) {
    case EventKind::kLan:
      return "LAN";
    case EventKind::kMode:
      return "Mode";
    case EventKind::kConnection:
      return "Connection";
  }
  return "";
}

std::string event_line(const LoggedEvent& l) {
  const ChangeEvent& e = l.event;
  Json o;
  o["Time"] = local_time_text(e.time_ms);
  o["Server"] = l.server;
  o["Kind"] = event_kind_word(e.kind);
  o["Port"] = number_or_null(e.port);
  o["LAN"] = e.lan > 0 ? Json("LAN" + std::to_string(e.lan)) : Json(nullptr);
  o["Connection"] = number_or_null(e.connection);
  o["Was"] = e.previous;
  o["Now"] = e.value;
  o["time_ms"] = e.time_ms;
  if (e.kind == EventKind::kMode) {
    o["mode_code"] = e.mode_code;
    o["previous_code"] = e.previous_code;
  }
  // Bad UTF-8 in a text becomes U+FFFD rather than an exception.
  return o.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool parse_event_line(const std::string& line, LoggedEvent& out) {
  const Json o = Json::parse(line, nullptr, false);
  if (o.is_discarded() || !o.is_object()) return false;
  const auto kind = o.find("Kind");
  const auto time = o.find("time_ms");
  if (kind == o.end() || !kind->is_string() || time == o.end() || !time->is_number_integer())
    return false;
  LoggedEvent l;
  ChangeEvent& e = l.event;
  const std::string k = kind->get<std::string>();
  if (k == "LAN")
    e.kind = EventKind::kLan;
  else if (k == "Mode")
    e.kind = EventKind::kMode;
  else if (k == "Connection")
    e.kind = EventKind::kConnection;
  else
    return false;
  e.time_ms = time->get<int64_t>();
  auto text = [&](const char* key) {
    const auto it = o.find(key);
    return it != o.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  l.server = text("Server");
  e.port = number_of(o, "Port");
  e.connection = number_of(o, "Connection");
  const std::string lan = text("LAN");
  e.lan = lan == "LAN1" ? 1 : lan == "LAN2" ? 2 : 0;
  e.previous = text("Was");
  e.value = text("Now");
  if (o.contains("mode_code")) {
    e.mode_code = number_of(o, "mode_code");
    e.previous_code = number_of(o, "previous_code");
  }
  l.before_restart = true;
  out = std::move(l);
  return true;
}

EventHistoryFile::EventHistoryFile(std::string path, std::size_t max_bytes, int64_t max_age_ms)
    : path_(std::move(path)),
      max_bytes_(std::max<std::size_t>(max_bytes, 1024)),
      max_age_ms_(max_age_ms) {}

EventHistoryFile::~EventHistoryFile() {
  if (file_) std::fclose(file_);
}

HistoryRead EventHistoryFile::read(int64_t now_ms) const {
  HistoryRead out;
  const int64_t since = now_ms - max_age_ms_;
  read_lines(rotated_path(), since, out);
  read_lines(path_, since, out);
  std::stable_sort(
      out.events.begin(), out.events.end(),
      [](const LoggedEvent& a, const LoggedEvent& b) { return a.event.time_ms < b.event.time_ms; });
  return out;
}

std::string EventHistoryFile::open_for_append() {
  file_ = std::fopen(path_.c_str(), "a+");
  if (!file_) return path_ + ": " + std::strerror(errno);
  struct stat st {};
  size_ = ::fstat(fileno(file_), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
  // A line torn by a crash gets its end here, so the next event starts a line of its own.
  if (size_ > 0 && std::fseek(file_, -1, SEEK_END) == 0 && std::fgetc(file_) != '\n') {
    std::fseek(file_, 0, SEEK_END);
    std::fputc('\n', file_);
    ++size_;
  }
  std::fseek(file_, 0, SEEK_END);
  return {};
}

std::string EventHistoryFile::append(const LoggedEvent& event) {
  if (!file_) {
    if (std::string why = open_for_append(); !why.empty()) return why;
  }
  const std::string line = event_line(event) + "\n";
  // Two files of half the bound each: the older half goes when the newer is full.
  if (size_ + line.size() > max_bytes_ / 2 && size_ > 0) {
    std::fclose(file_);
    file_ = nullptr;
    if (std::rename(path_.c_str(), rotated_path().c_str()) != 0)
      return path_ + ": " + std::strerror(errno);
    if (std::string why = open_for_append(); !why.empty()) return why;
  }
  if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0)
    return path_ + ": " + std::strerror(errno);
  size_ += line.size();
  return {};
}

std::map<std::string, AvailabilityHistory> histories_from_events(
    const std::vector<LoggedEvent>& events, int64_t restart_ms) {
  struct Known {
    ServerSnapshot snapshot;
    AvailabilityHistory history;
    int lans_seen = 0;  // bits of the LANs whose first event was read
    bool started = false;
  };
  std::map<std::string, Known> known;
  // Each LAN's state before the kept history begins is what its first event says it
  // was; a LAN without events kept one state throughout, taken as On Line.
  for (const LoggedEvent& l : events) {
    const ChangeEvent& e = l.event;
    if (e.kind != EventKind::kLan || e.lan < 1 || e.lan > 2) continue;
    auto [it, fresh] = known.try_emplace(l.server);
    ServerSnapshot& s = it->second.snapshot;
    if (fresh) {
      // A server with a comma in its label has two LANs.
      s.lans = l.server.find(',') != std::string::npos ? 2 : 1;
      s.online = s.lans == 2 ? 3 : 1;
    }
    const int bit = 1 << (e.lan - 1);
    int& seen = it->second.lans_seen;
    if (!(seen & bit)) {
      seen |= bit;
      if (e.previous == "On Line")
        s.online |= bit;
      else
        s.online &= ~bit;
    }
  }
  for (auto& [label, k] : known) k.started = false;
  for (const LoggedEvent& l : events) {
    const ChangeEvent& e = l.event;
    if (e.kind != EventKind::kLan || e.lan < 1 || e.lan > 2) continue;
    Known& k = known[l.server];
    ServerSnapshot& s = k.snapshot;
    if (!k.started) {
      k.started = true;
      // Before a start of monitoring ("Idle") nothing was known.
      if (e.previous != "Idle") k.history.record(s, e.time_ms - 1);
    }
    const int bit = 1 << (e.lan - 1);
    if (e.value == "On Line")
      s.online |= bit;
    else
      s.online &= ~bit;
    k.history.record(s, e.time_ms);
  }
  std::map<std::string, AvailabilityHistory> out;
  for (auto& [label, k] : known) {
    k.history.record_gap(restart_ms);
    out.emplace(label, std::move(k.history));
  }
  return out;
}

}  // namespace tavrix
