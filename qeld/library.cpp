// The protocol library's front: start and stop, the host's IPv4 address list, the
// library lock and search options, the 1,024-slot device-handle table, the open-file
// limit and the log line.
#include "library.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "model_map.h"
#include "qnsock/quiet_ports.h"
#include "result_codes.h"

namespace qeld {
namespace {

struct THandleSlot {
  int32_t in_use = 0;
  uint64_t serial = 0;  // which opening holds the slot, so a stale owner never closes it
  std::unique_ptr<DeviceIdentity> reply;
  TimeoutBlock timeouts;
};

std::atomic<bool> g_started{false};
std::atomic<bool> g_fail_next_start{false};
// Serialises library_start and library_stop against each other.
std::mutex g_start_mutex;

// Guards g_local and g_address_source; taken by every listing call,
// from the search worker and the pollers alike, only to publish or read a whole list.
std::mutex g_addr_mutex;
AddressList g_local;
std::function<int(AddressList&)> g_address_source;

// Guards g_search_options; taken by set_search_options and search_options.
std::mutex g_options_mutex;
TimeoutBlock g_search_options;

// Guards every slot of the handle table; taken by open/close and by queries copying
// a slot, so a close never frees a reply copy while a poller reads it.
std::mutex g_table_mutex;
std::array<THandleSlot, kMaxHandles> g_table;
uint64_t g_next_serial = 0;  // guarded by g_table_mutex

std::atomic<uint16_t> g_port_4800{kPort4800};
std::atomic<uint16_t> g_port_1029{kPort1029};

// Guards g_log_sink; taken by log_line and set_log_sink.
std::mutex g_log_mutex;
std::function<void(const std::string&)> g_log_sink;
// The open-file warning is given once per process, however often the library restarts.
std::atomic<bool> g_fd_warning_given{false};

void check_open_file_limit() {
  const long limit = raise_open_file_limit();
  if (limit < 0 || limit >= kOpenFilesNeeded) return;
  if (g_fd_warning_given.exchange(true)) return;
  log_line("tavrix: the open-file limit is " + std::to_string(limit) + " and cannot be raised; " +
           "polling every LAN of a full server list needs " + std::to_string(kOpenFilesNeeded) +
           " (four sockets per LAN), so LANs beyond the limit will show \"Off Line\" with a " +
           "socket error. Raise the hard limit (ulimit -Hn, or LimitNOFILE= for a service).");
}

void reset_slot(THandleSlot& s) {
  s.in_use = 0;
  s.reply.reset();
  s.timeouts = TimeoutBlock{};
}

void reset_table() {
  std::lock_guard lock(g_table_mutex);
  for (auto& s : g_table) reset_slot(s);
}

std::function<int(AddressList&)> current_source() {
  std::lock_guard lock(g_addr_mutex);
  return g_address_source;
}

// Outcome of one listing: kept = the source failed before it gave a list, so the
// shared list stays as it was; otherwise `list` is the new complete list.
struct Listing {
  bool obtained = false;
  AddressList list;
};

Listing from_seam(const std::function<int(AddressList&)>& source) {
  Listing r;
  AddressList l;
  if (source(l) != 1) return r;
  if (l.count < 0) l.count = 0;
  if (l.count > kMaxLocalAddresses) l.count = kMaxLocalAddresses;
  r.obtained = true;
  r.list = l;
  return r;
}

Listing from_ifaddrs() {
  Listing r;
  ifaddrs* head = nullptr;
  if (getifaddrs(&head) != 0) return r;
  r.obtained = true;
  addresses_from_ifaddrs(head, r.list);
  freeifaddrs(head);
  return r;
}

// Publishes a listing to the shared list and returns the call's result.
int publish(const Listing& l, AddressList& snapshot) {
  if (!l.obtained) {
    snapshot = AddressList{};
    return kNotDone;
  }
  {
    std::lock_guard lock(g_addr_mutex);
    g_local = l.list;
  }
  snapshot = l.list;
  return l.list.count > 0 ? kOk : kNotDone;
}

}  // namespace

// --- start and stop -----------------------------------------------------------

int library_start() {
  std::lock_guard lock(g_start_mutex);
  if (g_started.load()) return kOk;
  // There is no socket layer to start on Linux; the seam keeps the failure path reachable.
  if (g_fail_next_start.exchange(false)) return kNotDone;
  load_model_map();
  reset_table();
  check_open_file_limit();
  g_started.store(true);
  return kOk;
}

void library_stop() {
  std::lock_guard lock(g_start_mutex);
  if (!g_started.load()) return;
  reset_table();
  close_parked_sockets();
  g_started.store(false);
}

bool library_started() {
  return g_started.load();
}

// --- host addresses -----------------------------------------------------------

int addresses_from_ifaddrs(const ifaddrs* list, AddressList& out) {
  out = AddressList{};
  for (const ifaddrs* p = list; p != nullptr && out.count < kMaxLocalAddresses; p = p->ifa_next) {
    if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_INET) continue;
    if ((p->ifa_flags & IFF_UP) == 0) continue;
    const auto* sin = reinterpret_cast<const sockaddr_in*>(p->ifa_addr);
    const int k = out.count++;
    out.addr[k] = sin->sin_addr.s_addr;
    if (p->ifa_name == nullptr) continue;
    char* name = out.ifname[k];
    std::strncpy(name, p->ifa_name, kInterfaceNameSize - 1);
    // An alias label names no interface of its own; its address sits on the base one.
    if (char* colon = std::strchr(name, ':')) *colon = '\0';
    out.ifindex[k] = static_cast<int32_t>(if_nametoindex(name));
  }
  return out.count > 0 ? kOk : kNotDone;
}

