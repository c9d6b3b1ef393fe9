// A small scripted UDP peer on loopback for the protocol tests: it records every
// request it receives and answers with scripted bytes, delays, another sender, or silence.
// Everything it sends is bounded by the script and by a hard cap on datagrams.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavrix_test {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline uint32_t ip_of(const char* dotted) {
  in_addr a{};
  ::inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

inline sockaddr_in sockaddr_of(uint32_t ip, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = ip;
  sa.sin_port = htons(port);
  return sa;
}

struct Received {
  Bytes bytes;
  sockaddr_in from{};
  Clock::time_point at;
};

// One scripted answer to a request.
struct Answer {
  Bytes bytes;
  int delay_ms = 0;         // after the request arrived
  bool from_other = false;  // sent from the peer's second socket (another sender)
};

// Called on the peer's thread for each request (index counts from 0).
using Script = std::function<std::vector<Answer>(const Received& request, int index)>;

inline int open_udp(uint32_t ip, uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa = sockaddr_of(ip, port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline uint16_t port_of(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

class UdpPeer {
 public:
  static constexpr int kMaxSent = 4096;  // hard cap on everything one peer sends

  // Binds to ip:port (port 0 = ephemeral) and a second socket for "another sender".
  explicit UdpPeer(const char* ip = "127.0.0.1", uint16_t port = 0)
      : ip_(ip_of(ip)), fd_(open_udp(ip_, port)), other_fd_(open_udp(ip_, 0)) {}

  ~UdpPeer() {
    stop();
    if (fd_ >= 0) ::close(fd_);
    if (other_fd_ >= 0) ::close(other_fd_);
  }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  bool ok() const { return fd_ >= 0 && other_fd_ >= 0; }
  uint16_t port() const { return port_of(fd_); }
  uint16_t other_port() const { return port_of(other_fd_); }
  uint32_t address() const { return ip_; }

  // Starts answering on a thread of its own; a null script answers nothing.
  void serve(Script script) {
    stop();
    stop_ = false;
    script_ = std::move(script);
    thread_ = std::thread([this] { run(); });
  }

  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  std::vector<Received> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::size_t request_count() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
  }
  // True once at least n requests arrived, false after timeout_ms.
  bool wait_requests(std::size_t n, int timeout_ms) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return requests_.size() >= n; });
  }

  // Sends one datagram straight away (for transport tests that need no request).
  bool send_to(const sockaddr_in& to, const Bytes& bytes, bool from_other = false) {
    int fd = from_other ? other_fd_ : fd_;
    return ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                    sizeof to) == static_cast<ssize_t>(bytes.size());
  }

 private:
  struct Pending {
    Clock::time_point due;
    Answer answer;
    sockaddr_in to;
  };

  void run() {
    std::vector<Pending> pending;
    int sent = 0;
    std::vector<uint8_t> buf(65536);
    while (!stop_) {
      auto now = Clock::now();
      int wait_ms = 10;
      for (const Pending& p : pending) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(p.due - now).count();
        if (left < wait_ms) wait_ms = left < 0 ? 0 : static_cast<int>(left);
      }
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, wait_ms) > 0 && (pfd.revents & POLLIN)) {
        Received r;
        socklen_t len = sizeof r.from;
        ssize_t n =
            ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&r.from), &len);
        if (n >= 0) {
          r.bytes.assign(buf.begin(), buf.begin() + n);
          r.at = Clock::now();
          int index;
          {
            std::lock_guard lock(mutex_);
            index = static_cast<int>(requests_.size());
            requests_.push_back(r);
          }
          arrived_.notify_all();
          if (script_) {
            for (Answer& a : script_(r, index)) {
              pending.push_back(
                  {r.at + std::chrono::milliseconds(a.delay_ms), std::move(a), r.from});
            }
          }
        }
      }
      now = Clock::now();
      for (auto it = pending.begin(); it != pending.end();) {
        if (it->due <= now) {
          if (sent < kMaxSent) {
            send_to(it->to, it->answer.bytes, it->answer.from_other);
            ++sent;
          }
          it = pending.erase(it);
        } else {
          ++it;
        }
      }
    }
  }

  uint32_t ip_;
  int fd_;
  int other_fd_;
  Script script_;
  std::atomic<bool> stop_{true};
  std::thread thread_;
  // Guards requests_; taken by the peer's thread and by the test reading them.
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<Received> requests_;
};

// Counts the process's open descriptors, to show that nothing was left open.
inline int open_fd_count() {
  int n = 0;
  for (int fd = 0; fd < 4096; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) ++n;
  }
  return n;
}

}  // namespace tavrix_test
