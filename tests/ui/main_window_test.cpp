// The main window driven through its actions, tree and keys: enabling rules, tree
// texts and the server table, the information box, Delete's reselection, Exit,
// F1, Settings, the search dialogs' lifetime and a failed library start.
#include <unistd.h>

#include <QAction>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <cstdio>
#include <cstdlib>

#include "qeld/model_map.h"
#include "ui/about_box.h"
#include "ui/close_dialog.h"
#include "ui/icons.h"
#include "ui/main_window.h"
#include "ui/search_dialog.h"
#include "ui/search_ip_dialog.h"
#include "ui/settings_dialog.h"
#include "ui/ui_test_util.h"

namespace {

using tavrix::ui::kDataRole;
using tavrix::ui::kImageRole;
using tavrix::ui::MsgButtons;
using tavrix::ui::MsgIcon;
using tavrix::ui::MsgResult;
using uitest::server_list;

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new uitest::QtEnv);

class MainForm : public ::testing::Test {
 protected:
  void SetUp() override {
    uitest::reset_list();
    w = new tavrix::ui::MainWindow(uitest::server_list());
    w->resize(1000, 600);
    w->show();
    ASSERT_TRUE(uitest::wait_until([&] { return w->isVisible(); }));
    uitest::set_test_model_map();  // after the start, which loads the map file
  }
  void TearDown() override {
    delete w;  // and its dialogs
    w = nullptr;
    uitest::reset_list();
    qeld::library_stop();
  }

  void add(std::shared_ptr<tavrix::ServerRecord> rec) {
    ASSERT_EQ(server_list().add_server(std::move(rec)), 1);
  }
  void select(int index) {
    uitest::part<QTreeWidget>(w, "m_mon_tree")
        ->setCurrentItem(index < 0 ? uitest::root_node(w) : uitest::server_node(w, index));
  }
  QString cell(QTableWidget* t, int row, int col) {
    return t->item(row, col) ? t->item(row, col)->text() : QStringLiteral("<none>");
  }
  QStringList row_texts(QTableWidget* t, int row) {
    QStringList r;
    for (int c = 0; c < t->columnCount(); ++c) r << cell(t, row, c);
    return r;
  }
  // Runs `act` while a timer answers the modal dialog that it opens; returns that
  // dialog's address (compared only: it may be gone by then) and `inspect` sees it live.
  template <class F>
  const void* run_modal(F act, int result = QDialog::Rejected,
                        std::function<void(QDialog*)> inspect = nullptr) {
    const void* seen = nullptr;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        seen = d;
        if (inspect) inspect(d);
        d->done(result);
      }
    });
    poll.start();
    act();
    poll.stop();
    return seen;
  }

  uitest::MsgRecorder boxes;
  tavrix::ui::MainWindow* w = nullptr;
};

