// The broadcast search dialog. The search itself runs on tavrix::ServerList's worker; this form
// only starts and stops it, shows the kept replies on a 100 ms timer, and on OK
// replaces the server list with the ticked rows.
#include "ui/search_dialog.h"

#include <QFont>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QTableWidget>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>

#include "core/server_list.h"
#include "qeld/library.h"
#include "qeld/model_map.h"
#include "ui/add_server.h"
#include "ui/forms.h"
#include "ui/list_replacement_prompt.h"
#include "ui/message_box.h"

namespace {

constexpr int kClientWidth = 625;
constexpr int kClientHeight = 285;
constexpr uint32_t kBroadcast = 0xFFFFFFFFu;

std::atomic<uint32_t> g_scan_target{kBroadcast};

uint32_t tick_ms() {
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

QString qs(const std::string& s) {
  return QString::fromStdString(s);
}

QTableWidgetItem* read_only_item(const QString& text) {
  auto* item = new QTableWidgetItem(text);
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  return item;
}

}  // namespace

int tavrix::ui::SearchDialog::mac_width_extra() const {
  // A MAC with letters ("00:90:E8:CC:00:FF") is wider than the 110 pixels of the design.
  const int needed = fontMetrics().horizontalAdvance(QStringLiteral("DD:DD:DD:DD:DD:DD")) + 14;
  return 2 * std::max(0, needed - 110);
}

void tavrix::ui::SearchDialog::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  fit_to_size();
}

void tavrix::ui::SearchDialog::fit_to_size() {
  if (!m_enum_list) return;
  const int dw = width() - kClientWidth;
  const int dh = height() - kClientHeight;
  m_search_group->setGeometry(8, 4, 609 + dw, 238 + dh);
  m_enum_selectall->move(431 + dw, 22);
  m_enum_clearall->move(517 + dw, 22);
  m_enum_msg->resize(469 + dw, 18);
  m_enum_list->setGeometry(12, 74, 585 + dw, 154 + dh);
  m_enum_ok->move(455 + dw, 251 + dh);
  m_enum_cancel->move(538 + dw, 251 + dh);
}

void tavrix::ui::SearchDialog::set_scan_target(uint32_t target_network_order) {
  g_scan_target.store(target_network_order);
}

tavrix::ui::SearchDialog::SearchDialog(tavrix::ServerList& list, QWidget* parent)
    : QDialog(parent), list_(list) {
  setObjectName("m_search_form");
  setWindowTitle("Search");
  // One face for every control, as in the other dialogs; set before the children are
  // made so that they (and the bold copy below) inherit it.
  setFont(tavrix::ui::form_font());
  // The designed size is the smallest; a larger dialog shows more rows.
  setMinimumSize(kClientWidth + mac_width_extra(), kClientHeight);
  resize(kClientWidth + mac_width_extra(), kClientHeight);
  setSizeGripEnabled(true);

  m_search_group = new QGroupBox("Searching Tavrix(s)", this);
  m_search_group->setObjectName("m_search_group");
  m_search_group->setGeometry(8, 4, 609, 238);

  m_enum_scan = new QPushButton("&Rescan", m_search_group);
  m_enum_scan->setObjectName("m_enum_scan");
  m_enum_scan->setGeometry(12, 22, 80, 25);
  m_enum_stop = new QPushButton("&Stop", m_search_group);
  m_enum_stop->setObjectName("m_enum_stop");
  m_enum_stop->setGeometry(98, 22, 80, 25);
  m_enum_selectall = new QPushButton("Select &All", m_search_group);
  m_enum_selectall->setObjectName("m_enum_selectall");
  m_enum_selectall->setGeometry(431, 22, 80, 25);
  m_enum_clearall = new QPushButton("&Clear All", m_search_group);
  m_enum_clearall->setObjectName("m_enum_clearall");
  m_enum_clearall->setGeometry(517, 22, 80, 25);

  m_enum_status = new QLabel(m_search_group);
  m_enum_status->setObjectName("m_enum_status");
  m_enum_status->setGeometry(12, 52, 110, 18);
  m_enum_msg = new QLabel(m_search_group);
  m_enum_msg->setObjectName("m_enum_msg");
  m_enum_msg->setGeometry(128, 52, 469, 18);
  QFont bold = m_enum_msg->font();
  bold.setBold(true);
  m_enum_msg->setFont(bold);

  m_enum_list = new QTableWidget(m_search_group);
  m_enum_list->setObjectName("m_enum_list");
  m_enum_list->setGeometry(12, 74, 585, 154);
  m_enum_list->setShowGrid(true);
  m_enum_list->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_enum_list->setSelectionMode(QAbstractItemView::SingleSelection);
  m_enum_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_enum_list->verticalHeader()->setVisible(false);
  m_enum_list->verticalHeader()->setDefaultSectionSize(20);
  m_enum_list->horizontalHeader()->setHighlightSections(false);
  m_enum_list->horizontalHeader()->setStretchLastSection(false);
  m_enum_list->setWordWrap(false);
  // Tab leaves the list for the buttons; the arrows move within it.
  m_enum_list->setTabKeyNavigation(false);

  m_enum_ok = new QPushButton("OK", this);
  m_enum_ok->setObjectName("m_enum_ok");
  m_enum_ok->setGeometry(455, 251, 75, 25);
  m_enum_ok->setDefault(true);
  // Every button takes Enter while it has the focus; from anywhere else Enter is OK.
  m_enum_cancel = new QPushButton("Cancel", this);
  m_enum_cancel->setObjectName("m_enum_cancel");
  m_enum_cancel->setGeometry(538, 251, 75, 25);
  for (QPushButton* b :
       {m_enum_scan, m_enum_stop, m_enum_selectall, m_enum_clearall, m_enum_ok, m_enum_cancel})
    b->setAutoDefault(true);

  m_enum_timer = new QTimer(this);
  m_enum_timer->setObjectName("m_enum_timer");
  m_enum_timer->setInterval(100);

  connect(m_enum_scan, &QPushButton::clicked, this, &tavrix::ui::SearchDialog::on_scan);
  connect(m_enum_stop, &QPushButton::clicked, this, &tavrix::ui::SearchDialog::on_stop);
  connect(m_enum_selectall, &QPushButton::clicked, this, &tavrix::ui::SearchDialog::on_select_all);
  connect(m_enum_clearall, &QPushButton::clicked, this, &tavrix::ui::SearchDialog::on_clear_all);
  connect(m_enum_ok, &QPushButton::clicked, this, &tavrix::ui::SearchDialog::on_ok);
  connect(m_enum_cancel, &QPushButton::clicked, this, &tavrix::ui::SearchDialog::on_cancel);
  connect(m_enum_timer, &QTimer::timeout, this, &tavrix::ui::SearchDialog::on_timer);

  create_controls();
  fit_to_size();
}

