// Probing device servers: identities, one poll cycle per LAN, and the limits that keep
// an HTTP-driven prober from flooding devices.
#include "prober.h"

#include <algorithm>
#include <cstring>

#include "core/address_text.h"
#include "core/find_server.h"
#include "core/poll_cycle.h"
#include "core/port_texts.h"
#include "qeld/model_map.h"
#include "qeld/result_codes.h"

namespace tavrix::exporter {

namespace {

bool is_cancelled(const void* flag) {
  return static_cast<const std::atomic<bool>*>(flag)->load(std::memory_order_relaxed);
}

}  // namespace

const char* result_name(ProbeOutcome::Result r) {
  switch (r) {
    case ProbeOutcome::Result::kUp:
      return "up";
    case ProbeOutcome::Result::kDown:
      return "down";
    case ProbeOutcome::Result::kNotFound:
      return "not_found";
    case ProbeOutcome::Result::kError:
      return "error";
  }
  return "error";
}

struct Prober::Target {
  // Guards `busy`, which is set for the whole of a probe: one probe per target at a
  // time. Later scrapes of the same target wait on `cv` and then take the fresh result.
  std::mutex mu;
  std::condition_variable cv;
  bool busy = false;
  // Written and read only by the probe that set `busy`.
  std::optional<qeld::DeviceIdentity> identity;
  Clock::time_point identity_at{};
  std::shared_ptr<const ProbeOutcome> last;
  Clock::time_point last_at{};
};

Prober::Prober(ProberOptions options, const std::vector<ServerListEntry>& listed,
               std::function<bool(uint32_t)> allowed)
    : options_(options), allowed_(std::move(allowed)), lan2_workers_(options.max_in_flight) {
  for (const auto& e : listed) listed_.emplace(e.identity.ip1, e.identity);
}

Prober::~Prober() {
  cancel();
}

void Prober::cancel() {
  cancelled_.store(true);
  std::lock_guard<std::mutex> g(slot_mu_);
  slot_cv_.notify_all();
}

std::size_t Prober::targets() const {
  std::lock_guard<std::mutex> g(map_mu_);
  return targets_.size();
}

std::shared_ptr<Prober::Target> Prober::target_entry(const std::string& key, bool& full) {
  std::lock_guard<std::mutex> g(map_mu_);
  full = false;
  auto it = targets_.find(key);
  if (it != targets_.end()) return it->second;
  if (targets_.size() >= options_.max_targets) {
    // Forget targets that no scrape is using; their next probe starts afresh.
    for (auto i = targets_.begin(); i != targets_.end();)
      i = i->second.use_count() == 1 ? targets_.erase(i) : std::next(i);
    if (targets_.size() >= options_.max_targets) {
      full = true;
      return nullptr;
    }
  }
  return targets_.emplace(key, std::make_shared<Target>()).first->second;
}

bool Prober::acquire_slot(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lk(slot_mu_);
  const bool got = slot_cv_.wait_until(lk, deadline, [&] {
    return cancelled_.load() || in_flight_.load() < options_.max_in_flight;
  });
  if (!got || cancelled_.load()) return false;
  in_flight_.fetch_add(1);
  return true;
}

void Prober::release_slot() {
  std::lock_guard<std::mutex> g(slot_mu_);
  in_flight_.fetch_sub(1);
  slot_cv_.notify_one();
}

Prober::Status Prober::probe(uint32_t target, uint32_t lan2, Clock::time_point deadline,
                             std::shared_ptr<const ProbeOutcome>& out) {
  if (cancelled_.load()) return Status::kCancelled;
  bool full = false;
  const std::string key = ip_text(target, false) + "/" + ip_text(lan2, false);
  const std::shared_ptr<Target> t = target_entry(key, full);
  if (!t) return Status::kBusy;
  {
    std::unique_lock<std::mutex> lk(t->mu);
    if (!t->cv.wait_until(lk, deadline, [&] { return !t->busy; })) return Status::kBusy;
    t->busy = true;
  }
  // Hands the target to the next waiting scrape however this one ends.
  struct Release {
    Target& t;
    ~Release() {
      {
        std::lock_guard<std::mutex> g(t.mu);
        t.busy = false;
      }
      t.cv.notify_all();
    }
  } release{*t};
  if (cancelled_.load()) return Status::kCancelled;
  const auto now = Clock::now();
  if (t->last && now - t->last_at < std::chrono::milliseconds(options_.min_interval_ms)) {
    out = t->last;
    return Status::kCached;
  }
  if (!acquire_slot(deadline)) return cancelled_.load() ? Status::kCancelled : Status::kBusy;
  auto outcome = run_probe(*t, target, lan2, deadline);
  release_slot();
  if (cancelled_.load()) return Status::kCancelled;
  t->last = outcome;
  t->last_at = Clock::now();
  out = std::move(outcome);
  return Status::kDone;
}

std::shared_ptr<ProbeOutcome> Prober::run_probe(Target& t, uint32_t target, uint32_t lan2,
                                                Clock::time_point deadline) {
  const auto start = Clock::now();
  auto out = std::make_shared<ProbeOutcome>();
  out->lan2_requested = lan2 != 0;
  out->mode.fill(-1);

  // The search gets at most half of the time, so a poll always has some left.
  const auto search_deadline = start + (deadline - start) / 2;
  std::optional<qeld::DeviceIdentity> identity;
  using Source = ProbeOutcome::IdentitySource;
  if (t.identity && start - t.identity_at < std::chrono::seconds(options_.identity_ttl_s)) {
    identity = t.identity;
    out->identity_source = Source::kCache;
  }
  int search_code = qeld::kOk;
  if (!identity) {
    // A directed search of its own per probe, without the library lock: one silent
    // target must not hold up the searches of every other scrape.
    core::SearchLimits limits;
    limits.wait_ms = options_.try_ms;
    limits.attempts = 2;
    limits.deadline = search_deadline;
    limits.cancel = is_cancelled;
    limits.cancel_arg = &cancelled_;
    const Outcome<qeld::DeviceIdentity> found = core::find_server(target, lan2, limits);
    if (found) {
      identity = *found;
      out->identity_source = Source::kSearch;
    } else {
      search_code = found.code();
    }
    if (!identity) {
      // A listed server keeps its identity from the file while it is silent.
      const auto it = listed_.find(target);
      if (it != listed_.end()) {
        identity = it->second;
        if (lan2 && has_mac(identity->mac2)) identity->ip2 = lan2;
        out->identity_source = Source::kFile;
      }
    }
    if (identity) {
      t.identity = identity;
      t.identity_at = start;
    }
  }
  if (!identity) {
    out->result = search_code == qeld::kPubSocket ? ProbeOutcome::Result::kError
                                                  : ProbeOutcome::Result::kNotFound;
    out->duration_s = std::chrono::duration<double>(Clock::now() - start).count();
    return out;
  }

  out->found = true;
  qeld::DeviceIdentity id = *identity;
  // A second LAN that the device reports about itself is sent to only when allowed.
  const bool lan2_allowed = !has_mac(id.mac2) || id.ip2 == lan2 || allowed_(id.ip2);
  if (!lan2_allowed) std::fill(id.mac2, id.mac2 + 6, 0);
  out->identity = id;
  out->model = qeld::model_name(id.model_key, id.model_id);
  out->text_set = text_set_for(id.model_id).name;

  const std::shared_ptr<tavrix::ServerRecord> rec = make_server_record(id);
  rec->monitoring = 1;
  out->port_count = rec->port_count;
  out->dual_lan = rec->dual_lan != 0;
  core::CycleLimits limits;
  limits.deadline = deadline;
  limits.cancel = is_cancelled;
  limits.cancel_arg = &cancelled_;
  const std::array<core::LanCycle, 2> cycles = core::poll_server_once(*rec, limits, &lan2_workers_);
  uint32_t conn_read = 0;
  for (int lan = 0; lan < (rec->dual_lan ? 2 : 1); ++lan) {
    LanOutcome& o = out->lan[static_cast<std::size_t>(lan)];
    o.polled = true;
    o.up = cycles[lan].up;
    o.modes_result = cycles[lan].modes_result;
    o.elapsed_ms = cycles[lan].elapsed_ms;
    conn_read |= cycles[lan].conn_read;
  }

  const bool any = out->lan[0].up || out->lan[1].up;
  out->ports_known = out->lan[0].modes_result == qeld::kOk || out->lan[1].modes_result == qeld::kOk;
  const int supported = text_set_for(id.model_id).supported_mode;
  for (int i = 0; i < out->port_count && i < kMaxPorts; ++i) {
    out->mode[i] = rec->mode_at(i);
    if (out->ports_known && out->mode[i] == supported && (conn_read >> i & 1u)) {
      rec->load_conn(i, out->conn[i].data());
      out->conn_read[i] = true;
    }
  }
  out->result = any ? ProbeOutcome::Result::kUp : ProbeOutcome::Result::kDown;
  // A server that stopped answering is searched for again at its next probe.
  if (!any) t.identity.reset();
  out->duration_s = std::chrono::duration<double>(Clock::now() - start).count();
  return out;
}

}  // namespace tavrix::exporter
