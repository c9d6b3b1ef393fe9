// Tests of tavrix-cli: the port-table text rules, the check verdict and the watch change
// detection called directly, and the built program run against the loopback simulator
// (directed commands) and in the lab (broadcast search).
#include "core/string_table.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/server_list_file.h"
#include "programs/tavrix-cli/commands.h"
#include "programs/tavrix-cli/output.h"
#include "programs/tavrix-cli/port_table.h"
#include "qeld/model_map.h"
#include "support/lab.h"
#include "support/loopback_sim.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
namespace cli = tavrix::cli;

uint32_t ip(const char* text) {
  return inet_addr(text);
}

// --- running the program -----------------------------------------------------

std::string bin_path() {
  const char* bin = std::getenv("TAVRIX_BIN");
  return std::string(bin ? bin : ".") + "/tavrix-cli";
}

// A child process with its stdout and stderr on pipes.
class Child {
 public:
  // With err_on_terminal, stderr is a pseudo-terminal (as when run by hand).
  explicit Child(std::vector<std::string> args, bool err_on_terminal = false) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::string terminal;
    if (err_on_terminal) {
      err[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      if (err[0] < 0 || grantpt(err[0]) != 0 || unlockpt(err[0]) != 0)
        throw std::runtime_error("pty");
      terminal = ptsname(err[0]);
      err[1] = -1;
    } else if (pipe2(err, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe");
    }
    pid_ = fork();
    if (pid_ == 0) {
      if (!terminal.empty()) err[1] = open(terminal.c_str(), O_RDWR | O_NOCTTY);
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    if (err[1] >= 0) close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
  }
  ~Child() {
    if (!reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
  }

  // The next stdout line, or nullopt when none came within the timeout.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (const auto nl = out_.find('\n'); nl != std::string::npos) {
        std::string line = out_.substr(0, nl);
        out_.erase(0, nl + 1);
        return line;
      }
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= 0ms || (out_fd_ < 0 && err_fd_ < 0)) return std::nullopt;
      pump(std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
    }
  }

  void signal(int sig) { kill(pid_, sig); }

  // Exit status, or -1 when the child did not end in time (it is then killed).
  int wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out_fd_ >= 0 || err_fd_ >= 0) {
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= 0ms) break;
      pump(std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
    }
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  void pump(long timeout_ms) {
    pollfd fds[2];
    int n = 0;
    if (out_fd_ >= 0) fds[n++] = {out_fd_, POLLIN, 0};
    if (err_fd_ >= 0) fds[n++] = {err_fd_, POLLIN, 0};
    if (n == 0 || ::poll(fds, n, static_cast<int>(std::min<long>(timeout_ms, 200))) <= 0) return;
    for (int i = 0; i < n; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
      int& fd = fds[i].fd == out_fd_ ? out_fd_ : err_fd_;
      std::string& sink = fds[i].fd == out_fd_ ? out_ : err_;
      if (got > 0) {
        sink.append(buf, static_cast<std::size_t>(got));
      } else {
        close(fd);
        fd = -1;
      }
    }
  }

  pid_t pid_ = -1;
  int out_fd_ = -1, err_fd_ = -1;
  bool reaped_ = false;
  std::string out_, err_;
};

struct RunResult {
  int code = -1;
  std::string out, err;
};

RunResult run_args(std::vector<std::string> args, std::chrono::seconds timeout = 60s) {
  args.insert(args.begin(), bin_path());
  Child child(std::move(args));
  RunResult r;
  r.code = child.wait(timeout);
  r.out = child.out();
  r.err = child.err();
  return r;
}

int count_lines(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// --- pure steps ----------------------------------------------------------------

qeld::TModelEntry entry(uint32_t key, uint16_t id, uint8_t attr, uint32_t ports, const char* name) {
  qeld::TModelEntry e;
  e.model_key = key;
  e.model_id = id;
  e.attributes[2] = attr;
  e.port_count = ports;
  std::snprintf(e.name, sizeof e.name, "%s", name);
  return e;
}

class PortTableText : public ::testing::Test {
 protected:
  void SetUp() override {
    qeld::set_model_map(
        {entry(1, 0x1104, qeld::kAttrModeSetA, 4, "A-four"), entry(1, 0x1204, 0, 4, "B-four"),
         entry(1, 0x2602, qeld::kAttrModeSetA | qeld::kAttrSecondMac, 2, "A-dual")});
  }
  void TearDown() override { qeld::clear_model_map(); }

  // Connection n (1..4) of port index i: state and peer on one LAN (0/1).
  static void set_conn(tavrix::ServerRecord& s, int i, int n, int lan, uint8_t state, uint32_t peer) {
    uint8_t rec[tavrix::kConnRecordBytes];
    s.load_conn(i, rec);
    std::memcpy(rec + 8 * (n - 1) + 4 * lan, &peer, 4);
    rec[64 + 2 * (n - 1) + lan] = state;
    s.store_conn(i, rec);
  }
};

TEST_F(PortTableText, SetAShowsPeerForConnectedAndStateWordsOtherwise) {
  tavrix::ServerRecord s;
  s.model_id = 0x1104;
  s.port_count = 4;
  s.mode[0] = 15;
  s.mode[1] = 0;
  set_conn(s, 0, 1, 0, 4, ip("192.0.2.50"));
  set_conn(s, 0, 2, 0, 1, ip("192.0.2.51"));  // a peer beside a non-connected state is not shown
  set_conn(s, 0, 3, 0, 10, 0);
  set_conn(s, 0, 4, 0, 200, 0);  // a code without a name gives the empty text
  set_conn(s, 0, 1, 1, 4, 0);    // connected with peer 0: empty cell
  set_conn(s, 0, 2, 1, 3, ip("198.51.100.9"));
  const auto rows = cli::port_table(s);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].mode_cell, "Redundant COM");
  EXPECT_TRUE(rows[0].supported);
  EXPECT_EQ(rows[0].lan1,
            (std::array<std::string, 4>{"192.0.2.50", "Listen", "TCP Time Wait", ""}));
  EXPECT_EQ(rows[0].lan2, (std::array<std::string, 4>{"", "SYN Sent", "TCP Closed", "TCP Closed"}));
  EXPECT_EQ(rows[0].connected1, 1);
  EXPECT_EQ(rows[0].connected2, 1);
  // A mode other than the supported one, and a mode not yet known.
  EXPECT_EQ(rows[1].mode_cell, cli::kNotSupport);
  EXPECT_EQ(rows[1].mode_name, "Terminal(ASCII)");
  EXPECT_EQ(rows[1].lan1, (std::array<std::string, 4>{}));
  EXPECT_EQ(rows[2].mode_code, -1);
  EXPECT_EQ(rows[2].mode_cell, cli::kNotSupport);
  EXPECT_EQ(rows[2].mode_name, "");
}

