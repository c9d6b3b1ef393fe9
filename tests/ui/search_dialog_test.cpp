// The broadcast search dialog on the offscreen platform, driven through its real
// widgets and timer. Searches are aimed at a silent loopback sink (never a broadcast);
// the replies a search would keep are handed to the result list directly.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/server_list.h"
#include "qeld/library.h"
#include "qeld/model_map.h"
#include "support/lab.h"
#include "support/loopback_sim.h"
#include "ui/list_replacement_prompt.h"
#include "ui/message_box.h"
#include "ui/search_dialog.h"
#include "ui/ui_test_util.h"

namespace {

using namespace std::chrono_literals;

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new uitest::QtEnv);
using uitest::part;
using uitest::wait_until;

using uitest::Sink;

qeld::TModelEntry model(uint32_t key, uint16_t id, const char* name, uint32_t ports) {
  qeld::TModelEntry e;
  e.model_key = key;
  e.model_id = id;
  e.port_count = ports;
  std::strncpy(e.name, name, sizeof e.name - 1);
  return e;
}

qeld::DeviceIdentity reply(uint8_t n, bool dual) {
  qeld::DeviceIdentity r;
  r.model_key = 0x11;
  r.model_id = dual ? 0x2613 : 0x1204;
  const uint8_t mac1[6] = {0x00, 0x90, 0xE8, 0x10, 0x00, n};
  std::memcpy(r.mac1, mac1, 6);
  r.ip1 = ::inet_addr(("127.0.1." + std::to_string(n)).c_str());
  r.ip2 = r.ip1;
  if (dual) {
    const uint8_t mac2[6] = {0x00, 0x90, 0xE8, 0x20, 0x00, n};
    std::memcpy(r.mac2, mac2, 6);
    r.ip2 = ::inet_addr(("127.0.2." + std::to_string(n)).c_str());
  }
  return r;
}

// The dialog's controls, found by name as a user finds them by caption.
struct Controls {
  explicit Controls(const QDialog& f)
      : list(part<QTableWidget>(&f, "m_enum_list")),
        status(part<QLabel>(&f, "m_enum_status")),
        msg(part<QLabel>(&f, "m_enum_msg")),
        scan(part<QPushButton>(&f, "m_enum_scan")),
        stop(part<QPushButton>(&f, "m_enum_stop")),
        select_all(part<QPushButton>(&f, "m_enum_selectall")),
        clear_all(part<QPushButton>(&f, "m_enum_clearall")),
        ok(part<QPushButton>(&f, "m_enum_ok")),
        cancel(part<QPushButton>(&f, "m_enum_cancel")),
        timer(part<QTimer>(&f, "m_enum_timer")) {}
  QTableWidget* list;
  QLabel* status;
  QLabel* msg;
  QPushButton* scan;
  QPushButton* stop;
  QPushButton* select_all;
  QPushButton* clear_all;
  QPushButton* ok;
  QPushButton* cancel;
  QTimer* timer;
};

QString cell(const Controls& c, int row, int col) {
  const QTableWidgetItem* it = c.list->item(row, col);
  return it ? it->text() : QString("<none>");
}

// The index into the result list that a row keeps.
int result_index(const Controls& c, int row) {
  return c.list->model()->index(row, 0).data(Qt::UserRole).toInt();
}

int remaining_in(const QString& msg) {
  // "Found %d Tavrix(s), remaining %d seconds."
  const int at = msg.indexOf("remaining ");
  if (at < 0) return -1;
  return msg.mid(at + 10).section(' ', 0, 0).toInt();
}

class SearchFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qeld::set_address_source([](qeld::AddressList& out) {
      out.count = 1;
      out.addr[0] = htonl(INADDR_LOOPBACK);
      return 1;
    });
    qeld::set_device_ports(s4800_.port(), s1029_.port());
    ASSERT_EQ(qeld::library_start(), 1);
    qeld::set_model_map(
        {model(0x11, 0x1204, "TX-1204 Test", 4), model(0x11, 0x2613, "TX-2613 Dual", 8)});
    tavrix::ui::SearchDialog::set_scan_target(htonl(INADDR_LOOPBACK));
    list().search_timeout = 60;
    tavrix::ui::set_message_box_handler(
        [this](QWidget*, const QString& text, tavrix::ui::MsgIcon, tavrix::ui::MsgButtons buttons) {
          boxes_.push_back(text);
          if (buttons == tavrix::ui::MsgButtons::Ok) return tavrix::ui::MsgResult::Ok;
          if (answers_.empty()) return tavrix::ui::MsgResult::Yes;
          const auto answer = answers_.front();
          answers_.pop_front();
          return answer;
        });
  }
  void TearDown() override {
    list().abort_search();
    // The worker ends at its next quiet wait; the next test must not meet it.
    EXPECT_TRUE(wait_until(
        [] {
          return uitest::server_list().search_finished() || !uitest::server_list().search_running();
        },
        15s));
    list().stop_all_pollers(5000);
    list().clear_servers();
    list().clear_results();
    list().search_timeout = 5;
    tavrix::ui::set_message_box_handler(nullptr);
    qeld::set_address_source(nullptr);
  }
  static tavrix::ServerList& list() { return uitest::server_list(); }

  // Rescan against the silent sink, then hand `replies` to the result list as the
  // worker's callback would.
  void scan_with(const Controls& c, const std::vector<qeld::DeviceIdentity>& replies) {
    QTest::mouseClick(c.scan, Qt::LeftButton);
    for (const auto& r : replies) list().add_result(r, 0);
    ASSERT_TRUE(wait_until([&] { return c.list->rowCount() == static_cast<int>(replies.size()); }));
  }

  Sink s4800_, s1029_;
  std::vector<QString> boxes_;
  std::deque<tavrix::ui::MsgResult> answers_;  // for Yes/Cancel questions; Yes when empty
};

TEST_F(SearchFormTest, OpensIdleAndSendsNothingUntilRescan) {
  tavrix::ui::SearchDialog f(uitest::server_list());
  const Controls c(f);
  f.show();
  EXPECT_EQ(c.list->rowCount(), 0);
  EXPECT_TRUE(c.status->text().isEmpty());
  EXPECT_TRUE(c.msg->text().isEmpty());
  EXPECT_TRUE(c.scan->isEnabled());
  EXPECT_FALSE(c.stop->isEnabled());

  QTest::qWait(400);
  EXPECT_EQ(s4800_.drain() + s1029_.drain(), 0) << "opening the dialog sent packets";
  EXPECT_FALSE(c.timer->isActive());

  QTest::mouseClick(c.scan, Qt::LeftButton);
  EXPECT_FALSE(c.scan->isEnabled());
  EXPECT_TRUE(c.stop->isEnabled());
  EXPECT_TRUE(wait_until([&] { return s4800_.drain() > 0; }))
      << "Rescan sent no 4800-family request";
  EXPECT_TRUE(wait_until([&] { return s1029_.drain() > 0; }))
      << "Rescan sent no 1029-family request";
}

TEST_F(SearchFormTest, RowsAppearTickedNumberedWithSecondLanOrDashes) {
  tavrix::ui::SearchDialog f(uitest::server_list());
  const Controls c(f);
  f.show();
  scan_with(c, {reply(1, false), reply(2, true), reply(3, false)});

  for (int row = 0; row < 3; ++row) {
    EXPECT_EQ(cell(c, row, 0), QString::number(row + 1));
    EXPECT_EQ(result_index(c, row), row);
    EXPECT_TRUE(uitest::row_ticked(c.list, row)) << "row " << row;
  }
  EXPECT_EQ(cell(c, 0, 1), "TX-1204 Test");
  EXPECT_EQ(cell(c, 0, 2), "00:90:E8:10:00:01");
  EXPECT_EQ(cell(c, 0, 3), "127.0.1.1");
  EXPECT_EQ(cell(c, 0, 4), "---");
  EXPECT_EQ(cell(c, 0, 5), "---");
  EXPECT_EQ(cell(c, 1, 1), "TX-2613 Dual");
  EXPECT_EQ(cell(c, 1, 4), "00:90:E8:20:00:02");
  EXPECT_EQ(cell(c, 1, 5), "127.0.2.2");
  EXPECT_TRUE(
      wait_until([&] { return c.msg->text().startsWith("Found 3 Tavrix(s), remaining "); }));

  // Rows are added only for new results: a later reply becomes row 4, the others stay.
  uitest::set_row_ticked(c.list, 0, false);
  list().add_result(reply(4, false), 0);
  ASSERT_TRUE(wait_until([&] { return c.list->rowCount() == 4; }));
  EXPECT_FALSE(uitest::row_ticked(c.list, 0));
  EXPECT_EQ(cell(c, 3, 0), "4");
  EXPECT_EQ(cell(c, 3, 3), "127.0.1.4");

  // Select All ticks every row, Clear All unticks every row.
  QTest::mouseClick(c.select_all, Qt::LeftButton);
  for (int row = 0; row < 4; ++row) EXPECT_TRUE(uitest::row_ticked(c.list, row)) << "row " << row;
  QTest::mouseClick(c.clear_all, Qt::LeftButton);
  for (int row = 0; row < 4; ++row) EXPECT_FALSE(uitest::row_ticked(c.list, row)) << "row " << row;

  // Stop: labels switch at once, rows stay.
  QTest::mouseClick(c.stop, Qt::LeftButton);
  EXPECT_EQ(c.status->text(), "Complete.");
  EXPECT_EQ(c.msg->text(), "Found 4 Tavrix(s).");
  EXPECT_EQ(c.list->rowCount(), 4);
  EXPECT_TRUE(c.scan->isEnabled());
  EXPECT_FALSE(c.stop->isEnabled());
  EXPECT_FALSE(c.timer->isActive());

  // Rescan starts over with an empty list.
  QTest::mouseClick(c.scan, Qt::LeftButton);
  EXPECT_EQ(c.list->rowCount(), 0);
  // and counts its rows afresh: the new search's first reply is row 1 again.
  list().add_result(reply(5, false), 0);
  ASSERT_TRUE(wait_until([&] { return c.list->rowCount() == 1; }));
  EXPECT_EQ(cell(c, 0, 3), "127.0.1.5");
}

