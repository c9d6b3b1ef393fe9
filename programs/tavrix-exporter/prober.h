// Probing device servers for the exporter: the identity of each target (from the
// server-list file, or a directed search, cached for a TTL and dropped when the server
// stops answering), one poll cycle per LAN as the pollers run it, at most one probe per
// target at a time, a floor interval per target, and a cap on probes in flight.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/lan_workers.h"
#include "core/server_list_file.h"
#include "core/server_record.h"
#include "qeld/ds_info.h"

namespace tavrix::exporter {

using Clock = std::chrono::steady_clock;

struct ProberOptions {
  int max_in_flight = 64;          // probes that talk to devices at once
  int min_interval_ms = 5000;      // a target is queried at most once per this
  int identity_ttl_s = 600;        // a searched identity is searched again after this
  int try_ms = 500;                // one wait of a search (queries keep their handles' waits)
  std::size_t max_targets = 4096;  // targets remembered (identity and last result)
};

// How one LAN answered its poll cycle.
struct LanOutcome {
  bool polled = false;      // the server has this LAN and it was asked
  bool up = false;          // the mode read and the last read succeeded in time
  int modes_result = 0;     // query_port_modes' public code
  uint32_t elapsed_ms = 0;  // of the mode read
};

// Everything a probe learnt; immutable once made, shared by the scrapes it answers.
struct ProbeOutcome {
  enum class Result { kUp, kDown, kNotFound, kError };
  Result result = Result::kNotFound;
  bool found = false;  // an identity was known or found
  // Where that identity came from: a search of this probe, an earlier probe's (within
  // the identity TTL), or the server-list file when no search reply came.
  enum class IdentitySource { kNone, kSearch, kCache, kFile };
  IdentitySource identity_source = IdentitySource::kNone;
  bool lan2_requested = false;      // the scrape named a second-LAN address
  qeld::DeviceIdentity identity{};  // as the handles were opened with
  std::string model;                // model map name
  int port_count = 0;
  bool dual_lan = false;
  char text_set = 'B';
  std::array<LanOutcome, 2> lan{};
  bool ports_known = false;  // some LAN answered: the port tables below are this probe's
  std::array<int, kMaxPorts> mode{};
  std::array<std::array<uint8_t, kConnRecordBytes>, kMaxPorts> conn{};
  std::array<bool, kMaxPorts> conn_read{};  // the record was read in this probe
  double duration_s = 0;
};

const char* result_name(ProbeOutcome::Result r);

class Prober {
 public:
  // `allowed` says whether an address may be sent to; a second-LAN address that a device
  // reports about itself is polled only when it is allowed too.
  Prober(ProberOptions options, const std::vector<ServerListEntry>& listed,
         std::function<bool(uint32_t)> allowed);
  ~Prober();
  Prober(const Prober&) = delete;
  Prober& operator=(const Prober&) = delete;

  enum class Status {
    kDone,       // *out is this probe's outcome
    kCached,     // *out is the last outcome: the target was queried within the floor interval
    kBusy,       // no slot (target or in-flight cap) before the deadline
    kCancelled,  // shutting down
  };
  // Probes the target (and its second-LAN address, 0 = none), both in network byte order,
  // finishing by the deadline. Sends nothing for kBusy and kCancelled.
  Status probe(uint32_t target, uint32_t lan2, Clock::time_point deadline,
               std::shared_ptr<const ProbeOutcome>& out);

  // Makes every waiting and running probe end soon (searches at their next wait, polls
  // before their next query); later calls return kCancelled at once.
  void cancel();

  int in_flight() const { return in_flight_.load(std::memory_order_relaxed); }
  std::size_t targets() const;

 private:
  struct Target;
  std::shared_ptr<Target> target_entry(const std::string& key, bool& full);
  bool acquire_slot(Clock::time_point deadline);
  void release_slot();
  std::shared_ptr<ProbeOutcome> run_probe(Target& t, uint32_t target, uint32_t lan2,
                                          Clock::time_point deadline);

  const ProberOptions options_;
  std::atomic<bool> cancelled_{false};
  std::atomic<int> in_flight_{0};
  // Guards the in-flight count's waiters; taken by probes waiting for a slot and by
  // those that release one.
  std::mutex slot_mu_;
  std::condition_variable slot_cv_;
  // Guards targets_ (the map only; each Target has its own lock); taken briefly by
  // every probe to find its target.
  mutable std::mutex map_mu_;
  std::unordered_map<std::string, std::shared_ptr<Target>> targets_;
  // Server-list identities by address (ip1 and ip2 of each listed server); read-only.
  std::unordered_map<uint32_t, qeld::DeviceIdentity> listed_;
  const std::function<bool(uint32_t)> allowed_;
  // Second-LAN cycles: as many threads as probes may run, kept for the process's life.
  core::LanWorkers lan2_workers_;
};

}  // namespace tavrix::exporter
