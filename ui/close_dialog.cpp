// The "Closing..." dialog. Its wait runs on the window thread by design: nothing else
// is to happen while the pollers end, and the 5000 ms bound keeps the program from
// hanging on one that does not.
#include "ui/close_dialog.h"

#include <QLabel>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>
#include <chrono>
#include <cstdint>
#include <thread>

#include "core/server_list.h"
#include "ui/forms.h"

namespace {
uint32_t tick_ms() {
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
}  // namespace

tavrix::ui::CloseDialog::CloseDialog(tavrix::ServerList& list, QWidget* parent)
    : QDialog(parent), list_(list) {
  setObjectName(QStringLiteral("m_close_form"));
  setWindowTitle(QStringLiteral("Close"));
  setFont(tavrix::ui::form_font());
  setModal(true);

  m_close_msg = new QLabel(this);
  m_close_msg->setObjectName(QStringLiteral("m_close_msg"));
  QFont f = m_close_msg->font();
  f.setPixelSize(13);
  m_close_msg->setFont(f);
  m_close_msg->setAlignment(Qt::AlignCenter);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(40, 22, 40, 22);
  layout->addWidget(m_close_msg);
  setFixedSize(220, 70);

  m_close_timer = new QTimer(this);
  m_close_timer->setObjectName(QStringLiteral("m_close_timer"));
  m_close_timer->setInterval(100);
  m_close_timer->setSingleShot(true);
  connect(m_close_timer, &QTimer::timeout, this, [this] { on_timer(); });
}

void tavrix::ui::CloseDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) on_show();
}

void tavrix::ui::CloseDialog::on_show() {
  m_close_msg->setText(QStringLiteral("Closing..."));
  m_close_timer->start();
}

void tavrix::ui::CloseDialog::on_timer() {
  accept();
}

void tavrix::ui::CloseDialog::done(int result) {
  m_close_timer->stop();
  on_close();
  QDialog::done(result);
}

void tavrix::ui::CloseDialog::on_close() {
  const uint32_t t0 = tick_ms();
  while (static_cast<uint32_t>(tick_ms() - t0) <= kWaitLimitMs && list_.poller_count() > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
