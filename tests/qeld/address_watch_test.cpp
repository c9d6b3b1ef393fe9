// The address-change notifier and the kept socket set that relies on it, in a private
// network namespace of a test thread (a veth interface whose addresses and state the
// test changes): every change is seen by the next use, an overflow or a notifier that
// cannot be opened falls back to listing, and each fallback is said once in the log.
#include "qeld/qnsock/address_watch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qeld/library.h"
#include "qeld/qnsock/socket_set.h"
#include "qeld/result_codes.h"

namespace {

// Runs fn on a thread of its own in a new network namespace holding a veth interface
// "tvx0", so nothing here touches this machine's interfaces. Empty text, or why not.
std::string in_private_network(const std::function<void()>& fn) {
  if (geteuid() != 0) return "needs root to make a network namespace";
  std::string why;
  std::thread t([&] {
    if (unshare(CLONE_NEWNET) != 0) {
      why = "network namespaces refused here";
      return;
    }
    // `ip` runs as a child of this thread, so in its namespace.
    if (std::system("ip link set lo up && ip link add tvx0 type veth peer name tvx1") != 0) {
      why = "cannot make a veth pair (ip or the veth module missing)";
      return;
    }
    fn();
  });
  t.join();
  return why;
}

bool ip(const std::string& args) {
  return std::system(("ip " + args + " >/dev/null 2>&1").c_str()) == 0;
}

bool listed(const qeld::AddressList& l, const char* text) {
  for (int i = 0; i < l.count; ++i)
    if (l.addr[i] == inet_addr(text)) return true;
  return false;
}

// Collects the log lines for the length of a test.
class LogCapture {
 public:
  LogCapture() {
    qeld::set_log_sink([this](const std::string& line) {
      std::lock_guard lock(mu_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() { qeld::set_log_sink(nullptr); }
  int count(const std::string& word) {
    std::lock_guard lock(mu_);
    int n = 0;
    for (const auto& l : lines_) n += l.find(word) != std::string::npos ? 1 : 0;
    return n;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> lines_;
};

TEST(AddressWatch, EveryAddressAndLinkChangeIsSeenByTheNextRead) {
  const std::string why = in_private_network([] {
    qeld::AddressWatch watch;
    ASSERT_TRUE(watch.is_open());
    uint64_t last = watch.generation();
    EXPECT_EQ(watch.generation(), last) << "nothing changed, yet the generation rose";
    const char* changes[] = {
        "addr add 192.0.2.7/24 dev tvx0",  // an address added (interface still down)
        "link set tvx0 up",                // an interface up
        "addr add 192.0.2.8/24 dev tvx0",  // a second address
        "addr del 192.0.2.7/24 dev tvx0",  // an address removed
        "link set tvx0 down",              // an interface down, keeping its address
    };
    for (const char* change : changes) {
      ASSERT_TRUE(ip(change)) << change;
      // No wait: the kernel queues its notification before `ip` returns.
      const uint64_t now = watch.generation();
      EXPECT_GT(now, last) << "not seen: " << change;
      last = now;
    }
    EXPECT_EQ(watch.overflows(), 0u);
  });
  if (!why.empty()) GTEST_SKIP() << why;
}

// Runs `ip -batch` with one command per line of `verb` 198.51.100.N/32 for N = 1..count.
bool ip_batch(const std::string& verb, int count) {
  const std::string file = "/tmp/tvx-watch-" + std::to_string(getpid()) + ".batch";
  FILE* f = std::fopen(file.c_str(), "w");
  if (f == nullptr) return false;
  for (int i = 1; i <= count; ++i)
    std::fprintf(f, "addr %s 198.51.100.%d/32 dev tvx0\n", verb.c_str(), i);
  std::fclose(f);
  const bool ok = ip("-batch " + file);
  std::remove(file.c_str());
  return ok;
}

TEST(AddressWatch, AnOverflowCountsAsAChangeIsLoggedOnceAndTheWatchGoesOn) {
  LogCapture log;
  const std::string why = in_private_network([&] {
    qeld::AddressWatch watch(1);  // the kernel raises this to its smallest buffer
    ASSERT_TRUE(watch.is_open());
    const uint64_t before = watch.generation();
    ASSERT_TRUE(ip_batch("add", 200));
    EXPECT_GT(watch.generation(), before);
    EXPECT_GE(watch.overflows(), 1u) << "the buffer did not overflow; the test proves nothing";
    ASSERT_TRUE(ip_batch("del", 200));
    watch.generation();
    EXPECT_GE(watch.overflows(), 2u);
    EXPECT_EQ(log.count("overflowed"), 1) << "one watch, one line, however often it overflows";
    const uint64_t settled = watch.generation();
    ASSERT_TRUE(ip("link set tvx0 up"));
    EXPECT_GT(watch.generation(), settled) << "after an overflow the watch no longer hears changes";
  });
  if (!why.empty()) GTEST_SKIP() << why;
}

// The kept set of a poller: opened once while nothing changes, opened anew (with the new
// list) at the first use after a change, with notifications and without them.
TEST(KeptSocketSet, ReopensWithTheNewAddressesAtTheFirstUseAfterAChange) {
  LogCapture log;
  for (const bool notifications : {true, false}) {
    SCOPED_TRACE(notifications ? "with notifications" : "notifier unavailable: listing");
    qeld::set_address_watch_failure(!notifications);
    const std::string why = in_private_network([&] {
      ASSERT_TRUE(ip("link set tvx0 up"));
      qeld::KeptSocketSet kept;
      ASSERT_EQ(qeld::udp_ready_kept_set(kept), qeld::kOk);
      EXPECT_EQ(kept.watch != nullptr, notifications);
      for (int i = 0; i < 5; ++i) ASSERT_EQ(qeld::udp_ready_kept_set(kept), qeld::kOk);
      EXPECT_EQ(kept.openings, 1) << "reopened without any change";

      struct Step {
        const char* change;
        bool listed_after;  // is 192.0.2.9 in the list afterwards
      };
      const Step steps[] = {
          {"addr add 192.0.2.9/24 dev tvx0", true},
          {"link set tvx0 down", false},  // the address stays on a down interface
          {"link set tvx0 up", true},
          {"addr del 192.0.2.9/24 dev tvx0", false},
      };
      for (const Step& s : steps) {
        const int openings = kept.openings;
        ASSERT_TRUE(ip(s.change)) << s.change;
        ASSERT_EQ(qeld::udp_ready_kept_set(kept), qeld::kOk) << s.change;
        EXPECT_EQ(kept.openings, openings + 1) << "the change was not seen: " << s.change;
        EXPECT_EQ(listed(kept.listed, "192.0.2.9"), s.listed_after) << s.change;
      }
      EXPECT_EQ(kept.set.count, 2) << "one socket per group, bound to any address";
      EXPECT_NE(kept.set.entries[0].socket, -1);
      // Every interface but loopback down: no address can be listed, as any opening.
      ASSERT_TRUE(ip("link set tvx0 down") && ip("link set lo down"));
      EXPECT_EQ(qeld::udp_ready_kept_set(kept), qeld::kErrSocket);
      EXPECT_FALSE(kept.open) << "a failed opening must leave nothing open";
      ASSERT_TRUE(ip("link set lo up"));
      EXPECT_EQ(qeld::udp_ready_kept_set(kept), qeld::kOk);
      qeld::udp_close_kept_set(kept);
    });
    qeld::set_address_watch_failure(false);
    if (!why.empty()) GTEST_SKIP() << why;
  }
  EXPECT_EQ(log.count("unavailable"), 1) << "the fallback must be said once";
}

TEST(AddressWatch, AnUnavailableNotifierIsSaidOnceUntilOneOpensAgain) {
  LogCapture log;
  qeld::set_address_watch_failure(true);
  EXPECT_EQ(qeld::address_watch_here(), nullptr);
  EXPECT_EQ(qeld::address_watch_here(), nullptr);
  EXPECT_EQ(log.count("unavailable"), 1);
  qeld::set_address_watch_failure(false);
  auto w = qeld::address_watch_here();
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(qeld::address_watch_here(), w) << "one watch per namespace, shared";
  qeld::set_address_watch_failure(true);
  w.reset();
  EXPECT_EQ(qeld::address_watch_here(), nullptr);
  EXPECT_EQ(log.count("unavailable"), 2) << "a new stretch of failures is said again";
  qeld::set_address_watch_failure(false);
}

}  // namespace
