// Shared pieces of the tavrix-cli commands (see common.h).
#include "common.h"

#include "commands.h"

#include <arpa/inet.h>

#include <atomic>
#include <charconv>
#include <csignal>
#include <iostream>

#include "core/printable_text.h"
#include "port_table.h"
#include "qeld/library.h"
#include "qeld/model_map.h"
#include "qeld/result_codes.h"

namespace tavrix::cli {

namespace {

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void on_interrupt(int) {
  g_interrupted.store(true);
}

bool parse_port(std::string_view text, uint16_t& out) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535)
    return false;
  out = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

void print_error(const std::string& message) {
  std::cerr << "tavrix-cli: " << message << std::endl;
}

int usage_error(const std::string& message) {
  print_error(message);
  return kExitUsage;
}

bool valid_search_address(uint32_t ip) {
  const uint8_t last = reinterpret_cast<const uint8_t*>(&ip)[3];
  return last != 0 && last != 255;
}

Outcome<uint32_t> check_device_address(const std::string& text) {
  const auto ip = parse_ipv4(text);
  if (!ip)
    return fail("invalid IP address '" + printable_text(text) +
                "': expected four decimal octets like 192.0.2.10");
  if (!valid_search_address(*ip))
    return fail("invalid IP address '" + printable_text(text) +
                "': an address ending in .0 or .255 cannot be searched");
  return *ip;
}

Done apply_lab_options(const LabOptions& lab) {
  if (!lab.device_ports.empty()) {
    const auto comma = lab.device_ports.find(',');
    uint16_t p4800 = 0, p1029 = 0;
    if (comma == std::string::npos ||
        !parse_port(std::string_view(lab.device_ports).substr(0, comma), p4800) ||
        !parse_port(std::string_view(lab.device_ports).substr(comma + 1), p1029))
      return fail("invalid --device-ports '" + printable_text(lab.device_ports) +
                  "': expected P4800,P1029");
    qeld::set_device_ports(p4800, p1029);
  }
  if (!lab.local_addresses.empty()) {
    if (lab.local_addresses.size() > static_cast<std::size_t>(qeld::kMaxLocalAddresses))
      return fail("too many --local-address values (at most 16)");
    qeld::AddressList list;
    for (const auto& text : lab.local_addresses) {
      const auto ip = parse_ipv4(text);
      if (!ip) return fail("invalid --local-address '" + printable_text(text) + "'");
      list.addr[list.count++] = *ip;
    }
    qeld::set_address_source([list](qeld::AddressList& out) {
      out = list;
      return 1;
    });
  }
  return {};
}

std::string model_map_missing() {
  const std::string tried = qeld::model_map_problem("; ");
  if (tried.empty()) return {};
  return "no model map, so no device model is known; GIdMap.dat was looked for in: " + tried;
}

Done start_library() {
  if (qeld::library_start() != qeld::kOk) return fail("QELD initialization failed!!!");
  // Without a map every reply is dropped: a search could only ever say "none found".
  if (std::string missing = model_map_missing(); !missing.empty()) return fail(std::move(missing));
  return {};
}

void install_interrupt_handlers() {
  struct sigaction sa {};
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A closed pipe (watch | head) must end the command through its normal path, with
  // the pollers joined, not kill the process mid-write.
  signal(SIGPIPE, SIG_IGN);
}

bool interrupted() {
  return g_interrupted.load();
}

core::SearchLimits search_limits(int timeout_seconds) {
  core::SearchLimits limits;
  limits.wait_ms = 1000;  // one quiet wait is a second, so the time-out reads as seconds
  limits.attempts = timeout_seconds;
  limits.cancel = [](const void*) { return interrupted(); };
  return limits;
}

}  // namespace tavrix::cli
