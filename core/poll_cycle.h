// One poll cycle of one LAN of a server: the mode read, then the connection record of
// each port in "Redundant COM", each query marking the LAN On Line when it answered
// within the in-time limit and Off Line otherwise. The pollers run it every period;
// the command line and the exporter run it once.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

#include "core/server_record.h"
#include "qeld/query.h"

namespace tavrix {

inline constexpr uint32_t kInTimeLimitMs = 1500;

// True when now - t0, taken on unsigned 32-bit ticks, is at most the in-time limit.
bool within_limit(uint32_t t0, uint32_t now);

}  // namespace tavrix

namespace tavrix::core {

struct CycleLimits {
  // When set, the cycle ends by then: each query keeps the handle's own waits and
  // attempts as far as they fit in what is left, and at least one wait.
  std::optional<std::chrono::steady_clock::time_point> deadline;
  // When set, asked before each query and by the channel before each resend.
  bool (*cancel)(const void* arg) = nullptr;
  const void* cancel_arg = nullptr;
};

struct LanCycle {
  int modes_result = 0;     // query_port_modes' public code (0 when it was not sent)
  uint32_t elapsed_ms = 0;  // of the mode read
  bool modes_in_time = false;
  // The LAN's On Line bit after the cycle: its last query answered in time.
  bool up = false;
  // A deadline or cancel ended the cycle before its last query. The LAN is then Off
  // Line for this cycle; the modes (when the mode read ran) and the connection records
  // read before the cut are kept in the record, and conn_read says which.
  bool cut = false;
  uint32_t conn_read = 0;  // bit i: port index i's connection record was read now
};

// Runs one cycle on `lan` (0: handle1 and bit 0 of online; 1: handle2 and bit 1). A
// failed mode read does not end the cycle: the connection records are read for the
// modes the record already holds. Allocates nothing.
LanCycle poll_lan_cycle(tavrix::ServerRecord& server, int lan, qeld::QueryChannel& channel,
                        const CycleLimits& limits = {});

class LanWorkers;

// One cycle of each LAN the server has, both at once as their two pollers would run
// them, each through a channel of its own. A LAN the server lacks is left as made. The
// second LAN runs on one of `workers` when given, else on a thread of its own.
std::array<LanCycle, 2> poll_server_once(tavrix::ServerRecord& server, const CycleLimits& limits = {},
                                         LanWorkers* workers = nullptr);

}  // namespace tavrix::core
