// The message-box seam: a real QMessageBox unless a test has installed a handler.
#include "ui/message_box.h"

#include <QApplication>
#include <QMessageBox>

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

}  // namespace tavrix::ui
