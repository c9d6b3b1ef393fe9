// The "Closing..." dialog of shutdown: it closes itself 100 ms after it is shown and
// then waits, at most 5000 ms, for the polling threads to end.
#pragma once

#include <QDialog>

class QLabel;
class QTimer;

class Tm_close_form : public QDialog {
  Q_OBJECT
 public:
  explicit Tm_close_form(QWidget* parent = nullptr);

  QLabel* m_close_msg = nullptr;
  QTimer* m_close_timer = nullptr;

  static constexpr int kWaitLimitMs = 5000;

  void FormShow();
  void m_close_timerTimer();
  // The bounded wait for the running-poller count to reach 0.
  void FormClose();

  void done(int result) override;

 protected:
  void showEvent(QShowEvent* event) override;
};
