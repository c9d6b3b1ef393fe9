// Writes the pictures of docs/screenshots: the main window in its root view and in a
// monitored server's port view, and the Settings and About dialogs, each grabbed on
// the offscreen platform from servers made by hand.
// Usage: ui_make_screenshots <output folder>
#include <QAction>
#include <QDir>
#include <QTableWidget>
#include <QTreeWidget>
#include <cstdio>

#include "ui/about_box.h"
#include "ui/main_window.h"
#include "ui/settings_dialog.h"
#include "ui/ui_test_util.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int qt_argc = 1;
  tavrix::ui::TApplication app(qt_argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tavrix Monitor Utility"));
  uitest::MsgRecorder boxes;  // a failed library start must not stop the pictures

  tavrix::ui::create_forms();
  m_mainform->resize(1024, 640);
  m_mainform->show();
  uitest::set_test_model_map();  // after the library start, which loads its own map

  auto a = uitest::make_server(uitest::kModelA, "192.168.127.254", 0x11);
  auto b = uitest::make_server(uitest::kModelB, "192.168.127.253", 0x12);
  auto d = uitest::make_server(uitest::kModelDual, "192.168.127.252", 0x13, "192.168.128.252");
  tavrix::ds_list().add_server(a);
  tavrix::ds_list().add_server(b);
  tavrix::ds_list().add_server(d);
  b->monitoring = 1;
  b->online = 1;
  m_mainform->rebuild_tree(-1);
  m_mainform->m_mon_tree->setCurrentItem(m_mainform->root_node);
  uitest::pump(std::chrono::milliseconds(200));
  bool ok = m_mainform->grab().save(QDir(out).filePath(QStringLiteral("main_root.png")));

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
  m_mainform->rebuild_tree(0);
  m_mainform->hot_row = 2;
  m_mainform->m_main_timerTimer();
  uitest::pump(std::chrono::milliseconds(200));
  ok = m_mainform->grab().save(QDir(out).filePath(QStringLiteral("main_monitor.png"))) && ok;
  a->monitoring = 0;
  b->monitoring = 0;

  m_set_form->show();
  uitest::pump(std::chrono::milliseconds(200));
  ok = m_set_form->grab().save(QDir(out).filePath(QStringLiteral("settings.png"))) && ok;
  m_set_form->hide();

  m_aboutbox->show();
  uitest::pump(std::chrono::milliseconds(200));
  ok = m_aboutbox->grab().save(QDir(out).filePath(QStringLiteral("about.png"))) && ok;
  m_aboutbox->hide();

  tavrix::ds_list().clear_servers();
  tavrix::ui::destroy_forms();
  return ok ? 0 : 1;
}
