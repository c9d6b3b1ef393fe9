// The port table of the selected server: both text sets, "[NOT SUPPORT]", connected
// peers shown as addresses, text colours, row backgrounds (as painted), the hover
// row, the idle look around Start and Stop, and the refresh timer's rules.
#include <QAction>
#include <QBrush>
#include <QLabel>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPersistentModelIndex>
#include <QRegion>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include "ui/item_roles.h"
#include "ui/main_window.h"
#include "ui/port_table_model.h"
#include "ui/port_view.h"
#include "ui/ui_test_util.h"

namespace {

using uitest::server_list;

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new uitest::QtEnv);

class PortView : public ::testing::Test {
 protected:
  void SetUp() override {
    uitest::reset_list();
    w = new tavrix::ui::MainWindow(uitest::server_list());
    w->resize(1000, 600);
    w->show();
    ASSERT_TRUE(uitest::wait_until([&] { return w->isVisible(); }));
    uitest::set_test_model_map();
    ports = uitest::part<tavrix::ui::PortView>(w, "m_mon_list");
    ASSERT_NE(ports, nullptr);
  }
  void TearDown() override {
    delete w;
    uitest::reset_list();
  }

  std::shared_ptr<tavrix::ServerRecord> add(std::shared_ptr<tavrix::ServerRecord> rec) {
    EXPECT_EQ(server_list().add_server(rec), 1);
    return rec;
  }
  QStringList row(int r) { return uitest::row_texts(ports, r); }
  int rows() { return ports->model()->rowCount(); }
  QModelIndex at(int r, int c) { return ports->model()->index(r, c); }
  QColor text_colour() { return ports->palette().color(QPalette::Text); }
  // The row's hover mark and background as the model gives them.
  int mark(int r) { return at(r, 0).data(tavrix::ui::kDataRole).toInt(); }
  QColor background(int r) { return at(r, 0).data(Qt::BackgroundRole).value<QBrush>().color(); }
  // The colour painted at the right end of a cell of `r` (clear of its text).
  QColor painted(int r) {
    const QImage img = ports->viewport()->grab().toImage();
    const QRect cell = ports->visualRect(at(r, 6));
    return img.pixelColor(cell.right() - 4, cell.center().y());
  }
  void move_to_row(int r) { move_to(ports->visualRect(at(r, 2)).center()); }
  void move_to(QPoint p) {
    QMouseEvent ev(QEvent::MouseMove, p, ports->viewport()->mapToGlobal(p), Qt::NoButton,
                   Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(ports->viewport(), &ev);
  }

  tavrix::ui::MainWindow* w = nullptr;
  tavrix::ui::PortView* ports = nullptr;
};

// Set A: port 1 Redundant COM with mixed connections, port 2 in another mode.
std::shared_ptr<tavrix::ServerRecord> set_a_server() {
  auto rec = uitest::make_server(uitest::kModelA, "192.168.127.254", 0x11);
  rec->mode[0] = 15;
  rec->mode[1] = 0;
  uint8_t c[80] = {};
  uitest::set_connection(c, 1, uitest::ip("192.168.127.10"), 4, uitest::ip("10.0.0.7"), 1);
  uitest::set_connection(c, 2, 0, 4, 0, 0);                        // connected, peer 0
  uitest::set_connection(c, 3, uitest::ip("10.0.0.9"), 3, 0, 10);  // set A: 3 is not connected
  uitest::set_connection(c, 4, 0, 77, uitest::ip("10.0.0.8"), 4);  // 77 has no name
  rec->store_conn(0, c);
  return rec;
}

TEST_F(PortView, MonitoredSetAServerShowsModesStatesAndPeers) {
  auto rec = add(set_a_server());
  rec->monitoring = 1;  // by hand: no pollers run here
  rec->online = 1;
  w->rebuild_tree(0);
  ASSERT_EQ(rows(), 4);
  EXPECT_EQ(row(0).join('|'), "1|Redundant COM|LAN1|192.168.127.10||SYN Sent|");
  EXPECT_EQ(row(1).join('|'), "-|-|LAN2|Listen|TCP Closed|TCP Time Wait|10.0.0.8");
  EXPECT_EQ(row(2).join('|'), "2|[NOT SUPPORT]|||||");
  EXPECT_EQ(row(3).join('|'), "-||||||");
  EXPECT_EQ(text_colour(), QColor(0, 0, 0));
  EXPECT_EQ(uitest::part<QLabel>(w, "m_info_status")->text(), "On Line");

  rec->online = 0;
  w->update_mon_list(0);
  EXPECT_EQ(text_colour(), QColor(255, 0, 0));
  EXPECT_EQ(uitest::part<QLabel>(w, "m_info_status")->text(), "Off Line");
  rec->monitoring = 0;
}

TEST_F(PortView, MonitoredSetBServerUsesItsOwnCodes) {
  auto rec = add(uitest::make_server(uitest::kModelB, "10.5.0.1", 0x21));
  rec->mode[0] = 22;
  rec->mode[1] = 15;  // Redundant COM only in set A: not supported here
  rec->mode[2] = -1;
  uint8_t c[80] = {};
  uitest::set_connection(c, 1, uitest::ip("10.5.0.100"), 3, 0, 2);
  uitest::set_connection(c, 2, uitest::ip("10.5.0.101"), 4, 0, 5);  // set B: 4 is Close Wait
  rec->store_conn(0, c);
  rec->monitoring = 1;
  rec->online = 2;
  w->rebuild_tree(0);
  ASSERT_EQ(rows(), 6);
  EXPECT_EQ(row(0).join('|'),
            "1|Redundant COM|LAN1|10.5.0.100|TCP Close Wait|TCP Closed|TCP Closed");
  EXPECT_EQ(row(1).join('|'), "-|-|LAN2|Connecting|TCP Closing|TCP Closed|TCP Closed");
  EXPECT_EQ(row(2).join('|'), "2|[NOT SUPPORT]|||||");
  EXPECT_EQ(row(4).join('|'), "3|[NOT SUPPORT]|||||");
  rec->monitoring = 0;
}

TEST_F(PortView, IdleServerShowsLastModesGreyWithPlaceholders) {
  auto rec = add(uitest::make_server(uitest::kModelB, "10.6.0.1", 0x31));
  rec->mode[0] = 10;
  rec->mode[1] = 24;
  w->rebuild_tree(0);
  ASSERT_EQ(rows(), 6);
  EXPECT_EQ(row(0).join('|'), "1|TCP Server|LAN1|-|-|-|-");
  EXPECT_EQ(row(1).join('|'), "-|-|LAN2|-|-|-|-");
  EXPECT_EQ(row(2).join('|'), "2|DRDAS TCP Server|LAN1|-|-|-|-");
  EXPECT_EQ(row(4).join('|'), "3||LAN1|-|-|-|-");  // not yet known: no name
  EXPECT_EQ(text_colour(), QColor(128, 128, 128));
  EXPECT_EQ(uitest::part<QLabel>(w, "m_info_status")->text(), "Idle");
}

TEST_F(PortView, UnknownModelHasAnEmptyTable) {
  add(uitest::make_server(0x7777, "10.6.0.2", 0x32));
  w->rebuild_tree(0);
  EXPECT_EQ(rows(), 0);
}

TEST_F(PortView, RowBackgroundsAsPainted) {
  auto rec = add(set_a_server());
  w->rebuild_tree(0);
  move_to_row(3);
  ports->clearSelection();
  ports->setCurrentIndex(QModelIndex());
  move_to_row(2);
  ASSERT_EQ(mark(2), 1);
  ASSERT_EQ(mark(3), 0);
  uitest::pump(std::chrono::milliseconds(50));
  EXPECT_EQ(background(0), QColor(245, 245, 245));
  EXPECT_EQ(background(1), QColor(255, 255, 255));
  EXPECT_EQ(background(2), QColor(220, 220, 220));
  EXPECT_EQ(painted(0), QColor(245, 245, 245));
  EXPECT_EQ(painted(1), QColor(255, 255, 255));
  EXPECT_EQ(painted(2), QColor(220, 220, 220));
  EXPECT_EQ(painted(3), QColor(255, 255, 255));
}

TEST_F(PortView, HoverRowFollowsThePointer) {
  add(set_a_server());
  w->rebuild_tree(0);
  for (int r = 0; r < rows(); ++r) EXPECT_EQ(mark(r), 0) << r;
  move_to_row(0);  // row 0 is already the hover row: nothing new is marked
  EXPECT_EQ(mark(0), 0);
  move_to_row(3);
  EXPECT_EQ(mark(3), 1);
  move_to_row(1);
  EXPECT_EQ(mark(1), 1);
  EXPECT_EQ(mark(3), 0);
  // Below the last row: no row, the hover row stays marked.
  move_to(QPoint(20, ports->viewport()->height() - 2));
  EXPECT_EQ(mark(1), 1);
  for (int r = 0; r < rows(); ++r) EXPECT_EQ(mark(r), r == 1 ? 1 : 0) << r;
}

// Collects the area of every paint a widget receives.
class PaintSpy : public QObject {
 public:
  explicit PaintSpy(QWidget* target) : target_(target) { target_->installEventFilter(this); }
  ~PaintSpy() override { target_->removeEventFilter(this); }
  QRegion painted;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) painted += static_cast<QPaintEvent*>(event)->region();
    return false;
  }

 private:
  QWidget* target_;
};

