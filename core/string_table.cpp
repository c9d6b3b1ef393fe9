// The string table: every user-visible text that the program loads by number.
// A number without a row yields the empty text, which the views rely on for
// codes that have no name.
#include "core/string_table.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "core/version.h"

namespace tavrix {
namespace {

struct StrRow {
  int id;
  std::string_view text;
};

// Sorted by id so that load_str can search it.
constexpr std::array kStrings = std::to_array<StrRow>({
    {kStrIdle, "Idle"},
    {kStrOnLine, "On Line"},
    {kStrOffLine, "Off Line"},
    {kStrExitQuestion, "Are you sure to Exit?"},
    {kStrAlreadyExists, "Already exists in the list!"},
    // Operation modes, set A.
    {kModeBaseA + 0, "Terminal(ASCII)"},
    {kModeBaseA + 1, "Terminal(Binary)"},
    {kModeBaseA + 2, "ASPP"},
    {kModeBaseA + 3, "Printer(RAW)"},
    {kModeBaseA + 4, "SLIP"},
    {kModeBaseA + 5, "SLIPD"},
    {kModeBaseA + 6, "PPP"},
    {kModeBaseA + 7, "PPPD"},
    {kModeBaseA + 8, "Reverse Telnet"},
    {kModeBaseA + 9, "Dynamic"},
    {kModeBaseA + 10, "RAW"},
    {kModeBaseA + 11, "Printer(LPD)"},
    {kModeBaseA + 12, "DRDAS"},
    {kModeBaseA + 13, "Fixtty"},
    {kModeBaseA + 14, "UDP"},
    {kModeBaseA + 15, "Redundant COM"},
    {kModeBaseA + 16, "Disabled"},
    // Operation modes, set B.
    {kModeBaseB + 0, "Pair slave mode"},
    {kModeBaseB + 1, "Pair master mode"},
    {kModeBaseB + 2, "Real COM"},
    {kModeBaseB + 3, "Printer(RAW)"},
    {kModeBaseB + 4, "SLIP"},
    {kModeBaseB + 5, "SLIPD"},
    {kModeBaseB + 6, "PPP"},
    {kModeBaseB + 7, "Disabled"},
    {kModeBaseB + 8, "Reverse Telnet"},
    {kModeBaseB + 9, "Dynamic"},
    {kModeBaseB + 10, "TCP Server"},
    {kModeBaseB + 11, "Printer(LPD)"},
    {kModeBaseB + 12, "Ethernet Modem"},
    {kModeBaseB + 13, "TCP client"},
    {kModeBaseB + 14, "UDP"},
    {kModeBaseB + 15, "PPPD"},
    {kModeBaseB + 16, "Terminal(ASCII)"},
    {kModeBaseB + 17, "Terminal(Binary)"},
    {kModeBaseB + 18, "SSH Server"},
    {kModeBaseB + 19, "SSH Client"},
    {kModeBaseB + 20, "RFC2217"},
    {kModeBaseB + 21, "SMS tunnel"},
    {kModeBaseB + 22, "Redundant COM"},
    {kModeBaseB + 23, "DRDAS Real COM"},
    {kModeBaseB + 24, "DRDAS TCP Server"},
    // Connection states, set A.
    {kStateBaseA + 0, "TCP Closed"},
    {kStateBaseA + 1, "Listen"},
    {kStateBaseA + 2, "SYN Received"},
    {kStateBaseA + 3, "SYN Sent"},
    {kStateBaseA + 4, "TCP connected"},
    {kStateBaseA + 5, "FIN Wait1"},
    {kStateBaseA + 6, "FIN Wait2"},
    {kStateBaseA + 7, "TCP Close Wait"},
    {kStateBaseA + 8, "TCP Closing"},
    {kStateBaseA + 9, "LAST ACK"},
    {kStateBaseA + 10, "TCP Time Wait"},
    // Connection states, set B.
    {kStateBaseB + 0, "TCP Closed"},
    {kStateBaseB + 1, "Listen"},
    {kStateBaseB + 2, "Connecting"},
    {kStateBaseB + 3, "TCP Connected"},
    {kStateBaseB + 4, "TCP Close Wait"},
    {kStateBaseB + 5, "TCP Closing"},
    // About box.
    {kStrProductName, "Tavrix Monitor Utility"},
    {kStrVersion, kVersionText},
    {kStrCopyright, "Copyright (C) Tavrix. All rights reserved."},
});

constexpr bool sorted_unique() {
  for (std::size_t i = 1; i < kStrings.size(); ++i)
    if (kStrings[i - 1].id >= kStrings[i].id) return false;
  return true;
}
static_assert(sorted_unique(), "string table rows must be in ascending id order");

}  // namespace

std::string load_str(int id) {
  auto it = std::lower_bound(kStrings.begin(), kStrings.end(), id,
                             [](const StrRow& row, int key) { return row.id < key; });
  if (it == kStrings.end() || it->id != id) return {};
  return std::string(it->text);
}

}  // namespace tavrix
