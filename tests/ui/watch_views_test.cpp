// The Events tab, the availability timeline and the one-LAN redundancy marks, driven
// through the window with keys and clicks: a server monitored against the loopback
// simulator whose connection drops and returns, the marker's rule on records made by
// hand, and the events list's filters and bound.
#include <QComboBox>
#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include "support/qeld_loopback.h"
#include "ui/events_view.h"
#include "ui/icons.h"
#include "ui/main_window.h"
#include "ui/timeline_view.h"
#include "ui/ui_test_util.h"

namespace {

using namespace std::chrono_literals;
using tavrix::ui::EventsView;
using uitest::server_list;

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new uitest::QtEnv);

constexpr uint16_t kSimModel = 0x2613;  // the loopback devices' model: set A, 4 ports

void use_models() {
  qeld::TModelEntry e = uitest::model_entry(kSimModel, qeld::kAttrModeSetA, 4, "TVX-2613R");
  e.model_key = 1;
  qeld::set_model_map({e, uitest::model_entry(uitest::kModelA, qeld::kAttrModeSetA, 2, "TX-2200A"),
                       uitest::model_entry(uitest::kModelB, 0, 3, "TX-3300B")});
}

QString model_text(const QAbstractItemModel* m, int row, int column) {
  return m->data(m->index(row, column)).toString();
}

// The port view's cells, its redundancy mark and the mark's tip, through its model.
QModelIndex port_index(const QWidget* w, int row, int col) {
  return uitest::part<QTableView>(w, "m_mon_list")->model()->index(row, col);
}
QString port_cell(const QWidget* w, int row, int col) {
  return port_index(w, row, col).data().toString();
}
bool port_marked(const QWidget* w, int row) {
  return !port_index(w, row, 0).data(Qt::DecorationRole).value<QIcon>().isNull();
}
QString port_tip(const QWidget* w, int row) {
  return port_index(w, row, 0).data(Qt::ToolTipRole).toString();
}

QImage image_of(const QIcon& icon) {
  return icon.pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32);
}

class WatchViews : public ::testing::Test {
 protected:
  void SetUp() override {
    uitest::reset_list();
    w = new tavrix::ui::MainWindow(uitest::server_list());
    w->resize(1100, 760);
    w->show();
    ASSERT_TRUE(uitest::wait_until([&] { return w->isVisible(); }));
    use_models();
  }
  void TearDown() override {
    delete w;  // and its dialogs
    w = nullptr;
    uitest::reset_list();
    qeld::library_stop();
  }

  void click_tab(const QString& prefix) {
    QTabBar* bar = uitest::part<QTabWidget>(w, "m_mon_tab1")->tabBar();
    for (int i = 0; i < bar->count(); ++i)
      if (bar->tabText(i).startsWith(prefix)) {
        QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, bar->tabRect(i).center());
        return;
      }
    ADD_FAILURE() << "no tab " << prefix.toStdString();
  }
  void click_node(QTreeWidgetItem* node) {
    const QRect r = uitest::part<QTreeWidget>(w, "m_mon_tree")->visualItemRect(node);
    QTest::mouseClick(uitest::part<QTreeWidget>(w, "m_mon_tree")->viewport(), Qt::LeftButton,
                      Qt::NoModifier, r.center());
  }
  // The colour painted in the middle of a strip's newest segment, once that segment is
  // a few pixels wide (the timeline moves on every second).
  QColor strip_end_colour(int row) {
    tavrix::ui::TimelineView* v = uitest::part<tavrix::ui::TimelineView>(w, "m_timeline_view");
    int x0 = 0, x1 = 0;
    auto wide = [&] {
      const auto& changes = v->rows().at(static_cast<std::size_t>(row)).changes;
      if (changes.empty()) return false;
      x0 = v->x_of(changes.back().time_ms);
      x1 = v->x_of(v->now_ms());
      return x1 - x0 >= 6;
    };
    if (!uitest::wait_until(wide, 30s)) return QColor();
    const QImage img = v->grab().toImage();
    return img.pixelColor((x0 + x1) / 2, v->strip_rect(row).center().y());
  }
  const QAbstractItemModel* events() {
    return uitest::part<QTableView>(w, "m_events_list")->model();
  }

  uitest::MsgRecorder boxes;
  tavrix::ui::MainWindow* w = nullptr;
};

