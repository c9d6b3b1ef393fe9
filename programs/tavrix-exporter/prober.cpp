// Probing device servers: identities, one poll cycle per LAN, and the limits that keep
// an HTTP-driven prober from flooding devices.
#include "prober.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "core/address_text.h"
#include "core/model_rules.h"
#include "core/poller.h"
#include "core/server_list.h"
#include "qeld/library.h"
#include "qeld/model_map.h"
#include "qeld/query.h"
#include "qeld/result_codes.h"
#include "qeld/search_engine.h"

namespace tavrix::exporter {

namespace {

int ms_left(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(std::min<int64_t>(left, 1 << 30)) : 0;
}

bool has_mac(const uint8_t mac[6]) {
  return mac_text(mac) != kNoMac;
}

// The identity to open handles with from the replies at the two addresses, as the
// command line's --lan2 merges them.
std::optional<qeld::_DS_INFO> merge_lan_replies(const std::optional<qeld::_DS_INFO>& lan1,
                                                const std::optional<qeld::_DS_INFO>& lan2,
                                                uint32_t lan1_address, uint32_t lan2_address) {
  if (lan1) {
    qeld::_DS_INFO merged = *lan1;
    if (lan2 && !has_mac(merged.mac2)) std::copy(lan2->mac1, lan2->mac1 + 6, merged.mac2);
    if (has_mac(merged.mac2)) merged.ip2 = lan2_address;
    return merged;
  }
  if (!lan2) return std::nullopt;
  qeld::_DS_INFO merged = *lan2;
  if (!has_mac(merged.mac2)) {
    std::copy(lan2->mac1, lan2->mac1 + 6, merged.mac2);
    std::fill(merged.mac1, merged.mac1 + 6, 0);
  }
  merged.ip1 = lan1_address;
  merged.ip2 = lan2_address;
  return merged;
}

// One LAN's poll cycle as a poller runs it, with every wait cut to fit the deadline and
// a cancel checked before each query.
LanOutcome poll_lan(_SVRINFO& s, int lan, Clock::time_point deadline, int try_ms,
                    const std::atomic<bool>& cancelled,
                    std::array<std::atomic<bool>, kMaxPorts>& conn_ok) {
  LanOutcome out;
  out.polled = true;
  const int handle = lan ? s.handle2 : s.handle1;
  const int bit = 1 << lan;
  const int supported = supported_mode(s.model_id);
  // Each query gets the waits that still fit, at least one and at most three.
  const auto fit = [&]() -> bool {
    const int left = ms_left(deadline);
    if (left < 50 || cancelled.load(std::memory_order_relaxed)) return false;
    const int wait = std::min(try_ms, left);
    qeld::handle_set_timeouts(handle, static_cast<uint32_t>(wait), std::clamp(left / wait, 1, 3));
    return true;
  };
  const auto mark = [&](uint32_t t0, bool ok) {
    if (ok && within_limit(t0, tick_ms()))
      s.online.fetch_or(bit, std::memory_order_relaxed);
    else
      s.online.fetch_and(~bit, std::memory_order_relaxed);
  };
  if (handle < 0 || !fit()) return out;

  constexpr int32_t kUnwritten = INT32_MIN;
  int32_t modes[kMaxPorts];
  std::fill(std::begin(modes), std::end(modes), kUnwritten);
  const uint32_t t0 = tick_ms();
  out.modes_result = qeld::query_port_modes(handle, 0, modes);
  out.elapsed_ms = tick_ms() - t0;
  mark(t0, out.modes_result == qeld::kOk);
  if (out.modes_result != qeld::kOk) return out;
  for (int i = 0; i < kMaxPorts; ++i)
    if (modes[i] != kUnwritten) s.mode[i].store(modes[i], std::memory_order_relaxed);

  for (int i = 0; i < s.port_count && i < kMaxPorts; ++i) {
    if (s.mode_at(i) != supported) continue;
    if (!fit()) {
      s.online.fetch_and(~bit, std::memory_order_relaxed);
      break;
    }
    uint8_t record[kConnRecordBytes];
    const uint32_t t1 = tick_ms();
    const int rc = qeld::query_port_connections(handle, i + 1, record);
    if (rc == qeld::kOk) {
      s.store_conn(i, record);
      conn_ok[i].store(true, std::memory_order_relaxed);
    }
    mark(t1, rc == qeld::kOk);
  }
  // Up as the pollers mark On Line: the mode read and the last read succeeded in time.
  out.up = (s.online.load(std::memory_order_relaxed) & bit) != 0;
  return out;
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
  std::optional<qeld::_DS_INFO> identity;
  Clock::time_point identity_at{};
  std::shared_ptr<const ProbeOutcome> last;
  Clock::time_point last_at{};
};

Prober::Prober(ProberOptions options, const std::vector<ServerListEntry>& listed,
               std::function<bool(uint32_t)> allowed)
    : options_(options), allowed_(std::move(allowed)) {
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

std::optional<qeld::_DS_INFO> Prober::search(uint32_t address, Clock::time_point deadline,
                                             int& code) {
  // A directed search of its own, not search_servers: the library lock would make one
  // silent target hold up the searches of every other scrape.
  const int left = ms_left(deadline);
  qeld::TimeoutBlock tb;
  tb.timeout_ms = static_cast<uint32_t>(std::max(1, std::min(options_.try_ms, left)));
  tb.attempts = std::clamp(left / static_cast<int>(tb.timeout_ms), 1, 2);
  std::vector<qeld::_DS_INFO> kept;
  // Settled as the search-by-IP dialog decides: one reply, or two for the two-reply models.
  const auto settled = [&kept] {
    return !kept.empty() && (!expects_two_replies(kept[0].model_id) || kept.size() >= 2);
  };
  const int rc = qeld::run_search(
      address,
      [&](const qeld::_DS_INFO* reply) -> int {
        if (cancelled_.load(std::memory_order_relaxed) || ms_left(deadline) == 0) return 0;
        if (!reply) return 1;
        if (qeld::find_model(reply->model_key, reply->model_id) >= 0) kept.push_back(*reply);
        return settled() ? 0 : 1;
      },
      tb);
  code = qeld::map_result_code(rc < 0 ? rc : qeld::kOk);
  if (kept.empty()) return std::nullopt;
  const qeld::_DS_INFO* chosen = &kept[0];
  // Of a two-reply model's answers, the one naming a second LAN is preferred.
  if (expects_two_replies(chosen->model_id) && !has_mac(chosen->mac2) && kept.size() >= 2)
    chosen = &kept[1];
  return *chosen;
}

std::shared_ptr<ProbeOutcome> Prober::run_probe(Target& t, uint32_t target, uint32_t lan2,
                                                Clock::time_point deadline) {
  const auto start = Clock::now();
  auto out = std::make_shared<ProbeOutcome>();
  out->lan2_requested = lan2 != 0;
  out->mode.fill(-1);

  // The search gets at most half of the time, so a poll always has some left.
  const auto search_deadline = start + (deadline - start) / 2;
  std::optional<qeld::_DS_INFO> identity;
  if (t.identity && start - t.identity_at < std::chrono::seconds(options_.identity_ttl_s))
    identity = t.identity;
  int search_code = qeld::kOk;
  if (!identity) {
    std::optional<qeld::_DS_INFO> lan1_reply = search(target, search_deadline, search_code);
    if (lan2 && !cancelled_.load()) {
      int code2 = qeld::kOk;
      std::optional<qeld::_DS_INFO> lan2_reply;
      // A reply that names its second LAN needs no second search.
      if (!lan1_reply || !has_mac(lan1_reply->mac2))
        lan2_reply = search(lan2, search_deadline, code2);
      if (code2 == qeld::kPubSocket) search_code = code2;
      identity = merge_lan_replies(lan1_reply, lan2_reply, target, lan2);
    } else {
      identity = lan1_reply;
    }
    if (!identity) {
      // A listed server keeps its identity from the file while it is silent.
      const auto it = listed_.find(target);
      if (it != listed_.end()) {
        identity = it->second;
        if (lan2 && has_mac(identity->mac2)) identity->ip2 = lan2;
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
  qeld::_DS_INFO id = *identity;
  // A second LAN that the device reports about itself is sent to only when allowed.
  const bool lan2_allowed = !has_mac(id.mac2) || id.ip2 == lan2 || allowed_(id.ip2);
  if (!lan2_allowed) std::fill(id.mac2, id.mac2 + 6, 0);
  out->identity = id;
  out->model = qeld::model_name(id.model_key, id.model_id);
  out->text_set = uses_mode_set_a(id.model_id) ? 'A' : 'B';

  std::shared_ptr<_SVRINFO> rec = ds_list().make_server_record(id);
  rec->monitoring = 1;
  out->port_count = rec->port_count;
  out->dual_lan = rec->dual_lan != 0;
  const int try_ms = options_.try_ms;
  // Both LANs at once, as their two pollers would be.
  std::array<std::atomic<bool>, kMaxPorts> conn_ok{};
  std::thread lan2_reader;
  if (rec->dual_lan)
    lan2_reader = std::thread(
        [&] { out->lan[1] = poll_lan(*rec, 1, deadline, try_ms, cancelled_, conn_ok); });
  out->lan[0] = poll_lan(*rec, 0, deadline, try_ms, cancelled_, conn_ok);
  if (lan2_reader.joinable()) lan2_reader.join();
  if (rec->handle1 >= 0) qeld::close_handle(rec->handle1);
  if (rec->dual_lan && rec->handle2 >= 0) qeld::close_handle(rec->handle2);

  const bool any = out->lan[0].up || out->lan[1].up;
  out->ports_known = out->lan[0].modes_result == qeld::kOk || out->lan[1].modes_result == qeld::kOk;
  const int supported = supported_mode(id.model_id);
  for (int i = 0; i < out->port_count && i < kMaxPorts; ++i) {
    out->mode[i] = rec->mode_at(i);
    if (out->ports_known && out->mode[i] == supported && conn_ok[i].load()) {
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
