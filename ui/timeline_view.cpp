// Painting of the availability strips, their time axis and legend, and the panel that
// chooses the span and what to show.
#include "ui/timeline_view.h"

#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QToolTip>
#include <QVBoxLayout>
#include <algorithm>

namespace tavrix::ui {

using tavrix::Availability;

namespace {

constexpr int kTop = 4;
constexpr int kRightMargin = 12;
constexpr int kAxisHeight = 34;  // tick labels and one line of legend
constexpr int kLegendLine = 16;

struct LegendKey {
  tavrix::Availability state;
  const char* text;
};
constexpr LegendKey kLegend[] = {
    {tavrix::Availability::kUp, "On Line / connected on every LAN"},
    {tavrix::Availability::kPartial, "one LAN only / partly available"},
    {tavrix::Availability::kDown, "Off Line / no connection"},
    {tavrix::Availability::kUnknown, "not monitored"}};

// Where each legend key goes at this width: a narrow window wraps it onto more lines.
std::vector<QPoint> legend_places(const QFontMetrics& fm, int width) {
  std::vector<QPoint> places;
  int x = 4, line = 0;
  for (const LegendKey& k : kLegend) {
    const int w = 14 + fm.horizontalAdvance(QString::fromLatin1(k.text));
    if (x > 4 && x + w > width) {
      x = 4;
      ++line;
    }
    places.emplace_back(x, line * kLegendLine);
    x += w + 16;
  }
  return places;
}

struct Span {
  const char* caption;
  int64_t ms;
  int64_t tick_ms;
};
constexpr Span kSpans[] = {{"Last 10 minutes", 10 * 60 * 1000, 2 * 60 * 1000},
                           {"Last hour", 3600 * 1000, 10 * 60 * 1000},
                           {"Last 6 hours", 6 * 3600 * 1000, 3600 * 1000}};

}  // namespace

Availability TimelineRow::at(int64_t t) const {
  Availability state = Availability::kUnknown;
  for (const auto& c : changes) {
    if (c.time_ms > t) break;
    state = c.state;
  }
  return state;
}

QString availability_text(TimelineRowKind kind, Availability state) {
  switch (state) {
    case Availability::kUnknown:
      return kind == TimelineRowKind::kPort ? QStringLiteral(
                                                  "not known (not monitored, not "
                                                  "Redundant COM or no LAN answering)")
                                            : QStringLiteral("not monitored");
    case Availability::kDown:
      return kind == TimelineRowKind::kPort ? QStringLiteral("no connection up")
                                            : QStringLiteral("Off Line");
    case Availability::kPartial:
      return kind == TimelineRowKind::kPort ? QStringLiteral("connected on one LAN only")
                                            : QStringLiteral("partly available");
    case Availability::kUp:
      return kind == TimelineRowKind::kLan    ? QStringLiteral("On Line")
             : kind == TimelineRowKind::kPort ? QStringLiteral("connected on every LAN")
                                              : QStringLiteral("On Line, every path up");
  }
  return {};
}

QColor availability_colour(Availability state) {
  switch (state) {
    case Availability::kUp:
      return QColor(46, 160, 67);
    case Availability::kPartial:
      return QColor(240, 160, 30);
    case Availability::kDown:
      return QColor(214, 48, 49);
    case Availability::kUnknown:
      break;
  }
  return QColor(190, 190, 190);
}

TimelineView::TimelineView(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("m_timeline_view"));
  setMouseTracking(true);
}

void TimelineView::set_rows(std::vector<TimelineRow> rows, int64_t now_ms, int64_t span_ms) {
  rows_ = std::move(rows);
  const QFontMetrics fm(font());
  label_width_ = 120;
  for (const auto& r : rows_)
    label_width_ = std::max(label_width_, fm.horizontalAdvance(r.label) + 16);
  label_width_ = std::min(label_width_, 280);
  now_ms_ = now_ms;
  span_ms_ = std::max<int64_t>(span_ms, 1000);
  fit_height();
  updateGeometry();
  update();
}

QSize TimelineView::sizeHint() const {
  const int width = label_width_ + 300;
  return QSize(width, needed_height(width));
}

int TimelineView::needed_height(int width) const {
  const std::vector<QPoint> places = legend_places(QFontMetrics(font()), width);
  const int rows = std::max<int>(1, static_cast<int>(rows_.size()));
  return kTop + rows * kRowHeight + kAxisHeight + places.back().y();
}

void TimelineView::fit_height() {
  const int h = needed_height(width());
  if (minimumHeight() != h) setMinimumHeight(h);
}

void TimelineView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  fit_height();
}

int TimelineView::axis_top() const {
  return kTop + std::max<int>(1, static_cast<int>(rows_.size())) * kRowHeight + 2;
}

