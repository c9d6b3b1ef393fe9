// Adding a server from a window, and the refusal of a full list.
#include "ui/add_server.h"

#include "core/server_list.h"
#include "qeld/library.h"
#include "ui/message_box.h"

namespace tavrix::ui {

QString server_list_full_text() {
  return QStringLiteral("The server list is full (%1 servers): the server was not added.")
      .arg(kMaxServers);
}

bool add_server_or_report(QWidget* parent, std::shared_ptr<_SVRINFO> record) {
  if (!record) return false;
  if (ds_list().add_server(record) == 1) return true;
  // The record never reached the list, so its handles would stay open for good.
  if (record->handle1 >= 0) qeld::close_handle(record->handle1);
  if (record->dual_lan == 1 && record->handle2 >= 0) qeld::close_handle(record->handle2);
  message_box(parent, server_list_full_text(), MsgIcon::Error, MsgButtons::Ok);
  return false;
}

}  // namespace tavrix::ui
