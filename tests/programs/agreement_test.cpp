// The three programs that watch devices against one simulator: for each device behaviour,
// the pollers' records, `tavrix-cli probe --format json` and the exporter's /probe must
// agree on each LAN's up/down, the port modes and the connection states.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "core/poller.h"
#include "core/port_texts.h"
#include "core/string_table.h"
#include "programs/exporter_test_util.h"
#include "qeld/library.h"
#include "qeld/model_map.h"
#include "support/device_identity.h"
#include "support/lab.h"
#include "support/loopback_sim.h"
#include "support/qeld_loopback.h"

namespace {

using namespace std::chrono_literals;
using exporter_test::Process;

constexpr int kPorts = 4;
constexpr uint8_t kModeRead = 0x41;
constexpr uint8_t kRecordRead = 0x3A;

// What one program says about one server: the LANs' up/down, each port's mode code (-1
// unknown) and, per Redundant COM port, LAN and connection, the state's name ("-" for a
// record that was not read).
struct View {
  std::array<bool, 2> up{};
  std::vector<int> modes;
  std::map<std::string, std::string> states;

  std::string text() const {
    std::ostringstream out;
    out << "up " << up[0] << up[1] << " modes";
    for (int m : modes) out << ' ' << m;
    for (const auto& [k, v] : states) out << "\n  " << k << ' ' << v;
    return out.str();
  }
};

std::string key(int port, int lan, int conn) {
  return "p" + std::to_string(port) + "/lan" + std::to_string(lan) + "/c" + std::to_string(conn);
}

// A port-table cell as a state name: the connected state shows its peer's address instead.
std::string state_of_cell(const tavrix::TextSet& set, const std::string& cell) {
  for (int code = 0; code < 16; ++code)
    if (const std::string name = tavrix::load_str(set.state_base + code);
        !name.empty() && name == cell)
      return name;
  return tavrix::load_str(set.state_base + set.connected_state);
}

// Cells of never-read records are all "TCP Closed": every Redundant COM port of the fleet
// has some other state on each LAN, so such a port counts as not read.
void add_cells(View& v, const tavrix::TextSet& set, int port, int lan,
               const std::vector<std::string>& cells) {
  const std::string closed = tavrix::load_str(set.state_base);
  const bool unread = std::all_of(cells.begin(), cells.end(), [&](auto& c) { return c == closed; });
  for (int n = 0; n < 4; ++n)
    v.states[key(port, lan, n + 1)] = unread ? "-" : state_of_cell(set, cells[std::size_t(n)]);
}

// The fleet: one two-LAN device per behaviour, text set A, ports 1, 2 and 4 in "Redundant
// COM" (connection 1 connected on LAN1, listening on LAN2; connection 2 the other way
// round), port 3 in "Terminal(ASCII)".
struct Behaviour {
  const char* what;
  std::function<void(devsim::Faults&)> fault;
  // What the pollers' first cycle makes of it, so agreement cannot pass by everyone
  // seeing nothing.
  std::array<bool, 2> up;
  bool modes_read;
  bool records_read;
};

const std::vector<Behaviour>& behaviours() {
  static const std::vector<Behaviour> list = {
      {"answers", [](devsim::Faults&) {}, {true, true}, true, true},
      {"silent", [](devsim::Faults& f) { f.silent = true; }, {false, false}, false, false},
      {"late beyond the in-time limit",
       [](devsim::Faults& f) { f.delay_min_ms = f.delay_max_ms = 1700; },
       {false, false},
       true,
       true},
      // A first cycle has no earlier modes to read connection records for.
      {"mode read fails while connection reads answer",
       [](devsim::Faults& f) { f.silent_codes = {kModeRead}; },
       {false, false},
       false,
       false},
      // One record holds both LANs' states: LAN1 reads LAN2's too.
      {"LAN2 down", [](devsim::Faults& f) { f.silent_lan = 2; }, {true, false}, true, true},
      {"connection records fail",
       [](devsim::Faults& f) { f.silent_codes = {kRecordRead}; },
       {false, false},
       true,
       false},
      {"duplicate and stale replies",
       [](devsim::Faults& f) {
         f.duplicate = 2;
         f.foreign = {devsim::Foreign::kWrongId};
       },
       {true, true},
       true,
       true},
  };
  return list;
}

devsim::Fleet fleet() {
  devsim::Fleet f;
  for (std::size_t n = 0; n < behaviours().size(); ++n) {
    devsim::Device d = tavrix_test::loopback_device(int(n), kPorts, 15, true);
    d.ports[2].mode = 0;
    for (int p : {0, 1, 3}) {
      auto& c = d.ports[std::size_t(p)].conns;
      c[0].lan[0] = {4, htonl(0xC0000200u + uint32_t(10 * n + p))};
      c[0].lan[1] = {1, 0};
      c[1].lan[0] = {1, 0};
      c[1].lan[1] = {4, htonl(0xC6336400u + uint32_t(10 * n + p))};
    }
    behaviours()[n].fault(d.faults);
    d.faults.scope = devsim::FaultScope::kCommands;  // every program must find it first
    f.devices.push_back(d);
  }
  return f;
}

std::string ip_string(uint32_t ip) {
  in_addr a{};
  a.s_addr = ip;
  return inet_ntoa(a);
}

// The pollers' view: one record, its two pollers, the records as they stand when both
// have ended their first cycle (a poller that leaves its loop clears the online bits).
class FirstCycleHost : public tavrix::PollerHost {
 public:
  explicit FirstCycleHost(int lans) : lans_(lans) {}
  int refresh_seconds() const override { return 1; }
  bool stop_all() const override { return false; }
  bool pause(const std::atomic<int>&, int) override {
    std::unique_lock<std::mutex> lk(mu_);
    if (++paused_ == lans_) {
      taken_ = true;
      if (on_cycles_done) on_cycles_done();
      cv_.notify_all();
    }
    cv_.wait_for(lk, 60s, [&] { return taken_; });
    return true;
  }
  void wake_pollers() override { cv_.notify_all(); }
  bool wait_done(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, timeout, [&] { return taken_; });
  }
  void poller_leave() override {}
  std::function<void()> on_cycles_done;

