// The tray icon, its menu and Close to Tray.
#include "ui/tray_icon.h"

#include <QAction>
#include <QCloseEvent>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

#include "core/event_log.h"
#include "core/server_list.h"
#include "ui/main_window.h"
#include "ui/single_instance.h"

namespace tavrix::ui {

FleetCounts fleet_counts(const tavrix::ui::MainWindow& window) {
  FleetCounts c;
  const tavrix::ServerList& list = window.server_list();
  for (int i = 0; i < list.server_count(); ++i) {
    const tavrix::ServerRecord* rec = list.server_at(i);
    if (rec->monitoring.load() != 1) continue;
    ++c.monitored;
    const int online = rec->online.load();
    const int all = rec->dual_lan == 1 ? 3 : 1;
    if (online == 0)
      ++c.off_line;
    else if (online != all || window.event_log().redundancy_lost(rec))
      ++c.degraded;
    else
      ++c.on_line;
  }
  return c;
}

FleetState fleet_state(const FleetCounts& c) {
  if (c.monitored == 0) return FleetState::kNotMonitoring;
  if (c.off_line > 0) return FleetState::kOffLine;
  if (c.degraded > 0) return FleetState::kRedundancyLost;
  return FleetState::kAllOnLine;
}

QColor fleet_colour(FleetState state) {
  switch (state) {
    case FleetState::kAllOnLine:
      return QColor(0, 160, 60);
    case FleetState::kRedundancyLost:
      return QColor(240, 170, 0);
    case FleetState::kOffLine:
      return QColor(220, 0, 0);
    case FleetState::kNotMonitoring:
      break;
  }
  return QColor(150, 150, 150);
}

QString fleet_tooltip(const FleetCounts& c) {
  if (c.monitored == 0) return QStringLiteral("Tavrix Monitor Utility\nNot monitoring");
  return QStringLiteral(
             "Tavrix Monitor Utility\n%1 monitored: %2 On Line, %3 with redundancy lost, %4 Off "
             "Line")
      .arg(c.monitored)
      .arg(c.on_line)
      .arg(c.degraded)
      .arg(c.off_line);
}

QIcon fleet_icon(FleetState state) {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48}) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(40, 40, 40), size / 16.0 + 0.5));
    p.setBrush(fleet_colour(state));
    const qreal m = size / 8.0;
    p.drawEllipse(QRectF(m, m, size - 2 * m, size - 2 * m));
    p.end();
    icon.addPixmap(pm);
  }
  return icon;
}

TrayIcon::TrayIcon(tavrix::ui::MainWindow* window, DeskOptions& options, const DeskActions& actions)
    : QObject(window), window_(window), options_(options) {
  menu_ = new QMenu(window_);
  menu_->setObjectName(QStringLiteral("m_tray_menu"));
  QAction* show = menu_->addAction(QStringLiteral("Show"));
  show->setObjectName(QStringLiteral("m_tray_show_act"));
  connect(show, &QAction::triggered, window_, [this] { raise_window(window_); });
  QAction* start = menu_->addAction(QStringLiteral("Start All"));
  start->setObjectName(QStringLiteral("m_tray_start_all_act"));
  connect(start, &QAction::triggered, window_, [this] {
    window_->start_all_servers();
    update();
  });
  QAction* stop = menu_->addAction(QStringLiteral("Stop All"));
  stop->setObjectName(QStringLiteral("m_tray_stop_all_act"));
  connect(stop, &QAction::triggered, window_, [this] {
    window_->stop_all_servers();
    update();
  });
  menu_->addSeparator();
  menu_->addAction(actions.do_not_disturb);
  menu_->addAction(actions.close_to_tray);
  menu_->addSeparator();
  // Exit asks as the window's Exit does; the window may be hidden, the question is not.
  QAction* exit = menu_->addAction(window_->exit_action()->icon(), QStringLiteral("Exit"));
  exit->setObjectName(QStringLiteral("m_tray_exit_act"));
  connect(exit, &QAction::triggered, window_, [this] {
    if (!window_->isVisible()) raise_window(window_);
    window_->exit_action()->trigger();
  });

  icon_ = new QSystemTrayIcon(fleet_icon(state_), this);
  icon_->setObjectName(QStringLiteral("m_tray_icon"));
  icon_->setContextMenu(menu_);
  connect(icon_, &QSystemTrayIcon::activated, window_, [this](QSystemTrayIcon::ActivationReason r) {
    if (r != QSystemTrayIcon::Trigger && r != QSystemTrayIcon::DoubleClick) return;
    if (window_->isVisible() && !window_->isMinimized())
      window_->hide();
    else
      raise_window(window_);
  });
  window_->installEventFilter(this);
  timer_ = new QTimer(this);
  timer_->setInterval(kUpdateMs);
  connect(timer_, &QTimer::timeout, this, [this] { update(); });
  timer_->start();
  update();
}

TrayIcon::~TrayIcon() {
  window_->removeEventFilter(this);
}

bool TrayIcon::available() const {
  return QSystemTrayIcon::isSystemTrayAvailable();
}

QString TrayIcon::tooltip() const {
  return icon_->toolTip();
}

void TrayIcon::update() {
  const FleetCounts counts = fleet_counts(*window_);
  const FleetState now = fleet_state(counts);
  if (now != state_ || icon_->icon().isNull()) icon_->setIcon(fleet_icon(now));
  state_ = now;
  icon_->setToolTip(fleet_tooltip(counts));
  if (available()) {
    if (!icon_->isVisible()) icon_->show();
  } else if (!told_no_tray_ && ++checks_without_tray_ >= kTrayWaitChecks) {
    // A tray that starts with the session may come a moment after the window.
    told_no_tray_ = true;
    window_->show_note(QStringLiteral("m_tray_status"),
                       QStringLiteral("No system tray on this desktop: closing the window exits, "
                                      "and Close to Tray has no effect."));
  }
}

bool TrayIcon::eventFilter(QObject* watched, QEvent* event) {
  // Only the window manager's close (title bar, Alt+F4) goes to the tray; Exit closes.
  if (watched == window_ && event->type() == QEvent::Close && event->spontaneous() &&
      options_.close_to_tray && available() && icon_->isVisible()) {
    event->ignore();
    window_->hide();
    return true;
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace tavrix::ui
