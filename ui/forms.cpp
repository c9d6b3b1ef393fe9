// What the forms share, and the application object's single exception report.
#include "ui/forms.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include "ui/message_box.h"

namespace tavrix::ui {

void center_on_screen(QWidget* window) {
  QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect frame = window->frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  window->move(frame.topLeft());
}

QFont form_font() {
  QFont f = QApplication::font();
  f.setPixelSize(11);
  return f;
}

void report_exception(const std::exception* e) {
  // A foreign exception carries no text of ours: it is shown with an empty message.
  const QString text = e ? QString::fromStdString(e->what()) : QString();
  QWidget* parent = QApplication::activeModalWidget();
  if (!parent) parent = QApplication::activeWindow();
  message_box(parent, text, MsgIcon::Error, MsgButtons::Ok);
}

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {}

bool Application::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    report_exception(&e);
  } catch (...) {
    report_exception(nullptr);
  }
  return false;
}

}  // namespace tavrix::ui
