// HTTP service discovery from the server-list file and scheduled broadcast searches.
#include "discovery.h"

#include <nlohmann/json.hpp>
#include <set>

#include "core/address_text.h"
#include "core/model_rules.h"
#include "log.h"
#include "qeld/library.h"
#include "qeld/model_map.h"
#include "qeld/search_engine.h"

namespace tavrix::exporter {

std::string sd_json(const std::vector<DiscoveredServer>& servers) {
  nlohmann::ordered_json groups = nlohmann::ordered_json::array();
  std::set<uint32_t> seen;
  for (const auto& s : servers) {
    const qeld::DeviceIdentity& id = s.entry.identity;
    if (!seen.insert(id.ip1).second) continue;  // the file's entry wins over a search's
    const bool dual = has_mac(id.mac2);
    nlohmann::ordered_json labels;
    labels["__meta_tavrix_model"] = s.entry.model;
    labels["__meta_tavrix_mac1"] = mac_text(id.mac1);
    labels["__meta_tavrix_mac2"] = dual ? mac_text(id.mac2) : "";
    labels["__meta_tavrix_lan2"] = dual ? ip_text(id.ip2, true) : "";
    labels["__meta_tavrix_lan_count"] = dual ? "2" : "1";
    labels["__meta_tavrix_name"] = s.entry.name;
    labels["__meta_tavrix_source"] = s.from_file ? "file" : "search";
    groups.push_back({{"targets", {ip_text(id.ip1, true)}}, {"labels", std::move(labels)}});
  }
  // Invalid UTF-8 in a name must not make the whole list unreadable.
  return groups.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

ServiceDiscovery::ServiceDiscovery(const std::vector<ServerListEntry>& listed, int interval_s,
                                   int search_timeout_s)
    : interval_s_(interval_s), search_timeout_s_(search_timeout_s) {
  for (const auto& e : listed) listed_.push_back({e, true});
}

ServiceDiscovery::~ServiceDiscovery() {
  stop();
}

void ServiceDiscovery::start() {
  if (interval_s_ > 0) thread_ = std::jthread([this](std::stop_token st) { run(st); });
}

void ServiceDiscovery::stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    {
      std::lock_guard<std::mutex> g(mu_);
      cv_.notify_all();
    }
    thread_.join();
  }
}

std::string ServiceDiscovery::json() const {
  std::vector<DiscoveredServer> all = listed_;
  {
    std::lock_guard<std::mutex> g(mu_);
    all.insert(all.end(), found_.begin(), found_.end());
  }
  return sd_json(all);
}

std::size_t ServiceDiscovery::found() const {
  std::lock_guard<std::mutex> g(mu_);
  return found_.size();
}

void ServiceDiscovery::run(std::stop_token stop) {
  while (!stop.stop_requested()) {
    std::vector<DiscoveredServer> found;
    qeld::set_search_options(1000, search_timeout_s_);
    const int rc = qeld::search_servers(0xFFFFFFFFu, [&](const qeld::DeviceIdentity* reply) -> int {
      if (stop.stop_requested()) return 0;
      if (!reply) return 1;
      // The search dialog's rules: a known model, and a two-LAN model's broadcast reply
      // must name its second MAC.
      if (qeld::find_model(reply->model_key, reply->model_id) < 0) return 1;
      if (requires_second_mac(*reply) && !has_mac(reply->mac2)) return 1;
      found.push_back({server_list_entry(*reply), false});
      return 1;
    });
    if (stop.stop_requested()) break;
    log(LogLevel::kInfo, "broadcast search done",
        {{"servers", std::to_string(found.size())}, {"result", std::to_string(rc)}});
    {
      std::lock_guard<std::mutex> g(mu_);
      found_ = std::move(found);
    }
    std::unique_lock<std::mutex> lk(mu_);
    cv_.wait_for(lk, stop, std::chrono::seconds(interval_s_), [] { return false; });
  }
}

}  // namespace tavrix::exporter
