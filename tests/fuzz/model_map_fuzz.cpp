// Fuzz harness for the model-map loader, on decrypted bytes (with the checksum left as
// it is or made right, so the entry code is reached) and on encrypted file bytes, with
// the lookups run over whatever map results.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#ifdef TAVRIX_LIBFUZZER
#include "mutator.h"
#endif
#include "qeld/cipher/cipher.h"
#include "qeld/model_map.h"

namespace {

uint32_t le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

void fix_checksum(std::vector<uint8_t>& plain) {
  if (plain.size() < 16) return;
  uint16_t sum = 0;
  for (std::size_t w = 0; w < (plain.size() - 16) / 2; ++w) sum += le16(plain.data() + 16 + 2 * w);
  plain[4] = static_cast<uint8_t>(sum);
  plain[5] = static_cast<uint8_t>(sum >> 8);
}

bool checksum_ok(const std::vector<uint8_t>& plain) {
  std::vector<uint8_t> copy = plain;
  fix_checksum(copy);
  return copy == plain;
}

// Every entry as the file holds it, and the lookups over the loaded map.
void check_entries(const std::vector<qeld::TModelEntry>& got, const std::vector<uint8_t>& plain) {
  for (std::size_t i = 0; i < got.size(); ++i) {
    const uint8_t* e = plain.data() + 16 + i * qeld::kModelEntrySize;
    const qeld::TModelEntry& m = got[i];
    FUZZ_CHECK(m.model_key == le32(e) && m.model_id == le16(e + 4));
    FUZZ_CHECK(m.attr_byte() == e[10] && m.port_count == le32(e + 12));
    const std::size_t raw = strnlen(reinterpret_cast<const char*>(e + 16), qeld::kModelNameSize);
    const std::size_t kept = strnlen(m.name, qeld::kModelNameSize);
    // A name without its NUL may lose its last letter to one, nothing more.
    if (raw < qeld::kModelNameSize)
      FUZZ_CHECK(kept == raw);
    else
      FUZZ_CHECK(kept == raw || kept + 1 == raw);
    FUZZ_CHECK(std::memcmp(m.name, e + 16, kept) == 0);
  }
}

void check_lookups() {
  const int n = qeld::model_entry_count();
  FUZZ_CHECK(n >= 0);
  FUZZ_CHECK(!qeld::model_entry(n) && !qeld::model_entry(-1));
  for (int i = 0; i < n; ++i) {
    const auto m = qeld::model_entry(i);
    FUZZ_CHECK(m.has_value());
    const int at = qeld::find_model(m->model_key, m->model_id);
    FUZZ_CHECK(at >= 0 && at <= i);
    const auto hit = qeld::model_entry(at);
    FUZZ_CHECK(hit.has_value());
    FUZZ_CHECK(hit->model_id == m->model_id &&
               (hit->model_key == m->model_key || hit->model_key == 0));
    FUZZ_CHECK(qeld::model_port_count(m->model_key, m->model_id) == hit->port_count);
    const std::string name = qeld::model_name(m->model_key, m->model_id);
    FUZZ_CHECK(name.size() <= qeld::kModelNameSize);
    FUZZ_CHECK(name == std::string(hit->name, strnlen(hit->name, qeld::kModelNameSize)));
  }
}

}  // namespace