TEST_F(SearchFormTest, ResizableWithTheListFollowingAndMacColumnsWideEnough) {
  tavrix::ui::SearchDialog f(uitest::server_list());
  const Controls c(f);
  f.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
  EXPECT_LT(f.minimumSize().width(), f.maximumSize().width()) << "not a fixed size";
  EXPECT_GE(f.width(), 625);
  EXPECT_EQ(f.minimumSize().height(), 285);
  const QString mac = QStringLiteral("00:90:E8:CC:00:FF");
  for (int col : {2, 4})
    EXPECT_GT(c.list->columnWidth(col), c.list->fontMetrics().horizontalAdvance(mac)) << col;
  // Every column fits the list at the opening size: no sideways scrolling.
  int columns = 0;
  for (int col = 0; col < 6; ++col) columns += c.list->columnWidth(col);
  EXPECT_LE(columns, c.list->viewport()->width());
  const int list_height = c.list->height();
  f.resize(f.width() + 200, f.height() + 300);
  ASSERT_TRUE(uitest::wait_until([&] { return c.list->height() == list_height + 300; }));
  // OK and Cancel stay in the bottom-right corner; the list stays above them.
  EXPECT_EQ(f.width() - c.cancel->geometry().right(), 625 - (538 + 75) + 1);
  EXPECT_EQ(f.height() - c.ok->geometry().bottom(), 285 - (251 + 25) + 1);
  EXPECT_LT(c.list->mapTo(&f, QPoint(0, c.list->height())).y(), c.ok->y());
}

TEST_F(SearchFormTest, DotsCycleOneToFiveThenNone) {
  tavrix::ui::SearchDialog f(uitest::server_list());
  const Controls c(f);
  f.show();
  std::vector<QString> seen;
  // Connected after the dialog's own handler, so it sees each tick's text.
  QObject::connect(c.timer, &QTimer::timeout, [&] { seen.push_back(c.status->text()); });
  QTest::mouseClick(c.scan, Qt::LeftButton);
  ASSERT_TRUE(wait_until([&] { return seen.size() >= 14; }));
  const QStringList cycle = {"Searching.",    "Searching..",    "Searching...",
                             "Searching....", "Searching.....", "Searching"};
  int at = cycle.indexOf(seen[0]);
  ASSERT_EQ(at, 0) << "first text: " << seen[0].toStdString();
  for (std::size_t i = 0; i < seen.size(); ++i)
    EXPECT_EQ(seen[i], cycle[static_cast<int>(i % 6)]) << "tick " << i;
}

