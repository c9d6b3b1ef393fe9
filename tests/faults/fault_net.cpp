// The private namespace, nftables and process-count helpers of the fault tests.
#include "fault_net.h"

#include <dirent.h>
#include <malloc.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// From the sanitizer runtime; g++ does not ship the header that declares it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#define TAVRIX_SANITIZER_HEAP 1
#endif

namespace tavrix_faults {
namespace {

constexpr const char* kTable = "tvxfault";

int count_entries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

}  // namespace

bool set_loopback_up(bool up) {
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return false;
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
  if (ok) {
    if (up)
      ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    else
      ifr.ifr_flags = static_cast<short>(ifr.ifr_flags & ~IFF_UP);
    ok = ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
  }
  close(s);
  return ok;
}

std::string enter_private_network() {
  if (geteuid() != 0) return "fault tests need root to make a private network namespace";
  if (unshare(CLONE_NEWNET) != 0)
    return std::string("network namespaces refused here: unshare: ") + std::strerror(errno);
  if (!set_loopback_up(true)) return "cannot bring up the loopback of the private namespace";
  std::string out;
  if (!nft("list tables\n", &out)) return "nft does not work in the private namespace: " + out;
  return "";
}

bool nft(const std::string& script, std::string* out) {
  char path[] = "/tmp/tvxfault-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return false;
  const bool wrote = write(fd, script.data(), script.size()) == static_cast<ssize_t>(script.size());
  close(fd);
  std::string text;
  int rc = -1;
  if (wrote) {
    // The child of popen runs in the caller's namespace, so the rules land in it.
    const std::string cmd = std::string("nft -f ") + path + " 2>&1";
    if (FILE* p = popen(cmd.c_str(), "r")) {
      char buf[256];
      while (fgets(buf, sizeof buf, p)) text += buf;
      rc = pclose(p);
    }
  }
  unlink(path);
  if (out) *out = text;
  return rc == 0;
}

bool drop_percent(const char* address, int percent) {
  char script[512];
  std::snprintf(script, sizeof script,
                "table ip %s {\n"
                "  chain in {\n"
                "    type filter hook input priority 0; policy accept;\n"
                "    ip daddr %s numgen random mod 100 < %d drop\n"
                "    ip saddr %s numgen random mod 100 < %d drop\n"
                "  }\n"
                "}\n",
                kTable, address, percent, address, percent);
  return nft(script);
}

bool clear_drops() {
  // Adding before deleting makes the delete work whether or not the table exists.
  return nft(std::string("table ip ") + kTable + "\ndelete table ip " + kTable + "\n");
}

int open_fd_count() {
  return count_entries("/proc/self/fd");
}
int thread_count() {
  return count_entries("/proc/self/task");
}

std::size_t heap_in_use() {
#ifdef TAVRIX_SANITIZER_HEAP
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

}  // namespace tavrix_faults
