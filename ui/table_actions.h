// What every table of the windows offers beside its own rules: its rows as text, "Copy"
// of the selected rows, and export of the whole table to a CSV or JSON file. The files
// themselves are written by core/table_export, so other programs write the same.
#pragma once

#include <QString>

#include "core/table_export.h"

class QAbstractItemView;
class QWidget;

namespace tavrix::ui {

// The view's columns (captions from its model's horizontal header, hidden columns left
// out) and its rows as shown: all of them, or only the selected ones, in row order.
TextTable view_rows(const QAbstractItemView* view, bool selected_only);

// Puts the selected rows on the clipboard: tab-separated lines as plain text, and the
// rows under their header as "text/csv". False (clipboard untouched) when none is selected.
bool copy_selected_rows(const QAbstractItemView* view);

// Asks for a file name and writes the table there: JSON for a ".json" name or the JSON
// filter, CSV otherwise (".csv" is added to a name without an extension). A failed write
// is shown in an error message box naming the file and the reason. True when written.
bool export_table(QWidget* parent, const TextTable& table, const QString& suggested_name);

// Gives a view its context menu, "Copy" (also Ctrl+C while the view has the focus) and
// "Export...", which exports the whole view under `suggested_name`.
void add_table_menu(QAbstractItemView* view, const QString& suggested_name);

}  // namespace tavrix::ui
