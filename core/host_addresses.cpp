// The loopback-only check over the library's address snapshot.
#include "core/host_addresses.h"

#include <arpa/inet.h>

namespace tavrix {

bool only_loopback(const qeld::AddressList& list) {
  for (int i = 0; i < list.count && i < qeld::kMaxLocalAddresses; ++i)
    if ((ntohl(list.addr[i]) >> 24) != 127) return false;
  return true;
}

bool host_has_only_loopback() {
  qeld::AddressList list;
  qeld::refresh_local_addresses(list);
  return only_loopback(list);
}

}  // namespace tavrix
