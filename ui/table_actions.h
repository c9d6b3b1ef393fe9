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
// The JSON kinds follow the captions ("No" and "Port" numbers; a second LAN's address,
// a mode or a connection missing as null); a view given a note column ends in it.
TextTable view_rows(const QAbstractItemView* view, bool selected_only);

// Adds a column `caption` to what view_rows reads from `view`: the tooltip of each row's
// first cell (where the port table says why a port is marked), null in JSON when none.
void set_export_note_column(QAbstractItemView* view, const QString& caption);

// How a column of a window's table goes into JSON, by its caption.
CellKind cell_kind_for(const std::string& caption);

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
