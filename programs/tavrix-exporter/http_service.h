// The exporter's HTTP side: /probe, /metrics, /sd and the landing page on GNU
// libmicrohttpd, with basic auth and TLS from the web configuration, bounded against any
// client (whole-request deadline, header cap, connection caps, idle keep-alive closed),
// one log line per refused request, and a clean stop.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

#include "access.h"
#include "discovery.h"
#include "metrics.h"
#include "prober.h"
#include "web_config.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace tavrix::exporter {

inline constexpr int kDefaultPort = 9736;

struct ServiceOptions {
  std::string host = "127.0.0.1";
  int port = kDefaultPort;
  WebConfig web;
  double timeout_offset_s = 0.5;  // taken off Prometheus's scrape time-out
  double max_timeout_s = 10;      // and the probe's deadline capped by this
  bool state_sets = true;         // the StateSet series in /probe answers
  int probe_threads = 72;         // threads that run probes (beyond the cap they wait there)
  double request_timeout_s = 5;   // request line and headers must be in within this
  // Open connections in total and from one client address; more are closed at once. A
  // Prometheus server holds one connection per running scrape, so its address needs many.
  int max_connections = 1024;
  int max_connections_per_address = 512;
  // The library's memory per connection: the request line and headers must fit in it
  // (about 32 KiB of them); more gets 431 and nothing more is read.
  std::size_t connection_memory = 32 * 1024;
};

// "HOST:PORT", "[V6]:PORT" or ":PORT" (every address). Empty on success, else the reason.
std::string parse_listen_address(const std::string& text, std::string& host, int& port);

// The probe's deadline in seconds from the scrape-timeout header's value (empty when the
// header is missing): the header minus the offset, capped; the cap when it is missing or
// unreadable; never below 0.1 s.
double probe_timeout_s(const std::string& header, double offset_s, double max_s);

class WorkQueue;
struct Glue;

// The last probes with their debug logs, for the /probes page: failed ones in a list of
// their own so that they stay longer. Safe from every probe thread.
class RecentProbes {
 public:
  static constexpr std::size_t kKept = 100;
  void add(std::string target, std::string result, bool cached, std::string log);
  std::string page() const;

 private:
  struct Entry {
    std::string when, target, result;
    bool cached;
    std::string log;
  };
  // Guards both lists; taken by each probe's end and by the page.
  mutable std::mutex mu_;
  std::deque<Entry> succeeded_, failed_;
};

class HttpService {
 public:
  HttpService(ServiceOptions options, Prober& prober, const AccessPolicy& access,
              const ServiceDiscovery& discovery, ExporterMetrics& metrics);
  ~HttpService();
  HttpService(const HttpService&) = delete;
  HttpService& operator=(const HttpService&) = delete;

  // Binds the listening socket and starts serving; empty on success, else the reason.
  std::string bind();
  int bound_port() const { return bound_port_; }
  // Serves until stop(); returns false when serving failed.
  bool run();
  // Stops taking requests; run() returns once the running ones are done.
  void stop();
  // Reads the TLS certificate and key again (SIGHUP; a change of the files is noticed
  // within a second by itself). On failure the previous pair stays; false then.
  bool reload_tls(const char* why);

  struct Request;  // one request's state, kept by the library between calls

 private:
  struct Conn {
    int fd = -1;
    Clock::time_point since;  // accepted, or its last answer sent
    bool waiting = true;      // for a request's headers (false while one is handled)
    int requests = 0;         // answered on it
    std::string remote;
  };

  friend struct Glue;  // the library's callbacks

  // Takes the request one step; false when the connection is to be dropped.
  bool handle(MHD_Connection* c, Request& r, std::size_t* upload_size);
  bool answer(MHD_Connection* c, Request& r);
  void route(Request& r);
  void probe(Request& r);
  void sweep();
  bool client_verified(MHD_Connection* c);

  ServiceOptions options_;
  Prober& prober_;
  const AccessPolicy& access_;
  const ServiceDiscovery& discovery_;
  ExporterMetrics& metrics_;
  std::unique_ptr<BasicAuth> auth_;
  std::string client_ca_pem_;
  std::pair<std::pair<int64_t, int64_t>, std::pair<int64_t, int64_t>> stamps_;  // cert, key
  std::string tls_priorities_;
  MHD_Daemon* daemon_ = nullptr;
  int bound_port_ = 0;
  RecentProbes recent_;
  std::unique_ptr<WorkQueue> probes_;      // probes: they wait for devices
  std::unique_ptr<WorkQueue> auth_queue_;  // one thread: one bcrypt at a time
  // Guards conns_, stop_ and the sweeper's wake-up; taken by the library's thread at
  // each connection's start, end and request, and by the sweeper.
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::unordered_map<MHD_Connection*, Conn> conns_;
  std::thread sweeper_;
};

}  // namespace tavrix::exporter
