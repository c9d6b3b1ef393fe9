// Parsing of the window program's options, and its --help text (the man page is made
// from it).
#include "options.h"

#include <cstring>
#include <string_view>

#include "qeld/model_map.h"

namespace tavrix::monitor {

Options parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--version") {
      o.version = true;
    } else if (a == "--start") {
      o.start = true;
    } else if (a == "--minimized" || a == "--minimised") {
      o.minimized = true;
    } else if (a == "--servers") {
      if (i + 1 >= argc) {
        o.error = "--servers needs a file name";
        return o;
      }
      o.servers = argv[++i];
    } else if (a.starts_with("--servers=")) {
      o.servers = std::string(a.substr(std::strlen("--servers=")));
    } else if (a.starts_with("--")) {
      o.error = "unknown option " + std::string(a);
      return o;
    }
    // A single dash is Qt's (-platform NAME, -display D, ...): left to the application.
  }
  return o;
}

std::string help_text() {
  std::string t =
      "Usage: tavrix-monitor [OPTION]... [Qt options]\n"
      "\n"
      "The Tavrix Monitor Utility's windows: finds Tavrix serial device servers on the\n"
      "local networks by broadcast search (Function > Search) or at one IPv4 address\n"
      "(Function > Search by IP), keeps the chosen ones in a tree and polls each\n"
      "monitored server every few seconds (Run > Start) for its ports' operation modes\n"
      "and the connections of its Redundant COM ports on each LAN. It never changes a\n"
      "device.\n"
      "\n"
      "Options:\n"
      "  --servers FILE  open this server-list file at start instead of the kept list\n"
      "  --start         start monitoring every server of the list at start\n"
      "  --minimized     start minimised (in the tray where a tray exists)\n"
      "  -h, --help      print this help and exit\n"
      "  --version       print the version and exit\n"
      "  -platform NAME  Qt's platform plugin (xcb, wayland, offscreen, ...)\n"
      "\n"
      "The window keeps the server list (and which servers were monitored), the two\n"
      "settings, its size and its column widths in $XDG_CONFIG_HOME/tavrix-monitor/\n"
      "(servers.json, window.json) and restarts the monitored servers at the next\n"
      "start. Its events are kept in $XDG_STATE_HOME/tavrix-monitor/events.jsonl.\n"
      "A file that cannot be used is renamed with the suffix .set-aside-DATE and\n"
      "named in the status bar. One window runs per user: a second start offers to\n"
      "bring the first to the front.\n"
      "\n"
      "The model map GIdMap.dat is looked for in the current directory, then beside\n"
      "the executable, then in ";
  t += qeld::model_map_data_dir();
  t += "; the first found is used.\n"
       "Without it no device model is known and a search finds no server: the window\n"
       "then names every file it looked for.\n";
  return t;
}

}  // namespace tavrix::monitor
