// The Run menu's option items beside Settings.
#include "ui/desk_options.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

#include "ui/main_window.h"

namespace tavrix::ui {

namespace {

QAction* check_action(QObject* parent, const char* name, const QString& caption, bool* option) {
  auto* act = new QAction(caption, parent);
  act->setObjectName(QString::fromLatin1(name));
  act->setCheckable(true);
  act->setChecked(*option);
  QObject::connect(act, &QAction::toggled, parent, [option](bool on) { *option = on; });
  return act;
}

struct KindRow {
  NotifyKind kind;
  const char* name;
  const char* caption;
};
constexpr KindRow kKinds[] = {
    {kNotifyOffLine, "m_notify_offline_act", "Server Off Line"},
    {kNotifyOnLine, "m_notify_online_act", "Server Back On Line"},
    {kNotifyLan, "m_notify_lan_act", "LAN Lost or Back"},
    {kNotifyRedundancy, "m_notify_redundancy_act", "Redundant COM on One LAN Only"},
};

}  // namespace

DeskActions add_desk_actions(tavrix::ui::MainWindow* window, DeskOptions& options) {
  DeskActions a;
  a.resume = check_action(window, "m_resume_act", QStringLiteral("Resume Monitoring at Start"),
                          &options.resume);
  a.close_to_tray = check_action(window, "m_close_to_tray_act", QStringLiteral("Close to Tray"),
                                 &options.close_to_tray);
  a.do_not_disturb =
      check_action(window, "m_dnd_act", QStringLiteral("Do Not Disturb"), &options.do_not_disturb);
  a.notify_menu = new QMenu(QStringLiteral("Notify When"), window);
  a.notify_menu->setObjectName(QStringLiteral("m_notify_menu"));
  for (const KindRow& row : kKinds) {
    auto* act = new QAction(QString::fromLatin1(row.caption), a.notify_menu);
    act->setObjectName(QString::fromLatin1(row.name));
    act->setCheckable(true);
    act->setChecked(options.notify_kinds & row.kind);
    const int bit = row.kind;
    QObject::connect(act, &QAction::toggled, window, [&options, bit](bool on) {
      options.notify_kinds = on ? (options.notify_kinds | bit) : (options.notify_kinds & ~bit);
    });
    a.notify_menu->addAction(act);
  }
  // The Run menu ends with Settings; the options follow it, after a separator.
  for (QAction* top : window->menuBar()->actions()) {
    if (top->text() != QStringLiteral("Run") || !top->menu()) continue;
    QMenu* run = top->menu();
    run->addSeparator();
    run->addAction(a.resume);
    run->addAction(a.close_to_tray);
    run->addAction(a.do_not_disturb);
    run->addMenu(a.notify_menu);
  }
  return a;
}

void sync_desk_actions(const DeskActions& a, const DeskOptions& options) {
  a.resume->setChecked(options.resume);
  a.close_to_tray->setChecked(options.close_to_tray);
  a.do_not_disturb->setChecked(options.do_not_disturb);
  int i = 0;
  for (QAction* act : a.notify_menu->actions())
    act->setChecked(options.notify_kinds & kKinds[i++].kind);
}

}  // namespace tavrix::ui
