// One open device handle of the protocol library, owned: closed when its owner (the
// server record) goes, never by hand.
#pragma once

#include <cstdint>

#include "qeld/ds_info.h"

namespace tavrix::core {

class DeviceHandle {
 public:
  DeviceHandle() = default;
  // Opens a handle whose commands go to `reply`'s ip2. On failure id() is negative (the
  // library's code) and nothing is held.
  static DeviceHandle open(const qeld::DeviceIdentity& reply);
  ~DeviceHandle() { close(); }
  DeviceHandle(DeviceHandle&& other) noexcept;
  DeviceHandle& operator=(DeviceHandle&& other) noexcept;
  DeviceHandle(const DeviceHandle&) = delete;
  DeviceHandle& operator=(const DeviceHandle&) = delete;

  int id() const { return id_; }  // -1 when none was opened
  bool valid() const { return id_ >= 0; }
  // Closes it now (when its LAN goes); a handle already closed by a library stop is
  // left to the slot's next holder.
  void close();

 private:
  int id_ = -1;
  uint64_t serial_ = 0;
};

}  // namespace tavrix::core
