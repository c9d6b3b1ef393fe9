// Shutdown: the "Closing..." dialog closes itself about 100 ms after showing, its wait
// for the pollers is bounded at 5000 ms even when a poller hangs in a query, and
// every poller is stopped. A hanging device is a silent UDP socket on loopback.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>

#include "ui/close_dialog.h"
#include "ui/main_window.h"
#include "ui/ui_test_util.h"

namespace {

using tavrix::ds_list;
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
    EXPECT_TRUE(uitest::wait_until([] { return ds_list().poller_count() == 0; }, 20s));
    tavrix::ui::destroy_forms();
    uitest::reset_list();
    qeld::library_stop();
    qeld::set_device_ports(qeld::kPort4800, qeld::kPort1029);
    qeld::set_address_source(nullptr);
  }
  void open_forms() {
    tavrix::ui::create_forms();
    m_mainform->show();
    ASSERT_TRUE(uitest::wait_until([] { return m_mainform->isVisible(); }));
    uitest::set_test_model_map();
  }
  void start(int index) {
    m_mainform->rebuild_tree(index);
    m_mainform->m_start_act->trigger();
    ASSERT_EQ(ds_list().server_at(index)->monitoring.load(), 1);
  }
  qint64 timed_close() {
    QElapsedTimer t;
    t.start();
    m_mainform->close();
    return t.elapsed();
  }

  uitest::MsgRecorder boxes;
};

TEST_F(Shutdown, CloseDialogWithoutPollersClosesItselfAfterAboutATenthOfASecond) {
  Tm_close_form f;
  EXPECT_EQ(f.windowTitle(), "Close");
  EXPECT_EQ(f.m_close_msg->font().pixelSize(), 13);
  QElapsedTimer t;
  t.start();
  const int result = f.exec();
  const qint64 elapsed = t.elapsed();
  EXPECT_EQ(f.m_close_msg->text(), "Closing...");
  EXPECT_EQ(result, QDialog::Accepted);
  EXPECT_GE(elapsed, 90);
  EXPECT_LT(elapsed, 3000);
  EXPECT_FALSE(f.m_close_timer->isActive());
}

TEST_F(Shutdown, MonitoredServersAreStoppedAndTheWindowCloses) {
  open_forms();
  ds_list().refresh_rate = 30;  // pollers spend their time asleep in the pause
  ds_list().add_server(uitest::make_server(uitest::kModelA, "10.9.0.1", 1));
  ds_list().add_server(uitest::make_server(uitest::kModelDual, "10.9.0.2", 2, "10.9.1.2"));
  start(0);
  start(1);
  ASSERT_TRUE(uitest::wait_until([] { return ds_list().poller_count() == 3; }));
  const qint64 elapsed = timed_close();
  EXPECT_LT(elapsed, 8000);
  EXPECT_FALSE(m_mainform->isVisible());
  EXPECT_TRUE(ds_list().stop_all());
  EXPECT_FALSE(qeld::library_started());
}

TEST_F(Shutdown, WaitForAHangingPollerIsBoundedAtFiveSeconds) {
  open_forms();
  ASSERT_TRUE(qeld::library_started());
  SilentDevice device;
  qeld::set_device_ports(device.port(), device.port());
  qeld::_DS_INFO reply;
  reply.model_key = uitest::kKey;
  reply.model_id = uitest::kModelA;
  reply.ip1 = reply.ip2 = htonl(INADDR_LOOPBACK);
  int handle = -1;
  ASSERT_EQ(qeld::open_handle(&reply, &handle), 1);
  // A stop ends a query after the attempt under way, so one attempt of 7000 ms is what
  // outlasts the close dialog's wait.
  ASSERT_TRUE(qeld::handle_set_timeouts(handle, 7000, 2));
  auto rec = uitest::make_server(uitest::kModelA, "127.0.0.1", 3);
  rec->handle1 = handle;
  ASSERT_EQ(ds_list().add_server(rec), 1);
  start(0);
  ASSERT_TRUE(uitest::wait_until([&] { return device.drain() > 0; }));
  ASSERT_EQ(ds_list().poller_count(), 1);

  const qint64 elapsed = timed_close();
  EXPECT_GE(elapsed, 4900);  // it did wait for the poller
  EXPECT_LT(elapsed, 9000);  // but not for the query to end
  EXPECT_FALSE(m_mainform->isVisible());
  EXPECT_FALSE(qeld::library_started());
}

}  // namespace
