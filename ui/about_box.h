// The About dialog: product name, version and the maker's notice from the string
// table, beside the product picture.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace tavrix::ui {

class AboutBox : public QDialog {
  Q_OBJECT
 public:
  explicit AboutBox(QWidget* parent = nullptr);

 private:
  void create_controls();
  void on_ok();

  QLabel* m_about_icon = nullptr;
  QLabel* m_about_productname = nullptr;
  QLabel* m_about_version = nullptr;
  QLabel* m_about_copyright = nullptr;
  QPushButton* ok_button = nullptr;
};

}  // namespace tavrix::ui