tavrix::ui::SearchDialog::~SearchDialog() {
  m_enum_timer->stop();
}

void tavrix::ui::SearchDialog::create_controls() {
  static const char* const kCaptions[] = {
      "", "Model", "MAC address 1", "IP address 1", "MAC address 2", "IP address 2"};
  const int mac = 110 + mac_width_extra() / 2;
  const int kWidths[] = {35, 110, mac, 95, mac, 95};
  m_enum_list->setColumnCount(6);
  for (int c = 0; c < 6; ++c) {
    m_enum_list->setHorizontalHeaderItem(c, new QTableWidgetItem(kCaptions[c]));
    m_enum_list->setColumnWidth(c, kWidths[c]);
  }
  m_enum_list->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  dot_count = 1;
}

void tavrix::ui::SearchDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;
  tavrix::ui::center_on_screen(this);
  on_show();
}

void tavrix::ui::SearchDialog::on_show() {
  shown_count = 0;
  m_enum_list->setRowCount(0);
  m_enum_status->clear();
  m_enum_msg->clear();
  m_enum_scan->setEnabled(true);
  m_enum_stop->setEnabled(false);
}

void tavrix::ui::SearchDialog::on_close() {
  m_enum_timer->stop();
}

void tavrix::ui::SearchDialog::done(int result) {
  on_close();
  QDialog::done(result);
}

void tavrix::ui::SearchDialog::on_scan() {
  m_enum_scan->setEnabled(false);
  m_enum_stop->setEnabled(true);
  list_.clear_results();
  m_enum_list->setRowCount(0);
  shown_count = 0;
  const uint32_t target = g_scan_target.load();
  if (target == kBroadcast || target == 0)
    list_.start_search(0, 0);
  else
    list_.start_search(1, target);
  m_enum_timer->start();
  countdown_start = tick_ms();
  countdown_seconds = list_.search_timeout.load();
}

void tavrix::ui::SearchDialog::on_timer() {
  const int n = list_.result_count();

  const QString dots(dot_count, QChar('.'));
  if (++dot_count == 6) dot_count = 0;
  m_enum_status->setText(QString::asprintf("Searching%s", dots.toLatin1().constData()));

  // Unsigned difference, so a tick wrap-around still counts forward.
  int remaining = countdown_seconds - static_cast<int>((tick_ms() - countdown_start) / 1000u);
  if (remaining < 0) remaining = 0;
  m_enum_msg->setText(QString::asprintf("Found %d Tavrix(s), remaining %d seconds.", n, remaining));

  checkboxes_on_ = true;

  if (n != shown_count) {
    // A new server makes the engine count its quiet rounds afresh; so does the display.
    countdown_start = tick_ms();
    countdown_seconds = list_.search_timeout.load();
    for (int i = shown_count; i < n; ++i) add_row(i);
  }
  shown_count = n;
  repaint();

  if (list_.search_finished()) on_stop();
}

