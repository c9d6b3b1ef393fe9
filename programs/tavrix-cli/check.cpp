// tavrix-cli check: a monitoring-plugin verdict on one server (OK, WARNING, CRITICAL,
// UNKNOWN) with one status line and performance data.
#include <iostream>

#include "commands.h"
#include "qeld/model_map.h"
#include "qeld/result_codes.h"

namespace tavrix::cli {

namespace {

const char* const kStateWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

CheckVerdict verdict(int status, const std::string& text, const std::string& perf) {
  return {status, std::string("TAVRIX ") + kStateWords[status] + " - " + text + " | " + perf};
}

}  // namespace

CheckVerdict evaluate_check(const std::string& address, const ProbeResult& probe) {
  if (probe.search_code == qeld::kPubSocket)
    return verdict(kCheckUnknown, "socket error while searching " + address,
                   "online=0 ports=0 redundant=0 connected_lan1=0 connected_lan2=0");
  const bool two_lans = probe.found && (probe.server->dual_lan || probe.lan2_requested);
  const bool lan1_ok = probe.found && probe.lan[0].up;
  const bool lan2_ok = probe.found && probe.server->dual_lan && probe.lan[1].up;
  if (!lan1_ok && !lan2_ok)
    return verdict(kCheckCritical, address + " does not answer",
                   "online=0 ports=0 redundant=0 connected_lan1=0 connected_lan2=0");

  const tavrix::ServerRecord& s = *probe.server;
  const auto ports = port_table(s);
  int redundant = 0, connected1 = 0, connected2 = 0;
  std::vector<std::string> problems;
  if (two_lans && !lan1_ok) problems.push_back("LAN1 does not answer");
  if (two_lans && !lan2_ok) problems.push_back("LAN2 does not answer");
  for (const auto& p : ports) {
    if (!p.supported) continue;
    ++redundant;
    connected1 += p.connected1;
    connected2 += p.connected2;
    // Redundancy needs both LANs; a one-LAN server has no second path to lose.
    if (two_lans && (p.connected1 == 0) != (p.connected2 == 0))
      problems.push_back("redundancy lost on port " + std::to_string(p.port) +
                         " (no connection on LAN" + (p.connected1 == 0 ? "1" : "2") + ")");
  }
  const std::string perf = "online=1 ports=" + std::to_string(s.port_count) +
                           " redundant=" + std::to_string(redundant) +
                           " connected_lan1=" + std::to_string(connected1) +
                           " connected_lan2=" + std::to_string(connected2);
  const std::string who = address + " " + qeld::model_name(s.model_key, s.model_id);
  if (!problems.empty()) {
    std::string text = who + ": ";
    for (std::size_t i = 0; i < problems.size(); ++i) text += (i ? ", " : "") + problems[i];
    return verdict(kCheckWarning, text, perf);
  }
  return verdict(kCheckOk,
                 who + " On Line, " + std::to_string(s.port_count) + " ports, " +
                     std::to_string(redundant) + " Redundant COM",
                 perf);
}

int run_check_command(const ServerArgs& args) {
  const Outcome<ProbeResult> probed = probe_server(args);
  if (!probed) {
    std::cout << "TAVRIX UNKNOWN - " << probed.reason() << '\n';
    return kCheckUnknown;
  }
  const ProbeResult& probe = *probed;
  if (interrupted()) {
    std::cout << "TAVRIX UNKNOWN - interrupted\n";
    return kCheckUnknown;
  }
  const CheckVerdict v = evaluate_check(args.address, probe);
  std::cout << v.line << '\n';
  return v.status;
}

}  // namespace tavrix::cli