TEST_F(WatchViews, AConnectionDroppingOnOneLanIsAnEventAMarkAndAStrip) {
  devsim::Device dev = tavrix_test::loopback_device(0, 2, 15, true);
  dev.ports[0].conns[0].lan[0] = {4, uitest::ip("192.0.2.70")};
  dev.ports[0].conns[0].lan[1] = {4, uitest::ip("198.51.100.70")};
  devsim::Fleet fleet;
  fleet.devices.push_back(dev);
  tavrix_test::LoopbackSim sim(fleet);
  tavrix_test::LoopbackLibrary lib(sim);
  const auto idx = static_cast<std::size_t>(sim->find_device("lo-0"));

  qeld::DeviceIdentity reply;
  reply.model_key = 1;
  reply.model_id = kSimModel;
  reply.ip1 = dev.ip1;
  reply.ip2 = dev.ip2;
  std::copy(dev.mac1.begin(), dev.mac1.end(), reply.mac1);
  std::copy(dev.mac2.begin(), dev.mac2.end(), reply.mac2);
  auto rec = server_list().make_server_record(reply);
  ASSERT_EQ(rec->dual_lan, 1);
  ASSERT_EQ(server_list().add_server(rec), 1);
  server_list().refresh_rate = 1;
  uitest::part<QTimer>(w, "m_main_timer")->setInterval(1000);
  w->rebuild_tree(-1);
  click_node(uitest::server_node(w, 0));
  ASSERT_EQ(w->selected_server(), 0);
  // Shortcuts reach the active window only.
  w->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(w));
  QTest::keyClick(uitest::part<QTreeWidget>(w, "m_mon_tree"), Qt::Key_G,
                  Qt::ControlModifier);  // Start
  ASSERT_EQ(rec->monitoring.load(), 1);

  // Polled, and followed from a baseline (which reports nothing).
  ASSERT_TRUE(uitest::wait_until(
      [&] {
        const auto* h = w->event_log().history(rec.get());
        return h && !h->summary().changes.empty() && port_cell(w, 1, 3) == "198.51.100.70";
      },
      30s));
  EXPECT_EQ(w->event_log().size(), 0u);
  EXPECT_FALSE(port_marked(w, 0));
  EXPECT_EQ(uitest::part<QTabWidget>(w, "m_mon_tab1")->tabText(1), "Events");

  // LAN2's connection of port 1 drops: one event, a marked port, a warned node.
  ASSERT_TRUE(sim->set_connection(idx, 1, 1, 2, 0, 0));
  ASSERT_TRUE(uitest::wait_until([&] { return w->event_log().size() >= 1; }, 30s));
  ASSERT_TRUE(uitest::wait_until([&] { return port_marked(w, 0); }, 30s));
  EXPECT_EQ(port_tip(w, 0), "Redundancy lost: port 1 is connected on LAN1 only");
  EXPECT_FALSE(port_marked(w, 2)) << "port 2 has no connection at all";
  EXPECT_EQ(image_of(uitest::server_node(w, 0)->icon(0)),
            image_of(tavrix::ui::with_warning_overlay(tavrix::ui::kIconServerMonitored)));
  EXPECT_EQ(uitest::part<QTabWidget>(w, "m_mon_tab1")->tabText(1), "Events (1)")
      << "counted while the tab is not shown";
  ASSERT_EQ(events()->rowCount(), 1);
  EXPECT_EQ(model_text(events(), 0, 1), "127.0.0.2, 127.0.1.2");
  EXPECT_EQ(model_text(events(), 0, 2), "Connection");
  EXPECT_EQ(model_text(events(), 0, 3), "1");
  EXPECT_EQ(model_text(events(), 0, 4), "LAN2");
  EXPECT_EQ(model_text(events(), 0, 6), "198.51.100.70");
  EXPECT_EQ(model_text(events(), 0, 7), "TCP Closed");

  // The timeline of the selected server: LAN1, LAN2, port 1 (one LAN), port 2 (none),
  // over the shortest span, chosen with the keyboard.
  uitest::part<QComboBox>(w, "m_timeline_span")->setFocus();
  QTest::keyClick(uitest::part<QComboBox>(w, "m_timeline_span"), Qt::Key_Up);
  ASSERT_EQ(uitest::part<QComboBox>(w, "m_timeline_span")->currentText(), "Last 10 minutes");
  ASSERT_TRUE(uitest::wait_until(
      [&] {
        return uitest::part<tavrix::ui::TimelineView>(w, "m_timeline_view")->rows().size() == 4;
      },
      10s));
  QStringList labels;
  for (const auto& r : uitest::part<tavrix::ui::TimelineView>(w, "m_timeline_view")->rows())
    labels << r.label;
  EXPECT_EQ(labels.join(','), "LAN1,LAN2,Port 1,Port 2");
  EXPECT_EQ(strip_end_colour(1), tavrix::ui::availability_colour(tavrix::Availability::kUp));
  EXPECT_EQ(strip_end_colour(2), tavrix::ui::availability_colour(tavrix::Availability::kPartial));
  EXPECT_EQ(strip_end_colour(3), tavrix::ui::availability_colour(tavrix::Availability::kDown));

  // Looking at the tab clears the count.
  click_tab("Events");
  EXPECT_EQ(uitest::part<QTabWidget>(w, "m_mon_tab1")->currentWidget(),
            uitest::part<tavrix::ui::EventsView>(w, "m_events_view"));
  EXPECT_EQ(uitest::part<QTabWidget>(w, "m_mon_tab1")->tabText(1), "Events");

  // The connection returns with a new peer: the marks go, the newest event is first.
  click_tab("Connections");
  ASSERT_TRUE(sim->set_connection(idx, 1, 1, 2, 4, uitest::ip("198.51.100.71")));
  ASSERT_TRUE(uitest::wait_until([&] { return w->event_log().size() >= 2; }, 30s));
  ASSERT_TRUE(uitest::wait_until([&] { return !port_marked(w, 0); }, 30s));
  ASSERT_TRUE(uitest::wait_until(
      [&] {
        return image_of(uitest::server_node(w, 0)->icon(0)) ==
               image_of(tavrix::ui::main_icon(tavrix::ui::kIconServerMonitored));
      },
      10s));
  EXPECT_EQ(uitest::part<QTabWidget>(w, "m_mon_tab1")->tabText(1), "Events (1)");
  EXPECT_EQ(model_text(events(), 0, 6), "TCP Closed");
  EXPECT_EQ(model_text(events(), 0, 7), "198.51.100.71");
  EXPECT_EQ(model_text(events(), 1, 7), "TCP Closed");

  // The root node: one strip per monitored server, whole again at its newest end.
  click_node(uitest::root_node(w));
  ASSERT_EQ(uitest::part<tavrix::ui::TimelineView>(w, "m_timeline_view")->rows().size(), 1u);
  EXPECT_EQ(uitest::part<tavrix::ui::TimelineView>(w, "m_timeline_view")->rows()[0].label,
            "127.0.0.2, 127.0.1.2");
  EXPECT_EQ(strip_end_colour(0), tavrix::ui::availability_colour(tavrix::Availability::kUp));

  // Stop: the server's detection ends; nothing more is reported.
  click_node(uitest::server_node(w, 0));
  QTest::keyClick(uitest::part<QTreeWidget>(w, "m_mon_tree"), Qt::Key_T,
                  Qt::ControlModifier);  // Stop
  ASSERT_EQ(rec->monitoring.load(), 0);
  const std::size_t before = w->event_log().size();
  ASSERT_TRUE(sim->set_connection(idx, 1, 2, 1, 1, 0));
  uitest::pump(2500ms);
  EXPECT_EQ(w->event_log().size(), before);
}

