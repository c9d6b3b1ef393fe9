// query_latency: round-trip time of the two query calls through a device handle
// against the in-process simulator on loopback, each beside its floor: a bare UDP
// request/response of the same sizes between two sockets, measured in the same run.
// The queries go through a kept channel as the pollers make them; the same calls with a
// socket set of their own per call are measured beside them.
#include <arpa/inet.h>
#include <ifaddrs.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "bench_util.h"
#include "fleet.h"
#include "qeld/commands.h"
#include "qeld/library.h"
#include "qeld/query.h"
#include "simulator.h"

namespace {

constexpr uint32_t kDeviceIp = 0x7F000002u;  // 127.0.0.2, host order

devsim::Device sixteen_port_device() {
  devsim::Device d;
  d.name = "bench";
  d.model_key = 1;
  d.model_id = 0x2616;
  d.text_set = 'B';
  d.mac1 = {0x02, 0x54, 0x58, 0x00, 0x00, 0x02};
  d.ip1 = htonl(kDeviceIp);
  d.ports.resize(16);
  for (auto& p : d.ports) p.mode = d.redundant_mode();
  return d;
}

qeld::DeviceIdentity record_of(const devsim::Device& d) {
  qeld::DeviceIdentity r;
  r.model_key = d.model_key;
  r.model_id = d.model_id;
  r.ip1 = d.ip1;
  r.ip2 = d.ip1;  // commands go to ip2
  std::memcpy(r.mac1, d.mac1.data(), 6);
  r.unit_id = d.unit_id;
  return r;
}

struct Series {
  std::vector<double> rtt_us;
  double cpu_s = 0;
  int failures = 0;
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"query_latency: query calls vs the bare UDP floor on loopback"};
  int count = 2000, runs = 5;
  std::string json_path;
  app.add_option("--count", count, "queries of each kind per run")->capture_default_str();
  app.add_option("--runs", runs, "runs")->capture_default_str();
  app.add_option("--json", json_path, "merge the figures into this JSON file");
  CLI11_PARSE(app, argc, argv);
  count = std::clamp(count, 100, 1'000'000);
  runs = std::clamp(runs, 1, 100);

  devsim::Fleet fleet;
  fleet.devices.push_back(sixteen_port_device());
  devsim::SimConfig cfg;
  cfg.bind = "0.0.0.0";
  cfg.loopback_only = true;
  devsim::Simulator sim(fleet, cfg);
  std::string err;
  if (!sim.start(err)) {
    std::fprintf(stderr, "query_latency: simulator: %s\n", err.c_str());
    return 1;
  }
  qeld::set_device_ports(sim.port_4800(), sim.port_1029());
  // The host's real address list (getifaddrs) and the kernel's address notifications, as
  // the program has them; the requests still go to 127.0.0.2 only.
  if (qeld::library_start() != 1) {
    std::fprintf(stderr, "query_latency: library_start failed\n");
    return 1;
  }
  const qeld::DeviceIdentity rec = record_of(fleet.devices[0]);
  int handle = -1;
  if (qeld::open_handle(&rec, &handle) != 1) {
    std::fprintf(stderr, "query_latency: open_handle failed\n");
    return 1;
  }

  bench::PlainResponder responder;
  if (!responder.ok()) {
    std::fprintf(stderr, "query_latency: responder socket failed\n");
    return 1;
  }
  const int client = bench::bound_udp_socket(htonl(INADDR_LOOPBACK));
  sockaddr_in plain_to{};
  plain_to.sin_family = AF_INET;
  plain_to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  plain_to.sin_port = htons(responder.port());
  sockaddr_in sim_to{};
  sim_to.sin_family = AF_INET;
  sim_to.sin_addr.s_addr = htonl(kDeviceIp);
  sim_to.sin_port = htons(sim.port_4800());

  uint8_t req_modes[qeld::kCommandRequestSize], req_conn[qeld::kCommandRequestSize];
  qeld::build_command_request(req_modes, qeld::kCmdPortModes, rec, 0);
  qeld::build_command_request(req_conn, qeld::kCmdConnections, rec, 1);

