// Model questions answered from the model map.
#include "core/model_rules.h"

#include "qeld/model_map.h"

namespace tavrix {

namespace {
bool model_has_attr(uint16_t model_id, uint8_t bit) {
  const int n = qeld::model_entry_count();
  for (int i = 0; i < n; ++i) {
    const std::optional<qeld::TModelEntry> e = qeld::model_entry(i);
    if (e && e->model_id == model_id && (e->attr_byte() & bit)) return true;
  }
  return false;
}
}  // namespace

bool uses_mode_set_a(uint16_t model_id) {
  return model_has_attr(model_id, qeld::kAttrModeSetA);
}

bool requires_second_mac(const qeld::DeviceIdentity& reply) {
  return model_has_attr(reply.model_id, qeld::kAttrSecondMac);
}

bool expects_two_replies(uint16_t model_id) {
  return model_id == 0x2613 || model_id == 0x2618;
}

}  // namespace tavrix
