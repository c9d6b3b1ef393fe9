// Replies that are not what a query expects: duplicated and reordered answers, foreign
// datagrams ahead of the genuine one, answers that outlive their query while sockets come
// and go, a burst of 200 answers to one search, and a flood of junk at the program's own
// sockets.
#include "faults/fault_fixture.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/find_server.h"
#include "core/poll_cycle.h"
#include "core/server_record.h"
#include "qeld/commands.h"
#include "qeld/query.h"
#include "qeld/result_codes.h"
#include "qeld/search_engine.h"

namespace tavrix_faults {
namespace {

class RepliesTest : public FaultTest {
 protected:
  void SetUp() override { enter(false); }

  int open_handle_for(int n) {
    const qeld::DeviceIdentity r = reply_of(sim_->sim().device(std::size_t(n)));
    int h = -1;
    EXPECT_EQ(qeld::open_handle(&r, &h), 1);
    return h;
  }
  // Queries both ports in turn; every answer must be the port's own record.
  void expect_every_answer_genuine(int handle, int rounds) {
    for (int i = 0; i < rounds; ++i) {
      const int port = 1 + i % 2;
      uint8_t rec[qeld::kConnRecordSize] = {};
      ASSERT_EQ(qeld::query_port_connections(handle, port, rec), 1) << "query " << i;
      uint32_t peer;
      std::memcpy(&peer, rec, 4);
      EXPECT_EQ(peer, inet_addr("192.0.2.100") + htonl(uint32_t(port)))
          << "query " << i << " port " << port;
      int32_t modes[16];
      for (int32_t& m : modes) m = 99;
      ASSERT_EQ(qeld::query_port_modes(handle, 0, modes), 1) << "query " << i;
      EXPECT_EQ(modes[0], 15);
      EXPECT_EQ(modes[1], 15);
      EXPECT_EQ(modes[2], 99);  // the device has two ports: nothing written past them
    }
  }
};

TEST_F(RepliesTest, DuplicatedAndReorderedRepliesGiveOneIntactResultPerQuery) {
  start_one_device();
  devsim::Faults f;
  f.duplicate = 2;     // every reply three times
  f.reorder_ms = 300;  // every second reply held back, behind the next ones
  ASSERT_TRUE(sim_->sim().set_faults(0, f));
  const int h = open_handle_for(0);
  expect_every_answer_genuine(h, 20);
  const uint64_t asked = sim_->sim().request_count(0, 0x41) + sim_->sim().request_count(0, 0x3A);
  EXPECT_GE(sim_->sim().replies_sent(0), 3 * asked) << "the copies were not sent";

  // The pollers under the same faults keep the server on line with intact records.
  list_->refresh_rate = 1;
  auto rec = monitor_device(0);
  ASSERT_TRUE(eventually([&] { return (rec->online.load() & 1) != 0; }, 15s));
  std::this_thread::sleep_for(3s);
  for (int port = 1; port <= 2; ++port) {
    EXPECT_EQ(rec->mode_at(port - 1), 15);
    EXPECT_EQ(rec->conn_peer(port - 1, 1, 0), inet_addr("192.0.2.100") + htonl(uint32_t(port)));
  }
  EXPECT_EQ(rec->mode_at(2), -1);
}

TEST_F(RepliesTest, ForeignRepliesAheadOfTheGenuineOneAreIgnored) {
  start_one_device();
  devsim::Faults f;
  f.foreign = {devsim::Foreign::kWrongCode, devsim::Foreign::kWrongId, devsim::Foreign::kStatus,
               devsim::Foreign::kOtherAddress};
  f.foreign_from = inet_addr("127.0.0.250");
  ASSERT_TRUE(sim_->sim().set_faults(0, f));
  const int h = open_handle_for(0);
  const auto t0 = Clock::now();
  expect_every_answer_genuine(h, 20);
  // Had the genuine replies been dropped, each query would have run into its resends.
  EXPECT_LT(Clock::now() - t0, 40 * kQueryWorst);
  const uint64_t asked = sim_->sim().request_count(0, 0x41) + sim_->sim().request_count(0, 0x3A);
  EXPECT_EQ(asked, 40u) << "a query needed a resend: the genuine reply was missed";
  EXPECT_GE(sim_->sim().replies_sent(0), 5 * asked) << "the foreign datagrams were not sent";
}

// 200 devices answer one search request at once (the 1029 family, so that a search
// aimed at the loopback alias does not end at its first answer): the first round must
// already hear at least 99 % of them.
TEST_F(RepliesTest, TwoHundredDevicesAnsweringOneSearchAreFound) {
  devsim::Fleet fleet;
  for (int n = 0; n < 200; ++n) {
    devsim::Device d = tavrix_test::loopback_device(n, 1, 0);
    d.answers_4800 = false;
    fleet.devices.push_back(d);
  }
  start_sim(fleet);
  qeld::set_search_options(1000, 2);
  std::set<uint16_t> first_round, all;
  int quiet_waits = 0;
  const int rc = qeld::search_servers(tavrix_test::LoopbackLibrary::search_target(),
                                      [&](const qeld::DeviceIdentity* r) {
                                        if (r == nullptr) {
                                          ++quiet_waits;
                                          return 1;
                                        }
                                        all.insert(r->unit_id);
                                        if (quiet_waits == 0) first_round.insert(r->unit_id);
                                        return 1;
                                      });
  qeld::set_search_options(1000, 5);
  std::printf("200 devices: %zu heard in the first round, %zu in all\n", first_round.size(),
              all.size());
  EXPECT_EQ(rc, 1);
  EXPECT_GE(first_round.size(), 198u);
  EXPECT_EQ(all.size(), 200u);
}

// Local UDP ports of this process's own sockets (never another program's), from the
// kernel's socket table matched against our descriptors.
std::vector<uint16_t> udp_ports() {
  std::set<unsigned long> mine;
  for (const auto& e : std::filesystem::directory_iterator(
           "/proc/self/fd", std::filesystem::directory_options::skip_permission_denied)) {
    std::error_code ec;
    const std::string target = std::filesystem::read_symlink(e.path(), ec).string();
    if (!ec && target.rfind("socket:[", 0) == 0) mine.insert(std::stoul(target.substr(8)));
  }
  std::vector<uint16_t> ports;
  std::ifstream in("/proc/thread-self/net/udp");
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string field[10];
    for (std::string& f : field) ls >> f;
    const auto colon = field[1].find(':');
    if (colon == std::string::npos || field[9].empty()) continue;
    if (!mine.count(std::stoul(field[9]))) continue;
    ports.push_back(uint16_t(std::stoul(field[1].substr(colon + 1), nullptr, 16)));
  }
  return ports;
}

// Junk at every socket the program has open while it polls and searches: afterwards
// the heap, the descriptors and the threads are where they were, and polling still works.
TEST_F(RepliesTest, AFloodOfJunkLeavesMemoryFlat) {
  devsim::Fleet fleet;
  fleet.devices.push_back(tavrix_test::loopback_device(0, 2, 15));
  devsim::Device quiet = tavrix_test::loopback_device(1, 1, 0);
  quiet.answers_4800 = false;  // keeps the searches going through their quiet rounds
  fleet.devices.push_back(quiet);
  start_sim(fleet);
  for (int port = 1; port <= 2; ++port)
    sim_->sim().set_connection(0, port, 1, 1, 4, inet_addr("192.0.2.100") + htonl(uint32_t(port)));
  list_->refresh_rate = 1;
  auto rec = monitor_device(0);
  ASSERT_TRUE(eventually([&] { return (rec->online.load() & 1) != 0; }, 15s));

  qeld::set_search_options(300, 3);
  auto run_searches = [&](const std::atomic<bool>& until) {
    do {
      qeld::search_servers(tavrix_test::LoopbackLibrary::search_target(),
                           [](const qeld::DeviceIdentity*) { return 1; });
    } while (!until.load());
  };
  std::atomic<bool> once{true};
  run_searches(once);  // warm-up: first-use allocations are not growth
  std::this_thread::sleep_for(1s);
  const std::size_t heap0 = heap_in_use();
  const int fds0 = open_fd_count();
  const int threads0 = thread_count();

  std::atomic<bool> stop{false};
  std::atomic<long> sent{0};
  std::thread flooder([&] {
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in me{};
    me.sin_family = AF_INET;
    me.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&me), sizeof me);
    socklen_t len = sizeof me;
    getsockname(s, reinterpret_cast<sockaddr*>(&me), &len);
    const std::set<uint16_t> spare = {ntohs(me.sin_port), sim_->port_4800(), sim_->port_1029()};
    std::mt19937 rng(7);
    std::vector<uint8_t> junk(2100);
    for (uint8_t& b : junk) b = uint8_t(rng());
    // Bounded both ways: at most 4 s and 300000 datagrams.
    const auto end = Clock::now() + 4s;
    while (!stop.load() && Clock::now() < end && sent.load() < 300000) {
      for (uint16_t port : udp_ports()) {
        if (spare.count(port)) continue;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int k = 0; k < 2000; ++k) {
          const std::size_t n = rng() % junk.size();
          for (int b = 0; b < 8; ++b) junk[rng() % junk.size()] = uint8_t(rng());
          junk[0] = uint8_t(rng());
          if (n > 1 && (rng() & 1)) junk[1] = 0;  // half of it passes the status check
          sendto(s, junk.data(), n, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), sizeof to);
          ++sent;
        }
      }
    }
    close(s);
  });
  std::atomic<bool> flood_over{false};
  std::thread searcher([&] { run_searches(flood_over); });
  flooder.join();
  flood_over = true;
  searcher.join();
  std::this_thread::sleep_for(2s);  // let the pollers finish their cycles

  const std::size_t heap1 = heap_in_use();
  std::printf("junk flood: %ld datagrams; heap %zu -> %zu bytes\n", sent.load(), heap0, heap1);
  EXPECT_GT(sent.load(), 1000) << "the flood did not reach the program's sockets";
  EXPECT_LT(heap1, heap0 + (1u << 20)) << "heap grew by " << (heap1 - heap0) << " bytes";
  EXPECT_TRUE(eventually([&] { return open_fd_count() <= fds0; }, 10s))
      << open_fd_count() << " > " << fds0;
  // The library's thread for parked sockets may have been there at the start and gone now.
  EXPECT_LE(thread_count(), threads0);
  EXPECT_TRUE(eventually([&] { return (rec->online.load() & 1) != 0; }, 20s));
  EXPECT_EQ(rec->conn_peer(1, 1, 0), inet_addr("192.0.2.102"));
  qeld::set_search_options(1000, 5);
}

