// The polling thread's loop: mode read, connection reads for "Redundant COM"
// ports, in-time marks, the pause, all through one kept socket set. A cycle allocates nothing.
#include "core/poller.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <utility>

#include "core/model_rules.h"
#include "qeld/query.h"
#include "qeld/result_codes.h"

namespace tavrix {

uint32_t tick_ms() {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<uint32_t>(ms.count());
}

bool within_limit(uint32_t t0, uint32_t now) {
  return static_cast<uint32_t>(now - t0) <= kInTimeLimitMs;
}

int supported_mode(uint16_t model_id) {
  return uses_mode_set_a(model_id) ? 15 : 22;
}

}  // namespace tavrix

TUpdateThread::TUpdateThread(TPollerHost& host, std::shared_ptr<_SVRINFO> record, int server_index,
                             int lan)
    : server_index(server_index), lan(lan), host_(host), record_(std::move(record)) {}

TUpdateThread::~TUpdateThread() {
  request_stop();
  join();
}

void TUpdateThread::start() {
  thread_ = std::thread([this] { Execute(); });
}

void TUpdateThread::request_stop() {
  stop.store(1, std::memory_order_relaxed);
  host_.wake_pollers();
}

void TUpdateThread::join() {
  if (thread_.joinable()) thread_.join();
}

bool TUpdateThread::stop_requested() const {
  return stop.load(std::memory_order_relaxed) != 0 || host_.stop_all();
}

void TUpdateThread::mark_in_time(uint32_t t0, bool succeeded) {
  const int bit = 1 << lan;
  // Only an answer counts: a query that failed fast (a dead handle, a socket error)
  // must not make the server look reachable.
  if (succeeded && tavrix::within_limit(t0, tavrix::tick_ms()))
    record_->online.fetch_or(bit, std::memory_order_relaxed);
  else
    record_->online.fetch_and(~bit, std::memory_order_relaxed);
}

void TUpdateThread::Execute() {
  // The running-poller count was raised by start_poller, before this thread existed,
  // so a waiter never misses a poller that has not yet reached its loop.
  _SVRINFO& rec = *record_;
  const int handle = lan == 0 ? rec.handle1 : rec.handle2;
  const int supported = tavrix::supported_mode(rec.model_id);
  const int ports = rec.port_count < tavrix::kMaxPorts ? rec.port_count : tavrix::kMaxPorts;
  // Marks entries that the reply did not fill; real codes are signed bytes.
  constexpr int32_t kNoCode = INT32_MIN;
  uint8_t record[tavrix::kConnRecordBytes];
  // Kept for the whole run: a socket set per query cost more than the exchange itself.
  qeld::QueryChannel channel;
  // A stop ends a query at its next resend, not after all of its attempts.
  channel.set_stop_check(
      [](const void* self) { return static_cast<const TUpdateThread*>(self)->stop_requested(); },
      this);

  while (!stop_requested()) {
    uint32_t t0 = tavrix::tick_ms();
    int32_t modes[tavrix::kMaxPorts];
    for (int32_t& m : modes) m = kNoCode;
    int rc = qeld::query_port_modes(channel, handle, 0, modes);
    mark_in_time(t0, rc == qeld::kOk);
    if (rc == qeld::kOk) {
      for (int i = 0; i < tavrix::kMaxPorts; ++i)
        if (modes[i] != kNoCode) rec.mode[i].store(modes[i], std::memory_order_relaxed);
    }

    bool leave = false;
    for (int i = 0; i < ports; ++i) {
      if (stop_requested()) {
        leave = true;
        break;
      }
      t0 = tavrix::tick_ms();
      if (rec.mode_at(i) == supported) {
        rc = qeld::query_port_connections(channel, handle, i + 1, record);
        if (rc == qeld::kOk) rec.store_conn(i, record);
        mark_in_time(t0, rc == qeld::kOk);
      }
    }
    if (leave || stop_requested()) break;

    // Never below a second: a zero pause would turn the loop into a flood of requests.
    const int seconds = std::clamp(host_.refresh_seconds(), 1, 99);
    if (host_.pause(stop, seconds * 1000)) break;
  }

  channel.close();  // before the count drops, so a waiter for the count sees the sockets gone
  rec.online.store(0, std::memory_order_relaxed);
  ended_.store(true, std::memory_order_release);
  host_.poller_leave();
}
