// The library front: start and stop, search options, the handle table and its
// concurrent use, the host address list with its source seam.
#include "qeld/library.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "qeld/model_map.h"

namespace {

qeld::DeviceIdentity record(uint16_t id, uint8_t last) {
  qeld::DeviceIdentity d;
  d.model_key = 1;
  d.model_id = id;
  d.ip1 = d.ip2 = htonl(0xC0000200u | last);
  for (auto& b : d.mac1) b = last;
  d.unit_id = static_cast<uint16_t>(id ^ last);
  return d;
}

void close_all() {
  for (int h = 0; h < qeld::kMaxHandles; ++h) qeld::close_handle(h);
}

class Library : public ::testing::Test {
 protected:
  void SetUp() override {
    qeld::library_stop();
    ASSERT_EQ(qeld::library_start(), 1);
    close_all();
  }
  void TearDown() override {
    close_all();
    qeld::set_address_source(nullptr);
    qeld::set_library_start_failure(false);
    qeld::set_search_options(1000, 5);
    qeld::library_stop();
  }
};

TEST_F(Library, SearchOptionsNegativeValueLeavesItsField) {
  qeld::set_search_options(-1, 7);
  qeld::TimeoutBlock t = qeld::search_options();
  EXPECT_EQ(t.timeout_ms, 1000u);
  EXPECT_EQ(t.attempts, 7);
  qeld::set_search_options(2000, -1);
  t = qeld::search_options();
  EXPECT_EQ(t.timeout_ms, 2000u);
  EXPECT_EQ(t.attempts, 7);
  qeld::set_search_options(0, 0);
  t = qeld::search_options();
  EXPECT_EQ(t.timeout_ms, 0u);
  EXPECT_EQ(t.attempts, 0);
}

TEST_F(Library, HandleTableFillsLowestFirstAndRefusesThe1025th) {
  ASSERT_EQ(qeld::kMaxHandles, 1024);  // two LANs of each of 512 servers
  const qeld::DeviceIdentity d = record(0x1100, 1);
  for (int i = 0; i < qeld::kMaxHandles; ++i) {
    int h = -100;
    ASSERT_EQ(qeld::open_handle(&d, &h), 1);
    ASSERT_EQ(h, i);
  }
  int h = -100;
  EXPECT_EQ(qeld::open_handle(&d, &h), -10);
  EXPECT_EQ(h, -2);
  EXPECT_EQ(qeld::open_handle_count(), qeld::kMaxHandles);

  EXPECT_EQ(qeld::close_handle(7), 1);
  EXPECT_EQ(qeld::close_handle(1023), 1);
  EXPECT_EQ(qeld::open_handle(&d, &h), 1);
  EXPECT_EQ(h, 7);
  EXPECT_EQ(qeld::open_handle(&d, &h), 1);
  EXPECT_EQ(h, 1023);
}

// With every slot open, a handle outside 0..1023 cannot reach one by accident.
TEST_F(Library, HandlesOutsideTheTableAreRefusedByEveryCall) {
  const qeld::DeviceIdentity d = record(0x1100, 1);
  int h = -1;
  for (int i = 0; i < qeld::kMaxHandles; ++i) ASSERT_EQ(qeld::open_handle(&d, &h), 1);
  for (const int bad : {-1, 1024, 1025, INT_MIN, INT_MAX}) {
    SCOPED_TRACE(bad);
    qeld::DeviceIdentity got;
    qeld::TimeoutBlock t;
    EXPECT_EQ(qeld::close_handle(bad), -5);
    EXPECT_FALSE(qeld::handle_snapshot(bad, got, t));
    EXPECT_FALSE(qeld::handle_set_timeouts(bad, 10, 1));
  }
  EXPECT_EQ(qeld::open_handle_count(), qeld::kMaxHandles);
  EXPECT_EQ(qeld::close_handle(1023), 1);  // the last slot is a handle like the others
}

TEST_F(Library, BadArgumentsGiveMinusFiveAndChangeNothing) {
  const qeld::DeviceIdentity d = record(0x1100, 1);
  int h = 42;
  EXPECT_EQ(qeld::open_handle(nullptr, &h), -5);
  EXPECT_EQ(h, 42);
  EXPECT_EQ(qeld::open_handle(&d, nullptr), -5);
  EXPECT_EQ(qeld::open_handle_count(), 0);

  ASSERT_EQ(qeld::open_handle(&d, &h), 1);
  EXPECT_EQ(qeld::close_handle(1024), -5);
  EXPECT_EQ(qeld::close_handle(-1), -5);
  EXPECT_EQ(qeld::close_handle(h + 1), -5);
  EXPECT_EQ(qeld::open_handle_count(), 1);
  EXPECT_EQ(qeld::close_handle(h), 1);
  EXPECT_EQ(qeld::close_handle(h), -5);
  EXPECT_EQ(qeld::open_handle_count(), 0);
}

TEST_F(Library, SlotHoldsItsOwnCopyAndResetsOnClose) {
  qeld::DeviceIdentity d = record(0x2613, 9);
  const qeld::DeviceIdentity original = d;
  int h = -1;
  ASSERT_EQ(qeld::open_handle(&d, &h), 1);
  d.model_id = 0x9999;  // the caller's record may change or die; the slot keeps its copy
  ASSERT_TRUE(qeld::handle_set_timeouts(h, 250, 2));
  qeld::DeviceIdentity got;
  qeld::TimeoutBlock t;
  ASSERT_TRUE(qeld::handle_snapshot(h, got, t));
  EXPECT_TRUE(qeld::ds_info_equal(got, original));
  EXPECT_EQ(t.timeout_ms, 250u);
  EXPECT_EQ(t.attempts, 2);

  ASSERT_EQ(qeld::close_handle(h), 1);
  EXPECT_FALSE(qeld::handle_snapshot(h, got, t));
  EXPECT_FALSE(qeld::handle_set_timeouts(h, 1, 1));
  EXPECT_FALSE(qeld::handle_snapshot(1024, got, t));
  ASSERT_EQ(qeld::open_handle(&d, &h), 1);
  ASSERT_TRUE(qeld::handle_snapshot(h, got, t));
  EXPECT_EQ(t.timeout_ms, 1000u);  // reset values, not the closed handle's
  EXPECT_EQ(t.attempts, 5);
}

// A start raises the open-file limit so that every handle can keep its sockets; where
// the hard limit forbids it, the log says so once, not at every start. The low limit is
// set in a child process, since a lowered hard limit can never be raised again.
TEST_F(Library, StartRaisesTheOpenFileLimitOrSaysOnceWhyItCannot) {
  rlimit rl{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
  if (rl.rlim_max >= rlim_t(qeld::kOpenFilesNeeded)) {
    EXPECT_GE(rl.rlim_cur, rlim_t(qeld::kOpenFilesNeeded))
        << "library_start left the soft limit low";
  }
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::vector<std::string> lines;
    qeld::set_log_sink([&](const std::string& l) { lines.push_back(l); });
    const rlimit low{512, 1024};
    if (setrlimit(RLIMIT_NOFILE, &low) != 0) _exit(99);
    qeld::library_stop();
    qeld::library_start();
    qeld::library_stop();
    qeld::library_start();
    rlimit now{};
    getrlimit(RLIMIT_NOFILE, &now);
    const bool said =
        lines.size() == 1 && lines[0].find("open-file limit is 1024") != std::string::npos;
    _exit(said && now.rlim_cur == 1024 ? 0 : 10 + int(lines.size()));
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 99) << "could not lower the limit in the child";
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "want one line naming the limit and the soft limit raised to "
         "the hard one; lines: "
      << WEXITSTATUS(status) - 10;
}

TEST_F(Library, SecondStartKeepsHandlesStopResetsThemAndTheFailureSeamFailsOneStart) {
  const qeld::DeviceIdentity d = record(0x1100, 1);
  int h = -1;
  ASSERT_EQ(qeld::open_handle(&d, &h), 1);
  EXPECT_EQ(qeld::library_start(), 1);
  EXPECT_EQ(qeld::open_handle_count(), 1);
  qeld::library_stop();
  EXPECT_FALSE(qeld::library_started());
  EXPECT_EQ(qeld::open_handle_count(), 0);
  qeld::library_stop();  // stopping twice is harmless

  qeld::set_library_start_failure(true);
  EXPECT_EQ(qeld::library_start(), 0);
  EXPECT_FALSE(qeld::library_started());
  EXPECT_EQ(qeld::library_start(), 1);
  EXPECT_TRUE(qeld::library_started());
}

TEST_F(Library, StartLoadsTheModelMapFromTheCurrentDirectory) {
  namespace fs = std::filesystem;
  qeld::library_stop();
  qeld::TModelEntry e;
  e.model_key = 3;
  e.model_id = 0x3300;
  e.port_count = 16;
  std::strcpy(e.name, "TVX-3300");
  const auto file = qeld::build_model_map_file({e});
  const fs::path dir = fs::temp_directory_path() / ("tavrix_lib_" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "GIdMap.dat", std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  const fs::path old = fs::current_path();
  fs::current_path(dir);
  const int started = qeld::library_start();
  fs::current_path(old);
  fs::remove_all(dir);
  EXPECT_EQ(started, 1);
  EXPECT_EQ(qeld::model_port_count(3, 0x3300), 16u);
  qeld::clear_model_map();
}

TEST_F(Library, ConcurrentSnapshotsNeverSeeAFreedOrTornRecord) {
  // One thread opens and closes while another copies slots; ASan/TSan builds catch a
  // use of a freed copy or an unguarded read, and every copy must be a whole record.
  const qeld::DeviceIdentity a = record(0x1100, 1);
  const qeld::DeviceIdentity b = record(0x2613, 2);
  std::atomic<int> bad{0};
  std::atomic<int> seen{0};
  // A jthread, so a failed assertion below still stops and joins the reader.
  std::jthread reader([&](std::stop_token st) {
    while (!st.stop_requested()) {
      for (int h = 0; h < 4; ++h) {
        qeld::DeviceIdentity got;
        qeld::TimeoutBlock t;
        if (!qeld::handle_snapshot(h, got, t)) continue;
        seen.fetch_add(1);
        if (!qeld::ds_info_equal(got, a) && !qeld::ds_info_equal(got, b)) bad.fetch_add(1);
      }
    }
  });
  int held = -1;  // a second handle that lives across several turns, so slots shift
  ASSERT_EQ(qeld::open_handle(&a, &held), 1);
  // Let the reader get going before the churn (bounded, for a busy machine).
  for (int w = 0; w < 10000 && seen.load() == 0; ++w)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  for (int i = 0; i < 20000; ++i) {
    int h = -1;
    ASSERT_EQ(qeld::open_handle((i & 1) ? &a : &b, &h), 1);
    qeld::handle_set_timeouts(h, static_cast<uint32_t>(i), 3);
    ASSERT_EQ(qeld::close_handle(h), 1);
    if (i % 7 == 0) {
      if (held >= 0) {
        ASSERT_EQ(qeld::close_handle(held), 1);
      }
      ASSERT_EQ(qeld::open_handle(&a, &held), 1);
    }
  }
  reader.request_stop();
  reader.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(seen.load(), 0);
  EXPECT_EQ(qeld::open_handle_count(), 1);
}

// --- host addresses ---

qeld::AddressList list_of(std::initializer_list<const char*> ips) {
  qeld::AddressList l;
  for (const char* ip : ips) l.addr[l.count++] = inet_addr(ip);
  return l;
}

TEST_F(Library, SeamReplacesTheSourceAndRefreshGivesACompleteSnapshot) {
  const qeld::AddressList want = list_of({"127.0.0.1", "127.0.0.2"});
  qeld::set_address_source([&](qeld::AddressList& l) {
    l = want;
    return 1;
  });
  qeld::AddressList snap;
  EXPECT_EQ(qeld::refresh_local_addresses(snap), 1);
  ASSERT_EQ(snap.count, 2);
  EXPECT_EQ(snap.addr[0], inet_addr("127.0.0.1"));
  EXPECT_EQ(snap.addr[1], inet_addr("127.0.0.2"));
  EXPECT_EQ(qeld::local_address_count(), 2);
  EXPECT_EQ(qeld::local_address_at(1), inet_addr("127.0.0.2"));
  EXPECT_EQ(qeld::local_address_at(2), 0xFFFFFFFFu);
  EXPECT_EQ(qeld::local_address_at(16), 0xFFFFFFFFu);
  EXPECT_EQ(qeld::local_address_at(-1), 0xFFFFFFFFu);
}

TEST_F(Library, FailingSourceKeepsTheOldListAndAnEmptyOneReplacesIt) {
  qeld::set_address_source([](qeld::AddressList& l) {
    l = list_of({"127.0.0.1"});
    return 1;
  });
  qeld::AddressList snap;
  ASSERT_EQ(qeld::refresh_local_addresses(snap), 1);
  qeld::set_address_source([](qeld::AddressList&) { return 0; });
  EXPECT_EQ(qeld::refresh_local_addresses(snap), 0);
  EXPECT_EQ(snap.count, 0);
  EXPECT_EQ(qeld::local_address_count(), 1);
  qeld::set_address_source([](qeld::AddressList& l) {
    l = qeld::AddressList{};
    return 1;
  });
  EXPECT_EQ(qeld::refresh_local_addresses(snap), 0);
  EXPECT_EQ(qeld::local_address_count(), 0);
  EXPECT_EQ(qeld::local_address_at(0), 0xFFFFFFFFu);
}

TEST(HostAddresses, InterfaceListKeepsTheFirstSixteenUpIpv4InOrder) {
  // A getifaddrs-shaped list: a down interface, an IPv6 entry and an entry without an
  // address, then 20 up IPv4 entries 10.0.0.1 to 10.0.0.20.
  std::vector<sockaddr_in> v4(21);
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  std::vector<ifaddrs> nodes(23);
  for (std::size_t i = 0; i < v4.size(); ++i) {
    v4[i].sin_family = AF_INET;
    v4[i].sin_addr.s_addr = htonl(0x0A000000u | static_cast<uint32_t>(i == 0 ? 99 : i));
  }
  nodes[0].ifa_addr = reinterpret_cast<sockaddr*>(&v4[0]);  // flags 0: down
  nodes[1].ifa_addr = reinterpret_cast<sockaddr*>(&v6);
  nodes[1].ifa_flags = IFF_UP;
  nodes[2].ifa_flags = IFF_UP;  // no address
  for (std::size_t i = 1; i < v4.size(); ++i) {
    nodes[i + 2].ifa_addr = reinterpret_cast<sockaddr*>(&v4[i]);
    nodes[i + 2].ifa_flags = IFF_UP | IFF_RUNNING;
  }
  for (std::size_t i = 0; i + 1 < nodes.size(); ++i) nodes[i].ifa_next = &nodes[i + 1];
  qeld::AddressList l;
  EXPECT_EQ(qeld::addresses_from_ifaddrs(nodes.data(), l), 1);
  ASSERT_EQ(l.count, 16);
  for (int i = 0; i < 16; ++i)
    EXPECT_EQ(ntohl(l.addr[i]), 0x0A000000u | static_cast<uint32_t>(i + 1)) << i;
  EXPECT_EQ(qeld::addresses_from_ifaddrs(nullptr, l), 0);
  EXPECT_EQ(l.count, 0);
}

TEST(HostAddresses, ConcurrentRefreshesEachSeeOneWholeList) {
  // Two pollers refresh at once from a source that alternates between two lists.
  const qeld::AddressList one = list_of({"127.0.0.1", "127.0.0.1", "127.0.0.1"});
  const qeld::AddressList two =
      list_of({"127.0.0.2", "127.0.0.2", "127.0.0.2", "127.0.0.2", "127.0.0.2"});
  std::atomic<unsigned> turn{0};
  qeld::set_address_source([&](qeld::AddressList& l) {
    l = (turn.fetch_add(1) & 1) ? two : one;
    return 1;
  });
  std::atomic<int> torn{0};
  auto worker = [&] {
    for (int i = 0; i < 3000; ++i) {
      qeld::AddressList s;
      if (qeld::refresh_local_addresses(s) != 1) {
        torn.fetch_add(1);
        continue;
      }
      const bool is_one = s.count == 3 && s.addr[0] == one.addr[0] && s.addr[2] == one.addr[0];
      const bool is_two = s.count == 5 && s.addr[0] == two.addr[0] && s.addr[4] == two.addr[0];
      if (!is_one && !is_two) torn.fetch_add(1);
      const int n = qeld::local_address_count();
      if (n != 3 && n != 5) torn.fetch_add(1);
    }
  };
  std::thread t1(worker), t2(worker);
  t1.join();
  t2.join();
  qeld::set_address_source(nullptr);
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
