// The one seam through which the windows ask the user for a file name to save to or to
// open, so that tests can answer without a file dialog.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace tavrix::ui {

enum class FileMode { Save, Open };

// Shows the file dialog and returns the chosen path, or the empty text when cancelled.
// `filters` as QFileDialog takes them ("CSV (*.csv);;JSON (*.json)"); on return
// `selected_filter` (when given) holds the filter the user picked.
QString ask_file(QWidget* parent, FileMode mode, const QString& caption, const QString& suggested,
                 const QString& filters, QString* selected_filter = nullptr);

// Replaces the dialog (tests). nullptr restores it.
using FilePromptHandler =
    std::function<QString(FileMode mode, const QString& caption, const QString& suggested,
                          const QString& filters, QString* selected_filter)>;
void set_file_prompt_handler(FilePromptHandler handler);

}  // namespace tavrix::ui
