// Adding a server to the list from a window: the list holds at most 512 servers, and
// a refusal is told to the user instead of being dropped silently.
#pragma once

#include <QString>
#include <memory>

class QWidget;

namespace tavrix {
class ServerList;
struct ServerRecord;
}  // namespace tavrix

namespace tavrix::ui {

// The text shown when the server list is full.
QString server_list_full_text();

// list.add_server(record); when the list is full, drops the record (its handles
// close with it), shows an error box and returns false.
bool add_server_or_report(QWidget* parent, tavrix::ServerList& list,
                          std::shared_ptr<tavrix::ServerRecord> record);

}  // namespace tavrix::ui