TEST_F(PortTableText, SetBUsesItsOwnCodes) {
  tavrix::ServerRecord s;
  s.model_id = 0x1204;
  s.port_count = 2;
  s.mode[0] = 22;
  s.mode[1] = 15;  // Redundant COM in set A, but "PPPD" here
  set_conn(s, 0, 1, 0, 3, ip("192.0.2.7"));
  set_conn(s, 0, 2, 0, 4, ip("192.0.2.8"));
  set_conn(s, 0, 3, 0, 2, 0);
  set_conn(s, 0, 4, 0, 6, 0);
  const auto rows = cli::port_table(s);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].mode_cell, "Redundant COM");
  EXPECT_EQ(rows[0].lan1,
            (std::array<std::string, 4>{"192.0.2.7", "TCP Close Wait", "Connecting", ""}));
  EXPECT_EQ(rows[0].connected1, 1);
  EXPECT_EQ(rows[1].mode_cell, cli::kNotSupport);
  EXPECT_EQ(rows[1].mode_name, "PPPD");
}

TEST_F(PortTableText, StatusWordsFollowMonitoringAndBits) {
  tavrix::ServerRecord s;
  EXPECT_EQ(cli::server_status_text(s), "Idle");
  s.monitoring = 1;
  EXPECT_EQ(cli::server_status_text(s), "Off Line");
  s.online = 2;
  EXPECT_EQ(cli::server_status_text(s), "On Line");
  EXPECT_EQ(cli::lan_status_text(2, 0), "Off Line");
  EXPECT_EQ(cli::lan_status_text(2, 1), "On Line");
}

TEST_F(PortTableText, PortCountBeyondTheTableIsCut) {
  tavrix::ServerRecord s;
  s.model_id = 0x1104;
  s.port_count = 40;
  EXPECT_EQ(cli::port_table(s).size(), static_cast<std::size_t>(tavrix::kMaxPorts));
  s.port_count = 0;
  EXPECT_TRUE(cli::port_table(s).empty());
}

TEST_F(PortTableText, CheckVerdicts) {
  auto server = std::make_shared<tavrix::ServerRecord>();
  server->model_key = 1;
  server->model_id = 0x2602;
  server->port_count = 2;
  server->dual_lan = 1;
  server->mode[0] = 15;
  server->mode[1] = 15;
  set_conn(*server, 0, 1, 0, 4, ip("192.0.2.50"));
  set_conn(*server, 0, 1, 1, 4, ip("198.51.100.50"));
  set_conn(*server, 1, 2, 0, 4, ip("192.0.2.51"));
  set_conn(*server, 1, 3, 1, 4, ip("198.51.100.51"));
  cli::ProbeResult probe;
  probe.search_code = 1;
  probe.found = true;
  probe.server = server;
  probe.lan[0].up = probe.lan[1].up = true;

  auto v = cli::evaluate_check("192.0.2.10", probe);
  EXPECT_EQ(v.status, cli::kCheckOk);
  EXPECT_EQ(v.line,
            "TAVRIX OK - 192.0.2.10 A-dual On Line, 2 ports, 2 Redundant COM | online=1 ports=2 "
            "redundant=2 connected_lan1=2 connected_lan2=2");

  // Port 2 loses its LAN2 connection while LAN1 still has one.
  set_conn(*server, 1, 3, 1, 0, 0);
  v = cli::evaluate_check("192.0.2.10", probe);
  EXPECT_EQ(v.status, cli::kCheckWarning);
  EXPECT_NE(v.line.find("redundancy lost on port 2 (no connection on LAN2)"), std::string::npos)
      << v.line;
  EXPECT_NE(v.line.find("| online=1 ports=2 redundant=2 connected_lan1=2 connected_lan2=1"),
            std::string::npos);

  // Neither LAN connected on a port is no redundancy loss; a silent LAN2 is.
  set_conn(*server, 1, 2, 0, 0, 0);
  probe.lan[1].up = false;
  v = cli::evaluate_check("192.0.2.10", probe);
  EXPECT_EQ(v.status, cli::kCheckWarning);
  EXPECT_EQ(v.line.find("redundancy lost"), std::string::npos) << v.line;
  EXPECT_NE(v.line.find("LAN2 does not answer"), std::string::npos) << v.line;

  probe.lan[0].up = false;
  v = cli::evaluate_check("192.0.2.10", probe);
  EXPECT_EQ(v.status, cli::kCheckCritical);
  EXPECT_EQ(v.line,
            "TAVRIX CRITICAL - 192.0.2.10 does not answer | online=0 ports=0 redundant=0 "
            "connected_lan1=0 connected_lan2=0");

  probe.search_code = -3;
  EXPECT_EQ(cli::evaluate_check("192.0.2.10", probe).status, cli::kCheckUnknown);

  cli::ProbeResult missing;
  missing.search_code = -2;
  EXPECT_EQ(cli::evaluate_check("192.0.2.10", missing).status, cli::kCheckCritical);
}

TEST_F(PortTableText, OneLanServerHasNoRedundancyToLose) {
  auto server = std::make_shared<tavrix::ServerRecord>();
  server->model_key = 1;
  server->model_id = 0x1104;
  server->port_count = 1;
  server->mode[0] = 15;
  set_conn(*server, 0, 1, 0, 4, ip("192.0.2.50"));
  cli::ProbeResult probe;
  probe.search_code = 1;
  probe.found = true;
  probe.server = server;
  probe.lan[0].up = true;
  EXPECT_EQ(cli::evaluate_check("192.0.2.10", probe).status, cli::kCheckOk);
  // Asking for a second LAN that is not there is a warning.
  probe.lan2_requested = true;
  EXPECT_EQ(cli::evaluate_check("192.0.2.10", probe).status, cli::kCheckWarning);
}

