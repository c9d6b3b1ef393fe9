// Shared pieces of the tavrix-cli commands (see common.h).
#include "common.h"

#include "commands.h"

#include <arpa/inet.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <csignal>
#include <ctime>
#include <iostream>

#include "core/printable_text.h"
#include "port_table.h"
#include "qeld/library.h"
#include "qeld/model_map.h"
#include "qeld/query.h"
#include "qeld/result_codes.h"
#include "qeld/search_engine.h"

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

std::optional<uint32_t> parse_ipv4(const std::string& text) {
  in_addr addr{};
  // inet_pton takes only four decimal octets, unlike inet_addr's shorthand forms.
  if (inet_pton(AF_INET, text.c_str(), &addr) != 1) return std::nullopt;
  return addr.s_addr;
}

bool valid_search_address(uint32_t ip) {
  const uint8_t last = reinterpret_cast<const uint8_t*>(&ip)[3];
  return last != 0 && last != 255;
}

std::string check_device_address(const std::string& text, uint32_t& out) {
  const auto ip = parse_ipv4(text);
  if (!ip)
    return "invalid IP address '" + printable_text(text) +
           "': expected four decimal octets like 192.0.2.10";
  if (!valid_search_address(*ip))
    return "invalid IP address '" + printable_text(text) +
           "': an address ending in .0 or .255 cannot be searched";
  out = *ip;
  return {};
}

std::string apply_lab_options(const LabOptions& lab) {
  if (!lab.device_ports.empty()) {
    const auto comma = lab.device_ports.find(',');
    uint16_t p4800 = 0, p1029 = 0;
    if (comma == std::string::npos ||
        !parse_port(std::string_view(lab.device_ports).substr(0, comma), p4800) ||
        !parse_port(std::string_view(lab.device_ports).substr(comma + 1), p1029))
      return "invalid --device-ports '" + printable_text(lab.device_ports) +
             "': expected P4800,P1029";
    qeld::set_device_ports(p4800, p1029);
  }
  if (!lab.local_addresses.empty()) {
    if (lab.local_addresses.size() > static_cast<std::size_t>(qeld::kMaxLocalAddresses))
      return "too many --local-address values (at most 16)";
    qeld::AddressList list;
    for (const auto& text : lab.local_addresses) {
      const auto ip = parse_ipv4(text);
      if (!ip) return "invalid --local-address '" + printable_text(text) + "'";
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

std::string start_library() {
  if (qeld::library_start() == 0) return "QELD initialization failed!!!";
  // Without a map every reply is dropped: a search could only ever say "none found".
  return model_map_missing();
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

int64_t wall_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string timestamp_now() {
  return timestamp_text(wall_ms());
}

std::string timestamp_text(int64_t ms) {
  const std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[40];
  const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(ms % 1000));
  return buf;
}

uint64_t steady_ms() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

FindResult find_server(uint32_t address, int timeout_seconds) {
  TDsList& list = ds_list();
  list.clear_results();
  qeld::set_search_options(1000, timeout_seconds);
  // Settled as the search-by-IP dialog decides: one reply, or two for the two-reply models.
  const auto settled = [&list] {
    const int n = list.result_count();
    if (n == 0) return false;
    return !expects_two_replies(list.result_at(0)->model_id) || n >= 2;
  };
  FindResult out;
  out.code = qeld::search_servers(address, [&](const qeld::_DS_INFO* reply) -> int {
    if (interrupted()) return 0;
    const int go = list.on_reply_by_ip(reply);
    return go && reply && settled() ? 0 : go;
  });
  const int n = list.result_count();
  if (n == 0) return out;
  const qeld::_DS_INFO* chosen = list.result_at(0);
  // Of a two-reply model's answers, the one naming a second LAN is preferred.
  if (expects_two_replies(chosen->model_id) && mac_text(chosen->mac2) == kNoMac && n >= 2)
    chosen = list.result_at(1);
  out.reply = *chosen;
  if (out.code == qeld::kPubStopped && !interrupted())
    out.code = qeld::kOk;  // we ended it once settled
  return out;
}

LanPoll poll_lan_once(_SVRINFO& server, int lan) {
  LanPoll poll;
  const int handle = lan ? server.handle2 : server.handle1;
  const int supported = text_set_for(server.model_id).supported_mode;
  const int bit = 1 << lan;
  // As the pollers mark: only an answer that came in time counts; a query that failed
  // fast (a dead handle, a socket error) must not make the server look reachable.
  const auto mark = [&](uint64_t t0, bool succeeded) {
    const uint64_t elapsed = steady_ms() - t0;
    if (succeeded && elapsed <= static_cast<uint64_t>(kInTimeMs))
      server.online.fetch_or(bit, std::memory_order_relaxed);
    else
      server.online.fetch_and(~bit, std::memory_order_relaxed);
    return elapsed;
  };

  // The query writes as many codes as the reply counts; the marker shows which.
  constexpr int32_t kUnwritten = INT32_MIN;
  int32_t modes[kMaxPorts];
  std::fill(std::begin(modes), std::end(modes), kUnwritten);
  const uint64_t t0 = steady_ms();
  poll.modes_result = qeld::query_port_modes(handle, 0, modes);
  poll.elapsed_ms = static_cast<uint32_t>(mark(t0, poll.modes_result == qeld::kOk));
  poll.in_time = poll.elapsed_ms <= static_cast<uint32_t>(kInTimeMs);
  if (poll.modes_result == qeld::kOk)
    for (int i = 0; i < kMaxPorts; ++i)
      if (modes[i] != kUnwritten) server.mode[i].store(modes[i], std::memory_order_relaxed);

  for (int i = 0; i < server.port_count && i < kMaxPorts; ++i) {
    if (server.mode_at(i) != supported) continue;
    const uint64_t t1 = steady_ms();
    uint8_t record[kConnRecordBytes];
    const int rc = qeld::query_port_connections(handle, i + 1, record);
    if (rc == qeld::kOk) server.store_conn(i, record);
    mark(t1, rc == qeld::kOk);
  }
  poll.answered = poll.modes_result == qeld::kOk && poll.in_time &&
                  (server.online.load(std::memory_order_relaxed) & bit) != 0;
  return poll;
}

void close_handles(const _SVRINFO& server) {
  if (server.handle1 >= 0) qeld::close_handle(server.handle1);
  if (server.dual_lan && server.handle2 >= 0) qeld::close_handle(server.handle2);
}

}  // namespace tavrix::cli