TEST_F(MainForm, WindowHasItsCaptionsActionsAndToolbarOrder) {
  EXPECT_EQ(w->windowTitle(), "Tavrix Monitor Utility");
  EXPECT_EQ(uitest::action(w, "m_search_act")->shortcut(), QKeySequence("Ctrl+F"));
  EXPECT_EQ(uitest::action(w, "m_specifyIP_act")->shortcut(), QKeySequence("Ctrl+S"));
  EXPECT_EQ(uitest::action(w, "m_exit_act")->shortcut(), QKeySequence("Ctrl+X"));
  EXPECT_EQ(uitest::action(w, "m_start_act")->shortcut(), QKeySequence("Ctrl+G"));
  EXPECT_EQ(uitest::action(w, "m_stop_act")->shortcut(), QKeySequence("Ctrl+T"));
  EXPECT_EQ(uitest::action(w, "m_online_act")->shortcut(), QKeySequence("F1"));
  QStringList order;
  for (QAction* a : uitest::part<QToolBar>(w, "ToolBar1")->actions())
    order << (a->isSeparator() ? QStringLiteral("|") : a->text());
  EXPECT_EQ(order.join(','), "Exit,|,Search,Specify IP,|,Start,Stop,Delete,|,Settings");
  EXPECT_EQ(uitest::part<QTabWidget>(w, "m_mon_tab1")->tabText(0), "Connections");
  // Wider than 225 where a dual-LAN node needs it, never narrower.
  EXPECT_GE(uitest::part<QTreeWidget>(w, "m_mon_tree")->width(), 225);
  QStringList root_cols, mon_cols;
  for (int c = 0; c < 7; ++c) {
    root_cols
        << QStringLiteral("%1 %2")
               .arg(uitest::part<QTableWidget>(w, "m_root_list")->horizontalHeaderItem(c)->text())
               .arg(uitest::part<QTableWidget>(w, "m_root_list")->columnWidth(c));
    mon_cols << QStringLiteral("%1 %2")
                    .arg(uitest::part<QTableView>(w, "m_mon_list")
                             ->model()
                             ->headerData(c, Qt::Horizontal)
                             .toString())
                    .arg(uitest::part<QTableView>(w, "m_mon_list")->columnWidth(c));
  }
  EXPECT_EQ(root_cols.join(','),
            "No 30,Model 100,MAC Address1 120,IP Address1 120,MAC Address2 120,IP Address2 "
            "120,Status 50");
  EXPECT_EQ(mon_cols.join(','),
            "Port 40,Operation Mode 120,LAN 50,Connection 1 100,Connection 2 100,Connection 3 "
            "100,Connection 4 100");
}

TEST_F(MainForm, EnablingRulesFollowTheSelectionAndMonitoring) {
  add(uitest::make_server(uitest::kModelA, "10.1.0.1", 1));
  add(uitest::make_server(uitest::kModelB, "10.1.0.2", 2));
  w->rebuild_tree(-1);
  auto check = [&](bool start, bool stop, bool del) {
    EXPECT_EQ(uitest::action(w, "m_start_act")->isEnabled(), start);
    EXPECT_EQ(uitest::action(w, "m_stop_act")->isEnabled(), stop);
    EXPECT_EQ(uitest::action(w, "m_delnode_act")->isEnabled(), del);
    EXPECT_FALSE(uitest::action(w, "m_start_act")->isEnabled() &&
                 uitest::action(w, "m_stop_act")->isEnabled());
  };
  check(false, false, false);  // nothing selected
  select(-1);
  check(false, false, false);
  EXPECT_TRUE(uitest::action(w, "m_search_act")->isEnabled() &&
              uitest::action(w, "m_settings_act")->isEnabled() &&
              uitest::action(w, "m_exit_act")->isEnabled());

  select(1);
  check(true, false, true);
  uitest::action(w, "m_start_act")->trigger();
  check(false, true, false);
  EXPECT_EQ(uitest::server_node(w, 1)->data(0, kImageRole).toInt(),
            tavrix::ui::kIconServerMonitored);
  select(0);
  check(true, false, true);
  select(1);
  check(false, true, false);
  uitest::action(w, "m_stop_act")->trigger();
  check(true, false, true);
  EXPECT_EQ(uitest::server_node(w, 1)->data(0, kImageRole).toInt(), tavrix::ui::kIconServerIdle);
  // A disabled action does nothing when triggered.
  uitest::action(w, "m_stop_act")->trigger();
  EXPECT_EQ(server_list().server_at(1)->monitoring.load(), 0);
}