QRect TimelineView::strip_rect(int row) const {
  const int right = std::max(label_width_ + 10, width() - kRightMargin);
  return QRect(label_width_, kTop + row * kRowHeight + 2, right - label_width_, kRowHeight - 4);
}

int TimelineView::x_of(int64_t t) const {
  const QRect r = strip_rect(0);
  const double f = double(t - (now_ms_ - span_ms_)) / double(span_ms_);
  return r.left() + static_cast<int>(std::clamp(f, 0.0, 1.0) * r.width());
}

int64_t TimelineView::time_at(int x) const {
  const QRect r = strip_rect(0);
  const double f = std::clamp(double(x - r.left()) / std::max(1, r.width()), 0.0, 1.0);
  return now_ms_ - span_ms_ + static_cast<int64_t>(f * double(span_ms_));
}

void TimelineView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().base());
  const QFontMetrics fm(font());
  const int64_t from = now_ms_ - span_ms_;

  if (rows_.empty()) {
    p.setPen(palette().color(QPalette::PlaceholderText));
    p.drawText(QRect(label_width_, kTop, width() - label_width_, kRowHeight), Qt::AlignVCenter,
               QStringLiteral("Nothing seen yet: a server's strips start once it is monitored."));
  }
  for (int i = 0; i < static_cast<int>(rows_.size()); ++i) {
    const TimelineRow& row = rows_[static_cast<std::size_t>(i)];
    const QRect strip = strip_rect(i);
    p.setPen(palette().color(QPalette::Text));
    p.drawText(QRect(4, strip.top() - 2, label_width_ - 10, kRowHeight),
               Qt::AlignVCenter | Qt::AlignLeft,
               fm.elidedText(row.label, Qt::ElideMiddle, label_width_ - 10));
    // Segments: each state from its change to the next (or to now).
    Availability state = row.at(from);
    int64_t start = from;
    auto draw = [&](int64_t end) {
      const int x0 = x_of(start), x1 = std::max(x_of(end), x0 + 1);
      const QRect seg(x0, strip.top(), x1 - x0, strip.height());
      if (state == Availability::kUnknown)
        p.fillRect(seg, QBrush(availability_colour(state), Qt::BDiagPattern));
      else
        p.fillRect(seg, availability_colour(state));
    };
    for (const auto& c : row.changes) {
      if (c.time_ms <= from) continue;
      if (c.time_ms > now_ms_) break;
      draw(c.time_ms);
      state = c.state;
      start = c.time_ms;
    }
    draw(now_ms_);
    p.setPen(QColor(150, 150, 150));
    p.setBrush(Qt::NoBrush);
    p.drawRect(strip.adjusted(0, 0, -1, -1));
  }

  // Time axis: ticks on round local times, labelled HH:mm.
  const int top = axis_top();
  const QRect first = strip_rect(0);
  p.setPen(QColor(120, 120, 120));
  p.drawLine(first.left(), top, first.right(), top);
  int64_t tick = 60 * 1000;
  for (const Span& s : kSpans)
    if (s.ms == span_ms_) tick = s.tick_ms;
  if (tick == 60 * 1000) tick = std::max<int64_t>(60 * 1000, span_ms_ / 6);
  const int64_t offset = QDateTime::fromMSecsSinceEpoch(now_ms_).offsetFromUtc() * 1000LL;
  for (int64_t t = ((from + offset) / tick + 1) * tick - offset; t <= now_ms_; t += tick) {
    const int x = x_of(t);
    p.drawLine(x, top, x, top + 4);
    const QString text = QDateTime::fromMSecsSinceEpoch(t).toString(QStringLiteral("HH:mm"));
    const int w = fm.horizontalAdvance(text);
    if (x - w / 2 >= first.left() && x + w / 2 <= width()) p.drawText(x - w / 2, top + 16, text);
  }

  // Legend.
  const std::vector<QPoint> places = legend_places(fm, width());
  for (std::size_t i = 0; i < std::size(kLegend); ++i) {
    const LegendKey& k = kLegend[i];
    const int x = places[i].x();
    const int y = top + 20 + places[i].y();
    const QRect box(x, y + 2, 10, 10);
    if (k.state == Availability::kUnknown)
      p.fillRect(box, QBrush(availability_colour(k.state), Qt::BDiagPattern));
    else
      p.fillRect(box, availability_colour(k.state));
    p.setPen(QColor(120, 120, 120));
    p.drawRect(box.adjusted(0, 0, -1, -1));
    p.setPen(palette().color(QPalette::Text));
    p.drawText(x + 14, y + 11, QString::fromLatin1(k.text));
  }
}

