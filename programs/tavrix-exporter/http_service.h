// The exporter's HTTP side: /probe, /metrics, /sd and the landing page on cpp-httplib,
// with basic auth and TLS from the web configuration, one log line per refused request,
// and a clean stop.
#pragma once

#include <memory>
#include <string>

#include "access.h"
#include "discovery.h"
#include "metrics.h"
#include "prober.h"
#include "web_config.h"

namespace httplib {
class Server;
}

namespace tavrix::exporter {

inline constexpr int kDefaultPort = 9736;

struct ServiceOptions {
  std::string host = "127.0.0.1";
  int port = kDefaultPort;
  WebConfig web;
  double timeout_offset_s = 0.5;  // taken off Prometheus's scrape time-out
  double max_timeout_s = 10;      // and the probe's deadline capped by this
  int threads = 72;               // request threads (probes beyond the cap wait in them)
  int read_timeout_s = 5;         // a client that sends its request slower is dropped
};

// "HOST:PORT", "[V6]:PORT" or ":PORT" (every address). Empty on success, else the reason.
std::string parse_listen_address(const std::string& text, std::string& host, int& port);

// The probe's deadline in seconds from the scrape-timeout header's value (empty when the
// header is missing): the header minus the offset, capped; the cap when it is missing or
// unreadable; never below 0.1 s.
double probe_timeout_s(const std::string& header, double offset_s, double max_s);

class HttpService {
 public:
  HttpService(ServiceOptions options, Prober& prober, const AccessPolicy& access,
              const ServiceDiscovery& discovery, ExporterMetrics& metrics);
  ~HttpService();
  HttpService(const HttpService&) = delete;
  HttpService& operator=(const HttpService&) = delete;

  // Binds the listening socket; empty on success, else the reason.
  std::string bind();
  int bound_port() const { return bound_port_; }
  // Serves until stop(); returns false when serving failed.
  bool run();
  // Stops taking requests; run() returns once the running ones are done.
  void stop();

 private:
  void routes();

  ServiceOptions options_;
  Prober& prober_;
  const AccessPolicy& access_;
  const ServiceDiscovery& discovery_;
  ExporterMetrics& metrics_;
  std::unique_ptr<BasicAuth> auth_;
  std::unique_ptr<httplib::Server> server_;
  int bound_port_ = 0;
  int listen_fd_ = -1;
};

}  // namespace tavrix::exporter
