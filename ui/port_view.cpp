#include "ui/port_view.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPalette>

#include "core/server_record.h"
#include "ui/report_view.h"

namespace tavrix::ui {

PortView::PortView(QWidget* parent) : QTableView(parent), model_(new PortTableModel(this)) {
  setObjectName(QStringLiteral("m_mon_list"));
  setModel(model_);
  style_report_view(this, {40, 120, 50, 100, 100, 100, 100});
  setMouseTracking(true);
  viewport()->setMouseTracking(true);
  viewport()->installEventFilter(this);
}

PortView::~PortView() {
  viewport()->removeEventFilter(this);
}

void PortView::show_server(const tavrix::ServerRecord& rec) {
  if (rec.monitoring.load() == 0) {
    model_->show_idle(rec);
    set_text_colour(kIdleText);
    return;
  }
  const bool answering = rec.online.load() != 0;
  set_text_colour(answering ? kOnlineText : kOfflineText);
  model_->show_monitored(rec, answering);
}

void PortView::remark_hover() {
  if (hot_row_ >= 0 && hot_row_ < model_->rowCount()) model_->set_hover_mark(hot_row_, 1);
}

void PortView::set_text_colour(const QColor& colour) {
  text_colour_ = colour;
  QPalette pal = palette();
  pal.setColor(QPalette::Text, colour);
  setPalette(pal);
}

void PortView::hover(const QPoint& viewport_pos) {
  const int row = rowAt(viewport_pos.y());
  if (row < 0 || row == hot_row_) return;
  if (hot_row_ < model_->rowCount()) model_->set_hover_mark(hot_row_, 0);
  model_->set_hover_mark(row, 1);
  hot_row_ = row;
}

bool PortView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == viewport() && event->type() == QEvent::MouseMove)
    hover(static_cast<QMouseEvent*>(event)->position().toPoint());
  return QTableView::eventFilter(watched, event);
}

}  // namespace tavrix::ui
