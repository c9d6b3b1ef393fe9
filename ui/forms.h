// What every form shares (the font, centring, the error shown for a handler's
// exception) and the application object that reports an exception escaping an event
// handler in a message box and lets the program go on. The main window makes and owns
// the dialogs (ui/main_window.h).
#pragma once

#include <QApplication>
#include <QFont>
#include <QString>
#include <exception>
#include <stdexcept>
#include <utility>

namespace tavrix::ui {

// An error an event handler raises for the user to see (the message is shown as is).
class UiError : public std::runtime_error {
 public:
  explicit UiError(const QString& text) : std::runtime_error(text.toStdString()) {}
};

// The font of every form: the compact size the column widths were chosen for.
QFont form_font();

// Moves a window to the centre of its screen (dialogs open there, not over the main window).
void center_on_screen(QWidget* window);

// The one place where an escaped exception becomes an error message box.
void report_exception(const std::exception* e);

// Wraps a handler so that an exception it raises is reported and goes no further.
// Handlers bound to signals are wrapped, because an exception must not unwind through
// the toolkit's own frames. Args are the signal arguments the handler takes.
template <class... Args, class F>
auto guarded(F handler) {
  return [handler = std::move(handler)](Args... args) {
    try {
      handler(args...);
    } catch (const std::exception& e) {
      report_exception(&e);
    } catch (...) {
      report_exception(nullptr);
    }
  };
}

// The application object: every event passes through notify, which reports an
// exception that escaped its handler and carries on with the next event.
class Application : public QApplication {
  Q_OBJECT
 public:
  Application(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace tavrix::ui