TEST_F(SearchFormTest, CountdownRestartsWhenANewRowAppears) {
  list().search_timeout = 30;
  tavrix::ui::SearchDialog f(uitest::server_list());
  const Controls c(f);
  f.show();
  QTest::mouseClick(c.scan, Qt::LeftButton);
  // Pretend the search has been quiet for 25 s.
  f.age_countdown(25000);
  ASSERT_TRUE(wait_until(
      [&] { return remaining_in(c.msg->text()) >= 0 && remaining_in(c.msg->text()) <= 5; }));
  list().add_result(reply(7, false), 0);
  ASSERT_TRUE(wait_until([&] { return c.list->rowCount() == 1; }));
  // The tick that adds the row has already written its text; the next one shows the
  // restarted countdown.
  int ticks = 0;
  auto counting = QObject::connect(c.timer, &QTimer::timeout, [&] { ++ticks; });
  ASSERT_TRUE(wait_until([&] { return ticks >= 1; }));
  QObject::disconnect(counting);
  EXPECT_TRUE(c.msg->text().startsWith("Found 1 Tavrix(s), remaining "))
      << c.msg->text().toStdString();
  EXPECT_GE(remaining_in(c.msg->text()), 28);

  // Without a new row nothing restarts it.
  f.age_countdown(40000);
  ASSERT_TRUE(wait_until([&] { return remaining_in(c.msg->text()) == 0; }))
      << c.msg->text().toStdString();
}

TEST_F(SearchFormTest, WorkerEndSeenByTimerCompletesWithZero) {
  list().search_timeout = 3;
  tavrix::ui::SearchDialog f(uitest::server_list());
  const Controls c(f);
  f.show();
  QTest::mouseClick(c.scan, Qt::LeftButton);
  ASSERT_TRUE(wait_until([&] { return c.status->text() == "Complete."; }, 30s));
  EXPECT_EQ(c.msg->text(), "Found 0 Tavrix(s).");
  EXPECT_TRUE(c.scan->isEnabled());
  EXPECT_FALSE(c.stop->isEnabled());
  EXPECT_FALSE(c.timer->isActive());
}

// A whole search through the worker and the engine: three simulated servers on
// loopback, reached by a search aimed at the simulator's alias address. They answer in
// the 1029 family only, so the search runs its quiet rounds instead of ending at the
// first answer.
TEST_F(SearchFormTest, ThreeSimulatedServersAppearInOrderThenComplete) {
  devsim::Fleet fleet;
  for (int n = 0; n < 3; ++n) {
    devsim::Device d = tavrix_test::loopback_device(n, 4, 15, n == 1);
    d.answers_4800 = false;
    fleet.devices.push_back(d);
  }
  tavrix_test::LoopbackSim sim(fleet);
  qeld::set_device_ports(sim.port_4800(), sim.port_1029());
  qeld::set_model_map({model(0, 0x2613, "TX-2613 Dual", 8)});
  list().search_timeout = 3;

  tavrix::ui::SearchDialog f(uitest::server_list());

  const Controls c(f);
  f.show();
  QTest::mouseClick(c.scan, Qt::LeftButton);
  ASSERT_TRUE(wait_until([&] { return c.status->text() == "Complete."; }, 40s));
  EXPECT_EQ(c.msg->text(), "Found 3 Tavrix(s).");
  ASSERT_EQ(c.list->rowCount(), 3);
  for (int row = 0; row < 3; ++row) {
    EXPECT_EQ(cell(c, row, 0), QString::number(row + 1));
    EXPECT_TRUE(uitest::row_ticked(c.list, row));
    const qeld::DeviceIdentity* r = list().result_at(result_index(c, row));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(cell(c, row, 3).toStdString(), tavrix::ip_text(r->ip1, true));
  }
  std::vector<std::string> ips;
  for (int row = 0; row < 3; ++row) ips.push_back(cell(c, row, 3).toStdString());
  std::sort(ips.begin(), ips.end());
  EXPECT_EQ(ips, (std::vector<std::string>{"127.0.0.2", "127.0.0.3", "127.0.0.4"}));
  // The dual-LAN server shows its second LAN (0x82 replies carry it); the others dashes.
  int dual_rows = 0;
  for (int row = 0; row < 3; ++row)
    if (cell(c, row, 4) != "---") {
      ++dual_rows;
      EXPECT_EQ(cell(c, row, 5), "127.0.1.3");
    }
  EXPECT_EQ(dual_rows, 1);
}

class SearchFormOkTest : public SearchFormTest {
 protected:
  // Two servers that were in the list before the search.
  void add_old_servers() {
    for (uint8_t n : {200, 201}) {
      auto rec = list().make_server_record(reply(n, n == 201));
      ASSERT_TRUE(rec);
      ASSERT_EQ(list().add_server(rec), 1);
    }
  }
};

