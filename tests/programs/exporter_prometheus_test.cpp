// tavrix-exporter with Debian's real Prometheus, in the lab: the fleet's server-list file
// is given to the exporter, Prometheus discovers it through the exporter's /sd using
// the example configuration of deploy/ (intervals shortened), and
// everything is checked through Prometheus's HTTP API: every LAN up, port modes and
// connection states as the simulator serves them, a silenced device down within two
// scrapes while the others stay up, and the device-down alert of deploy/'s rules.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "core/address_text.h"
#include "core/server_list_file.h"
#include "core/string_table.h"
#include "metrics.h"
#include "programs/exporter_test_util.h"
#include "support/lab.h"

namespace {

using namespace exporter_test;
using json = nlohmann::json;

constexpr int kPrometheusPort = 19090;  // inside the lab's own monitor namespace
constexpr int kScrapeSeconds = 2;

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

class PrometheusInLab {
 public:
  explicit PrometheusInLab(const tavrix_test::Lab& lab) : lab_(lab) {}

  // An instant query; the result vector as (labels, value) rows, or nullopt when the API
  // could not be asked.
  std::optional<json> query(const std::string& expr) const {
    const auto text = lab_.run_in_monitor(
        [expr]() -> std::string {
          httplib::Client c("127.0.0.1", kPrometheusPort);
          c.set_read_timeout(10, 0);
          const auto r =
              c.Get("/api/v1/query", httplib::Params{{"query", expr}}, httplib::Headers{});
          return r && r->status == 200 ? r->body : std::string();
        },
        30);
    if (!text || text->empty()) return std::nullopt;
    const json j = json::parse(*text, nullptr, false);
    if (j.is_discarded() || j["status"] != "success") return std::nullopt;
    return j["data"]["result"];
  }
  // Polls until `pred` holds for the query's result; false after `timeout`.
  bool wait_for(const std::string& expr, const std::function<bool(const json&)>& pred,
                std::chrono::seconds timeout, json* last = nullptr) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto r = query(expr);
      if (r && last) *last = *r;
      if (r && pred(*r)) return true;
      std::this_thread::sleep_for(500ms);
    }
    return false;
  }

 private:
  const tavrix_test::Lab& lab_;
};

int run_command_in_device_ns(const tavrix_test::Lab& lab, const std::string& cmd) {
  return tavrix_test::run_command("ip netns exec " + lab.device_namespace() + " sh -c '" + cmd +
                                  "'");
}

double value_of(const json& row) {
  return std::stod(row["value"][1].get<std::string>());
}

