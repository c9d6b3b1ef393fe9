// tavrix-exporter at fleet scale, with Debian's real Prometheus: run inside the lab's
// monitor namespace (scripts/bench brings up 512 dual-LAN servers and saves them as a
// server-list file), it starts the exporter and a Prometheus that discovers every server
// through /sd and scrapes each at the given interval, lets them run, and reports the
// probe durations as Prometheus recorded them, the scrape durations, the share of
// targets up, and the exporter's CPU share of one core and peak RSS.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "bench_util.h"

namespace {

pid_t spawn(std::vector<std::string> args, const std::string& log) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 300; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// utime + stime of a process in seconds, and a /proc/<pid>/status value in kB.
double cpu_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string f;
  double cpu = 0;
  for (int i = 3; i <= 15 && rest >> f; ++i)
    if (i >= 14) cpu += std::stod(f);
  return cpu / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long status_kb(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
  return -1;
}

nlohmann::json query(const std::string& expr) {
  httplib::Client c("127.0.0.1", 19090);
  c.set_read_timeout(60, 0);
  const auto r = c.Get("/api/v1/query", httplib::Params{{"query", expr}}, httplib::Headers{});
  if (!r || r->status != 200) return nlohmann::json::array();
  const auto j = nlohmann::json::parse(r->body, nullptr, false);
  if (j.is_discarded()) return nlohmann::json::array();
  return j["data"]["result"];
}

// Every sample value of a range-vector result.
std::vector<double> samples(const nlohmann::json& result) {
  std::vector<double> v;
  for (const auto& series : result)
    for (const auto& s : series["values"]) v.push_back(std::stod(s[1].get<std::string>()));
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tavrix-exporter scraped by Prometheus at fleet scale (run inside the lab)"};
  std::string exporter, servers, prometheus = "/usr/bin/prometheus", json_out;
  int interval = 15, duration = 120;
  app.add_option("--exporter", exporter, "tavrix-exporter binary")->required();
  app.add_option("--servers", servers, "server-list file of the fleet")->required();
  app.add_option("--prometheus", prometheus)->capture_default_str();
  app.add_option("--interval", interval, "scrape interval, seconds")->capture_default_str();
  app.add_option("--duration", duration, "measured seconds")->capture_default_str();
  app.add_option("--json", json_out, "figures file to merge into");
  CLI11_PARSE(app, argc, argv);

  const std::string dir = std::filesystem::temp_directory_path() /
                          ("tavrix-bench-exporter-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/prometheus.yml")
      << "global:\n  scrape_interval: " << interval
      << "s\n  scrape_timeout: " << std::min(interval, 10) << "s\nscrape_configs:\n"
      << "  - job_name: tavrix\n    metrics_path: /probe\n"
      << "    http_sd_configs: [{url: 'http://127.0.0.1:9736/sd', refresh_interval: 30s}]\n"
      << "    relabel_configs:\n"
      << "      - {source_labels: [__address__], target_label: __param_target}\n"
      << "      - {source_labels: [__meta_tavrix_lan2], regex: '(.+)', target_label: "
         "__param_lan2}\n"
      << "      - {source_labels: [__param_target], target_label: instance}\n"
      << "      - {target_label: __address__, replacement: '127.0.0.1:9736'}\n";

  const pid_t exp =
      spawn({exporter, "--servers", servers, "--log.level", "warn"}, dir + "/exporter.log");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const pid_t prom =
      spawn({prometheus, "--config.file=" + dir + "/prometheus.yml",
             "--storage.tsdb.path=" + dir + "/data", "--web.listen-address=127.0.0.1:19090"},
            dir + "/prometheus.log");
  // One interval to discover and spread the targets, then the measured stretch.
  std::this_thread::sleep_for(std::chrono::seconds(interval + 5));
  const double cpu0 = cpu_of(exp), prom_cpu0 = cpu_of(prom);
  const auto t0 = bench::Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(duration));
  const double wall = std::chrono::duration<double>(bench::Clock::now() - t0).count();
  const double cpu = cpu_of(exp) - cpu0, prom_cpu = cpu_of(prom) - prom_cpu0;
  const long rss_peak = status_kb(exp, "VmHWM"), rss = status_kb(exp, "VmRSS");

  const std::string range = "[" + std::to_string(duration) + "s]";
  const auto probe = bench::summarize(samples(query("tavrix_probe_duration_seconds" + range)));
  const auto scrape =
      bench::summarize(samples(query("scrape_duration_seconds{job=\"tavrix\"}" + range)));
  const auto series =
      bench::summarize(samples(query("scrape_samples_scraped{job=\"tavrix\"}" + range)));
  const auto up = samples(query("up{job=\"tavrix\"}" + range));
  const auto lans = samples(query("tavrix_up" + range));
  const auto targets = query("count(up{job=\"tavrix\"})");
  double up_share = 0, lan_share = 0;
  for (double v : up) up_share += v;
  for (double v : lans) lan_share += v;
  up_share = up.empty() ? 0 : up_share / static_cast<double>(up.size());
  lan_share = lans.empty() ? 0 : lan_share / static_cast<double>(lans.size());

  stop(prom);
  stop(exp);

  nlohmann::json fig = {
      {"targets", targets.empty() ? 0 : std::stoi(targets[0]["value"][1].get<std::string>())},
      {"interval_s", interval},
      {"duration_s", wall},
      {"probe_duration_ms",
       {{"median", probe.median * 1e3},
        {"p99", probe.p99 * 1e3},
        {"max", probe.max * 1e3},
        {"n", probe.n}}},
      {"scrape_duration_ms",
       {{"median", scrape.median * 1e3}, {"p99", scrape.p99 * 1e3}, {"n", scrape.n}}},
      {"series_per_scrape_median", series.median},
      {"scrapes_up_share", up_share},
      {"lans_up_share", lan_share},
      {"cpu_core_share", cpu / wall},
      {"prometheus_cpu_core_share", prom_cpu / wall},
      {"rss_mib", static_cast<double>(rss) / 1024},
      {"rss_peak_mib", static_cast<double>(rss_peak) / 1024},
  };
  std::cout << fig.dump(2) << std::endl;
  if (!json_out.empty()) bench::write_figures(json_out, "exporter", fig);
  std::filesystem::remove_all(dir);
  return 0;
}