// The pointer leaves the table and comes back onto another row, as a user's would: the
// old hover row must be repainted across all seven columns, not only in "Port".
TEST_F(PortView, HoverRowLeftThroughOutsideIsRepaintedWhole) {
  add(set_a_server());
  w->rebuild_tree(0);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
  tavrix::ui::PortView* t = ports;
  auto row_rect = [&](int r) {
    QRect all;
    for (int c = 0; c < 7; ++c) all |= t->visualRect(at(r, c));
    return all;
  };
  auto pointer_at = [&](QWidget* where, QPoint p) { QTest::mouseMove(where, p); };
  pointer_at(t->viewport(), row_rect(3).center());
  ASSERT_TRUE(uitest::wait_until([&] { return mark(3) == 1; }));
  pointer_at(uitest::part<QTreeWidget>(w, "m_mon_tree")->viewport(),
             QPoint(10, 10));  // out of the table
  uitest::pump(std::chrono::milliseconds(100));

  PaintSpy spy(t->viewport());
  pointer_at(t->viewport(), row_rect(1).center());
  ASSERT_TRUE(uitest::wait_until([&] { return mark(1) == 1; }));
  ASSERT_TRUE(uitest::wait_until([&] { return (QRegion(row_rect(3)) - spy.painted).isEmpty(); },
                                 std::chrono::seconds(2)))
      << "row 3 repainted only in " << spy.painted.boundingRect().width() << " of "
      << row_rect(3).width() << " pixels";
  EXPECT_TRUE((QRegion(row_rect(1)) - spy.painted).isEmpty());
  EXPECT_EQ(painted(3), QColor(255, 255, 255));
  EXPECT_EQ(painted(1), QColor(220, 220, 220));
}

