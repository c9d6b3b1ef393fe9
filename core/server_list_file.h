// The server-list file: a versioned JSON list of known servers with what it takes to
// make each one's server record again without a search. Shared by the windows' Open and
// Save, tavrix-cli and tavrix-exporter. The format is described in docs/server-list-file.md.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/outcome.h"
#include "core/server_record.h"
#include "qeld/ds_info.h"

namespace tavrix {

// The version this program writes; it reads this one and every earlier one.
inline constexpr int kServerListVersion = 1;
// Files larger than this are refused before parsing (512 entries need about 150 KiB).
inline constexpr std::size_t kServerListMaxBytes = 4u << 20;
inline constexpr std::size_t kServerListMaxNameLength = 128;

struct ServerListEntry {
  // The identity fields model_key, model_id, flags, ip1, ip2, mac1, mac2 and unit_id.
  // local_ip is the host's own and is neither written nor read (0 after reading).
  qeld::DeviceIdentity identity;
  std::string model;  // the model's name as the model map gave it when written; informational
  std::string name;   // optional label chosen by the user ("" = none)
};

// Parses the file's text; a failure names the problem and, for a bad entry, its number
// from 1 and its field.
Outcome<std::vector<ServerListEntry>> parse_server_list(std::string_view text);
// Reads and parses a file; the reason starts with the path.
Outcome<std::vector<ServerListEntry>> read_server_list_file(const std::string& path);

// The file's text for these entries (at most 512; the caller keeps to it).
std::string server_list_text(const std::vector<ServerListEntry>& entries);
// Writes the file through a temporary beside it and a rename, so a crash never leaves
// half a list. The reason starts with the path.
Done write_server_list_file(const std::string& path, const std::vector<ServerListEntry>& entries);

// An entry for an identity, its model name taken from the loaded model map.
ServerListEntry server_list_entry(const qeld::DeviceIdentity& identity, std::string name = {});

// "02:54:58:01:00:10" (either case, ':' or '-') -> 6 bytes; false otherwise.
bool parse_mac_text(std::string_view text, uint8_t out[6]);

}  // namespace tavrix
