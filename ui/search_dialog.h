// The broadcast search dialog: searches the LAN, shows the servers as they come in
// with tick boxes, and replaces the server list with the ticked ones.
#pragma once

#include <QDialog>
#include <cstdint>

class QGroupBox;
class QLabel;
class QPushButton;
class QTableWidget;
class QTimer;

namespace tavrix {
class ServerList;
}  // namespace tavrix

namespace tavrix::ui {

class SearchDialog : public QDialog {
  Q_OBJECT
 public:
  // The list is the program's; it outlives the dialog.
  explicit SearchDialog(tavrix::ServerList& list, QWidget* parent = nullptr);
  ~SearchDialog() override;

  // Where Rescan aims the search. Broadcast unless a loopback test moves it (a broadcast
  // must never leave the lab).
  static void set_scan_target(uint32_t target_network_order);

  // Test seam: moves the countdown's start back by ms, as if that much time had passed
  // (a test cannot wait out a 30-second count).
  void age_countdown(uint32_t ms) { countdown_start -= ms; }

  void done(int result) override;

 protected:
  void showEvent(QShowEvent* event) override;
  // The dialog may be made larger (all rows in view); the list and the buttons follow.
  void resizeEvent(QResizeEvent* event) override;

 private:
  tavrix::ServerList& list_;

  void create_controls();
  void on_show();
  void on_close();
  void on_scan();
  void on_stop();
  void on_timer();
  void on_select_all();
  void on_clear_all();
  void on_ok();
  void on_cancel();
  // Pixels the two MAC columns need beyond their designed width, for this font.
  int mac_width_extra() const;
  void fit_to_size();
  void add_row(int result_index);
  // Row captions and data: the result index kept by a row (-1 outside the list).
  int row_result_index(int row) const;
  bool row_ticked(int row) const;
  void set_row_ticked(int row, bool ticked);

  // Controls, named (objectName) as the tests find them.
  QGroupBox* m_search_group = nullptr;
  QLabel* m_enum_status = nullptr;
  QLabel* m_enum_msg = nullptr;
  QTableWidget* m_enum_list = nullptr;
  QPushButton* m_enum_scan = nullptr;
  QPushButton* m_enum_stop = nullptr;
  QPushButton* m_enum_selectall = nullptr;
  QPushButton* m_enum_clearall = nullptr;
  QPushButton* m_enum_ok = nullptr;
  QPushButton* m_enum_cancel = nullptr;
  QTimer* m_enum_timer = nullptr;

  int shown_count = 0;           // results already shown as rows
  uint32_t countdown_start = 0;  // tick at which the remaining-time countdown (re)started
  int countdown_seconds = 0;     // seconds the countdown runs from countdown_start
  int dot_count = 1;             // dots of the next progress text, 0..5
  bool checkboxes_on_ = false;
};

}  // namespace tavrix::ui
