// Shared helpers of the benchmark programs: percentiles, CPU clocks, process
// figures from /proc, the plain UDP floor exchange and a JSON figures file.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double us_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

// CPU seconds of the calling thread / of the whole process (user + system).
inline double thread_cpu_s() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}
inline double process_cpu_s() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct Summary {
  double median = 0, p99 = 0, max = 0;
  std::size_t n = 0;
};

// Nearest-rank percentiles; sorts a copy.
inline Summary summarize(std::vector<double> v) {
  Summary s;
  s.n = v.size();
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  auto rank = [&](double q) {
    std::size_t k = static_cast<std::size_t>(q * double(v.size() - 1) + 0.5);
    return v[std::min(k, v.size() - 1)];
  };
  s.median = rank(0.5);
  s.p99 = rank(0.99);
  s.max = v.back();
  return s;
}

inline double median_of(std::vector<double> v) { return summarize(std::move(v)).median; }

inline nlohmann::json to_json(const Summary& s) {
  return {{"median", s.median}, {"p99", s.p99}, {"max", s.max}, {"n", s.n}};
}

// One value from /proc/self/status ("VmRSS", "VmHWM", "Threads"), in its own unit (kB).
inline long proc_status(const std::string& key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
  }
  return -1;
}

inline int open_fd_count() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    --n;  // the directory stream's own descriptor
  }
  return n;
}

// A UDP socket bound to addr:0 (network byte order). -1 on failure.
inline int bound_udp_socket(uint32_t addr) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline uint16_t local_port(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

// The floor's exchange, as bare as the transport allows: one sendto, a blocking poll()
// for the reply (as the library's exchange waits), one recvfrom. Returns the reply length,
// or -1 on failure or when nothing came within timeout_ms.
inline int raw_exchange(int fd, const sockaddr_in& to, const uint8_t* req, int req_len, uint8_t* buf,
                        int buf_len, int timeout_ms = 1000) {
  if (::sendto(fd, req, std::size_t(req_len), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) != req_len)
    return -1;
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) != 1) return -1;
  ssize_t got = ::recvfrom(fd, buf, std::size_t(buf_len), 0, nullptr, nullptr);
  return got < 0 ? -1 : int(got);
}

// A plain responder on 127.0.0.1: answers every datagram with `reply_len` bytes taken from
// the first request byte's table (so one responder serves both reply sizes). Bounded: it
// ends when stopped or after `max_replies` answers.
class PlainResponder {
 public:
  PlainResponder() {
    fd_ = bound_udp_socket(htonl(INADDR_LOOPBACK));
    if (fd_ >= 0) thread_ = std::thread([this] { run(); });
  }
  ~PlainResponder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  uint16_t port() const { return local_port(fd_); }
  // The request's byte 0 chooses the reply length: 0x41 -> 40 bytes, anything else -> 104.
  static constexpr long kMaxReplies = 10'000'000;

 private:
  void run() {
    uint8_t buf[2048];
    uint8_t reply[104] = {};
    long replies = 0;
    while (!stop_ && replies < kMaxReplies) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) != 1) continue;
      sockaddr_in from{};
      socklen_t flen = sizeof from;
      ssize_t got = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &flen);
      if (got <= 0) continue;
      const int len = buf[0] == 0x41 ? 40 : 104;
      ::sendto(fd_, reply, std::size_t(len), 0, reinterpret_cast<sockaddr*>(&from), flen);
      ++replies;
    }
  }
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Merges `figures` under `key` into the JSON file at path (created when missing).
inline void write_figures(const std::string& path, const std::string& key, const nlohmann::json& figures) {
  if (path.empty()) return;
  nlohmann::json all = nlohmann::json::object();
  {
    std::ifstream in(path);
    if (in) {
      try {
        in >> all;
      } catch (...) {
        all = nlohmann::json::object();
      }
    }
  }
  all[key] = figures;
  std::ofstream out(path);
  out << all.dump(2) << "\n";
}

}  // namespace bench
