// Shutdown: the "Closing..." dialog closes itself about 100 ms after showing, its wait
// for the pollers is bounded at 5000 ms even when a poller hangs in a query, and
// every poller is stopped. A hanging device is a silent UDP socket on loopback.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "ui/close_dialog.h"
#include "ui/main_window.h"
#include "ui/search_dialog.h"
#include "ui/ui_test_util.h"

namespace {

using uitest::server_list;
using namespace std::chrono_literals;

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new uitest::QtEnv);

// Stands in for a device that never answers.
using SilentDevice = uitest::Sink;

class Shutdown : public ::testing::Test {
 protected:
  void SetUp() override {
    uitest::reset_list();
    qeld::set_address_source([](qeld::AddressList& out) {
      out.count = 1;
      out.addr[0] = htonl(INADDR_LOOPBACK);
      return 1;
    });
  }
  void TearDown() override {
    EXPECT_TRUE(uitest::wait_until([] { return server_list().poller_count() == 0; }, 20s));
    delete w;
    w = nullptr;
    uitest::reset_list();
    qeld::library_stop();
    qeld::set_device_ports(qeld::kPort4800, qeld::kPort1029);
    qeld::set_address_source(nullptr);
  }
  void open_forms() {
    w = new tavrix::ui::MainWindow(uitest::server_list());
    w->show();
    ASSERT_TRUE(uitest::wait_until([this] { return w->isVisible(); }));
    uitest::set_test_model_map();
  }
  void start(int index) {
    w->rebuild_tree(index);
    uitest::action(w, "m_start_act")->trigger();
    ASSERT_EQ(server_list().server_at(index)->monitoring.load(), 1);
  }
  qint64 timed_close() {
    QElapsedTimer t;
    t.start();
    w->close();
    return t.elapsed();
  }

  uitest::MsgRecorder boxes;
  tavrix::ui::MainWindow* w = nullptr;
};

TEST_F(Shutdown, CloseDialogWithoutPollersClosesItselfAfterAboutATenthOfASecond) {
  tavrix::ui::CloseDialog f(uitest::server_list());
  EXPECT_EQ(f.windowTitle(), "Close");
  EXPECT_EQ(uitest::part<QLabel>(&f, "m_close_msg")->font().pixelSize(), 13);
  QElapsedTimer t;
  t.start();
  const int result = f.exec();
  const qint64 elapsed = t.elapsed();
  EXPECT_EQ(uitest::part<QLabel>(&f, "m_close_msg")->text(), "Closing...");
  EXPECT_EQ(result, QDialog::Accepted);
  EXPECT_GE(elapsed, 90);
  EXPECT_LT(elapsed, 3000);
  EXPECT_FALSE(uitest::part<QTimer>(&f, "m_close_timer")->isActive());
}

TEST_F(Shutdown, MonitoredServersAreStoppedAndTheWindowCloses) {
  open_forms();
  server_list().refresh_rate = 30;  // pollers spend their time asleep in the pause
  server_list().add_server(uitest::make_server(uitest::kModelA, "10.9.0.1", 1));
  server_list().add_server(uitest::make_server(uitest::kModelDual, "10.9.0.2", 2, "10.9.1.2"));
  start(0);
  start(1);
  ASSERT_TRUE(uitest::wait_until([] { return server_list().poller_count() == 3; }));
  const qint64 elapsed = timed_close();
  EXPECT_LT(elapsed, 8000);
  EXPECT_FALSE(w->isVisible());
  EXPECT_TRUE(server_list().stop_all());
  EXPECT_FALSE(qeld::library_started());
}

TEST_F(Shutdown, WaitForAHangingPollerIsBoundedAtFiveSeconds) {
  open_forms();
  ASSERT_TRUE(qeld::library_started());
  SilentDevice device;
  qeld::set_device_ports(device.port(), device.port());
  qeld::DeviceIdentity reply;
  reply.model_key = uitest::kKey;
  reply.model_id = uitest::kModelA;
  reply.ip1 = reply.ip2 = htonl(INADDR_LOOPBACK);
  auto rec = uitest::make_server(uitest::kModelA, "127.0.0.1", 3);
  rec->handle1 = tavrix::core::DeviceHandle::open(reply);
  ASSERT_TRUE(rec->handle1.valid());
  // A stop ends a query after the attempt under way, so one attempt of 7000 ms is what
  // outlasts the close dialog's wait.
  ASSERT_TRUE(qeld::handle_set_timeouts(rec->handle1.id(), 7000, 2));
  ASSERT_EQ(server_list().add_server(rec), 1);
  start(0);
  ASSERT_TRUE(uitest::wait_until([&] { return device.drain() > 0; }));
  ASSERT_EQ(server_list().poller_count(), 1);

  const qint64 elapsed = timed_close();
  EXPECT_GE(elapsed, 4900);  // it did wait for the poller
  EXPECT_LT(elapsed, 9000);  // but not for the query to end
  EXPECT_FALSE(w->isVisible());
  EXPECT_FALSE(qeld::library_started());
}

