// Finding one server by its address, for the search-by-IP dialog, the command line and
// the exporter alike.
#include "core/find_server.h"

#include <algorithm>
#include <vector>

#include "core/address_text.h"
#include "core/model_rules.h"
#include "qeld/model_map.h"
#include "qeld/result_codes.h"
#include "qeld/search_engine.h"

namespace tavrix::core {

namespace {

int ms_left(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
  return left > 0 ? static_cast<int>(std::min<int64_t>(left, 1 << 30)) : 0;
}

}  // namespace

bool replies_settled(int count, const qeld::DeviceIdentity* first) {
  if (count <= 0 || !first) return false;
  return !expects_two_replies(first->model_id) || count >= 2;
}

const qeld::DeviceIdentity& choose_reply(const qeld::DeviceIdentity& first,
                                         const qeld::DeviceIdentity* second) {
  if (second && expects_two_replies(first.model_id) && !has_mac(first.mac2)) return *second;
  return first;
}

std::optional<qeld::DeviceIdentity> merge_lan_replies(
    const std::optional<qeld::DeviceIdentity>& lan1,
    const std::optional<qeld::DeviceIdentity>& lan2, uint32_t lan1_address, uint32_t lan2_address) {
  if (lan1) {
    qeld::DeviceIdentity merged = *lan1;
    if (lan2 && !has_mac(merged.mac2)) std::copy(lan2->mac1, lan2->mac1 + 6, merged.mac2);
    // The second handle must talk to the address named for LAN2.
    if (has_mac(merged.mac2)) merged.ip2 = lan2_address;
    return merged;
  }
  if (!lan2) return std::nullopt;
  qeld::DeviceIdentity merged = *lan2;
  if (!has_mac(merged.mac2)) {
    // A one-address reply from LAN2 names only that port; LAN1's MAC stays unknown.
    std::copy(lan2->mac1, lan2->mac1 + 6, merged.mac2);
    std::fill(merged.mac1, merged.mac1 + 6, 0);
  }
  merged.ip1 = lan1_address;
  merged.ip2 = lan2_address;
  return merged;
}

Outcome<qeld::DeviceIdentity> find_server(uint32_t address, const SearchLimits& limits) {
  qeld::TimeoutBlock tb;
  tb.timeout_ms = static_cast<uint32_t>(std::max(1, limits.wait_ms));
  tb.attempts = std::max(1, limits.attempts);
  if (limits.deadline) {
    const int left = ms_left(*limits.deadline);
    tb.timeout_ms = static_cast<uint32_t>(std::max(1, std::min(limits.wait_ms, left)));
    tb.attempts = std::clamp(left / static_cast<int>(tb.timeout_ms), 1, tb.attempts);
  }
  std::vector<qeld::DeviceIdentity> kept;
  bool settled = false;
  const int rc = qeld::run_search(
      address,
      [&](const qeld::DeviceIdentity* reply) -> int {
        if (limits.cancel && limits.cancel(limits.cancel_arg)) return 0;
        if (limits.deadline && ms_left(*limits.deadline) == 0) return 0;
        if (!reply) return 1;
        if (qeld::find_model(reply->model_key, reply->model_id) >= 0) kept.push_back(*reply);
        settled = replies_settled(static_cast<int>(kept.size()), kept.data());
        return settled ? 0 : 1;
      },
      tb);
  if (!kept.empty()) return choose_reply(kept[0], kept.size() >= 2 ? &kept[1] : nullptr);
  // Ended by us once settled is a search that ran to its end.
  const int code = settled ? qeld::kOk : qeld::map_result_code(rc < 0 ? rc : qeld::kOk);
  if (code == qeld::kPubSocket) return fail("the search sockets could not be opened", code);
  if (code == qeld::kPubStopped) return fail("the search was stopped", code);
  return fail("no server of a known model answered", code == qeld::kOk ? qeld::kPubTimeout : code);
}

Outcome<qeld::DeviceIdentity> find_server(uint32_t lan1, uint32_t lan2,
                                          const SearchLimits& limits) {
  Outcome<qeld::DeviceIdentity> first = find_server(lan1, limits);
  if (lan2 == 0 || (limits.cancel && limits.cancel(limits.cancel_arg))) return first;
  std::optional<qeld::DeviceIdentity> second;
  int second_code = qeld::kOk;
  if (!first || !has_mac(first->mac2)) {
    Outcome<qeld::DeviceIdentity> found = find_server(lan2, limits);
    if (found)
      second = *found;
    else
      second_code = found.code();
  }
  const auto merged =
      merge_lan_replies(first ? std::optional(*first) : std::nullopt, second, lan1, lan2);
  if (merged) return *merged;
  // Neither answered: a socket fault on either side is the one to report.
  return second_code == qeld::kPubSocket
             ? fail("the search sockets could not be opened", second_code)
             : first;
}

}  // namespace tavrix::core
