// tavrix-monitor: makes the application object and the six forms, runs the message
// loop until the main window closes, and reports an escaped exception.
#include <cstdio>
#include <cstring>
#include <exception>

#include "ui/main_window.h"
#include "ui/forms.h"
#include "qeld/model_map.h"
#include "core/string_table.h"

namespace {

// Answered before any window exists, so they work without a display.
bool answer_help_or_version(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf(
          "Usage: tavrix-monitor [--help | --version] [Qt options]\n"
          "\n"
          "The Tavrix Monitor Utility's windows: finds Tavrix serial device servers on the\n"
          "local networks by broadcast search (Function > Search) or at one IPv4 address\n"
          "(Function > Search by IP), keeps the chosen ones in a tree and polls each\n"
          "monitored server every few seconds (Run > Start) for its ports' operation modes\n"
          "and the connections of its Redundant COM ports on each LAN. It never changes a\n"
          "device.\n"
          "\n"
          "Options:\n"
          "  -h, --help      print this help and exit\n"
          "  --version       print the version and exit\n"
          "  -platform NAME  Qt's platform plugin (xcb, wayland, offscreen, ...)\n"
          "\n"
          "The model map GIdMap.dat is looked for in the current directory, then beside\n"
          "the executable, then in %s; the first found is used.\n"
          "Without it no device model is known and a search finds no server: the window\n"
          "then names every file it looked for.\n",
          qeld::model_map_data_dir());
      return true;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("tavrix-monitor %s\n", tavrix::load_str(tavrix::kStrVersion).c_str());
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (answer_help_or_version(argc, argv)) return 0;
  tavrix::ui::TApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tavrix Monitor Utility"));
  try {
    tavrix::ui::create_forms();
    m_mainform->showMaximized();
    QApplication::exec();
  } catch (const std::exception& e) {
    tavrix::ui::report_exception(&e);
  } catch (...) {
    tavrix::ui::report_exception(nullptr);
  }
  tavrix::ui::destroy_forms();
  return 0;
}
