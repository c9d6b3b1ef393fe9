// An in-process simulator on 127.0.0.1 with ephemeral ports for tests, and helpers
// that make loopback devices (ip1 = 127.0.0.2, 127.0.0.3, ...).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "fleet.h"
#include "simulator.h"

namespace tavrix_test {

// A device on loopback: ip1 = 127.0.0.(2 + n), mac1 = 02:54:58:00:00:(2n), unit_id n + 1,
// model 0x2613 with key 1 (TVX-2613R: 4 ports, text set A), `ports` ports in `mode`, both search families, layout 24.
// With `dual`, ip2 = 127.0.1.(2 + n) and mac2 = mac1 with its last bit set.
devsim::Device loopback_device(int n, int ports = 4, int mode = 15, bool dual = false);

// Starts on construction (throws std::runtime_error with the reason when it cannot),
// stops on destruction. A unicast to 127.0.0.1 counts as a broadcast, so a search
// aimed at 127.0.0.1 reaches every device of the fleet.
class LoopbackSim {
 public:
  explicit LoopbackSim(devsim::Fleet fleet, uint64_t seed = 1);
  ~LoopbackSim();
  LoopbackSim(const LoopbackSim&) = delete;
  LoopbackSim& operator=(const LoopbackSim&) = delete;

  uint16_t port_4800() const { return sim_->port_4800(); }
  uint16_t port_1029() const { return sim_->port_1029(); }
  devsim::Simulator& sim() { return *sim_; }
  devsim::Simulator* operator->() { return sim_.get(); }

  // The loopback address of device n as the library stores it (network byte order).
  static uint32_t device_ip(int n);
  static constexpr const char* kAliasText = "127.0.0.1";

 private:
  std::unique_ptr<devsim::Simulator> sim_;
};

}  // namespace tavrix_test
