// The search-by-IP dialog. It starts tavrix::ServerList's search worker aimed at one address,
// counts down on a 100 ms timer, and adds the answering server unless it is known.
#include "ui/search_ip_dialog.h"

#include <arpa/inet.h>

#include <QAction>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QTimer>
#include <cstring>

#include "core/clock.h"
#include "core/find_server.h"
#include "core/server_list.h"
#include "core/string_table.h"
#include "qeld/library.h"
#include "ui/add_server.h"
#include "ui/forms.h"
#include "ui/message_box.h"

namespace {

constexpr int kClientWidth = 310;
constexpr int kClientHeight = 105;

}  // namespace

bool tavrix::ui::SearchIpDialog::valid_search_address(uint32_t address) {
  // The last dotted octet is the last byte in memory of a network-order value.
  uint8_t bytes[4];
  std::memcpy(bytes, &address, 4);
  return bytes[3] != 0 && bytes[3] != 255;
}

tavrix::ui::SearchIpDialog::SearchIpDialog(tavrix::ServerList& list, QWidget* parent)
    : QDialog(parent), list_(list) {
  setObjectName("m_searchIP_form");
  setWindowTitle("Search IP");
  setFont(tavrix::ui::form_font());  // before the children, which inherit it
  setFixedSize(kClientWidth, kClientHeight);
  setSizeGripEnabled(false);

  m_address_label = new QLabel("Enter an IP Address", this);
  m_address_label->setObjectName("Label1");
  m_address_label->setGeometry(12, 6, 190, 17);

  m_ipaddress = new QLineEdit(this);
  m_ipaddress->setObjectName("m_ipaddress");
  m_ipaddress->setGeometry(12, 25, 196, 24);

  m_search_act = new QAction("Search", this);
  m_search_act->setObjectName("m_search_act");
  addAction(m_search_act);

  m_search = new QPushButton(m_search_act->text(), this);
  m_search->setObjectName("m_search");
  m_search->setGeometry(220, 24, 80, 25);
  m_search->setDefault(true);

  m_close = new QPushButton("Close", this);
  m_close->setObjectName("m_close");
  m_close->setGeometry(220, 54, 80, 25);
  // A focused button takes Enter itself; from the edit Enter is Search.
  m_search->setAutoDefault(true);
  m_close->setAutoDefault(true);

  m_search_status = new QLabel(this);
  m_search_status->setObjectName("m_search_status");
  // A status line of its own across the dialog, so the countdown is never cut.
  m_search_status->setGeometry(12, 84, 288, 18);
  QFont bold = m_search_status->font();
  bold.setBold(true);
  m_search_status->setFont(bold);

  m_searchip_timer = new QTimer(this);
  m_searchip_timer->setObjectName("m_searchip_timer");
  m_searchip_timer->setInterval(100);

  // The button follows its action: a click runs it, and its enabling shows on the button.
  connect(m_search, &QPushButton::clicked, m_search_act, &QAction::trigger);
  connect(m_search_act, &QAction::changed, this,
          [this] { m_search->setEnabled(m_search_act->isEnabled()); });
  connect(m_search_act, &QAction::triggered, this, &tavrix::ui::SearchIpDialog::on_search);
  connect(m_close, &QPushButton::clicked, this, &tavrix::ui::SearchIpDialog::on_close_clicked);
  connect(m_searchip_timer, &QTimer::timeout, this, &tavrix::ui::SearchIpDialog::on_timer);

  searching = 0;
  m_search_status->clear();
  update_search_action();
}

tavrix::ui::SearchIpDialog::~SearchIpDialog() {
  m_searchip_timer->stop();
}

void tavrix::ui::SearchIpDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;
  tavrix::ui::center_on_screen(this);
  on_show();
}

void tavrix::ui::SearchIpDialog::on_show() {
  searching = 0;
  m_search_status->clear();
  update_search_action();
  m_ipaddress->setFocus();
}

void tavrix::ui::SearchIpDialog::done(int result) {
  m_searchip_timer->stop();
  QDialog::done(result);
}

void tavrix::ui::SearchIpDialog::update_search_action() {
  m_search_act->setEnabled(searching == 0);
}

void tavrix::ui::SearchIpDialog::on_search() {
  if (searching != 0) return;  // a second Search before the action's update caught up
  // Spaces around a pasted address are not part of it.
  if (m_ipaddress->text() != m_ipaddress->text().trimmed())
    m_ipaddress->setText(m_ipaddress->text().trimmed());
  const QByteArray text = m_ipaddress->text().toLatin1();
  const uint32_t address = ::inet_addr(text.constData());
  if (!valid_search_address(address)) {
    tavrix::ui::message_box(this, "Invalid IP Address", tavrix::ui::MsgIcon::Error,
                            tavrix::ui::MsgButtons::Ok);
    m_ipaddress->setFocus();
    return;
  }
  list_.start_search(1, address);
  searching = 1;
  update_search_action();
  m_searchip_timer->start();
  countdown_start = tavrix::tick_ms();
  countdown_seconds = list_.search_timeout.load();
}

void tavrix::ui::SearchIpDialog::on_timer() {
  const int n = list_.result_count();
  if (n == 0) {
    int remaining =
        countdown_seconds - static_cast<int>((tavrix::tick_ms() - countdown_start) / 1000u);
    if (remaining < 0) remaining = 0;
    m_search_status->setText(QString::asprintf("Searching, remaining %d seconds...", remaining));
  } else if (tavrix::core::replies_settled(n, list_.result_at(0))) {
    finish_search();
    return;
  }
  if (list_.search_finished()) finish_search();
}

void tavrix::ui::SearchIpDialog::finish_search() {
  if (searching == 1) {
    list_.abort_search();
    m_searchip_timer->stop();
  }
  const int n = list_.result_count();
  const qeld::DeviceIdentity* first = n > 0 ? list_.result_at(0) : nullptr;
  if (!first) {
    // Said before closing, so that a silent address is not mistaken for a closed dialog.
    tavrix::ui::message_box(
        this, QStringLiteral("No Tavrix server answered at %1.").arg(m_ipaddress->text()),
        tavrix::ui::MsgIcon::Information, tavrix::ui::MsgButtons::Ok);
    done(QDialog::Rejected);
    return;
  }
  const qeld::DeviceIdentity reply = tavrix::core::choose_reply(*first, list_.result_at(1));

  if (list_.server_exists(reply)) {
    tavrix::ui::message_box(this,
                            QString::fromStdString(tavrix::load_str(tavrix::kStrAlreadyExists)),
                            tavrix::ui::MsgIcon::Warning, tavrix::ui::MsgButtons::Ok);
    done(QDialog::Rejected);
    return;
  }
  if (!tavrix::ui::add_server_or_report(this, list_, list_.make_server_record(reply))) {
    done(QDialog::Rejected);
    return;
  }
  done(QDialog::Accepted);
}

void tavrix::ui::SearchIpDialog::on_close_clicked() {
  done(QDialog::Rejected);
}
