// The kernel's word that the host's IPv4 addresses may have changed: an rtnetlink
// subscription to address and link notifications whose only output is a generation
// number, so a kept socket set knows when to list the addresses again without listing them.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

namespace qeld {

class AddressWatch {
 public:
  // Subscribes in the calling thread's network namespace. rcvbuf_bytes > 0 asks for that
  // receive buffer instead of the default one.
  explicit AddressWatch(int rcvbuf_bytes = 0);
  ~AddressWatch();
  AddressWatch(const AddressWatch&) = delete;
  AddressWatch& operator=(const AddressWatch&) = delete;

  // False when the subscription could not be made; generation() then never changes.
  bool is_open() const { return fd_ >= 0; }
  // Takes every notification waiting, without blocking, and returns the generation: it
  // rises when any was taken, and when the kernel had to drop some (ENOBUFS), since a
  // dropped one may have been a change. A notification queued before the call is counted.
  // The first overflow of a watch is said in the log.
  uint64_t generation();
  // How often the kernel dropped notifications for want of room.
  uint64_t overflows();

 private:
  int fd_ = -1;
  // Guards generation_ and overflows_ and makes "read what is waiting, then count" one
  // step, so no caller returns while another has taken a notification it has not counted.
  // Taken by every caller of generation(): the pollers before each query.
  std::mutex mu_;
  uint64_t generation_ = 0;
  uint64_t overflows_ = 0;
};

// The watch of the calling thread's network namespace, shared by all its kept socket
// sets and closed when the last of them lets go. nullptr when none can be opened: the
// caller must then list the addresses before every use, and the log says so once (again
// only after an opening has worked in between).
std::shared_ptr<AddressWatch> address_watch_here();

// Makes every later opening in address_watch_here fail (true) or work again (false).
void set_address_watch_failure(bool fail);

}  // namespace qeld
