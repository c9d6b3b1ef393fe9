// The Events tab: a table model over a filtered copy of the event log, two filter boxes
// and a count line.
#include "ui/events_view.h"

#include <QAbstractTableModel>
#include <QComboBox>
#include <QDateTime>
#include <QFont>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QTableView>
#include <QVBoxLayout>
#include <set>
#include <vector>

namespace tavrix::ui {

QString event_kind_text(tavrix::EventKind kind) {
  switch (kind) {
    case tavrix::EventKind::kLan:
      return QStringLiteral("LAN");
    case tavrix::EventKind::kMode:
      return QStringLiteral("Mode");
    case tavrix::EventKind::kConnection:
      return QStringLiteral("Connection");
  }
  return {};
}

class EventsModel : public QAbstractTableModel {
 public:
  using QAbstractTableModel::QAbstractTableModel;

  void set_rows(std::vector<tavrix::LoggedEvent> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
  }

  int rowCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
  }
  int columnCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : kColumns;
  }

  QVariant headerData(int section, Qt::Orientation o, int role) const override {
    static const char* const captions[kColumns] = {"Time", "Server",     "Kind", "Port",
                                                   "LAN",  "Connection", "Was",  "Now"};
    if (o == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < kColumns)
      return QString::fromLatin1(captions[section]);
    return {};
  }

  QVariant data(const QModelIndex& index, int role) const override {
    if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
    const tavrix::LoggedEvent& l = rows_[static_cast<std::size_t>(index.row())];
    const tavrix::ChangeEvent& e = l.event;
    if (role == Qt::ForegroundRole && e.kind == tavrix::EventKind::kLan && index.column() >= 6) {
      // The status colours: On Line blue, Off Line red.
      const bool on = (index.column() == 7 ? e.value : e.previous) == "On Line";
      return QColor(on ? QColor(0, 0, 255) : QColor(255, 0, 0));
    }
    // Events of an earlier run, read back at start: in italics on a tinted row.
    if (l.before_restart && role == Qt::FontRole) {
      QFont f;
      f.setItalic(true);
      return f;
    }
    if (l.before_restart && role == Qt::BackgroundRole) return QColor(240, 240, 232);
    if (l.before_restart && role == Qt::ToolTipRole)
      return QStringLiteral("From before the restart (kept in the events history)");
    if (role != Qt::DisplayRole) return {};
    auto number = [](int n) { return n > 0 ? QString::number(n) : QString(); };
    switch (index.column()) {
      case 0:
        return QDateTime::fromMSecsSinceEpoch(e.time_ms).toString(
            QStringLiteral("yyyy-MM-dd HH:mm:ss"));
      case 1:
        return QString::fromStdString(l.server);
      case 2:
        return event_kind_text(e.kind);
      case 3:
        return number(e.port);
      case 4:
        return e.lan > 0 ? QStringLiteral("LAN%1").arg(e.lan) : QString();
      case 5:
        return number(e.connection);
      case 6:
        return QString::fromStdString(e.previous);
      case 7:
        return QString::fromStdString(e.value);
    }
    return {};
  }

  static constexpr int kColumns = 8;

 private:
  std::vector<tavrix::LoggedEvent> rows_;
};

EventsView::EventsView(const tavrix::EventLog& log, QWidget* parent) : QWidget(parent), log_(log) {
  setObjectName(QStringLiteral("m_events_view"));
  m_events_server = new QComboBox(this);
  m_events_server->setObjectName(QStringLiteral("m_events_server"));
  m_events_server->addItem(QString::fromLatin1(kAllServers));
  m_events_server->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  m_events_kind = new QComboBox(this);
  m_events_kind->setObjectName(QStringLiteral("m_events_kind"));
  m_events_kind->addItem(QString::fromLatin1(kAllKinds));
  for (auto kind :
       {tavrix::EventKind::kLan, tavrix::EventKind::kMode, tavrix::EventKind::kConnection})
    m_events_kind->addItem(event_kind_text(kind), static_cast<int>(kind));
  m_events_count = new QLabel(this);
  m_events_count->setObjectName(QStringLiteral("m_events_count"));

  model_ = new EventsModel(this);
  m_events_list = new QTableView(this);
  m_events_list->setObjectName(QStringLiteral("m_events_list"));
  m_events_list->setModel(model_);
  m_events_list->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_events_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_events_list->setWordWrap(false);
  m_events_list->verticalHeader()->setVisible(false);
  m_events_list->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  m_events_list->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  m_events_list->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  m_events_list->horizontalHeader()->setStretchLastSection(true);
  const int widths[EventsModel::kColumns] = {125, 200, 75, 35, 40, 80, 110, 110};
  for (int c = 0; c < EventsModel::kColumns; ++c) m_events_list->setColumnWidth(c, widths[c]);

  auto* filters = new QHBoxLayout;
  filters->setContentsMargins(4, 4, 4, 0);
  filters->addWidget(new QLabel(QStringLiteral("Server:"), this));
  filters->addWidget(m_events_server);
  filters->addSpacing(12);
  filters->addWidget(new QLabel(QStringLiteral("Kind:"), this));
  filters->addWidget(m_events_kind);
  filters->addStretch(1);
  filters->addWidget(m_events_count);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(4);
  layout->addLayout(filters);
  layout->addWidget(m_events_list, 1);

  auto refilter = [this] {
    shown_total_ = UINT64_MAX;
    refresh();
  };
  connect(m_events_server, &QComboBox::currentIndexChanged, this, refilter);
  connect(m_events_kind, &QComboBox::currentIndexChanged, this, refilter);
  refresh();
}

void EventsView::refresh() {
  if (shown_total_ == log_.total()) return;
  rebuild();
}

void EventsView::rebuild() {
  shown_total_ = log_.total();
  const QString server =
      m_events_server->currentIndex() > 0 ? m_events_server->currentText() : QString();
  const int kind = m_events_kind->currentIndex() > 0 ? m_events_kind->currentData().toInt() : -1;
  const std::string server_text = server.toStdString();

  std::vector<tavrix::LoggedEvent> rows;
  std::set<std::string> servers;
  for (std::size_t i = 0; i < log_.size(); ++i) {
    const tavrix::LoggedEvent& l = log_.newest(i);
    servers.insert(l.server);
    if (!server.isEmpty() && l.server != server_text) continue;
    if (kind >= 0 && static_cast<int>(l.event.kind) != kind) continue;
    rows.push_back(l);
  }
  const std::size_t shown = rows.size();
  model_->set_rows(std::move(rows));

  // New servers join the filter box; the chosen one stays chosen even when its events
  // have left the ring.
  {
    const QSignalBlocker block(m_events_server);
    for (const auto& s : servers) {
      const QString text = QString::fromStdString(s);
      if (m_events_server->findText(text) < 0) m_events_server->addItem(text);
    }
  }
  m_events_count->setText(QStringLiteral("%1 of %2 events (the latest %3 are kept)")
                              .arg(shown)
                              .arg(log_.size())
                              .arg(log_.capacity()));
}

QHeaderView* EventsView::table_header() const {
  return m_events_list->horizontalHeader();
}

}  // namespace tavrix::ui
