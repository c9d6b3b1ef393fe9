// The search-by-IP dialog on the offscreen platform: typed addresses, the Search
// button, its timer and its message boxes, against the device simulator on loopback
// (or a silent loopback socket). Nothing here is sent beyond 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/server_list.h"
#include "qeld/library.h"
#include "qeld/model_map.h"
#include "simulator.h"
#include "ui/message_box.h"
#include "ui/search_ip_dialog.h"
#include "ui/ui_test_util.h"

namespace {

using namespace std::chrono_literals;
using tavrix::ui::MsgButtons;
using tavrix::ui::MsgIcon;
using tavrix::ui::MsgResult;

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

uint32_t ip(const char* text) {
  return ::inet_addr(text);
}

devsim::Device device(const char* name, uint32_t key, uint16_t id, uint8_t mac_tail) {
  devsim::Device d;
  d.name = name;
  d.model_key = key;
  d.model_id = id;
  d.mac1 = {0x00, 0x90, 0xE8, 0x30, 0x00, mac_tail};
  d.ip1 = ip("127.0.0.1");
  d.ports.resize(4);
  return d;
}

struct Box {
  QString text;
  MsgIcon icon;
  MsgButtons buttons;
};

class SearchIpFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qeld::set_address_source([](qeld::AddressList& out) {
      out.count = 1;
      out.addr[0] = htonl(INADDR_LOOPBACK);
      return 1;
    });
    qeld::set_device_ports(sink4800_.port(), sink1029_.port());
    ASSERT_EQ(qeld::library_start(), 1);
    qeld::set_model_map(
        {model(0x11, 0x1204, "TX-1204 Test", 4), model(0, 0x2613, "TX-2613 Dual", 8)});
    list().search_timeout = 3;
    tavrix::ui::set_message_box_handler(
        [this](QWidget*, const QString& text, MsgIcon icon, MsgButtons buttons) {
          boxes_.push_back({text, icon, buttons});
          return MsgResult::Ok;
        });
  }
  void TearDown() override {
    list().abort_search();
    EXPECT_TRUE(wait_until(
        [] {
          return uitest::server_list().search_finished() || !uitest::server_list().search_running();
        },
        15s));
    list().clear_servers();
    list().clear_results();
    list().search_timeout = 5;
    if (sim_) sim_->stop();
    tavrix::ui::set_message_box_handler(nullptr);
    qeld::set_address_source(nullptr);
  }
  static tavrix::ServerList& list() { return uitest::server_list(); }

  void start_sim(std::vector<devsim::Device> devices) {
    devsim::Fleet fleet;
    fleet.devices = std::move(devices);
    devsim::SimConfig cfg;  // 127.0.0.1, ephemeral ports, no broadcast alias
    sim_ = std::make_unique<devsim::Simulator>(fleet, cfg);
    std::string err;
    ASSERT_TRUE(sim_->start(err)) << err;
    qeld::set_device_ports(sim_->port_4800(), sim_->port_1029());
  }

  // Types the address into a fresh dialog and presses Search.
  void search(tavrix::ui::SearchIpDialog& f, const QString& text) {
    f.show();
    part<QLineEdit>(&f, "m_ipaddress")->clear();
    QTest::keyClicks(part<QLineEdit>(&f, "m_ipaddress"), text);
    QTest::mouseClick(part<QPushButton>(&f, "m_search"), Qt::LeftButton);
  }

  Sink sink4800_, sink1029_;
  std::unique_ptr<devsim::Simulator> sim_;
  std::vector<Box> boxes_;
};

TEST(ValidSearchAddress, LastOctetMustBeNeitherZeroNor255) {
  for (const char* bad :
       {"192.168.1.0", "192.168.1.255", "255.255.255.255", "", "abc", "10.0.0", "1.2.3.256"})
    EXPECT_FALSE(tavrix::ui::SearchIpDialog::valid_search_address(ip(bad))) << '"' << bad << '"';
  for (const char* good : {"0.0.0.1", "10.0.0.254", "127.0.0.1", "255.255.255.1", "0.0.0.254"})
    EXPECT_TRUE(tavrix::ui::SearchIpDialog::valid_search_address(ip(good))) << good;
  // inet_addr's short forms: "1.2.3" is 1.2.0.3 and "1.2.768" is 1.2.3.0.
  EXPECT_TRUE(tavrix::ui::SearchIpDialog::valid_search_address(ip("1.2.3")));
  EXPECT_FALSE(tavrix::ui::SearchIpDialog::valid_search_address(ip("1.2.768")));
}