TEST_F(MainForm, TreeTextsAndServerTableRows) {
  add(uitest::make_server(uitest::kModelA, "192.168.127.254", 0x11));
  add(uitest::make_server(uitest::kModelDual, "192.168.127.252", 0x13, "192.168.128.252"));
  auto unknown = uitest::make_server(0x7777, "10.9.9.9", 0x14);
  add(unknown);
  w->rebuild_tree(-1);

  ASSERT_EQ(uitest::part<QTreeWidget>(w, "m_mon_tree")->topLevelItemCount(), 1);
  EXPECT_EQ(uitest::root_node(w)->text(0), "Server List");
  EXPECT_EQ(uitest::root_node(w)->data(0, kDataRole).toInt(), -1);
  EXPECT_EQ(uitest::root_node(w)->data(0, kImageRole).toInt(), tavrix::ui::kIconRoot);
  EXPECT_TRUE(uitest::root_node(w)->isExpanded());
  ASSERT_EQ(uitest::root_node(w)->childCount(), 3);
  EXPECT_EQ(uitest::root_node(w)->child(0)->text(0), "192.168.127.254  [TX-2200A]");
  EXPECT_EQ(uitest::root_node(w)->child(1)->text(0),
            "192.168.127.252, 192.168.128.252  [TX-4400D]");
  EXPECT_EQ(uitest::root_node(w)->child(2)->text(0), "10.9.9.9  [Unknown model]");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(uitest::server_node(w, i), uitest::root_node(w)->child(i));
    EXPECT_EQ(uitest::server_node(w, i)->data(0, kDataRole).toInt(), i);
    EXPECT_EQ(uitest::server_node(w, i)->data(0, kImageRole).toInt(), tavrix::ui::kIconServerIdle);
  }

  // No node selected: the root view with one row per server.
  EXPECT_TRUE(uitest::part<QTableWidget>(w, "m_root_list")->isVisibleTo(w));
  EXPECT_FALSE(uitest::part<QTabWidget>(w, "m_mon_tab1")->isVisibleTo(w));
  EXPECT_FALSE(uitest::part<QWidget>(w, "top_Panel")->isVisibleTo(w));
  ASSERT_EQ(uitest::part<QTableWidget>(w, "m_root_list")->rowCount(), 3);
  EXPECT_EQ(row_texts(uitest::part<QTableWidget>(w, "m_root_list"), 0).join('|'),
            "1|TX-2200A|00:90:E8:10:20:11|192.168.127.254|---|---|Idle");
  EXPECT_EQ(row_texts(uitest::part<QTableWidget>(w, "m_root_list"), 1).join('|'),
            "2|TX-4400D|00:90:E8:10:20:13|192.168.127.252|00:90:E8:10:21:13|192.168.128.252|Idle");
  EXPECT_EQ(uitest::part<QTableWidget>(w, "m_root_list")->item(1, 0)->data(kDataRole).toInt(), 1);
  EXPECT_EQ(uitest::part<QTableWidget>(w, "m_root_list")->item(0, 6)->foreground().color(),
            QColor(0, 0, 0));

  // Status words and colours while monitored (set by hand: no pollers).
  server_list().server_at(0)->monitoring = 1;
  server_list().server_at(0)->online = 2;
  server_list().server_at(1)->monitoring = 1;
  server_list().server_at(1)->online = 0;
  w->rebuild_tree(-1);  // the root view fills the table anew
  auto* root = uitest::part<QTableWidget>(w, "m_root_list");
  EXPECT_EQ(cell(root, 0, 6), "On Line");
  EXPECT_EQ(root->item(0, 6)->foreground().color(), QColor(0, 0, 255));
  EXPECT_EQ(cell(root, 1, 6), "Off Line");
  EXPECT_EQ(root->item(1, 6)->foreground().color(), QColor(255, 0, 0));

  // While the root view stays in view, the words follow the servers (within the window's
  // once-a-second look), without selecting anything.
  server_list().server_at(0)->online = 0;
  server_list().server_at(1)->online = 1;
  server_list().server_at(2)->monitoring = 1;
  server_list().server_at(2)->online = 3;
  EXPECT_TRUE(uitest::wait_until([&] {
    return cell(root, 0, 6) == "Off Line" && cell(root, 1, 6) == "On Line" &&
           cell(root, 2, 6) == "On Line";
  }));
  EXPECT_EQ(root->item(0, 6)->foreground().color(), QColor(255, 0, 0));
  EXPECT_EQ(root->item(1, 6)->foreground().color(), QColor(0, 0, 255));
  for (int i = 0; i < 3; ++i) server_list().server_at(i)->monitoring = 0;
  EXPECT_TRUE(uitest::wait_until([&] { return cell(root, 2, 6) == "Idle"; }));
  EXPECT_EQ(root->item(2, 6)->foreground().color(), QColor(0, 0, 0));
}

