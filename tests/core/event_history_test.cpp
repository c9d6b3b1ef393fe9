// The kept events: lines with the export's fields, a writer killed in the middle of its
// work loses nothing complete, a torn line is skipped and not glued to the next event,
// the size and age bounds, and the timelines that the LAN events imply.
#include "core/event_history.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using tavrix::Availability;
using tavrix::EventHistoryFile;
using tavrix::EventKind;
using tavrix::LoggedEvent;

LoggedEvent make_event(EventKind kind, int64_t t, const std::string& server, int lan, int port,
                       int connection, std::string was, std::string now) {
  LoggedEvent l;
  l.server = server;
  l.event.kind = kind;
  l.event.time_ms = t;
  l.event.lan = lan;
  l.event.port = port;
  l.event.connection = connection;
  l.event.previous = std::move(was);
  l.event.value = std::move(now);
  return l;
}

class EventHistory : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/event_history_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
    path = dir + "/events.jsonl";
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string dir, path;
};

constexpr int64_t kNow = 1'765'000'000'000;

TEST_F(EventHistory, LinesCarryTheExportFieldsAndReadBack) {
  const LoggedEvent events[] = {
      make_event(EventKind::kLan, kNow, "192.0.2.11, 198.51.100.11", 2, 0, 0, "On Line",
                 "Off Line"),
      make_event(EventKind::kMode, kNow + 1, "192.0.2.12", 0, 3, 0, "RAW", "Redundant COM"),
      make_event(EventKind::kConnection, kNow + 2, "192.0.2.13", 1, 16, 4, "Listen",
                 "198.51.100.7"),
  };
  for (const LoggedEvent& e : events) {
    const std::string line = tavrix::event_line(e);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const auto o = nlohmann::json::parse(line);
    for (const char* key : {"Time", "Server", "Kind", "Port", "LAN", "Connection", "Was", "Now"})
      EXPECT_TRUE(o.contains(key)) << key;
    // Numbers are numbers, and what an event does not have is null, not text.
    EXPECT_EQ(o["Port"], e.event.port > 0 ? nlohmann::json(e.event.port) : nlohmann::json());
    EXPECT_EQ(o["Connection"],
              e.event.connection > 0 ? nlohmann::json(e.event.connection) : nlohmann::json());
    EXPECT_EQ(o["Kind"], tavrix::event_kind_word(e.event.kind));
    LoggedEvent back;
    ASSERT_TRUE(tavrix::parse_event_line(line, back));
    EXPECT_TRUE(back.before_restart);
    EXPECT_EQ(back.server, e.server);
    EXPECT_EQ(back.event.kind, e.event.kind);
    EXPECT_EQ(back.event.time_ms, e.event.time_ms);
    EXPECT_EQ(back.event.lan, e.event.lan);
    EXPECT_EQ(back.event.port, e.event.port);
    EXPECT_EQ(back.event.connection, e.event.connection);
    EXPECT_EQ(back.event.previous, e.event.previous);
    EXPECT_EQ(back.event.value, e.event.value);
    // Every shorter piece of the line (a torn write) is refused.
    for (std::size_t cut = 0; cut < line.size(); cut += 7)
      EXPECT_FALSE(tavrix::parse_event_line(line.substr(0, cut), back)) << cut;
  }
  LoggedEvent back;
  EXPECT_FALSE(tavrix::parse_event_line(R"({"Kind":"Weather","time_ms":1})", back));
  EXPECT_FALSE(tavrix::parse_event_line(R"({"Kind":"LAN"})", back));
  EXPECT_FALSE(tavrix::parse_event_line("[1,2]", back));
}

// A child appends numbered events as fast as it can and is killed (SIGKILL) while it
// writes; a write torn by a crash is then put at the end by hand, since a kill cannot be
// timed to land inside one write() call. Every complete event comes back, in order.
TEST_F(EventHistory, KilledWriterLosesNothingCompleteAndTheTornLineIsSkipped) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    EventHistoryFile file(path, 256u << 20);
    for (int i = 0; i < 2'000'000; ++i)
      if (!file.append(make_event(EventKind::kLan, kNow + i, "192.0.2.1", 1, 0, 0, "On Line",
                                  "seq " + std::to_string(i)))
               .empty())
        ::_exit(3);
    ::_exit(0);
  }
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  const auto written = [&] {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    return ec ? 0 : size;
  };
  while (written() < 300'000 && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended before it was killed";

  const std::string torn = tavrix::event_line(
      make_event(EventKind::kLan, kNow, "192.0.2.1", 1, 0, 0, "On Line", "torn"));
  {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    // Whatever the kill left after the last line end is a torn line already.
    if (!text.empty() && text.back() != '\n') text.erase(text.rfind('\n') + 1);
    std::ofstream out(path, std::ios::trunc);
    out << text << torn.substr(0, torn.size() / 2);
  }
  std::size_t lines = 0;
  {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) ++lines;
  }
  EventHistoryFile file(path, 256u << 20);
  tavrix::HistoryRead read = file.read(kNow);
  EXPECT_EQ(read.skipped, 1u);
  ASSERT_EQ(read.events.size(), lines - 1);
  ASSERT_GT(read.events.size(), 1000u);
  for (std::size_t i = 0; i < read.events.size(); ++i)
    ASSERT_EQ(read.events[i].event.value, "seq " + std::to_string(i));

  // The next run's first event starts a line of its own.
  ASSERT_EQ(file.append(make_event(EventKind::kLan, kNow + 5'000'000, "192.0.2.1", 1, 0, 0,
                                   "On Line", "after")),
            "");
  read = file.read(kNow);
  EXPECT_EQ(read.skipped, 1u);
  ASSERT_EQ(read.events.size(), lines);
  EXPECT_EQ(read.events.back().event.value, "after");
}

