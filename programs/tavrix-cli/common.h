// Pieces every tavrix-cli command shares: exit codes, address checks, the hidden lab
// aids, the library start, the interrupt flag, timestamps and the search limits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/address_text.h"
#include "core/clock.h"
#include "core/find_server.h"
#include "core/outcome.h"
#include "core/poll_cycle.h"
#include "core/server_list.h"
#include "core/version.h"
#include "qeld/ds_info.h"

namespace tavrix::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitNone = 1;   // nothing found / server not answering
inline constexpr int kExitUsage = 2;  // bad arguments, socket or library failure

using tavrix::kVersionText;

// Test and lab aids shared by every command (hidden from --help).
struct LabOptions {
  std::string device_ports;                  // "P4800,P1029"
  std::vector<std::string> local_addresses;  // replaces the host's interface list
};

using tavrix::parse_ipv4;
// The search-by-IP rule: the last octet must be neither 0 nor 255.
bool valid_search_address(uint32_t ip);
// Parses and checks a device address (network byte order).
Outcome<uint32_t> check_device_address(const std::string& text);
// Applies the lab aids to the library.
Done apply_lab_options(const LabOptions& lab);
// Starts the library (and with it the model map); a map that could not be loaded is a
// failure too, its reason naming every file looked for.
Done start_library();
// Empty when the last model-map load gave models, else a one-line reason naming the
// files looked for and why each gave nothing.
std::string model_map_missing();

// SIGINT / SIGTERM set a flag that every loop of the commands polls.
void install_interrupt_handlers();
bool interrupted();

using tavrix::steady_ms;
using tavrix::timestamp_now;
using tavrix::timestamp_text;
using tavrix::wall_ms;

// The search limits of a command: `timeout_seconds` quiet waits of a second, ended
// early by an interrupt.
core::SearchLimits search_limits(int timeout_seconds);

}  // namespace tavrix::cli
