// The tavrix-cli commands: their arguments, their entry points and the pure steps
// (check verdict, watch change detection) that tests call directly.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "common.h"
#include "core/change_detector.h"
#include "port_table.h"

namespace tavrix::cli {

// --- search ---------------------------------------------------------------
struct SearchArgs {
  std::string ip;  // empty = broadcast
  int timeout = 5;
  std::string format = "table";
  std::string save_file;  // when set, the servers found are written there as a server-list file
};
int run_search_command(const SearchArgs& args);
// The row texts of one kept reply: no, model, mac1, ip1, mac2, ip2, local_ip, family.
std::vector<std::string> search_row(int number, const qeld::DeviceIdentity& reply);

// --- probe and check share how one server is found and read once -------------
struct ServerArgs {
  std::string address;
  std::string lan2;  // optional second-LAN address
  int timeout = 5;
};

// One server searched for and, when found, opened and polled once.
struct ProbeResult {
  int search_code = 0;  // the search's public code: kOk, or why nothing was found
  bool found = false;
  bool lan2_requested = false;
  std::shared_ptr<tavrix::ServerRecord> server;
  std::array<core::LanCycle, 2> lan{};
};
// Fails for a bad address or a library that does not start; a server that did not
// answer is a result (found false), not a failure.
Outcome<ProbeResult> probe_server(const ServerArgs& args);

struct ProbeArgs : ServerArgs {
  std::string format = "text";
};
int run_probe_command(const ProbeArgs& args);
// One port as probe's JSON and watch's JSON lines give it.
nlohmann::ordered_json port_json(const PortTexts& p);

// --- check ----------------------------------------------------------------
inline constexpr int kCheckOk = 0, kCheckWarning = 1, kCheckCritical = 2, kCheckUnknown = 3;
struct CheckVerdict {
  int status = kCheckUnknown;
  std::string line;  // "TAVRIX <STATE> - <text> | <performance data>"
};
CheckVerdict evaluate_check(const std::string& address, const ProbeResult& probe);
int run_check_command(const ServerArgs& args);

// --- watch ----------------------------------------------------------------
struct WatchArgs {
  std::vector<std::string> addresses;
  int refresh = 3;
  std::string format = "text";
  int confirm = 1;
  double duration = 0;  // seconds; 0 = until interrupted
  int timeout = 5;
  std::string servers_file;  // a server-list file: its servers are watched without a search
};
int run_watch_command(const WatchArgs& args);

// One reported change of a watched server, as the tests and the printer see it.
struct WatchEvent {
  enum Kind { kOnline, kMode, kConnection } kind = kOnline;
  int lan = 0;         // 1 or 2 (online, connection)
  int port = 0;        // 1-based (mode, connection)
  int connection = 0;  // 1..4
  std::string value, previous;
  int mode_code = -1, previous_code = -1;
  const PortTexts* port_texts = nullptr;  // the port after a mode change
};
// Mode and connection changes between two samples of the same server's port table
// (the core change detector's rule; port_texts points into `after`).
std::vector<WatchEvent> diff_ports(const std::vector<PortTexts>& before,
                                   const std::vector<PortTexts>& after);

using tavrix::OnlineConfirm;

// --- models ---------------------------------------------------------------
struct ModelsArgs {
  std::string format = "table";
};
int run_models_command(const ModelsArgs& args);

// Writes a line to stderr as "tavrix-cli: <message>".
void print_error(const std::string& message);
// print_error, then the usage exit code.
int usage_error(const std::string& message);

}  // namespace tavrix::cli
