// Copy and export of the windows' tables: rows read from the view's model as displayed,
// the clipboard, the file prompt and the context menu.
#include "ui/table_actions.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenu>
#include <QMimeData>
#include <QTableView>
#include <QTreeView>
#include <algorithm>
#include <set>

#include "ui/file_prompt.h"
#include "ui/forms.h"
#include "ui/message_box.h"

namespace tavrix::ui {

namespace {

const QString kCsvFilter = QStringLiteral("CSV (*.csv)");
const QString kJsonFilter = QStringLiteral("JSON (*.json)");

bool column_hidden(const QAbstractItemView* view, int column) {
  if (const auto* t = qobject_cast<const QTableView*>(view)) return t->isColumnHidden(column);
  if (const auto* t = qobject_cast<const QTreeView*>(view)) return t->isColumnHidden(column);
  return false;
}

std::string text(const QVariant& v) {
  return v.toString().toStdString();
}

const char* const kNoteColumn = "tavrix_note_column";

}  // namespace

CellKind cell_kind_for(const std::string& caption) {
  if (caption == "No" || caption == "Port") return CellKind::kNumber;
  // What a single-LAN server or a LAN2 row shows as "---" or "-".
  if (caption == "MAC Address2" || caption == "IP Address2" || caption == "Operation Mode" ||
      caption == "LAN" || caption.starts_with("Connection "))
    return CellKind::kOptional;
  return CellKind::kText;
}

void set_export_note_column(QAbstractItemView* view, const QString& caption) {
  view->setProperty(kNoteColumn, caption);
}

TextTable view_rows(const QAbstractItemView* view, bool selected_only) {
  TextTable table;
  const QAbstractItemModel* model = view ? view->model() : nullptr;
  if (!model) return table;
  std::vector<int> columns;
  for (int c = 0; c < model->columnCount(); ++c) {
    if (column_hidden(view, c)) continue;
    columns.push_back(c);
    table.headers.push_back(text(model->headerData(c, Qt::Horizontal, Qt::DisplayRole)));
    table.kinds.push_back(cell_kind_for(table.headers.back()));
  }
  const QString note = view->property(kNoteColumn).toString();
  if (!note.isEmpty()) {
    table.headers.push_back(note.toStdString());
    table.kinds.push_back(CellKind::kOptional);
  }
  std::vector<int> rows;
  if (selected_only) {
    std::set<int> picked;  // a row counts once, however many of its cells are selected
    if (const QItemSelectionModel* sel = view->selectionModel())
      for (const QModelIndex& i : sel->selectedIndexes()) picked.insert(i.row());
    rows.assign(picked.begin(), picked.end());
  } else {
    for (int r = 0; r < model->rowCount(); ++r) rows.push_back(r);
  }
  for (int r : rows) {
    std::vector<std::string> cells;
    for (int c : columns) cells.push_back(text(model->index(r, c).data(Qt::DisplayRole)));
    if (!note.isEmpty()) cells.push_back(text(model->index(r, 0).data(Qt::ToolTipRole)));
    table.rows.push_back(std::move(cells));
  }
  return table;
}

bool copy_selected_rows(const QAbstractItemView* view) {
  const TextTable selected = view_rows(view, true);
  if (selected.rows.empty()) return false;
  auto* mime = new QMimeData;
  mime->setText(QString::fromStdString(to_tab_separated(selected.rows)));
  mime->setData(QStringLiteral("text/csv"), QByteArray::fromStdString(to_csv(selected)));
  QApplication::clipboard()->setMimeData(mime);
  return true;
}

bool export_table(QWidget* parent, const TextTable& table, const QString& suggested_name) {
  QString filter = kCsvFilter;
  QString path = ask_file(parent, FileMode::Save, QStringLiteral("Export"),
                          suggested_name + QStringLiteral(".csv"),
                          kCsvFilter + QStringLiteral(";;") + kJsonFilter, &filter);
  if (path.isEmpty()) return false;
  std::optional<ExportFormat> format = format_from_path(path.toStdString());
  if (!format) {
    // A name without a known extension gets the one of the filter picked.
    format = filter == kJsonFilter ? ExportFormat::kJson : ExportFormat::kCsv;
    path += format == ExportFormat::kJson ? QStringLiteral(".json") : QStringLiteral(".csv");
  }
  std::string error;
  if (!write_table_file(path.toStdString(), table, *format, error)) {
    message_box(parent,
                QStringLiteral("Cannot write %1: %2")
                    .arg(QFileInfo(path).fileName(), QString::fromStdString(error)),
                MsgIcon::Error, MsgButtons::Ok);
    return false;
  }
  return true;
}

void add_table_menu(QAbstractItemView* view, const QString& suggested_name) {
  auto* menu = new QMenu(view);
  menu->setObjectName(view->objectName() + QStringLiteral("_menu"));
  QAction* copy = menu->addAction(QStringLiteral("Copy"));
  copy->setObjectName(view->objectName() + QStringLiteral("_copy"));
  copy->setShortcut(QKeySequence::Copy);
  copy->setShortcutContext(Qt::WidgetShortcut);
  view->addAction(copy);  // Ctrl+C while the view has the focus
  QAction* exp = menu->addAction(QStringLiteral("Export..."));
  exp->setObjectName(view->objectName() + QStringLiteral("_export"));

  QObject::connect(copy, &QAction::triggered, view, guarded([view] { copy_selected_rows(view); }));
  QObject::connect(exp, &QAction::triggered, view, guarded([view, suggested_name] {
                     export_table(view->window(), view_rows(view, false), suggested_name);
                   }));
  view->setContextMenuPolicy(Qt::CustomContextMenu);
  QObject::connect(
      view, &QWidget::customContextMenuRequested, view,
      guarded<const QPoint&>([view, menu, copy](const QPoint& pos) {
        // A right click on a row that is not selected selects it first.
        const QModelIndex at = view->indexAt(pos);
        if (at.isValid() && view->selectionModel() && !view->selectionModel()->isSelected(at))
          view->setCurrentIndex(at);
        copy->setEnabled(view->selectionModel() && view->selectionModel()->hasSelection());
        menu->popup(view->viewport()->mapToGlobal(pos));
      }));
}

}  // namespace tavrix::ui
