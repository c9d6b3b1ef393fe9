// Address-change notifications from rtnetlink: RTM_NEWADDR/RTM_DELADDR of IPv4 and the
// link changes (an interface that goes down leaves the address list while keeping its
// addresses). Nothing is parsed: any notification, or a lost one, raises the generation.
#include "qnsock/address_watch.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "library.h"

namespace qeld {
namespace {

// A storm of changes must not keep a poller reading: it re-lists anyway once it stops.
constexpr int kMaxReadsPerCall = 256;

std::atomic<bool> g_fail_open{false};
// Said once per stretch of failures: cleared again by the next opening that works.
std::atomic<bool> g_open_failure_logged{false};

// Guards g_watches; taken when a kept socket set is (re)opened, never per query.
std::mutex g_watches_mutex;
// One watch per network namespace (device and inode of /proc/thread-self/ns/net): a
// test process or a forked child may poll from several, and a netlink socket only hears
// the namespace it was made in.
std::map<std::pair<dev_t, ino_t>, std::weak_ptr<AddressWatch>> g_watches;

std::pair<dev_t, ino_t> this_namespace() {
  struct stat st {};
  if (::stat("/proc/thread-self/ns/net", &st) != 0) return {0, 0};
  return {st.st_dev, st.st_ino};
}

}  // namespace

AddressWatch::AddressWatch(int rcvbuf_bytes) {
  if (g_fail_open.load()) {
    errno = EACCES;
    return;
  }
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return;
  if (rcvbuf_bytes > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf_bytes, sizeof rcvbuf_bytes);
  sockaddr_nl sa{};
  sa.nl_family = AF_NETLINK;
  sa.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_LINK;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    const int e = errno;
    ::close(fd);
    errno = e;
    return;
  }
  fd_ = fd;
}

AddressWatch::~AddressWatch() {
  if (fd_ >= 0) ::close(fd_);
}

uint64_t AddressWatch::generation() {
  std::lock_guard lock(mu_);
  if (fd_ < 0) return generation_;
  bool changed = false;
  for (int i = 0; i < kMaxReadsPerCall; ++i) {
    // The content does not matter, only that something came: MSG_TRUNC drops the rest.
    char buf[64];
    const ssize_t got = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC);
    if (got >= 0) {
      changed = true;
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == ENOBUFS) {
      changed = true;
      if (overflows_++ == 0)
        log_line(
            "tavrix: address-change notifications overflowed; every poller lists the "
            "host addresses again before its next query");
      continue;
    }
    break;  // EAGAIN: nothing more is waiting
  }
  if (changed) ++generation_;
  return generation_;
}

uint64_t AddressWatch::overflows() {
  std::lock_guard lock(mu_);
  return overflows_;
}

std::shared_ptr<AddressWatch> address_watch_here() {
  const auto key = this_namespace();
  std::lock_guard lock(g_watches_mutex);
  if (auto w = g_watches[key].lock()) return w;
  std::erase_if(g_watches, [](const auto& kv) { return kv.second.expired(); });
  auto w = std::make_shared<AddressWatch>();
  if (!w->is_open()) {
    const int e = errno;
    g_watches.erase(key);
    if (!g_open_failure_logged.exchange(true))
      log_line(std::string("tavrix: address-change notifications are unavailable (") +
               std::strerror(e) + "); the host addresses are listed again before every query");
    return nullptr;
  }
  g_open_failure_logged.store(false);
  g_watches[key] = w;
  return w;
}

void set_address_watch_failure(bool fail) {
  g_fail_open.store(fail);
}

}  // namespace qeld
