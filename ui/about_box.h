// The About dialog: product name, version and the maker's notice from the string
// table, beside the product picture.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

class Tm_aboutbox : public QDialog {
  Q_OBJECT
 public:
  explicit Tm_aboutbox(QWidget* parent = nullptr);

  QLabel* m_about_icon = nullptr;
  QLabel* m_about_productname = nullptr;
  QLabel* m_about_version = nullptr;
  QLabel* m_about_copyright = nullptr;
  QPushButton* Button1 = nullptr;

  void FormCreate();
  void Button1Click();
};
