// The availability timeline under the tables: for the selected server one strip per
// LAN (On Line / Off Line) and per Redundant COM port (connected on both LANs, one,
// none); for the root node one strip per monitored server, so a flapping one stands
// out. Painted with QPainter: no charting library needed for coloured bars.
#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/availability_history.h"

class QComboBox;
class QLabel;
class QScrollArea;

namespace tavrix::ui {

// What a strip is about decides the words for its states.
enum class TimelineRowKind { kLan, kPort, kServer };

struct TimelineRow {
  QString label;
  TimelineRowKind kind = TimelineRowKind::kLan;
  std::vector<tavrix::AvailabilityChange> changes;  // those in the span and the one before
  // The state at time t from the copied changes.
  tavrix::Availability at(int64_t t) const;
};

// The words for a state, as the tooltip and legend use them.
QString availability_text(TimelineRowKind kind, tavrix::Availability state);
// The strip colour of a state (kUnknown is drawn hatched in its colour).
QColor availability_colour(tavrix::Availability state);

class TimelineView : public QWidget {
 public:
  explicit TimelineView(QWidget* parent = nullptr);
  void set_rows(std::vector<TimelineRow> rows, int64_t now_ms, int64_t span_ms);
  const std::vector<TimelineRow>& rows() const { return rows_; }
  int64_t now_ms() const { return now_ms_; }
  // Where row r's strip is drawn, and the x of time t on it (for tests and tooltips).
  QRect strip_rect(int row) const;
  int x_of(int64_t t) const;
  QSize sizeHint() const override;
  // Every strip, the time axis and the legend (wrapped to `width`) in height.
  int needed_height(int width) const;

  static constexpr int kRowHeight = 18;

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool event(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  int64_t time_at(int x) const;
  int axis_top() const;
  // Never shorter than its content, so the scroll area scrolls instead of cutting it.
  void fit_height();

  std::vector<TimelineRow> rows_;
  int label_width_ = 120;  // fits the longest label (two addresses), within bounds
  int64_t now_ms_ = 0;
  int64_t span_ms_ = 3600 * 1000;
};

class TimelinePanel : public QWidget {
  Q_OBJECT
 public:
  explicit TimelinePanel(QWidget* parent = nullptr);

  // One server's LAN and port strips (no history yet: an empty timeline with a hint).
  void show_server(const QString& title, const tavrix::AvailabilityHistory* history,
                   int64_t now_ms);
  // One strip per server (the root node).
  void show_fleet(
      const std::vector<std::pair<std::string, const tavrix::AvailabilityHistory*>>& servers,
      int64_t now_ms);
  int64_t span_ms() const;
  // Room for two LANs and four ports; at least the title and two strips, the rest scrolls.
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 signals:
  // The user chose another span: the strips are to be drawn again.
  void span_changed();

 private:
  QLabel* m_timeline_title = nullptr;
  QComboBox* m_timeline_span = nullptr;  // "Last 10 minutes", "Last hour", "Last 6 hours"
  QScrollArea* m_timeline_scroll = nullptr;
  TimelineView* m_timeline_view = nullptr;

  static TimelineRow copy_row(const QString& label, TimelineRowKind kind,
                              const tavrix::AvailabilityRow& row, int64_t from);
};

}  // namespace tavrix::ui