TEST_F(MainForm, SelectingAServerShowsItsInformationBox) {
  add(uitest::make_server(uitest::kModelA, "192.168.127.254", 0x11));
  add(uitest::make_server(uitest::kModelDual, "192.168.127.252", 0x13, "192.168.128.252"));
  w->rebuild_tree(-1);
  select(1);
  EXPECT_FALSE(uitest::part<QTableWidget>(w, "m_root_list")->isVisibleTo(w));
  EXPECT_TRUE(uitest::part<QTabWidget>(w, "m_mon_tab1")->isVisibleTo(w));
  EXPECT_TRUE(uitest::part<QWidget>(w, "top_Panel")->isVisibleTo(w));
  EXPECT_EQ(uitest::part<QLabel>(w, "m_info_model")->text(), "TX-4400D");
  EXPECT_EQ(uitest::part<QLabel>(w, "m_info_ip")->text(), "192.168.127.252, 192.168.128.252");
  EXPECT_EQ(uitest::part<QLabel>(w, "m_info_mac")->text(), "00:90:E8:10:20:13, 00:90:E8:10:21:13");
  EXPECT_EQ(uitest::part<QLabel>(w, "m_info_status")->text(), "Idle");
  EXPECT_TRUE(uitest::part<QLabel>(w, "m_info_status")->font().bold());
  EXPECT_EQ(uitest::part<QLabel>(w, "m_info_status")->palette().color(QPalette::WindowText),
            QColor(0, 0, 0));
  EXPECT_TRUE(uitest::part<QLabel>(w, "m_ds_AsyncServer")->isVisibleTo(w));
  select(0);
  EXPECT_EQ(uitest::part<QLabel>(w, "m_info_ip")->text(), "192.168.127.254");
  EXPECT_EQ(uitest::part<QLabel>(w, "m_info_mac")->text(), "00:90:E8:10:20:11");

  select(-1);
  EXPECT_TRUE(uitest::part<QTableWidget>(w, "m_root_list")->isVisibleTo(w));
  EXPECT_FALSE(uitest::part<QWidget>(w, "top_Panel")->isVisibleTo(w));
  EXPECT_TRUE(uitest::part<QLabel>(w, "m_info_model")->text().isEmpty());
  EXPECT_TRUE(uitest::part<QLabel>(w, "m_info_status")->text().isEmpty());
  EXPECT_FALSE(uitest::part<QLabel>(w, "m_ds_AsyncServer")->isVisibleTo(w));
}

TEST_F(MainForm, DeleteAsksFirstAndTheDeleteKeyDeletes) {
  uitest::MsgRecorder boxes;
  add(uitest::make_server(uitest::kModelA, "10.3.0.1", 1));
  add(uitest::make_server(uitest::kModelA, "10.3.0.2", 2));
  w->rebuild_tree(-1);
  select(1);
  w->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(w));
  uitest::part<QTreeWidget>(w, "m_mon_tree")->setFocus();
  boxes.answers.push_back(MsgResult::Cancel);
  QTest::keyClick(uitest::part<QTreeWidget>(w, "m_mon_tree"), Qt::Key_Delete);
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, "Delete 10.3.0.2  [TX-2200A] from the server list?");
  EXPECT_EQ(boxes.boxes[0].buttons, MsgButtons::YesCancel);
  EXPECT_EQ(server_list().server_count(), 2) << "Cancel keeps the server";
  QTest::keyClick(uitest::part<QTreeWidget>(w, "m_mon_tree"), Qt::Key_Delete);
  EXPECT_EQ(boxes.boxes.size(), 2u);
  ASSERT_EQ(server_list().server_count(), 1);
  EXPECT_EQ(server_list().server_at(0)->ip1, uitest::ip("10.3.0.1"));
  // A monitored server cannot be deleted, by key either.
  select(0);
  ASSERT_TRUE(w->start_server(0));
  QTest::keyClick(uitest::part<QTreeWidget>(w, "m_mon_tree"), Qt::Key_Delete);
  EXPECT_EQ(boxes.boxes.size(), 2u);
  EXPECT_EQ(server_list().server_count(), 1);
  w->stop_server(0);
}

