// The port table of one server as a model: two rows per port (LAN1, LAN2) made from
// core's port texts, the row under the pointer and the one-LAN redundancy marks.
#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QIcon>
#include <QString>
#include <array>
#include <vector>

namespace tavrix {
struct ServerRecord;
}  // namespace tavrix

namespace tavrix::ui {

// Row backgrounds: the row under the pointer, a port's LAN1 row and its LAN2 row.
inline const QColor kHoverRow(220, 220, 220);
inline const QColor kLan1Row(245, 245, 245);
inline const QColor kLan2Row(255, 255, 255);

class PortTableModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  static constexpr int kColumns = 7;

  explicit PortTableModel(QObject* parent = nullptr);

  // The rows of a server that is not monitored: each port's mode name, "-" elsewhere.
  void show_idle(const tavrix::ServerRecord& rec);
  // The rows of a monitored server. Rows of the same count are updated in place (the
  // view keeps its selection and the hover mark); answering tells whether any LAN
  // answers, since records read while none does are stale and mark nothing.
  void show_monitored(const tavrix::ServerRecord& rec, bool answering);
  void clear();

  // Column 0's kDataRole: 1 marks the row under the pointer.
  int hover_mark(int row) const;
  void set_hover_mark(int row, int value);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  struct Row {
    std::array<QString, kColumns> cells;
    int hover = 0;
    QString lost_tip;  // the redundancy mark's tool tip; empty: no mark
  };
  void set_rows(std::vector<Row> rows);

  std::vector<Row> rows_;
  QIcon warning_icon_;
};

}  // namespace tavrix::ui
