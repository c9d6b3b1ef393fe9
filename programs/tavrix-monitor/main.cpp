// tavrix-monitor: makes the application object and the main window with its dialogs, restores the
// kept fleet, runs the message loop until the main window closes, and reports an escaped exception.
#include <cstdio>
#include <exception>

#include <QApplication>
#include <QDateTime>

#include "core/server_list.h"
#include "core/string_table.h"
#include "options.h"
#include "ui/desk_options.h"
#include "ui/desktop_notifier.h"
#include "ui/event_keeper.h"
#include "ui/fleet_store.h"
#include "ui/forms.h"
#include "ui/main_window.h"
#include "ui/message_box.h"
#include "ui/single_instance.h"
#include "ui/tray_icon.h"

namespace {

// The list to monitor: the file named by --servers, else the kept one.
void load_fleet(tavrix::ui::MainWindow* window, tavrix::ui::FleetStore& store,
                const tavrix::monitor::Options& options) {
  if (options.servers.empty()) {
    store.restore_servers();
  } else {
    const QString why = store.add_servers_from(QString::fromStdString(options.servers));
    if (!why.isEmpty()) {
      qWarning("tavrix-monitor: %s", qPrintable(why));
      tavrix::ui::message_box(window, QStringLiteral("The server list was not opened: %1").arg(why),
                              tavrix::ui::MsgIcon::Error, tavrix::ui::MsgButtons::Ok);
    }
  }
  if (options.start) window->start_all_servers();
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before any window exists, so they work without a display.
  const tavrix::monitor::Options options = tavrix::monitor::parse_options(argc, argv);
  if (!options.error.empty()) {
    std::fprintf(stderr, "tavrix-monitor: %s (see --help)\n", options.error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(tavrix::monitor::help_text().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("tavrix-monitor %s\n", tavrix::load_str(tavrix::kStrVersion).c_str());
    return 0;
  }
  tavrix::ui::Application app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tavrix Monitor Utility"));
  tavrix::ui::SingleInstance instance;
  if (!instance.acquire()) return tavrix::ui::report_second_instance(nullptr, instance);
  int code = 0;
  tavrix::ServerList list;  // the program's server list; the window goes before it
  tavrix::ui::MainWindow* window = nullptr;
  try {
    window = new tavrix::ui::MainWindow(list);  // with its dialogs
    QObject::connect(&instance, &tavrix::ui::SingleInstance::raise_requested, window,
                     [window] { tavrix::ui::raise_window(window); });
    auto* store = new tavrix::ui::FleetStore(window);  // owned by the window
    auto* events = new tavrix::ui::EventKeeper(window);
    events->restore(QDateTime::currentMSecsSinceEpoch());
    const bool placed = store->restore_layout();
    const tavrix::ui::DeskActions actions = tavrix::ui::add_desk_actions(window, store->options());
    auto* tray = new tavrix::ui::TrayIcon(window, store->options(), actions);
    auto* notifier = new tavrix::ui::DesktopNotifier(window, store->options());
    if (options.minimized && tray->available()) {
      // Shown once, so the first showing starts the library, then into the tray.
      window->show();
      window->hide();
    } else if (options.minimized)
      window->showMinimized();
    else if (placed)
      window->show();
    else
      window->showMaximized();
    load_fleet(window, *store, options);
    store->begin_saving();
    events->begin();
    notifier->begin();
    code = QApplication::exec();
  } catch (const std::exception& e) {
    tavrix::ui::report_exception(&e);
  } catch (...) {
    tavrix::ui::report_exception(nullptr);
  }
  delete window;  // and the dialogs it owns
  return code;
}
