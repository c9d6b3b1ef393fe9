// Helpers of the exporter's tests: a child process with its stderr in a file (the log),
// a one-shot HTTP request over a plain socket (for requests no client library would
// send), and the resident memory of a process.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace exporter_test {

using namespace std::chrono_literals;

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline int count_lines(const std::string& text) {
  int n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

// A child process; stdout and stderr go to files of their own.
class Process {
 public:
  explicit Process(std::vector<std::string> args, const std::string& log_path) : log_(log_path) {
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      const int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int out = open((log_path + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, STDERR_FILENO);
      dup2(out, STDOUT_FILENO);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
  }
  ~Process() {
    if (!reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  std::string log() const { return read_file(log_); }
  void signal(int sig) const { kill(pid_, sig); }
  bool running() {
    if (reaped_) return false;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      reaped_ = true;
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return false;
    }
    return true;
  }
  // Exit status, or -1 when it did not end within the timeout.
  int wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
      if (std::chrono::steady_clock::now() >= deadline) return -1;
      std::this_thread::sleep_for(10ms);
    }
    return status_;
  }
  // Waits for a log line matching `pattern`; its first group, or nullopt on timeout or exit.
  std::optional<std::string> wait_log(const std::string& pattern,
                                      std::chrono::milliseconds timeout) {
    const std::regex re(pattern);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      std::smatch m;
      const std::string text = log();
      if (std::regex_search(text, m, re)) return m.size() > 1 ? m[1].str() : m[0].str();
      if (!running()) return std::nullopt;
      std::this_thread::sleep_for(20ms);
    }
    return std::nullopt;
  }

 private:
  pid_t pid_ = -1;
  std::string log_;
  bool reaped_ = false;
  int status_ = -1;
};

struct HttpReply {
  int status = 0;  // 0: no status line came back
  std::string head, body;
};

// Sends `request` as it is to 127.0.0.1:port and reads until the server closes.
inline HttpReply raw_http(int port, const std::string& request,
                          std::chrono::milliseconds timeout = 20000ms) {
  HttpReply r;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return r;
  timeval tv{static_cast<time_t>(timeout.count() / 1000),
             static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return r;
  }
  std::size_t off = 0;
  while (off < request.size()) {
    const ssize_t n = send(fd, request.data() + off, request.size() - off, MSG_NOSIGNAL);
    if (n <= 0) break;
    off += static_cast<std::size_t>(n);
  }
  std::string text;
  char buf[8192];
  // Until the server closes, or the body that Content-Length announces is complete (a
  // server may keep the connection open after refusing a malformed request).
  for (;;) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    const auto head_end = text.find("\r\n\r\n");
    if (head_end == std::string::npos) continue;
    std::string head = text.substr(0, head_end);
    for (auto& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto cl = head.find("\r\ncontent-length:");
    if (cl != std::string::npos &&
        text.size() >= head_end + 4 + std::strtoul(head.c_str() + cl + 17, nullptr, 10))
      break;
  }
  close(fd);
  const auto end = text.find("\r\n\r\n");
  r.head = text.substr(0, end);
  r.body = end == std::string::npos ? std::string() : text.substr(end + 4);
  if (text.rfind("HTTP/1.", 0) == 0 && text.size() > 12) r.status = std::atoi(text.c_str() + 9);
  return r;
}

inline HttpReply http_get(int port, const std::string& path, const std::string& headers = "",
                          std::chrono::milliseconds timeout = std::chrono::milliseconds(20000)) {
  return raw_http(
      port,
      "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headers + "\r\n",
      timeout);
}

// Resident memory of a process in KiB (VmRSS), 0 when unknown.
inline long rss_kib(pid_t pid) {
  std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// Runs a shell command; its exit status, and its output (stdout and stderr) in *out.
inline int shell(const std::string& cmd, std::string* out = nullptr) {
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  const int st = pclose(p);
  if (out) *out = text;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace exporter_test
