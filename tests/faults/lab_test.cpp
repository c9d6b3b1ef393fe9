// Faults that need the whole lab: 200 simulated servers on two LANs answering one
// limited broadcast at once, heard by the monitor namespace through both interfaces; and
// the monitor's own addresses and interfaces changing under a full fleet of pollers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/server_list.h"
#include "qeld/library.h"
#include "qeld/model_map.h"
#include "qeld/search_engine.h"
#include "support/lab.h"

namespace {

TEST(LabFaults, TwoHundredServersAnsweringOneBroadcastAreFound) {
  TAVRIX_SKIP_UNLESS_LAB();
  const std::string fleet = (std::filesystem::temp_directory_path() /
                             ("tvx-fleet200-" + std::to_string(::getpid()) + ".json"))
                                .string();
  std::string out;
  ASSERT_EQ(tavrix_test::run_command(tavrix_test::bin_dir() +
                                         "/tavrix-devsim gen --count 200 --dual --lan1 "
                                         "192.0.2.0/24 --lan2 198.51.100.0/24 --out " +
                                         fleet,
                                     &out),
            0)
      << out;
  {
    tavrix_test::Lab lab({fleet, "", ""});
    // The search runs inside the monitor namespace; only there is a broadcast allowed.
    const auto result = lab.run_in_monitor([] {
      qeld::library_start();
      qeld::set_search_options(1000, 2);
      std::set<std::array<uint8_t, 6>> first_round, all;
      int quiet = 0;
      const int rc = qeld::search_servers(0xFFFFFFFFu, [&](const qeld::_DS_INFO* r) {
        if (r == nullptr) {
          ++quiet;
          return 1;
        }
        std::array<uint8_t, 6> mac;
        std::copy(r->mac1, r->mac1 + 6, mac.begin());
        all.insert(mac);
        if (quiet == 0) first_round.insert(mac);
        return 1;
      });
      qeld::library_stop();
      std::ostringstream s;
      s << rc << " " << first_round.size() << " " << all.size();
      return s.str();
    });
    ASSERT_TRUE(result.has_value()) << "the search in the monitor namespace did not finish\n"
                                    << lab.devsim_log();
    std::istringstream in(*result);
    int rc = 0;
    std::size_t first = 0, all = 0;
    in >> rc >> first >> all;
    std::printf("lab, 200 dual-LAN servers: %zu heard in the first round, %zu in all\n", first,
                all);
    EXPECT_EQ(rc, 1);
    EXPECT_GE(first, 198u) << "fewer than 99 % of the servers answered one broadcast";
    EXPECT_EQ(all, 200u);
  }
  std::filesystem::remove(fleet);
}

int open_fds() {
  int n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// 512 dual-LAN servers, 1,024 pollers at refresh 1 s, while the monitor namespace gains
// and loses an address and its interfaces go down and up: the pollers of the LAN that
// went away go off line, the others stay, and every one is back within a refresh (plus
// the attempt that may be under way) once its LAN returns; no descriptor is lost.
TEST(LabFaults, AFullFleetOfPollersRidesOutAddressAndInterfaceChanges) {
  TAVRIX_SKIP_UNLESS_LAB();
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  const int servers = 64;  // the same steps; a sanitizer's threads cost too much for 512
#else
  const int servers = 512;
#endif
  const std::string fleet = (std::filesystem::temp_directory_path() /
                             ("tvx-fleet-addr-" + std::to_string(::getpid()) + ".json"))
                                .string();
  std::string out;
  ASSERT_EQ(tavrix_test::run_command(tavrix_test::bin_dir() + "/tavrix-devsim gen --count " +
                                         std::to_string(servers) +
                                         " --dual --ports 1 --mode redundant --lan1 "
                                         "198.18.0.0/16 --lan2 198.19.0.0/16 --out " +
                                         fleet,
                                     &out),
            0)
      << out;
  tavrix_test::Lab lab({fleet, "198.18.0.0/16", "198.19.0.0/16"});
  std::filesystem::remove(fleet);
  const auto result = lab.run_in_monitor(
      [servers] {
        using namespace std::chrono_literals;
        using Clock = std::chrono::steady_clock;
        std::ostringstream o;
        qeld::library_start();
        qeld::TModelEntry e;
        e.model_key = 1;
        e.model_id = 0x2616;  // the generator's model: text set B, two LANs
        e.attributes[2] = 0x40;
        e.port_count = 1;
        qeld::set_model_map({e});
        qeld::set_search_options(1000, 2);
        std::vector<qeld::_DS_INFO> found;
        qeld::search_servers(0xFFFFFFFFu, [&](const qeld::_DS_INFO* r) {
          if (r != nullptr) found.push_back(*r);
          return 1;
        });
        o << "found " << found.size() << "\n";
        const int fds_idle = open_fds();
        auto list = std::make_unique<TDsList>();
        list->refresh_rate = 1;
        for (const auto& r : found) list->add_server(list->make_server_record(r));
        const int n = list->server_count();
        for (int i = 0; i < n; ++i) {
          list->server_at(i)->monitoring = 1;
          list->start_poller(i, 0);
          list->start_poller(i, 1);
        }
        // Every LAN's bit: `lan_mask` set (1, 2 or 3) in every server's online word.
        auto all_have = [&](int lan_mask) {
          for (int i = 0; i < n; ++i)
            if ((list->server_at(i)->online.load() & lan_mask) != lan_mask) return false;
          return true;
        };
        auto none_has = [&](int lan_mask) {
          for (int i = 0; i < n; ++i)
            if ((list->server_at(i)->online.load() & lan_mask) != 0) return false;
          return true;
        };
        auto within = [](auto pred, std::chrono::milliseconds limit) {
          const auto end = Clock::now() + limit;
          while (!pred()) {
            if (Clock::now() > end) return false;
            std::this_thread::sleep_for(20ms);
          }
          return true;
        };
        o << "online " << within([&] { return all_have(3); }, 60s) << "\n";
        const int fds_polling = open_fds();
        const int listed = qeld::local_address_count();

        struct Step {
          const char* name;
          const char* change;
          const char* restore;
          int lan_mask;  // the LAN that goes away, 0 for none
        };
        const Step steps[] = {
            {"address-added", "ip addr add 198.18.0.200/16 dev lan1",
             "ip addr del 198.18.0.200/16 dev lan1", 0},
            {"address-removed", "ip addr del 198.18.0.1/16 dev lan1",
             "ip addr add 198.18.0.1/16 brd + dev lan1", 1},
            {"lan1-down", "ip link set lan1 down", "ip link set lan1 up", 1},
            {"lan2-down", "ip link set lan2 down", "ip link set lan2 up", 2},
        };
        for (const Step& st : steps) {
          if (std::system(st.change) != 0) o << "failed " << st.change << "\n";
          bool gone = true, others = true;
          if (st.lan_mask != 0) {
            gone = within([&] { return none_has(st.lan_mask); }, 20s);
            others = within([&] { return all_have(3 ^ st.lan_mask); }, 10s);
          } else {
            // Nothing goes off line; the next listing (a reopened set) shows the new address.
            gone = within([&] { return qeld::local_address_count() == listed + 1; }, 10s);
            others = within([&] { return all_have(3); }, 10s);
          }
          if (std::system(st.restore) != 0) o << "failed " << st.restore << "\n";
          const auto t0 = Clock::now();
          const bool back = within([&] { return all_have(3); }, 60s);
          const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
          o << "step " << st.name << " " << gone << " " << others << " " << back << " "
            << ms.count() << "\n";
        }
        o << "fds " << fds_polling << " " << open_fds() << "\n";
        list->set_stop_all(1);
        const bool ended = list->stop_all_pollers(10000);
        list.reset();
        o << "stopped " << ended << " " << fds_idle << " " << open_fds() << "\n";
        qeld::library_stop();
        return o.str();
      },
      600);
  ASSERT_TRUE(result.has_value()) << "the pollers in the monitor namespace did not finish\n";
  std::printf("%s", result->c_str());
  std::istringstream in(*result);
  std::string word;
  int steps = 0;
  while (in >> word) {
    if (word == "found") {
      int found = 0;
      in >> found;
      ASSERT_EQ(found, servers);
    } else if (word == "online") {
      int ok = 0;
      in >> ok;
      ASSERT_EQ(ok, 1) << "not every LAN came on line at the start";
    } else if (word == "failed") {
      std::string rest;
      std::getline(in, rest);
      ADD_FAILURE() << "lab command failed:" << rest;
    } else if (word == "step") {
      std::string name;
      int gone = 0, others = 0, back = 0;
      long ms = 0;
      in >> name >> gone >> others >> back >> ms;
      ++steps;
      EXPECT_EQ(gone, 1) << name << ": the change was not seen by every poller";
      EXPECT_EQ(others, 1) << name << ": pollers of the other LAN went off line";
      EXPECT_EQ(back, 1) << name << ": not every poller came back";
      // One refresh (1 s) plus one attempt's time-out (1 s) once the LAN is back, with
      // room for a busy machine; a poller left with a dead socket never comes back.
      EXPECT_LE(ms, 5000) << name << ": took " << ms << " ms to come back";
    } else if (word == "fds") {
      int polling = 0, after = 0;
      in >> polling >> after;
      EXPECT_EQ(after, polling) << "descriptors gained or lost across the changes";
    } else if (word == "stopped") {
      int ended = 0, idle = 0, after = 0;
      in >> ended >> idle >> after;
      EXPECT_EQ(ended, 1);
      EXPECT_EQ(after, idle) << "sockets left open after every poller stopped";
    }
  }
  EXPECT_EQ(steps, 4);
}

}  // namespace