TEST_F(PortTableText, WatchReportsModeAndConnectionChanges) {
  tavrix::ServerRecord s;
  s.model_id = 0x1104;
  s.port_count = 2;
  s.mode[0] = 15;
  s.mode[1] = 0;
  set_conn(s, 0, 1, 0, 4, ip("192.0.2.50"));
  const auto before = cli::port_table(s);
  EXPECT_TRUE(cli::diff_ports(before, cli::port_table(s)).empty());

  set_conn(s, 0, 1, 0, 0, 0);
  set_conn(s, 0, 4, 1, 1, 0);
  s.mode[1] = 15;
  const auto after = cli::port_table(s);
  const auto events = cli::diff_ports(before, after);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].kind, cli::WatchEvent::kConnection);
  EXPECT_EQ(events[0].port, 1);
  EXPECT_EQ(events[0].lan, 1);
  EXPECT_EQ(events[0].connection, 1);
  EXPECT_EQ(events[0].previous, "192.0.2.50");
  EXPECT_EQ(events[0].value, "TCP Closed");
  EXPECT_EQ(events[1].lan, 2);
  EXPECT_EQ(events[1].connection, 4);
  EXPECT_EQ(events[1].value, "Listen");
  // A port entering the supported mode is one mode event, not eight connection events.
  EXPECT_EQ(events[2].kind, cli::WatchEvent::kMode);
  EXPECT_EQ(events[2].port, 2);
  EXPECT_EQ(events[2].previous, "[NOT SUPPORT] (Terminal(ASCII))");
  EXPECT_EQ(events[2].value, "Redundant COM");
  ASSERT_NE(events[2].port_texts, nullptr);
  EXPECT_TRUE(events[2].port_texts->supported);
}

TEST_F(PortTableText, AFastFailureIsNotAnAnswer) {
  // A handle whose open failed makes the reads fail at once, without traffic.
  tavrix::ServerRecord s;
  s.model_id = 0x1104;
  s.port_count = 4;
  s.online = 1;
  qeld::QueryChannel channel;
  const tavrix::core::LanCycle poll = tavrix::core::poll_lan_cycle(s, 0, channel);
  EXPECT_EQ(poll.modes_result, -5);
  EXPECT_TRUE(poll.modes_in_time);
  EXPECT_FALSE(poll.up);
  EXPECT_EQ(s.online.load(), 0) << "the LAN must read Off Line";
  EXPECT_EQ(s.mode_at(0), -1);
}

TEST(OnlineConfirm, ReportsOnlyAfterEnoughAgreeingObservations) {
  cli::OnlineConfirm one(true, 1);
  EXPECT_FALSE(one.observe(true));
  EXPECT_TRUE(one.observe(false));
  EXPECT_FALSE(one.state());
  EXPECT_TRUE(one.observe(true));

  cli::OnlineConfirm three(true, 3);
  EXPECT_FALSE(three.observe(false));
  EXPECT_FALSE(three.observe(false));
  EXPECT_FALSE(three.observe(true));  // a good answer in between starts the count again
  EXPECT_FALSE(three.observe(false));
  EXPECT_FALSE(three.observe(false));
  EXPECT_TRUE(three.observe(false));
  EXPECT_FALSE(three.state());
  EXPECT_FALSE(three.observe(false));

  cli::OnlineConfirm zero(false, 0);  // treated as 1
  EXPECT_TRUE(zero.observe(true));
}

TEST(CliAddresses, ParsingAndTheSearchRule) {
  EXPECT_EQ(cli::parse_ipv4("192.0.2.10"), ip("192.0.2.10"));
  EXPECT_FALSE(cli::parse_ipv4("abc"));
  EXPECT_FALSE(cli::parse_ipv4(""));
  EXPECT_FALSE(cli::parse_ipv4("10.1"));  // no shorthand forms
  EXPECT_FALSE(cli::parse_ipv4("1.2.3.256"));
  EXPECT_EQ(cli::check_device_address("0.0.0.1").value(), ip("0.0.0.1"));
  EXPECT_TRUE(cli::check_device_address("10.0.0.254"));
  for (const char* bad : {"192.168.1.0", "192.168.1.255", "255.255.255.255", "", "abc"})
    EXPECT_FALSE(cli::check_device_address(bad).reason().empty()) << bad;
}

TEST(CliOutput, CsvQuotingAndTableAlignment) {
  EXPECT_EQ(cli::csv_field("TVX-1104"), "TVX-1104");
  EXPECT_EQ(cli::csv_field("a,b"), "\"a,b\"");
  EXPECT_EQ(cli::csv_field("say \"hi\""), "\"say \"\"hi\"\"\"");
  std::ostringstream table;
  cli::print_table(table, {{"No", "Name"}, {{"1", "alpha"}, {"10", ""}}});
  EXPECT_EQ(table.str(), "No  Name\n1   alpha\n10\n");
  EXPECT_EQ(cli::hex(0x2613, 4), "0x2613");
  EXPECT_EQ(cli::hex(1, 8), "0x00000001");
}

// --- the program against the loopback simulator ----------------------------------

devsim::Device device(int n, uint32_t key, uint16_t id, char set, int ports, int mode) {
  devsim::Device d;
  d.name = "cli-" + std::to_string(n);
  d.model_key = key;
  d.model_id = id;
  d.unit_id = static_cast<uint16_t>(n + 1);
  d.mac1 = {0x02, 0x54, 0x58, 0x10, 0x00, static_cast<uint8_t>(2 * n)};
  d.ip1 = tavrix_test::LoopbackSim::device_ip(n);
  d.text_set = set;
  d.ports.resize(static_cast<std::size_t>(ports));
  for (auto& p : d.ports) p.mode = mode;
  return d;
}

void make_dual(devsim::Device& d, int n) {
  d.mac2 = d.mac1;
  d.mac2[5] |= 1;
  d.ip2 = htonl(0x7F000100u + 2 + static_cast<uint32_t>(n));
}

void connect(devsim::Device& d, int port, int conn, int lan, uint8_t state, const char* peer) {
  auto& c = d.ports[static_cast<std::size_t>(port - 1)]
                .conns[static_cast<std::size_t>(conn - 1)]
                .lan[lan - 1];
  c.state = state;
  c.peer = ip(peer);
}

