// The "Closing..." dialog of shutdown: it closes itself 100 ms after it is shown and
// then waits, at most 5000 ms, for the polling threads to end.
#pragma once

#include <QDialog>

class QLabel;
class QTimer;

namespace tavrix {
class ServerList;
}  // namespace tavrix

namespace tavrix::ui {

class CloseDialog : public QDialog {
  Q_OBJECT
 public:
  // The list is the program's; it outlives the dialog.
  explicit CloseDialog(tavrix::ServerList& list, QWidget* parent = nullptr);

  void done(int result) override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  tavrix::ServerList& list_;

  static constexpr int kWaitLimitMs = 5000;

  void on_show();
  void on_timer();
  // The bounded wait for the running-poller count to reach 0.
  void on_close();

  QLabel* m_close_msg = nullptr;
  QTimer* m_close_timer = nullptr;
};

}  // namespace tavrix::ui
