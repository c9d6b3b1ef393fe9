// The port view: the selected server's port table (a PortTableModel), its text colour
// for Idle, On Line and Off Line, and the row under the pointer.
#pragma once

#include <QColor>
#include <QTableView>

#include "ui/port_table_model.h"

namespace tavrix {
struct ServerRecord;
}  // namespace tavrix

namespace tavrix::ui {

// Text colours: not monitored, monitored with no LAN answering, answering.
inline const QColor kIdleText(128, 128, 128);
inline const QColor kOfflineText(255, 0, 0);
inline const QColor kOnlineText(0, 0, 0);

class PortView : public QTableView {
  Q_OBJECT
 public:
  explicit PortView(QWidget* parent = nullptr);
  ~PortView() override;

  // The table of a server as it is now: the idle look, or its monitored state.
  void show_server(const tavrix::ServerRecord& rec);
  // Puts the hover mark back on the row under the pointer (after a refresh).
  void remark_hover();

  const PortTableModel* port_model() const { return model_; }
  QColor text_colour() const { return text_colour_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void set_text_colour(const QColor& colour);
  void hover(const QPoint& viewport_pos);

  PortTableModel* model_ = nullptr;
  QColor text_colour_{kIdleText};
  int hot_row_ = 0;  // row under the pointer
};

}  // namespace tavrix::ui
