// Save and Open of the server list: the file prompt, the question before a list is
// replaced, the messages of a refused file, and the replacement itself.
#include "ui/server_list_actions.h"

#include <QFileInfo>
#include <QString>
#include <cstring>
#include <vector>

#include "core/server_list.h"
#include "core/server_list_file.h"
#include "qeld/library.h"
#include "ui/add_server.h"
#include "ui/file_prompt.h"
#include "ui/message_box.h"

namespace tavrix::ui {

namespace {

const QString kFilter = QStringLiteral("Server lists (*.json);;All files (*)");

// The servers' pollers stop before the list is emptied.
void empty_server_list(tavrix::ServerList& list) {
  list.set_stop_all(1);
  list.stop_all_pollers(5000);
  list.set_stop_all(0);  // else no server of the new list could be monitored
  list.clear_servers();  // the records close their handles as they go
}

}  // namespace

bool save_server_list(QWidget* parent, const tavrix::ServerList& list) {
  QString path = ask_file(parent, FileMode::Save, QStringLiteral("Save Server List"),
                          QStringLiteral("servers.json"), kFilter);
  if (path.isEmpty()) return false;
  if (QFileInfo(path).suffix().isEmpty()) path += QStringLiteral(".json");
  std::vector<ServerListEntry> entries;
  for (int i = 0; i < list.server_count() && i < kMaxServers; ++i)
    entries.push_back(server_list_entry(identity_of(*list.server_at(i))));
  const Done written = write_server_list_file(path.toStdString(), entries);
  if (written) return true;
  const std::string& reason = written.reason();
  message_box(
      parent,
      QStringLiteral("The server list was not saved: %1").arg(QString::fromStdString(reason)),
      MsgIcon::Error, MsgButtons::Ok);
  return false;
}

bool open_server_list(QWidget* parent, tavrix::ServerList& list) {
  const QString path =
      ask_file(parent, FileMode::Open, QStringLiteral("Open Server List"), QString(), kFilter);
  if (path.isEmpty()) return false;
  auto read = read_server_list_file(path.toStdString());
  if (!read) {
    message_box(parent,
                QStringLiteral("The server list was not opened: %1")
                    .arg(QString::fromStdString(read.reason())),
                MsgIcon::Error, MsgButtons::Ok);
    return false;
  }
  const std::vector<ServerListEntry>& entries = *read;
  const int now = list.server_count();
  if (now > 0) {
    const QString question =
        QStringLiteral("Replace the %1 server(s) in the list with the %2 in %3?")
            .arg(now)
            .arg(entries.size())
            .arg(QFileInfo(path).fileName());
    if (message_box(parent, question, MsgIcon::Warning, MsgButtons::YesCancel) != MsgResult::Yes)
      return false;
  }
  empty_server_list(list);
  for (const ServerListEntry& e : entries)
    if (!add_server_or_report(parent, list, list.make_server_record(e.identity))) break;
  return true;
}

}  // namespace tavrix::ui
