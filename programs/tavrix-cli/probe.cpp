// tavrix-cli probe: find one server by a directed search, open its handles as the
// server list does, poll it once and print its identity and port table.
#include <iostream>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "output.h"
#include "qeld/library.h"
#include "qeld/model_map.h"
#include "qeld/result_codes.h"

namespace tavrix::cli {

nlohmann::ordered_json port_json(const PortTexts& p) {
  return {{"port", p.port},
          {"mode", p.mode_cell},
          {"mode_code", p.mode_code},
          {"mode_name", p.mode_name},
          {"supported", p.supported},
          {"lan1", p.supported ? nlohmann::ordered_json(p.lan1) : nlohmann::ordered_json::array()},
          {"lan2", p.supported ? nlohmann::ordered_json(p.lan2) : nlohmann::ordered_json::array()}};
}

namespace {

nlohmann::ordered_json lan_json(const core::LanCycle& poll, int online, int lan) {
  return {{"status", lan_status_text(online, lan)},
          {"answered", poll.up},
          {"result", poll.modes_result},
          {"elapsed_ms", poll.elapsed_ms}};
}

// The two rows of one port exactly as the port table shows them while monitored.
void add_port_rows(Table& table, const PortTexts& p) {
  if (p.supported) {
    table.rows.push_back(
        {std::to_string(p.port), p.mode_cell, "LAN1", p.lan1[0], p.lan1[1], p.lan1[2], p.lan1[3]});
    table.rows.push_back({"-", "-", "LAN2", p.lan2[0], p.lan2[1], p.lan2[2], p.lan2[3]});
  } else {
    table.rows.push_back({std::to_string(p.port), p.mode_cell, "", "", "", "", ""});
    table.rows.push_back({"-", "", "", "", "", "", ""});
  }
}

}  // namespace

Outcome<ProbeResult> probe_server(const ServerArgs& args) {
  ProbeResult out;
  const Outcome<uint32_t> addr1 = check_device_address(args.address);
  if (!addr1) return fail(addr1.reason());
  out.lan2_requested = !args.lan2.empty();
  uint32_t addr2 = 0;
  if (out.lan2_requested) {
    const Outcome<uint32_t> second = check_device_address(args.lan2);
    if (!second) return fail("--lan2: " + second.reason());
    addr2 = *second;
  }
  if (Done started = start_library(); !started) return fail(started.reason());

  const Outcome<qeld::DeviceIdentity> found =
      core::find_server(*addr1, addr2, search_limits(args.timeout));
  out.search_code = found ? qeld::kOk : found.code();
  if (!found || interrupted()) return out;

  out.found = true;
  out.server = make_server_record(*found);
  out.server->monitoring = 1;
  out.lan = core::poll_server_once(*out.server);
  return out;
}

int run_probe_command(const ProbeArgs& args) {
  Outcome<ProbeResult> probed = probe_server(args);
  if (!probed) return usage_error(probed.reason());
  const ProbeResult& probe = *probed;
  if (probe.search_code == qeld::kPubSocket) {
    print_error("socket error: the search sockets could not be opened");
    return kExitUsage;
  }
  if (!probe.found) {
    print_error("no Tavrix server answered at " + args.address +
                (probe.lan2_requested ? " or " + args.lan2 : ""));
    return kExitNone;
  }
  const tavrix::ServerRecord& s = *probe.server;
  const int online = s.online.load();
  const TextSet set = text_set_for(s.model_id);
  const auto ports = port_table(s);
  const std::string model = qeld::model_name(s.model_key, s.model_id);
  const bool answered = probe.lan[0].up || (s.dual_lan && probe.lan[1].up);

  if (args.format == "json") {
    nlohmann::ordered_json j;
    j["address"] = args.address;
    j["model"] = model;
    j["model_key"] = s.model_key;
    j["model_id"] = s.model_id;
    j["text_set"] = std::string(1, set.name);
    j["dual_lan"] = s.dual_lan != 0;
    j["ip1"] = ip_text(s.ip1, true);
    j["mac1"] = mac_text(s.mac1);
    j["ip2"] =
        s.dual_lan ? nlohmann::ordered_json(ip_text(s.ip2, true)) : nlohmann::ordered_json(nullptr);
    j["mac2"] =
        s.dual_lan ? nlohmann::ordered_json(mac_text(s.mac2)) : nlohmann::ordered_json(nullptr);
    j["status"] = server_status_text(s);
    j["lan1"] = lan_json(probe.lan[0], online, 0);
    j["lan2"] = s.dual_lan ? lan_json(probe.lan[1], online, 1) : nlohmann::ordered_json(nullptr);
    j["port_count"] = s.port_count;
    j["ports"] = nlohmann::ordered_json::array();
    for (const auto& p : ports) j["ports"].push_back(port_json(p));
    std::cout << j.dump(2) << '\n';
  } else {
    std::string ip = ip_text(s.ip1, true), mac = mac_text(s.mac1);
    if (s.dual_lan) {
      ip += ", " + ip_text(s.ip2, true);
      mac += ", " + mac_text(s.mac2);
    }
    std::cout << "Server:       " << args.address << '\n'
              << "Model:        " << model << " (id " << hex(s.model_id, 4) << ", text set "
              << set.name << ")\n"
              << "IP Address:   " << ip << '\n'
              << "MAC Address:  " << mac << '\n'
              << "Status:       " << server_status_text(s) << '\n'
              << "LAN1:         " << lan_status_text(online, 0) << '\n';
    if (s.dual_lan) std::cout << "LAN2:         " << lan_status_text(online, 1) << '\n';
    std::cout << "Ports:        " << s.port_count << "\n\n";
    Table table{{"Port", "Operation Mode", "LAN", "Connection 1", "Connection 2", "Connection 3",
                 "Connection 4"},
                {}};
    for (const auto& p : ports) add_port_rows(table, p);
    print_table(std::cout, table);
  }
  std::cout.flush();
  return answered ? kExitOk : kExitNone;
}

}  // namespace tavrix::cli
