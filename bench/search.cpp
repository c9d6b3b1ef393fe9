// search: one broadcast search of the lab's two LANs, timed from the call to the first
// and to the last new device, with the quiet round in which the last one came. Runs
// only inside the lab's monitor namespace (scripts/bench puts it there).
#include <cstdio>
#include <string>
#include <vector>
#include <CLI/CLI.hpp>

#include "bench_util.h"
#include "qeld/library.h"
#include "qeld/search_engine.h"

int main(int argc, char** argv) {
  CLI::App app{"search: a broadcast search of the lab fleet"};
  int runs = 3, rounds = 2, expected = 512;
  std::string json_path;
  app.add_option("--runs", runs, "searches")->capture_default_str();
  app.add_option("--rounds", rounds, "quiet rounds of 1000 ms per search")->capture_default_str();
  app.add_option("--expected", expected, "devices in the lab fleet")->capture_default_str();
  app.add_option("--json", json_path, "merge the figures into this JSON file");
  CLI11_PARSE(app, argc, argv);
  runs = std::clamp(runs, 1, 20);
  rounds = std::clamp(rounds, 1, 10);

  if (qeld::library_start() != 1) {
    std::fprintf(stderr, "search: library_start failed\n");
    return 1;
  }
  qeld::set_search_options(1000, rounds);
  std::vector<double> first_ms, last_ms, found_n, round_of_last, cpu_ms;
  std::vector<int> codes;
  nlohmann::json per_run = nlohmann::json::array();
  for (int r = 0; r < runs; ++r) {
    int found = 0, quiet = 0, last_round = 0;
    double first = -1, last = -1;
    const auto t0 = bench::Clock::now();
    const double c0 = bench::process_cpu_s();
    const int rc = qeld::search_servers(0xFFFFFFFFu, [&](const qeld::DeviceIdentity* rec) {
      if (rec == nullptr) {
        ++quiet;
        return 1;
      }
      const double ms = bench::us_since(t0) / 1000;
      if (first < 0) first = ms;
      last = ms;
      last_round = quiet + 1;
      ++found;
      return 1;
    });
    cpu_ms.push_back((bench::process_cpu_s() - c0) * 1000);
    const double total = bench::us_since(t0) / 1000;
    first_ms.push_back(first);
    last_ms.push_back(last);
    found_n.push_back(found);
    round_of_last.push_back(last_round);
    codes.push_back(rc);
    per_run.push_back({{"found", found}, {"first_ms", first}, {"last_ms", last}, {"round_of_last", last_round},
                       {"quiet_rounds", quiet}, {"total_ms", total}, {"result", rc}, {"cpu_ms", cpu_ms.back()}});
    std::printf("search %d: %d found (expected %d), first %.1f ms, last %.1f ms, last in round %d, "
                "%d quiet waits, %.0f ms in all, cpu %.1f ms, result %d\n",
                r + 1, found, expected, first, last, last_round, quiet, total, cpu_ms.back(), rc);
  }
  nlohmann::json out = {{"runs", per_run},
                        {"expected", expected},
                        {"found_min", *std::min_element(found_n.begin(), found_n.end())},
                        {"first_ms_median", bench::median_of(first_ms)},
                        {"last_ms_median", bench::median_of(last_ms)},
                        {"last_ms_max", *std::max_element(last_ms.begin(), last_ms.end())},
                        {"round_of_last_max", *std::max_element(round_of_last.begin(), round_of_last.end())},
                        {"cpu_ms_median", bench::median_of(cpu_ms)}};
  std::printf("search: median first %.1f ms, median last %.1f ms, fewest found %g of %d, latest round %g\n",
              bench::median_of(first_ms), bench::median_of(last_ms), out["found_min"].get<double>(), expected,
              out["round_of_last_max"].get<double>());
  bench::write_figures(json_path, "search", out);
  qeld::library_stop();
  return 0;
}
