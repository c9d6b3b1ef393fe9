// tavrix-demo-tour: a scripted walk through the real windows for the demo when no
// display is at hand. Meant to run inside the lab's monitor namespace: it searches,
// ticks every server, starts monitoring two of them and every dual-LAN one, waits for
// refreshes, shows the redundancy marker, the Events tab and the availability timeline,
// opens each dialog, and writes a PNG of every step into the folder it is given. On an X
// display with a tray and a notification service it also shows those (desktop_step).
#include <sys/stat.h>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "desktop_step.h"
#include "ui/about_box.h"
#include "ui/events_view.h"
#include "ui/forms.h"
#include "ui/main_window.h"
#include "ui/message_box.h"
#include "ui/search_dialog.h"
#include "ui/search_ip_dialog.h"
#include "ui/settings_dialog.h"
#include "ui/timeline_view.h"

namespace {

using Clock = std::chrono::steady_clock;

QString g_out;  // screenshot folder
int g_step = 0;
int g_failures = 0;

void say(const QString& text) {
  std::printf("tour: %s\n", text.toLocal8Bit().constData());
  std::fflush(stdout);
}

void fail(const QString& text) {
  ++g_failures;
  std::printf("tour: FAILED: %s\n", text.toLocal8Bit().constData());
  std::fflush(stdout);
}

// Runs the event loop until pred holds or `seconds` pass; every wait is bounded.
bool wait_for(const std::function<bool()>& pred, double seconds) {
  const auto end = Clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
  while (!pred()) {
    if (Clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void pause_for(double seconds) {
  wait_for([] { return false; }, seconds);
}

void shot(QWidget* w, const QString& name) {
  QCoreApplication::processEvents();
  const QString path =
      QDir(g_out).filePath(QString("%1-%2.png").arg(++g_step, 2, 10, QChar('0')).arg(name));
  if (w->grab().save(path))
    say("screenshot " + path);
  else
    fail("could not write " + path);
}

// Triggers an action that shows a modal dialog, and drives that dialog from inside its
// own event loop. The dialog must be closed by `drive`; a watchdog closes it otherwise.
template <class Dialog>
void with_modal(QAction* action, const QString& what, const std::function<void(Dialog*)>& drive) {
  bool driven = false;
  QTimer::singleShot(0, [&] {
    Dialog* dlg = nullptr;
    if (!wait_for(
            [&] {
              return (dlg = qobject_cast<Dialog*>(QApplication::activeModalWidget())) != nullptr;
            },
            10)) {
      fail(what + ": the dialog did not open");
      return;
    }
    driven = true;
    drive(dlg);
    if (dlg->isVisible()) {
      fail(what + ": the dialog was still open; closing it");
      dlg->reject();
    }
  });
  say("open " + what);
  action->trigger();
  if (!driven) fail(what + ": not driven");
}

// A part of the window by its object name, as a user finds it by its caption.
template <class T>
T* part(QObject* window, const char* name) {
  T* found = window->findChild<T*>(QString::fromLatin1(name));
  if (!found) fail(QStringLiteral("no part named ") + QString::fromLatin1(name));
  return found;
}

void select_server(tavrix::ui::MainWindow* main, int index) {
  main->select_server(index);
  QCoreApplication::processEvents();
}

int run_tour(tavrix::ServerList& list, const QString& specify_ip, double refresh_wait) {
  auto* main = new tavrix::ui::MainWindow(list);
  tour::DesktopStep desktop(main);
  main->resize(1180, 720);
  main->show();
  if (!wait_for([&] { return main->isVisible(); }, 5)) fail("the main window did not show");
  pause_for(0.3);
  shot(main, "main-window");

  // Search: Rescan, let the search run out, tick everything, OK.
  with_modal<tavrix::ui::SearchDialog>(
      part<QAction>(main, "m_search_act"), "the search dialog", [&](tavrix::ui::SearchDialog* f) {
        shot(f, "search-opened");
        part<QPushButton>(f, "m_enum_scan")->click();
        pause_for(1.5);
        shot(f, "search-running");
        const int limit = list.search_timeout.load() * 4 + 20;
        if (!wait_for([&] { return part<QLabel>(f, "m_enum_status")->text() == "Complete."; },
                      limit))
          fail("the search did not complete");
        say(part<QLabel>(f, "m_enum_msg")->text());
        part<QPushButton>(f, "m_enum_selectall")->click();
        shot(f, "search-complete");
        part<QPushButton>(f, "m_enum_ok")->click();
      });
  const int servers = list.server_count();
  say(QString("the server list holds %1 server(s)").arg(servers));
  if (servers == 0) fail("the search found no server");
  shot(main, "server-list");

  // Monitor two servers.
  for (int i = 0; i < servers && i < 2; ++i) {
    select_server(main, i);
    if (!part<QAction>(main, "m_start_act")->isEnabled()) {
      fail(QString("Start is not enabled for server %1").arg(i + 1));
      continue;
    }
    say(QString("start monitoring server %1").arg(i + 1));
    part<QAction>(main, "m_start_act")->trigger();
  }
  say(QString("wait %1 s for refreshes").arg(refresh_wait));
  pause_for(refresh_wait);
  for (int i = 0; i < servers && i < 2; ++i) {
    select_server(main, i);
    pause_for(0.5);
    say(QString("server %1: %2 (%3)")
            .arg(i + 1)
            .arg(part<QLabel>(main, "m_info_ip")->text(),
                 part<QLabel>(main, "m_info_status")->text()));
    shot(main, QString("monitor-server-%1").arg(i + 1));
  }

  // Every dual-LAN server too: their Redundant COM ports show whether both LANs carry
  // the connection, and their tree nodes warn when one does not.
  for (int i = 0; i < servers; ++i) {
    const tavrix::ServerRecord* rec = list.server_at(i);
    if (!rec || rec->dual_lan != 1 || rec->monitoring.load() == 1) continue;
    select_server(main, i);
    if (!part<QAction>(main, "m_start_act")->isEnabled()) continue;
    say(QString("start monitoring dual-LAN server %1").arg(i + 1));
    part<QAction>(main, "m_start_act")->trigger();
  }
  part<QComboBox>(main, "m_timeline_span")->setCurrentIndex(0);  // the last 10 minutes
  say(QString("wait %1 s for changes").arg(refresh_wait * 2));
  pause_for(refresh_wait * 2);
  int marked = -1;
  for (int i = 0; i < servers && marked < 0; ++i)
    if (main->event_log().redundancy_lost(list.server_at(i))) marked = i;
  if (marked < 0) {
    // Whether one is seen depends on the fleet and the moment: told, not failed.
    say("no Redundant COM port connected on one LAN only was seen");
  } else {
    select_server(main, marked);
    pause_for(list.refresh_rate.load() + 0.5);  // one refresh of the table
    say(QString("server %1 has a port connected on one LAN only").arg(marked + 1));
    shot(main, "redundancy-marker");
  }

  part<QTabWidget>(main, "m_mon_tab1")->setCurrentWidget(part<QWidget>(main, "m_events_view"));
  pause_for(0.3);
  say(QString("events seen: %1").arg(main->event_log().size()));
  shot(main, "events");
  part<QComboBox>(main, "m_events_kind")->setCurrentIndex(3);  // connections only
  pause_for(0.3);
  shot(main, "events-connections");
  part<QComboBox>(main, "m_events_kind")->setCurrentIndex(0);
  part<QTabWidget>(main, "m_mon_tab1")->setCurrentIndex(0);

  main->select_server(-1);
  pause_for(1.2);
  say(QString("timeline rows for the monitored servers: %1")
          .arg(part<tavrix::ui::TimelineView>(main, "m_timeline_view")->rows().size()));
  shot(main, "timeline-fleet");

  // Search by IP: the address is already in the list, so the dialog says so.
  QString address = specify_ip;
  if (address.isEmpty() && servers > 0)
    address = QString::fromStdString(tavrix::ip_text(list.server_at(0)->ip1, true));
  tavrix::ui::set_message_box_handler(
      [&](QWidget* parent, const QString& text, tavrix::ui::MsgIcon, tavrix::ui::MsgButtons) {
        say("message box: " + text);
        if (parent) shot(parent->window(), "search-ip-already-in-list");
        return tavrix::ui::MsgResult::Ok;
      });
  if (address.isEmpty()) {
    fail("no address for the search-by-IP dialog");
  } else {
    with_modal<tavrix::ui::SearchIpDialog>(
        part<QAction>(main, "m_specifyIP_act"), "the search-by-IP dialog",
        [&](tavrix::ui::SearchIpDialog* f) {
          part<QLineEdit>(f, "m_ipaddress")->setText(address);
          shot(f, "search-ip-typed");
          part<QPushButton>(f, "m_search")->click();
          pause_for(0.2);
          if (f->isVisible()) shot(f, "search-ip-searching");
          if (!wait_for([&] { return !f->isVisible(); }, list.search_timeout.load() * 4 + 20))
            fail("the search-by-IP dialog did not finish");
        });
  }
  tavrix::ui::set_message_box_handler(nullptr);

  // Search by IP at an address where no server answers: the countdown, then Close.
  if (!address.isEmpty()) {
    QStringList octets = address.split('.');
    octets.last() = "254";
    const QString silent = octets.join('.');
    with_modal<tavrix::ui::SearchIpDialog>(part<QAction>(main, "m_specifyIP_act"),
                                           "the search-by-IP dialog (no answer)",
                                           [&](tavrix::ui::SearchIpDialog* f) {
                                             part<QLineEdit>(f, "m_ipaddress")->setText(silent);
                                             part<QPushButton>(f, "m_search")->click();
                                             pause_for(1.3);
                                             if (f->isVisible()) {
                                               shot(f, "search-ip-counting-down");
                                               part<QPushButton>(f, "m_close")->click();
                                             }
                                           });
  }

  with_modal<tavrix::ui::SettingsDialog>(part<QAction>(main, "m_settings_act"),
                                         "the Settings dialog", [&](tavrix::ui::SettingsDialog* f) {
                                           shot(f, "settings");
                                           f->reject();
                                         });
  with_modal<tavrix::ui::AboutBox>(part<QAction>(main, "m_about_act"), "the About dialog",
                                   [&](tavrix::ui::AboutBox* f) {
                                     shot(f, "about");
                                     f->reject();
                                   });

  if (desktop.on_display()) {
    say("every server monitored: the tray lamp, its menu and a notification on the screen");
    const QString path = QDir(g_out).filePath(
        QString("%1-desktop-tray-notification.png").arg(++g_step, 2, 10, QChar('0')));
    const QString why = desktop.show_and_grab(path, 150);
    if (why.isEmpty())
      say("screenshot " + path);
    else
      fail("the desktop step: " + why);
  }

  select_server(main, 0);
  pause_for(0.3);
  shot(main, "before-exit");
  say("close the main window (stops the pollers and the library)");
  main->close();
  wait_for([&] { return !main->isVisible(); }, 10);
  delete main;
  return g_failures == 0 ? 0 : 1;
}

}  // namespace

// True when this process runs in one of the lab's network namespaces (named tvx-*):
// the tour searches by broadcast, which must never reach a real network.
bool in_lab_namespace() {
  struct stat self {};
  if (::stat("/proc/self/ns/net", &self) != 0) return false;
  const QStringList names = QDir("/run/netns").entryList({"tvx-*"}, QDir::Files | QDir::System);
  for (const QString& name : names) {
    struct stat ns {};
    const QByteArray path = QDir("/run/netns").filePath(name).toLocal8Bit();
    if (::stat(path.constData(), &ns) == 0 && ns.st_ino == self.st_ino && ns.st_dev == self.st_dev)
      return true;
  }
  return false;
}

int main(int argc, char** argv) {
  if (!in_lab_namespace()) {
    std::fprintf(stderr,
                 "tavrix-demo-tour: refusing to search by broadcast outside a lab namespace;\n"
                 "run it with: scripts/lab exec <lab> -- tavrix-demo-tour ...\n");
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  tavrix::ui::Application app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tavrix Monitor Utility"));

  QString out = "demo-tour";
  QString ip;
  double refresh_wait = 8;
  const QStringList args = QApplication::arguments();
  for (int i = 1; i < args.size(); ++i) {
    if (args[i] == "--out" && i + 1 < args.size())
      out = args[++i];
    else if (args[i] == "--ip" && i + 1 < args.size())
      ip = args[++i];
    else if (args[i] == "--refresh-wait" && i + 1 < args.size())
      refresh_wait = args[++i].toDouble();
    else {
      std::fprintf(stderr,
                   "usage: tavrix-demo-tour [--out DIR] [--ip ADDRESS] [--refresh-wait SECONDS]\n");
      return 2;
    }
  }
  if (!QDir().mkpath(out)) {
    std::fprintf(stderr, "tavrix-demo-tour: cannot make %s\n", out.toLocal8Bit().constData());
    return 1;
  }
  g_out = out;
  int rc = 1;
  tavrix::ServerList list;  // outlives the window
  try {
    rc = run_tour(list, ip, refresh_wait);
  } catch (const std::exception& e) {
    fail(QString("exception: ") + e.what());
  }
  say(rc == 0 && g_failures == 0 ? QString("done, %1 screenshots in %2").arg(g_step).arg(out)
                                 : QString("finished with %1 failure(s)").arg(g_failures));
  return g_failures == 0 ? 0 : 1;
}