int local_address_count() {
  std::lock_guard lock(g_addr_mutex);
  return g_local.count;
}

uint32_t local_address_at(int index) {
  std::lock_guard lock(g_addr_mutex);
  if (index < 0 || index >= g_local.count) return 0xFFFFFFFFu;
  return g_local.addr[index];
}

int refresh_local_addresses(AddressList& out) {
  auto source = current_source();
  return publish(source ? from_seam(source) : from_ifaddrs(), out);
}

// --- library lock and search options -------------------------------------------

namespace {
// Held by a search from its start to its end. Constant-initialised, so it exists before
// any object of the program is made and outlives them all at exit, the server list
// (whose destructor may join a worker that still holds it) included.
constinit std::mutex g_library_lock;
}  // namespace

std::mutex& library_lock() {
  return g_library_lock;
}

void set_search_options(int timeout_ms, int attempts) {
  std::lock_guard lock(g_options_mutex);
  if (timeout_ms >= 0) g_search_options.timeout_ms = static_cast<uint32_t>(timeout_ms);
  if (attempts >= 0) g_search_options.attempts = attempts;
}

TimeoutBlock search_options() {
  std::lock_guard lock(g_options_mutex);
  return g_search_options;
}

// --- device handles ---------------------------------------------------------------

int open_handle(const DeviceIdentity* reply, int* out) {
  if (reply == nullptr || out == nullptr) return kPubBadArgument;
  std::lock_guard lock(g_table_mutex);
  for (int i = 0; i < kMaxHandles; ++i) {
    THandleSlot& s = g_table[static_cast<std::size_t>(i)];
    if (s.in_use != 0) continue;
    s.reply.reset(new (std::nothrow) DeviceIdentity(*reply));
    if (!s.reply) {
      *out = -1;
      return kPubNoMemory;
    }
    s.in_use = 1;
    s.serial = ++g_next_serial;
    *out = i;
    return kOk;
  }
  *out = -2;
  return kPubNoHandle;
}

int close_handle(int handle) {
  if (handle < 0 || handle >= kMaxHandles) return kPubBadArgument;
  std::lock_guard lock(g_table_mutex);
  THandleSlot& s = g_table[static_cast<std::size_t>(handle)];
  if (s.in_use == 0) return kPubBadArgument;
  reset_slot(s);
  return kOk;
}

uint64_t handle_serial(int handle) {
  if (handle < 0 || handle >= kMaxHandles) return 0;
  std::lock_guard lock(g_table_mutex);
  const THandleSlot& s = g_table[static_cast<std::size_t>(handle)];
  return s.in_use != 0 ? s.serial : 0;
}

int close_handle_opened_as(int handle, uint64_t serial) {
  if (handle < 0 || handle >= kMaxHandles) return kPubBadArgument;
  std::lock_guard lock(g_table_mutex);
  THandleSlot& s = g_table[static_cast<std::size_t>(handle)];
  if (s.in_use == 0 || s.serial != serial) return kPubBadArgument;
  reset_slot(s);
  return kOk;
}

bool handle_snapshot(int handle, DeviceIdentity& reply, TimeoutBlock& timeouts) {
  if (handle < 0 || handle >= kMaxHandles) return false;
  std::lock_guard lock(g_table_mutex);
  const THandleSlot& s = g_table[static_cast<std::size_t>(handle)];
  if (s.in_use == 0 || !s.reply) return false;
  reply = *s.reply;
  timeouts = s.timeouts;
  return true;
}

bool handle_set_timeouts(int handle, uint32_t timeout_ms, int32_t attempts) {
  if (handle < 0 || handle >= kMaxHandles) return false;
  std::lock_guard lock(g_table_mutex);
  THandleSlot& s = g_table[static_cast<std::size_t>(handle)];
  if (s.in_use == 0) return false;
  s.timeouts.timeout_ms = timeout_ms;
  s.timeouts.attempts = attempts;
  return true;
}

int open_handle_count() {
  std::lock_guard lock(g_table_mutex);
  int n = 0;
  for (const auto& s : g_table) n += s.in_use != 0 ? 1 : 0;
  return n;
}

// --- seams --------------------------------------------------------------------------

void set_library_start_failure(bool fail) {
  g_fail_next_start.store(fail);
}

void set_address_source(std::function<int(AddressList&)> source) {
  std::lock_guard lock(g_addr_mutex);
  g_address_source = std::move(source);
}

bool address_source_replaced() {
  std::lock_guard lock(g_addr_mutex);
  return static_cast<bool>(g_address_source);
}

void set_device_ports(uint16_t port_4800, uint16_t port_1029) {
  g_port_4800.store(port_4800);
  g_port_1029.store(port_1029);
}

uint16_t device_port_4800() {
  return g_port_4800.load();
}
uint16_t device_port_1029() {
  return g_port_1029.load();
}

long raise_open_file_limit() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return -1;
  // An unlimited hard limit cannot be the soft one for open files; nr_open caps it anyway.
  if (rl.rlim_cur < rl.rlim_max) {
    rlimit want = rl;
    want.rlim_cur = rl.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &want) == 0) rl = want;
  }
  return rl.rlim_cur == RLIM_INFINITY ? LONG_MAX : static_cast<long>(rl.rlim_cur);
}

void log_line(const std::string& text) {
  std::lock_guard lock(g_log_mutex);
  if (g_log_sink) {
    g_log_sink(text);
    return;
  }
  std::fprintf(stderr, "%s\n", text.c_str());
}

void set_log_sink(std::function<void(const std::string&)> sink) {
  std::lock_guard lock(g_log_mutex);
  g_log_sink = std::move(sink);
}

}  // namespace qeld
