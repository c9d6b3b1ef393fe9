// The window program's own command-line options; Qt's (-platform, -display, ...) are
// left in argv for the application object.
#pragma once

#include <string>

namespace tavrix::monitor {

struct Options {
  std::string servers;     // --servers FILE: open this server list at start
  bool start = false;      // --start: monitor every server of the list at start
  bool minimized = false;  // --minimized: start in the tray (minimised without one)
  bool help = false;
  bool version = false;
  std::string error;  // a usage error, as one line
};

Options parse_options(int argc, char** argv);
std::string help_text();

}  // namespace tavrix::monitor