TEST_F(SearchFormOkTest, OkWithTwoOfFiveTickedKeepsExactlyThoseInRowOrder) {
  add_old_servers();
  ASSERT_EQ(qeld::open_handle_count(), 3);
  tavrix::ui::SearchDialog f(uitest::server_list());
  const Controls c(f);
  f.show();
  scan_with(c,
            {reply(1, false), reply(2, true), reply(3, false), reply(4, false), reply(5, false)});
  QTest::mouseClick(c.clear_all, Qt::LeftButton);
  uitest::set_row_ticked(c.list, 1, true);
  uitest::set_row_ticked(c.list, 3, true);
  QTest::mouseClick(c.ok, Qt::LeftButton);

  EXPECT_EQ(f.result(), QDialog::Accepted);
  EXPECT_FALSE(f.isVisible());
  ASSERT_EQ(list().server_count(), 2);
  const tavrix::ServerRecord* a = list().server_at(0);
  const tavrix::ServerRecord* b = list().server_at(1);
  EXPECT_EQ(std::memcmp(a->mac1, reply(2, true).mac1, 6), 0);
  EXPECT_EQ(a->dual_lan, 1);
  EXPECT_EQ(std::memcmp(b->mac1, reply(4, false).mac1, 6), 0);
  EXPECT_EQ(b->dual_lan, 0);
  EXPECT_EQ(a->monitoring.load(), 0);
  // The old servers' three handles were closed; the new ones hold three (dual + single).
  EXPECT_EQ(qeld::open_handle_count(), 3);
  qeld::DeviceIdentity h;
  qeld::TimeoutBlock t;
  ASSERT_TRUE(qeld::handle_snapshot(a->handle2.id(), h, t));
  EXPECT_EQ(h.ip1, reply(2, true).ip2);
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(SearchFormOkTest, OkStopsRunningPollersAndLaterMonitoringStillRuns) {
  add_old_servers();
  // Short waits, so that a query in progress does not outlast the stop.
  ASSERT_TRUE(qeld::handle_set_timeouts(list().server_at(0)->handle1.id(), 100, 1));
  list().server_at(0)->monitoring = 1;
  list().start_poller(0, 0);
  ASSERT_TRUE(wait_until([] { return uitest::server_list().poller_count() == 1; }));

  tavrix::ui::SearchDialog f(uitest::server_list());

  const Controls c(f);
  f.show();
  scan_with(c, {reply(1, false)});
  QTest::mouseClick(c.ok, Qt::LeftButton);
  ASSERT_EQ(f.result(), QDialog::Accepted);
  EXPECT_TRUE(wait_until([] { return uitest::server_list().poller_count() == 0; }, 6s));
  ASSERT_EQ(list().server_count(), 1);

  // Replacing the list must not leave every future poller stopped.
  ASSERT_TRUE(qeld::handle_set_timeouts(list().server_at(0)->handle1.id(), 100, 1));
  list().server_at(0)->monitoring = 1;
  list().start_poller(0, 0);
  EXPECT_TRUE(wait_until([] { return uitest::server_list().poller_count() == 1; }))
      << "a poller started after OK never ran";
}

TEST_F(SearchFormOkTest, OkAsksBeforeDroppingMonitoredServersAndOffersToResumeTheOthers) {
  add_old_servers();
  list().server_at(0)->monitoring = 1;  // 200 monitored, 201 idle
  list().server_at(1)->monitoring = 0;
  const auto before = tavrix::ui::listed_servers(list());
  tavrix::ui::SearchDialog f(uitest::server_list());
  const Controls c(f);
  f.show();
  scan_with(c, {reply(7, false), reply(200, false), reply(201, true)});

  // 200 not ticked: the question names it; Cancel goes back to the ticks, list intact.
  uitest::set_row_ticked(c.list, 1, false);
  answers_ = {tavrix::ui::MsgResult::Cancel};
  QTest::mouseClick(c.ok, Qt::LeftButton);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_TRUE(boxes_[0].contains("127.0.1.200")) << boxes_[0].toStdString();
  EXPECT_FALSE(boxes_[0].contains("127.0.1.201")) << "an idle server goes without a word";
  EXPECT_TRUE(f.isVisible());
  EXPECT_EQ(f.result(), 0);
  ASSERT_EQ(list().server_count(), 2);
  EXPECT_EQ(list().server_at(0)->monitoring.load(), 1);

  // Ticked again: found again, so nothing to ask; the list is replaced.
  uitest::set_row_ticked(c.list, 1, true);
  boxes_.clear();
  QTest::mouseClick(c.ok, Qt::LeftButton);
  EXPECT_TRUE(boxes_.empty());
  ASSERT_EQ(f.result(), QDialog::Accepted);
  ASSERT_EQ(list().server_count(), 3);
  EXPECT_EQ(list().server_at(1)->monitoring.load(), 0) << "the new record starts Idle";

  // The window then offers to go on monitoring the one that was monitored, by identity.
  for (auto answer : {tavrix::ui::MsgResult::Cancel, tavrix::ui::MsgResult::Yes}) {
    answers_ = {answer};
    boxes_.clear();
    std::vector<int> started;
    const int n = tavrix::ui::offer_to_resume(nullptr, list(), before, [&](int i) {
      started.push_back(i);
      return true;
    });
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_TRUE(boxes_[0].contains("127.0.1.200")) << boxes_[0].toStdString();
    const bool yes = answer == tavrix::ui::MsgResult::Yes;
    EXPECT_EQ(n, yes ? 1 : 0);
    EXPECT_EQ(started, yes ? std::vector<int>{1} : std::vector<int>{});
  }
  boxes_.clear();
  EXPECT_EQ(tavrix::ui::offer_to_resume(nullptr, list(), {}, [](int) { return true; }), 0);
  list().server_at(1)->monitoring = 1;
  EXPECT_EQ(tavrix::ui::offer_to_resume(nullptr, list(), before, [](int) { return true; }), 0);
  list().server_at(1)->monitoring = 0;
  EXPECT_TRUE(boxes_.empty()) << "nothing monitored before, or still monitored: nothing to ask";
}

TEST_F(SearchFormOkTest, OkWithNothingTickedAndCancelLeaveTheListAlone) {
  add_old_servers();
  {
    tavrix::ui::SearchDialog f(uitest::server_list());
    const Controls c(f);
    f.show();
    scan_with(c, {reply(1, false), reply(2, false)});
    QTest::mouseClick(c.clear_all, Qt::LeftButton);
    QTest::mouseClick(c.ok, Qt::LeftButton);
    EXPECT_EQ(f.result(), QDialog::Rejected);
    EXPECT_FALSE(f.isVisible());
  }
  {
    tavrix::ui::SearchDialog f(uitest::server_list());
    const Controls c(f);
    f.show();
    scan_with(c, {reply(3, false)});
    QTest::mouseClick(c.cancel, Qt::LeftButton);
    EXPECT_EQ(f.result(), QDialog::Rejected);
    EXPECT_FALSE(c.timer->isActive());
  }
  ASSERT_EQ(list().server_count(), 2);
  EXPECT_EQ(std::memcmp(list().server_at(0)->mac1, reply(200, false).mac1, 6), 0);
  EXPECT_EQ(std::memcmp(list().server_at(1)->mac1, reply(201, true).mac1, 6), 0);
  EXPECT_EQ(qeld::open_handle_count(), 3);
}

// The real broadcast, in the lab only: the demo's tour drives the program's windows in
// the lab's monitor namespace (search, tick all, OK, monitor, the other dialogs) and
// fails when a step does not happen.
TEST(SearchFormLab, TourFindsTheLabServersByBroadcast) {
  TAVRIX_SKIP_UNLESS_LAB();
  const std::string tour = tavrix_test::bin_dir() + "/tavrix-demo-tour";
  if (::access(tour.c_str(), X_OK) != 0)
    GTEST_SKIP() << "tavrix-demo-tour not built in " << tavrix_test::bin_dir();
  QTemporaryDir out;
  ASSERT_TRUE(out.isValid());
  tavrix_test::Lab lab;
  std::string log;
  const int rc = lab.exec("cd '" + tavrix_test::bin_dir() +
                              "' && QT_QPA_PLATFORM=offscreen ./tavrix-demo-tour --out '" +
                              out.path().toStdString() + "' --refresh-wait 4",
                          &log);
  EXPECT_EQ(rc, 0) << log << lab.devsim_log();
  EXPECT_NE(log.find("Found "), std::string::npos) << log;
  EXPECT_EQ(log.find("the server list holds 0 server"), std::string::npos) << log;
  EXPECT_NE(log.find("message box: Already exists in the list!"), std::string::npos) << log;
  const QStringList shots = QDir(out.path()).entryList({"*.png"});
  EXPECT_TRUE(shots.filter("search-complete").size() == 1) << log;
  EXPECT_TRUE(shots.filter("monitor-server-1").size() == 1) << log;
}

}  // namespace