TEST_F(MainForm, DeleteSelectsTheNextOrTheNewLastOrTheRootView) {
  for (int i = 0; i < 3; ++i)
    add(uitest::make_server(uitest::kModelA, ("10.2.0." + std::to_string(i + 1)).c_str(), i));
  w->rebuild_tree(-1);

  select(2);  // the last of three
  uitest::action(w, "m_delnode_act")->trigger();
  ASSERT_EQ(server_list().server_count(), 2);
  EXPECT_EQ(w->selected_server(), 1);
  EXPECT_EQ(uitest::part<QTreeWidget>(w, "m_mon_tree")->currentItem()->text(0),
            "10.2.0.2  [TX-2200A]");
  EXPECT_EQ(uitest::part<QLabel>(w, "m_info_ip")->text(), "10.2.0.2");

  select(0);  // the first: its successor moves into its place
  uitest::action(w, "m_delnode_act")->trigger();
  ASSERT_EQ(server_list().server_count(), 1);
  EXPECT_EQ(w->selected_server(), 0);
  EXPECT_EQ(uitest::part<QLabel>(w, "m_info_ip")->text(), "10.2.0.2");

  uitest::action(w, "m_delnode_act")->trigger();  // the only one
  EXPECT_EQ(server_list().server_count(), 0);
  EXPECT_EQ(w->selected_server(), -1);
  EXPECT_EQ(uitest::root_node(w)->childCount(), 0);
  EXPECT_TRUE(uitest::part<QTableWidget>(w, "m_root_list")->isVisibleTo(w));
  EXPECT_EQ(uitest::part<QTableWidget>(w, "m_root_list")->rowCount(), 0);
  EXPECT_FALSE(uitest::action(w, "m_delnode_act")->isEnabled());
}

TEST_F(MainForm, ExitAnsweredCancelChangesNothing) {
  add(uitest::make_server(uitest::kModelA, "10.3.0.1", 1));
  w->rebuild_tree(0);
  uitest::action(w, "m_start_act")->trigger();
  boxes.answers.push_back(MsgResult::Cancel);
  uitest::action(w, "m_exit_act")->trigger();
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, "Are you sure to Exit?");
  EXPECT_EQ(boxes.boxes[0].icon, MsgIcon::Warning);
  EXPECT_EQ(boxes.boxes[0].buttons, MsgButtons::YesCancel);
  EXPECT_TRUE(w->isVisible());
  EXPECT_TRUE(qeld::library_started());
  EXPECT_FALSE(server_list().stop_all());
  EXPECT_TRUE(uitest::part<QTimer>(w, "m_main_timer")->isActive());
  EXPECT_EQ(server_list().server_at(0)->monitoring.load(), 1);
}

TEST_F(MainForm, ExitAnsweredYesRunsTheShutdown) {
  boxes.answers.push_back(MsgResult::Yes);
  const void* dialog =
      run_modal([&] { uitest::action(w, "m_exit_act")->trigger(); }, QDialog::Accepted);
  EXPECT_EQ(dialog, w->findChild<QDialog*>(QStringLiteral("m_close_form")));
  EXPECT_FALSE(w->isVisible());
  EXPECT_TRUE(server_list().stop_all());
  EXPECT_FALSE(qeld::library_started());
}

TEST_F(MainForm, F1AndHelpAboutOpenTheAboutBox) {
  QApplication::setActiveWindow(w);
  ASSERT_TRUE(QTest::qWaitForWindowActive(w));
  const void* seen = run_modal([&] { QTest::keyClick(w, Qt::Key_F1); });
  auto* about = uitest::part<QDialog>(w, "m_aboutbox");
  EXPECT_EQ(seen, about);
  seen = run_modal([&] { uitest::action(w, "m_about_act")->trigger(); });
  EXPECT_EQ(seen, about);
  EXPECT_EQ(uitest::part<QLabel>(about, "m_about_productname")->text(), "Tavrix Monitor Utility");
  EXPECT_EQ(uitest::part<QLabel>(about, "m_about_version")->text(), "1.1 Build 07101915");
  EXPECT_FALSE(uitest::part<QLabel>(about, "m_about_copyright")->text().isEmpty());
}

