// tavrix-exporter: Tavrix device servers as Prometheus metrics, in the multi-target
// pattern (/probe?target=), with its own metrics, HTTP service discovery and the safe
// defaults of an HTTP service that sends UDP (loopback, allow-list, rate caps).
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>

#include "access.h"
#include "core/address_text.h"
#include "core/printable_text.h"
#include "core/server_list_file.h"
#include "core/string_table.h"
#include "core/version.h"
#include "discovery.h"
#include "http_service.h"
#include "log.h"
#include "metrics.h"
#include "prober.h"
#include "qeld/library.h"
#include "web_config.h"

namespace {

using namespace tavrix::exporter;

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
// Time from SIGTERM to exit, whatever is still running.
constexpr auto kStopGrace = std::chrono::milliseconds(1900);

int usage_error(const std::string& why) {
  log(LogLevel::kError, "cannot start", {{"err", why}});
  return kExitUsage;
}

// Test and lab aids (hidden): device ports and a fixed local address list.
std::string apply_lab_aids(const std::string& ports, const std::vector<std::string>& locals) {
  if (!ports.empty()) {
    const auto comma = ports.find(',');
    unsigned a = 0, b = 0;
    const auto parse = [](std::string_view t, unsigned& v) {
      const auto [e, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
      return ec == std::errc() && e == t.data() + t.size() && v > 0 && v < 65536;
    };
    if (comma == std::string::npos || !parse(std::string_view(ports).substr(0, comma), a) ||
        !parse(std::string_view(ports).substr(comma + 1), b))
      return "--device-ports must be P4800,P1029";
    qeld::set_device_ports(static_cast<uint16_t>(a), static_cast<uint16_t>(b));
  }
  if (!locals.empty()) {
    if (locals.size() > static_cast<std::size_t>(qeld::kMaxLocalAddresses))
      return "at most 16 --local-address values";
    qeld::AddressList list;
    for (const auto& text : locals) {
      const auto ip = tavrix::parse_ipv4(text);
      if (!ip) return "invalid --local-address '" + tavrix::printable_text(text) + "'";
      list.addr[list.count++] = *ip;
    }
    qeld::set_address_source([list](qeld::AddressList& out) {
      out = list;
      return 1;
    });
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tavrix-exporter: Tavrix device servers as Prometheus metrics", "tavrix-exporter"};
  app.set_version_flag(
      "--version",
      std::string("tavrix-exporter ") + tavrix::kVersion + " (" + tavrix::kVersionText + ")",
      "Print the version and exit");
  std::string listen = "127.0.0.1:" + std::to_string(kDefaultPort);
  std::string web_config_file, servers_file, level_text = "info", log_format = "logfmt";
  std::vector<std::string> allow;
  ProberOptions po;
  ServiceOptions so;
  double min_interval_s = 5;
  int sd_interval_s = 0, sd_timeout_s = 3;
  std::string device_ports;
  std::vector<std::string> local_addresses;

  app.add_option("--web.listen-address", listen, "Address to listen on (HOST:PORT)")
      ->capture_default_str();
  app.add_option("--web.config.file", web_config_file,
                 "Web configuration (TLS, basic auth) in the exporter-toolkit format");
  app.add_option("--web.request-timeout", so.request_timeout_s,
                 "Seconds: a request line and its headers must come in whole within this, "
                 "and a kept-alive connection idle this long is closed")
      ->check(CLI::Range(0.5, 300.0))
      ->capture_default_str();
  app.add_option("--web.max-connections", so.max_connections,
                 "Open connections in total; more are closed at once")
      ->check(CLI::Range(16, 65536))
      ->capture_default_str();
  app.add_option("--web.max-connections-per-address", so.max_connections_per_address,
                 "Open connections from one client address; more are closed at once")
      ->check(CLI::Range(1, 65536))
      ->capture_default_str();
  app.add_option("--servers", servers_file,
                 "Server-list file: the servers for /sd, allowed as probe targets");
  app.add_option("--allow", allow, "Also allow probing targets inside this CIDR range (repeatable)")
      ->delimiter(',');
  app.add_option("--probe.max-in-flight", po.max_in_flight, "Probes querying devices at once")
      ->check(CLI::Range(1, 200))
      ->capture_default_str();
  app.add_option("--probe.min-interval", min_interval_s,
                 "Seconds: a target is queried at most once per this; scrapes in between get "
                 "the last result")
      ->check(CLI::Range(0.0, 3600.0))
      ->capture_default_str();
  app.add_option("--probe.timeout-offset", so.timeout_offset_s,
                 "Seconds taken off Prometheus's scrape time-out for the probe's deadline")
      ->check(CLI::Range(0.0, 60.0))
      ->capture_default_str();
  app.add_option("--probe.max-timeout", so.max_timeout_s,
                 "Seconds: the longest probe (and the deadline without the scrape-timeout header)")
      ->check(CLI::Range(0.5, 120.0))
      ->capture_default_str();
  app.add_option("--probe.state-sets", so.state_sets,
                 "Answer the StateSets tavrix_port_mode and tavrix_connection_state (false: "
                 "only the codes and info series, far fewer series)")
      ->capture_default_str();
  app.add_option("--probe.identity-ttl", po.identity_ttl_s,
                 "Seconds a searched identity is used before it is searched again")
      ->check(CLI::Range(1, 86400))
      ->capture_default_str();
  app.add_option("--sd.search-interval", sd_interval_s,
                 "Seconds between broadcast searches for /sd (0 = no search)")
      ->check(CLI::Range(0, 86400))
      ->capture_default_str();
  app.add_option("--sd.search-timeout", sd_timeout_s, "Quiet rounds of one second per search")
      ->check(CLI::Range(1, 60))
      ->capture_default_str();
  app.add_option("--log.level", level_text, "debug, info, warn or error")
      ->check(CLI::IsMember({"debug", "info", "warn", "error"}))
      ->capture_default_str();
  app.add_option("--log.format", log_format, "logfmt or json (one JSON object a line)")
      ->check(CLI::IsMember({"logfmt", "json"}))
      ->capture_default_str();
  app.add_option("--device-ports", device_ports, "P4800,P1029")->group("");
  app.add_option("--local-address", local_addresses, "local IPv4 addresses")
      ->group("")
      ->delimiter(',');
  CLI11_PARSE(app, argc, argv);

  LogLevel level = LogLevel::kInfo;
  parse_log_level(level_text, level);
  set_log_level(level);
  set_log_json(log_format == "json");
  // The protocol library's own warnings in the same log.
  qeld::set_log_sink([](const std::string& text) {
    log(LogLevel::kWarn, "protocol library", {{"detail", text}});
  });

  if (auto why = parse_listen_address(listen, so.host, so.port); !why.empty())
    return usage_error("--web.listen-address " + why);
  if (!web_config_file.empty()) {
    auto read = read_web_config_file(web_config_file);
    if (!read) return usage_error(read.reason());
    so.web = std::move(read).value();
  }
  std::vector<tavrix::ServerListEntry> listed;
  if (!servers_file.empty()) {
    auto read = tavrix::read_server_list_file(servers_file);
    if (!read) return usage_error(read.reason());
    listed = std::move(read).value();
  }
  AccessPolicy access;
  access.add_listed(listed);
  for (const auto& cidr : allow)
    if (auto why = access.add_cidr(cidr); !why.empty()) return usage_error(why);
  if (auto why = apply_lab_aids(device_ports, local_addresses); !why.empty())
    return usage_error(why);
  po.min_interval_ms = static_cast<int>(min_interval_s * 1000);
  so.probe_threads = po.max_in_flight + 8;

  // Signals are taken by one thread with sigwait; every other thread has them blocked.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGUSR1);  // wakes the signal thread when serving ends by itself
  sigaddset(&stop_signals, SIGHUP);   // reads the TLS certificate and key again
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (qeld::library_start() == 0) {
    log(LogLevel::kError, "QELD initialization failed!!!");
    return kExitFailure;
  }
  qeld::raise_open_file_limit();

  ExporterMetrics metrics;
  Prober prober(po, listed, [&access](uint32_t ip) { return access.allowed(ip); });
  ServiceDiscovery discovery(listed, sd_interval_s, sd_timeout_s);
  HttpService service(so, prober, access, discovery, metrics);
  if (auto why = service.bind(); !why.empty()) {
    log(LogLevel::kError, "cannot start", {{"err", why}});
    qeld::library_stop();
    return kExitFailure;
  }
  discovery.start();

  std::atomic<bool> stopping{false};
  // The watchdog: once a stop signal came, the process ends within the grace period even
  // if a request is stuck. Guarded by done_mu: the done flag and its wake-up.
  std::mutex done_mu;
  std::condition_variable done_cv;
  bool done = false;
  std::thread watchdog;
  std::thread signal_thread([&] {
    int sig = 0;
    while (sigwait(&stop_signals, &sig) == 0 && sig == SIGHUP) service.reload_tls("SIGHUP");
    if (sig == SIGUSR1) return;
    stopping = true;
    log(LogLevel::kInfo, "stopping", {{"signal", sig == SIGTERM ? "SIGTERM" : "SIGINT"}});
    watchdog = std::thread([&] {
      std::unique_lock<std::mutex> lk(done_mu);
      if (!done_cv.wait_for(lk, kStopGrace, [&] { return done; })) {
        log(LogLevel::kWarn, "requests still running at the end of the grace period; exiting");
        std::_Exit(0);
      }
    });
    prober.cancel();
    service.stop();
  });

  log(LogLevel::kInfo, "listening",
      {{"address", so.host + ":" + std::to_string(service.bound_port())},
       {"tls", so.web.tls() ? "true" : "false"},
       {"basic_auth", so.web.users.empty() ? "false" : "true"},
       {"servers", std::to_string(listed.size())},
       {"version", tavrix::kVersion}});
  const bool served = service.run();
  if (!stopping) pthread_kill(signal_thread.native_handle(), SIGUSR1);
  signal_thread.join();
  discovery.stop();
  prober.cancel();
  qeld::library_stop();
  {
    std::lock_guard<std::mutex> g(done_mu);
    done = true;
  }
  done_cv.notify_all();
  if (watchdog.joinable()) watchdog.join();
  log(LogLevel::kInfo, "stopped");
  return stopping || served ? 0 : kExitFailure;
}