// A poller keeps its sockets, so a reply the device sends late, or twice, reaches a
// socket that a later query uses: it is never taken for that query's answer, whether it
// waits there before the request goes out or arrives while the query waits. Each case is
// a run of connection queries on one channel (its two socket sets take turns: queries 1
// and 3 share one).
TEST_F(RepliesTest, ALateOrSecondReplyIsNeverTakenForALaterQuerysAnswer) {
  struct Query {
    int delay_ms;   // of the reply, set on the device before the query
    int duplicate;  // extra copies of the reply
    int port;
    uint32_t timeout_ms;
    int attempts;
    int rc;  // expected; on 1 the record must be the port's own
  };
  struct Case {
    const char* name;
    std::vector<Query> queries;
    bool copy_waits;  // a stale copy was waiting when query 3 was sent
  };
  const Case cases[] = {
      {"a second copy waits on the socket",
       {{0, 1, 1, 1000, 1, 1}, {0, 1, 2, 1000, 1, 1}, {0, 1, 2, 1000, 1, 1}},
       true},
      // Query 1 gives up at 100 ms; its answer comes at 600 ms, while query 3 waits.
      {"a late answer after a time-out arrives during a later wait",
       {{600, 0, 1, 100, 1, -2}, {0, 0, 2, 1000, 1, 1}, {700, 0, 2, 1000, 1, 1}},
       false},
      // Query 1 is answered after its resend; the answer to the resend comes at 500 ms,
      // while query 3 waits.
      {"the answer to a resend arrives during a later wait",
       {{300, 0, 1, 200, 2, 1}, {0, 0, 2, 1000, 1, 1}, {400, 0, 2, 1000, 1, 1}},
       false},
  };
  start_one_device();
  const int h = open_handle_for(0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qeld::QueryChannel channel;
    int n = 0;
    for (const Query& q : c.queries) {
      ++n;
      devsim::Faults f;
      f.delay_min_ms = f.delay_max_ms = q.delay_ms;
      f.duplicate = q.duplicate;
      ASSERT_TRUE(sim_->sim().set_faults(0, f));
      ASSERT_TRUE(qeld::handle_set_timeouts(h, q.timeout_ms, q.attempts));
      uint8_t rec[qeld::kConnRecordSize] = {};
      ASSERT_EQ(qeld::query_port_connections(channel, h, q.port, rec), q.rc) << "query " << n;
      if (q.rc != 1) continue;
      uint32_t peer = 0;
      std::memcpy(&peer, rec, 4);
      EXPECT_EQ(peer, inet_addr("192.0.2.100") + htonl(uint32_t(q.port)))
          << "query " << n << " took another port's record";
      if (q.duplicate) std::this_thread::sleep_for(200ms);  // the copies arrive meanwhile
    }
    // The copy must have been there to drop, or the case proved nothing.
    if (c.copy_waits) {
      EXPECT_GE(channel.discarded(), 1);
    }
    std::this_thread::sleep_for(800ms);  // nothing of this case reaches the next one
  }
}

