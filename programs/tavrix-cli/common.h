// Pieces every tavrix-cli command shares: exit codes, address checks, the hidden lab
// aids, the library start, the interrupt flag, timestamps, finding one server by a
// directed search and polling a server record once as a poller's cycle does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/server_list.h"
#include "qeld/ds_info.h"

namespace tavrix::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitNone = 1;   // nothing found / server not answering
inline constexpr int kExitUsage = 2;  // bad arguments, socket or library failure

inline constexpr const char* kVersionText = "1.1 Build 07101915";
inline constexpr int kInTimeMs = 1500;  // a poll slower than this counts as Off Line

// Test and lab aids shared by every command (hidden from --help).
struct LabOptions {
  std::string device_ports;                  // "P4800,P1029"
  std::vector<std::string> local_addresses;  // replaces the host's interface list
};

// Strict dotted-quad IPv4 text to network byte order; nullopt when it does not parse.
std::optional<uint32_t> parse_ipv4(const std::string& text);
// The search-by-IP rule: the last octet must be neither 0 nor 255.
bool valid_search_address(uint32_t ip);
// Parses and checks a device address; empty on success, else a one-line reason.
std::string check_device_address(const std::string& text, uint32_t& out);
// Applies the lab aids to the library; empty on success, else a one-line reason.
std::string apply_lab_options(const LabOptions& lab);
// Starts the library (and with it the model map); empty on success, else the reason.
std::string start_library();

// SIGINT / SIGTERM set a flag that every loop of the commands polls.
void install_interrupt_handlers();
bool interrupted();

// Wall-clock time as ISO 8601 UTC with milliseconds, for timestamped lines.
std::string timestamp_now();
// The same text for a time in ms since the Unix epoch.
std::string timestamp_text(int64_t epoch_ms);
// Wall-clock ms since the Unix epoch.
int64_t wall_ms();
// Milliseconds on the steady clock, for elapsed times.
uint64_t steady_ms();

// Outcome of a directed search for one server.
struct FindResult {
  int code = 0;                         // search_servers' public code
  std::optional<qeld::_DS_INFO> reply;  // the reply chosen as the search-by-IP dialog chooses
};
// Directed search at `address` with the search-by-IP callback, `timeout_seconds` quiet
// rounds. Ends early once the reply is settled (one reply, or two for the models that
// send two). Uses and clears the result list of the global TDsList.
FindResult find_server(uint32_t address, int timeout_seconds);

// One LAN's part of a poll cycle, as a poller runs it.
struct LanPoll {
  int modes_result = 0;     // query_port_modes' public code
  uint32_t elapsed_ms = 0;  // of the mode read
  bool in_time = false;     // the mode read took at most 1500 ms
  bool answered = false;    // the mode read and the last read succeeded in time
};
// Runs one poll cycle over `lan` (0 or 1) on the record: the mode read, then one
// connection read per port in the supported mode. Writes `mode`, `conn` and this
// LAN's bit of `online` as the poller does.
LanPoll poll_lan_once(_SVRINFO& server, int lan);

// Closes a record's handles.
void close_handles(const _SVRINFO& server);

}  // namespace tavrix::cli
