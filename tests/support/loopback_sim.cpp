// The in-process loopback simulator used by the library and program-logic tests.
#include "support/loopback_sim.h"

#include <arpa/inet.h>

#include <stdexcept>

namespace tavrix_test {

devsim::Device loopback_device(int n, int ports, int mode, bool dual) {
  devsim::Device d;
  d.name = "lo-" + std::to_string(n);
  d.model_key = 1;
  d.model_id = 0x2613;
  d.unit_id = uint16_t(n + 1);
  d.mac1 = {0x02, 0x54, 0x58, 0x00, uint8_t((2 * n) >> 8), uint8_t(2 * n)};
  d.ip1 = LoopbackSim::device_ip(n);
  if (dual) {
    d.mac2 = d.mac1;
    d.mac2[5] |= 1;
    d.ip2 = htonl(0x7F000100u + 2 + uint32_t(n));
    d.layout_4800 = 40;
  }
  d.ports.resize(std::size_t(ports));
  for (auto& p : d.ports) p.mode = mode;
  return d;
}

uint32_t LoopbackSim::device_ip(int n) { return htonl(0x7F000000u + 2 + uint32_t(n)); }

LoopbackSim::LoopbackSim(devsim::Fleet fleet, uint64_t seed) {
  devsim::SimConfig cfg;
  cfg.bind = "0.0.0.0";  // wildcard, so replies can leave from each device's 127.x address
  cfg.port_4800 = 0;
  cfg.port_1029 = 0;
  cfg.seed = seed;
  cfg.broadcast_alias = kAliasText;
  cfg.loopback_only = true;
  sim_ = std::make_unique<devsim::Simulator>(std::move(fleet), cfg);
  std::string error;
  if (!sim_->start(error)) throw std::runtime_error("loopback simulator: " + error);
}

LoopbackSim::~LoopbackSim() { sim_->stop(); }

}  // namespace tavrix_test
