// Matching an old server list against its replacement by device identity.
#include "core/list_replacement.h"

#include <algorithm>
#include <cstring>

namespace tavrix {

bool same_server(const qeld::DeviceIdentity& a, const qeld::DeviceIdentity& b) {
  return a.model_id == b.model_id && a.ip1 == b.ip1 && a.ip2 == b.ip2 &&
         std::memcmp(a.mac1, b.mac1, 6) == 0 && std::memcmp(a.mac2, b.mac2, 6) == 0;
}

ListReplacement plan_list_replacement(const std::vector<ListedServer>& current,
                                      const std::vector<qeld::DeviceIdentity>& next) {
  ListReplacement plan;
  for (int i = 0; i < static_cast<int>(current.size()); ++i) {
    if (!current[i].monitored) continue;
    const auto found = std::find_if(next.begin(), next.end(), [&](const qeld::DeviceIdentity& n) {
      return same_server(current[i].identity, n);
    });
    if (found == next.end()) {
      plan.dropped_monitored.push_back(i);
      continue;
    }
    const int at = static_cast<int>(found - next.begin());
    // A server ticked twice is resumed once.
    if (std::find(plan.resumable.begin(), plan.resumable.end(), at) == plan.resumable.end())
      plan.resumable.push_back(at);
  }
  std::sort(plan.resumable.begin(), plan.resumable.end());
  return plan;
}

}  // namespace tavrix
