// The owned device handle: open, move, close once.
#include "core/device_handle.h"

#include <utility>

#include "qeld/library.h"

namespace tavrix::core {

DeviceHandle DeviceHandle::open(const qeld::DeviceIdentity& reply) {
  DeviceHandle h;
  int id = -1;
  const int rc = qeld::open_handle(&reply, &id);
  if (rc == 1) {
    h.id_ = id;
    h.serial_ = qeld::handle_serial(id);
  } else {
    h.id_ = id < 0 ? id : rc;  // a failed open leaves a negative value
  }
  return h;
}

DeviceHandle::DeviceHandle(DeviceHandle&& other) noexcept
    : id_(std::exchange(other.id_, -1)), serial_(std::exchange(other.serial_, 0)) {}

DeviceHandle& DeviceHandle::operator=(DeviceHandle&& other) noexcept {
  if (this != &other) {
    close();
    id_ = std::exchange(other.id_, -1);
    serial_ = std::exchange(other.serial_, 0);
  }
  return *this;
}

void DeviceHandle::close() {
  if (serial_ != 0) qeld::close_handle_opened_as(id_, serial_);
  serial_ = 0;
  if (id_ >= 0) id_ = -1;
}

}  // namespace tavrix::core
