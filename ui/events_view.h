// The "Events" tab: what the pollers saw change, newest first, filtered by server and
// by kind. It shows the window's event log; it never takes a lock or waits.
#pragma once

#include <QWidget>
#include <cstdint>

#include "core/event_log.h"

class QComboBox;
class QHeaderView;
class QLabel;
class QTableView;

namespace tavrix::ui {

class EventsModel;

// Kind filter entries, in the order of the kind box.
inline constexpr const char* kAllServers = "All servers";
inline constexpr const char* kAllKinds = "All kinds";

class EventsView : public QWidget {
 public:
  EventsView(const tavrix::EventLog& log, QWidget* parent = nullptr);

  // Shows what the log holds now; cheap when nothing was added since the last call.
  void refresh();
  // The table's header, whose column widths the kept layout saves.
  QHeaderView* table_header() const;
  // The table, for the window's Copy and Export menu.
  QTableView* table() const { return m_events_list; }

 private:
  QComboBox* m_events_server = nullptr;  // "All servers", then each server's addresses
  QComboBox* m_events_kind = nullptr;    // "All kinds", "LAN", "Mode", "Connection"
  QTableView* m_events_list = nullptr;
  QLabel* m_events_count = nullptr;  // "12 of 40 events" and the ring's size

  void rebuild();

  const tavrix::EventLog& log_;
  EventsModel* model_ = nullptr;
  uint64_t shown_total_ = UINT64_MAX;  // log total at the last rebuild
};

// The kind's caption in the table and the filter.
QString event_kind_text(tavrix::EventKind kind);

}  // namespace tavrix::ui
