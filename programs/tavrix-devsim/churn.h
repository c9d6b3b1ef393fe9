// A seeded, timed churn over a whole fleet for long soak runs: connections changing
// state and peer, ports changing mode, devices falling silent, one LAN of a dual-LAN
// device going down, answers late beyond the in-time limit, loss bursts, duplicated
// replies. The plan is a pure function of the fleet and the options; the player applies
// it to a running simulator and writes every state it held, with its begin and end
// time, as JSON Lines (the ground truth a soak compares the monitor's events against).
#pragma once

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "fleet.h"

namespace devsim {

class Simulator;

struct ChurnOptions {
  uint64_t seed = 1;
  // Every state of a device is held at least this long (seconds): at least two refresh
  // periods plus a query's time-out, so that a poller sees it.
  double hold = 15;
  double duration = 3600;  // seconds of plan
  // Changes started per second over the whole fleet; each device still keeps `hold`.
  double rate = 2;
  int late_ms = 2600;  // reply delay of a late window: beyond the 1500 ms in-time limit
  double loss = 0.3;   // reply loss in a loss burst
};

enum class ChurnKind {
  kConnection,  // one connection of a Redundant COM port: state and peer
  kMode,        // a port leaves Redundant COM for another mode, or comes back
  kSilent,      // the device answers nothing for [at, until)
  kLanDown,     // one LAN of a dual-LAN device answers nothing for [at, until)
  kLate,        // every answer delayed by late_ms for [at, until)
  kLoss,        // a share of the answers lost for [at, until)
  kDuplicate,   // every answer sent three times for [at, until): must change nothing
};
const char* churn_kind_name(ChurnKind kind);

struct ChurnStep {
  double at = 0;  // seconds after start
  std::size_t device = 0;
  ChurnKind kind = ChurnKind::kConnection;
  int port = 0;  // 1-based (connection, mode)
  int conn = 0;  // 1..4 (connection)
  int lan = 0;   // 1 or 2 (connection, LAN down)
  int mode = 0;
  uint8_t state = 0;
  uint32_t peer = 0;  // network byte order
  double until = 0;   // end of a fault window
};

// The steps in time order. Per device no two steps are closer than `hold`, and a fault
// window lasts at least `hold` and is followed by `hold` without another step, so every
// state, the ones before and after a fault included, is held at least `hold`.
// Connections change only on ports in Redundant COM, so a poller can see them.
std::vector<ChurnStep> plan_churn(const Fleet& fleet, const ChurnOptions& options);

// Plays a plan on a started simulator in real time, writing the ground truth to `truth`
// (one JSON object a line, wall-clock milliseconds since the Unix epoch):
//   {"kind":"mode","server":IP1,"port":P,"value":M,"begin":T0,"end":T1}
//   {"kind":"connection","server":IP1,"port":P,"lan":L,"connection":C,"state":S,"peer":IP,"begin":..,"end":..}
//   {"kind":"fault","server":IP1,"fault":"silent"|"lan_down"|"late"|"loss"|"duplicate","lan":L,"begin":..,"end":..}
// States still held when `stop` is set end at that moment. Returns when stop is set.
class ChurnPlayer {
 public:
  ChurnPlayer(Simulator& sim, std::vector<ChurnStep> plan, ChurnOptions options,
              std::ostream& truth);
  void run(const std::atomic<bool>& stop);

 private:
  Simulator& sim_;
  std::vector<ChurnStep> plan_;
  ChurnOptions options_;
  std::ostream& truth_;
};

}  // namespace devsim
