// The window's line in the status bar when the host has nothing but loopback: a
// broadcast search could find nothing, and the user should know why before trying.
#pragma once

class QMainWindow;

namespace tavrix::ui {

// Looks at the host's addresses and shows, or takes away, the note "m_host_note" in
// the window's status bar. True when the note is shown.
bool note_host_addresses(QMainWindow* window);

}  // namespace tavrix::ui
