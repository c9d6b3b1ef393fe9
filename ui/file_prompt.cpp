// The file-dialog seam: Qt's file dialog unless a test has installed a handler.
#include "ui/file_prompt.h"

#include <QFileDialog>

namespace tavrix::ui {

namespace {
FilePromptHandler& handler_slot() {
  static FilePromptHandler handler;
  return handler;
}
}  // namespace

void set_file_prompt_handler(FilePromptHandler handler) {
  handler_slot() = std::move(handler);
}

QString ask_file(QWidget* parent, FileMode mode, const QString& caption, const QString& suggested,
                 const QString& filters, QString* selected_filter) {
  if (handler_slot()) return handler_slot()(mode, caption, suggested, filters, selected_filter);
  if (mode == FileMode::Save)
    return QFileDialog::getSaveFileName(parent, caption, suggested, filters, selected_filter);
  return QFileDialog::getOpenFileName(parent, caption, suggested, filters, selected_filter);
}

}  // namespace tavrix::ui
