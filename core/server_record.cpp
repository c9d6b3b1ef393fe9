// The server record's accessors: whole connection records and their fields.
#include "core/server_record.h"

#include <cstring>

_SVRINFO::_SVRINFO() {
  for (auto& m : mode) m.store(-1, std::memory_order_relaxed);
  for (auto& rec : conn)
    for (auto& b : rec) b.store(0, std::memory_order_relaxed);
}

void _SVRINFO::store_conn(int i, const uint8_t* record) {
  for (int k = 0; k < tavrix::kConnRecordBytes; ++k)
    conn[i][k].store(record[k], std::memory_order_relaxed);
}

void _SVRINFO::load_conn(int i, uint8_t* record) const {
  for (int k = 0; k < tavrix::kConnRecordBytes; ++k)
    record[k] = conn[i][k].load(std::memory_order_relaxed);
}

uint32_t _SVRINFO::conn_peer(int i, int n, int lan) const {
  const int at = 8 * (n - 1) + 4 * lan;
  uint8_t b[4];
  for (int k = 0; k < 4; ++k) b[k] = conn[i][at + k].load(std::memory_order_relaxed);
  uint32_t ip;
  std::memcpy(&ip, b, 4);  // keep the record's byte order: network order
  return ip;
}

uint8_t _SVRINFO::conn_state(int i, int n, int lan) const {
  return conn[i][64 + 2 * (n - 1) + lan].load(std::memory_order_relaxed);
}