TEST_F(EventHistory, BoundedInSizeAndAge) {
  constexpr std::size_t kMax = 16 * 1024;
  constexpr int64_t kDay = 24LL * 3600 * 1000;
  {
    EventHistoryFile file(path, kMax, 30 * kDay);
    // Two old events, then a thousand recent ones: far more than the bound holds.
    ASSERT_EQ(file.append(make_event(EventKind::kLan, kNow - 31 * kDay, "a", 1, 0, 0, "", "old")),
              "");
    ASSERT_EQ(file.append(make_event(EventKind::kLan, kNow - 29 * kDay, "a", 1, 0, 0, "", "kept")),
              "");
    for (int i = 0; i < 1000; ++i)
      ASSERT_EQ(file.append(make_event(EventKind::kLan, kNow + i, "a", 1, 0, 0, "",
                                       "n" + std::to_string(i))),
                "");
    EXPECT_LE(fs::file_size(path) + fs::file_size(file.rotated_path()), kMax);
  }
  EventHistoryFile file(path, kMax, 30 * kDay);
  tavrix::HistoryRead read = file.read(kNow + 1000);
  ASSERT_FALSE(read.events.empty());
  EXPECT_LT(read.events.size(), 1000u);  // the oldest rotated away
  EXPECT_EQ(read.events.back().event.value, "n999");
  for (std::size_t i = 1; i < read.events.size(); ++i)
    EXPECT_LT(read.events[i - 1].event.time_ms, read.events[i].event.time_ms);

  // The age bound alone: a file of old and recent events read 30 days on.
  fs::remove(path);
  fs::remove(file.rotated_path());
  EventHistoryFile small(path, kMax, 30 * kDay);
  ASSERT_EQ(small.append(make_event(EventKind::kLan, kNow - 31 * kDay, "a", 1, 0, 0, "", "old")),
            "");
  ASSERT_EQ(small.append(make_event(EventKind::kLan, kNow - 29 * kDay, "a", 1, 0, 0, "", "kept")),
            "");
  read = small.read(kNow);
  ASSERT_EQ(read.events.size(), 1u);
  EXPECT_EQ(read.events[0].event.value, "kept");
}

TEST_F(EventHistory, LanEventsGiveTheTimelineUpToTheRestart) {
  const std::vector<LoggedEvent> events = {
      make_event(EventKind::kLan, kNow + 1000, "192.0.2.5, 198.51.100.5", 2, 0, 0, "On Line",
                 "Off Line"),
      make_event(EventKind::kMode, kNow + 1500, "192.0.2.5, 198.51.100.5", 0, 1, 0, "RAW",
                 "Redundant COM"),
      make_event(EventKind::kLan, kNow + 2000, "192.0.2.5, 198.51.100.5", 2, 0, 0, "Off Line",
                 "On Line"),
      make_event(EventKind::kLan, kNow + 3000, "192.0.2.6", 1, 0, 0, "On Line", "Off Line"),
  };
  const auto timelines = tavrix::histories_from_events(events, kNow + 10'000);
  ASSERT_EQ(timelines.size(), 2u);
  const tavrix::AvailabilityHistory& dual = timelines.at("192.0.2.5, 198.51.100.5");
  const tavrix::AvailabilityRow* lan2 = nullptr;
  for (const auto& r : dual.rows())
    if (r.label == "LAN2") lan2 = &r;
  ASSERT_NE(lan2, nullptr);
  EXPECT_EQ(lan2->at(kNow + 999), Availability::kUp);
  EXPECT_EQ(lan2->at(kNow + 1000), Availability::kDown);
  EXPECT_EQ(lan2->at(kNow + 2500), Availability::kUp);
  EXPECT_EQ(lan2->at(kNow + 10'000), Availability::kUnknown);  // not monitored since
  const tavrix::AvailabilityHistory& single = timelines.at("192.0.2.6");
  EXPECT_EQ(single.summary().at(kNow + 3000), Availability::kDown);
  EXPECT_EQ(single.summary().at(kNow + 10'000), Availability::kUnknown);
}

}  // namespace