TEST_F(WatchViews, OnlyADualLanPortConnectedOnOneLanIsMarked) {
  struct Case {
    const char* what;
    bool dual;
    int online;
    uint8_t lan1_state, lan2_state;
    bool marked;
  };
  const Case cases[] = {
      {"both LANs connected", true, 3, 4, 4, false},
      {"LAN1 only", true, 3, 4, 0, true},
      {"LAN2 only, LAN1 not answering", true, 2, 1, 4, true},
      {"no connection", true, 3, 0, 0, false},
      {"nothing answers: stale records", true, 0, 4, 0, false},
      {"a one-LAN server has no second path", false, 1, 4, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uitest::reset_list();
    auto rec = uitest::make_server(uitest::kModelA, "192.0.2.11", 0x11,
                                   c.dual ? "198.51.100.11" : nullptr);
    rec->mode[0] = 15;
    rec->mode[1] = 15;
    uint8_t conn[80] = {};
    uitest::set_connection(conn, 1, uitest::ip("192.0.2.50"), c.lan1_state,
                           uitest::ip("198.51.100.50"), c.lan2_state);
    rec->store_conn(0, conn);
    rec->monitoring = 1;  // by hand: no pollers
    rec->online = c.online;
    ASSERT_EQ(server_list().add_server(rec), 1);
    w->rebuild_tree(0);
    w->update_mon_list(0);
    EXPECT_EQ(port_marked(w, 0), c.marked);
    EXPECT_EQ(!port_tip(w, 0).isEmpty(), c.marked);
    EXPECT_FALSE(port_marked(w, 2));
    EXPECT_EQ(port_cell(w, 0, 0), "1")
        << "the mark is an icon beside the port number; the number itself stays";
    // Stopped, the idle look has no mark.
    rec->monitoring = 0;
    w->update_mon_list(0);
    EXPECT_FALSE(port_marked(w, 0));
  }
  uitest::reset_list();
}

TEST_F(WatchViews, TheEventsListFiltersByServerAndKindAndKeepsTheNewestN) {
  tavrix::EventLog log(50);
  auto event = [](int64_t t, tavrix::EventKind kind, const char* server) {
    tavrix::LoggedEvent l;
    l.event.time_ms = t;
    l.event.kind = kind;
    l.event.port = kind == tavrix::EventKind::kLan ? 0 : 1;
    l.event.value = std::to_string(t);
    l.server = server;
    return l;
  };
  const tavrix::EventKind kinds[] = {tavrix::EventKind::kLan, tavrix::EventKind::kMode,
                                     tavrix::EventKind::kConnection};
  // 120 events over three servers and three kinds: the ring keeps the last 50 (70..119).
  for (int i = 0; i < 120; ++i)
    log.add(event(1'700'000'000'000 + i, kinds[i % 3], i % 2 ? "192.0.2.11" : "192.0.2.12"));
  EventsView view(log);
  view.resize(900, 400);
  view.show();
  ASSERT_TRUE(uitest::wait_until([&] { return view.isVisible(); }));
  const QAbstractItemModel* m = uitest::part<QTableView>(&view, "m_events_list")->model();
  ASSERT_EQ(m->rowCount(), 50);
  EXPECT_EQ(model_text(m, 0, 7), "1700000000119") << "newest first";
  EXPECT_EQ(model_text(m, 49, 7), "1700000000070");
  EXPECT_EQ(uitest::part<QLabel>(&view, "m_events_count")->text(),
            "50 of 50 events (the latest 50 are kept)");

  // Filters chosen with the keyboard, as a user would.
  struct Case {
    int server_downs;  // Down presses in the server box (0 = all servers)
    int kind_downs;    // ... in the kind box (0 = all kinds)
    int rows;
  };
  const Case cases[] = {{0, 0, 50}, {0, 1, 16}, {0, 3, 17}, {1, 0, 25}, {1, 2, 8}, {2, 3, 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.server_downs << " " << c.kind_downs);
    uitest::part<QComboBox>(&view, "m_events_server")->setCurrentIndex(0);
    uitest::part<QComboBox>(&view, "m_events_kind")->setCurrentIndex(0);
    uitest::part<QComboBox>(&view, "m_events_server")->setFocus();
    for (int i = 0; i < c.server_downs; ++i)
      QTest::keyClick(uitest::part<QComboBox>(&view, "m_events_server"), Qt::Key_Down);
    for (int i = 0; i < c.kind_downs; ++i)
      QTest::keyClick(uitest::part<QComboBox>(&view, "m_events_kind"), Qt::Key_Down);
    ASSERT_EQ(m->rowCount(), c.rows);
    const QString server = uitest::part<QComboBox>(&view, "m_events_server")->currentText();
    const QString kind = uitest::part<QComboBox>(&view, "m_events_kind")->currentText();
    for (int r = 0; r < m->rowCount(); ++r) {
      if (c.server_downs) {
        EXPECT_EQ(model_text(m, r, 1), server);
      }
      if (c.kind_downs) {
        EXPECT_EQ(model_text(m, r, 2), kind);
      }
    }
  }

  // New events reach a filtered list; the ring stays at its size.
  uitest::part<QComboBox>(&view, "m_events_server")->setCurrentIndex(0);
  uitest::part<QComboBox>(&view, "m_events_kind")->setCurrentIndex(0);
  log.add(event(1'700'000'000'500, tavrix::EventKind::kLan, "192.0.2.13"));
  view.refresh();
  EXPECT_EQ(m->rowCount(), 50);
  EXPECT_EQ(model_text(m, 0, 1), "192.0.2.13");
  EXPECT_GE(uitest::part<QComboBox>(&view, "m_events_server")->findText("192.0.2.13"), 1)
      << "a new server joins the filter";
}

}  // namespace

