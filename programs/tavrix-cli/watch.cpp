// tavrix-cli watch: monitor servers with the program's own pollers and print one
// timestamped line per change (LAN On/Off Line, port mode, connection state or peer).
#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>

#include "commands.h"
#include "core/change_detector.h"
#include "core/server_list_file.h"
#include "qeld/library.h"
#include "qeld/model_map.h"

namespace tavrix::cli {

using tavrix::ChangeDetector;
using tavrix::ChangeEvent;
using tavrix::EventKind;
using tavrix::ServerSnapshot;
using tavrix::take_snapshot;

namespace {

struct Watched {
  std::string address;
  int index = 0;  // in the server list
  std::shared_ptr<tavrix::ServerRecord> server;
  ChangeDetector detector;  // the same detection as the window's Events tab
};

std::string quoted(const std::string& text) {
  return '"' + text + '"';
}

std::string cells(const std::array<std::string, 4>& c) {
  return "[" + c[0] + " | " + c[1] + " | " + c[2] + " | " + c[3] + "]";
}

std::string port_summary(const PortTexts& p) {
  std::string text = "port " + std::to_string(p.port) + " " + quoted(p.mode_cell);
  if (p.supported) return text + " LAN1 " + cells(p.lan1) + " LAN2 " + cells(p.lan2);
  return p.mode_name.empty() ? text : text + " (" + p.mode_name + ")";
}

class Printer {
 public:
  explicit Printer(bool jsonl) : jsonl_(jsonl) {}

  void initial(const Watched& w) {
    const std::string model = qeld::model_name(w.server->model_key, w.server->model_id);
    const ServerSnapshot& s = w.detector.last();
    const std::string time = timestamp_now();
    if (jsonl_) {
      nlohmann::ordered_json j = head(w, "initial", time);
      j["model"] = model;
      j["lan1"] = on_line(w.detector.lan_on_line(1));
      j["lan2"] = s.lans > 1 ? nlohmann::ordered_json(on_line(w.detector.lan_on_line(2)))
                             : nlohmann::ordered_json(nullptr);
      j["ports"] = nlohmann::ordered_json::array();
      for (const auto& p : s.ports) j["ports"].push_back(port_json(p));
      emit(j);
      return;
    }
    std::string text = "initial " + quoted(model) + " LAN1 " + on_line(w.detector.lan_on_line(1));
    if (s.lans > 1) text += ", LAN2 " + on_line(w.detector.lan_on_line(2));
    for (const auto& p : s.ports) text += "; " + port_summary(p);
    line(w, text, time);
  }

  void change(const Watched& w, const ChangeEvent& e) {
    const std::string time = timestamp_text(e.time_ms);
    if (e.kind == EventKind::kLan) {
      if (jsonl_) {
        nlohmann::ordered_json j = head(w, "online", time);
        j["lan"] = e.lan;
        j["value"] = e.value;
        j["previous"] = e.previous;
        emit(j);
      } else {
        line(w, "LAN" + std::to_string(e.lan) + " " + e.value, time);
      }
      return;
    }
    // The port as it is now, for the cells a mode change brings.
    const PortTexts& port = w.detector.last().ports.at(static_cast<std::size_t>(e.port - 1));
    if (jsonl_) {
      nlohmann::ordered_json j = head(w, e.kind == EventKind::kMode ? "mode" : "connection", time);
      j["port"] = e.port;
      if (e.kind == EventKind::kConnection) {
        j["lan"] = e.lan;
        j["connection"] = e.connection;
      }
      j["value"] = e.value;
      j["previous"] = e.previous;
      if (e.kind == EventKind::kMode) {
        j["mode_code"] = e.mode_code;
        j["previous_code"] = e.previous_code;
        j["cell"] = port.mode_cell;
        j["lan1"] = port_json(port)["lan1"];
        j["lan2"] = port_json(port)["lan2"];
      }
      emit(j);
      return;
    }
    if (e.kind == EventKind::kMode) {
      std::string text = "port " + std::to_string(e.port) + " mode " + quoted(e.previous) + " -> " +
                         quoted(e.value);
      if (port.supported) text += " LAN1 " + cells(port.lan1) + " LAN2 " + cells(port.lan2);
      line(w, text, time);
    } else {
      line(w,
           "port " + std::to_string(e.port) + " LAN" + std::to_string(e.lan) + " connection " +
               std::to_string(e.connection) + " " + quoted(e.previous) + " -> " + quoted(e.value),
           time);
    }
  }

 private:
  static std::string on_line(bool online) { return lan_status_text(online ? 1 : 0, 0); }
  static nlohmann::ordered_json head(const Watched& w, const char* event, const std::string& time) {
    return {{"time", time}, {"server", w.address}, {"event", event}};
  }
  static void emit(const nlohmann::ordered_json& j) { std::cout << j.dump() << std::endl; }
  static void line(const Watched& w, const std::string& text, const std::string& time) {
    std::cout << time << ' ' << w.address << ' ' << text << std::endl;
  }
  bool jsonl_;
};

// Sleeps up to `ms`, waking early when interrupted or when the deadline passes.
void nap(uint64_t ms, uint64_t deadline) {
  const uint64_t until = steady_ms() + ms;
  while (!interrupted()) {
    const uint64_t now = steady_ms();
    if (now >= until || (deadline && now >= deadline)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint64_t>(50, until - now)));
  }
}

}  // namespace

