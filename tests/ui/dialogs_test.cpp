// What the dialogs share, driven by keys as a keyboard user would: Tab to a control,
// then Enter or Escape. A focused button is the one Enter presses; from an edit or a
// list Enter presses the default button; Escape leaves without change. And every
// dialog is set in one form font. Searches go only to a silent loopback socket.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <QApplication>
#include <QFontInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <functional>
#include <memory>

#include "ui/about_box.h"
#include "ui/search_dialog.h"
#include "ui/search_ip_dialog.h"
#include "ui/settings_dialog.h"
#include "ui/ui_test_util.h"

namespace {

using uitest::part;
using uitest::server_list;
using uitest::wait_until;
using namespace std::chrono_literals;

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new uitest::QtEnv);

qeld::DeviceIdentity reply(uint8_t n) {
  qeld::DeviceIdentity r;
  r.model_key = uitest::kKey;
  r.model_id = uitest::kModelA;
  const uint8_t mac1[6] = {0x00, 0x90, 0xE8, 0x40, 0x00, n};
  std::memcpy(r.mac1, mac1, 6);
  r.ip1 = r.ip2 = htonl(0x7F000100u + n);  // 127.0.1.n
  return r;
}

class DialogKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    uitest::reset_list();
    qeld::set_address_source([](qeld::AddressList& out) {
      out.count = 1;
      out.addr[0] = htonl(INADDR_LOOPBACK);
      return 1;
    });
    qeld::set_device_ports(sink_.port(), sink_.port());
    ASSERT_EQ(qeld::library_start(), 1);
    uitest::set_test_model_map();
    tavrix::ui::SearchDialog::set_scan_target(htonl(INADDR_LOOPBACK));
    server_list().search_timeout = 60;
    // One server known before: a dialog that wrongly accepts replaces or extends the list.
    ASSERT_EQ(server_list().add_server(server_list().make_server_record(reply(200))), 1);
  }
  void TearDown() override {
    dialog_.reset();
    server_list().abort_search();
    EXPECT_TRUE(wait_until(
        [] { return server_list().search_finished() || !server_list().search_running(); }, 15s));
    uitest::reset_list();
    qeld::library_stop();
    qeld::set_device_ports(qeld::kPort4800, qeld::kPort1029);
    qeld::set_address_source(nullptr);
  }

  template <class Dialog>
  Dialog* open() {
    auto* d = new Dialog(server_list());
    dialog_.reset(d);
    d->show();
    d->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(d));
    return d;
  }
  // Moves the focus with Tab only, as a user would, until it reaches `target`.
  bool tab_to(QWidget* target) {
    for (int i = 0; i < 30 && QApplication::focusWidget() != target; ++i)
      QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : dialog_.get(),
                      Qt::Key_Tab);
    return QApplication::focusWidget() == target;
  }
  void press(Qt::Key key) { QTest::keyClick(QApplication::focusWidget(), key); }

  // A search dialog with two ticked rows, its search still running.
  tavrix::ui::SearchDialog* open_search_with_rows() {
    auto* f = open<tavrix::ui::SearchDialog>();
    QTest::mouseClick(part<QPushButton>(f, "m_enum_scan"), Qt::LeftButton);
    server_list().add_result(reply(1), 0);
    server_list().add_result(reply(2), 0);
    EXPECT_TRUE(wait_until([&] { return enum_list(f)->rowCount() == 2; }));
    return f;
  }
  static QTableWidget* enum_list(const QDialog* f) { return part<QTableWidget>(f, "m_enum_list"); }
  bool list_is_the_old_one() {
    return server_list().server_count() == 1 &&
           std::memcmp(server_list().server_at(0)->mac1, reply(200).mac1, 6) == 0;
  }

  uitest::Sink sink_;
  uitest::MsgRecorder boxes_;
  std::unique_ptr<QDialog> dialog_;
};