// The fleet: 0 one-LAN set A, 1 one-LAN set B, 2 two-LAN set A (4800, layout 40),
// 3 two-LAN set B answering only in the 1029 family, 4 two-LAN set A with port 1
// connected on LAN1 only, 5 one-LAN set A with one port in a plain mode.
devsim::Fleet cli_fleet() {
  devsim::Fleet f;
  devsim::Device a = device(0, 1, 0x1104, 'A', 4, 15);
  a.ports[1].mode = 0;
  a.ports[3].mode = 3;
  connect(a, 1, 1, 1, 4, "192.0.2.50");
  connect(a, 1, 2, 1, 1, "0.0.0.0");
  connect(a, 3, 1, 1, 4, "0.0.0.0");
  f.devices.push_back(a);

  devsim::Device b = device(1, 1, 0x1204, 'B', 4, 22);
  b.ports[1].mode = 15;
  connect(b, 1, 1, 1, 3, "192.0.2.60");
  connect(b, 1, 2, 1, 2, "192.0.2.61");
  f.devices.push_back(b);

  devsim::Device c = device(2, 1, 0x2602, 'A', 2, 15);
  make_dual(c, 2);
  c.layout_4800 = 40;
  connect(c, 1, 1, 1, 4, "192.0.2.70");
  connect(c, 1, 1, 2, 4, "198.51.100.70");
  f.devices.push_back(c);

  devsim::Device d = device(3, 0, 0x3202, 'B', 2, 22);
  make_dual(d, 3);
  d.answers_4800 = false;
  d.code_1029 = 0x82;
  connect(d, 2, 1, 1, 3, "192.0.2.80");
  connect(d, 2, 1, 2, 3, "198.51.100.80");
  f.devices.push_back(d);

  devsim::Device e = device(4, 1, 0x2602, 'A', 2, 15);
  make_dual(e, 4);
  e.layout_4800 = 40;
  connect(e, 1, 1, 1, 4, "192.0.2.90");
  connect(e, 1, 1, 2, 1, "0.0.0.0");
  f.devices.push_back(e);

  f.devices.push_back(device(5, 1, 0x1101, 'A', 1, 0));
  return f;
}

class CliProgram : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(access(bin_path().c_str(), X_OK), 0) << "tavrix-cli not built at " << bin_path();
  }
  void SetUp() override { sim_ = std::make_unique<tavrix_test::LoopbackSim>(cli_fleet()); }

  // Loopback only: the simulator's ports and the local address list 127.0.0.1.
  std::vector<std::string> lab_args() const {
    return {"--device-ports",
            std::to_string(sim_->port_4800()) + "," + std::to_string(sim_->port_1029()),
            "--local-address", "127.0.0.1"};
  }
  RunResult run(std::vector<std::string> args, std::chrono::seconds timeout = 60s) {
    for (auto& a : lab_args()) args.push_back(a);
    return run_args(std::move(args), timeout);
  }
  std::unique_ptr<Child> spawn(std::vector<std::string> args) {
    args.insert(args.begin(), bin_path());
    for (auto& a : lab_args()) args.push_back(a);
    return std::make_unique<Child>(std::move(args));
  }
  static std::string dev(int n) {
    in_addr a{};
    a.s_addr = tavrix_test::LoopbackSim::device_ip(n);
    return inet_ntoa(a);
  }

  std::unique_ptr<tavrix_test::LoopbackSim> sim_;
};

TEST_F(CliProgram, SearchByAddressInEachFormat) {
  RunResult r = run({"search", "--ip", dev(0)});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "No  Model     MAC Address1       IP Address1  MAC Address2  IP Address2  Local "
            "Address  Family\n"
            "1   TVX-1104  02:54:58:10:00:00  127.0.0.2    ---           ---          127.0.0.1    "
            "  4800\n");
  EXPECT_EQ(r.err.find("Searching"), std::string::npos) << "no progress line in piped output";

  r = run({"search", "--ip", dev(2), "--format", "csv"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "no,model,mac1,ip1,mac2,ip2,local_ip,family\n"
            "1,TVX-2602R,02:54:58:10:00:04,127.0.0.4,02:54:58:10:00:05,127.0.1.4,127.0.0.1,4800\n");

  r = run({"search", "--ip", dev(3), "--format", "json", "--timeout", "3"});
  ASSERT_EQ(r.code, 0) << r.err;
  const json j = json::parse(r.out);
  EXPECT_EQ(j["count"], 1);
  const json& s = j["servers"][0];
  EXPECT_EQ(s["no"], 1);
  EXPECT_EQ(s["model"], "TVX-3202UR");
  EXPECT_EQ(s["mac1"], "02:54:58:10:00:06");
  EXPECT_EQ(s["ip1"], "127.0.0.5");
  EXPECT_EQ(s["mac2"], "02:54:58:10:00:07");
  EXPECT_EQ(s["ip2"], "127.0.1.5");
  EXPECT_EQ(s["local_ip"], "127.0.0.1");
  EXPECT_EQ(s["family"], 1029);
  EXPECT_EQ(s["model_id"], 0x3202);

  r = run({"search", "--ip", dev(0), "--format", "json"});
  const json single = json::parse(r.out);
  EXPECT_TRUE(single["servers"][0]["mac2"].is_null());
  EXPECT_TRUE(single["servers"][0]["ip2"].is_null());
}

TEST_F(CliProgram, SearchShowsProgressOnlyOnATerminal) {
  std::vector<std::string> args = {bin_path(), "search", "--ip", "127.0.0.60", "--timeout", "3"};
  for (auto& a : lab_args()) args.push_back(a);
  Child child(args, true);
  EXPECT_EQ(child.wait(60s), 1);
  // The remaining time counts down from the time-out, and the line is cleared at the end.
  EXPECT_NE(child.err().find("\rSearching..., found 0, remaining 3 seconds"), std::string::npos)
      << child.err();
  EXPECT_NE(child.err().find("\rSearching..., found 0, remaining 1 seconds"), std::string::npos)
      << child.err();
  EXPECT_NE(child.err().find("\r\033[K"), std::string::npos);
  EXPECT_EQ(child.out().find("Searching"), std::string::npos);
}