  // Kinds, in the order they are interleaved within a run.
  // The parts a query adds to the floor, measured on their own: a fresh two-socket set per
  // exchange (as every query opens one), and one host-address listing (getifaddrs).
  const std::vector<std::string> kinds = {"floor_40",
                                          "floor_104",
                                          "sim_raw_40",
                                          "sim_raw_104",
                                          "floor_40_fresh_set",
                                          "getifaddrs",
                                          "query_port_modes",
                                          "query_port_connections",
                                          "query_port_modes_own_set",
                                          "query_port_connections_own_set"};
  qeld::QueryChannel channel;
  auto one = [&](const std::string& kind) -> bool {
    uint8_t buf[2048];
    int32_t modes[16];
    uint8_t conn[80];
    if (kind == "floor_40")
      return bench::raw_exchange(client, plain_to, req_modes, 21, buf, sizeof buf) == 40;
    if (kind == "floor_104")
      return bench::raw_exchange(client, plain_to, req_conn, 21, buf, sizeof buf) == 104;
    if (kind == "sim_raw_40")
      return bench::raw_exchange(client, sim_to, req_modes, 21, buf, sizeof buf) == 40;
    if (kind == "sim_raw_104")
      return bench::raw_exchange(client, sim_to, req_conn, 21, buf, sizeof buf) == 104;
    if (kind == "floor_40_fresh_set") {
      int fds[2];
      for (int& fd : fds) {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any);
      }
      const bool ok = bench::raw_exchange(fds[0], plain_to, req_modes, 21, buf, sizeof buf) == 40;
      for (int fd : fds) ::close(fd);
      return ok;
    }
    if (kind == "getifaddrs") {
      ifaddrs* list = nullptr;
      const bool ok = ::getifaddrs(&list) == 0;
      if (list) ::freeifaddrs(list);
      return ok;
    }
    if (kind == "query_port_modes") return qeld::query_port_modes(channel, handle, 0, modes) == 1;
    if (kind == "query_port_connections")
      return qeld::query_port_connections(channel, handle, 1, conn) == 1;
    if (kind == "query_port_modes_own_set") return qeld::query_port_modes(handle, 0, modes) == 1;
    return qeld::query_port_connections(handle, 1, conn) == 1;
  };
  // Warm-up: caches, the simulator's first allocations, the ARP-free loopback path.
  for (const auto& k : kinds)
    for (int i = 0; i < 50; ++i) one(k);

  std::map<std::string, std::vector<double>> med, p99, mx, cpu;
  std::map<std::string, std::vector<double>> ratio_med, ratio_sim;
  int total_failures = 0;
  for (int r = 0; r < runs; ++r) {
    std::map<std::string, Series> s;
    for (const auto& k : kinds) s[k].rtt_us.reserve(std::size_t(count));
    // Round robin in short blocks, so that every kind meets the same noise of this shared
    // machine; CPU is read per block because a per-call thread-clock read costs as much
    // as what it measures here.
    constexpr int kBlock = 20;
    for (int done = 0; done < count; done += kBlock) {
      for (const auto& k : kinds) {
        Series& se = s[k];
        const double c0 = bench::thread_cpu_s();
        for (int i = 0; i < kBlock && done + i < count; ++i) {
          auto t0 = bench::Clock::now();
          const bool ok = one(k);
          se.rtt_us.push_back(bench::us_since(t0));
          if (!ok) ++se.failures;
        }
        se.cpu_s += bench::thread_cpu_s() - c0;
      }
    }
    for (const auto& k : kinds) {
      const bench::Summary sum = bench::summarize(s[k].rtt_us);
      med[k].push_back(sum.median);
      p99[k].push_back(sum.p99);
      mx[k].push_back(sum.max);
      cpu[k].push_back(s[k].cpu_s * 1e6 / double(s[k].rtt_us.size()));
      total_failures += s[k].failures;
    }
    // The floor of a run is the faster of its two bare exchanges (plain responder, simulator):
    // on this VM a sleeping responder thread sometimes costs an extra cross-CPU wake-up
    // for a whole run, and that is not the floor.
    const double floor40 = std::min(med["floor_40"].back(), med["sim_raw_40"].back());
    const double floor104 = std::min(med["floor_104"].back(), med["sim_raw_104"].back());
    ratio_med["query_port_modes"].push_back(med["query_port_modes"].back() / floor40);
    ratio_med["query_port_connections"].push_back(med["query_port_connections"].back() / floor104);
    ratio_med["query_port_modes_own_set"].push_back(med["query_port_modes_own_set"].back() /
                                                    floor40);
    ratio_med["query_port_connections_own_set"].push_back(
        med["query_port_connections_own_set"].back() / floor104);
    // Against the same device answering a bare request: what the library adds on its own.
    ratio_sim["query_port_modes"].push_back(med["query_port_modes"].back() /
                                            med["sim_raw_40"].back());
    ratio_sim["query_port_connections"].push_back(med["query_port_connections"].back() /
                                                  med["sim_raw_104"].back());
    ratio_med["floor_40_fresh_set"].push_back(med["floor_40_fresh_set"].back() / floor40);
    ratio_med["sim_raw_40"].push_back(med["sim_raw_40"].back() / med["floor_40"].back());
    ratio_med["sim_raw_104"].push_back(med["sim_raw_104"].back() / med["floor_104"].back());
  }

  std::printf("query_latency: %d runs x %d of each kind (median over runs of each run's figure)\n",
              runs, count);
  std::printf("%-24s %10s %10s %10s %12s %14s\n", "kind", "median us", "p99 us", "max us",
              "cpu us/op", "median/floor");
  nlohmann::json out;
  out["runs"] = runs;
  out["count"] = count;
  out["failures"] = total_failures;
  for (const auto& k : kinds) {
    const double m = bench::median_of(med[k]), p = bench::median_of(p99[k]);
    const double x = *std::max_element(mx[k].begin(), mx[k].end());
    const double c = bench::median_of(cpu[k]);
    const bool has_ratio = ratio_med.count(k) != 0;
    const double ratio = has_ratio ? bench::median_of(ratio_med[k]) : 1.0;
    std::printf("%-24s %10.1f %10.1f %10.1f %12.1f %14.2f\n", k.c_str(), m, p, x, c, ratio);
    out[k] = {{"median_us", m},
              {"p99_us", p},
              {"max_us", x},
              {"cpu_us_per_op", c},
              {"median_ratio", ratio},
              {"median_ratio_runs", has_ratio ? nlohmann::json(ratio_med[k]) : nlohmann::json()},
              {"median_us_runs", med[k]}};
  }
  std::vector<double> p99r_modes, p99r_conn;
  for (int r = 0; r < runs; ++r) {
    p99r_modes.push_back(p99["query_port_modes"][std::size_t(r)] / p99["floor_40"][std::size_t(r)]);
    p99r_conn.push_back(p99["query_port_connections"][std::size_t(r)] /
                        p99["floor_104"][std::size_t(r)]);
  }
  out["query_port_modes"]["p99_ratio"] = bench::median_of(p99r_modes);
  out["query_port_connections"]["p99_ratio"] = bench::median_of(p99r_conn);
  // CPU against the floor's, per run: the faster bare exchange's CPU, as for the medians.
  for (const auto& [k, f, sf] :
       {std::tuple{"query_port_modes", "floor_40", "sim_raw_40"},
        std::tuple{"query_port_connections", "floor_104", "sim_raw_104"}}) {
    std::vector<double> r;
    for (int i = 0; i < runs; ++i)
      r.push_back(cpu[k][std::size_t(i)] /
                  std::min(cpu[f][std::size_t(i)], cpu[sf][std::size_t(i)]));
    out[k]["cpu_ratio"] = bench::median_of(r);
    std::printf("%s: CPU vs the bare exchange's %.2f x\n", k, bench::median_of(r));
  }
  out["channel_openings"] = channel.openings();
  for (const char* k : {"query_port_modes", "query_port_connections"}) {
    out[k]["median_ratio_vs_sim_raw"] = bench::median_of(ratio_sim[k]);
    std::printf("%s: median vs the bare request to the simulator %.2f x\n", k,
                bench::median_of(ratio_sim[k]));
  }
  std::printf(
      "failures: %d   target: query median <= 1.5 x floor (per run: the faster bare exchange)\n",
      total_failures);
  bench::write_figures(json_path, "query_latency", out);

  qeld::close_handle(handle);
  channel.close();
  ::close(client);
  sim.stop();
  qeld::library_stop();
  return total_failures == 0 ? 0 : 1;
}
