// The Settings dialog: edits the refresh rate (1~99 s) and the search time-out
// (3~60 s) of the server list object, checking both before it stores either.
#pragma once

#include <QDialog>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tavrix {
class ServerList;
}  // namespace tavrix

namespace tavrix::ui {

class SettingsDialog : public QDialog {
  Q_OBJECT
 public:
  // The list is the program's; it outlives the dialog.
  explicit SettingsDialog(tavrix::ServerList& list, QWidget* parent = nullptr);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  tavrix::ServerList& list_;

  void on_show();
  // Raises tavrix::ui::UiError for an edit that cannot be converted (an empty one).
  void on_ok();
  void on_cancel();

  QGroupBox* m_monitor_options = nullptr;
  QLabel* m_label_ref = nullptr;
  QLineEdit* m_set_refresh = nullptr;
  QLabel* m_refresh_unit = nullptr;
  QGroupBox* m_search_options = nullptr;
  QLabel* m_label_timeout = nullptr;
  QLineEdit* m_set_timeout = nullptr;
  QLabel* m_timeout_unit = nullptr;
  QPushButton* m_set_ok = nullptr;
  QPushButton* m_set_cancel = nullptr;
};

}  // namespace tavrix::ui
