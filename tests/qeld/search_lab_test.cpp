// The broadcast search in the lab: search_servers runs in a child that joined the
// monitor namespace (two LANs, simulated devices on both), and reports what its
// callback saw through a pipe. Skipped, with the reason, where namespaces cannot be made.
#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qeld/ds_info.h"
#include "qeld/library.h"
#include "qeld/result_codes.h"
#include "qeld/search_engine.h"
#include "support/lab.h"

namespace {

using tavrix_test::Lab;

uint32_t ip(const char* text) { return inet_addr(text); }

std::string ip_str(uint32_t a) {
  in_addr x{};
  x.s_addr = a;
  return inet_ntoa(x);
}

std::string mac_str(const uint8_t* m) {
  char buf[18];
  std::snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
  return buf;
}

// What one search reported, rebuilt from the child's text.
struct Outcome {
  int result = 0;
  int quiet_calls = 0;  // callback calls without a record (one per round)
  std::vector<qeld::DeviceIdentity> records;
  bool ok = false;

  const qeld::DeviceIdentity* by_mac(const std::string& mac) const {
    for (const auto& r : records)
      if (mac_str(r.mac1) == mac) return &r;
    return nullptr;
  }
  int count_mac(const std::string& mac) const {
    int n = 0;
    for (const auto& r : records) n += mac_str(r.mac1) == mac;
    return n;
  }
};

// Runs search_servers(target) in the monitor namespace. stop_after_records > 0 makes the
// callback return 0 on that record; stop_on_quiet makes it return 0 on its first quiet call.
Outcome search_in_lab(const Lab& lab, uint32_t target, int attempts, int stop_after_records = 0,
                      bool stop_on_quiet = false) {
  Outcome o;
  const auto text = lab.run_in_monitor([&]() {
    qeld::set_search_options(1000, attempts);
    std::ostringstream out;
    int seen = 0, quiet = 0;
    const int rc = qeld::search_servers(target, [&](const qeld::DeviceIdentity* r) -> int {
      if (!r) {
        ++quiet;
        return stop_on_quiet ? 0 : 1;
      }
      ++seen;
      const auto b = qeld::ds_info_to_bytes(*r);
      out << "R ";
      for (uint8_t x : b) out << int(x) << ' ';
      out << '\n';
      return stop_after_records > 0 && seen >= stop_after_records ? 0 : 1;
    });
    out << "Q " << quiet << "\nX " << rc << '\n';
    return out.str();
  });
  if (!text) return o;
  std::istringstream in(*text);
  std::string tag;
  while (in >> tag) {
    if (tag == "R") {
      uint8_t b[qeld::kDsInfoSize];
      for (auto& x : b) {
        int v;
        in >> v;
        x = uint8_t(v);
      }
      qeld::DeviceIdentity r;
      qeld::ds_info_from_bytes(b, sizeof b, r);
      o.records.push_back(r);
    } else if (tag == "Q") {
      in >> o.quiet_calls;
    } else if (tag == "X") {
      in >> o.result;
      o.ok = true;
    }
  }
  return o;
}

// Lines of the lab's devsim log that report a request of `code` sent to `to` (and of
// `length` bytes when given).
int logged_requests(const Lab& lab, const std::string& code, const std::string& to, int length = -1) {
  std::istringstream log(lab.devsim_log());
  std::string line;
  int n = 0;
  while (std::getline(log, line))
    n += line.find(" code " + code + " ") != std::string::npos && line.find(" to " + to + " ") != std::string::npos &&
         (length < 0 || line.find(" len " + std::to_string(length) + " ") != std::string::npos);
  return n;
}

class SearchLab : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!tavrix_test::lab_unavailable_reason().empty()) return;
    try {
      lab_ = new Lab({tavrix_test::source_dir() + "/data/fleets/sample.json", "", ""});
    } catch (const std::exception& e) {
      setup_error_ = new std::string(e.what());
    }
  }
  static void TearDownTestSuite() {
    delete lab_;
    lab_ = nullptr;
    delete setup_error_;
    setup_error_ = nullptr;
  }
  void SetUp() override {
    TAVRIX_SKIP_UNLESS_LAB();
    ASSERT_EQ(setup_error_, nullptr) << *setup_error_;
    ASSERT_NE(lab_, nullptr);
  }
  static Lab* lab_;
  static std::string* setup_error_;
};
Lab* SearchLab::lab_ = nullptr;
std::string* SearchLab::setup_error_ = nullptr;

