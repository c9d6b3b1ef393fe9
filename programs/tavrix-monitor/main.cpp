// tavrix-monitor: makes the application object and the six forms, runs the message
// loop until the main window closes, and reports an escaped exception.
#include <exception>

#include "ui/main_window.h"
#include "ui/forms.h"

int main(int argc, char** argv) {
  tavrix::ui::TApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tavrix Monitor Utility"));
  try {
    tavrix::ui::create_forms();
    m_mainform->showMaximized();
    QApplication::exec();
  } catch (const std::exception& e) {
    tavrix::ui::report_exception(&e);
  } catch (...) {
    tavrix::ui::report_exception(nullptr);
  }
  tavrix::ui::destroy_forms();
  return 0;
}
