// What the model map says about a model, as the program logic asks it: the text
// set of its modes, whether a broadcast reply must carry a second MAC, and whether
// the model answers a directed search twice.
#pragma once

#include <cstdint>

#include "qeld/ds_info.h"

namespace tavrix {

// Each scans every map entry and compares the model id only.
bool uses_mode_set_a(uint16_t model_id);
bool requires_second_mac(const qeld::DeviceIdentity& reply);
bool expects_two_replies(uint16_t model_id);

}  // namespace tavrix
