#include "churn.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <thread>
#include <tuple>

#include "simulator.h"

namespace devsim {

namespace {

// The mode a port takes when it leaves Redundant COM: any other code serves.
constexpr int kOtherMode = 1;
constexpr int kChurnConnections = 4;  // the connections a poller reads and shows

int64_t wall_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

const char* fault_name(ChurnKind k) {
  switch (k) {
    case ChurnKind::kSilent:
      return "silent";
    case ChurnKind::kLanDown:
      return "lan_down";
    case ChurnKind::kLate:
      return "late";
    case ChurnKind::kLoss:
      return "loss";
    case ChurnKind::kDuplicate:
      return "duplicate";
    default:
      return "";
  }
}

bool is_fault(ChurnKind k) {
  return k != ChurnKind::kConnection && k != ChurnKind::kMode;
}

}  // namespace

const char* churn_kind_name(ChurnKind kind) {
  switch (kind) {
    case ChurnKind::kConnection:
      return "connection";
    case ChurnKind::kMode:
      return "mode";
    default:
      return fault_name(kind);
  }
}

std::vector<ChurnStep> plan_churn(const Fleet& fleet, const ChurnOptions& o) {
  std::vector<ChurnStep> plan;
  const std::size_t n = fleet.devices.size();
  if (n == 0 || o.rate <= 0 || o.hold <= 0) return plan;
  std::mt19937_64 rng(o.seed);
  std::vector<Device> now = fleet.devices;  // the state as the plan leaves it
  // The initial state is a state too: the first change comes after `hold`.
  std::vector<double> free_at(n, o.hold);
  std::exponential_distribution<double> gap(o.rate);
  auto pick = [&](std::size_t size) {
    return std::uniform_int_distribution<std::size_t>(0, size - 1)(rng);
  };
  double t = o.hold;
  // Bounded: a plan never holds more than one step per 10 ms of its duration.
  const std::size_t limit = static_cast<std::size_t>(o.duration * 100) + 1;
  while (plan.size() < limit) {
    t += gap(rng);
    if (t >= o.duration) break;
    std::vector<std::size_t> ready;
    for (std::size_t i = 0; i < n; ++i)
      if (free_at[i] <= t && !now[i].ports.empty()) ready.push_back(i);
    if (ready.empty()) continue;
    const std::size_t di = ready[pick(ready.size())];
    Device& d = now[di];
    ChurnStep s;
    s.at = t;
    s.device = di;
    // Half of the changes are connections; faults share the rest with modes.
    const int roll = std::uniform_int_distribution<int>(0, 99)(rng);
    s.kind = roll < 50   ? ChurnKind::kConnection
             : roll < 62 ? ChurnKind::kMode
             : roll < 70 ? ChurnKind::kSilent
             : roll < 78 ? ChurnKind::kLanDown
             : roll < 86 ? ChurnKind::kLate
             : roll < 93 ? ChurnKind::kLoss
                         : ChurnKind::kDuplicate;
    if (s.kind == ChurnKind::kLanDown && !d.ip2) s.kind = ChurnKind::kSilent;
    std::vector<int> redundant;
    for (std::size_t p = 0; p < d.ports.size(); ++p)
      if (d.ports[p].mode == d.redundant_mode()) redundant.push_back(int(p) + 1);
    if (s.kind == ChurnKind::kConnection && redundant.empty()) s.kind = ChurnKind::kMode;

    if (s.kind == ChurnKind::kConnection) {
      s.port = redundant[pick(redundant.size())];
      s.conn = 1 + int(pick(kChurnConnections));
      s.lan = d.ip2 ? 1 + int(pick(2)) : 1;
      LanConn& c = d.ports[std::size_t(s.port - 1)].conns[std::size_t(s.conn - 1)].lan[s.lan - 1];
      const uint32_t own = ntohl(s.lan == 2 ? d.ip2 : d.ip1);
      // A connected peer on the device's own /24 (never itself), Listen or Closed; never
      // the state it has now, so that every step is a change a poller can report.
      for (int guard = 0; guard < 16; ++guard) {
        const int what = std::uniform_int_distribution<int>(0, 2)(rng);
        if (what == 0) {
          uint32_t host = 2 + uint32_t(pick(250));
          if ((own & 0xFFu) == host) host = 254;
          s.state = uint8_t(d.connected_state());
          s.peer = htonl((own & 0xFFFFFF00u) | host);
        } else {
          s.state = uint8_t(what == 1 ? 1 : 0);
          s.peer = 0;
        }
        if (s.state != c.state || s.peer != c.peer) break;
      }
      if (s.state == c.state && s.peer == c.peer) continue;
      c = {s.state, s.peer};
      free_at[di] = t + o.hold;
    } else if (s.kind == ChurnKind::kMode) {
      s.port = 1 + int(pick(d.ports.size()));
      Port& p = d.ports[std::size_t(s.port - 1)];
      s.mode = p.mode == d.redundant_mode() ? kOtherMode : d.redundant_mode();
      p.mode = s.mode;
      free_at[di] = t + o.hold;
    } else {
      s.until = t + o.hold + std::uniform_real_distribution<double>(0, o.hold)(rng);
      if (s.kind == ChurnKind::kLanDown) s.lan = 1 + int(pick(2));
      free_at[di] = s.until + o.hold;
    }
    plan.push_back(s);
  }
  return plan;
}

ChurnPlayer::ChurnPlayer(Simulator& sim, std::vector<ChurnStep> plan, ChurnOptions options,
                         std::ostream& truth)
    : sim_(sim), plan_(std::move(plan)), options_(options), truth_(truth) {}

void ChurnPlayer::run(const std::atomic<bool>& stop) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point t0 = Clock::now();
  const int64_t wall0 = wall_ms();
  auto wall_at = [&] {
    return wall0 + std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
  };