TEST_F(CliProgram, SearchFindingNothingOrFailingToOpenSockets) {
  RunResult r = run({"search", "--ip", "127.0.0.60", "--timeout", "3"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(count_lines(r.out), 1) << "header only: " << r.out;
  EXPECT_NE(r.err.find("no Tavrix server answered at 127.0.0.60"), std::string::npos) << r.err;

  // A local address this host does not have cannot be bound: a socket error, nothing sent.
  r = run_args(
      {"search", "--ip", dev(0), "--device-ports", "1,2", "--local-address", "192.0.2.254"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("socket error"), std::string::npos) << r.err;
}

TEST_F(CliProgram, ProbeTextOfOneLanSetAServer) {
  const RunResult r = run({"probe", dev(0)});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Model:        TVX-1104 (id 0x1104, text set A)\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("IP Address:   127.0.0.2\n"), std::string::npos);
  EXPECT_NE(r.out.find("Status:       On Line\n"), std::string::npos);
  EXPECT_EQ(r.out.find("LAN2:"), std::string::npos) << "a one-LAN server has no LAN2 status";
  const std::regex port1(
      R"(\n1 +Redundant COM +LAN1 +192\.0\.2\.50 +Listen +TCP Closed +TCP Closed\n-  +- +LAN2 +TCP Closed +TCP Closed +TCP Closed +TCP Closed\n)");
  EXPECT_TRUE(std::regex_search(r.out, port1)) << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\n2 +\[NOT SUPPORT\]\n-\n)"))) << r.out;
  // Connected with peer 0: an empty cell before the state words of connections 2-4.
  EXPECT_TRUE(std::regex_search(
      r.out, std::regex(R"(\n3 +Redundant COM +LAN1 +TCP Closed +TCP Closed +TCP Closed\n)")))
      << r.out;
}

TEST_F(CliProgram, ProbeJsonOfOneLanSetBServer) {
  const RunResult r = run({"probe", dev(1), "--format", "json"});
  ASSERT_EQ(r.code, 0) << r.err;
  const json j = json::parse(r.out);
  EXPECT_EQ(j["model"], "TVX-1204T");
  EXPECT_EQ(j["text_set"], "B");
  EXPECT_EQ(j["dual_lan"], false);
  EXPECT_TRUE(j["lan2"].is_null());
  EXPECT_EQ(j["lan1"]["status"], "On Line");
  EXPECT_EQ(j["lan1"]["answered"], true);
  EXPECT_EQ(j["status"], "On Line");
  ASSERT_EQ(j["ports"].size(), 4u);
  const json& p1 = j["ports"][0];
  EXPECT_EQ(p1["mode"], "Redundant COM");
  EXPECT_EQ(p1["mode_code"], 22);
  EXPECT_EQ(p1["lan1"], json({"192.0.2.60", "Connecting", "TCP Closed", "TCP Closed"}));
  const json& p2 = j["ports"][1];
  EXPECT_EQ(p2["mode"], "[NOT SUPPORT]");
  EXPECT_EQ(p2["mode_name"], "PPPD");
  EXPECT_EQ(p2["supported"], false);
  EXPECT_TRUE(p2["lan1"].empty());
}

TEST_F(CliProgram, ProbeOfTwoLanServersInBothFamilies) {
  RunResult r = run({"probe", dev(2), "--format", "json"});
  ASSERT_EQ(r.code, 0) << r.err;
  json j = json::parse(r.out);
  EXPECT_EQ(j["dual_lan"], true);
  EXPECT_EQ(j["ip2"], "127.0.1.4");
  EXPECT_EQ(j["lan2"]["status"], "On Line");
  EXPECT_EQ(j["ports"][0]["lan1"][0], "192.0.2.70");
  EXPECT_EQ(j["ports"][0]["lan2"][0], "198.51.100.70");
  // Both LANs were asked, each at its own address.
  const auto idx = static_cast<std::size_t>((*sim_)->find_device("cli-2"));
  EXPECT_GE((*sim_)->request_count(idx, 0x41), 2u);

  r = run({"probe", dev(3)});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Model:        TVX-3202UR (id 0x3202, text set B)\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("IP Address:   127.0.0.5, 127.0.1.5\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("LAN2:         On Line\n"), std::string::npos) << r.out;
  EXPECT_TRUE(std::regex_search(
      r.out, std::regex(R"(\n2 +Redundant COM +LAN1 +192\.0\.2\.80 +TCP Closed)")))
      << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\n- +- +LAN2 +198\.51\.100\.80 +TCP Closed)")))
      << r.out;
}

TEST_F(CliProgram, ProbeWithSecondLanAddress) {
  // A one-LAN reply plus the address of the second LAN (served by the same simulator).
  RunResult r = run({"probe", dev(2), "--lan2", "127.0.1.4", "--format", "json"});
  ASSERT_EQ(r.code, 0) << r.err;
  json j = json::parse(r.out);
  EXPECT_EQ(j["ip2"], "127.0.1.4");
  EXPECT_EQ(j["lan2"]["answered"], true);

  r = run({"probe", dev(0), "--lan2", "127.0.1.60", "--timeout", "3", "--format", "json"});
  ASSERT_EQ(r.code, 0) << r.err;
  j = json::parse(r.out);
  EXPECT_EQ(j["dual_lan"], false);
}

TEST_F(CliProgram, ProbeOfAnAddressWhereNothingAnswers) {
  const RunResult r = run({"probe", "127.0.0.60", "--timeout", "3"});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(r.out.empty()) << r.out;
  EXPECT_NE(r.err.find("no Tavrix server answered at 127.0.0.60"), std::string::npos) << r.err;
}

TEST_F(CliProgram, CheckGivesEachVerdict) {
  RunResult r = run({"check", dev(2)});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out,
            "TAVRIX OK - 127.0.0.4 TVX-2602R On Line, 2 ports, 2 Redundant COM | online=1 ports=2 "
            "redundant=2 connected_lan1=1 connected_lan2=1\n");

  r = run({"check", dev(4)});
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_EQ(
      r.out.rfind(
          "TAVRIX WARNING - 127.0.0.6 TVX-2602R: redundancy lost on port 1 (no connection on LAN2)",
          0),
      0u)
      << r.out;
  EXPECT_NE(r.out.find("| online=1 ports=2 redundant=2 connected_lan1=1 connected_lan2=0\n"),
            std::string::npos);

  r = run({"check", "127.0.0.60", "--timeout", "3"});
  EXPECT_EQ(r.code, 2) << r.out;
  EXPECT_EQ(r.out.rfind("TAVRIX CRITICAL - 127.0.0.60 does not answer |", 0), 0u) << r.out;

  // The device goes silent on commands while it still answers searches.
  const auto idx = static_cast<std::size_t>((*sim_)->find_device("cli-5"));
  devsim::Faults silent;
  silent.silent = true;
  silent.scope = devsim::FaultScope::kCommands;
  ASSERT_TRUE((*sim_)->set_faults(idx, silent));
  r = run({"check", dev(5)});
  EXPECT_EQ(r.code, 2) << r.out;
  EXPECT_EQ(r.out.rfind("TAVRIX CRITICAL", 0), 0u) << r.out;

  for (const auto& bad : std::vector<std::vector<std::string>>{{"check", "127.0.0.255"},
                                                               {"check", "nonsense"},
                                                               {"check", dev(0), "--bogus"},
                                                               {"check"}}) {
    r = run(bad);
    EXPECT_EQ(r.code, 3) << bad.back();
    EXPECT_EQ(r.out.rfind("TAVRIX UNKNOWN - ", 0), 0u) << r.out;
    EXPECT_EQ(count_lines(r.out), 1);
  }
  r = run_args({"check", dev(0), "--device-ports", "1,2", "--local-address", "192.0.2.254"});
  EXPECT_EQ(r.code, 3) << r.out;
  EXPECT_EQ(r.out.rfind("TAVRIX UNKNOWN - socket error", 0), 0u) << r.out;
}