namespace {

// A 16-port server at the window's smallest size: the timeline scrolls to every strip,
// its time axis and its legend, and the tables keep their share through the splitter.
TEST_F(WatchViews, ASixteenPortTimelineScrollsAndLeavesTheTablesTheirRoom) {
  constexpr uint16_t kSixteen = 0x1610;
  qeld::set_model_map(
      {uitest::model_entry(kSixteen, qeld::kAttrModeSetA | qeld::kAttrSecondMac, 16, "TX-16D")});
  auto rec = uitest::make_server(kSixteen, "192.0.2.16", 0x16, "198.51.100.16");
  ASSERT_EQ(rec->port_count, 16);
  uint8_t conn[80] = {};
  uitest::set_connection(conn, 1, uitest::ip("192.0.2.50"), 4, uitest::ip("198.51.100.50"), 4);
  for (int i = 0; i < 16; ++i) {
    rec->mode[i] = 15;  // Redundant COM in set A
    rec->store_conn(i, conn);
  }
  rec->online = 3;
  rec->monitoring = 1;
  ASSERT_EQ(server_list().add_server(rec), 1);
  uitest::part<QTimer>(w, "m_events_timer")->stop();
  server_list().refresh_rate = 1;
  const int64_t now = QDateTime::currentMSecsSinceEpoch();
  w->sample_events_at(now - 2000, 1);
  w->sample_events_at(now - 500, 1600);
  w->rebuild_tree(0);
  w->update_timeline();
  rec->monitoring = 0;  // no pollers behind it: nothing else looks at it

  auto* panel = uitest::part<tavrix::ui::TimelinePanel>(w, "m_timeline_panel");
  auto* view = uitest::part<tavrix::ui::TimelineView>(panel, "m_timeline_view");
  auto* scroll = uitest::part<QScrollArea>(panel, "m_timeline_scroll");
  ASSERT_EQ(view->rows().size(), 18u) << "two LANs and sixteen ports";
  w->resize(w->minimumSizeHint());
  uitest::pump(300ms);
  SCOPED_TRACE(QStringLiteral("window %1x%2").arg(w->width()).arg(w->height()).toStdString());

  // Every strip, the axis and the whole legend lie inside the view; the view scrolls.
  EXPECT_GE(view->height(), view->needed_height(view->width()));
  EXPECT_LT(view->strip_rect(17).bottom(), view->height());
  EXPECT_GT(scroll->verticalScrollBar()->maximum(), 0);
  scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
  EXPECT_EQ(view->mapFrom(scroll->viewport(), QPoint(0, scroll->viewport()->height())).y(),
            view->height())
      << "scrolled to the end, the legend's last line is in sight";

  // The port table keeps more than a couple of rows, and the splitter hands the room over.
  auto* ports = uitest::part<QTableView>(w, "m_mon_list");
  const int row = ports->verticalHeader()->defaultSectionSize();
  EXPECT_GE(ports->viewport()->height(), 4 * row);
  auto* splitter = w->findChild<QSplitter*>(QStringLiteral("m_timeline_splitter"));
  ASSERT_NE(splitter, nullptr);
  if (const char* file = std::getenv("TAVRIX_TIMELINE_SHOT"))
    w->grab().save(QString::fromLocal8Bit(file));
  w->resize(1000, 900);
  uitest::pump(200ms);
  const QList<int> sizes = splitter->sizes();
  const int wanted = view->height() + 60;
  splitter->setSizes({sizes[0] + sizes[1] - wanted, wanted});
  uitest::pump(200ms);
  EXPECT_GE(panel->height(), view->height()) << "dragged up, the whole timeline shows";
  EXPECT_EQ(scroll->verticalScrollBar()->maximum(), 0);
}

}  // namespace