TEST_F(MainForm, SettingsOkResetsTheRefreshTimer) {
  EXPECT_EQ(uitest::part<QTimer>(w, "m_main_timer")->interval(), 3000);
  EXPECT_FALSE(uitest::part<QTimer>(w, "m_main_timer")->isActive());
  auto* settings = uitest::part<QDialog>(w, "m_set_form");
  QTimer::singleShot(50, [settings] {
    uitest::part<QLineEdit>(settings, "m_set_refresh")->setText("7");
    QTest::mouseClick(uitest::part<QPushButton>(settings, "m_set_ok"), Qt::LeftButton);
  });
  uitest::action(w, "m_settings_act")->trigger();
  EXPECT_EQ(server_list().refresh_rate.load(), 7);
  EXPECT_EQ(uitest::part<QTimer>(w, "m_main_timer")->interval(), 7000);
  // Cancel leaves the interval alone.
  run_modal([&] { uitest::action(w, "m_settings_act")->trigger(); });
  EXPECT_EQ(uitest::part<QTimer>(w, "m_main_timer")->interval(), 7000);
}

TEST_F(MainForm, SearchDialogsAreMadeFreshForEachUseAndDestroyedAfter) {
  QPointer<tavrix::ui::SearchDialog> startup_search =
      uitest::part<tavrix::ui::SearchDialog>(w, "m_search_form");
  QPointer<tavrix::ui::SearchIpDialog> startup_ip =
      uitest::part<tavrix::ui::SearchIpDialog>(w, "m_searchIP_form");
  ASSERT_TRUE(startup_search && startup_ip);
  bool fresh_search = false;
  const void* seen =
      run_modal([&] { uitest::action(w, "m_search_act")->trigger(); }, QDialog::Rejected,
                [&](QDialog* d) {
                  fresh_search = qobject_cast<tavrix::ui::SearchDialog*>(d) && d->parent() == w &&
                                 startup_search.isNull();
                });
  ASSERT_NE(seen, nullptr);
  EXPECT_TRUE(fresh_search);
  EXPECT_EQ(w->findChild<tavrix::ui::SearchDialog*>(), nullptr);

  bool fresh_ip = false;
  seen = run_modal([&] { uitest::action(w, "m_specifyIP_act")->trigger(); }, QDialog::Rejected,
                   [&](QDialog* d) {
                     fresh_ip = qobject_cast<tavrix::ui::SearchIpDialog*>(d) && d->parent() == w &&
                                startup_ip.isNull();
                   });
  ASSERT_NE(seen, nullptr);
  EXPECT_TRUE(fresh_ip);
  EXPECT_EQ(w->findChild<tavrix::ui::SearchIpDialog*>(), nullptr);
}

TEST_F(MainForm, ContextMenuOverTheTreeKeepsTheServerSelected) {
  add(uitest::make_server(uitest::kModelA, "10.4.0.1", 1));
  add(uitest::make_server(uitest::kModelA, "10.4.0.2", 2));
  w->rebuild_tree(1);
  // The right button selects the node under it.
  const QPoint node0 = uitest::part<QTreeWidget>(w, "m_mon_tree")
                           ->visualItemRect(uitest::server_node(w, 0))
                           .center();
  QTest::mouseClick(uitest::part<QTreeWidget>(w, "m_mon_tree")->viewport(), Qt::RightButton,
                    Qt::NoModifier, node0);
  EXPECT_EQ(w->selected_server(), 0);
  w->rebuild_tree(1);
  emit uitest::part<QTreeWidget>(w, "m_mon_tree")->customContextMenuRequested(QPoint(5, 5));
  EXPECT_TRUE(uitest::part<QMenu>(w, "m_pop_tree")->isVisible());
  EXPECT_EQ(w->selected_server(), 1);
  EXPECT_TRUE(uitest::action(w, "m_start_act")->isEnabled());
  uitest::part<QMenu>(w, "m_pop_tree")->hide();
  QStringList items;
  for (QAction* a : uitest::part<QMenu>(w, "m_pop_tree")->actions())
    items << (a->isSeparator() ? QStringLiteral("|") : a->text());
  EXPECT_EQ(items.join(','), "Start,Stop,|,Delete");
}