// A search left running by its dialog (Cancel does not stop it): closing the window
// ends it and joins its worker before the library stops, so nothing of it is left for
// the statics' destruction at exit.
TEST_F(Shutdown, ClosingDuringASearchEndsTheSearchFirst) {
  open_forms();
  SilentDevice device;
  qeld::set_device_ports(device.port(), device.port());
  server_list().search_timeout = 60;
  tavrix::ui::SearchDialog::set_scan_target(htonl(INADDR_LOOPBACK));
  {
    tavrix::ui::SearchDialog f(uitest::server_list());
    f.show();
    QTest::mouseClick(uitest::part<QPushButton>(&f, "m_enum_scan"), Qt::LeftButton);
    ASSERT_TRUE(uitest::wait_until([&] { return device.drain() > 0; }));
    QTest::mouseClick(uitest::part<QPushButton>(&f, "m_enum_cancel"), Qt::LeftButton);
  }
  ASSERT_TRUE(server_list().search_running());

  const qint64 elapsed = timed_close();
  EXPECT_FALSE(server_list().search_running());
  EXPECT_LT(elapsed, 8000);
  EXPECT_FALSE(qeld::library_started());
  // The worker has let go of the library lock.
  ASSERT_TRUE(qeld::library_lock().try_lock());
  qeld::library_lock().unlock();
}

// The whole exit with a search running, in a child process so that it really ends:
// with the window closed first (the program's way) and by exit() alone, when only
// the server list's destructor is left to end the search. The child must end at once
// with status 0 and, in the sanitizer builds, without a report.
TEST(ExitDuringSearch, ProcessEndsCleanly) {
  for (const char* way : {"close", "exit"}) {
    SCOPED_TRACE(way);
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TAVRIX_EXIT_DURING_SEARCH", way);
    // The child leaves the application object to the end of the process on purpose, so
    // what it holds is not a leak to report; every other report stays on.
    const QString asan = env.value("ASAN_OPTIONS");
    env.insert("ASAN_OPTIONS", asan + (asan.isEmpty() ? "" : ":") + "detect_leaks=0");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(
        QCoreApplication::applicationFilePath(),
        {"--gtest_also_run_disabled_tests", "--gtest_filter=DISABLED_ExitDuringSearchChild.*"});
    ASSERT_TRUE(child.waitForFinished(120000));
    const QString out = QString::fromLocal8Bit(child.readAll());
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << out.toStdString();
    EXPECT_EQ(child.exitCode(), 0) << out.toStdString();
    EXPECT_TRUE(out.contains("child: searching")) << out.toStdString();
    EXPECT_FALSE(out.contains("Sanitizer")) << out.toStdString();
    EXPECT_FALSE(out.contains("runtime error")) << out.toStdString();
  }
}

// Run only as the child of the test above; disabled, so ctest never lists it.
TEST(DISABLED_ExitDuringSearchChild, Run) {
  const QByteArray way = qgetenv("TAVRIX_EXIT_DURING_SEARCH");
  ASSERT_FALSE(way.isEmpty()) << "runs as the child of ExitDuringSearch";
  qeld::set_address_source([](qeld::AddressList& out) {
    out.count = 1;
    out.addr[0] = htonl(INADDR_LOOPBACK);
    return 1;
  });
  SilentDevice* device = new SilentDevice;  // stays open until the process ends
  qeld::set_device_ports(device->port(), device->port());
  auto* w = new tavrix::ui::MainWindow(uitest::server_list());
  w->show();
  server_list().search_timeout = 60;
  server_list().start_search(1, htonl(INADDR_LOOPBACK));
  ASSERT_TRUE(uitest::wait_until([&] { return device->drain() > 0; }));
  std::printf("child: searching\n");
  std::fflush(stdout);
  if (way == "close") {
    w->close();
    delete w;
  }
  std::exit(0);
}

}  // namespace
