// Replacing the server list without losing track of what was monitored: before a new
// list drops monitored servers the user is asked, and afterwards the monitored servers
// found again may go on being monitored at once.
#pragma once

#include <QString>
#include <functional>
#include <vector>

#include "core/list_replacement.h"

class QWidget;
namespace tavrix {
class ServerList;
}  // namespace tavrix

namespace tavrix::ui {

// The servers of the list with whether each is monitored.
std::vector<tavrix::ListedServer> listed_servers(const tavrix::ServerList& list);

// Asks before a list of `next` replaces `list` when that stops monitoring servers that
// are not in `next`; true when nothing monitored is dropped or the user agreed.
bool confirm_dropping_monitored(QWidget* parent, const tavrix::ServerList& list,
                                const std::vector<qeld::DeviceIdentity>& next);

// After the list was replaced: the idle servers of `list` that were monitored in
// `before` are offered to be monitored again; on Yes each goes to `start` (by index). Returns
// how many were started.
int offer_to_resume(QWidget* parent, const tavrix::ServerList& list,
                    const std::vector<tavrix::ListedServer>& before,
                    const std::function<bool(int)>& start);

}  // namespace tavrix::ui