TEST_F(SearchLab, BroadcastFindsEveryDeviceOnBothLansOnce) {
  const Outcome o = search_in_lab(*lab_, 0xFFFFFFFF, 2);
  ASSERT_TRUE(o.ok) << "the search child failed";
  EXPECT_EQ(o.result, 1);
  ASSERT_EQ(o.records.size(), 6u) << lab_->devsim_log();
  std::set<std::string> ip1s;
  for (const auto& r : o.records) ip1s.insert(ip_str(r.ip1));
  EXPECT_EQ(ip1s, (std::set<std::string>{"192.0.2.10", "198.51.100.20", "192.0.2.30", "192.0.2.40", "192.0.2.50",
                                         "192.0.2.60"}));
  // A device on LAN2 only is heard through the LAN2 interface.
  const auto* b = o.by_mac("02:54:58:01:00:20");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(ip_str(b->local_ip), "198.51.100.1");
  EXPECT_EQ(b->flags & qeld::kFlagDirected, 0);
}

TEST_F(SearchLab, DualLanDeviceHeardOnBothLansIsOneRecord) {
  const Outcome o = search_in_lab(*lab_, 0xFFFFFFFF, 2);
  ASSERT_TRUE(o.ok);
  for (const char* mac : {"02:54:58:01:00:30", "02:54:58:01:00:40", "02:54:58:01:00:60"})
    EXPECT_EQ(o.count_mac(mac), 1) << mac;
  const auto* r = o.by_mac("02:54:58:01:00:30");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(ip_str(r->ip1), "192.0.2.30");
  EXPECT_EQ(ip_str(r->ip2), "198.51.100.30");
  EXPECT_EQ(mac_str(r->mac2), "02:54:58:01:00:31");
  EXPECT_EQ(r->model_id, 0x2613);
  EXPECT_EQ(r->model_key, 1u);
  // Answered on both LANs from its own addresses.
  EXPECT_GE(logged_requests(*lab_, "0x1", "255.255.255.255"), 2);
}

TEST_F(SearchLab, A1029OnlyDeviceIsFoundWithTheSendersAddress) {
  const Outcome o = search_in_lab(*lab_, 0xFFFFFFFF, 2);
  ASSERT_TRUE(o.ok);
  const auto* u = o.by_mac("02:54:58:01:00:50");  // code 0xC9: carries no address
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(ip_str(u->ip1), "192.0.2.50");
  EXPECT_EQ(ip_str(u->ip2), "192.0.2.50");
  EXPECT_EQ(mac_str(u->mac2), "00:00:00:00:00:00");
  EXPECT_NE(u->flags & qeld::kFlag1029, 0);
  EXPECT_EQ(u->unit_id, 4);
  EXPECT_EQ(u->model_id, 0x3104);
  const auto* v = o.by_mac("02:54:58:01:00:60");  // code 0x82: both addresses in the reply
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(ip_str(v->ip2), "198.51.100.60");
  EXPECT_NE(v->flags & qeld::kFlag1029, 0);
}

