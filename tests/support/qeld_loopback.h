// Points the protocol library at a loopback simulator for the length of a scope:
// device ports moved to the simulator's, host addresses replaced by 127.0.0.1 only,
// so a search never leaves this machine. Header-only: include it only in tests that
// link qeld.
#pragma once

#include <arpa/inet.h>

#include "qeld/library.h"
#include "support/loopback_sim.h"

namespace tavrix_test {

class LoopbackLibrary {
 public:
  explicit LoopbackLibrary(LoopbackSim& sim) {
    qeld::set_device_ports(sim.port_4800(), sim.port_1029());
    qeld::set_address_source([](qeld::AddressList& list) {
      list.count = 1;
      list.addr[0] = htonl(INADDR_LOOPBACK);
      return 1;
    });
  }
  ~LoopbackLibrary() {
    qeld::set_device_ports(qeld::kPort4800, qeld::kPort1029);
    qeld::set_address_source(nullptr);
  }
  LoopbackLibrary(const LoopbackLibrary&) = delete;
  LoopbackLibrary& operator=(const LoopbackLibrary&) = delete;

  // The address to aim a search at so that every device of the fleet answers.
  static uint32_t search_target() { return htonl(INADDR_LOOPBACK); }
};

}  // namespace tavrix_test