std::vector<WatchEvent> diff_ports(const std::vector<PortTexts>& before,
                                   const std::vector<PortTexts>& after) {
  std::vector<WatchEvent> events;
  for (const ChangeEvent& c : tavrix::diff_ports(before, after, 0)) {
    WatchEvent e;
    e.kind = c.kind == EventKind::kMode ? WatchEvent::kMode : WatchEvent::kConnection;
    e.port = c.port;
    e.lan = c.lan;
    e.connection = c.connection;
    e.value = c.value;
    e.previous = c.previous;
    e.mode_code = c.mode_code;
    e.previous_code = c.previous_code;
    if (c.kind == EventKind::kMode) e.port_texts = &after[static_cast<std::size_t>(c.port - 1)];
    events.push_back(std::move(e));
  }
  return events;
}

int run_watch_command(const WatchArgs& args) {
  std::vector<uint32_t> addresses;
  for (const auto& text : args.addresses) {
    const Outcome<uint32_t> address = check_device_address(text);
    if (!address) return usage_error(address.reason());
    addresses.push_back(*address);
  }
  std::vector<ServerListEntry> listed;
  if (!args.servers_file.empty()) {
    auto read = read_server_list_file(args.servers_file);
    if (!read) return usage_error(read.reason());
    listed = std::move(read).value();
  }
  if (addresses.empty() && listed.empty()) {
    print_error("nothing to watch: give addresses or a server-list file with servers");
    return kExitUsage;
  }
  if (const Done started = start_library(); !started) return usage_error(started.reason());
  tavrix::ServerList list;  // this command's own server list
  list.refresh_rate = args.refresh;

  // Listed servers need no search: the file holds their identities.
  std::vector<std::pair<std::string, qeld::DeviceIdentity>> known;
  for (const auto& e : listed) known.emplace_back(ip_text(e.identity.ip1, false), e.identity);
  std::vector<Watched> watched;
  for (std::size_t i = 0; i < addresses.size() + known.size() && !interrupted(); ++i) {
    Watched w{{}, 0, nullptr, ChangeDetector(args.confirm)};
    if (i < addresses.size()) {
      const Outcome<qeld::DeviceIdentity> found =
          core::find_server(addresses[i], search_limits(args.timeout));
      if (!found) {
        print_error("no Tavrix server answered at " + args.addresses[i] + "; not watched");
        continue;
      }
      w.address = args.addresses[i];
      w.server = make_server_record(*found);
    } else {
      w.address = known[i - addresses.size()].first;
      w.server = make_server_record(known[i - addresses.size()].second);
    }
    if (!list.add_server(w.server)) {
      print_error("the server list is full; " + w.address + " not watched");
      continue;
    }
    w.index = list.server_count() - 1;
    watched.push_back(std::move(w));
  }
  if (watched.empty()) {
    qeld::library_stop();
    return interrupted() ? kExitOk : kExitNone;
  }

  list.set_stop_all(0);
  for (auto& w : watched) {
    w.server->monitoring = 1;
    list.start_poller(w.index, 0);
    if (w.server->dual_lan) list.start_poller(w.index, 1);
  }

  // Samples are taken every refresh period, as the window's refresh timer does; the
  // first one (the initial lines) is taken even when --duration is shorter.
  const uint64_t deadline =
      args.duration > 0 ? steady_ms() + static_cast<uint64_t>(args.duration * 1000) : 0;
  Printer printer(args.format == "jsonl");
  bool first = true;
  const uint64_t period = static_cast<uint64_t>(args.refresh) * 1000;
  nap(period, 0);
  while (!interrupted() && (first || !(deadline && steady_ms() >= deadline))) {
    for (auto& w : watched) {
      const auto events = w.detector.observe(take_snapshot(*w.server), wall_ms());
      if (first) {
        printer.initial(w);
        continue;
      }
      for (const auto& e : events) printer.change(w, e);
    }
    first = false;
    if (!std::cout) break;  // the reader has gone
    nap(period, deadline);
  }

  // Clean end: every poller asked to stop and joined before the handles close.
  for (auto& w : watched) {
    w.server->monitoring = 0;
    list.stop_poller(w.index, 0);
    if (w.server->dual_lan) list.stop_poller(w.index, 1);
  }
  list.set_stop_all(1);
  const bool ended = list.stop_all_pollers((args.refresh + 30) * 1000);
  if (!ended) print_error("warning: some pollers did not end in time");
  list.clear_servers();
  watched.clear();  // the last owners of the records: their handles close here
  qeld::library_stop();
  return kExitOk;
}

}  // namespace tavrix::cli