TEST_F(SearchIpFormTest, RefusedAddressesSayInvalidAndSendNothing) {
  tavrix::ui::SearchIpDialog f(uitest::server_list());
  f.show();
  EXPECT_EQ(f.focusWidget(), part<QLineEdit>(&f, "m_ipaddress"))
      << "focus not in the edit on showing";
  EXPECT_TRUE(part<QLabel>(&f, "m_search_status")->text().isEmpty());
  for (const char* text : {"192.168.1.0", "192.168.1.255", "255.255.255.255", "", "abc"}) {
    // Never let a refused address through to the network, whatever the dialog does.
    ASSERT_FALSE(tavrix::ui::SearchIpDialog::valid_search_address(ip(text))) << text;
    boxes_.clear();
    part<QPushButton>(&f, "m_close")->setFocus();
    search(f, text);
    ASSERT_EQ(boxes_.size(), 1u) << '"' << text << '"';
    EXPECT_EQ(boxes_[0].text, "Invalid IP Address");
    EXPECT_EQ(boxes_[0].icon, MsgIcon::Error);
    EXPECT_EQ(boxes_[0].buttons, MsgButtons::Ok);
    EXPECT_EQ(f.focusWidget(), part<QLineEdit>(&f, "m_ipaddress"))
        << "focus not back in the edit after " << text;
    EXPECT_TRUE(uitest::action(&f, "m_search_act")->isEnabled());
    EXPECT_TRUE(part<QPushButton>(&f, "m_search")->isEnabled());
    EXPECT_TRUE(f.isVisible());
    EXPECT_FALSE(list().search_running());
  }
  QTest::qWait(200);
  EXPECT_EQ(sink4800_.drain() + sink1029_.drain(), 0);
  EXPECT_FALSE(part<QTimer>(&f, "m_searchip_timer")->isActive());
}

TEST_F(SearchIpFormTest, AnsweringDeviceIsAddedAndTheSameAddressAgainIsRefused) {
  start_sim({device("one", 0x11, 0x1204, 0x01)});
  {
    tavrix::ui::SearchIpDialog f(uitest::server_list());
    search(f, "  127.0.0.1 ");  // pasted with spaces around it
    EXPECT_EQ(part<QLineEdit>(&f, "m_ipaddress")->text(), "127.0.0.1");
    // While searching the action (and its button) is off.
    EXPECT_TRUE(part<QTimer>(&f, "m_searchip_timer")->isActive());
    EXPECT_FALSE(uitest::action(&f, "m_search_act")->isEnabled());
    EXPECT_FALSE(part<QPushButton>(&f, "m_search")->isEnabled());
    ASSERT_TRUE(wait_until([&] { return !f.isVisible(); }));
    EXPECT_EQ(f.result(), QDialog::Accepted);
  }
  EXPECT_TRUE(boxes_.empty());
  ASSERT_EQ(list().server_count(), 1);
  const tavrix::ServerRecord* s = list().server_at(0);
  EXPECT_EQ(s->ip1, ip("127.0.0.1"));
  EXPECT_EQ(tavrix::mac_text(s->mac1), "00:90:E8:30:00:01");
  EXPECT_EQ(s->model_id, 0x1204);
  EXPECT_EQ(s->port_count, 4);
  EXPECT_EQ(s->dual_lan, 0);
  EXPECT_GE(s->handle1.id(), 0);

  {
    tavrix::ui::SearchIpDialog f(uitest::server_list());
    search(f, "127.0.0.1");
    ASSERT_TRUE(wait_until([&] { return !f.isVisible(); }));
    EXPECT_EQ(f.result(), QDialog::Rejected);
  }
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Already exists in the list!");
  EXPECT_EQ(boxes_[0].icon, MsgIcon::Warning);
  EXPECT_EQ(boxes_[0].buttons, MsgButtons::Ok);
  EXPECT_EQ(list().server_count(), 1);
  EXPECT_EQ(qeld::open_handle_count(), 1);
}

