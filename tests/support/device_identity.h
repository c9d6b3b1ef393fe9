// The identity a search would report for a simulated device: what tests hand to
// make_server_record or write into a server-list file. Header-only.
#pragma once

#include <cstring>

#include "fleet.h"
#include "qeld/ds_info.h"

namespace tavrix_test {

inline qeld::DeviceIdentity reply_of(const devsim::Device& d) {
  qeld::DeviceIdentity r;
  r.model_key = d.model_key;
  r.model_id = d.model_id;
  r.unit_id = d.unit_id;
  r.ip1 = d.ip1;
  r.ip2 = d.ip2 ? d.ip2 : d.ip1;
  std::memcpy(r.mac1, d.mac1.data(), 6);
  std::memcpy(r.mac2, d.mac2.data(), 6);
  return r;
}

}  // namespace tavrix_test
