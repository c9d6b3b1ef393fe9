// The search-by-IP dialog: asks one address and adds the answering server to the
// server list unless it is already there.
#pragma once

#include <QDialog>
#include <cstdint>

class QAction;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace tavrix {
class ServerList;
}  // namespace tavrix

namespace tavrix::ui {

class SearchIpDialog : public QDialog {
  Q_OBJECT
 public:
  // The list is the program's; it outlives the dialog.
  explicit SearchIpDialog(tavrix::ServerList& list, QWidget* parent = nullptr);
  ~SearchIpDialog() override;

  // An address as inet_addr returns it (network byte order): its last octet must be
  // neither 0 nor 255. Unparsable text arrives as 255.255.255.255 and is refused too.
  static bool valid_search_address(uint32_t address);

  void done(int result) override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  tavrix::ServerList& list_;

  void on_show();
  void on_search();
  void update_search_action();
  void on_timer();
  void on_close_clicked();
  void finish_search();

  QLabel* m_address_label = nullptr;
  QLineEdit* m_ipaddress = nullptr;
  QPushButton* m_search = nullptr;
  QPushButton* m_close = nullptr;
  QLabel* m_search_status = nullptr;
  QTimer* m_searchip_timer = nullptr;
  QAction* m_search_act = nullptr;

  int searching = 0;             // 1 from the start of a search until the dialog closes
  uint32_t countdown_start = 0;  // tick at which the search started
  int countdown_seconds = 0;     // the search time-out at that moment
};

}  // namespace tavrix::ui
