// The UDP socket set on POSIX datagram sockets: opening per interface or per group,
// sending from every socket of a group, and polling with poll() (never select(), whose
// fixed-size set breaks on descriptors above 1023 when many pollers run at once).
#include "qnsock/socket_set.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "library.h"
#include "qnsock/address_watch.h"
#include "result_codes.h"

namespace qeld {
namespace {

// A bind to port 0 that fails once rarely succeeds on the next try; give up after a few.
constexpr int kBindAttempts = 8;

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

// Makes one socket of a group and appends it. Returns false on a failure that ends the
// opening with -12.
bool add_socket(UdpSocketSet& set, uint32_t address, int group) {
  SocketHolder s;
  if (s.get() < 0) return false;
  int one = 1;
  if (::setsockopt(s.get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) return false;
  int tries = 1;
  bool bound = bind_any_port(s.get(), address);
  while (!bound && tries < kBindAttempts) {
    bound = bind_any_port(s.get(), address);
    ++tries;
  }
  if (!bound) return false;
  // A group-1 socket whose first bind failed is dropped, not entered: the set then has
  // no 4800-family socket on that address, which a later send reports if it matters.
  if (group == kGroup4800 && tries > 1) return true;
  if (set.count >= kMaxSetEntries) return false;
  set.entries[set.count].socket = s.release();
  set.entries[set.count].local_address = address;
  set.entries[set.count].group = group;
  ++set.count;
  return true;
}

bool open_group(UdpSocketSet& set, const AddressList& list, int n, int per_interface, int group) {
  for (int i = 0; i < n; ++i) {
    if (!add_socket(set, per_interface ? list.addr[i] : 0u, group)) return false;
  }
  return true;
}

}  // namespace

int udp_open_socket_set(UdpSocketSet& set, int per_interface) {
  set.count = 0;
  AddressList list;
  // The refresh runs even for a set bound to any address: it must still find an address.
  if (refresh_local_addresses(list) != 1 || list.count < 1) return kErrSocket;
  int n = per_interface ? list.count : 1;
  if (n > kMaxLocalAddresses) n = kMaxLocalAddresses;
  if (!open_group(set, list, n, per_interface, kGroup4800) ||
      !open_group(set, list, n, per_interface, kGroup1029)) {
    udp_close_socket_set(set);
    set.count = 0;
    return kErrSocket;
  }
  return kOk;
}

int udp_close_socket_set(UdpSocketSet& set) {
  int n = set.count < 0 ? 0 : (set.count > kMaxSetEntries ? kMaxSetEntries : set.count);
  for (int i = 0; i < n; ++i) {
    if (set.entries[i].socket != -1) {
      ::close(set.entries[i].socket);
      set.entries[i].socket = -1;
    }
  }
  return kOk;
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
    ssize_t sent = ::sendto(e.socket, data, static_cast<size_t>(length), MSG_NOSIGNAL,
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
  socklen_t from_len = sizeof from;
  // MSG_TRUNC makes recvfrom report the datagram's real size, so an oversize one is seen.
  ssize_t got = ::recvfrom(e.socket, scratch, sizeof scratch, MSG_TRUNC | MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &from_len);
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

void udp_close_kept_set(KeptSocketSet& kept) {
  if (kept.open) udp_close_socket_set(kept.set);
  kept.set.count = 0;
  kept.open = false;
}

int udp_ready_kept_set(KeptSocketSet& kept) {
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
  udp_close_kept_set(kept);
  kept.replace = false;
  kept.watch = replaced_source ? nullptr : address_watch_here();
  // Taken before the listing, so a change made while it runs is seen by the next use.
  kept.generation = kept.watch ? kept.watch->generation() : 0;
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
