// The search-by-IP dialog: asks one address and adds the answering server to the
// server list unless it is already there.
#pragma once

#include <QDialog>

class Tm_searchIP_form : public QDialog {
  Q_OBJECT
 public:
  explicit Tm_searchIP_form(QWidget* parent = nullptr);
  ~Tm_searchIP_form() override;
};
