// Faults that need the whole lab: 200 simulated servers on two LANs answering one
// limited broadcast at once, heard by the monitor namespace through both interfaces.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "qeld/library.h"
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

}  // namespace