 private:
  const int lans_;
  std::mutex mu_;
  std::condition_variable cv_;
  int paused_ = 0;
  bool taken_ = false;
};

View pollers_view(const devsim::Device& d) {
  const std::shared_ptr<tavrix::ServerRecord> rec = tavrix::make_server_record(tavrix_test::reply_of(d));
  rec->monitoring = 1;
  View v;
  const tavrix::TextSet set = tavrix::text_set_for(rec->model_id);
  FirstCycleHost host(rec->dual_lan ? 2 : 1);
  host.on_cycles_done = [&] {
    const int online = rec->online.load();
    v.up = {(online & 1) != 0, (online & 2) != 0};
    for (const tavrix::PortTexts& p : tavrix::port_table(*rec)) {
      v.modes.push_back(p.mode_code);
      if (!p.supported) continue;
      add_cells(v, set, p.port, 1, {p.lan1.begin(), p.lan1.end()});
      add_cells(v, set, p.port, 2, {p.lan2.begin(), p.lan2.end()});
    }
  };
  {
    tavrix::Poller lan1(host, rec, 0, 0), lan2(host, rec, 0, 1);
    lan1.start();
    if (rec->dual_lan) lan2.start();
    EXPECT_TRUE(host.wait_done(60s)) << "the pollers never ended a cycle";
  }
  return v;
}

View cli_view(const std::string& address, const tavrix_test::LoopbackSim& sim) {
  const std::string cmd = tavrix_test::bin_dir() + "/tavrix-cli probe " + address +
                          " --format json --device-ports " + std::to_string(sim.port_4800()) + "," +
                          std::to_string(sim.port_1029()) + " --local-address 127.0.0.1";
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    while (std::size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    pclose(p);
  }
  const auto j = nlohmann::json::parse(out, nullptr, false);
  View v;
  if (j.is_discarded()) return v;
  const tavrix::TextSet set = tavrix::text_set_for(static_cast<uint16_t>(j.value("model_id", 0)));
  v.up = {j["lan1"]["answered"].get<bool>(),
          j["lan2"].is_object() && j["lan2"]["answered"].get<bool>()};
  for (const auto& p : j["ports"]) {
    v.modes.push_back(p["mode_code"].get<int>());
    if (!p["supported"].get<bool>()) continue;
    add_cells(v, set, p["port"].get<int>(), 1, p["lan1"].get<std::vector<std::string>>());
    add_cells(v, set, p["port"].get<int>(), 2, p["lan2"].get<std::vector<std::string>>());
  }
  return v;
}