TEST(ExporterPrometheus, ScrapesTheLabFleetAndAlertsWhenADeviceGoesSilent) {
  TAVRIX_SKIP_UNLESS_LAB();
  const std::string prometheus = "/usr/bin/prometheus";
  ASSERT_EQ(access(prometheus.c_str(), X_OK), 0) << "Debian's prometheus is needed (scripts/deps)";
  tavrix_test::Lab lab;
  const std::string ns = lab.monitor_namespace();
  const std::string bin = tavrix_test::bin_dir();
  const std::string dir = ::testing::TempDir() + "tavrix_prom_" + std::to_string(getpid()) + "/";
  std::filesystem::create_directories(dir);

  // The fleet as a server-list file, written from the fleet file itself (a broadcast
  // search on a loaded machine may miss a device, and the search has tests of its own).
  const json fleet = json::parse(read_file(tavrix_test::source_dir() + "/data/fleets/sample.json"));
  {
    std::vector<tavrix::ServerListEntry> entries;
    for (const auto& d : fleet["devices"]) {
      tavrix::ServerListEntry e;
      e.identity.model_key =
          static_cast<uint32_t>(std::stoul(d["model_key"].get<std::string>(), nullptr, 0));
      e.identity.model_id =
          static_cast<uint16_t>(std::stoul(d["model_id"].get<std::string>(), nullptr, 0));
      e.identity.unit_id = static_cast<uint16_t>(d.value("unit_id", 0));
      const auto ip1 = tavrix::parse_ipv4(d["ip1"].get<std::string>());
      const auto ip2 = tavrix::parse_ipv4(d.value("ip2", d["ip1"].get<std::string>()));
      ASSERT_TRUE(ip1 && ip2);
      e.identity.ip1 = *ip1;
      e.identity.ip2 = *ip2;
      ASSERT_TRUE(tavrix::parse_mac_text(d["mac1"].get<std::string>(), e.identity.mac1));
      if (d.contains("mac2")) {
        ASSERT_TRUE(tavrix::parse_mac_text(d["mac2"].get<std::string>(), e.identity.mac2));
      }
      e.name = d["name"];
      entries.push_back(e);
    }
    ASSERT_TRUE(tavrix::write_server_list_file(dir + "servers.json", entries).ok());
  }

  // The exporter on its default address inside the monitor namespace.
  Process exporter({"ip", "netns", "exec", ns, bin + "/tavrix-exporter", "--servers",
                    dir + "servers.json", "--probe.min-interval", "0.5"},
                   dir + "exporter.log");
  ASSERT_TRUE(exporter.wait_log("msg=listening address=127\\.0\\.0\\.1:9736", 20000ms))
      << exporter.log();

  // deploy/'s configuration and rules, with intervals and hold times made short.
  const std::string deploy = tavrix_test::source_dir() + "/deploy/";
  std::string rules = read_file(deploy + "tavrix-alerts.yml");
  rules = std::regex_replace(rules, std::regex("for: [0-9]+m"), "for: 3s");
  std::ofstream(dir + "tavrix-alerts.yml") << rules;
  std::string config = read_file(deploy + "prometheus.yml");
  config = replace_all(config, "scrape_interval: 15s",
                       "scrape_interval: " + std::to_string(kScrapeSeconds) + "s");
  config = replace_all(config, "scrape_timeout: 10s", "scrape_timeout: 2s");
  config = replace_all(config, "evaluation_interval: 15s", "evaluation_interval: 1s");
  config = replace_all(config, "refresh_interval: 1m", "refresh_interval: 2s");
  config = replace_all(config, "  - tavrix-alerts.yml", "  - " + dir + "tavrix-alerts.yml");
  ASSERT_NE(config.find("scrape_interval: 2s"), std::string::npos);
  std::ofstream(dir + "prometheus.yml") << config;
  Process prom({"ip", "netns", "exec", ns, prometheus, "--config.file=" + dir + "prometheus.yml",
                "--storage.tsdb.path=" + dir + "data",
                "--web.listen-address=127.0.0.1:" + std::to_string(kPrometheusPort)},
               dir + "prometheus.log");
  PrometheusInLab api(lab);

  // Every LAN of every server up: 6 servers, 3 of them with two LANs.
  std::size_t lans = 0;
  for (const auto& d : fleet["devices"]) lans += d.contains("ip2") ? 2 : 1;
  json last;
  ASSERT_TRUE(api.wait_for(
      "tavrix_up",
      [&](const json& r) {
        if (r.size() != lans) return false;
        for (const auto& row : r)
          if (value_of(row) != 1) return false;
        return true;
      },
      90s, &last))
      << "tavrix_up: " << last.dump() << "\nexporter:\n"
      << exporter.log() << "\nprometheus:\n"
      << prom.log();

  // Port modes and connection states as the simulator's fleet has them.
  const auto modes = api.query("tavrix_port_mode_code");
  const auto states = api.query("tavrix_connection_state == 1");
  ASSERT_TRUE(modes && states);
  std::map<std::string, int> mode_of;
  for (const auto& row : *modes)
    mode_of[row["metric"]["instance"].get<std::string>() + "/" +
            row["metric"]["port"].get<std::string>()] = static_cast<int>(value_of(row));
  std::map<std::string, std::string> state_of;
  for (const auto& row : *states) {
    const auto& m = row["metric"];
    state_of[m["instance"].get<std::string>() + "/" + m["port"].get<std::string>() + "/" +
             m["lan"].get<std::string>() + "/" + m["connection"].get<std::string>()] =
        m["state"].get<std::string>();
  }
  std::size_t ports = 0, connections = 0;
  for (const auto& d : fleet["devices"]) {
    const std::string ip = d["ip1"];
    const bool set_a = d["text_set"] == "A";
    const int redundant = set_a ? 15 : 22;
    const bool dual = d.contains("ip2");
    for (std::size_t p = 0; p < d["ports"].size(); ++p) {
      const auto& port = d["ports"][p];
      const std::string key = ip + "/" + std::to_string(p + 1);
      ++ports;
      EXPECT_EQ(mode_of[key], port["mode"].get<int>()) << key;
      if (port["mode"] != redundant) continue;
      for (int c = 0; c < 4; ++c) {
        for (int lan = 1; lan <= (dual ? 2 : 1); ++lan) {
          int state = 0;  // a connection the fleet does not list is closed
          if (port.contains("connections") && c < static_cast<int>(port["connections"].size())) {
            const auto& conn = port["connections"][static_cast<std::size_t>(c)];
            const std::string field = "state" + std::to_string(lan);
            if (conn.contains(field)) state = conn[field];
          }
          const std::string ckey = key + "/" + std::to_string(lan) + "/" + std::to_string(c + 1);
          EXPECT_EQ(state_of[ckey],
                    tavrix::exporter::snake_case(tavrix::load_str(
                        (set_a ? tavrix::kStateBaseA : tavrix::kStateBaseB) + state)))
              << ckey;
          ++connections;
        }
      }
    }
  }
  ASSERT_GT(connections, 10u) << "the fleet file no longer has connections to compare";
  EXPECT_EQ(mode_of.size(), ports);
  EXPECT_EQ(state_of.size(), connections);

  // Silence the two-LAN server 192.0.2.30 / 198.51.100.30: its addresses leave the lab.
  const auto silenced_at = std::chrono::system_clock::now();
  ASSERT_EQ(run_command_in_device_ns(lab,
                                     "ip addr del 192.0.2.30/24 dev lan1 && "
                                     "ip addr del 198.51.100.30/24 dev lan2"),
            0);
  const double t0 = std::chrono::duration<double>(silenced_at.time_since_epoch()).count();
  // Within two scrapes: of its samples taken after the silence, the second is 0 on both LANs.
  const std::string window = std::to_string(6 * kScrapeSeconds) + "s";
  ASSERT_TRUE(api.wait_for(
      "tavrix_up{instance=\"192.0.2.30\"}[" + window + "]",
      [&](const json& r) {
        if (r.size() != 2) return false;
        for (const auto& series : r) {
          std::vector<double> after;
          for (const auto& v : series["values"])
            if (v[0].get<double>() > t0) after.push_back(std::stod(v[1].get<std::string>()));
          if (after.size() < 2) return false;
          if (after[1] != 0) return false;
        }
        return true;
      },
      60s, &last))
      << last.dump();
  const auto others = api.query("tavrix_up{instance!=\"192.0.2.30\"}");
  ASSERT_TRUE(others);
  EXPECT_EQ(others->size(), lans - 2);
  for (const auto& row : *others) EXPECT_EQ(value_of(row), 1) << row.dump();

  // The device-down alert, and only for that device.
  ASSERT_TRUE(api.wait_for(
      "ALERTS{alertname=\"TavrixDeviceDown\",alertstate=\"firing\"}",
      [](const json& r) { return r.size() == 1 && r[0]["metric"]["instance"] == "192.0.2.30"; },
      60s, &last))
      << last.dump();
  const auto lan_down = api.query("ALERTS{alertname=\"TavrixLanDown\"}");
  ASSERT_TRUE(lan_down);
  EXPECT_EQ(lan_down->size(), 0u) << "both LANs down is not a lost LAN: " << lan_down->dump();

  prom.signal(SIGTERM);
  exporter.signal(SIGTERM);
  EXPECT_EQ(exporter.wait(5000ms), 0) << exporter.log();
  EXPECT_EQ(prom.wait(20000ms), 0);
  std::filesystem::remove_all(dir);
}

