// One LAN's poll cycle, shared by the pollers, the command line and the exporter.
#include "core/poll_cycle.h"

#include <algorithm>
#include <climits>
#include <thread>

#include "core/clock.h"
#include "core/lan_workers.h"
#include "core/port_texts.h"
#include "qeld/library.h"
#include "qeld/result_codes.h"

namespace tavrix {

bool within_limit(uint32_t t0, uint32_t now) {
  return static_cast<uint32_t>(now - t0) <= kInTimeLimitMs;
}

}  // namespace tavrix

namespace tavrix::core {

namespace {

// Below this a query could not wait for any answer.
constexpr int kLeastUsefulMs = 50;

class Cycle {
 public:
  Cycle(tavrix::ServerRecord& server, int lan, const CycleLimits& limits)
      : s_(server), bit_(1 << lan), handle_(server.handle(lan).id()), limits_(limits) {
    qeld::DeviceIdentity unused;
    if (limits_.deadline) qeld::handle_snapshot(handle_, unused, own_);
  }
  // The handle's own whole time-out, which a deadline may cut; zero without a deadline.
  std::chrono::milliseconds own_time_out() const {
    if (!limits_.deadline) return {};
    return std::chrono::milliseconds(int64_t{std::max(1, own_.attempts)} * own_.timeout_ms);
  }

  // True when the next query may go: not cancelled, and time left before the deadline
  // (its waits then cut to fit).
  bool fit() {
    if (limits_.cancel && limits_.cancel(limits_.cancel_arg)) return false;
    if (!limits_.deadline) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          *limits_.deadline - std::chrono::steady_clock::now())
                          .count();
    if (left < kLeastUsefulMs) return false;
    const int left_ms = static_cast<int>(std::min<int64_t>(left, 1 << 30));
    const int wait = std::clamp(static_cast<int>(own_.timeout_ms), 1, left_ms);
    qeld::handle_set_timeouts(handle_, static_cast<uint32_t>(wait),
                              std::clamp(left_ms / wait, 1, std::max(1, own_.attempts)));
    return true;
  }

  // Only an answer counts: a query that failed fast (a dead handle, a socket error)
  // must not make the server look reachable.
  void mark(uint32_t t0, bool answered) const {
    if (answered && within_limit(t0, tick_ms()))
      s_.online.fetch_or(bit_, std::memory_order_relaxed);
    else
      off_line();
  }
  void off_line() const { s_.online.fetch_and(~bit_, std::memory_order_relaxed); }
  bool up() const { return (s_.online.load(std::memory_order_relaxed) & bit_) != 0; }
  int handle() const { return handle_; }

 private:
  tavrix::ServerRecord& s_;
  const int bit_;
  const int handle_;
  const CycleLimits& limits_;
  qeld::TimeoutBlock own_;  // the handle's own waits, which a deadline cuts
};

}  // namespace

LanCycle poll_lan_cycle(tavrix::ServerRecord& s, int lan, qeld::QueryChannel& channel,
                        const CycleLimits& limits) {
  LanCycle out;
  Cycle cycle(s, lan, limits);
  if (limits.cancel) channel.set_stop_check(limits.cancel, limits.cancel_arg);
  // A late answer to a query that the deadline cut short still comes as late as ever.
  channel.set_least_quiet(cycle.own_time_out());
  const int supported = text_set_for(s.model_id).supported_mode;
  const int ports = std::clamp(s.port_count, 0, kMaxPorts);

  if (!cycle.fit()) {
    cycle.off_line();
    out.cut = true;
    return out;
  }
  // Marks entries that the reply did not fill; real codes are signed bytes.
  constexpr int32_t kNoCode = INT32_MIN;
  int32_t modes[kMaxPorts];
  std::fill(std::begin(modes), std::end(modes), kNoCode);
  const uint32_t t0 = tick_ms();
  out.modes_result = qeld::query_port_modes(channel, cycle.handle(), 0, modes);
  out.elapsed_ms = tick_ms() - t0;
  out.modes_in_time = out.elapsed_ms <= kInTimeLimitMs;
  cycle.mark(t0, out.modes_result == qeld::kOk);
  if (out.modes_result == qeld::kOk)
    for (int i = 0; i < kMaxPorts; ++i)
      if (modes[i] != kNoCode) s.mode[i].store(modes[i], std::memory_order_relaxed);

  uint8_t record[kConnRecordBytes];
  for (int i = 0; i < ports; ++i) {
    if (s.mode_at(i) != supported) continue;
    if (!cycle.fit()) {
      cycle.off_line();
      out.cut = true;
      break;
    }
    const uint32_t t1 = tick_ms();
    const int rc = qeld::query_port_connections(channel, cycle.handle(), i + 1, record);
    if (rc == qeld::kOk) {
      s.store_conn(i, record);
      out.conn_read |= 1u << i;
    }
    cycle.mark(t1, rc == qeld::kOk);
  }
  out.up = cycle.up();
  return out;
}

namespace {

struct LanRun {
  tavrix::ServerRecord& server;
  const CycleLimits& limits;
  LanCycle& out;
  int lan;
  static void run(void* arg) {
    auto* r = static_cast<LanRun*>(arg);
    qeld::QueryChannel channel;
    r->out = poll_lan_cycle(r->server, r->lan, channel, r->limits);
  }
};

}  // namespace

std::array<LanCycle, 2> poll_server_once(tavrix::ServerRecord& server, const CycleLimits& limits,
                                         LanWorkers* workers) {
  std::array<LanCycle, 2> out{};
  LanRun first{server, limits, out[0], 0};
  LanRun second{server, limits, out[1], 1};
  if (!server.dual_lan) {
    LanRun::run(&first);
  } else if (workers) {
    LanWorkers::Job job;
    workers->start(job, LanRun::run, &second);
    LanRun::run(&first);
    workers->wait(job);
  } else {
    std::thread lan2(LanRun::run, &second);
    LanRun::run(&first);
    lan2.join();
  }
  return out;
}

}  // namespace tavrix::core
