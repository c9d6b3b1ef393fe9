// Adding a server from a window, and the refusal of a full list.
#include "ui/add_server.h"

#include "core/server_list.h"
#include "ui/message_box.h"

namespace tavrix::ui {

QString server_list_full_text() {
  return QStringLiteral("The server list is full (%1 servers): the server was not added.")
      .arg(kMaxServers);
}

bool add_server_or_report(QWidget* parent, tavrix::ServerList& list,
                          std::shared_ptr<tavrix::ServerRecord> record) {
  if (!record) return false;
  // A record that never reached the list closes its handles as it goes.
  if (list.add_server(record) == 1) return true;
  message_box(parent, server_list_full_text(), MsgIcon::Error, MsgButtons::Ok);
  return false;
}

}  // namespace tavrix::ui