bool TimelineView::event(QEvent* e) {
  if (e->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(e);
    const QPoint pos = help->pos();
    for (int i = 0; i < static_cast<int>(rows_.size()); ++i) {
      const QRect strip = strip_rect(i);
      if (pos.y() < strip.top() || pos.y() > strip.bottom() || pos.x() < strip.left() ||
          pos.x() > strip.right())
        continue;
      const TimelineRow& row = rows_[static_cast<std::size_t>(i)];
      const int64_t t = time_at(pos.x());
      QToolTip::showText(
          help->globalPos(),
          QStringLiteral("%1 at %2: %3")
              .arg(row.label,
                   QDateTime::fromMSecsSinceEpoch(t).toString(QStringLiteral("HH:mm:ss")),
                   availability_text(row.kind, row.at(t))),
          this);
      return true;
    }
    QToolTip::hideText();
    e->ignore();
    return true;
  }
  return QWidget::event(e);
}

TimelinePanel::TimelinePanel(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("m_timeline_panel"));
  m_timeline_title = new QLabel(this);
  m_timeline_title->setObjectName(QStringLiteral("m_timeline_title"));
  QFont bold = m_timeline_title->font();
  bold.setBold(true);
  m_timeline_title->setFont(bold);
  m_timeline_span = new QComboBox(this);
  m_timeline_span->setObjectName(QStringLiteral("m_timeline_span"));
  for (const Span& s : kSpans)
    m_timeline_span->addItem(QString::fromLatin1(s.caption), QVariant::fromValue<qint64>(s.ms));
  m_timeline_span->setCurrentIndex(1);
  connect(m_timeline_span, &QComboBox::currentIndexChanged, this, [this] { emit span_changed(); });
  m_timeline_view = new TimelineView;
  m_timeline_scroll = new QScrollArea(this);
  m_timeline_scroll->setObjectName(QStringLiteral("m_timeline_scroll"));
  m_timeline_scroll->setWidget(m_timeline_view);
  m_timeline_scroll->setWidgetResizable(true);
  m_timeline_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_timeline_scroll->setFrameShape(QFrame::StyledPanel);

  auto* head = new QHBoxLayout;
  head->setContentsMargins(0, 0, 0, 0);
  head->addWidget(m_timeline_title, 1);
  head->addWidget(m_timeline_span);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 2, 0, 0);
  layout->setSpacing(2);
  layout->addLayout(head);
  layout->addWidget(m_timeline_scroll, 1);
}

QSize TimelinePanel::sizeHint() const {
  return QSize(QWidget::sizeHint().width(),
               fontMetrics().height() + 12 + kTop + 6 * TimelineView::kRowHeight + kAxisHeight + 8);
}

QSize TimelinePanel::minimumSizeHint() const {
  return QSize(QWidget::minimumSizeHint().width(),
               fontMetrics().height() + 12 + kTop + 2 * TimelineView::kRowHeight + 8);
}

int64_t TimelinePanel::span_ms() const {
  return m_timeline_span->currentData().toLongLong();
}

TimelineRow TimelinePanel::copy_row(const QString& label, TimelineRowKind kind,
                                    const tavrix::AvailabilityRow& row, int64_t from) {
  TimelineRow out;
  out.label = label;
  out.kind = kind;
  // The change in force at `from`, then those after it.
  auto it = std::upper_bound(
      row.changes.begin(), row.changes.end(), from,
      [](int64_t v, const tavrix::AvailabilityChange& c) { return v < c.time_ms; });
  if (it != row.changes.begin()) --it;
  out.changes.assign(it, row.changes.end());
  return out;
}

void TimelinePanel::show_server(const QString& title, const tavrix::AvailabilityHistory* history,
                                int64_t now_ms) {
  m_timeline_title->setText(QStringLiteral("Availability of %1").arg(title));
  std::vector<TimelineRow> rows;
  const int64_t from = now_ms - span_ms();
  if (history && !history->summary().changes.empty())
    for (const auto& r : history->rows())
      rows.push_back(copy_row(QString::fromStdString(r.label),
                              r.port ? TimelineRowKind::kPort : TimelineRowKind::kLan, r, from));
  m_timeline_view->set_rows(std::move(rows), now_ms, span_ms());
}

void TimelinePanel::show_fleet(
    const std::vector<std::pair<std::string, const tavrix::AvailabilityHistory*>>& servers,
    int64_t now_ms) {
  m_timeline_title->setText(QStringLiteral("Availability of the monitored servers"));
  std::vector<TimelineRow> rows;
  const int64_t from = now_ms - span_ms();
  for (const auto& [label, history] : servers)
    rows.push_back(copy_row(QString::fromStdString(label), TimelineRowKind::kServer,
                            history->summary(), from));
  m_timeline_view->set_rows(std::move(rows), now_ms, span_ms());
}

}  // namespace tavrix::ui
