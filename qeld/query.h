// Server query calls: read a server's port modes and connection records through
// its device handle, one socket set and one exchange per call.
#pragma once

#include <cstdint>

#include "ds_info.h"
#include "timeout_block.h"

namespace qeld {

// Public codes. -5 (nothing sent) for a null output, a handle outside 0..511 or not open,
// or a port outside 0..16. modes needs room for 16 values.
int query_port_modes(int handle, int port, int32_t* modes);
// records needs room for one 80-byte record (port 1..16).
int query_port_connections(int handle, int port, uint8_t* records);

// Opens a socket set (one socket per group), runs the command's handler against the
// reply copy's ip2, closes the set. Internal code; 1 when no row matches (nothing sent).
int run_server_command(uint16_t code, const _DS_INFO& reply, uint32_t argument, void* output,
                       const TimeoutBlock& timeouts);

}  // namespace qeld