// A right click on the menu bar or the toolbar offers nothing: no menu of toolbars
// with which the toolbar could be hidden for good.
TEST_F(MainForm, RightClickOnTheBarsOpensNoMenu) {
  for (QWidget* where : {static_cast<QWidget*>(w->menuBar()),
                         static_cast<QWidget*>(uitest::part<QToolBar>(w, "ToolBar1"))}) {
    SCOPED_TRACE(where->objectName().toStdString());
    QString offered;  // the first item of a menu that opened
    auto close_popup = [&] {
      if (QWidget* p = QApplication::activePopupWidget()) {
        offered = p->actions().isEmpty() ? QStringLiteral("?") : p->actions().first()->text();
        p->close();
      }
    };
    // A menu run in a loop of its own would block the send: the timer closes it then.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, close_popup);
    guard.start(300);
    const QPoint at(where->width() - 5, where->height() / 2);
    QContextMenuEvent click(QContextMenuEvent::Mouse, at, where->mapToGlobal(at));
    QApplication::sendEvent(where, &click);
    close_popup();
    uitest::pump(std::chrono::milliseconds(50));
    EXPECT_TRUE(offered.isEmpty()) << "a menu opened: " << offered.toStdString();
    EXPECT_TRUE(uitest::part<QToolBar>(w, "ToolBar1")->isVisible());
  }
}

// A dual-LAN node with two full-length addresses and the longest model name is shown
// whole at start, without a horizontal scroll bar; the splitter still moves.
TEST_F(MainForm, TreeShowsADualLanNodeInFullAtStart) {
  qeld::set_model_map(
      {uitest::model_entry(uitest::kModelDual, qeld::kAttrSecondMac, 4, "TVX-3202UR")});
  add(uitest::make_server(uitest::kModelDual, "198.151.200.111", 9, "198.151.200.112"));
  w->rebuild_tree(-1);
  uitest::pump(std::chrono::milliseconds(50));
  QTreeWidgetItem* node = uitest::server_node(w, 0);
  ASSERT_EQ(node->text(0), "198.151.200.111, 198.151.200.112  [TVX-3202UR]");
  const int text_right =
      uitest::part<QTreeWidget>(w, "m_mon_tree")->visualItemRect(node).left() +
      uitest::part<QTreeWidget>(w, "m_mon_tree")->iconSize().width() +
      uitest::part<QTreeWidget>(w, "m_mon_tree")->fontMetrics().horizontalAdvance(node->text(0));
  EXPECT_LE(text_right, uitest::part<QTreeWidget>(w, "m_mon_tree")->viewport()->width());
  EXPECT_EQ(uitest::part<QTreeWidget>(w, "m_mon_tree")->horizontalScrollBar()->maximum(), 0);
  EXPECT_GT(uitest::part<QTableWidget>(w, "m_root_list")->width(),
            600);  // the tables keep their room

  const int before = uitest::part<QTreeWidget>(w, "m_mon_tree")->width();
  uitest::part<QSplitter>(w, "Splitter1")
      ->setSizes({before - 60, uitest::part<QSplitter>(w, "Splitter1")->width() - before + 60});
  EXPECT_EQ(uitest::part<QTreeWidget>(w, "m_mon_tree")->width(), before - 60);
}

TEST(MainFormStart, FailedLibraryStartIsReportedAndTheWindowStaysUsable) {
  uitest::MsgRecorder boxes;
  qeld::library_stop();
  qeld::set_library_start_failure(true);
  {
    tavrix::ui::MainWindow w(uitest::server_list());
    w.show();
    ASSERT_TRUE(uitest::wait_until([&] { return !boxes.boxes.empty(); }));
    EXPECT_EQ(boxes.boxes[0].text, "QELD initialization failed!!!");
    EXPECT_EQ(boxes.boxes[0].icon, MsgIcon::Error);
    EXPECT_EQ(boxes.boxes[0].buttons, MsgButtons::Ok);
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(uitest::action(&w, "m_search_act")->isEnabled());
  }
  qeld::set_library_start_failure(false);
}

