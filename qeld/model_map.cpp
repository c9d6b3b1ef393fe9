// The model map: GIdMap.dat located, decrypted block by block, checked against its
// checksum and kept for the run, with the lookups by (model_key, model_id).
#include "model_map.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <shared_mutex>

#include "cipher/cipher.h"

#ifndef TAVRIX_DATA_DIR
#define TAVRIX_DATA_DIR "/usr/local/share/tavrix-monitor"
#endif

namespace qeld {

// Chosen once for this program: 16 upper-case letters, no terminator used. Changing
// it makes every existing GIdMap.dat unreadable (the checksum refuses it).
const char kModelMapKeyText[17] = "TAVRIXMODELMAPQX";

namespace {

constexpr std::size_t kHeaderSize = 16;
constexpr std::size_t kBlockSize = 16;
// A model list is a few kilobytes; anything past this is not a model map.
constexpr std::size_t kMaxFileSize = 16u << 20;
constexpr const char* kFileName = "GIdMap.dat";

// Guards g_entries: written by the loaders (start-up, tests), read by the lookups.
// Nothing read under it leaves the lock other than as a copy.
std::shared_mutex g_map_mutex;
std::vector<TModelEntry> g_entries;

uint16_t get_le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t get_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void put_le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t checksum_from_header_end(const uint8_t* data, std::size_t len) {
  uint32_t sum = 0;
  for (std::size_t off = kHeaderSize; off + 2 <= len; off += 2) sum += get_le16(data + off);
  return static_cast<uint16_t>(sum);
}

TModelEntry entry_from_bytes(const uint8_t* p) {
  TModelEntry e;
  e.model_key = get_le32(p + 0);
  e.model_id = get_le16(p + 4);
  std::memcpy(e.attributes, p + 8, 4);
  e.port_count = get_le32(p + 12);
  std::memcpy(e.name, p + 16, kModelNameSize);
  // A name that fills all 48 bytes would run past the entry when read as text.
  e.name[kModelNameSize - 1] = '\0';
  return e;
}

void entry_to_bytes(const TModelEntry& e, uint8_t* p) {
  std::memset(p, 0, kModelEntrySize);
  put_le32(p + 0, e.model_key);
  put_le16(p + 4, e.model_id);
  std::memcpy(p + 8, e.attributes, 4);
  put_le32(p + 12, e.port_count);
  std::memcpy(p + 16, e.name, kModelNameSize);
  p[16 + kModelNameSize - 1] = 0;
}

std::string exe_dir() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string path(buf, static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string{} : path.substr(0, slash);
}

// Guards g_search and g_places: written by load_model_map and the test seam.
std::mutex g_search_mutex;
std::vector<ModelMapAttempt> g_search;
std::vector<std::pair<std::string, std::string>> g_places;

// "" when the file can be opened for reading, else why not.
std::string open_problem(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
    return {};
  }
  if (errno == ENOENT) return "not found";
  return std::strerror(errno);
}

std::string absolute(const std::string& name) {
  char cwd[PATH_MAX];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return name;
  return std::string(cwd) + "/" + name;
}

std::vector<std::pair<std::string, std::string>> default_places() {
  std::vector<std::pair<std::string, std::string>> places = {
      {absolute(kFileName), "current directory"}};
  const std::string dir = exe_dir();
  if (!dir.empty()) places.emplace_back(dir + "/" + kFileName, "beside the executable");
  places.emplace_back(std::string(TAVRIX_DATA_DIR) + "/" + kFileName, "installed data folder");
  return places;
}

// Why decrypted bytes gave no entry (parse_model_map returned none).
std::string why_empty(const std::vector<uint8_t>& plain) {
  if (plain.size() < kHeaderSize) return "damaged: shorter than its 16-byte header";
  if (checksum_from_header_end(plain.data(), plain.size()) != get_le16(plain.data() + 4))
    return "damaged: its checksum does not match";
  return "lists no model";
}

// Loads one file; `outcome` says what came of it in the words of model_map_search().
int load_file(const std::string& path, std::string* outcome) {
  auto fail = [&](std::string why) {
    if (outcome) *outcome = std::move(why);
    clear_model_map();
    return 0;
  };
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  if (!f.is_open()) return fail("cannot be opened");
  const std::streamoff size = f.tellg();
  if (size < 0) return fail("cannot be read");
  if (static_cast<std::size_t>(size) > kMaxFileSize) return fail("damaged: larger than 16 MiB");
  if (static_cast<std::size_t>(size) % kBlockSize != 0)
    return fail("damaged: its length, " + std::to_string(size) + " bytes, is not a multiple of 16");
  std::vector<uint8_t> buf(static_cast<std::size_t>(size));
  f.seekg(0);
  if (!buf.empty() && !f.read(reinterpret_cast<char*>(buf.data()), size))
    return fail("cannot be read");
  const int n = load_model_map_bytes(buf.data(), buf.size());
  if (outcome) {
    if (n > 0) {
      *outcome = "loaded, " + std::to_string(n) + (n == 1 ? " model" : " models");
    } else {
      uint8_t key[16];
      model_map_file_key(key);
      for (std::size_t off = 0; off < buf.size(); off += kBlockSize) decrypt_block(&buf[off], key);
      *outcome = why_empty(buf);
    }
  }
  return n;
}

}  // namespace

void model_map_file_key(uint8_t out[16]) {
  uint8_t key[16];
  std::memcpy(out, kModelMapKeyText, 16);
  std::memcpy(key, kModelMapKeyText, 16);
  encrypt_block(out, key);
}