// Many sockets come and go at once: pollers replace their sets after resends, one-shot
// cycles (as a probe runs them) open and close theirs, while the devices answer late
// around the wait and send copies. A reply that arrives after its socket was closed must
// not reach whichever socket the kernel gives that port to next. The namespace's
// ephemeral range is narrowed to 160 ports, so a port comes back within moments, as it
// does in hours of a large fleet. Every record read is checked against what the device
// held: each port's connection 1 names its own device and port, connection 2 a step of
// that port's churn no later than the device's, port 3's mode one of its device's two.
TEST_F(RepliesTest, RepliesAfterTheirQueryNeverBecomeAnotherSocketsAnswer) {
  struct Mix {
    const char* name;
    int delay_min_ms, delay_max_ms, duplicate, reorder_ms;
  };
  const Mix mixes[] = {
      {"late around the wait", 60, 260, 0, 0},
      {"late and duplicated", 60, 260, 2, 0},
      {"duplicated and reordered", 0, 0, 2, 150},
  };
  if (!in_private_) GTEST_SKIP() << why_;
  {
    std::ofstream range("/proc/sys/net/ipv4/ip_local_port_range");
    range << "40000 40159\n";
    ASSERT_TRUE(range.flush()) << "cannot narrow the namespace's port range";
  }
  constexpr int kDevices = 4;
  constexpr int kProbers = 2;  // one-shot cycles per device, side by side
  devsim::Fleet fleet;
  for (int n = 0; n < kDevices; ++n) {
    devsim::Device d = tavrix_test::loopback_device(n, 4, 15);
    d.ports[2].mode = 30 + n;
    d.ports[3].mode = 90 + n;
    fleet.devices.push_back(d);
  }
  start_sim(fleet);
  const auto peer = [](int n, int port, int k) {
    return htonl((10u << 24) | uint32_t(n) << 16 | uint32_t(port) << 8 | uint32_t(k));
  };
  std::atomic<int> step{1};  // of connection 2's churn, the same on every device
  for (int n = 0; n < kDevices; ++n)
    for (int port = 1; port <= 2; ++port) {
      sim_->sim().set_connection(std::size_t(n), port, 1, 1, 4, peer(n, port, 0));
      sim_->sim().set_connection(std::size_t(n), port, 2, 1, 4, peer(n, port, 1));
    }
  // Short waits, so that a few seconds hold hundreds of cycles; the handle's own limits
  // decide when a reply is late and how long its socket may still receive it.
  const auto short_waits = [](const tavrix::ServerRecord& r) {
    qeld::handle_set_timeouts(r.handle1.id(), 100, 5);
  };
  std::atomic<long> checked{0};
  std::atomic<long> wrong{0};
  std::mutex first_mutex;
  std::string first_wrong;
  const auto check = [&](int n, const tavrix::ServerRecord& r, uint32_t conn_read, bool modes) {
    std::string why;
    if (modes && (r.mode_at(0) != 15 || r.mode_at(1) != 15 ||
                  (r.mode_at(2) != 30 + n && r.mode_at(2) != 60 + n) || r.mode_at(3) != 90 + n))
      why = "modes " + std::to_string(r.mode_at(2)) + "," + std::to_string(r.mode_at(3));
    for (int i = 0; i < 2 && why.empty(); ++i) {
      if (!(conn_read >> i & 1u)) continue;
      const uint32_t own = r.conn_peer(i, 1, 0), churn = ntohl(r.conn_peer(i, 2, 0));
      const int k = int(churn & 0xFFu);
      if (own != peer(n, i + 1, 0) || (churn & 0xFFFFFF00u) != (ntohl(peer(n, i + 1, 0))) ||
          k < 1 || k > step.load())
        why = "port " + std::to_string(i + 1) + " holds " + ip_str(own) + " / " +
              ip_str(htonl(churn));
    }
    ++checked;
    if (why.empty()) return;
    ++wrong;
    std::lock_guard<std::mutex> lock(first_mutex);
    if (first_wrong.empty()) first_wrong = "device " + std::to_string(n) + ": " + why;
  };

  list_->refresh_rate = 1;
  std::vector<std::shared_ptr<tavrix::ServerRecord>> polled;
  for (int n = 0; n < kDevices; ++n) {
    polled.push_back(monitor_device(n));
    short_waits(*polled.back());
  }
  for (const Mix& mix : mixes) {
    SCOPED_TRACE(mix.name);
    devsim::Faults f;
    f.delay_min_ms = mix.delay_min_ms;
    f.delay_max_ms = mix.delay_max_ms;
    f.duplicate = mix.duplicate;
    f.reorder_ms = mix.reorder_ms;
    for (int n = 0; n < kDevices; ++n) ASSERT_TRUE(sim_->sim().set_faults(std::size_t(n), f));
    checked = 0;
    wrong = 0;
    std::atomic<bool> stop{false};
    std::atomic<long> cycles{0};
    std::vector<std::thread> threads;
    for (int n = 0; n < kDevices; ++n)
      for (int p = 0; p < kProbers; ++p)
        threads.emplace_back([&, n] {
          const auto id = reply_of(sim_->sim().device(std::size_t(n)));
          while (!stop.load()) {
            const auto r = tavrix::make_server_record(id);
            short_waits(*r);
            const auto lan = tavrix::core::poll_server_once(*r)[0];
            check(n, *r, lan.conn_read, lan.modes_result == qeld::kOk);
            ++cycles;
          }
        });
    // The churn: connection 2 of both ports and port 3's mode step on every 150 ms, on
    // from where the last mix left them.
    threads.emplace_back([&] {
      for (int k = step.load() + 1; !stop.load() && k < 250; ++k) {
        step = k;  // before any device has it: a record never runs ahead of it
        for (int n = 0; n < kDevices; ++n) {
          for (int port = 1; port <= 2; ++port)
            sim_->sim().set_connection(std::size_t(n), port, 2, 1, 4, peer(n, port, k));
          sim_->sim().set_port_mode(std::size_t(n), 3, k % 2 ? 30 + n : 60 + n);
        }
        std::this_thread::sleep_for(150ms);
      }
    });
    // The pollers' records, as the window's refresh reads them.
    const auto end = Clock::now() + 8s;
    while (Clock::now() < end) {
      for (int n = 0; n < kDevices; ++n) {
        const tavrix::ServerRecord& r = *polled[std::size_t(n)];
        const bool read = r.conn_peer(0, 1, 0) != 0 && r.conn_peer(1, 1, 0) != 0;
        check(n, r, read ? 3u : 0u, r.mode_at(3) != -1);
      }
      std::this_thread::sleep_for(20ms);
    }
    stop = true;
    for (auto& t : threads) t.join();
    std::printf("%s: %ld one-shot cycles, %ld records checked, %ld wrong\n", mix.name,
                cycles.load(), checked.load(), wrong.load());
    EXPECT_GE(cycles.load(), 40) << "too few cycles ran to show anything";
    EXPECT_EQ(wrong.load(), 0) << first_wrong;
    first_wrong.clear();
  }
}

