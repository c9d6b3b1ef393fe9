#include "ui/port_table_model.h"

#include <QBrush>
#include <utility>

#include "core/change_detector.h"
#include "core/port_texts.h"
#include "core/server_record.h"
#include "ui/icons.h"
#include "ui/item_roles.h"

namespace tavrix::ui {

namespace {

QString qs(const std::string& text) {
  return QString::fromStdString(text);
}

}  // namespace

PortTableModel::PortTableModel(QObject* parent)
    : QAbstractTableModel(parent), warning_icon_(tavrix::ui::warning_icon()) {}

void PortTableModel::show_idle(const tavrix::ServerRecord& rec) {
  const QString dash = QStringLiteral("-");
  std::vector<Row> rows;
  for (const tavrix::PortTexts& port : tavrix::port_table(rec)) {
    Row lan1, lan2;
    lan1.cells = {QString::number(port.port),
                  qs(port.mode_name),
                  QStringLiteral("LAN1"),
                  dash,
                  dash,
                  dash,
                  dash};
    lan2.cells = {dash, dash, QStringLiteral("LAN2"), dash, dash, dash, dash};
    rows.push_back(std::move(lan1));
    rows.push_back(std::move(lan2));
  }
  set_rows(std::move(rows));
}

void PortTableModel::show_monitored(const tavrix::ServerRecord& rec, bool answering) {
  const std::vector<tavrix::PortTexts> ports = tavrix::port_table(rec);
  if (rows_.size() != 2 * ports.size()) show_idle(rec);
  for (const tavrix::PortTexts& port : ports) {
    const int row = 2 * (port.port - 1);
    Row& lan1 = rows_[row];
    Row& lan2 = rows_[row + 1];
    const Row old1 = lan1, old2 = lan2;
    for (int c = 1; c < kColumns; ++c) lan1.cells[c] = lan2.cells[c] = QString();
    lan1.cells[0] = QString::number(port.port);
    lan1.cells[1] = qs(port.mode_cell);
    if (port.supported) {
      lan1.cells[2] = QStringLiteral("LAN1");
      lan2.cells[0] = QStringLiteral("-");
      lan2.cells[1] = QStringLiteral("-");
      lan2.cells[2] = QStringLiteral("LAN2");
      for (int n = 0; n < 4; ++n) {
        lan1.cells[3 + n] = qs(port.lan1[n]);
        lan2.cells[3 + n] = qs(port.lan2[n]);
      }
    }
    lan1.lost_tip = answering && tavrix::redundancy_lost(port, rec.dual_lan == 1)
                        ? QStringLiteral("Redundancy lost: port %1 is connected on LAN%2 only")
                              .arg(port.port)
                              .arg(port.connected1 > 0 ? 1 : 2)
                        : QString();
    if (lan1.cells != old1.cells || lan1.lost_tip != old1.lost_tip)
      emit dataChanged(index(row, 0), index(row, kColumns - 1));
    if (lan2.cells != old2.cells) emit dataChanged(index(row + 1, 0), index(row + 1, kColumns - 1));
  }
}

void PortTableModel::clear() {
  set_rows({});
}

void PortTableModel::set_rows(std::vector<Row> rows) {
  beginResetModel();
  rows_ = std::move(rows);
  endResetModel();
}

int PortTableModel::hover_mark(int row) const {
  return row >= 0 && row < rowCount() ? rows_[row].hover : 0;
}

void PortTableModel::set_hover_mark(int row, int value) {
  if (row < 0 || row >= rowCount()) return;
  rows_[row].hover = value;
  // The mark is painted across the whole row, so every cell of it changes.
  emit dataChanged(index(row, 0), index(row, kColumns - 1));
}

int PortTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int PortTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumns;
}

QVariant PortTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const Row& row = rows_[index.row()];
  switch (role) {
    case Qt::DisplayRole:
      return row.cells[index.column()];
    case Qt::BackgroundRole:
      if (row.hover == 1) return QBrush(kHoverRow);
      return QBrush(index.row() % 2 == 0 ? kLan1Row : kLan2Row);
    case Qt::DecorationRole:
      if (index.column() == 0 && !row.lost_tip.isEmpty()) return warning_icon_;
      return {};
    case Qt::ToolTipRole:
      if (index.column() == 0 && !row.lost_tip.isEmpty()) return row.lost_tip;
      return {};
    case kDataRole:
      return index.column() == 0 ? QVariant(row.hover) : QVariant();
    default:
      return {};
  }
}

QVariant PortTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  static const char* const kCaptions[kColumns] = {"Port",         "Operation Mode", "LAN",
                                                  "Connection 1", "Connection 2",   "Connection 3",
                                                  "Connection 4"};
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
      section >= kColumns)
    return QAbstractTableModel::headerData(section, orientation, role);
  return QString::fromLatin1(kCaptions[section]);
}

Qt::ItemFlags PortTableModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

}  // namespace tavrix::ui