// A host with nothing but loopback is named in the status bar at the start, as the
// command line says it; the note goes once an interface has an address.
TEST(MainFormStart, AHostWithOnlyLoopbackIsToldInTheStatusBar) {
  uitest::MsgRecorder boxes;
  std::vector<uint32_t> addresses = {htonl(INADDR_LOOPBACK), ::inet_addr("127.0.1.1")};
  qeld::set_address_source([&](qeld::AddressList& out) {
    out = qeld::AddressList{};
    for (uint32_t a : addresses) out.addr[out.count++] = a;
    return out.count > 0 ? 1 : 0;
  });
  {
    tavrix::ui::MainWindow w(uitest::server_list());
    w.show();
    QCoreApplication::processEvents();
    auto* note = w.findChild<QLabel*>(QStringLiteral("m_host_note"));
    ASSERT_NE(note, nullptr);
    EXPECT_TRUE(note->isVisible());
    EXPECT_EQ(note->text(),
              "This host has no IPv4 address but loopback, so a broadcast search reaches no "
              "device; give an interface an address.");
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_TRUE(uitest::action(&w, "m_search_act")->isEnabled())
        << "a search by IP to loopback still works";

    addresses.push_back(::inet_addr("192.0.2.9"));
    w.hide();
    w.show();
    QCoreApplication::processEvents();
    EXPECT_FALSE(note->isVisible());
    EXPECT_EQ(w.findChildren<QLabel*>(QStringLiteral("m_host_note")).size(), 1);
  }
  addresses = {::inet_addr("10.1.2.3")};
  {
    tavrix::ui::MainWindow w(uitest::server_list());
    w.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(w.findChild<QLabel*>(QStringLiteral("m_host_note")), nullptr);
  }
  qeld::set_address_source(nullptr);
}

// A start that finds no map names every file looked for in the status bar, once, with
// no message box; a start that finds one adds nothing.
TEST(MainFormStart, MissingModelMapIsShownWithTheFilesLookedFor) {
  uitest::MsgRecorder boxes;
  const std::string missing = "/nonexistent/tavrix/GIdMap.dat";
  qeld::library_stop();
  qeld::set_model_map_places({{missing, "installed data folder"}});
  {
    tavrix::ui::MainWindow w(uitest::server_list());
    w.show();
    QCoreApplication::processEvents();
    const auto notes = w.findChildren<QLabel*>(QStringLiteral("m_map_status"));
    ASSERT_EQ(notes.size(), 1);
    EXPECT_TRUE(notes[0]->isVisible());
    EXPECT_TRUE(notes[0]->text().contains(
        QString::fromStdString(missing + " (installed data folder): not found")))
        << notes[0]->text().toStdString();
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_TRUE(uitest::action(&w, "m_search_act")->isEnabled());
    w.hide();
    w.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(w.findChildren<QLabel*>(QStringLiteral("m_map_status")).size(), 1);
  }
  char tmpl[] = "/tmp/tavrix_ui_map_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string good = std::string(tmpl) + "/GIdMap.dat";
  qeld::TModelEntry e;
  e.model_id = 0x1100;
  e.port_count = 4;
  const auto bytes = qeld::build_model_map_file({e});
  std::FILE* f = std::fopen(good.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  qeld::library_stop();
  qeld::set_model_map_places({{good, "installed data folder"}});
  {
    tavrix::ui::MainWindow w(uitest::server_list());
    w.show();
    QCoreApplication::processEvents();
    EXPECT_TRUE(w.findChildren<QLabel*>(QStringLiteral("m_map_status")).isEmpty());
  }
  qeld::set_model_map_places({});
  qeld::library_stop();
  std::remove(good.c_str());
  rmdir(tmpl);
}

}  // namespace
