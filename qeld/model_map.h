// The model map: GIdMap.dat decrypted and checked, and the lookups on it.
// Written once at start-up, read-only afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qeld {

inline constexpr std::size_t kModelEntrySize = 64;
inline constexpr std::size_t kModelNameSize = 48;
inline constexpr uint8_t kAttrModeSetA = 0x04;   // mode/state text set A
inline constexpr uint8_t kAttrSecondMac = 0x40;  // broadcast replies must carry a second MAC

// One 64-byte entry: key 0-3 (LE), id 4-5 (LE), 6-7 unused, attributes 8-11 (only
// byte 10 is read), port count 12-15 (LE u32), name 16-63 (NUL-terminated).
struct TModelEntry {
  uint32_t model_key = 0;
  uint16_t model_id = 0;
  uint8_t attributes[4] = {};  // entry bytes 8-11; attributes[2] is byte 10
  uint32_t port_count = 0;
  char name[kModelNameSize] = {};
  uint8_t attr_byte() const { return attributes[2]; }
};

// The program's 16-letter key text; the file key is encrypt_block(text, text).
extern const char kModelMapKeyText[17];
void model_map_file_key(uint8_t out[16]);

// Looks for GIdMap.dat in the current directory, then beside the executable, then in
// the installed data folder, and loads the first that exists. Outcome not reported
// here; model_map_search() tells what was tried.
void load_model_map();

// One place load_model_map looked in, and what it found there.
struct ModelMapAttempt {
  std::string path;     // absolute where it could be made so
  std::string place;    // "current directory", "beside the executable", "installed data folder"
  std::string outcome;  // "loaded, N models", "not found", "damaged: ...", an errno text
};
// The attempts of the last load_model_map, in order; the last is the file used, if any.
std::vector<ModelMapAttempt> model_map_search();
// Empty when the last load_model_map gave a map with at least one model; otherwise
// every attempt as "PATH (PLACE): OUTCOME", joined by `separator`.
std::string model_map_problem(const std::string& separator);
// The installed data folder (the last place looked in).
const char* model_map_data_dir();
// Replaces the places looked in, as (path, place) pairs (tests); empty restores them.
void set_model_map_places(std::vector<std::pair<std::string, std::string>> places);
// Loads one file. Returns the number of entries now in the map (0 = empty map).
int load_model_map_file(const std::string& path);
// Loads encrypted file bytes. Returns the entry count (0 = empty map).
int load_model_map_bytes(const uint8_t* data, std::size_t len);
// Parses decrypted bytes (header + entries). Returns the entries, or an empty vector
// when the checksum fails or the data is shorter than the header. A count larger than
// the whole entries present is cut to those entries; bytes are never read past len.
std::vector<TModelEntry> parse_model_map(const uint8_t* data, std::size_t len);
// Builds the encrypted file bytes for a list of entries (used by tavrix-gidmap and tests).
std::vector<uint8_t> build_model_map_file(const std::vector<TModelEntry>& entries);
// Replaces the map directly (tests).
void set_model_map(std::vector<TModelEntry> entries);
void clear_model_map();

int model_entry_count();
// A copy of entry `index`, or nothing outside 0..count-1. A copy, because a reload
// frees the table that a pointer into it would still name.
std::optional<TModelEntry> model_entry(int index);

// Index of the first entry with (key = key and id = id) or (id = id and key = 0), or -1.
int find_model(uint32_t model_key, uint16_t model_id);
uint32_t model_port_count(uint32_t model_key, uint16_t model_id);  // 0 when absent
std::string model_name(uint32_t model_key, uint16_t model_id);     // "Unknown model" when absent

}  // namespace qeld
