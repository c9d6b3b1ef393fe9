// The application object and its seams: an exception escaping an event handler is
// reported in an error box and the program goes on; the six forms are made in their
// fixed order; a full server list refuses a server with a message and closes its handles.
#include <QPointer>
#include <QTimer>
#include <stdexcept>

#include "ui/about_box.h"
#include "ui/add_server.h"
#include "ui/close_dialog.h"
#include "ui/main_window.h"
#include "ui/search_dialog.h"
#include "ui/search_ip_dialog.h"
#include "ui/settings_dialog.h"
#include "ui/ui_test_util.h"

namespace {

using tavrix::ui::MsgButtons;
using tavrix::ui::MsgIcon;

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new uitest::QtEnv);

// Throws from its handler for user events; counts the events it saw.
class Thrower : public QObject {
 public:
  static constexpr QEvent::Type kThrowStd = QEvent::Type(QEvent::User + 1);
  static constexpr QEvent::Type kThrowOther = QEvent::Type(QEvent::User + 2);
  static constexpr QEvent::Type kQuiet = QEvent::Type(QEvent::User + 3);
  int seen = 0;
  bool event(QEvent* e) override {
    if (e->type() == kThrowStd) throw std::runtime_error("handler failed");
    if (e->type() == kThrowOther) throw 42;
    if (e->type() == kQuiet) {
      ++seen;
      return true;
    }
    return QObject::event(e);
  }
};

TEST(Application, EscapedExceptionIsShownAndEventsGoOn) {
  uitest::MsgRecorder boxes;
  Thrower t;
  QEvent failing(Thrower::kThrowStd);
  EXPECT_FALSE(QApplication::sendEvent(&t, &failing));
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, "handler failed");
  EXPECT_EQ(boxes.boxes[0].icon, MsgIcon::Error);
  EXPECT_EQ(boxes.boxes[0].buttons, MsgButtons::Ok);

  // Posted events: the loop survives the failure and delivers the next one.
  QCoreApplication::postEvent(&t, new QEvent(Thrower::kThrowOther));
  QCoreApplication::postEvent(&t, new QEvent(Thrower::kQuiet));
  EXPECT_TRUE(uitest::wait_until([&] { return t.seen == 1; }));
  ASSERT_EQ(boxes.boxes.size(), 2u);
  EXPECT_EQ(boxes.boxes[1].text, QString());  // a foreign exception carries no text
}

TEST(Application, GuardedHandlerReportsItsErrorOnce) {
  uitest::MsgRecorder boxes;
  int after = 0;
  QTimer::singleShot(0, tavrix::ui::guarded([] { throw tavrix::ui::UiError("bad input"); }));
  QTimer::singleShot(10, [&] { ++after; });
  EXPECT_TRUE(uitest::wait_until([&] { return after == 1; }));
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, "bad input");
}

TEST(Application, FormsAreMadeInTheirFixedOrder) {
  uitest::MsgRecorder boxes;
  auto* w = new tavrix::ui::MainWindow(uitest::server_list());
  QStringList dialogs;
  for (QObject* child : w->children())
    if (qobject_cast<QDialog*>(child)) dialogs << child->objectName();
  EXPECT_EQ(dialogs, QStringList({"m_search_form", "m_aboutbox", "m_set_form", "m_close_form",
                                  "m_searchIP_form"}));
  EXPECT_FALSE(w->isVisible());  // the library starts with the first showing
  // The window owns its dialogs: they go with it.
  QPointer<QDialog> settings = uitest::part<QDialog>(w, "m_set_form");
  delete w;
  EXPECT_TRUE(settings.isNull());
}

TEST(Application, FullServerListRefusesWithAMessageAndClosesTheHandles) {
  uitest::MsgRecorder boxes;
  uitest::reset_list();
  ASSERT_EQ(qeld::library_start(), 1);
  uitest::set_test_model_map();
  for (int i = 0; i < tavrix::kMaxServers; ++i)
    ASSERT_TRUE(tavrix::ui::add_server_or_report(
        nullptr, uitest::server_list(),
        uitest::make_server(uitest::kModelA, "10.10.0.1", i & 0xFF)));
  EXPECT_TRUE(boxes.boxes.empty());

  qeld::DeviceIdentity reply;
  reply.model_key = uitest::kKey;
  reply.model_id = uitest::kModelDual;
  reply.ip1 = uitest::ip("10.10.1.1");
  reply.ip2 = uitest::ip("10.10.2.1");
  reply.mac2[5] = 9;
  const int open_before = qeld::open_handle_count();
  auto rec = uitest::server_list().make_server_record(reply);
  ASSERT_EQ(rec->dual_lan, 1);
  ASSERT_EQ(qeld::open_handle_count(), open_before + 2);

  EXPECT_FALSE(tavrix::ui::add_server_or_report(nullptr, uitest::server_list(), rec));
  EXPECT_EQ(uitest::server_list().server_count(), tavrix::kMaxServers);
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, tavrix::ui::server_list_full_text());
  EXPECT_TRUE(boxes.boxes[0].text.contains("full"));
  EXPECT_EQ(boxes.boxes[0].icon, MsgIcon::Error);
  EXPECT_EQ(rec.use_count(), 1) << "the list must not keep a record it refused";
  rec.reset();  // its last owner lets go: the handles close with it
  EXPECT_EQ(qeld::open_handle_count(), open_before);
  uitest::reset_list();
  qeld::library_stop();
}

}  // namespace