TEST_F(PortView, RefreshRewritesCellsInPlaceAndRemarksTheHoverRow) {
  auto rec = add(set_a_server());
  rec->monitoring = 1;
  rec->online = 1;
  w->rebuild_tree(0);
  // From the first refresh row 0 is the hover row, though the pointer never came.
  w->on_refresh_timer();
  EXPECT_EQ(mark(0), 1);
  const QPersistentModelIndex before = at(1, 3);  // lost if the rows were made anew
  rec->mode[1] = 15;
  w->on_refresh_timer();
  EXPECT_TRUE(before.isValid());  // same rows, rewritten
  EXPECT_EQ(row(2).join('|'), "2|Redundant COM|LAN1|TCP Closed|TCP Closed|TCP Closed|TCP Closed");
  EXPECT_TRUE(ports->updatesEnabled());
  // A changed port count rebuilds the table; the hover row is marked again.
  move_to_row(1);
  rec->port_count = 1;
  w->on_refresh_timer();
  EXPECT_FALSE(before.isValid());
  EXPECT_EQ(rows(), 2);
  EXPECT_EQ(mark(1), 1);
  rec->monitoring = 0;
}

TEST_F(PortView, StartKeepsTheIdleLookUntilTheFirstTickAndStopRestoresIt) {
  server_list().refresh_rate = 1;
  uitest::part<QTimer>(w, "m_main_timer")->setInterval(1000);
  auto rec = add(set_a_server());
  w->rebuild_tree(0);
  uitest::action(w, "m_start_act")->trigger();
  EXPECT_EQ(rec->monitoring.load(), 1);
  EXPECT_TRUE(uitest::part<QTimer>(w, "m_main_timer")->isActive());
  EXPECT_EQ(text_colour(), QColor(128, 128, 128));
  EXPECT_EQ(row(2).join('|'), "2|Terminal(ASCII)|LAN1|-|-|-|-");
  // The real timer's tick shows the monitored look; a handle that never opened gives
  // no answer, so the server is off line.
  ASSERT_TRUE(uitest::wait_until([&] { return row(2)[1] == "[NOT SUPPORT]"; }));
  EXPECT_EQ(uitest::part<QLabel>(w, "m_info_status")->text(), "Off Line");
  EXPECT_EQ(text_colour(), QColor(255, 0, 0));

  uitest::action(w, "m_stop_act")->trigger();
  EXPECT_EQ(rec->monitoring.load(), 0);
  EXPECT_FALSE(uitest::part<QTimer>(w, "m_main_timer")->isActive());
  EXPECT_TRUE(server_list().stop_all());
  EXPECT_EQ(text_colour(), QColor(128, 128, 128));
  EXPECT_EQ(row(0).join('|'), "1|Redundant COM|LAN1|-|-|-|-");
  EXPECT_EQ(row(2).join('|'), "2|Terminal(ASCII)|LAN1|-|-|-|-");
  EXPECT_EQ(uitest::part<QLabel>(w, "m_info_status")->text(), "Idle");
  EXPECT_TRUE(uitest::wait_until([] { return server_list().poller_count() == 0; }));
}