View exporter_view(const std::string& body) {
  View v;
  v.modes.assign(kPorts, -1);  // a probe that read no modes reports none
  const std::regex sample(R"re(^(\w+)\{([^}]*)\} (-?[0-9.]+)$)re");
  const std::regex label(R"re((\w+)="([^"]*)")re");
  std::istringstream in(body);
  std::string line;
  std::map<std::string, std::string> states;
  while (std::getline(in, line)) {
    std::smatch m;
    if (!std::regex_match(line, m, sample)) continue;
    std::map<std::string, std::string> l;
    const std::string labels = m[2];
    for (auto it = std::sregex_iterator(labels.begin(), labels.end(), label);
         it != std::sregex_iterator(); ++it)
      l[(*it)[1]] = (*it)[2];
    const double value = std::stod(m[3]);
    if (m[1] == "tavrix_up") v.up[std::size_t(std::stoi(l["lan"]) - 1)] = value == 1;
    if (m[1] == "tavrix_port_mode_code")
      v.modes[std::size_t(std::stoi(l["port"]) - 1)] = int(value);
    // The display text, as the other programs show it, is the info series' text label.
    if (m[1] == "tavrix_connection_state_info" && value == 1)
      states[key(std::stoi(l["port"]), std::stoi(l["lan"]), std::stoi(l["connection"]))] =
          l["text"];
  }
  // Redundant COM ports without states were not read.
  const tavrix::TextSet set = tavrix::text_set_for(0x2613);
  for (int p = 1; p <= kPorts; ++p) {
    if (v.modes[std::size_t(p - 1)] != set.supported_mode) continue;
    for (int lan = 1; lan <= 2; ++lan)
      for (int n = 1; n <= 4; ++n) {
        const auto it = states.find(key(p, lan, n));
        v.states[key(p, lan, n)] = it == states.end() ? "-" : it->second;
      }
  }
  return v;
}

class Agreement : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(qeld::library_start(), 1);
    qeld::TModelEntry e;  // TVX-2613R as the built model map has it
    e.model_key = 1;
    e.model_id = 0x2613;
    e.attributes[2] = qeld::kAttrModeSetA;
    e.port_count = kPorts;
    std::strncpy(e.name, "TVX-2613R", sizeof e.name - 1);
    qeld::set_model_map({e});
    sim_ = std::make_unique<tavrix_test::LoopbackSim>(fleet());
    lib_ = std::make_unique<tavrix_test::LoopbackLibrary>(*sim_);
  }
  void TearDown() override {
    lib_.reset();
    sim_.reset();
    qeld::library_stop();
    qeld::clear_model_map();
  }
  std::unique_ptr<tavrix_test::LoopbackSim> sim_;
  std::unique_ptr<tavrix_test::LoopbackLibrary> lib_;
};

TEST_F(Agreement, PollersCliAndExporterSeeEachBehaviourAlike) {
  const std::string dir = ::testing::TempDir() + "tavrix_agreement_" + std::to_string(getpid());
  Process exporter(
      {tavrix_test::bin_dir() + "/tavrix-exporter", "--web.listen-address", "127.0.0.1:0",
       "--device-ports",
       std::to_string(sim_->port_4800()) + "," + std::to_string(sim_->port_1029()),
       "--local-address", "127.0.0.1", "--allow", "127.0.0.0/23", "--probe.max-timeout", "30"},
      dir + ".log");
  const auto port = exporter.wait_log("msg=listening address=127\\.0\\.0\\.1:(\\d+)", 20000ms);
  ASSERT_TRUE(port) << exporter.log();

  // Every behaviour and program at once: each is bounded by its own time-outs.
  const std::size_t n = behaviours().size();
  std::vector<std::future<View>> pollers, cli;
  std::vector<std::future<std::string>> exp;
  for (std::size_t i = 0; i < n; ++i) {
    const devsim::Device d = sim_->sim().device(i);
    const std::string address = ip_string(d.ip1);
    pollers.push_back(std::async(std::launch::async, [d] { return pollers_view(d); }));
    cli.push_back(
        std::async(std::launch::async, [this, address] { return cli_view(address, *sim_); }));
    // Only the bodies are fetched at once: the views are read on this thread (regex
    // compilation in several threads trips over libstdc++'s shared ctype cache).
    // A silent LAN2 costs each Redundant COM port its full wait (about 20 s here): the
    // client waits out the probe's whole 30 s deadline, not less.
    exp.push_back(std::async(std::launch::async, [&port, address] {
      return exporter_test::http_get(std::stoi(*port), "/probe?target=" + address,
                                     "X-Prometheus-Scrape-Timeout-Seconds: 30\r\n", 45s)
          .body;
    }));
  }
  for (std::size_t i = 0; i < n; ++i) {
    SCOPED_TRACE(behaviours()[i].what);
    const Behaviour& b = behaviours()[i];
    const View p = pollers[i].get(), c = cli[i].get(), e = exporter_view(exp[i].get());
    EXPECT_EQ(p.up, b.up);
    const std::vector<int> read_modes = {15, 15, 0, 15}, unknown(kPorts, -1);
    EXPECT_EQ(p.modes, b.modes_read ? read_modes : unknown);
    EXPECT_EQ(p.states.empty() ? "-" : p.states.at(key(1, 1, 1)), b.records_read ? "TCP connected"
                                                                  : b.modes_read ? "-"
                                                                                 : "-");
    EXPECT_EQ(p.text(), c.text()) << "pollers vs tavrix-cli";
    EXPECT_EQ(p.text(), e.text()) << "pollers vs tavrix-exporter";
  }
}

}  // namespace
