// One known device server: its identity and its latest poll results (ServerRecord),
// shared by the server list, which owns it, and the pollers, which fill it in.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "core/device_handle.h"
#include "qeld/ds_info.h"

namespace tavrix {
inline constexpr int kMaxPorts = 32;
inline constexpr int kConnRecordBytes = 80;
// The most servers a list holds (the window's tree, the poller slots, the list file).
inline constexpr int kMaxServers = 512;

// Identity fields are fixed once made; the monitoring fields are written by pollers
// while the window thread reads them, hence relaxed atomics (a refresh may show a mix
// of two poll cycles).
struct ServerRecord {
  uint32_t model_key = 0;
  uint16_t model_id = 0;
  uint32_t ip1 = 0, ip2 = 0;  // network byte order
  uint8_t mac1[6] = {}, mac2[6] = {};
  int port_count = 0;  // 0..32
  int dual_lan = 0;
  std::atomic<int> monitoring{0};
  std::atomic<int> online{0};  // bit 0 LAN1, bit 1 LAN2
  // One per LAN, owned: closed when the record goes (after its last poller has let go).
  tavrix::core::DeviceHandle handle1, handle2;
  std::array<std::array<std::atomic<uint8_t>, tavrix::kConnRecordBytes>, tavrix::kMaxPorts> conn{};
  std::array<std::atomic<int>, tavrix::kMaxPorts> mode{};

  ServerRecord();
  // Connection record of port index i (0-based), whole.
  void store_conn(int i, const uint8_t* record);
  void load_conn(int i, uint8_t* record) const;
  // Connection n (1..4) of port index i on lan (0 = LAN1, 1 = LAN2).
  uint32_t conn_peer(int i, int n, int lan) const;  // network byte order
  uint8_t conn_state(int i, int n, int lan) const;
  int mode_at(int i) const { return mode[i].load(std::memory_order_relaxed); }
  const tavrix::core::DeviceHandle& handle(int lan) const { return lan ? handle2 : handle1; }
};

// A record from a search reply: identity, port count, dual-LAN, and handle1 opened on
// the LAN1 address and, when dual-LAN, handle2 on the LAN2 address.
std::shared_ptr<tavrix::ServerRecord> make_server_record(const qeld::DeviceIdentity& reply);

// The identity a record was made from, as far as the record keeps it (no local_ip, no
// unit id): what a server list stores.
qeld::DeviceIdentity identity_of(const tavrix::ServerRecord& rec);
}  // namespace tavrix