TEST_F(PortView, TimerAndStopAllFollowTheFirstAndLastMonitoredServer) {
  add(uitest::make_server(uitest::kModelA, "10.7.0.1", 1));
  add(uitest::make_server(uitest::kModelDual, "10.7.0.2", 2, "10.8.0.2"));
  w->rebuild_tree(0);
  server_list().set_stop_all(1);
  uitest::action(w, "m_start_act")->trigger();
  EXPECT_TRUE(uitest::part<QTimer>(w, "m_main_timer")->isActive());
  EXPECT_FALSE(server_list().stop_all());
  w->rebuild_tree(1);
  uitest::action(w, "m_start_act")->trigger();
  EXPECT_EQ(uitest::server_node(w, 1)->data(0, tavrix::ui::kImageRole).toInt(), 6);
  // A dual-LAN server runs two pollers.
  EXPECT_TRUE(uitest::wait_until([] { return server_list().poller_count() == 3; }));
  uitest::action(w, "m_stop_act")->trigger();  // one of two: timer and flag untouched
  EXPECT_TRUE(uitest::part<QTimer>(w, "m_main_timer")->isActive());
  EXPECT_FALSE(server_list().stop_all());
  w->rebuild_tree(0);
  uitest::action(w, "m_stop_act")->trigger();  // the last one
  EXPECT_FALSE(uitest::part<QTimer>(w, "m_main_timer")->isActive());
  EXPECT_TRUE(server_list().stop_all());
  EXPECT_TRUE(uitest::wait_until([] { return server_list().poller_count() == 0; }));
}

}  // namespace

namespace {

// The model alone: a refresh of the same rows announces only the rows that changed and
// never makes the rows anew; a changed port count does; a hover mark repaints its row.
TEST(PortTableModel, RefreshAnnouncesOnlyChangedRows) {
  uitest::set_test_model_map();
  auto rec = set_a_server();
  tavrix::ui::PortTableModel model;
  QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
  QSignalSpy changes(&model, &QAbstractItemModel::dataChanged);

  model.show_idle(*rec);
  ASSERT_EQ(model.rowCount(), 4);
  EXPECT_EQ(resets.count(), 1);
  EXPECT_EQ(model.index(2, 1).data().toString(), "Terminal(ASCII)");

  rec->monitoring = 1;
  rec->online = 1;
  model.show_monitored(*rec, true);
  EXPECT_EQ(resets.count(), 1) << "same port count: rows change in place";
  EXPECT_EQ(model.index(2, 1).data().toString(), "[NOT SUPPORT]");
  changes.clear();
  model.show_monitored(*rec, true);
  EXPECT_EQ(changes.count(), 0) << "nothing changed, nothing announced";

  rec->mode[1] = 15;  // port 2 becomes Redundant COM: its two rows change, port 1's do not
  model.show_monitored(*rec, true);
  ASSERT_EQ(changes.count(), 2);
  for (const QList<QVariant>& c : changes) {
    const int row = c[0].toModelIndex().row();
    EXPECT_TRUE(row == 2 || row == 3) << row;
    EXPECT_EQ(c[0].toModelIndex().column(), 0);
    EXPECT_EQ(c[1].toModelIndex().column(), tavrix::ui::PortTableModel::kColumns - 1);
  }

  changes.clear();
  model.set_hover_mark(1, 1);
  ASSERT_EQ(changes.count(), 1);
  EXPECT_EQ(changes[0][1].toModelIndex().column(), tavrix::ui::PortTableModel::kColumns - 1);
  EXPECT_EQ(model.hover_mark(1), 1);

  rec->port_count = 1;
  model.show_monitored(*rec, true);
  EXPECT_EQ(resets.count(), 2);
  EXPECT_EQ(model.rowCount(), 2);
  EXPECT_EQ(model.hover_mark(1), 0) << "rows made anew carry no mark";
  model.clear();
  EXPECT_EQ(model.rowCount(), 0);
}

}  // namespace
