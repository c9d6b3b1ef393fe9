// The message-box seam: a real QMessageBox unless a test has installed a handler,
// plus the refusal message of a full server list.
#include "msgbox.h"

#include <QApplication>
#include <QMessageBox>

#include "add_server_ui.h"
#include "dslist.h"
#include "qeld/library.h"

namespace tavrix::ui {

namespace {
MsgBoxHandler& handler_slot() {
  static MsgBoxHandler handler;
  return handler;
}
}  // namespace

void set_message_box_handler(MsgBoxHandler handler) {
  handler_slot() = std::move(handler);
}

MsgResult message_box(QWidget* parent, const QString& text, MsgIcon icon, MsgButtons buttons) {
  if (handler_slot()) return handler_slot()(parent, text, icon, buttons);

  QMessageBox box(parent);
  box.setWindowTitle(QApplication::applicationName());
  box.setText(text);
  switch (icon) {
    case MsgIcon::Error:
      box.setIcon(QMessageBox::Critical);
      break;
    case MsgIcon::Warning:
      box.setIcon(QMessageBox::Warning);
      break;
    case MsgIcon::Information:
      box.setIcon(QMessageBox::Information);
      break;
  }
  if (buttons == MsgButtons::YesCancel) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::Cancel);
  } else {
    box.setStandardButtons(QMessageBox::Ok);
  }
  const int answer = box.exec();
  if (answer == QMessageBox::Yes) return MsgResult::Yes;
  if (answer == QMessageBox::Cancel) return MsgResult::Cancel;
  return MsgResult::Ok;
}

QString server_list_full_text() {
  return QStringLiteral("The server list is full (%1 servers): the server was not added.")
      .arg(kMaxServers);
}

bool add_server_or_report(QWidget* parent, std::shared_ptr<_SVRINFO> record) {
  if (!record) return false;
  if (ds_list().add_server(record) == 1) return true;
  // The record never reached the list, so its handles would stay open for good.
  if (record->handle1 >= 0) qeld::close_handle(record->handle1);
  if (record->dual_lan == 1 && record->handle2 >= 0) qeld::close_handle(record->handle2);
  message_box(parent, server_list_full_text(), MsgIcon::Error, MsgButtons::Ok);
  return false;
}

}  // namespace tavrix::ui
