// tavrix-monitor: makes the application object and the six forms, restores the kept
// fleet, runs the message loop until the main window closes, and reports an escaped
// exception.
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
void load_fleet(tavrix::ui::FleetStore& store, const tavrix::monitor::Options& options) {
  if (options.servers.empty()) {
    store.restore_servers();
  } else {
    const QString why = store.add_servers_from(QString::fromStdString(options.servers));
    if (!why.isEmpty()) {
      qWarning("tavrix-monitor: %s", qPrintable(why));
      tavrix::ui::message_box(m_mainform,
                              QStringLiteral("The server list was not opened: %1").arg(why),
                              tavrix::ui::MsgIcon::Error, tavrix::ui::MsgButtons::Ok);
    }
  }
  if (options.start) m_mainform->start_all_servers();
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
  tavrix::ServerList list;  // the program's server list; the forms go before it
  try {
    tavrix::ui::create_forms(list);
    QObject::connect(&instance, &tavrix::ui::SingleInstance::raise_requested, m_mainform,
                     [] { tavrix::ui::raise_window(m_mainform); });
    auto* store = new tavrix::ui::FleetStore(m_mainform);  // owned by the window
    auto* events = new tavrix::ui::EventKeeper(m_mainform);
    events->restore(QDateTime::currentMSecsSinceEpoch());
    const bool placed = store->restore_layout();
    const tavrix::ui::DeskActions actions =
        tavrix::ui::add_desk_actions(m_mainform, store->options());
    auto* tray = new tavrix::ui::TrayIcon(m_mainform, store->options(), actions);
    auto* notifier = new tavrix::ui::DesktopNotifier(m_mainform, store->options());
    if (options.minimized && tray->available()) {
      // Shown once, so the first showing starts the library, then into the tray.
      m_mainform->show();
      m_mainform->hide();
    } else if (options.minimized)
      m_mainform->showMinimized();
    else if (placed)
      m_mainform->show();
    else
      m_mainform->showMaximized();
    load_fleet(*store, options);
    store->begin_saving();
    events->begin();
    notifier->begin();
    code = QApplication::exec();
  } catch (const std::exception& e) {
    tavrix::ui::report_exception(&e);
  } catch (...) {
    tavrix::ui::report_exception(nullptr);
  }
  tavrix::ui::destroy_forms();
  return code;
}
