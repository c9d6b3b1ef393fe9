// The fixture of the fault scenarios: a private network namespace (when it can be
// made), the in-process simulator on its loopback, the library pointed at it, the real
// server list with its pollers, and a sampler of a server's online bit.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "core/server_list.h"
#include "faults/fault_net.h"
#include "qeld/library.h"
#include "qeld/model_map.h"
#include "support/device_identity.h"
#include "support/loopback_sim.h"
#include "support/qeld_loopback.h"

namespace tavrix_faults {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The program's own per-query limits (device handle defaults): 5 sends 1000 ms apart.
inline constexpr auto kQueryWorst = 5s;

template <class Pred>
bool eventually(Pred p, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!p()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

using tavrix_test::reply_of;

inline std::string ip_str(uint32_t ip) {
  in_addr a{};
  a.s_addr = ip;
  return inet_ntoa(a);
}

// Fraction of samples in which a server's LAN1 bit was set, over a span.
inline double online_fraction(const tavrix::ServerRecord& s, std::chrono::milliseconds span) {
  int on = 0, all = 0;
  const auto end = Clock::now() + span;
  while (Clock::now() < end) {
    on += (s.online.load(std::memory_order_relaxed) & 1) ? 1 : 0;
    ++all;
    std::this_thread::sleep_for(20ms);
  }
  return all ? double(on) / all : 0.0;
}

class FaultTest : public ::testing::Test {
 protected:
  static constexpr uint16_t kModel = 0x2613;  // text set A: "Redundant COM" is 15

  // need_namespace: the scenario changes the network (drops, link down) and must not run
  // outside a private namespace; otherwise it runs on plain loopback when none can be made.
  void enter(bool need_namespace) {
    why_ = enter_private_network();
    in_private_ = why_.empty();
    if (!in_private_ && need_namespace) GTEST_SKIP() << why_;
    qeld::TModelEntry e;
    e.model_id = kModel;
    e.attributes[2] = qeld::kAttrModeSetA;
    e.port_count = 2;
    std::strncpy(e.name, "Fault rig", sizeof e.name - 1);
    qeld::set_model_map({e});
  }
  void TearDown() override {
    list_.reset();  // joins every poller before the handles go
    for (int h = 0; h < qeld::kMaxHandles; ++h) qeld::close_handle(h);
    lib_.reset();
    sim_.reset();
    qeld::clear_model_map();
    if (in_private_) clear_drops();  // never outside the private namespace
  }

  void start_sim(devsim::Fleet fleet) {
    sim_ = std::make_unique<tavrix_test::LoopbackSim>(std::move(fleet));
    lib_ = std::make_unique<tavrix_test::LoopbackLibrary>(*sim_);
  }
  // One device with two ports in "Redundant COM", each with its own connection record.
  void start_one_device() {
    devsim::Fleet fleet;
    fleet.devices.push_back(tavrix_test::loopback_device(0, 2, 15));
    start_sim(fleet);
    for (int port = 1; port <= 2; ++port)
      sim_->sim().set_connection(0, port, 1, 1, 4,
                                 inet_addr("192.0.2.100") + htonl(uint32_t(port)));
  }
  std::shared_ptr<tavrix::ServerRecord> monitor_device(int n) {
    auto rec = list_->make_server_record(reply_of(sim_->sim().device(std::size_t(n))));
    EXPECT_EQ(list_->add_server(rec), 1);
    const int index = list_->server_count() - 1;
    rec->monitoring = 1;
    list_->start_poller(index, 0);
    return rec;
  }
  std::string device_ip(int n) const { return ip_str(tavrix_test::LoopbackSim::device_ip(n)); }

  std::string why_;  // why no private namespace could be made
  bool in_private_ = false;
  std::unique_ptr<tavrix_test::LoopbackSim> sim_;
  std::unique_ptr<tavrix_test::LoopbackLibrary> lib_;
  std::unique_ptr<tavrix::ServerList> list_ = std::make_unique<tavrix::ServerList>();
};

}  // namespace tavrix_faults
