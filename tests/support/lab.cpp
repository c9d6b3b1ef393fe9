// The lab fixture: drives scripts/lab and joins the monitor namespace with setns.
#include "support/lab.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace tavrix_test {

namespace {

std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string lab_script() { return source_dir() + "/scripts/lab"; }

std::string env_prefix() { return "TAVRIX_BIN=" + quote(bin_dir()) + " "; }

}  // namespace

std::string source_dir() {
  if (const char* s = std::getenv("TAVRIX_SOURCE"); s && *s) return s;
#ifdef TAVRIX_SOURCE_DIR
  return TAVRIX_SOURCE_DIR;
#else
  return std::filesystem::current_path().string();
#endif
}

std::string bin_dir() {
  if (const char* s = std::getenv("TAVRIX_BIN"); s && *s) return s;
  return source_dir() + "/build/debug/bin";
}

int run_command(const std::string& cmd, std::string* out) {
  FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  const int st = ::pclose(p);
  if (out) *out = text;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string lab_unavailable_reason() {
  if (::geteuid() != 0) return "the lab needs root (network namespaces); run as root, as CI does";
  if (run_command("command -v ip") != 0) return "the lab needs iproute2's `ip`, which is not installed";
  if (::access(lab_script().c_str(), X_OK) != 0) return "scripts/lab not found or not executable at " + lab_script();
  if (::access((bin_dir() + "/tavrix-devsim").c_str(), X_OK) != 0)
    return "tavrix-devsim not built in " + bin_dir();
  const std::string probe = "tvxprobe" + std::to_string(::getpid());
  std::string out;
  if (run_command("ip netns add " + probe + " && ip -n " + probe + " link set lo up", &out) != 0) {
    run_command("ip netns del " + probe);
    return "network namespaces cannot be made here: " + out;
  }
  run_command("ip netns del " + probe);
  return "";
}

std::string unique_lab_name() {
  static std::atomic<int> n{0};
  return "t" + std::to_string(::getpid() % 100000) + std::string(1, char('a' + n++ % 26));
}

Lab::Lab(Options o, const std::vector<std::string>& extra) : name_(unique_lab_name()) {
  std::string cmd = env_prefix() + quote(lab_script()) + " up " + name_;
  if (!o.fleet.empty()) cmd += " --fleet " + quote(o.fleet);
  if (!o.lan1.empty()) cmd += " --lan1 " + quote(o.lan1);
  if (!o.lan2.empty()) cmd += " --lan2 " + quote(o.lan2);
  for (const std::string& a : extra) cmd += " " + quote(a);
  std::string out;
  if (run_command(cmd, &out) != 0) {
    run_command(env_prefix() + quote(lab_script()) + " down " + name_);
    throw std::runtime_error("scripts/lab up " + name_ + " failed:\n" + out);
  }
}

Lab::~Lab() { run_command(env_prefix() + quote(lab_script()) + " down " + name_); }

int Lab::exec(const std::string& cmd, std::string* out) const {
  return run_command(env_prefix() + quote(lab_script()) + " exec " + name_ + " -- sh -c " + quote(cmd), out);
}

std::string Lab::devsim_log() const {
  std::string out;
  run_command("cat /run/tavrix-lab/" + name_ + "/devsim.log", &out);
  return out;
}

std::optional<std::string> Lab::run_in_monitor(const std::function<std::string()>& fn, int timeout_s) const {
  const std::string ns_path = "/var/run/netns/" + monitor_namespace();
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return std::nullopt;
  }
  if (pid == 0) {
    ::close(fds[0]);
    const int ns = ::open(ns_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) ::_exit(3);
    const std::string result = fn();
    std::size_t off = 0;
    while (off < result.size()) {
      const ssize_t w = ::write(fds[1], result.data() + off, result.size() - off);
      if (w <= 0) ::_exit(4);
      off += std::size_t(w);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string text;
  bool timed_out = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      timed_out = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, int(std::min<long long>(left, 1000))) < 0 && errno != EINTR) break;
    if (!(p.revents & (POLLIN | POLLHUP))) continue;
    char buf[4096];
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, std::size_t(n));
  }
  ::close(fds[0]);
  if (timed_out) ::kill(pid, SIGKILL);
  int st = 0;
  ::waitpid(pid, &st, 0);
  if (timed_out || !WIFEXITED(st) || WEXITSTATUS(st) != 0) return std::nullopt;
  return text;
}

}  // namespace tavrix_test