// Each row: the control Tab reaches, the key pressed there, and what must follow.
TEST_F(DialogKeys, SearchDialogEnterPressesTheFocusedButtonElseOk) {
  struct Row {
    const char* control;
    Qt::Key key;
    std::function<void(tavrix::ui::SearchDialog*)> before;  // sets up the state the key acts on
    std::function<void(tavrix::ui::SearchDialog*)> expect;
  };
  const auto open_and_kept = [this](tavrix::ui::SearchDialog* f) {
    EXPECT_TRUE(f->isVisible());
    EXPECT_TRUE(list_is_the_old_one());
  };
  const Row rows[] = {
      {"m_enum_cancel", Qt::Key_Return, nullptr,
       [&](tavrix::ui::SearchDialog* f) {
         EXPECT_FALSE(f->isVisible());
         EXPECT_EQ(f->result(), QDialog::Rejected);
         EXPECT_TRUE(list_is_the_old_one());
       }},
      {"m_enum_clearall", Qt::Key_Enter, nullptr,
       [&](tavrix::ui::SearchDialog* f) {
         open_and_kept(f);
         EXPECT_FALSE(uitest::row_ticked(enum_list(f), 0));
         EXPECT_FALSE(uitest::row_ticked(enum_list(f), 1));
       }},
      {"m_enum_selectall", Qt::Key_Return,
       [](tavrix::ui::SearchDialog* f) { uitest::set_row_ticked(enum_list(f), 1, false); },
       [&](tavrix::ui::SearchDialog* f) {
         open_and_kept(f);
         EXPECT_TRUE(uitest::row_ticked(enum_list(f), 1));
       }},
      {"m_enum_stop", Qt::Key_Return, nullptr,
       [&](tavrix::ui::SearchDialog* f) {
         open_and_kept(f);
         EXPECT_EQ(part<QLabel>(f, "m_enum_status")->text(), "Complete.");
       }},
      {"m_enum_scan", Qt::Key_Return,
       [](tavrix::ui::SearchDialog* f) { part<QPushButton>(f, "m_enum_stop")->click(); },
       [&](tavrix::ui::SearchDialog* f) {
         open_and_kept(f);
         EXPECT_TRUE(part<QPushButton>(f, "m_enum_stop")->isEnabled());
         EXPECT_EQ(enum_list(f)->rowCount(), 0);  // Rescan starts over
       }},
      // From the list Enter is OK: the ticked rows replace the list.
      {"m_enum_list", Qt::Key_Return, nullptr,
       [&](tavrix::ui::SearchDialog* f) {
         EXPECT_EQ(f->result(), QDialog::Accepted);
         ASSERT_EQ(server_list().server_count(), 2);
         EXPECT_EQ(std::memcmp(server_list().server_at(0)->mac1, reply(1).mac1, 6), 0);
       }},
      {"m_enum_list", Qt::Key_Escape, nullptr,
       [&](tavrix::ui::SearchDialog* f) {
         EXPECT_FALSE(f->isVisible());
         EXPECT_EQ(f->result(), QDialog::Rejected);
         EXPECT_TRUE(list_is_the_old_one());
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.control) + (row.key == Qt::Key_Escape ? " Escape" : " Enter"));
    tavrix::ui::SearchDialog* f = open_search_with_rows();
    if (row.before) row.before(f);
    auto* target = f->findChild<QWidget*>(row.control);
    ASSERT_TRUE(target);
    ASSERT_TRUE(tab_to(target)) << "Tab never reached it";
    press(row.key);
    row.expect(f);
    // The next row starts from the list as it was.
    server_list().clear_servers();
    ASSERT_EQ(server_list().add_server(server_list().make_server_record(reply(200))), 1);
  }
}

