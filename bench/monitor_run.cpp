// The monitor at fleet scale, in the lab: every server found by one broadcast search
// is monitored at refresh 1 s through tavrix::ServerList's pollers, exactly as the program does.
// Built twice: bench_scale (devices answer) and bench_idle (devices silent to commands).
// Cycle figures come from link-time wrappers of the two query calls (see below), so the
// poller itself carries no statistics code.
#include <arpa/inet.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "core/server_list.h"
#include "qeld/commands.h"
#include "qeld/library.h"
#include "qeld/query.h"
#include "qeld/search_engine.h"

#ifndef BENCH_IDLE
#define BENCH_IDLE 0
#endif

// --- the statistics hook: -Wl,--wrap on the two query calls ---------------------------
namespace {

constexpr int kMaxSlots = 2048;
constexpr double kLateMs = 1500.0;

// One poller thread's figures; written only by that thread, read after it has ended.
struct PollerStats {
  int64_t cycle_start_ns = -1;  // start of the cycle in progress (its mode read)
  int64_t last_end_ns = 0;
  std::vector<std::pair<int64_t, double>> periods;  // (start of the later cycle, start-to-start ms)
  std::vector<std::pair<int64_t, double>> cycles;   // (start, queries-only ms)
  long late = 0;                                    // queries over the in-time limit
  long failed = 0;                                  // queries that did not return 1
  bool no_handle = false;  // its handle did not open: every query fails at once, no traffic
};

PollerStats g_slots[kMaxSlots];
std::atomic<int> g_next_slot{0};
std::atomic<long> g_queries{0};
std::atomic<long> g_failures{0};
std::atomic<bool> g_record{false};

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             bench::Clock::now().time_since_epoch())
      .count();
}

PollerStats* my_slot() {
  thread_local PollerStats* slot = [] {
    const int i = g_next_slot.fetch_add(1);
    if (i >= kMaxSlots) return static_cast<PollerStats*>(nullptr);
    g_slots[i].periods.reserve(256);
    g_slots[i].cycles.reserve(256);
    return &g_slots[i];
  }();
  return slot;
}

void account(PollerStats* s, int handle, int64_t t0, int64_t t1, int rc) {
  g_queries.fetch_add(1, std::memory_order_relaxed);
  if (rc != 1) g_failures.fetch_add(1, std::memory_order_relaxed);
  if (s == nullptr) return;
  s->no_handle = handle < 0;
  if (rc != 1 && g_record.load(std::memory_order_relaxed)) ++s->failed;
  s->last_end_ns = t1;
  if (double(t1 - t0) / 1e6 > kLateMs) ++s->late;
}

}  // namespace

// The pollers query through their kept channel: these are the channel overloads.
extern "C" {
int __real__ZN4qeld16query_port_modesERNS_12QueryChannelEiiPi(qeld::QueryChannel& ch, int handle,
                                                              int port, int32_t* modes);
int __real__ZN4qeld22query_port_connectionsERNS_12QueryChannelEiiPh(qeld::QueryChannel& ch,
                                                                    int handle, int port,
                                                                    uint8_t* records);

// A mode read opens a cycle: the previous one ended with its last query.
int __wrap__ZN4qeld16query_port_modesERNS_12QueryChannelEiiPi(qeld::QueryChannel& ch, int handle,
                                                              int port, int32_t* modes) {
  PollerStats* s = my_slot();
  const int64_t t0 = now_ns();
  if (s != nullptr) {
    if (s->cycle_start_ns >= 0 && g_record.load(std::memory_order_relaxed)) {
      s->cycles.emplace_back(s->cycle_start_ns, double(s->last_end_ns - s->cycle_start_ns) / 1e6);
      s->periods.emplace_back(t0, double(t0 - s->cycle_start_ns) / 1e6);
    }
    s->cycle_start_ns = t0;
  }
  const int rc = __real__ZN4qeld16query_port_modesERNS_12QueryChannelEiiPi(ch, handle, port, modes);
  account(s, handle, t0, now_ns(), rc);
  return rc;
}

int __wrap__ZN4qeld22query_port_connectionsERNS_12QueryChannelEiiPh(qeld::QueryChannel& ch,
                                                                    int handle, int port,
                                                                    uint8_t* records) {
  PollerStats* s = my_slot();
  const int64_t t0 = now_ns();
  const int rc =
      __real__ZN4qeld22query_port_connectionsERNS_12QueryChannelEiiPh(ch, handle, port, records);
  account(s, handle, t0, now_ns(), rc);
  return rc;
}
}  // extern "C"

