// The lab from a test: a "needs root and namespaces" skip helper that says why, and
// an RAII fixture that brings a uniquely named lab up (scripts/lab up) and down, and
// runs a shell command or a function inside its monitor namespace.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tavrix_test {

// Empty when a lab can be made here; otherwise the reason (not root, no `ip`, network
// namespaces refused, scripts/lab or tavrix-devsim not found).
std::string lab_unavailable_reason();

// <repo> from TAVRIX_SOURCE (or the compiled-in source folder) and <build>/bin from TAVRIX_BIN.
std::string source_dir();
std::string bin_dir();

// A short name no other running lab uses: "t<pid><n>".
std::string unique_lab_name();

class Lab {
 public:
  struct Options {
    std::string fleet;  // default: data/fleets/sample.json
    std::string lan1;   // default: 192.0.2.0/24
    std::string lan2;   // default: 198.51.100.0/24
  };
  // Runs `scripts/lab up` (with `extra` arguments: --site FLEET, --many-ifs, --firewall);
  // throws std::runtime_error with the script's output on failure.
  explicit Lab(Options options = {}, const std::vector<std::string>& extra = {});
  // Runs `scripts/lab down`.
  ~Lab();
  Lab(const Lab&) = delete;
  Lab& operator=(const Lab&) = delete;

  const std::string& name() const { return name_; }
  std::string monitor_namespace() const { return "tvx-" + name_ + "-m"; }
  std::string device_namespace() const { return "tvx-" + name_ + "-d"; }

  // `scripts/lab exec NAME -- sh -c CMD`; returns the exit status, output (stdout and
  // stderr) in *out when given.
  int exec(const std::string& cmd, std::string* out = nullptr) const;
  // Forks a child that joins the monitor namespace and runs fn there; returns fn's text,
  // or nullopt when the child could not join, crashed or ran over timeout_s (then killed).
  std::optional<std::string> run_in_monitor(const std::function<std::string()>& fn, int timeout_s = 120) const;
  // The devsim log of the lab (for failure messages).
  std::string devsim_log() const;

 private:
  std::string name_;
};

// Runs a shell command, returns its exit status and combined output.
int run_command(const std::string& cmd, std::string* out = nullptr);

}  // namespace tavrix_test

// Skips the current test, saying why, when no lab can be made here.
#define TAVRIX_SKIP_UNLESS_LAB()                                        \
  do {                                                                  \
    const std::string tavrix_why_ = tavrix_test::lab_unavailable_reason(); \
    if (!tavrix_why_.empty()) GTEST_SKIP() << tavrix_why_;              \
  } while (0)
