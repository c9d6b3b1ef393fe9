// The broadcast search dialog: searches the LAN, shows the servers as they come in
// with tick boxes, and replaces the server list with the ticked ones.
#pragma once

#include <QDialog>

class Tm_search_form : public QDialog {
  Q_OBJECT
 public:
  explicit Tm_search_form(QWidget* parent = nullptr);
  ~Tm_search_form() override;
};