TEST_F(CliProgram, CheckWithSecondLanThatDoesNotAnswer) {
  const RunResult r = run({"check", dev(0), "--lan2", "127.0.1.60", "--timeout", "3"});
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find("LAN2 does not answer"), std::string::npos) << r.out;
}

TEST_F(CliProgram, WatchReportsAConnectionDroppingAndReturningThenEndsOnSigint) {
  auto child = spawn({"watch", dev(2), "--refresh", "1", "--format", "jsonl"});
  auto line = child->read_line(30s);
  ASSERT_TRUE(line) << child->err();
  json first = json::parse(*line);
  EXPECT_EQ(first["event"], "initial");
  EXPECT_EQ(first["server"], dev(2));
  EXPECT_EQ(first["lan1"], "On Line");
  EXPECT_EQ(first["lan2"], "On Line");
  EXPECT_EQ(first["ports"][0]["lan1"][0], "192.0.2.70");
  EXPECT_TRUE(std::regex_match(first["time"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));

  const auto idx = static_cast<std::size_t>((*sim_)->find_device("cli-2"));
  ASSERT_TRUE((*sim_)->set_connection(idx, 1, 1, 2, 0, 0));
  line = child->read_line(30s);
  ASSERT_TRUE(line) << child->err();
  json e = json::parse(*line);
  EXPECT_EQ(e["event"], "connection");
  EXPECT_EQ(e["port"], 1);
  EXPECT_EQ(e["lan"], 2);
  EXPECT_EQ(e["connection"], 1);
  EXPECT_EQ(e["previous"], "198.51.100.70");
  EXPECT_EQ(e["value"], "TCP Closed");

  ASSERT_TRUE((*sim_)->set_connection(idx, 1, 1, 2, 4, ip("198.51.100.71")));
  line = child->read_line(30s);
  ASSERT_TRUE(line) << child->err();
  e = json::parse(*line);
  EXPECT_EQ(e["event"], "connection");
  EXPECT_EQ(e["previous"], "TCP Closed");
  EXPECT_EQ(e["value"], "198.51.100.71");

  ASSERT_TRUE((*sim_)->set_port_mode(idx, 2, 0));
  line = child->read_line(30s);
  ASSERT_TRUE(line) << child->err();
  e = json::parse(*line);
  EXPECT_EQ(e["event"], "mode");
  EXPECT_EQ(e["port"], 2);
  EXPECT_EQ(e["previous"], "Redundant COM");
  EXPECT_EQ(e["value"], "[NOT SUPPORT] (Terminal(ASCII))");
  EXPECT_EQ(e["cell"], "[NOT SUPPORT]");

  child->signal(SIGINT);
  EXPECT_EQ(child->wait(30s), 0) << child->err();
  EXPECT_EQ(child->out(), "") << "no line after the interrupt";
}

TEST_F(CliProgram, WatchReportsAServerGoingSilentAndBack) {
  // Two samples in a row must agree before On/Off Line is reported.
  auto child = spawn({"watch", dev(5), "--refresh", "1", "--confirm", "2"});
  auto line = child->read_line(30s);
  ASSERT_TRUE(line) << child->err();
  EXPECT_TRUE(std::regex_match(
      *line,
      std::regex(
          R"(\S+Z 127\.0\.0\.7 initial "TVX-1101" LAN1 On Line; port 1 "\[NOT SUPPORT\]" \(Terminal\(ASCII\)\))")))
      << *line;

  const auto idx = static_cast<std::size_t>((*sim_)->find_device("cli-5"));
  devsim::Faults silent;
  silent.silent = true;
  ASSERT_TRUE((*sim_)->set_faults(idx, silent));
  line = child->read_line(60s);
  ASSERT_TRUE(line) << child->err();
  EXPECT_TRUE(std::regex_match(*line, std::regex(R"(\S+Z 127\.0\.0\.7 LAN1 Off Line)"))) << *line;

  ASSERT_TRUE((*sim_)->set_faults(idx, devsim::Faults{}));
  line = child->read_line(60s);
  ASSERT_TRUE(line) << child->err();
  EXPECT_TRUE(std::regex_match(*line, std::regex(R"(\S+Z 127\.0\.0\.7 LAN1 On Line)"))) << *line;

  child->signal(SIGTERM);
  EXPECT_EQ(child->wait(30s), 0) << child->err();
}

TEST_F(CliProgram, WatchOfSeveralServersEndsByItselfAndSkipsSilentOnes) {
  const RunResult r = run({"watch", dev(0), "127.0.0.60", dev(1), "--refresh", "1", "--duration",
                           "3", "--timeout", "3"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("no Tavrix server answered at 127.0.0.60; not watched"), std::string::npos)
      << r.err;
  ASSERT_EQ(count_lines(r.out), 2) << r.out;
  EXPECT_NE(r.out.find(" 127.0.0.2 initial \"TVX-1104\" LAN1 On Line; port 1 \"Redundant COM\" "
                       "LAN1 [192.0.2.50 | "
                       "Listen | TCP Closed | TCP Closed]"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(" 127.0.0.3 initial \"TVX-1204T\" LAN1 On Line"), std::string::npos)
      << r.out;

  const RunResult none = run({"watch", "127.0.0.60", "--timeout", "3", "--duration", "2"});
  EXPECT_EQ(none.code, 1);
}

TEST_F(CliProgram, SearchSavesAServerListThatWatchReadsWithoutASearch) {
  const std::string path =
      ::testing::TempDir() + "cli_servers_" + std::to_string(getpid()) + ".json";
  RunResult r = run({"search", "--ip", dev(2), "--save", path});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto read = tavrix::read_server_list_file(path);
  ASSERT_TRUE(read) << read.reason();
  const std::vector<tavrix::ServerListEntry>& saved = *read;
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(saved[0].model, "TVX-2602R");
  EXPECT_EQ(saved[0].identity.model_id, 0x2602);
  EXPECT_EQ(saved[0].identity.ip2, ip("127.0.1.4"));
  EXPECT_EQ(saved[0].identity.mac2[5], 0x05);

  // Watched from the file alone: both LANs On Line at once, with no address given.
  r = run({"watch", "--servers", path, "--refresh", "1", "--duration", "2"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find(" 127.0.0.4 initial \"TVX-2602R\" LAN1 On Line, LAN2 On Line"),
            std::string::npos)
      << r.out;

  std::ofstream(path) << R"({"format": "tavrix-server-list", "version": 2, "servers": []})";
  r = run({"watch", "--servers", path});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "tavrix-cli: " + path +
                       ": version 2 is newer than this program reads (1); use a newer Tavrix "
                       "Monitor Utility\n");
  std::remove(path.c_str());
}

TEST_F(CliProgram, BadInputGivesOneLineAndExitTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {"search", "--ip", "192.168.1.0"},
      {"search", "--ip", "192.168.1.255"},
      {"search", "--ip", "abc"},
      {"search", "--timeout", "2"},
      {"search", "--timeout", "61"},
      {"search", "--format", "xml"},
      {"search", "--bogus"},
      {"probe"},
      {"probe", "10.0.0.0"},
      {"probe", dev(0), "--lan2", "1.2.3.255"},
      {"watch", dev(0), "--refresh", "0"},
      {"watch", dev(0), "--refresh", "100"},
      {"watch", dev(0), "--confirm", "0"},
      {"watch", "255.255.255.255"},
      {"watch"},
      {"models", "--format", "jsonl"},
      {"frobnicate"},
      {},
      {"search", "--device-ports", "4800"},
  };
  for (const auto& args : cases) {
    const RunResult r = run_args(args, 30s);
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(r.code, 2) << joined << r.err;
    EXPECT_EQ(count_lines(r.err), 1) << joined << r.err;
    EXPECT_EQ(r.err.rfind("tavrix-cli: ", 0), 0u) << joined << r.err;
    EXPECT_TRUE(r.out.empty()) << joined << r.out;
  }
}

TEST_F(CliProgram, HelpAndVersionOfEveryCommand) {
  for (const char* cmd : {"search", "probe", "watch", "check", "models"}) {
    RunResult r = run_args({cmd, "--help"});
    EXPECT_EQ(r.code, 0) << cmd;
    EXPECT_NE(r.out.find("Examples:"), std::string::npos) << cmd << r.out;
    EXPECT_NE(r.out.find(std::string("tavrix-cli ") + cmd), std::string::npos) << cmd;
    // The lab aids stay hidden.
    EXPECT_EQ(r.out.find("--device-ports"), std::string::npos) << cmd;
    EXPECT_EQ(r.out.find("--duration"), std::string::npos) << cmd;
    r = run_args({cmd, "--version"});
    EXPECT_EQ(r.code, 0) << cmd;
    EXPECT_EQ(r.out, "tavrix-cli 1.1 Build 07101915\n") << cmd;
  }
}

TEST_F(CliProgram, ModelsAsTheProgramReadsThem) {
  RunResult r = run_args({"models", "--format", "json"});
  ASSERT_EQ(r.code, 0) << r.err << " (GIdMap.dat beside the program?)";
  const json j = json::parse(r.out);
  ASSERT_GT(j["count"].get<int>(), 0);
  ASSERT_EQ(j["models"].size(), j["count"].get<std::size_t>());
  bool two_reply_model = false;
  for (const auto& m : j["models"]) {
    for (const char* key :
         {"no", "model_key", "model_id", "attributes", "text_set", "second_mac", "ports", "name"})
      EXPECT_TRUE(m.contains(key)) << key;
    EXPECT_EQ(m["text_set"], (m["attributes"].get<int>() & 0x04) ? "A" : "B");
    EXPECT_EQ(m["second_mac"], (m["attributes"].get<int>() & 0x40) != 0);
    two_reply_model |= m["model_id"] == 0x2613;
  }
  EXPECT_TRUE(two_reply_model);

  r = run_args({"models", "--format", "csv"});
  ASSERT_EQ(r.code, 0);
  EXPECT_EQ(r.out.rfind("no,model_key,model_id,attributes,text_set,second_mac,ports,name\n", 0),
            0u);
  EXPECT_EQ(count_lines(r.out), j["count"].get<int>() + 1);

  r = run_args({"models"});
  ASSERT_EQ(r.code, 0);
  EXPECT_EQ(r.out.rfind("No  Key         Id      Attributes  Set  Second MAC  Ports  Name\n", 0),
            0u)
      << r.out;
  EXPECT_NE(r.out.find("0x2613"), std::string::npos);
}

// Started from a folder of its own with no map in it or beside the program, every
// command names each file it looked for, and the ones that search stop before sending.
TEST(CliNoMap, EveryCommandNamesTheFilesLookedFor) {
  const std::string installed = std::string(qeld::model_map_data_dir()) + "/GIdMap.dat";
  if (access(installed.c_str(), F_OK) == 0)
    GTEST_SKIP() << installed << " is installed on this machine, so a map is always found";
  const auto dir =
      std::filesystem::temp_directory_path() / ("tavrix-cli-nomap-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::copy_file(bin_path(), dir / "tavrix-cli",
                             std::filesystem::copy_options::overwrite_existing);
  struct Case {
    const char* args;
    int code;
    bool on_stdout;  // check answers as a plugin: one status line on stdout
  } cases[] = {
      {"models", 1, false},          {"search --ip 127.0.0.1", 2, false},
      {"probe 127.0.0.1", 2, false}, {"watch 127.0.0.1", 2, false},
      {"check 127.0.0.1", 3, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    Child child({"/bin/sh", "-c", "cd '" + dir.string() + "' && exec ./tavrix-cli " + c.args});
    ASSERT_EQ(child.wait(30s), c.code) << child.err();
    const std::string text = c.on_stdout ? child.out() : child.err();
    EXPECT_EQ(count_lines(text), 1) << text;
    EXPECT_NE(text.find("no model map"), std::string::npos) << text;
    for (const std::string& tried :
         {(dir / "GIdMap.dat").string() + " (current directory): not found",
          (dir / "GIdMap.dat").string() + " (beside the executable): not found",
          installed + " (installed data folder): not found"})
      EXPECT_NE(text.find(tried), std::string::npos) << text;
    EXPECT_LT(text.find("(current directory)"), text.find("(beside the executable)"));
    EXPECT_LT(text.find("(beside the executable)"), text.find("(installed data folder)"));
  }
  std::filesystem::remove_all(dir);
}

// --- broadcast search, only inside the lab ------------------------------------

// The lab's own fleet: a one-LAN set A server, a two-LAN model whose reply carries no
// second MAC (dropped by a broadcast search, kept by a directed one), a two-LAN set B
// server and a one-LAN server that answers only in the 1029 family.
std::string write_lab_fleet() {
  devsim::Fleet f;
  devsim::Device a = device(0, 1, 0x1104, 'A', 4, 15);
  a.ip1 = ip("192.0.2.10");
  a.answers_1029 = false;  // one family each, so that every server is one row
  f.devices.push_back(a);
  devsim::Device b = device(1, 1, 0x2602, 'A', 2, 15);
  b.ip1 = ip("192.0.2.20");
  b.answers_1029 = false;
  f.devices.push_back(b);
  devsim::Device c = device(2, 1, 0x2616, 'B', 2, 22);
  c.ip1 = ip("192.0.2.30");
  c.mac2 = c.mac1;
  c.mac2[5] |= 1;
  c.ip2 = ip("198.51.100.30");
  c.layout_4800 = 40;
  c.answers_1029 = false;
  connect(c, 1, 1, 1, 3, "192.0.2.1");
  connect(c, 1, 1, 2, 3, "198.51.100.1");
  f.devices.push_back(c);
  devsim::Device d = device(3, 0, 0x3108, 'B', 8, 0);
  d.ip1 = ip("198.51.100.40");
  d.answers_4800 = false;
  d.code_1029 = 0xC9;
  f.devices.push_back(d);
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("tavrix-cli-lab-" + std::to_string(getpid()) + ".json"))
                               .string();
  std::ofstream(path) << devsim::fleet_to_json(f);
  return path;
}

TEST(CliLab, BroadcastSearchAndDirectedCommandsInsideTheLab) {
  TAVRIX_SKIP_UNLESS_LAB();
  const std::string fleet = write_lab_fleet();
  tavrix_test::Lab::Options options;
  options.fleet = fleet;
  tavrix_test::Lab lab(options);
  std::filesystem::remove(fleet);

  std::string out;
  ASSERT_EQ(lab.exec(bin_path() + " search --timeout 3 --format json 2>/dev/null", &out), 0)
      << out << lab.devsim_log();
  const json j = json::parse(out);
  ASSERT_EQ(j["count"], 3) << out;
  std::map<std::string, json> by_ip;
  for (const auto& s : j["servers"]) by_ip[s["ip1"]] = s;
  ASSERT_EQ(by_ip.count("192.0.2.10"), 1u) << out;
  ASSERT_EQ(by_ip.count("192.0.2.30"), 1u) << out;
  ASSERT_EQ(by_ip.count("198.51.100.40"), 1u) << out;
  EXPECT_EQ(by_ip.count("192.0.2.20"), 0u) << "a two-LAN model without a second MAC is dropped";
  EXPECT_EQ(by_ip["192.0.2.10"]["local_ip"], "192.0.2.1");
  EXPECT_EQ(by_ip["192.0.2.10"]["model"], "TVX-1104");
  EXPECT_EQ(by_ip["192.0.2.30"]["ip2"], "198.51.100.30");
  EXPECT_EQ(by_ip["192.0.2.30"]["family"], 4800);
  EXPECT_EQ(by_ip["198.51.100.40"]["family"], 1029);
  EXPECT_EQ(by_ip["198.51.100.40"]["local_ip"], "198.51.100.1");
  EXPECT_TRUE(by_ip["198.51.100.40"]["mac2"].is_null());

  // The same reply aimed at its address is kept.
  ASSERT_EQ(lab.exec(bin_path() + " search --ip 192.0.2.20 --format csv 2>/dev/null", &out), 0)
      << out;
  EXPECT_EQ(out,
            "no,model,mac1,ip1,mac2,ip2,local_ip,family\n"
            "1,TVX-2602R,02:54:58:10:00:02,192.0.2.20,---,---,192.0.2.1,4800\n");

  ASSERT_EQ(lab.exec(bin_path() + " check 192.0.2.30", &out), 0) << out;
  EXPECT_EQ(
      out,
      "TAVRIX OK - 192.0.2.30 TVX-2616R On Line, 16 ports, 2 Redundant COM | online=1 ports=16 "
      "redundant=2 connected_lan1=1 connected_lan2=1\n");
}

}  // namespace
