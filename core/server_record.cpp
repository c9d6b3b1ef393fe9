// The server record's accessors: whole connection records and their fields.
#include "core/server_record.h"

#include <cstring>

#include "core/address_text.h"
#include "qeld/model_map.h"

tavrix::ServerRecord::ServerRecord() {
  for (auto& m : mode) m.store(-1, std::memory_order_relaxed);
  for (auto& rec : conn)
    for (auto& b : rec) b.store(0, std::memory_order_relaxed);
}

void tavrix::ServerRecord::store_conn(int i, const uint8_t* record) {
  for (int k = 0; k < tavrix::kConnRecordBytes; ++k)
    conn[i][k].store(record[k], std::memory_order_relaxed);
}

void tavrix::ServerRecord::load_conn(int i, uint8_t* record) const {
  for (int k = 0; k < tavrix::kConnRecordBytes; ++k)
    record[k] = conn[i][k].load(std::memory_order_relaxed);
}

uint32_t tavrix::ServerRecord::conn_peer(int i, int n, int lan) const {
  const int at = 8 * (n - 1) + 4 * lan;
  uint8_t b[4];
  for (int k = 0; k < 4; ++k) b[k] = conn[i][at + k].load(std::memory_order_relaxed);
  uint32_t ip;
  std::memcpy(&ip, b, 4);  // keep the record's byte order: network order
  return ip;
}

uint8_t tavrix::ServerRecord::conn_state(int i, int n, int lan) const {
  return conn[i][64 + 2 * (n - 1) + lan].load(std::memory_order_relaxed);
}

namespace tavrix {

std::shared_ptr<tavrix::ServerRecord> make_server_record(const qeld::DeviceIdentity& reply_in) {
  auto rec = std::make_shared<tavrix::ServerRecord>();
  qeld::DeviceIdentity reply = reply_in;
  rec->model_key = reply.model_key;
  rec->model_id = reply.model_id;
  rec->ip1 = reply.ip1;
  rec->ip2 = reply.ip2;
  std::memcpy(rec->mac1, reply.mac1, 6);
  std::memcpy(rec->mac2, reply.mac2, 6);
  uint32_t ports = qeld::model_port_count(reply.model_key, reply.model_id);
  rec->port_count = static_cast<int>(ports > kMaxPorts ? kMaxPorts : ports);
  rec->dual_lan = has_mac(reply.mac2) ? 1 : 0;

  qeld::DeviceIdentity lan2 = reply;
  // A handle's commands go to its reply's ip2: here the first LAN's address.
  reply.ip2 = reply.ip1;
  std::memcpy(reply.mac2, reply.mac1, 6);
  rec->handle1 = core::DeviceHandle::open(reply);
  if (rec->dual_lan) {
    lan2.ip1 = lan2.ip2;
    std::memcpy(lan2.mac1, lan2.mac2, 6);
    rec->handle2 = core::DeviceHandle::open(lan2);
  }
  return rec;
}

qeld::DeviceIdentity identity_of(const tavrix::ServerRecord& rec) {
  qeld::DeviceIdentity id;
  id.model_key = rec.model_key;
  id.model_id = rec.model_id;
  id.ip1 = rec.ip1;
  id.ip2 = rec.ip2;
  std::memcpy(id.mac1, rec.mac1, 6);
  std::memcpy(id.mac2, rec.mac2, 6);
  return id;
}

}  // namespace tavrix