// Input: byte 0 selects the path (0 decrypted as is, 1 decrypted with the checksum made
// right, 2 like 1 then encrypted and loaded as a file, 3 raw file bytes); the rest is
// the data.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int mode = data[0] % 4;
  std::vector<uint8_t> bytes(data + 1, data + size);
  const std::size_t len = bytes.size();

  if (mode == 3) {
    // Exactly the file bytes on the heap, so a read past them is caught.
    const int n = qeld::load_model_map_bytes(bytes.empty() ? nullptr : bytes.data(), len);
    FUZZ_CHECK(n == qeld::model_entry_count());
    if (len % 16 != 0 || len < 16) FUZZ_CHECK(n == 0);
    FUZZ_CHECK(n == 0 || static_cast<std::size_t>(n) <= (len - 16) / qeld::kModelEntrySize);
    check_lookups();
    return 0;
  }

  if (mode >= 1) fix_checksum(bytes);
  const std::vector<qeld::TModelEntry> parsed =
      qeld::parse_model_map(bytes.empty() ? nullptr : bytes.data(), len);
  const std::size_t whole = len >= 16 ? (len - 16) / qeld::kModelEntrySize : 0;
  if (len < 16 || !checksum_ok(bytes)) {
    FUZZ_CHECK(parsed.empty());
  } else {
    const uint32_t count = le32(bytes.data());
    FUZZ_CHECK(parsed.size() == (count < whole ? count : whole));
  }
  check_entries(parsed, bytes);

  if (mode == 2) {
    uint8_t key[16];
    qeld::model_map_file_key(key);
    std::vector<uint8_t> file = bytes;
    for (std::size_t b = 0; b + 16 <= file.size(); b += 16)
      qeld::encrypt_block(file.data() + b, key);
    const int n = qeld::load_model_map_bytes(file.empty() ? nullptr : file.data(), file.size());
    FUZZ_CHECK(n == qeld::model_entry_count());
    if (len % 16 == 0) {
      // The file path must agree with the decrypted path, entry for entry.
      FUZZ_CHECK(static_cast<std::size_t>(n) == parsed.size());
      for (int i = 0; i < n; ++i) {
        const auto m = qeld::model_entry(i);
        FUZZ_CHECK(m.has_value());
        const qeld::TModelEntry& p = parsed[i];
        FUZZ_CHECK(m->model_key == p.model_key && m->model_id == p.model_id);
        FUZZ_CHECK(m->attr_byte() == p.attr_byte() && m->port_count == p.port_count);
        FUZZ_CHECK(std::strncmp(m->name, p.name, qeld::kModelNameSize) == 0);
      }
    } else {
      FUZZ_CHECK(n == 0);
    }
    check_lookups();
  }
  return 0;
}

#ifdef TAVRIX_LIBFUZZER
// Raw file bytes (path 3) are encrypted, so a random change almost never passes the
// checksum: most of the time the file is decrypted, its plain bytes mutated (whole
// blocks kept), the checksum made right and the result encrypted again.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size,
                                          unsigned int seed) {
  fuzz::Dice dice(seed);
  if (size < 17 || max_size < 17 || data[0] % 4 != 3 || (size - 1) % 16 != 0 || dice.one_in(4))
    return LLVMFuzzerMutate(data, size, max_size);
  uint8_t key[16];
  qeld::model_map_file_key(key);
  const std::size_t cap = (max_size - 1) / 16 * 16;
  std::vector<uint8_t> plain(data + 1, data + size);
  for (std::size_t b = 0; b + 16 <= plain.size(); b += 16)
    qeld::decrypt_block(plain.data() + b, key);
  std::size_t n = plain.size();
  plain.resize(cap);
  if (dice.one_in(3)) {
    // The header's count alone: above, at or below the entries present.
    const uint32_t count = static_cast<uint32_t>(dice.below(n / qeld::kModelEntrySize + 3));
    for (int i = 0; i < 4; ++i)
      plain[static_cast<std::size_t>(i)] = static_cast<uint8_t>(count >> (8 * i));
  } else if (n > 16) {
    n = 16 + LLVMFuzzerMutate(plain.data() + 16, n - 16, cap - 16);
  }
  n = (n + 15) / 16 * 16;
  if (n > cap) n = cap;
  plain.resize(n);
  fix_checksum(plain);
  for (std::size_t b = 0; b + 16 <= plain.size(); b += 16)
    qeld::encrypt_block(plain.data() + b, key);
  std::copy(plain.begin(), plain.end(), data + 1);
  return 1 + n;
}
#endif