void load_model_map() {
  // Current directory first; then beside the executable and the installed data folder,
  // so that a start from a launcher (any working directory) still finds the map.
  std::vector<std::pair<std::string, std::string>> places;
  {
    std::lock_guard lock(g_search_mutex);
    places = g_places;
  }
  if (places.empty()) places = default_places();
  std::vector<ModelMapAttempt> attempts;
  bool used = false;
  for (const auto& [path, place] : places) {
    std::string outcome = open_problem(path);
    if (outcome.empty()) {
      load_file(path, &outcome);
      used = true;
    }
    attempts.push_back({path, place, outcome});
    if (used) break;
  }
  if (!used) clear_model_map();
  std::lock_guard lock(g_search_mutex);
  g_search = std::move(attempts);
}

std::vector<ModelMapAttempt> model_map_search() {
  std::lock_guard lock(g_search_mutex);
  return g_search;
}

std::string model_map_problem(const std::string& separator) {
  const auto attempts = model_map_search();
  if (model_entry_count() > 0 || attempts.empty()) return {};
  std::string text;
  for (const auto& a : attempts) {
    if (!text.empty()) text += separator;
    text += a.path + " (" + a.place + "): " + a.outcome;
  }
  return text;
}

const char* model_map_data_dir() {
  return TAVRIX_DATA_DIR;
}

void set_model_map_places(std::vector<std::pair<std::string, std::string>> places) {
  std::lock_guard lock(g_search_mutex);
  g_places = std::move(places);
}

int load_model_map_file(const std::string& path) {
  return load_file(path, nullptr);
}

int load_model_map_bytes(const uint8_t* data, std::size_t len) {
  if ((data == nullptr && len != 0) || len % kBlockSize != 0 || len > kMaxFileSize) {
    clear_model_map();
    return 0;
  }
  std::vector<uint8_t> buf(data, data + len);
  uint8_t key[16];
  model_map_file_key(key);
  // Electronic code book: every block by itself, same key, no chaining.
  for (std::size_t off = 0; off < buf.size(); off += kBlockSize) decrypt_block(&buf[off], key);
  std::vector<TModelEntry> entries = parse_model_map(buf.data(), buf.size());
  const int n = static_cast<int>(entries.size());
  set_model_map(std::move(entries));
  return n;
}

std::vector<TModelEntry> parse_model_map(const uint8_t* data, std::size_t len) {
  std::vector<TModelEntry> out;
  // A 0-byte file has no header block: it is an empty map.
  if (data == nullptr || len < kHeaderSize) return out;
  const uint32_t count = get_le32(data);
  const uint16_t expected = get_le16(data + 4);
  if (checksum_from_header_end(data, len) != expected) return out;
  // Decision: a count larger than the whole entries present is cut to those entries.
  const std::size_t present = (len - kHeaderSize) / kModelEntrySize;
  const std::size_t n = count < present ? count : present;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i)
    out.push_back(entry_from_bytes(data + kHeaderSize + i * kModelEntrySize));
  return out;
}

std::vector<uint8_t> build_model_map_file(const std::vector<TModelEntry>& entries) {
  std::vector<uint8_t> buf(kHeaderSize + entries.size() * kModelEntrySize, 0);
  for (std::size_t i = 0; i < entries.size(); ++i)
    entry_to_bytes(entries[i], &buf[kHeaderSize + i * kModelEntrySize]);
  put_le32(&buf[0], static_cast<uint32_t>(entries.size()));
  put_le16(&buf[4], checksum_from_header_end(buf.data(), buf.size()));
  uint8_t key[16];
  model_map_file_key(key);
  for (std::size_t off = 0; off < buf.size(); off += kBlockSize) encrypt_block(&buf[off], key);
  return buf;
}

void set_model_map(std::vector<TModelEntry> entries) {
  for (auto& e : entries) e.name[kModelNameSize - 1] = '\0';
  std::unique_lock lock(g_map_mutex);
  g_entries = std::move(entries);
}

void clear_model_map() {
  set_model_map({});
}

int model_entry_count() {
  std::shared_lock lock(g_map_mutex);
  return static_cast<int>(g_entries.size());
}

std::optional<TModelEntry> model_entry(int index) {
  std::shared_lock lock(g_map_mutex);
  if (index < 0 || static_cast<std::size_t>(index) >= g_entries.size()) return std::nullopt;
  return g_entries[static_cast<std::size_t>(index)];
}

namespace {
int find_locked(uint32_t model_key, uint16_t model_id) {
  for (std::size_t i = 0; i < g_entries.size(); ++i) {
    const TModelEntry& e = g_entries[i];
    if (e.model_id == model_id && (e.model_key == model_key || e.model_key == 0))
      return static_cast<int>(i);
  }
  return -1;
}
}  // namespace

int find_model(uint32_t model_key, uint16_t model_id) {
  std::shared_lock lock(g_map_mutex);
  return find_locked(model_key, model_id);
}

uint32_t model_port_count(uint32_t model_key, uint16_t model_id) {
  std::shared_lock lock(g_map_mutex);
  const int i = find_locked(model_key, model_id);
  return i < 0 ? 0 : g_entries[static_cast<std::size_t>(i)].port_count;
}

std::string model_name(uint32_t model_key, uint16_t model_id) {
  std::shared_lock lock(g_map_mutex);
  const int i = find_locked(model_key, model_id);
  if (i < 0) return "Unknown model";
  const TModelEntry& e = g_entries[static_cast<std::size_t>(i)];
  return std::string(e.name, strnlen(e.name, kModelNameSize));
}

}  // namespace qeld
