// The Settings dialog driven by typing and clicking: its four messages in their fixed
// order with the focus moved to the named edit, the accepted bounds, the empty-edit
// conversion message, the two-character limit, and Cancel.
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "ui/settings_dialog.h"
#include "ui/ui_test_util.h"

namespace {

using tavrix::ui::MsgButtons;
using tavrix::ui::MsgIcon;

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new uitest::QtEnv);

class SettingsForm : public ::testing::Test {
 protected:
  void SetUp() override {
    uitest::reset_list();
    form.show();
    ASSERT_TRUE(uitest::wait_until([&] { return form.isVisible(); }));
  }
  void TearDown() override {
    form.hide();
    uitest::reset_list();
  }

  void type(QLineEdit* edit, const QString& text) {
    edit->clear();
    QTest::keyClicks(edit, text);
  }
  // Types both values, clicks OK and returns the one message shown (empty if none).
  QString submit(const QString& refresh, const QString& timeout) {
    boxes.boxes.clear();
    type(refresh_edit, refresh);
    type(timeout_edit, timeout);
    QTest::mouseClick(ok, Qt::LeftButton);
    if (boxes.boxes.empty()) return {};
    EXPECT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].icon, MsgIcon::Error);
    EXPECT_EQ(boxes.boxes[0].buttons, MsgButtons::Ok);
    return boxes.boxes[0].text;
  }
  void expect_settings(int refresh, int timeout) {
    EXPECT_EQ(uitest::server_list().refresh_rate.load(), refresh);
    EXPECT_EQ(uitest::server_list().search_timeout.load(), timeout);
  }

  uitest::MsgRecorder boxes;
  tavrix::ui::SettingsDialog form{uitest::server_list()};
  QLineEdit* const refresh_edit = uitest::part<QLineEdit>(&form, "m_set_refresh");
  QLineEdit* const timeout_edit = uitest::part<QLineEdit>(&form, "m_set_timeout");
  QPushButton* const ok = uitest::part<QPushButton>(&form, "m_set_ok");
  QPushButton* const cancel = uitest::part<QPushButton>(&form, "m_set_cancel");
};

TEST_F(SettingsForm, ShowsCurrentSettingsAndLimitsEditsToTwoCharacters) {
  EXPECT_EQ(form.windowTitle(), "Settings");
  EXPECT_EQ(refresh_edit->text(), "3");
  EXPECT_EQ(timeout_edit->text(), "5");
  EXPECT_TRUE(ok->isDefault());
  type(refresh_edit, "123");
  EXPECT_EQ(refresh_edit->text(), "12");
  type(timeout_edit, "600");
  EXPECT_EQ(timeout_edit->text(), "60");
}

TEST_F(SettingsForm, ChecksRunInOrderAndFocusTheNamedEdit) {
  // A bad refresh text is reported before the timeout edit is looked at.
  EXPECT_EQ(submit("1a", "x"), "Invalid Value: Refresh Rate!");
  EXPECT_EQ(form.focusWidget(), refresh_edit);
  EXPECT_EQ(submit(" 5", "5"), "Invalid Value: Refresh Rate!");
  EXPECT_EQ(submit("-1", "5"), "Invalid Value: Refresh Rate!");

  EXPECT_EQ(submit("0", "x"), "Invalid Value: Search Timeout!");
  EXPECT_EQ(form.focusWidget(), timeout_edit);

  // Both out of range: the refresh rate is named first.
  EXPECT_EQ(submit("0", "2"), "Invalid Range: Refresh Rate 1~99");
  EXPECT_EQ(form.focusWidget(), refresh_edit);
  EXPECT_EQ(submit("5", "2"), "Invalid Range: Search Timeout 3~60");
  EXPECT_EQ(form.focusWidget(), timeout_edit);
  EXPECT_EQ(submit("5", "61"), "Invalid Range: Search Timeout 3~60");

  // Nothing was stored and the dialog is still open.
  expect_settings(3, 5);
  EXPECT_TRUE(form.isVisible());
}

TEST_F(SettingsForm, UpperBoundsAreAccepted) {
  EXPECT_EQ(submit("99", "60"), QString());
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(form.result(), QDialog::Accepted);
  expect_settings(99, 60);
}

TEST_F(SettingsForm, LowerBoundsAreAccepted) {
  EXPECT_EQ(submit("1", "3"), QString());
  EXPECT_EQ(form.result(), QDialog::Accepted);
  expect_settings(1, 3);
}

TEST_F(SettingsForm, EmptyEditGivesTheConversionMessageAndStoresNothing) {
  EXPECT_EQ(submit("", "10"), "'' is not a valid integer value");
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(submit("7", ""), "'' is not a valid integer value");
  EXPECT_TRUE(form.isVisible());
  expect_settings(3, 5);
  // The dialog still works afterwards.
  EXPECT_EQ(submit("7", "10"), QString());
  expect_settings(7, 10);
}

TEST_F(SettingsForm, CancelKeepsTheOldValuesAndTheNextShowingShowsThem) {
  type(refresh_edit, "42");
  type(timeout_edit, "42");
  QTest::mouseClick(cancel, Qt::LeftButton);
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(form.result(), QDialog::Rejected);
  expect_settings(3, 5);
  form.show();
  EXPECT_EQ(refresh_edit->text(), "3");
  EXPECT_EQ(timeout_edit->text(), "5");
  EXPECT_TRUE(boxes.boxes.empty());
}

}  // namespace
