// The loopback-only note, from core's check of the host's addresses.
#include "ui/host_note.h"

#include <QLabel>
#include <QMainWindow>
#include <QStatusBar>

#include "core/host_addresses.h"

namespace tavrix::ui {

bool note_host_addresses(QMainWindow* window) {
  const bool lonely = tavrix::host_has_only_loopback();
  auto* note = window->findChild<QLabel*>(QStringLiteral("m_host_note"));
  if (!lonely) {
    if (note) note->hide();
    return false;
  }
  if (!note) {
    note = new QLabel(window);
    note->setObjectName(QStringLiteral("m_host_note"));
    note->setWordWrap(true);
    note->setTextInteractionFlags(Qt::TextSelectableByMouse);
    window->statusBar()->addPermanentWidget(note, 1);
  }
  QString text = QString::fromLatin1(tavrix::kLoopbackOnlyText);
  text[0] = text[0].toUpper();
  note->setText(text + QLatin1Char('.'));
  note->show();
  return true;
}

}  // namespace tavrix::ui