// The same for searches, whose replies are not matched by their sender either: a search
// that gave up before its device answered leaves that answer on its way, and with two
// ephemeral ports in the namespace the next search gets the same ports. Device 0
// answers 400 ms late to a search that waits 100 ms (later than the search waits in all,
// as a late device answers a probe cut short by its deadline); device 1 is searched next
// and answers 300 ms late. The kernel hands the two ports out either way round, so a
// round without the parking catches the late answer half the time; four rounds.
TEST_F(RepliesTest, ASearchsLateAnswerNeverBecomesTheNextSearchsAnswer) {
  if (!in_private_) GTEST_SKIP() << why_;
  devsim::Fleet fleet;
  for (int n = 0; n < 2; ++n) fleet.devices.push_back(tavrix_test::loopback_device(n));
  start_sim(fleet);  // its own ports first, from the whole range
  {
    std::ofstream range("/proc/sys/net/ipv4/ip_local_port_range");
    range << "40000 40001\n";
    ASSERT_TRUE(range.flush()) << "cannot narrow the namespace's port range";
  }
  for (int n = 0; n < 2; ++n) {
    devsim::Faults f;
    f.delay_min_ms = f.delay_max_ms = n == 0 ? 400 : 300;
    ASSERT_TRUE(sim_->sim().set_faults(std::size_t(n), f));
  }
  // The ports may still be parked from the search before: a search then cannot open.
  const auto search = [](int n, int wait_ms) {
    tavrix::core::SearchLimits limits;
    limits.wait_ms = wait_ms;
    limits.attempts = 1;
    const auto end = Clock::now() + 10s;
    for (;;) {
      auto id = tavrix::core::find_server(tavrix_test::LoopbackSim::device_ip(n), limits);
      if (id || id.code() != qeld::kPubSocket || Clock::now() > end) return id;
      std::this_thread::sleep_for(20ms);
    }
  };
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    EXPECT_FALSE(search(0, 100)) << "device 0 answered in time";
    const auto id = search(1, 600);
    ASSERT_TRUE(id) << id.reason();
    EXPECT_EQ(id->mac1[5], 2) << "device 1's search took device 0's late answer";
  }
}

}  // namespace
}  // namespace tavrix_faults