void tavrix::ui::SearchDialog::add_row(int result_index) {
  const qeld::DeviceIdentity* r = list_.result_at(result_index);
  if (!r) return;
  const qeld::DeviceIdentity reply = *r;
  const int row = m_enum_list->rowCount();
  m_enum_list->insertRow(row);

  auto* caption = read_only_item(QString::number(result_index + 1));
  caption->setData(Qt::UserRole, result_index);
  if (checkboxes_on_) {
    caption->setFlags(caption->flags() | Qt::ItemIsUserCheckable);
    caption->setCheckState(Qt::Checked);
  }
  m_enum_list->setItem(row, 0, caption);
  m_enum_list->setItem(row, 1,
                       read_only_item(qs(qeld::model_name(reply.model_key, reply.model_id))));
  m_enum_list->setItem(row, 2, read_only_item(qs(tavrix::mac_text(reply.mac1))));
  m_enum_list->setItem(row, 3, read_only_item(qs(tavrix::ip_text(reply.ip1, true))));
  const std::string mac2 = tavrix::mac_text(reply.mac2);
  const bool second_lan = mac2 != tavrix::kNoMac;
  m_enum_list->setItem(row, 4, read_only_item(second_lan ? qs(mac2) : QString("---")));
  m_enum_list->setItem(
      row, 5, read_only_item(second_lan ? qs(tavrix::ip_text(reply.ip2, true)) : QString("---")));
}

void tavrix::ui::SearchDialog::on_stop() {
  m_enum_scan->setEnabled(true);
  m_enum_stop->setEnabled(false);
  // The worker ends at its next callback; the dialog does not wait for it.
  list_.abort_search();
  m_enum_timer->stop();
  m_enum_status->setText("Complete.");
  m_enum_msg->setText(QString::asprintf("Found %d Tavrix(s).", list_.result_count()));
}

int tavrix::ui::SearchDialog::row_result_index(int row) const {
  const QTableWidgetItem* item = m_enum_list->item(row, 0);
  return item ? item->data(Qt::UserRole).toInt() : -1;
}

bool tavrix::ui::SearchDialog::row_ticked(int row) const {
  const QTableWidgetItem* item = m_enum_list->item(row, 0);
  return item && (item->flags() & Qt::ItemIsUserCheckable) && item->checkState() == Qt::Checked;
}

void tavrix::ui::SearchDialog::set_row_ticked(int row, bool ticked) {
  QTableWidgetItem* item = m_enum_list->item(row, 0);
  if (!item) return;
  item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
  item->setCheckState(ticked ? Qt::Checked : Qt::Unchecked);
}

void tavrix::ui::SearchDialog::on_select_all() {
  for (int row = 0; row < m_enum_list->rowCount(); ++row) set_row_ticked(row, true);
}

void tavrix::ui::SearchDialog::on_clear_all() {
  for (int row = 0; row < m_enum_list->rowCount(); ++row) set_row_ticked(row, false);
}

void tavrix::ui::SearchDialog::on_ok() {
  int ticked = 0;
  for (int row = 0; row < m_enum_list->rowCount(); ++row)
    if (row_ticked(row)) ++ticked;
  if (ticked == 0) {
    done(QDialog::Rejected);
    return;
  }

  std::vector<qeld::DeviceIdentity> chosen;
  for (int row = 0; row < m_enum_list->rowCount(); ++row)
    if (const qeld::DeviceIdentity* r =
            row_ticked(row) ? list_.result_at(row_result_index(row)) : nullptr)
      chosen.push_back(*r);
  // Cancel goes back to the ticks.
  if (!tavrix::ui::confirm_dropping_monitored(this, list_, chosen)) return;
  // Every poller gets its own stop request as well as the stop-all flag; the flag is
  // cleared again afterwards, or no server of the new list could ever be monitored.
  list_.set_stop_all(1);
  list_.stop_all_pollers(5000);
  list_.set_stop_all(0);

  list_.clear_servers();  // the records close their handles as they go

  for (int row = 0; row < m_enum_list->rowCount(); ++row) {
    if (!row_ticked(row)) continue;
    const qeld::DeviceIdentity* r = list_.result_at(row_result_index(row));
    if (!r) continue;
    const qeld::DeviceIdentity reply = *r;
    // A full list refuses (and says so) once; the rest would only be refused again.
    if (!tavrix::ui::add_server_or_report(this, list_, list_.make_server_record(reply))) break;
  }
  done(QDialog::Accepted);
}

void tavrix::ui::SearchDialog::on_cancel() {
  done(QDialog::Rejected);
}
