// What a new server list does to the one it replaces: which monitored servers it drops
// and which monitored servers it finds again, matched by identity, so the window can
// ask before dropping and offer to go on monitoring.
#pragma once

#include <vector>

#include "qeld/ds_info.h"

namespace tavrix {

// One device: the same model, addresses and MACs (what a reply says, not how it came).
bool same_server(const qeld::DeviceIdentity& a, const qeld::DeviceIdentity& b);

struct ListedServer {
  qeld::DeviceIdentity identity;
  bool monitored = false;
};

struct ListReplacement {
  std::vector<int> dropped_monitored;  // indices into the current list
  std::vector<int> resumable;          // indices into the new list: monitored before
};

ListReplacement plan_list_replacement(const std::vector<ListedServer>& current,
                                      const std::vector<qeld::DeviceIdentity>& next);

}  // namespace tavrix
