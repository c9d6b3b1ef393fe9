#include "ui/server_table.h"

#include "core/address_text.h"
#include "core/server_list.h"
#include "qeld/model_map.h"
#include "ui/item_roles.h"
#include "ui/main_window.h"
#include "ui/report_view.h"

namespace tavrix::ui {

namespace {
QString qs(const std::string& s) {
  return QString::fromStdString(s);
}
}  // namespace

ServerTable::ServerTable(QWidget* parent) : QTableWidget(parent) {
  setObjectName(QStringLiteral("m_root_list"));
  setColumnCount(7);
  setHorizontalHeaderLabels({QStringLiteral("No"), QStringLiteral("Model"),
                             QStringLiteral("MAC Address1"), QStringLiteral("IP Address1"),
                             QStringLiteral("MAC Address2"), QStringLiteral("IP Address2"),
                             QStringLiteral("Status")});
  style_report_view(this, {30, 100, 120, 120, 120, 120, 50});
}

void ServerTable::fill(const tavrix::ServerList& list) {
  const int count = list.server_count();
  if (count == 0) {
    if (rowCount() > 0) setRowCount(0);
    return;
  }
  setRowCount(0);
  setRowCount(count);
  for (int i = 0; i < count; ++i) {
    const tavrix::ServerRecord* rec = list.server_at(i);
    const bool dual = rec->dual_lan == 1;
    const QString cells[7] = {
        QString::number(i + 1),
        qs(qeld::model_name(rec->model_key, rec->model_id)),
        qs(tavrix::mac_text(rec->mac1)),
        qs(tavrix::ip_text(rec->ip1, true)),
        dual ? qs(tavrix::mac_text(rec->mac2)) : QStringLiteral("---"),
        dual ? qs(tavrix::ip_text(rec->ip2, true)) : QStringLiteral("---"),
        QString(),
    };
    for (int c = 0; c < 7; ++c) setItem(i, c, new QTableWidgetItem(cells[c]));
    item(i, 0)->setData(kDataRole, i);
    const ServerStatus status = server_status(*rec);
    QTableWidgetItem* cell = item(i, 6);
    cell->setText(status.text);
    cell->setForeground(status.colour);
  }
}

}  // namespace tavrix::ui
