// The server table's Status cells, brought up to date from the records.
#include "ui/server_table_status.h"

#include <QTableWidget>

#include "core/server_list.h"
#include "ui/main_window.h"

namespace tavrix::ui {

namespace {
constexpr int kStatusColumn = 6;
}

int refresh_status_column(QTableWidget* table, const tavrix::ServerList& list) {
  int changed = 0;
  for (int row = 0; row < table->rowCount(); ++row) {
    const QTableWidgetItem* first = table->item(row, 0);
    QTableWidgetItem* cell = table->item(row, kStatusColumn);
    const tavrix::ServerRecord* rec =
        first ? list.server_at(first->data(kDataRole).toInt()) : nullptr;
    if (!cell || !rec) continue;
    const ServerStatus status = server_status(*rec);
    if (cell->text() == status.text && cell->foreground().color() == status.colour) continue;
    cell->setText(status.text);
    cell->setForeground(status.colour);
    ++changed;
  }
  return changed;
}

}  // namespace tavrix::ui
