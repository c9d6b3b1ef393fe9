// tavrix-cli search: a broadcast search, or one aimed at an address, with the search
// dialogs' engine, callbacks, model filter and time-out, printed as a table, JSON or CSV.
#include <arpa/inet.h>
#include <unistd.h>

#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>

#include "commands.h"
#include "core/host_addresses.h"
#include "core/server_list_file.h"
#include "output.h"
#include "qeld/library.h"
#include "qeld/model_map.h"
#include "qeld/result_codes.h"

namespace tavrix::cli {

namespace {

std::string dotted(uint32_t ip) {
  char buf[INET_ADDRSTRLEN] = {};
  in_addr addr{};
  addr.s_addr = ip;
  inet_ntop(AF_INET, &addr, buf, sizeof buf);
  return buf;
}

const std::vector<std::string> kHeader = {
    "No",           "Model",       "MAC Address1",  "IP Address1",
    "MAC Address2", "IP Address2", "Local Address", "Family"};
const std::vector<std::string> kFields = {"no",   "model", "mac1",     "ip1",
                                          "mac2", "ip2",   "local_ip", "family"};

// The interface that holds `address` in the list; empty when none does (any more).
std::string interface_of(const qeld::AddressList& list, uint32_t address) {
  for (int i = 0; i < list.count && i < qeld::kMaxLocalAddresses; ++i)
    if (list.addr[i] == address) return list.ifname[i];
  return "";
}

}  // namespace

std::vector<std::string> search_row(int number, const qeld::DeviceIdentity& r) {
  const bool second = has_mac(r.mac2);
  return {std::to_string(number),
          qeld::model_name(r.model_key, r.model_id),
          mac_text(r.mac1),
          ip_text(r.ip1, true),
          second ? mac_text(r.mac2) : "---",
          second ? ip_text(r.ip2, true) : "---",
          dotted(r.local_ip),
          (r.flags & qeld::kFlag1029) ? "1029" : "4800"};
}

int run_search_command(const SearchArgs& args) {
  uint32_t target = 0xFFFFFFFF;
  const bool by_ip = !args.ip.empty();
  if (by_ip) {
    const Outcome<uint32_t> address = check_device_address(args.ip);
    if (!address) return usage_error(address.reason());
    target = *address;
  }
  if (const Done started = start_library(); !started) return usage_error(started.reason());

  tavrix::ServerList list;  // this command's own server list
  list.search_timeout = args.timeout;
  // The window's search worker: the same quiet rounds, drop rule and result list.
  list.start_search(by_ip ? 1 : 0, target);

  // The remaining time restarts with every new server, as the quiet rounds do.
  const bool progress = isatty(STDERR_FILENO) == 1;
  int shown = 0;
  std::string shown_text;
  uint64_t countdown_start = steady_ms();
  while (!list.search_finished()) {
    if (interrupted()) list.abort_search();
    const int n = list.result_count();
    if (n != shown) {
      shown = n;
      countdown_start = steady_ms();
    }
    if (progress) {
      const long remaining =
          args.timeout - static_cast<long>((steady_ms() - countdown_start) / 1000);
      std::string text = "Searching..., found " + std::to_string(n) + ", remaining " +
                         std::to_string(remaining > 0 ? remaining : 0) + " seconds";
      if (text != shown_text) std::cerr << "\r" << text << "\033[K" << std::flush;
      shown_text = std::move(text);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const int code = list.last_search_result();
  if (progress) std::cerr << "\r\033[K" << std::flush;

  if (code == qeld::kPubSocket) {
    print_error("socket error: the search sockets could not be opened");
    qeld::library_stop();
    return kExitUsage;
  }
  if (code == qeld::kPubRefused) print_error("warning: a device refused the search (status 6)");

  // Listed after the search, so an address that went away meanwhile names no interface.
  qeld::AddressList addresses;
  qeld::refresh_local_addresses(addresses);
  Table table{kHeader, {}};
  nlohmann::ordered_json servers = nlohmann::ordered_json::array();
  const int n = list.result_count();
  for (int i = 0; i < n; ++i) {
    const qeld::DeviceIdentity& r = *list.result_at(i);
    auto row = search_row(i + 1, r);
    if (args.format == "json") {
      nlohmann::ordered_json item;
      for (std::size_t c = 0; c < kFields.size(); ++c) {
        item[kFields[c]] = row[c];
        if (kFields[c] != "local_ip") continue;
        const std::string name = interface_of(addresses, r.local_ip);
        item["interface"] = name.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(name);
      }
      item["no"] = i + 1;
      if (row[4] == "---") item["mac2"] = item["ip2"] = nullptr;
      item["family"] = std::stoi(row[7]);
      item["model_key"] = r.model_key;
      item["model_id"] = r.model_id;
      servers.push_back(std::move(item));
    }
    table.rows.push_back(std::move(row));
  }
  if (args.format == "json") {
    std::cout << nlohmann::ordered_json{{"count", n}, {"servers", servers}}.dump(2) << '\n';
  } else if (args.format == "csv") {
    table.header = kFields;
    print_csv(std::cout, table);
  } else {
    print_table(std::cout, table);
  }
  std::cout.flush();
  if (n == 0)
    print_error(by_ip ? "no Tavrix server answered at " + args.ip : "no Tavrix server found");
  if (n == 0 && !by_ip) {
    if (tavrix::only_loopback(addresses))
      print_error(tavrix::kLoopbackOnlyText);
    else
      print_error(
          "hint: no reply to the broadcast; a firewall that drops UDP from ports 4800 and 1029 "
          "hides every device, and devices behind a router answer only `search --ip` (see "
          "docs/networks.md)");
  }
  if (!args.save_file.empty() && n > 0) {
    std::vector<ServerListEntry> entries;
    for (int i = 0; i < n; ++i) entries.push_back(server_list_entry(*list.result_at(i)));
    if (const Done written = write_server_list_file(args.save_file, entries); !written) {
      print_error(written.reason());
      qeld::library_stop();
      return kExitUsage;
    }
  }
  qeld::library_stop();
  return n > 0 ? kExitOk : kExitNone;
}

}  // namespace tavrix::cli
