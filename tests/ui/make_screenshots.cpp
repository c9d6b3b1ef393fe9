// Writes the pictures of docs/screenshots: the main window in its root view and in a
// monitored server's port view, the Settings and About dialogs, and, after an hour of
// changes replayed into the event log, the redundancy marker, the Events tab and the
// availability timeline; each grabbed on the offscreen platform from servers made by hand.
// Usage: ui_make_screenshots <output folder>
#include <QAction>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QMouseEvent>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>

#include "ui/about_box.h"
#include "ui/events_view.h"
#include "ui/main_window.h"
#include "ui/settings_dialog.h"
#include "ui/timeline_view.h"
#include "ui/ui_test_util.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int qt_argc = 1;
  tavrix::ui::Application app(qt_argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tavrix Monitor Utility"));
  uitest::MsgRecorder boxes;  // a failed library start must not stop the pictures

  auto* w = new tavrix::ui::MainWindow(uitest::server_list());
  w->resize(1024, 720);
  w->show();
  uitest::set_test_model_map();  // after the library start, which loads its own map

  auto a = uitest::make_server(uitest::kModelA, "192.168.127.254", 0x11);
  auto b = uitest::make_server(uitest::kModelB, "192.168.127.253", 0x12);
  auto d = uitest::make_server(uitest::kModelDual, "192.168.127.252", 0x13, "192.168.128.252");
  uitest::server_list().add_server(a);
  uitest::server_list().add_server(b);
  uitest::server_list().add_server(d);
  b->monitoring = 1;
  b->online = 1;
  w->rebuild_tree(-1);
  w->select_server(-1);
  uitest::pump(std::chrono::milliseconds(200));
  bool ok = w->grab().save(QDir(out).filePath(QStringLiteral("main_root.png")));

  // A monitored set-A server: port 1 in Redundant COM with one connected peer, port 2
  // in another mode; the pointer over the third row.
  a->mode[0] = 15;
  a->mode[1] = 0;
  uint8_t rec[80] = {};
  uitest::set_connection(rec, 1, uitest::ip("192.168.127.10"), 4, 0, 1);
  uitest::set_connection(rec, 2, 0, 1, 0, 0);
  uitest::set_connection(rec, 3, 0, 0, 0, 0);
  uitest::set_connection(rec, 4, 0, 2, 0, 0);
  a->store_conn(0, rec);
  a->monitoring = 1;
  a->online = 1;
  w->rebuild_tree(0);
  {
    // The pointer over port 2's LAN1 row: the hover row.
    auto* ports = uitest::part<QTableView>(w, "m_mon_list");
    const QPoint p = ports->visualRect(ports->model()->index(2, 2)).center();
    QMouseEvent move(QEvent::MouseMove, p, ports->viewport()->mapToGlobal(p), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(ports->viewport(), &move);
  }
  w->on_refresh_timer();
  uitest::pump(std::chrono::milliseconds(200));
  ok = w->grab().save(QDir(out).filePath(QStringLiteral("main_monitor.png"))) && ok;
  a->monitoring = 0;
  b->monitoring = 0;

  uitest::part<QDialog>(w, "m_set_form")->show();
  uitest::pump(std::chrono::milliseconds(200));
  ok = uitest::part<QDialog>(w, "m_set_form")
           ->grab()
           .save(QDir(out).filePath(QStringLiteral("settings.png"))) &&
       ok;
  uitest::part<QDialog>(w, "m_set_form")->hide();

  uitest::part<QDialog>(w, "m_aboutbox")->show();
  uitest::pump(std::chrono::milliseconds(200));
  ok = uitest::part<QDialog>(w, "m_aboutbox")
           ->grab()
           .save(QDir(out).filePath(QStringLiteral("about.png"))) &&
       ok;
  uitest::part<QDialog>(w, "m_aboutbox")->hide();

  // An hour replayed in a moment, one look every 15 s: the dual-LAN server loses port 1's
  // LAN2 connection 20 minutes in and its LAN2 flaps twice; the set-B server is Off Line
  // for two minutes; the set-A server's port 1 changes peers.
  uitest::part<QTimer>(w, "m_events_timer")->stop();
  uitest::server_list().refresh_rate = 1;
  d->mode[0] = 22;
  d->mode[1] = 22;
  d->mode[2] = 0;
  d->mode[3] = 22;
  b->mode[0] = 22;
  b->mode[1] = 10;
  b->mode[2] = 22;
  uint8_t dual[80] = {}, dual2[80] = {}, setb[80] = {};
  uitest::set_connection(dual2, 1, uitest::ip("192.168.127.30"), 3, uitest::ip("192.168.128.30"),
                         3);
  uitest::set_connection(dual2, 2, uitest::ip("192.168.127.31"), 3, uitest::ip("192.168.128.31"),
                         3);
  d->store_conn(1, dual2);
  uitest::set_connection(setb, 1, uitest::ip("192.168.127.20"), 3, 0, 0);
  b->store_conn(0, setb);
  for (auto* s : {a.get(), b.get(), d.get()}) {
    s->monitoring = 1;
    s->online = s->dual_lan ? 3 : 1;
  }
  const int64_t hour = 3600 * 1000;
  const int64_t start = QDateTime::currentMSecsSinceEpoch() - hour + 60 * 1000;
  const int64_t minute = 60 * 1000;
  for (int64_t t = 0; t < hour - 2 * minute; t += 15 * 1000) {
    const bool lan2_gone =
        (t > 20 * minute && t < 20 * minute + 45 * 1000) || (t > 41 * minute && t < 42 * minute);
    d->online = lan2_gone ? 1 : 3;
    uitest::set_connection(dual, 1, uitest::ip("192.168.127.40"), 3,
                           t < 20 * minute ? uitest::ip("192.168.128.40") : 0,
                           t < 20 * minute ? 3 : 0);
    d->store_conn(0, dual);
    b->online = (t > 12 * minute && t < 14 * minute) ? 0 : 1;
    uitest::set_connection(
        rec, 1, uitest::ip(t % (10 * minute) < 5 * minute ? "192.168.127.10" : "192.168.127.11"), 4,
        0, 1);
    a->store_conn(0, rec);
    w->sample_events_at(start + t, static_cast<uint64_t>(t) + 1);
  }
  w->rebuild_tree(2);
  w->on_refresh_timer();
  w->update_timeline();
  uitest::pump(std::chrono::milliseconds(200));
  ok = w->grab().save(QDir(out).filePath(QStringLiteral("main_redundancy.png"))) && ok;

  uitest::part<QTabWidget>(w, "m_mon_tab1")
      ->setCurrentWidget(uitest::part<tavrix::ui::EventsView>(w, "m_events_view"));
  uitest::part<QTableView>(w, "m_events_list")->selectRow(0);
  uitest::pump(std::chrono::milliseconds(200));
  ok = w->grab().save(QDir(out).filePath(QStringLiteral("main_events.png"))) && ok;

  w->select_server(-1);
  w->update_timeline();
  uitest::pump(std::chrono::milliseconds(200));
  ok = w->grab().save(QDir(out).filePath(QStringLiteral("main_timeline.png"))) && ok;
  for (auto* s : {a.get(), b.get(), d.get()}) s->monitoring = 0;

  uitest::server_list().clear_servers();
  delete w;
  return ok ? 0 : 1;
}