TEST_F(DialogKeys, SettingsEnterOnCancelStoresNothingEnterInAnEditIsOk) {
  struct Row {
    const char* control;
    Qt::Key key;
    int result;
    int refresh, timeout;  // settings afterwards
  };
  const Row rows[] = {
      {"m_set_cancel", Qt::Key_Return, QDialog::Rejected, 3, 5},
      {"m_set_refresh", Qt::Key_Escape, QDialog::Rejected, 3, 5},
      {"m_set_timeout", Qt::Key_Return, QDialog::Accepted, 7, 9},
      {"m_set_ok", Qt::Key_Enter, QDialog::Accepted, 7, 9},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.control);
    server_list().refresh_rate = 3;
    server_list().search_timeout = 5;
    auto* f = open<tavrix::ui::SettingsDialog>();
    part<QLineEdit>(f, "m_set_refresh")->setText("7");
    part<QLineEdit>(f, "m_set_timeout")->setText("9");
    ASSERT_TRUE(tab_to(f->findChild<QWidget*>(row.control)));
    press(row.key);
    EXPECT_FALSE(f->isVisible());
    EXPECT_EQ(f->result(), row.result);
    EXPECT_EQ(server_list().refresh_rate.load(), row.refresh);
    EXPECT_EQ(server_list().search_timeout.load(), row.timeout);
  }
  EXPECT_TRUE(boxes_.boxes.empty());
}

TEST_F(DialogKeys, SearchIpEnterOnCloseSearchesNothingEnterInTheEditSearches) {
  struct Row {
    const char* control;
    Qt::Key key;
    bool searched;  // Search ran: an empty address gives its message
  };
  const Row rows[] = {
      {"m_close", Qt::Key_Return, false},
      {"m_ipaddress", Qt::Key_Escape, false},
      {"m_ipaddress", Qt::Key_Return, true},
      {"m_search", Qt::Key_Enter, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.control);
    boxes_.boxes.clear();
    auto* f = open<tavrix::ui::SearchIpDialog>();
    ASSERT_TRUE(tab_to(f->findChild<QWidget*>(row.control)));
    press(row.key);
    EXPECT_FALSE(server_list().search_running());
    if (row.searched) {
      ASSERT_EQ(boxes_.boxes.size(), 1u);
      EXPECT_EQ(boxes_.boxes[0].text, "Invalid IP Address");
      EXPECT_TRUE(f->isVisible());
    } else {
      EXPECT_TRUE(boxes_.boxes.empty());
      EXPECT_FALSE(f->isVisible());
      EXPECT_EQ(f->result(), QDialog::Rejected);
    }
    EXPECT_TRUE(list_is_the_old_one());
  }
  EXPECT_EQ(sink_.drain(), 0);
}

// Every control of a dialog is set in the size of the form font (bold where a label
// is meant to stand out); the Close dialog's larger message is its own rule.
TEST_F(DialogKeys, EveryDialogUsesOneFormFont) {
  const int form_px = QFontInfo(tavrix::ui::form_font()).pixelSize();
  const std::function<QDialog*()> makers[] = {
      [] { return new tavrix::ui::SearchDialog(server_list()); },
      [] { return new tavrix::ui::SearchIpDialog(server_list()); },
      [] { return new tavrix::ui::SettingsDialog(server_list()); },
      [] { return new tavrix::ui::AboutBox; }};
  for (const auto& make : makers) {
    std::unique_ptr<QDialog> d(make());
    d->show();
    SCOPED_TRACE(d->objectName().toStdString());
    int checked = 0;
    for (QWidget* w : d->findChildren<QWidget*>()) {
      if (!qobject_cast<QLabel*>(w) && !qobject_cast<QPushButton*>(w) &&
          !qobject_cast<QLineEdit*>(w) && !qobject_cast<QTableWidget*>(w) &&
          !qobject_cast<QHeaderView*>(w))
        continue;
      ++checked;
      EXPECT_EQ(QFontInfo(w->font()).pixelSize(), form_px)
          << w->metaObject()->className() << " " << w->objectName().toStdString();
      EXPECT_EQ(w->font().family(), tavrix::ui::form_font().family())
          << w->objectName().toStdString();
    }
    EXPECT_GE(checked, 4);
  }
}

}  // namespace