TEST_F(SearchLab, DirectedSearchEndsAtTheFirst4800Reply) {
  // 30 quiet rounds would take half a minute; ending at the first reply takes one round.
  const Outcome o = search_in_lab(*lab_, ip("192.0.2.10"), 30);
  ASSERT_TRUE(o.ok);
  EXPECT_EQ(o.result, 1);
  ASSERT_EQ(o.records.size(), 1u);
  EXPECT_EQ(ip_str(o.records[0].ip1), "192.0.2.10");
  EXPECT_NE(o.records[0].flags & qeld::kFlagDirected, 0);
  EXPECT_LE(o.quiet_calls, 1) << "no round after the one that heard the device";
  // Round one asks from both monitor interfaces with an empty list (8 bytes); a second
  // round would name the device found (20 bytes).
  EXPECT_GE(logged_requests(*lab_, "0x1", "192.0.2.10", 8), 1) << lab_->devsim_log();
  EXPECT_EQ(logged_requests(*lab_, "0x1", "192.0.2.10", 20), 0) << lab_->devsim_log();
}

TEST_F(SearchLab, DirectedSearchOfA1029OnlyDeviceRunsItsQuietRounds) {
  const Outcome o = search_in_lab(*lab_, ip("192.0.2.50"), 3);
  ASSERT_TRUE(o.ok);
  EXPECT_EQ(o.result, 1);
  ASSERT_EQ(o.records.size(), 1u);
  EXPECT_NE(o.records[0].flags & qeld::kFlag1029, 0);
  // Found in round 1 (round 2 on a machine too busy to answer within the first wait),
  // then two rounds without anything new.
  EXPECT_GE(o.quiet_calls, 3);
  EXPECT_LE(o.quiet_calls, 4);
}

TEST_F(SearchLab, DirectedSearchOfASilentAddressGivesTimeoutAfterTheQuietRounds) {
  const Outcome o = search_in_lab(*lab_, ip("192.0.2.99"), 3);
  ASSERT_TRUE(o.ok);
  EXPECT_EQ(o.result, qeld::kPubTimeout);
  EXPECT_TRUE(o.records.empty());
  EXPECT_EQ(o.quiet_calls, 3);
}

TEST_F(SearchLab, CallbackThatStopsGivesStopped) {
  Outcome o = search_in_lab(*lab_, 0xFFFFFFFF, 3, 1);
  ASSERT_TRUE(o.ok);
  EXPECT_EQ(o.result, qeld::kPubStopped);
  EXPECT_EQ(o.records.size(), 1u) << "nothing after the record that stopped it";

  o = search_in_lab(*lab_, ip("192.0.2.99"), 5, 0, true);
  ASSERT_TRUE(o.ok);
  EXPECT_EQ(o.result, qeld::kPubStopped);
  EXPECT_EQ(o.quiet_calls, 1);
}

// A fleet larger than the found list: the 512th new record ends the search.
TEST(SearchLabScale, The512thDeviceEndsTheSearch) {
  TAVRIX_SKIP_UNLESS_LAB();
  const std::string fleet = "/tmp/tavrix_search_lab_600_" + std::to_string(::getpid()) + ".json";
  const std::string gen = tavrix_test::bin_dir() + "/tavrix-devsim gen --count 600 --ports 1 --families 4800" +
                          " --lan1 198.18.0.0/16 --lan2 198.19.0.0/16 --out " + fleet;
  std::string out;
  ASSERT_EQ(tavrix_test::run_command(gen, &out), 0) << out;
  std::unique_ptr<Lab> lab;
  try {
    lab = std::make_unique<Lab>(Lab::Options{fleet, "198.18.0.0/16", "198.19.0.0/16"});
  } catch (const std::exception& e) {
    std::remove(fleet.c_str());
    FAIL() << e.what();
  }
  const Outcome o = search_in_lab(*lab, 0xFFFFFFFF, 5);
  std::remove(fleet.c_str());
  ASSERT_TRUE(o.ok);
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.records.size(), std::size_t(qeld::kMaxFound)) << "the callback saw exactly 512 records";
  std::set<std::string> macs;
  for (const auto& r : o.records) macs.insert(mac_str(r.mac1));
  EXPECT_EQ(macs.size(), std::size_t(qeld::kMaxFound)) << "each a different server";
}

}  // namespace
