// Creation of the six forms in their fixed order, and the application object's
// single exception report.
#include "ui/forms.h"

#include "ui/about_box.h"
#include "ui/close_dialog.h"
#include "ui/main_window.h"
#include "ui/message_box.h"
#include "ui/search_dialog.h"
#include "ui/search_ip_dialog.h"
#include "ui/settings_dialog.h"

#include <QGuiApplication>
#include <QScreen>

tavrix::ui::MainWindow* m_mainform = nullptr;
tavrix::ui::SearchDialog* m_search_form = nullptr;
tavrix::ui::AboutBox* m_aboutbox = nullptr;
tavrix::ui::SettingsDialog* m_set_form = nullptr;
tavrix::ui::CloseDialog* m_close_form = nullptr;
tavrix::ui::SearchIpDialog* m_searchIP_form = nullptr;

namespace tavrix::ui {

void create_forms(tavrix::ServerList& list) {
  m_mainform = new tavrix::ui::MainWindow(list);
  m_search_form = new tavrix::ui::SearchDialog(list, m_mainform);
  m_aboutbox = new tavrix::ui::AboutBox(m_mainform);
  m_set_form = new tavrix::ui::SettingsDialog(list, m_mainform);
  m_close_form = new tavrix::ui::CloseDialog(list, m_mainform);
  m_searchIP_form = new tavrix::ui::SearchIpDialog(list, m_mainform);
}

void destroy_forms() {
  delete m_mainform;  // owns the dialogs
  m_mainform = nullptr;
  m_search_form = nullptr;
  m_aboutbox = nullptr;
  m_set_form = nullptr;
  m_close_form = nullptr;
  m_searchIP_form = nullptr;
}

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