TEST_F(SearchIpFormTest, TwoReplyModelIsAddedWithTheReplyThatNamesItsSecondLan) {
  // The device's 1029-family answer (no second MAC) comes first; its 4800-family
  // answer, which carries the second LAN, comes half a second later.
  devsim::Device first = device("dual-1029", 0x11, 0x2613, 0x05);
  first.answers_4800 = false;
  first.code_1029 = 0xC9;
  devsim::Device second = device("dual-4800", 0x22, 0x2613, 0x05);
  second.answers_1029 = false;
  second.layout_4800 = 40;
  second.mac2 = {0x00, 0x90, 0xE8, 0x40, 0x00, 0x05};
  second.ip2 = ip("127.0.0.3");
  second.faults.delay_min_ms = second.faults.delay_max_ms = 500;
  start_sim({first, second});

  tavrix::ui::SearchIpDialog f(uitest::server_list());
  search(f, "127.0.0.1");
  ASSERT_TRUE(wait_until([&] { return !f.isVisible(); }));
  EXPECT_EQ(f.result(), QDialog::Accepted);
  ASSERT_EQ(list().server_count(), 1);
  const tavrix::ServerRecord* s = list().server_at(0);
  EXPECT_EQ(s->model_key, 0x22u);
  EXPECT_EQ(s->dual_lan, 1);
  EXPECT_EQ(tavrix::mac_text(s->mac2), "00:90:E8:40:00:05");
  EXPECT_EQ(s->ip2, ip("127.0.0.3"));
  EXPECT_GE(s->handle2.id(), 0);
}

TEST_F(SearchIpFormTest, TwoReplyModelWithOneReplyIsAddedWhenTheSearchEnds) {
  devsim::Device only = device("dual-1029", 0x11, 0x2613, 0x06);
  only.answers_4800 = false;
  only.code_1029 = 0xC9;
  start_sim({only});

  tavrix::ui::SearchIpDialog f(uitest::server_list());
  search(f, "127.0.0.1");
  ASSERT_TRUE(wait_until([] { return uitest::server_list().result_count() == 1; }));
  // It waits for a second reply instead of taking the first at once.
  QTest::qWait(600);
  EXPECT_TRUE(f.isVisible());
  EXPECT_EQ(list().server_count(), 0);
  ASSERT_TRUE(wait_until([&] { return !f.isVisible(); }, 20s));
  EXPECT_EQ(f.result(), QDialog::Accepted);
  ASSERT_EQ(list().server_count(), 1);
  EXPECT_EQ(tavrix::mac_text(list().server_at(0)->mac1), "00:90:E8:30:00:06");
  EXPECT_EQ(list().server_at(0)->dual_lan, 0);
}

TEST_F(SearchIpFormTest, SilentAddressCountsDownAndClosesWithCancel) {
  // The device ports stay on the silent sink.
  tavrix::ui::SearchIpDialog f(uitest::server_list());
  std::vector<int> shown;
  QObject::connect(part<QTimer>(&f, "m_searchip_timer"), &QTimer::timeout, [&] {
    const QString t = part<QLabel>(&f, "m_search_status")->text();
    if (t.startsWith("Searching, remaining ") && t.endsWith(" seconds..."))
      shown.push_back(t.section(' ', 2, 2).toInt());
  });
  search(f, "127.0.0.1");
  ASSERT_TRUE(wait_until([&] { return !f.isVisible(); }, 30s));
  EXPECT_EQ(f.result(), QDialog::Rejected);
  // Nothing answered, and the dialog says so before it closes.
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "No Tavrix server answered at 127.0.0.1.");
  EXPECT_EQ(boxes_[0].icon, MsgIcon::Information);
  EXPECT_EQ(list().server_count(), 0);
  EXPECT_GT(sink4800_.drain(), 0) << "the search never reached the address";

  ASSERT_FALSE(shown.empty());
  EXPECT_GE(shown.front(), 2);
  EXPECT_LE(shown.front(), 3);
  for (std::size_t i = 1; i < shown.size(); ++i) EXPECT_LE(shown[i], shown[i - 1]) << "at " << i;
  EXPECT_GE(shown.back(), 0);
  EXPECT_LE(shown.back(), 1);
}

TEST_F(SearchIpFormTest, CloseLeavesTheListAlone) {
  start_sim({device("one", 0x11, 0x1204, 0x01)});
  {
    tavrix::ui::SearchIpDialog f(uitest::server_list());
    search(f, "127.0.0.1");
    ASSERT_TRUE(wait_until([&] { return !f.isVisible(); }));
  }
  ASSERT_EQ(list().server_count(), 1);
  tavrix::ui::SearchIpDialog f(uitest::server_list());
  f.show();
  QTest::keyClicks(part<QLineEdit>(&f, "m_ipaddress"), "127.0.0.9");
  QTest::mouseClick(part<QPushButton>(&f, "m_close"), Qt::LeftButton);
  EXPECT_EQ(f.result(), QDialog::Rejected);
  EXPECT_FALSE(f.isVisible());
  EXPECT_EQ(list().server_count(), 1);
  EXPECT_FALSE(list().search_running());
}

}  // namespace
