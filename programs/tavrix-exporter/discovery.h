// Prometheus HTTP service discovery (/sd): one target group per server, from the
// server-list file and, when asked for, from a broadcast search on a schedule. Labels
// are __meta_tavrix_* so that a scrape configuration relabels what it wants.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/server_list_file.h"

namespace tavrix::exporter {

struct DiscoveredServer {
  ServerListEntry entry;
  bool from_file = false;
};

// The JSON list of target groups for these servers.
std::string sd_json(const std::vector<DiscoveredServer>& servers);

class ServiceDiscovery {
 public:
  // interval_s 0: the file's servers only, no search.
  ServiceDiscovery(const std::vector<ServerListEntry>& listed, int interval_s,
                   int search_timeout_s);
  ~ServiceDiscovery();  // stops and joins the search thread
  ServiceDiscovery(const ServiceDiscovery&) = delete;
  ServiceDiscovery& operator=(const ServiceDiscovery&) = delete;

  void start();
  void stop();
  std::string json() const;
  // Servers found by the last completed search.
  std::size_t found() const;

 private:
  void run(std::stop_token stop);

  const int interval_s_;
  const int search_timeout_s_;
  std::vector<DiscoveredServer> listed_;
  // Guards found_ (written by the search thread, read by /sd requests) and wakes the
  // search thread's pause on stop.
  mutable std::mutex mu_;
  std::condition_variable_any cv_;
  std::vector<DiscoveredServer> found_;
  std::jthread thread_;
};

}  // namespace tavrix::exporter