namespace {

// CPU of the client side of a bare exchange with a lab device (the floor): thread CPU per
// exchange over `count` sequential 0x41 requests. Returns -1 when the device does not answer.
double floor_cpu_us(const qeld::DeviceIdentity& rec, uint32_t device_ip, int count,
                    double* rtt_median_us) {
  const int fd = bench::bound_udp_socket(0);
  if (fd < 0) return -1;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = device_ip;
  to.sin_port = htons(qeld::device_port_4800());
  uint8_t req[qeld::kCommandRequestSize];
  qeld::build_command_request(req, qeld::kCmdPortModes, rec, 0);
  uint8_t buf[2048];
  std::vector<double> rtt;
  rtt.reserve(std::size_t(count));
  int ok = 0;
  const double c0 = bench::thread_cpu_s();
  for (int i = 0; i < count; ++i) {
    auto t0 = bench::Clock::now();
    if (bench::raw_exchange(fd, to, req, sizeof req, buf, sizeof buf, 200) > 0) ++ok;
    rtt.push_back(bench::us_since(t0));
  }
  const double cpu = bench::thread_cpu_s() - c0;
  ::close(fd);
  if (rtt_median_us) *rtt_median_us = bench::median_of(rtt);
  return ok == 0 ? -1 : cpu * 1e6 / count;
}

// CPU seconds used so far by another process (the lab's simulator), -1 when unreadable.
double other_process_cpu_s(int pid) {
  if (pid <= 0) return -1;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(in, text);
  const auto close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  double utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stod(field);
    if (i == 15) stime = std::stod(field);
  }
  return (utime + stime) / double(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
  const char* name = BENCH_IDLE ? "idle" : "scale";
  CLI::App app{std::string(name) + ": the monitor polling a lab fleet at refresh 1 s"};
  double duration = BENCH_IDLE ? 20 : 60;
  int max_servers = 512, floor_count = 3000, peer_pid = 0;
  std::string json_path;
  app.add_option("--duration", duration, "seconds measured after the start-up period")
      ->capture_default_str();
  app.add_option("--servers", max_servers, "servers to monitor (at most 512)")
      ->capture_default_str();
  app.add_option("--floor-count", floor_count, "bare exchanges for the CPU floor")
      ->capture_default_str();
  app.add_option("--peer-pid", peer_pid, "the simulator's pid, to report its CPU share too");
  app.add_option("--json", json_path, "merge the figures into this JSON file");
  CLI11_PARSE(app, argc, argv);
  duration = std::clamp(duration, 2.0, 3600.0);
  max_servers = std::clamp(max_servers, 1, 512);
  floor_count = std::clamp(floor_count, 100, 100000);

  qeld::raise_open_file_limit();
  if (qeld::library_start() != 1) {
    std::fprintf(stderr, "%s: library_start failed (GIdMap.dat beside the program?)\n", name);
    return 1;
  }
  // One broadcast search of the lab's LANs (this program runs in the monitor namespace).
  std::vector<qeld::DeviceIdentity> found;
  qeld::set_search_options(1000, 2);
  qeld::search_servers(0xFFFFFFFFu, [&](const qeld::DeviceIdentity* r) {
    if (r != nullptr) found.push_back(*r);
    return 1;
  });
  if (found.empty()) {
    std::fprintf(stderr, "%s: the search found no device (is the lab up, and are we inside it?)\n",
                 name);
    return 1;
  }
  if (int(found.size()) > max_servers) found.resize(std::size_t(max_servers));

  const int fd_baseline = bench::open_fd_count();
  const long threads_baseline = bench::proc_status("Threads");
  double floor_rtt_before = 0;
  const double floor_before =
      BENCH_IDLE ? -1 : floor_cpu_us(found[0], found[0].ip1, floor_count, &floor_rtt_before);

  auto list = std::make_unique<tavrix::ServerList>();
  list->refresh_rate = 1;
  int pollers = 0, with_handle = 0;
  for (const auto& r : found) {
    auto rec = list->make_server_record(r);
    pollers += rec->dual_lan ? 2 : 1;
    with_handle += rec->handle1.valid() + (rec->dual_lan && rec->handle2.valid());
    list->add_server(rec);
  }
  int ports_per_server = list->server_at(0)->port_count;
  const int n = list->server_count();
  std::printf("%s: %zu servers found, %d monitored, %d pollers, %d of them with an open handle\n",
              name, found.size(), n, pollers, with_handle);

  // Start-up: servers' monitoring spread evenly over the first refresh period.
  const auto t_start = bench::Clock::now();
  for (int i = 0; i < n; ++i) {
    std::this_thread::sleep_until(t_start + std::chrono::microseconds(1'000'000LL * i / n));
    tavrix::ServerRecord* s = list->server_at(i);
    s->monitoring = 1;
    list->start_poller(i, 0);
    if (s->dual_lan) list->start_poller(i, 1);
  }
  std::this_thread::sleep_until(t_start + std::chrono::milliseconds(1500));

  // The measured window.
  g_record = true;
  const long q0 = g_queries.load();
  const long f0 = g_failures.load();
  const double cpu0 = bench::process_cpu_s();
  // This thread's sampling (a scan of /proc/self/fd, 4,100 entries at full scale, twice a
  // second) is the bench's, not the monitor's: its CPU is taken out of the figure.
  const double sampler0 = bench::thread_cpu_s();
  const double peer0 = other_process_cpu_s(peer_pid);
  const auto w0 = bench::Clock::now();
  const int64_t w0_ns = now_ns();
  long threads_peak = 0;
  int fds_peak = 0;
  long online_samples = 0, online_bits = 0;
  while (bench::Clock::now() - w0 < std::chrono::duration<double>(duration)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    threads_peak = std::max(threads_peak, bench::proc_status("Threads"));
    fds_peak = std::max(fds_peak, bench::open_fd_count());
    for (int i = 0; i < n; ++i) {
      const int o = list->server_at(i)->online.load();
      online_bits += (o & 1) + ((o >> 1) & 1);
      online_samples += list->server_at(i)->dual_lan ? 2 : 1;
    }
  }
  const double wall = std::chrono::duration<double>(bench::Clock::now() - w0).count();
  const int64_t w1_ns = now_ns();
  const double sampler_cpu = bench::thread_cpu_s() - sampler0;
  const double cpu = bench::process_cpu_s() - cpu0 - sampler_cpu;
  const double peer_cpu = peer0 >= 0 ? other_process_cpu_s(peer_pid) - peer0 : -1;
  const long queries = g_queries.load() - q0;
  const long failures = g_failures.load() - f0;
  g_record = false;

  // As Search OK stops them: the stop-all flag, every stop request, one wake-up; then the
  // joins, so the figure runs to the last thread's end.
  const auto stop0 = bench::Clock::now();
  list->set_stop_all(1);
  const bool all_ended = list->stop_all_pollers(5000);
  const double stop_ms = bench::us_since(stop0) / 1000;
  std::vector<std::shared_ptr<tavrix::ServerRecord>> records;
  for (int i = 0; i < n; ++i) records.push_back(list->server_ptr(i));
  list.reset();
  const double stop_joined_ms = bench::us_since(stop0) / 1000;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const int fd_after_stop = bench::open_fd_count();
  double floor_rtt_after = 0;
  const double floor_after =
      BENCH_IDLE ? -1 : floor_cpu_us(found[0], found[0].ip1, floor_count, &floor_rtt_after);

  // Cycles and periods that started inside the window.
  std::vector<double> periods, cycles;
  long late = 0, failed_with_handle = 0;
  int slots_no_handle = 0;
  const int slots = std::min(g_next_slot.load(), kMaxSlots);
  for (int i = 0; i < slots; ++i) {
    // Pollers without a handle send nothing; their instant cycles would hide the real ones.
    if (g_slots[i].no_handle) {
      ++slots_no_handle;
      continue;
    }
    failed_with_handle += g_slots[i].failed;
    for (auto [t, ms] : g_slots[i].periods)
      if (t >= w0_ns && t < w1_ns) periods.push_back(ms);
    for (auto [t, ms] : g_slots[i].cycles)
      if (t >= w0_ns && t < w1_ns) cycles.push_back(ms);
    late += g_slots[i].late;
  }
  long in_time = 0;
  for (double p : periods) in_time += p <= kLateMs;
  const bench::Summary ps = bench::summarize(periods), cs = bench::summarize(cycles);

  const double per_refresh = double(pollers) * (1 + ports_per_server);
  const double per_refresh_handles = double(with_handle) * (1 + ports_per_server);
  const double qps = double(queries) / wall;
  const double cpu_per_query_us = queries ? cpu * 1e6 / double(queries) : 0;
  const double core_share = cpu / wall;
  const double floor_cpu = (floor_before > 0 && floor_after > 0)
                               ? (floor_before + floor_after) / 2
                               : std::max(floor_before, floor_after);
  const long rss_peak_kb = bench::proc_status("VmHWM");

  nlohmann::json out = {
      {"duration_s", wall},
      {"loadavg",
       [] {
         std::ifstream in("/proc/loadavg");
         double one = -1;
         in >> one;
         return one;
       }()},
      {"servers", n},
      {"pollers", pollers},
      {"pollers_with_handle", with_handle},
      {"queries", queries},
      {"failed_queries", failures},
      {"failed_queries_with_handle", failed_with_handle},
      {"pollers_seen_without_handle", slots_no_handle},
      {"qps", qps},
      {"ideal_qps", per_refresh},
      {"qps_share_of_ideal", qps / per_refresh},
      {"ideal_qps_handles", per_refresh_handles},
      {"qps_share_of_ideal_handles", per_refresh_handles > 0 ? qps / per_refresh_handles : 0},
      {"periods", periods.size()},
      {"periods_in_time_share", periods.empty() ? 0 : double(in_time) / double(periods.size())},
      {"period_ms", bench::to_json(ps)},
      {"cycle_ms", bench::to_json(cs)},
      {"late_queries", late},
      {"online_share", online_samples ? double(online_bits) / double(online_samples) : 0},
      {"cpu_s", cpu},
      {"sampler_cpu_s", sampler_cpu},
      {"cpu_core_share", core_share},
      {"cpu_us_per_query", cpu_per_query_us},
      {"simulator_cpu_core_share", peer_cpu >= 0 ? peer_cpu / wall : -1},
      {"floor_cpu_us_per_exchange", floor_cpu},
      {"floor_rtt_median_us", (floor_rtt_before + floor_rtt_after) / 2},
      {"cpu_per_query_vs_floor", floor_cpu > 0 ? cpu_per_query_us / floor_cpu : 0},
      {"rss_peak_mib", double(rss_peak_kb) / 1024},
      {"threads_baseline", threads_baseline},
      {"threads_peak", threads_peak},
      {"fds_baseline", fd_baseline},
      {"fds_peak", fds_peak},
      {"fds_after_stop", fd_after_stop},
      {"stop_all_ended", all_ended},
      {"stop_ms", stop_ms},
      {"stop_to_last_thread_end_ms", stop_joined_ms},
  };
  std::printf("%s\n", out.dump(2).c_str());
  bench::write_figures(json_path, name, out);
  records.clear();
  qeld::library_stop();
  return 0;
}