  // Open states: (device, port, conn, lan) -> (state, peer, begin); conn 0 = the mode.
  struct Open {
    int value = 0;
    uint32_t peer = 0;
    int64_t begin = 0;
  };
  std::map<std::tuple<std::size_t, int, int, int>, Open> open;
  std::vector<std::string> server(sim_.device_count());
  for (std::size_t i = 0; i < server.size(); ++i) {
    const Device d = sim_.device(i);
    server[i] = ipv4_text(d.ip1);
    for (std::size_t p = 0; p < d.ports.size(); ++p) {
      open[{i, int(p) + 1, 0, 0}] = {d.ports[p].mode, 0, wall0};
      for (int c = 1; c <= kChurnConnections; ++c)
        for (int lan = 1; lan <= (d.ip2 ? 2 : 1); ++lan) {
          const LanConn& lc = d.ports[p].conns[std::size_t(c - 1)].lan[lan - 1];
          open[{i, int(p) + 1, c, lan}] = {lc.state, lc.peer, wall0};
        }
    }
  }
  auto write_state = [&](const std::tuple<std::size_t, int, int, int>& key, const Open& o,
                         int64_t end) {
    const auto& [dev, port, conn, lan] = key;
    if (conn == 0) {
      truth_ << R"({"kind":"mode","server":")" << server[dev] << R"(","port":)" << port
             << R"(,"value":)" << o.value << R"(,"begin":)" << o.begin << R"(,"end":)" << end
             << "}\n";
    } else {
      truth_ << R"({"kind":"connection","server":")" << server[dev] << R"(","port":)" << port
             << R"(,"lan":)" << lan << R"(,"connection":)" << conn << R"(,"state":)" << o.value
             << R"(,"peer":")" << ipv4_text(o.peer) << R"(","begin":)" << o.begin << R"(,"end":)"
             << end << "}\n";
    }
  };

  // Actions in time order: every step, and the end of every fault window.
  struct Action {
    double at;
    std::size_t step;
    bool end;
  };
  std::vector<Action> actions;
  for (std::size_t i = 0; i < plan_.size(); ++i) {
    actions.push_back({plan_[i].at, i, false});
    if (is_fault(plan_[i].kind)) actions.push_back({plan_[i].until, i, true});
  }
  std::stable_sort(actions.begin(), actions.end(),
                   [](const Action& a, const Action& b) { return a.at < b.at; });
  std::map<std::size_t, int64_t> fault_begin;  // step -> wall time its window began

  auto set_fault = [&](const ChurnStep& s, bool on) {
    sim_.update_device(s.device, [&](Device& d) {
      Faults& f = d.faults;
      switch (s.kind) {
        case ChurnKind::kSilent:
          f.silent = on;
          break;
        case ChurnKind::kLanDown:
          f.silent_lan = on ? s.lan : 0;
          break;
        case ChurnKind::kLate:
          f.delay_min_ms = f.delay_max_ms = on ? options_.late_ms : 0;
          break;
        case ChurnKind::kLoss:
          f.loss = on ? options_.loss : 0;
          break;
        case ChurnKind::kDuplicate:
          f.duplicate = on ? 2 : 0;
          break;
        default:
          break;
      }
    });
  };
  auto write_fault = [&](const ChurnStep& s, int64_t begin, int64_t end) {
    truth_ << R"({"kind":"fault","server":")" << server[s.device] << R"(","fault":")"
           << fault_name(s.kind) << R"(","lan":)" << s.lan << R"(,"begin":)" << begin
           << R"(,"end":)" << end << "}\n";
  };

  std::size_t next = 0;
  while (!stop.load()) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    for (; next < actions.size() && actions[next].at <= elapsed; ++next) {
      const Action& a = actions[next];
      const ChurnStep& s = plan_[a.step];
      const int64_t now = wall_at();
      if (is_fault(s.kind)) {
        set_fault(s, !a.end);
        if (!a.end) {
          fault_begin[a.step] = now;
        } else {
          write_fault(s, fault_begin[a.step], now);
          fault_begin.erase(a.step);
        }
        continue;
      }
      const auto key = s.kind == ChurnKind::kMode
                           ? std::make_tuple(s.device, s.port, 0, 0)
                           : std::make_tuple(s.device, s.port, s.conn, s.lan);
      Open& o = open[key];
      if (s.kind == ChurnKind::kMode) {
        sim_.set_port_mode(s.device, s.port, s.mode);
      } else {
        sim_.set_connection(s.device, s.port, s.conn, s.lan, s.state, s.peer);
      }
      write_state(key, o, now);
      o = {s.kind == ChurnKind::kMode ? s.mode : s.state, s.peer, now};
    }
    truth_.flush();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const int64_t end = wall_at();
  for (const auto& [step, begin] : fault_begin) {
    set_fault(plan_[step], false);
    write_fault(plan_[step], begin, end);
  }
  for (const auto& [key, o] : open) write_state(key, o, end);
  truth_.flush();
}

}  // namespace devsim