TEST(ExporterLab, ScheduledBroadcastSearchFillsServiceDiscoveryButNotTheAllowList) {
  TAVRIX_SKIP_UNLESS_LAB();
  tavrix_test::Lab lab;
  const std::string dir = ::testing::TempDir() + "tavrix_sd_" + std::to_string(getpid()) + "/";
  std::filesystem::create_directories(dir);
  Process exporter(
      {"ip", "netns", "exec", lab.monitor_namespace(), tavrix_test::bin_dir() + "/tavrix-exporter",
       "--sd.search-interval", "600", "--sd.search-timeout", "2"},
      dir + "exporter.log");
  // A search on a loaded machine may miss a reply; one of the searches every 3 s finds all.
  ASSERT_TRUE(exporter.wait_log("msg=\"broadcast search done\" servers=6", 60000ms))
      << exporter.log();
  // /sd shows the latest search; asked until it holds all six (bounded).
  std::string status;
  json groups = json::array();
  for (int attempt = 0; attempt < 20 && groups.size() != 6; ++attempt) {
    const auto got = lab.run_in_monitor([]() -> std::string {
      httplib::Client c("127.0.0.1", 9736);
      const auto sd = c.Get("/sd");
      const auto probe = c.Get("/probe?target=192.0.2.30");
      if (!sd || !probe) return "";
      return std::to_string(probe->status) + "\n" + sd->body;
    });
    ASSERT_TRUE(got && !got->empty());
    const std::size_t nl = got->find('\n');
    status = got->substr(0, nl);
    groups = json::parse(got->substr(nl + 1));
    if (groups.size() != 6) std::this_thread::sleep_for(1s);
  }
  // Found by a search, but a device's reply does not decide where the exporter may send.
  EXPECT_EQ(status, "403");
  ASSERT_EQ(groups.size(), 6u) << groups.dump();
  std::set<std::string> targets;
  for (const auto& g : groups) {
    targets.insert(g["targets"][0].get<std::string>());
    EXPECT_EQ(g["labels"]["__meta_tavrix_source"], "search");
  }
  const std::set<std::string> want = {"192.0.2.10", "198.51.100.20", "192.0.2.30",
                                      "192.0.2.40", "192.0.2.50",    "192.0.2.60"};
  EXPECT_EQ(targets, want);
  exporter.signal(SIGTERM);
  EXPECT_EQ(exporter.wait(5000ms), 0) << exporter.log();
  std::filesystem::remove_all(dir);
}

}  // namespace
