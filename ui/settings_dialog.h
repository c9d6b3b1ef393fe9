// The Settings dialog: edits the refresh rate (1~99 s) and the search time-out
// (3~60 s) of the server list object, checking both before it stores either.
#pragma once

#include <QDialog>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

class Tm_set_form : public QDialog {
  Q_OBJECT
 public:
  explicit Tm_set_form(QWidget* parent = nullptr);

  QGroupBox* m_options1 = nullptr;
  QLabel* m_label_ref = nullptr;
  QLineEdit* m_set_refresh = nullptr;
  QLabel* m_ms = nullptr;
  QGroupBox* GroupBox1 = nullptr;
  QLabel* m_label_timeout = nullptr;
  QLineEdit* m_set_timeout = nullptr;
  QLabel* m_ms2 = nullptr;
  QPushButton* m_set_ok = nullptr;
  QPushButton* m_set_cancel = nullptr;

  void FormShow();
  // Raises tavrix::ui::UiError for an edit that cannot be converted (an empty one).
  void m_set_okClick();
  void m_set_cancelClick();

 protected:
  void showEvent(QShowEvent* event) override;
};
