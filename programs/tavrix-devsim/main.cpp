// tavrix-devsim: serves a fleet of simulated device servers until SIGINT/SIGTERM,
// generates large fleets (`gen`) and lists a fleet's addresses per LAN (`addresses`).
#include <signal.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <thread>

#include "churn.h"
#include "fleet.h"
#include "simulator.h"

namespace {

devsim::Fleet sim_fleet(const devsim::Simulator& sim) {
  devsim::Fleet fleet;
  for (std::size_t i = 0; i < sim.device_count(); ++i) fleet.devices.push_back(sim.device(i));
  return fleet;
}

// Churn of a soak run: played while serving when a truth file is named.
struct ChurnArgs {
  std::string truth_path;
  devsim::ChurnOptions options;
};

int serve(const std::string& fleet_path, devsim::SimConfig config, bool seed_given,
          const ChurnArgs& churn) {
  devsim::Fleet fleet;
  std::string error;
  if (!devsim::load_fleet_file(fleet_path, fleet, error)) {
    std::cerr << "tavrix-devsim: " << error << "\n";
    return 2;
  }
  if (seed_given) fleet.seed.reset();  // the command line wins over the file
  // Block the signals before any thread starts, so only sigwait below sees them.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  devsim::Simulator sim(std::move(fleet), config);
  if (!sim.start(error)) {
    std::cerr << "tavrix-devsim: " << error << "\n";
    return 1;
  }
  std::ofstream truth;
  std::atomic<bool> stop_churn{false};
  std::thread player;
  if (!churn.truth_path.empty()) {
    truth.open(churn.truth_path, std::ios::trunc);
    if (!truth) {
      std::cerr << "tavrix-devsim: cannot write " << churn.truth_path << "\n";
      return 1;
    }
    player = std::thread([&sim, &truth, &stop_churn, &churn, fleet = sim_fleet(sim)] {
      devsim::ChurnPlayer(sim, devsim::plan_churn(fleet, churn.options), churn.options, truth)
          .run(stop_churn);
    });
  }
  std::cout << "ports 4800=" << sim.port_4800() << " 1029=" << sim.port_1029() << std::endl;
  int sig = 0;
  sigwait(&set, &sig);
  stop_churn = true;
  if (player.joinable()) player.join();
  sim.stop();
  if (config.log) *config.log << "devsim: stopped by signal " << sig << "\n";
  return 0;
}

int list_addresses(const std::string& fleet_path, const std::string& lan1,
                   const std::string& lan2) {
  devsim::Fleet fleet;
  std::string error;
  if (!devsim::load_fleet_file(fleet_path, fleet, error)) {
    std::cerr << "tavrix-devsim: " << error << "\n";
    return 2;
  }
  uint32_t net[2];
  int prefix[2];
  if (!devsim::parse_cidr(lan1, net[0], prefix[0]) ||
      !devsim::parse_cidr(lan2, net[1], prefix[1])) {
    std::cerr << "tavrix-devsim: --lan1/--lan2 must be networks like 192.0.2.0/24\n";
    return 2;
  }
  for (const devsim::Device& d : fleet.devices) {
    for (uint32_t ip : {d.ip1, d.ip2}) {
      if (!ip) continue;
      int lan = 0;
      for (int k = 0; k < 2 && !lan; ++k)
        if (devsim::in_subnet(ip, net[k], prefix[k])) lan = k + 1;
      // A device placed on a wire outside that wire's network: a foreign subnet there.
      if (!lan && d.lan) {
        std::cout << d.lan << " " << devsim::ipv4_text(ip) << "/24\n";
        continue;
      }
      if (!lan) {
        std::cerr << "tavrix-devsim: " << devsim::ipv4_text(ip) << " (" << d.name
                  << ") is on neither LAN (" << lan1 << ", " << lan2 << ")\n";
        return 2;
      }
      std::cout << lan << " " << devsim::ipv4_text(ip) << "/" << prefix[lan - 1] << "\n";
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tavrix-devsim: simulated Tavrix device servers for tests and the lab"};
  std::string fleet_path;
  devsim::SimConfig config;
  bool verbose = false;
  app.add_option("--fleet", fleet_path, "fleet file (JSON)");
  app.add_option("--bind", config.bind, "address to bind both sockets to")->capture_default_str();
  app.add_option("--port-4800", config.port_4800, "port of the 4800 family (0 = ephemeral)")
      ->capture_default_str();
  app.add_option("--port-1029", config.port_1029, "port of the 1029 family (0 = ephemeral)")
      ->capture_default_str();
  auto* seed_opt =
      app.add_option("--seed", config.seed, "seed of the random walk and the random faults");
  app.add_option("--broadcast-alias", config.broadcast_alias,
                 "treat datagrams to this address as broadcasts (loopback use)");
  app.add_flag("-v,--verbose", verbose, "log every request on stderr");
  ChurnArgs churn;
  app.add_option(
      "--truth", churn.truth_path,
      "play a seeded churn over the fleet and write every state it held here (JSON Lines)");
  app.add_option("--churn-seed", churn.options.seed, "seed of the churn")->capture_default_str();
  app.add_option("--churn-hold", churn.options.hold, "seconds every state is held at least")
      ->check(CLI::Range(1.0, 3600.0))
      ->capture_default_str();
  app.add_option("--churn-rate", churn.options.rate, "changes per second over the fleet")
      ->check(CLI::Range(0.001, 1000.0))
      ->capture_default_str();
  app.add_option("--churn-duration", churn.options.duration,
                 "seconds of churn, then the fleet stays as it is")
      ->capture_default_str();
  config.port_4800 = 4800;
  config.port_1029 = 1029;
  config.bind = "0.0.0.0";

  auto* gen = app.add_subcommand("gen", "write a generated fleet (JSON) on stdout or to --out");
  devsim::GenOptions g;
  std::string out_path, set = "B";
  gen->add_option("--count", g.count, "number of servers")->capture_default_str();
  gen->add_flag("--dual", g.dual, "two LANs per server");
  gen->add_option("--ports", g.ports, "serial ports per server")->capture_default_str();
  gen->add_option("--mode", g.mode, "'redundant' or a mode code for every port")
      ->capture_default_str();
  gen->add_option("--lan1", g.lan1, "LAN1 network")->capture_default_str();
  gen->add_option("--lan2", g.lan2, "LAN2 network")->capture_default_str();
  gen->add_option("--model-key", g.model_key, "model key of every server")->capture_default_str();
  gen->add_option("--model-id", g.model_id, "model id of every server")->capture_default_str();
  gen->add_option("--text-set", set, "A or B")
      ->check(CLI::IsMember({"A", "B"}))
      ->capture_default_str();
  gen->add_option("--walk", g.walk_period, "random-walk period in seconds (0 = static)");
  gen->add_option("--families", g.families, "search families answered: 4800, 1029 or both")
      ->check(CLI::IsMember({"4800", "1029", "both"}))
      ->capture_default_str();
  gen->add_option("--out", out_path, "output file");

  auto* addrs =
      app.add_subcommand("addresses", "print 'LAN ADDRESS/PREFIX' for every device address");
  std::string lan1 = "192.0.2.0/24", lan2 = "198.51.100.0/24";
  addrs->fallthrough();  // --fleet belongs to the main command
  addrs->add_option("--lan1", lan1)->capture_default_str();
  addrs->add_option("--lan2", lan2)->capture_default_str();
  app.require_subcommand(0, 1);
  CLI11_PARSE(app, argc, argv);

  if (gen->parsed()) {
    g.text_set = set[0];
    devsim::Fleet fleet;
    std::string error;
    if (!devsim::generate_fleet(g, fleet, error)) {
      std::cerr << "tavrix-devsim gen: " << error << "\n";
      return 2;
    }
    const std::string text = devsim::fleet_to_json(fleet);
    if (out_path.empty()) {
      std::cout << text;
    } else {
      std::ofstream out(out_path);
      out << text;
      if (!out) {
        std::cerr << "tavrix-devsim gen: cannot write " << out_path << "\n";
        return 1;
      }
    }
    return 0;
  }
  if (fleet_path.empty()) {
    std::cerr << "tavrix-devsim: --fleet FILE is required\n";
    return 2;
  }
  if (addrs->parsed()) return list_addresses(fleet_path, lan1, lan2);
  if (verbose) config.log = &std::cerr;
  return serve(fleet_path, config, seed_opt->count() > 0, churn);
}
