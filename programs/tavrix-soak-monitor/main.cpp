// tavrix-soak-monitor: the monitor's core without windows, for long soak runs. The
// servers of a server-list file are monitored by the program's own pollers (tavrix::ServerList),
// sampled every refresh period through the window's change detector, and every event
// is written as one JSON line with its state codes. On SIGINT/SIGTERM every poller is
// stopped and joined, and the last line compares open descriptors and threads with
// the baseline taken before the first Start.
#include <dirent.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "core/address_text.h"
#include "core/change_detector.h"
#include "core/port_texts.h"
#include "core/server_list.h"
#include "core/server_list_file.h"
#include "qeld/library.h"
#include "qeld/model_map.h"

namespace {

std::atomic<bool> g_stop{false};
void on_signal(int) {
  g_stop = true;
}

int64_t wall_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int count_entries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (const dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n - 1;  // the directory stream's own descriptor, or nothing to remove for tasks
}

nlohmann::json resources() {
  return {{"fds", count_entries("/proc/self/fd")},
          {"threads", count_entries("/proc/self/task") + 1}};
}

// A connection cell back to its state code and peer: the text of a state, or a peer's
// address for the connected state.
struct CellCodes {
  std::map<std::string, int> by_text;
  int connected = 0;
  void decode(const std::string& cell, int& state, std::string& peer) const {
    if (tavrix::parse_ipv4(cell)) {
      state = connected;
      peer = cell;
      return;
    }
    const auto it = by_text.find(cell);
    state = it == by_text.end() ? -1 : it->second;
    peer = "0.0.0.0";
  }
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "tavrix-soak-monitor: the monitor's pollers and change detector, headless, for soak runs"};
  std::string servers_path, events_path;
  int refresh = 3;
  app.add_option("--servers", servers_path, "server-list file of the servers to monitor")
      ->required();
  app.add_option("--events", events_path, "write the events here (JSON Lines; default stdout)");
  app.add_option("--refresh", refresh, "refresh period in seconds")
      ->check(CLI::Range(1, 99))
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);

  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  auto read = tavrix::read_server_list_file(servers_path);
  if (!read) {
    std::cerr << "tavrix-soak-monitor: " << read.reason() << "\n";
    return 2;
  }
  const std::vector<tavrix::ServerListEntry> entries = std::move(read).value();
  std::ofstream file;
  if (!events_path.empty()) file.open(events_path, std::ios::trunc);
  std::ostream& out = events_path.empty() ? std::cout : file;
  if (!out) {
    std::cerr << "tavrix-soak-monitor: cannot write " << events_path << "\n";
    return 2;
  }

  const nlohmann::json baseline = resources();
  if (qeld::library_start() == 0) {
    std::cerr << "tavrix-soak-monitor: QELD initialization failed!!!\n";
    return 1;
  }
  if (const std::string tried = qeld::model_map_problem("; "); !tried.empty()) {
    std::cerr << "tavrix-soak-monitor: no model map: " << tried << "\n";
    return 1;
  }
  tavrix::ServerList list;
  list.refresh_rate = refresh;
  struct Watched {
    std::string server;
    int index = 0;
    std::shared_ptr<tavrix::ServerRecord> record;
    tavrix::ChangeDetector detector;
    CellCodes codes;
  };
  std::vector<Watched> watched;
  for (const auto& e : entries) {
    Watched w{tavrix::ip_text(e.identity.ip1, false),
              0,
              list.make_server_record(e.identity),
              tavrix::ChangeDetector(1),
              {}};
    if (!list.add_server(w.record)) break;
    w.index = list.server_count() - 1;
    const tavrix::TextSet set = tavrix::text_set_for(w.record->model_id);
    w.codes.connected = set.connected_state;
    for (int s = 0; s < 256; ++s)
      if (s != set.connected_state)
        w.codes.by_text.emplace(tavrix::connection_text(set, uint8_t(s), 0), s);
    watched.push_back(std::move(w));
  }

  if (!watched.empty()) {
    nlohmann::json j = {{"event", "texts"},
                        {"connected", watched[0].codes.connected},
                        {"states", watched[0].codes.by_text}};
    out << j.dump() << "\n";
  }
  // Start, as Run > Start does for every server.
  list.set_stop_all(0);
  for (auto& w : watched) {
    w.record->monitoring = 1;
    list.start_poller(w.index, 0);
    if (w.record->dual_lan) list.start_poller(w.index, 1);
  }
  const nlohmann::json started = resources();
  std::cerr << "tavrix-soak-monitor: monitoring " << watched.size() << " servers" << std::endl;

  // The window's refresh timer: one look at every record per refresh period.
  bool first = true;
  while (!g_stop) {
    for (int i = 0; i < refresh * 20 && !g_stop; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (g_stop) break;
    const int64_t now = wall_ms();
    for (auto& w : watched) {
      const auto events = w.detector.observe(tavrix::take_snapshot(*w.record), now);
      if (first) {
        nlohmann::json j = {{"time", now}, {"server", w.server}, {"event", "initial"}};
        j["lan1"] = w.detector.lan_on_line(1);
        j["lan2"] = w.detector.lan_on_line(2);
        out << j.dump() << "\n";
        continue;
      }
      for (const auto& e : events) {
        nlohmann::json j = {{"time", e.time_ms}, {"server", w.server}};
        if (e.kind == tavrix::EventKind::kLan) {
          j["event"] = "online";
          j["lan"] = e.lan;
          j["on_line"] = w.detector.lan_on_line(e.lan);
        } else if (e.kind == tavrix::EventKind::kMode) {
          j["event"] = "mode";
          j["port"] = e.port;
          j["value"] = e.mode_code;
        } else {
          int state = -1;
          std::string peer;
          w.codes.decode(e.value, state, peer);
          j["event"] = "connection";
          j["port"] = e.port;
          j["lan"] = e.lan;
          j["connection"] = e.connection;
          j["state"] = state;
          j["peer"] = peer;
          j["text"] = e.value;
        }
        out << j.dump() << "\n";
      }
    }
    first = false;
    out.flush();
  }

  // Stop, as Run > Stop does: every poller asked to end and joined, handles closed.
  for (auto& w : watched) {
    w.record->monitoring = 0;
    list.stop_poller(w.index, 0);
    if (w.record->dual_lan) list.stop_poller(w.index, 1);
  }
  list.set_stop_all(1);
  const bool ended = list.stop_all_pollers((refresh + 30) * 1000);
  list.clear_servers();  // the records close their handles
  watched.clear();
  qeld::library_stop();
  const nlohmann::json after = resources();
  nlohmann::json end = {{"event", "stopped"},   {"time", wall_ms()},  {"pollers_ended", ended},
                        {"baseline", baseline}, {"running", started}, {"after_stop", after}};
  out << end.dump() << std::endl;
  std::cout << end.dump() << std::endl;
  return ended ? 0 : 1;
}
