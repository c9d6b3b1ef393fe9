// What changed on one server between two looks at its record: a LAN going On Line or
// Off Line, a port's mode, a connection's state or peer. `tavrix-cli watch` and the
// window's Events tab both feed their samples through it, so they report the same events.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/port_texts.h"
#include "core/server_record.h"

namespace tavrix {

// One look at a server record, with the texts the port table would show.
struct ServerSnapshot {
  int online = 0;  // bit 0 LAN1, bit 1 LAN2
  int lans = 1;    // 2 for a dual-LAN server
  std::vector<PortTexts> ports;
};
ServerSnapshot take_snapshot(const tavrix::ServerRecord& server);

enum class EventKind : uint8_t { kLan, kMode, kConnection };

struct ChangeEvent {
  int64_t time_ms = 0;  // wall clock, ms since the Unix epoch
  EventKind kind = EventKind::kLan;
  int lan = 0;         // 1 or 2 (LAN, connection)
  int port = 0;        // 1-based (mode, connection)
  int connection = 0;  // 1..4
  // The texts before and after: "On Line"/"Off Line", a mode name, a state text or a
  // connected peer's address, as the port table shows them.
  std::string value, previous;
  int mode_code = -1, previous_code = -1;  // mode events
};

// Mode and connection changes between two port tables of one server, in port order. A
// connection is compared only while its port is in Redundant COM in both, so a port
// entering the mode is one mode event rather than eight connection events.
std::vector<ChangeEvent> diff_ports(const std::vector<PortTexts>& before,
                                    const std::vector<PortTexts>& after, int64_t time_ms);

// How many LANs carry at least one connected connection of a Redundant COM port (0..2);
// 0 for a port in another mode.
int lans_up(const PortTexts& port);
// A dual-LAN server's Redundant COM port that is connected on one LAN only: the failure
// the mode exists to reveal. A one-LAN server has no second path to lose.
bool redundancy_lost(const PortTexts& port, bool dual_lan);

// Reports a LAN's On/Off Line change only once `confirm` observations in a row agree.
class OnlineConfirm {
 public:
  OnlineConfirm(bool initial, int confirm)
      : reported_(initial), confirm_(confirm < 1 ? 1 : confirm) {}
  // True when this observation makes the reported state flip (then state() is new).
  bool observe(bool online);
  bool state() const { return reported_; }

 private:
  bool reported_;
  int confirm_;
  int streak_ = 0;  // observations in a row that differ from reported_
};

// Successive snapshots of one server in, its events out: first the LANs (confirmed as
// above), then the ports. The first snapshot is the baseline and yields nothing.
class ChangeDetector {
 public:
  explicit ChangeDetector(int confirm = 1) : confirm_(confirm) {}
  std::vector<ChangeEvent> observe(ServerSnapshot snapshot, int64_t time_ms);
  bool has_baseline() const { return !lans_.empty(); }
  const ServerSnapshot& last() const { return last_; }
  // The reported state of LAN 1 or 2 (false before the baseline or for a missing LAN).
  bool lan_on_line(int lan) const;

 private:
  int confirm_;
  ServerSnapshot last_;
  std::vector<OnlineConfirm> lans_;
};

}  // namespace tavrix
