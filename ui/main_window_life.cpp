// The main window's life: library start on first showing, the refresh timer, the
// dialogs it opens, Exit and the orderly shutdown.
#include <QAction>
#include <QCloseEvent>
#include <QLabel>
#include <QShowEvent>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>
#include <chrono>
#include <thread>

#include "core/string_table.h"
#include "qeld/library.h"
#include "qeld/model_map.h"
#include "ui/about_box.h"
#include "ui/close_dialog.h"
#include "ui/forms.h"
#include "ui/host_note.h"
#include "ui/list_replacement_prompt.h"
#include "ui/main_window.h"
#include "ui/message_box.h"
#include "ui/search_dialog.h"
#include "ui/search_ip_dialog.h"
#include "ui/server_tree.h"
#include "ui/settings_dialog.h"

using tavrix::ui::message_box;
using tavrix::ui::MsgButtons;
using tavrix::ui::MsgIcon;
using tavrix::ui::MsgResult;

namespace {
// An aborted search ends within one quiet wait (a second); this bounds a stuck one.
constexpr int kSearchEndLimitMs = 5000;
}  // namespace

void tavrix::ui::MainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // Restoring a minimised window is not a new showing.
  if (!event->spontaneous()) on_show();
}

void tavrix::ui::MainWindow::on_show() {
  const bool was_started = qeld::library_started();
  if (qeld::library_start() == 0) {
    message_box(this, QStringLiteral("QELD initialization failed!!!"), MsgIcon::Error,
                MsgButtons::Ok);
    return;
  }
  tavrix::ui::note_host_addresses(this);
  // Only the showing that loaded the map reports it; later showings reuse that map.
  if (was_started) return;
  const std::string tried = qeld::model_map_problem("; ");
  if (tried.empty()) return;
  // A line in the status bar, not a box: a start without a map is not an error of
  // the start itself, and it stays in view while the user wonders why nothing is found.
  auto* note = new QLabel(
      QStringLiteral("No model map, so a search finds no server. GIdMap.dat was looked for in: ") +
          QString::fromStdString(tried),
      this);
  note->setObjectName(QStringLiteral("m_map_status"));
  note->setWordWrap(true);
  note->setTextInteractionFlags(Qt::TextSelectableByMouse);
  statusBar()->addPermanentWidget(note, 1);
}

void tavrix::ui::MainWindow::on_refresh_timer() {
  const int index = selected_server();
  const tavrix::ServerRecord* rec = index >= 0 ? list_.server_at(index) : nullptr;
  if (!rec || rec->monitoring.load() != 1) return;
  update_mon_list(index);
  m_mon_list->remark_hover();
}

namespace {
// Runs a fresh search dialog stored in `slot`, then destroys it.
template <class Dialog>
bool run_fresh_dialog(Dialog*& slot, tavrix::ServerList& list, QWidget* parent) {
  delete slot;  // the start-up instance (or a leftover) is never reused
  slot = new Dialog(list, parent);
  const bool ok = slot->exec() == QDialog::Accepted;
  delete slot;
  slot = nullptr;
  return ok;
}
}  // namespace

void tavrix::ui::MainWindow::on_search() {
  tavrix::ui::note_host_addresses(this);
  const auto before = tavrix::ui::listed_servers(list_);
  if (run_fresh_dialog(m_search_form, list_, this)) rebuild_tree(-1);
  tavrix::ui::offer_to_resume(this, list_, before, [this](int i) { return start_server(i); });
}

void tavrix::ui::MainWindow::on_search_ip() {
  if (run_fresh_dialog(m_searchIP_form, list_, this)) rebuild_tree(-1);
  // After its last message box the dialog is gone: the keys go back to the tree.
  activateWindow();
  m_mon_tree->setFocus();
}

void tavrix::ui::MainWindow::on_settings() {
  if (m_set_form && m_set_form->exec() == QDialog::Accepted)
    m_main_timer->setInterval(list_.refresh_rate.load() * 1000);
}

void tavrix::ui::MainWindow::on_about() {
  if (m_aboutbox) m_aboutbox->exec();
}

void tavrix::ui::MainWindow::on_exit() {
  const QString question = QString::fromStdString(tavrix::load_str(tavrix::kStrExitQuestion));
  if (message_box(this, question, MsgIcon::Warning, MsgButtons::YesCancel) != MsgResult::Cancel)
    close();
}

void tavrix::ui::MainWindow::closeEvent(QCloseEvent* event) {
  // The title bar's close and Alt+F4 ask the same question as Exit.
  if (!shut_down_ && event->spontaneous()) {
    const QString question = QString::fromStdString(tavrix::load_str(tavrix::kStrExitQuestion));
    if (message_box(this, question, MsgIcon::Warning, MsgButtons::YesCancel) == MsgResult::Cancel) {
      event->ignore();
      return;
    }
  }
  if (!shut_down_) {
    shut_down_ = true;
    on_close();
  }
  event->accept();
}

void tavrix::ui::MainWindow::on_close() {
  m_main_timer->stop();
  list_.set_stop_all(1);
  // A search whose dialog has closed may still run; it ends at its next quiet wait,
  // while the close dialog waits for the pollers.
  list_.abort_search();
  if (m_close_form) m_close_form->exec();
  // Pollers still asleep in their pause are told to end now; the server list's
  // destructor joins them at exit, so no thread outlives the program.
  for (int i = 0; i < list_.server_count(); ++i) {
    list_.stop_poller(i, 0);
    if (list_.server_at(i)->dual_lan == 1) list_.stop_poller(i, 1);
  }
  // The worker is joined here, before the library stops, rather than by the server
  // list's destructor at exit, when the statics it uses are being torn down.
  const auto limit =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kSearchEndLimitMs);
  while (list_.search_running() && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  list_.search_finished();
  qeld::library_stop();
}
