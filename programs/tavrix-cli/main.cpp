// tavrix-cli: the headless command line of the Tavrix Monitor Utility. Parses the
// command and its options, applies the lab aids and runs one command.
#include <CLI/CLI.hpp>
#include <iostream>

#include "commands.h"

namespace {

using namespace tavrix::cli;

const char* const kSearchExamples = R"(Examples:
  tavrix-cli search                       broadcast search of every local network
  tavrix-cli search --ip 192.0.2.10       ask one address
  tavrix-cli search --timeout 10 --format json
  tavrix-cli search --save site.json      keep the servers found in a server-list file
Exit: 0 a server was found, 1 none, 2 usage or socket error.)";

const char* const kProbeExamples = R"(Examples:
  tavrix-cli probe 192.0.2.10
  tavrix-cli probe 192.0.2.10 --lan2 198.51.100.10 --format json
Exit: 0 the server answered, 1 no answer, 2 usage or socket error.)";

const char* const kWatchExamples = R"(Examples:
  tavrix-cli watch 192.0.2.10 192.0.2.11
  tavrix-cli watch 192.0.2.10 --refresh 5 --confirm 2 --format jsonl
  tavrix-cli watch --servers site.json
Ends on Ctrl+C or SIGTERM. Exit: 0 clean end, 1 no server answered, 2 usage or socket error.)";

const char* const kCheckExamples = R"(Examples:
  tavrix-cli check 192.0.2.10
  tavrix-cli check 192.0.2.10 --lan2 198.51.100.10
Exit: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.)";

const char* const kModelsExamples = R"(Examples:
  tavrix-cli models
  tavrix-cli models --format csv
Exit: 0 the map holds models, 1 no map loaded.)";

CLI::App* add_command(CLI::App& app, const char* name, const char* about, const char* examples) {
  CLI::App* sub = app.add_subcommand(name, about);
  sub->footer(examples);
  // Options of the parent (--version and the lab aids) are accepted after the command.
  sub->fallthrough();
  return sub;
}

void add_timeout(CLI::App* sub, int& timeout) {
  sub->add_option("--timeout", timeout,
                  "Seconds without a new server before the search ends (3-60)")
      ->check(CLI::Range(3, 60))
      ->capture_default_str();
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tavrix-cli: find and monitor Tavrix device servers from the command line",
               "tavrix-cli"};
  app.set_version_flag("--version", std::string("tavrix-cli ") + kVersionText,
                       "Print the version and exit");
  app.require_subcommand(1);
  app.footer("Run 'tavrix-cli COMMAND --help' for the options and examples of a command.");

  // Test and lab aids, hidden from --help: device ports and the local address list.
  LabOptions lab;
  app.add_option("--device-ports", lab.device_ports, "P4800,P1029")->group("");
  app.add_option("--local-address", lab.local_addresses, "local IPv4 addresses to search from")
      ->group("")
      ->delimiter(',');

  SearchArgs search;
  CLI::App* search_cmd = add_command(
      app, "search", "Search the local networks (or one address) for servers", kSearchExamples);
  search_cmd->add_option("--ip", search.ip, "Ask this address instead of broadcasting");
  add_timeout(search_cmd, search.timeout);
  search_cmd->add_option("--save", search.save_file,
                         "Write the servers found to this server-list file");
  search_cmd->add_option("--format", search.format, "table, json or csv")
      ->check(CLI::IsMember({"table", "json", "csv"}))
      ->capture_default_str();

  ProbeArgs probe;
  CLI::App* probe_cmd = add_command(
      app, "probe", "Find one server, poll it once and print its port table", kProbeExamples);
  probe_cmd->add_option("ADDR", probe.address, "The server's (LAN1) address")->required();
  probe_cmd->add_option("--lan2", probe.lan2, "The server's second-LAN address");
  add_timeout(probe_cmd, probe.timeout);
  probe_cmd->add_option("--format", probe.format, "text or json")
      ->check(CLI::IsMember({"text", "json"}))
      ->capture_default_str();

  WatchArgs watch;
  CLI::App* watch_cmd =
      add_command(app, "watch", "Monitor servers and print one line per change", kWatchExamples);
  watch_cmd->add_option("ADDR", watch.addresses, "The servers' addresses");
  watch_cmd->add_option("--servers", watch.servers_file,
                        "Also watch the servers of this server-list file (no search needed)");
  watch_cmd->add_option("--refresh", watch.refresh, "Seconds between polls (1-99)")
      ->check(CLI::Range(1, 99))
      ->capture_default_str();
  watch_cmd->add_option("--format", watch.format, "text or jsonl")
      ->check(CLI::IsMember({"text", "jsonl"}))
      ->capture_default_str();
  watch_cmd
      ->add_option("--confirm", watch.confirm,
                   "Observations that must agree before On/Off Line is reported")
      ->check(CLI::Range(1, 100))
      ->capture_default_str();
  add_timeout(watch_cmd, watch.timeout);
  watch_cmd->add_option("--duration", watch.duration, "end after this many seconds")
      ->check(CLI::Range(0.0, 86400.0))
      ->group("");

  ServerArgs check;
  CLI::App* check_cmd =
      add_command(app, "check", "Monitoring-plugin verdict on one server", kCheckExamples);
  check_cmd->add_option("ADDR", check.address, "The server's (LAN1) address")->required();
  check_cmd->add_option("--lan2", check.lan2, "The server's second-LAN address");
  add_timeout(check_cmd, check.timeout);

  ModelsArgs models;
  CLI::App* models_cmd =
      add_command(app, "models", "List the model map as the program reads it", kModelsExamples);
  models_cmd->add_option("--format", models.format, "table, json or csv")
      ->check(CLI::IsMember({"table", "json", "csv"}))
      ->capture_default_str();

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // A monitoring plugin answers bad arguments with UNKNOWN on stdout.
    if (check_cmd->parsed()) {
      std::cout << "TAVRIX UNKNOWN - " << e.what() << std::endl;
      return kCheckUnknown;
    }
    print_error(std::string(e.what()) + " (see --help)");
    return kExitUsage;
  }

  if (const tavrix::Done applied = apply_lab_options(lab); !applied) {
    if (check_cmd->parsed()) {
      std::cout << "TAVRIX UNKNOWN - " << applied.reason() << std::endl;
      return kCheckUnknown;
    }
    print_error(applied.reason());
    return kExitUsage;
  }
  install_interrupt_handlers();

  if (search_cmd->parsed()) return run_search_command(search);
  if (probe_cmd->parsed()) return run_probe_command(probe);
  if (watch_cmd->parsed()) return run_watch_command(watch);
  if (check_cmd->parsed()) return run_check_command(check);
  if (models_cmd->parsed()) return run_models_command(models);
  return kExitUsage;
}
