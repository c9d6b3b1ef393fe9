// The UDP socket set on POSIX datagram sockets: opening per interface or per group,
// sending from every socket of a group, and polling with poll() (never select(), whose
// fixed-size set breaks on descriptors above 1023 when many pollers run at once).
//
// Per-interface sockets are bound to the any-address and speak for their interface
// address through IP_PKTINFO: on Linux a socket bound to a unicast address never
// receives a broadcast, and SO_BINDTODEVICE would pin directed sends to one interface.
#include "qnsock/socket_set.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "library.h"
#include "qnsock/address_watch.h"
#include "qnsock/quiet_ports.h"
#include "result_codes.h"

namespace qeld {
namespace {

// A bind to port 0 that fails once rarely succeeds on the next try; give up after a few.
constexpr int kBindAttempts = 8;

// Room for the replies of a full fleet (512 devices, two LANs, two request families).
constexpr int kSearchReceiveBuffer = 2 << 20;

// Owns one descriptor until it is handed over to a set entry.
class SocketHolder {
 public:
  SocketHolder() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  ~SocketHolder() {
    if (fd_ >= 0) ::close(fd_);
  }
  SocketHolder(const SocketHolder&) = delete;
  SocketHolder& operator=(const SocketHolder&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

bool bind_any_port(int fd, uint32_t address) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = 0;
  sa.sin_addr.s_addr = address;
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

// The address must still be the host's before a wildcard socket speaks for it.
bool address_bindable(uint32_t address) {
  SocketHolder probe;
  return probe.get() >= 0 && bind_any_port(probe.get(), address);
}

uint16_t bound_port(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

// Makes one socket of a group and appends it; `path` set means a per-interface entry for
// `address` whose socket is bound to the any-address. Returns false on a failure that
// ends the opening with -12.
bool add_socket(UdpSocketSet& set, uint32_t address, int group, const UdpEntryPath* path) {
  SocketHolder s;
  if (s.get() < 0) return false;
  int one = 1;
  if (::setsockopt(s.get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) return false;
  if (path && ::setsockopt(s.get(), IPPROTO_IP, IP_PKTINFO, &one, sizeof one) != 0) return false;
  if (path) {
    // Hundreds of devices answer one broadcast within a few milliseconds: the default
    // buffer drops most of a large fleet's replies before they are read. Beyond the
    // system's limit only a privileged process gets more; otherwise the limit holds.
    int bytes = kSearchReceiveBuffer;
    if (::setsockopt(s.get(), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
      (void)::setsockopt(s.get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
  auto bind_once = [&] {
    return path ? address_bindable(address) && bind_any_port(s.get(), 0)
                : bind_any_port(s.get(), address);
  };
  int tries = 1;
  bool bound = bind_once();
  while (!bound && tries < kBindAttempts) {
    bound = bind_once();
    ++tries;
  }
  if (!bound) return false;
  // A group-1 socket whose first bind failed is dropped, not entered: the set then has
  // no 4800-family socket on that address, which a later send reports if it matters.
  if (group == kGroup4800 && tries > 1) return true;
  if (set.count >= kMaxSetEntries) return false;
  const int k = set.count;
  set.paths[k] = path ? *path : UdpEntryPath{};
  if (path) set.paths[k].port = bound_port(s.get());
  set.entries[k].socket = s.release();
  set.entries[k].local_address = address;
  set.entries[k].group = group;
  ++set.count;
  return true;
}

bool open_group(UdpSocketSet& set, const AddressList& list, int n, int per_interface, int group) {
  for (int i = 0; i < n; ++i) {
    UdpEntryPath path;
    path.wildcard = true;
    path.ifindex = list.ifindex[i];
    if (!add_socket(set, per_interface ? list.addr[i] : 0u, group, per_interface ? &path : nullptr))
      return false;
  }
  return true;
}

// --- per-interface entries: where each address lives now -------------------------

// Subscribed to address and link changes, so a poll learns of them before it reads a
// datagram that arrived after them. -1 when it cannot be had: the view of the opening stays.
int open_address_watch() {
  int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) return -1;
  sockaddr_nl sa{};
  sa.nl_family = AF_NETLINK;
  sa.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_LINK;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads every waiting notification; true when any came or some were lost.
bool drain_watch(int fd) {
  bool changed = false;
  char buf[4096];
  for (int i = 0; i < 256; ++i) {
    ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0 || (n < 0 && errno == ENOBUFS)) {
      changed = true;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return changed;
}

struct HostAddress {
  int ifindex;
  uint32_t address, broadcast;
};

// Marks which entries still have their address on their interface, and learns the
// interface of entries whose listing did not name it (a test seam's).
void refresh_paths(UdpSocketSet& set) {
  ifaddrs* head = nullptr;
  if (::getifaddrs(&head) != 0) return;  // keep the previous view
  constexpr int kMaxHost = 256;
  HostAddress host[kMaxHost];
  int n = 0;
  for (const ifaddrs* p = head; p != nullptr && n < kMaxHost; p = p->ifa_next) {
    if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_INET || p->ifa_name == nullptr)
      continue;
    if ((p->ifa_flags & IFF_UP) == 0) continue;
    char name[kInterfaceNameSize] = {};
    std::strncpy(name, p->ifa_name, sizeof name - 1);
    if (char* colon = std::strchr(name, ':')) *colon = '\0';
    HostAddress& h = host[n++];
    h.ifindex = static_cast<int>(if_nametoindex(name));
    h.address = reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr;
    h.broadcast = 0;
    if (p->ifa_netmask != nullptr) {
      const uint32_t mask = reinterpret_cast<const sockaddr_in*>(p->ifa_netmask)->sin_addr.s_addr;
      // /31 and /32 have no broadcast address of their own.
      if (ntohl(mask) < 0xFFFFFFFEu) h.broadcast = (h.address & mask) | ~mask;
    }
  }
  ::freeifaddrs(head);
  for (int i = 0; i < set.count && i < kMaxSetEntries; ++i) {
    UdpEntryPath& path = set.paths[i];
    if (!path.wildcard) continue;
    const uint32_t address = set.entries[i].local_address;
    const HostAddress* match = nullptr;
    for (int k = 0; k < n && match == nullptr; ++k) {
      if (host[k].address != address) continue;
      if (path.ifindex == 0 || host[k].ifindex == path.ifindex) match = &host[k];
    }
    if (match != nullptr) {
      path.ifindex = match->ifindex;
      path.subnet_broadcast = match->broadcast;
    }
    // An address the kernel does not list (127.0.0.2 on a test's seam) keeps no
    // interface, and nothing can say it was lost.
    path.live = match != nullptr || path.ifindex == 0;
  }
}

bool is_wildcard(const UdpSocketSet& set, int i) {
  return set.paths[i].wildcard;
}

// Sends from a per-interface entry: from its address, and for the limited broadcast out
// of its interface (otherwise the routing table picks the way, as for a bound socket).
ssize_t send_from_entry(const UdpSocketSet& set, int i, const sockaddr_in& to, const uint8_t* data,
                        int length) {
  iovec iov{const_cast<uint8_t*>(data), static_cast<size_t>(length)};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr msg{};
  msg.msg_name = const_cast<sockaddr_in*>(&to);
  msg.msg_namelen = sizeof to;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  in_pktinfo info{};
  info.ipi_ifindex = to.sin_addr.s_addr == 0xFFFFFFFFu ? set.paths[i].ifindex : 0;
  info.ipi_spec_dst.s_addr = set.entries[i].local_address;
  std::memcpy(CMSG_DATA(c), &info, sizeof info);
  return ::sendmsg(set.entries[i].socket, &msg, MSG_NOSIGNAL);
}

}  // namespace

uint32_t received_local_address(const UdpSocketSet& set, int entry, uint32_t sender,
                                uint16_t sender_port, uint32_t dst, uint32_t spec_dst,
                                int arrival_ifindex) {
  if (entry < 0 || entry >= set.count || entry >= kMaxSetEntries) return 0;
  // No device speaks from these; a factory-fresh box without an address may try.
  if (sender == 0 || sender == 0xFFFFFFFFu || (ntohl(sender) >> 28) == 0xE) return 0;
  for (int k = 0; k < set.count && k < kMaxSetEntries; ++k) {
    const UdpEntryPath& p = set.paths[k];
    if (p.subnet_broadcast != 0 && sender == p.subnet_broadcast) return 0;
    // Our own request, looped back to one of our sockets.
    if (p.wildcard && p.port == sender_port && set.entries[k].local_address == sender) return 0;
  }
  // The kernel delivers a unicast only to an address the host has at that moment.
  if (dst != 0 && dst == spec_dst) return dst;
  const UdpEntryPath& p = set.paths[entry];
  if (p.ifindex != 0 && p.ifindex != arrival_ifindex) return 0;
  if (!p.live) return 0;
  return set.entries[entry].local_address;
}

int udp_open_socket_set(UdpSocketSet& set, int per_interface) {
  reap_parked_sockets();
  set.count = 0;
  AddressList list;
  // The refresh runs even for a set bound to any address: it must still find an address.
  if (refresh_local_addresses(list) != 1 || list.count < 1) return kErrSocket;
  int n = per_interface ? list.count : 1;
  if (n > kMaxLocalAddresses) n = kMaxLocalAddresses;
  set.watch = -1;
  // Watching starts before the sockets, so no change between listing and use is missed.
  if (per_interface) set.watch = open_address_watch();
  if (!open_group(set, list, n, per_interface, kGroup4800) ||
      !open_group(set, list, n, per_interface, kGroup1029)) {
    udp_close_socket_set(set);
    set.count = 0;
    return kErrSocket;
  }
  if (per_interface) refresh_paths(set);
  return kOk;
}

void udp_close_socket_set(UdpSocketSet& set) {
  int n = set.count < 0 ? 0 : (set.count > kMaxSetEntries ? kMaxSetEntries : set.count);
  for (int i = 0; i < n; ++i) {
    if (set.entries[i].socket != -1) {
      ::close(set.entries[i].socket);
      set.entries[i].socket = -1;
    }
  }
  if (set.watch >= 0) {
    ::close(set.watch);
    set.watch = -1;
  }
}

int udp_send_to(UdpSocketSet& set, uint32_t dest, uint16_t port, const uint8_t* data, int length,
                int group) {
  if (data == nullptr || length < 0) return kErrSocket;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = dest;
  int attempted = 0;
  int failed = 0;
  for (int i = 0; i < set.count && i < kMaxSetEntries; ++i) {
    const UdpSocketEntry& e = set.entries[i];
    if (e.group != group || e.socket < 0) continue;
    ++attempted;
    ssize_t sent = is_wildcard(set, i)
                       ? send_from_entry(set, i, to, data, length)
                       : ::sendto(e.socket, data, static_cast<size_t>(length), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (sent != static_cast<ssize_t>(length)) ++failed;
  }
  return (attempted == 0 || failed == attempted) ? kErrSocket : kOk;
}

int udp_poll(UdpSocketSet& set, uint8_t* buffer, int max_length, int* out_length,
             sockaddr_in* out_sender, uint32_t* out_local, int group) {
  if (out_length) *out_length = 0;
  if (out_sender) std::memset(out_sender, 0, sizeof *out_sender);
  if (out_local) *out_local = 0;
  if (set.watch >= 0 && drain_watch(set.watch)) refresh_paths(set);

  pollfd fds[kMaxSetEntries];
  int entry_of[kMaxSetEntries];
  nfds_t nfds = 0;
  for (int i = 0; i < set.count && i < kMaxSetEntries; ++i) {
    const UdpSocketEntry& e = set.entries[i];
    if (e.group != group || e.socket < 0) continue;
    bool seen = false;
    for (nfds_t k = 0; k < nfds; ++k) seen = seen || fds[k].fd == e.socket;
    if (seen) continue;
    fds[nfds] = pollfd{e.socket, POLLIN, 0};
    entry_of[nfds] = i;
    ++nfds;
  }
  if (nfds == 0) return kOk;
  int ready;
  do {
    ready = ::poll(fds, nfds, 0);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return kErrSocket;
  if (ready == 0) return kOk;

  // The fds were gathered in table order, so the first marked one is the first in the table.
  int chosen = -1;
  for (nfds_t k = 0; k < nfds && chosen < 0; ++k) {
    if (fds[k].revents & POLLNVAL) return kErrSocket;
    if (fds[k].revents & (POLLIN | POLLERR)) chosen = entry_of[k];
  }
  if (chosen < 0) return kOk;
  const UdpSocketEntry& e = set.entries[chosen];
  if (out_local) *out_local = e.local_address;

  uint8_t scratch[kScratchSize];
  sockaddr_in from{};
  // MSG_TRUNC makes the receive report the datagram's real size, so an oversize one is seen.
  iovec iov{scratch, sizeof scratch};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr msg{};
  msg.msg_name = &from;
  msg.msg_namelen = sizeof from;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t got = ::recvmsg(e.socket, &msg, MSG_TRUNC | MSG_DONTWAIT);
  if (got < 0) {
    if (errno == ECONNREFUSED || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      if (out_local) *out_local = 0;
      return kOk;
    }
    return kErrSocket;
  }
  if (got > kScratchSize) {  // longer than the scratch buffer: the rest is lost, so drop it
    if (out_local) *out_local = 0;
    return kOk;
  }
  if (is_wildcard(set, chosen)) {
    // Without the arrival record, take the datagram as addressed to the entry itself.
    in_pktinfo info{};
    info.ipi_addr.s_addr = e.local_address;
    info.ipi_spec_dst.s_addr = e.local_address;
    info.ipi_ifindex = set.paths[chosen].ifindex;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
    }
    const uint32_t local =
        received_local_address(set, chosen, from.sin_addr.s_addr, ntohs(from.sin_port),
                               info.ipi_addr.s_addr, info.ipi_spec_dst.s_addr, info.ipi_ifindex);
    if (out_local) *out_local = local;
    if (local == 0) return kOk;  // dropped: nothing received
  }
  int n = static_cast<int>(got);
  if (max_length < 0) max_length = 0;
  if (n > max_length) n = max_length;
  if (n > 0 && buffer != nullptr) std::memcpy(buffer, scratch, static_cast<size_t>(n));
  if (buffer == nullptr) n = 0;
  if (out_length) *out_length = n;
  if (out_sender) *out_sender = from;
  return kOk;
}

int udp_wait_readable(UdpSocketSet& set, int timeout_ms) {
  pollfd fds[kMaxSetEntries];
  nfds_t nfds = 0;
  for (int i = 0; i < set.count && i < kMaxSetEntries; ++i) {
    if (set.entries[i].socket >= 0) fds[nfds++] = pollfd{set.entries[i].socket, POLLIN, 0};
  }
  if (nfds == 0) return kErrSocket;
  if (timeout_ms < 0) timeout_ms = 0;
  int ready = ::poll(fds, nfds, timeout_ms);
  if (ready < 0) return errno == EINTR ? 0 : kErrSocket;
  return ready > 0 ? 1 : 0;
}

// --- the set a poller keeps ---------------------------------------------------------

namespace {

// At most this many stray datagrams are drained per socket before an exchange: a flood
// cannot hold a poller here, and what is left is drained before the next one.
constexpr int kMaxDiscardPerSocket = 64;

// Said once per process: running out of descriptors otherwise looks like a dead LAN.
std::atomic<bool> g_fd_shortage_logged{false};

bool same_addresses(const AddressList& a, const AddressList& b) {
  if (a.count != b.count) return false;
  for (int i = 0; i < a.count && i < kMaxLocalAddresses; ++i)
    if (a.addr[i] != b.addr[i]) return false;
  return true;
}

void note_descriptor_shortage(int error) {
  if (error != EMFILE && error != ENFILE) return;
  if (g_fd_shortage_logged.exchange(true)) return;
  log_line("tavrix: out of file descriptors (" + std::string(std::strerror(error)) +
           "): a poller could not open its sockets and its LAN shows \"Off Line\"; raise the "
           "open-file limit (ulimit -n, or LimitNOFILE= for a service)");
}

}  // namespace

int udp_discard_pending(UdpSocketSet& set) {
  int dropped = 0;
  for (int i = 0; i < set.count && i < kMaxSetEntries; ++i) {
    const int fd = set.entries[i].socket;
    if (fd < 0) continue;
    for (int k = 0; k < kMaxDiscardPerSocket; ++k) {
      uint8_t scratch[16];
      const ssize_t got = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT | MSG_TRUNC);
      if (got >= 0) {
        ++dropped;
        continue;
      }
      if (errno == EINTR || errno == ECONNREFUSED) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return kErrSocket;
    }
  }
  return dropped;
}

void udp_park_group(UdpSocketSet& set, int group, std::chrono::steady_clock::time_point until) {
  for (int i = 0; i < set.count && i < kMaxSetEntries; ++i) {
    UdpSocketEntry& e = set.entries[i];
    if (e.group != group || e.socket < 0) continue;
    park_socket(e.socket, until);
    e.socket = -1;
  }
}

void udp_close_kept_set(KeptSocketSet& kept) {
  if (kept.open) {
    // Requests leave from group 1 only, so only its sockets can still be answered.
    if (kept.quiet_until > std::chrono::steady_clock::now())
      udp_park_group(kept.set, kGroup4800, kept.quiet_until);
    udp_close_socket_set(kept.set);
  }
  kept.quiet_until = {};
  kept.set.count = 0;
  kept.open = false;
}

int udp_ready_kept_set(KeptSocketSet& kept) {
  reap_parked_sockets();
  const bool replaced_source = address_source_replaced();
  AddressList fresh;
  int fresh_rc = 0;
  bool have_fresh = false;
  if (kept.open && !kept.replace) {
    if (kept.watch && !replaced_source) {
      if (kept.watch->generation() == kept.generation) return kOk;
    } else {
      fresh_rc = refresh_local_addresses(fresh);
      have_fresh = true;
      if (fresh_rc == 1 && same_addresses(fresh, kept.listed)) return kOk;
    }
  }
  // A set replaced only to shed a late reply (a time-out: every query to a silent device)
  // keeps its listing while the kernel reports no change of address: listing the host's
  // addresses costs more than the two new sockets.
  const bool keep_listing = kept.open && kept.replace && kept.watch && !replaced_source &&
                            kept.watch->generation() == kept.generation;
  if (keep_listing) {
    have_fresh = true;
    fresh_rc = kOk;
    fresh = kept.listed;
  }
  udp_close_kept_set(kept);
  kept.replace = false;
  if (!keep_listing) {
    kept.watch = replaced_source ? nullptr : address_watch_here();
    // Taken before the listing, so a change made while it runs is seen by the next use.
    kept.generation = kept.watch ? kept.watch->generation() : 0;
  }
  AddressList list;
  const int rc = have_fresh ? fresh_rc : refresh_local_addresses(list);
  if (have_fresh) list = fresh;
  // Like any opening, a set bound to any address still needs one local address.
  if (rc != 1 || list.count < 1) return kErrSocket;
  UdpSocketSet& set = kept.set;
  set.count = 0;
  if (!open_group(set, list, 1, 0, kGroup4800) || !open_group(set, list, 1, 0, kGroup1029)) {
    note_descriptor_shortage(errno);
    udp_close_socket_set(set);
    set.count = 0;
    return kErrSocket;
  }
  kept.listed = list;
  kept.open = true;
  ++kept.openings;
  return kOk;
}

}  // namespace qeld
