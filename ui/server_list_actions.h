// Save and Open of the server list as a file, from the main window's Function menu.
// The file format is core/server_list_file's, shared with tavrix-cli and the exporter.
#pragma once

class QWidget;

namespace tavrix {
class ServerList;
}  // namespace tavrix

namespace tavrix::ui {

// Asks for a file name (".json" added to a name without an extension) and writes the
// servers of the list to it. A failed write is shown with its reason. True when written.
bool save_server_list(QWidget* parent, const tavrix::ServerList& list);

// Asks for a file and reads it. A file that cannot be used (missing, malformed, from a
// newer version, over 512 servers) is refused with a message naming the problem, and
// the list stays as it was. A non-empty list is replaced only after the user agrees:
// monitoring stops, the old handles are closed, and each server of the file gets its
// record and handles anew, as a search's OK does. True when the list was replaced.
bool open_server_list(QWidget* parent, tavrix::ServerList& list);

}  // namespace tavrix::ui
