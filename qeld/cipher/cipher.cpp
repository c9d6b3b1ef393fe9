// AES-128 rounds over a state loaded row by row (byte 4r+c is row r, column c) for
// block, key and result, as the model-map file was written. The tables are computed
// at compile time from GF(2^8) with polynomial 0x11B, so no hand-typed table can hide a typo.
#include "cipher.h"

#include <array>
#include <cstring>

namespace qeld {
namespace {

using Table = std::array<uint8_t, 256>;

constexpr uint8_t xtime(uint8_t a) {
  return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0x00));
}

// Antilogarithms of the generator 3: antilog[i] = 3^i.
constexpr Table make_antilog() {
  Table t{};
  uint8_t x = 1;
  for (int i = 0; i < 256; ++i) {
    t[static_cast<std::size_t>(i)] = x;
    x = static_cast<uint8_t>(x ^ xtime(x));  // x * 3
  }
  return t;
}
constexpr Table kAntilog = make_antilog();

constexpr Table make_log() {
  Table t{};
  for (int i = 0; i < 255; ++i) t[kAntilog[static_cast<std::size_t>(i)]] = static_cast<uint8_t>(i);
  return t;
}
constexpr Table kLog = make_log();

constexpr uint8_t gmul(uint8_t a, uint8_t b) {
  if (a == 0 || b == 0) return 0;
  return kAntilog[(kLog[a] + kLog[b]) % 255];
}

static_assert(gmul(0x57, 0x83) == 0xC1);  // the multiply the column products shortcut

constexpr uint8_t ginv(uint8_t a) {
  return a == 0 ? 0 : kAntilog[(255 - kLog[a]) % 255];
}

constexpr uint8_t rotl8(uint8_t x, int n) {
  return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

constexpr Table make_sbox() {
  Table t{};
  for (int i = 0; i < 256; ++i) {
    const uint8_t b = ginv(static_cast<uint8_t>(i));
    t[static_cast<std::size_t>(i)] =
        static_cast<uint8_t>(b ^ rotl8(b, 1) ^ rotl8(b, 2) ^ rotl8(b, 3) ^ rotl8(b, 4) ^ 0x63);
  }
  return t;
}
constexpr Table kSbox = make_sbox();

constexpr Table make_inv_sbox() {
  Table t{};
  for (int i = 0; i < 256; ++i) t[kSbox[static_cast<std::size_t>(i)]] = static_cast<uint8_t>(i);
  return t;
}
constexpr Table kInvSbox = make_inv_sbox();

static_assert(kSbox[0x00] == 0x63 && kSbox[0x53] == 0xED && kSbox[0xFF] == 0x16);
static_assert(kInvSbox[0x63] == 0x00);

constexpr std::array<uint8_t, 10> kRcon = {0x01, 0x02, 0x04, 0x08, 0x10,
                                           0x20, 0x40, 0x80, 0x1B, 0x36};
constexpr int kRounds = 10;

// state[r][c]; round keys in the same shape, one per round.
using State = std::array<std::array<uint8_t, 4>, 4>;
using RoundKeys = std::array<State, kRounds + 1>;

State load(const uint8_t in[16]) {
  State s{};
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) s[r][c] = in[4 * r + c];
  return s;
}

void store(const State& s, uint8_t out[16]) {
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) out[4 * r + c] = s[r][c];
}

// Standard expansion on the key matrix's columns: column i of the schedule is word w[i].
RoundKeys expand_key(const uint8_t key[16]) {
  const State k = load(key);
  std::array<std::array<uint8_t, 4>, 4 * (kRounds + 1)> w{};
  for (int i = 0; i < 4; ++i)
    for (int r = 0; r < 4; ++r) w[i][r] = k[r][i];
  for (int i = 4; i < 4 * (kRounds + 1); ++i) {
    std::array<uint8_t, 4> t = w[i - 1];
    if (i % 4 == 0) {
      t = {static_cast<uint8_t>(kSbox[t[1]] ^ kRcon[i / 4 - 1]), kSbox[t[2]], kSbox[t[3]],
           kSbox[t[0]]};
    }
    for (int r = 0; r < 4; ++r) w[i][r] = static_cast<uint8_t>(w[i - 4][r] ^ t[r]);
  }
  RoundKeys rk{};
  for (int round = 0; round <= kRounds; ++round)
    for (int c = 0; c < 4; ++c)
      for (int r = 0; r < 4; ++r) rk[round][r][c] = w[4 * round + c][r];
  return rk;
}

void add_round_key(State& s, const State& k) {
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) s[r][c] ^= k[r][c];
}

void sub_bytes(State& s, const Table& box) {
  for (auto& row : s)
    for (auto& b : row) b = box[b];
}

// Row r rotates left by r places; decryption rotates right.
void shift_rows(State& s, bool inverse) {
  for (int r = 1; r < 4; ++r) {
    std::array<uint8_t, 4> row = s[r];
    for (int c = 0; c < 4; ++c) {
      const int from = inverse ? (c - r + 4) % 4 : (c + r) % 4;
      s[r][c] = row[static_cast<std::size_t>(from)];
    }
  }
}

// The column products by the fixed constants through doublings: a general GF(2^8)
// multiply per byte made loading a map, and its fuzzing, several times slower.
void mix_columns(State& s, bool inverse) {
  for (int c = 0; c < 4; ++c) {
    const uint8_t a[4] = {s[0][c], s[1][c], s[2][c], s[3][c]};
    uint8_t x2[4], x4[4], x8[4];
    for (int i = 0; i < 4; ++i) {
      x2[i] = xtime(a[i]);
      x4[i] = xtime(x2[i]);
      x8[i] = xtime(x4[i]);
    }
    for (int r = 0; r < 4; ++r) {
      const int r1 = (r + 1) % 4, r2 = (r + 2) % 4, r3 = (r + 3) % 4;
      if (inverse) {
        // 0E·a0 ^ 0B·a1 ^ 0D·a2 ^ 09·a3
        s[r][c] = static_cast<uint8_t>((x8[r] ^ x4[r] ^ x2[r]) ^ (x8[r1] ^ x2[r1] ^ a[r1]) ^
                                       (x8[r2] ^ x4[r2] ^ a[r2]) ^ (x8[r3] ^ a[r3]));
      } else {
        // 02·a0 ^ 03·a1 ^ a2 ^ a3
        s[r][c] = static_cast<uint8_t>(x2[r] ^ (x2[r1] ^ a[r1]) ^ a[r2] ^ a[r3]);
      }
    }
  }
}

// Every block of a file uses the same key: its schedule is kept per thread.
const RoundKeys& round_keys(const uint8_t key[16]) {
  thread_local std::array<uint8_t, 16> last{};
  thread_local RoundKeys rk = expand_key(last.data());
  if (std::memcmp(last.data(), key, 16) != 0) {
    std::memcpy(last.data(), key, 16);
    rk = expand_key(key);
  }
  return rk;
}

}  // namespace

int encrypt_block(uint8_t block[16], const uint8_t key[16]) {
  const RoundKeys& rk = round_keys(key);
  State s = load(block);
  add_round_key(s, rk[0]);
  for (int round = 1; round <= kRounds; ++round) {
    sub_bytes(s, kSbox);
    shift_rows(s, false);
    if (round != kRounds) mix_columns(s, false);
    add_round_key(s, rk[round]);
  }
  store(s, block);
  return 0;
}

int decrypt_block(uint8_t block[16], const uint8_t key[16]) {
  const RoundKeys& rk = round_keys(key);
  State s = load(block);
  add_round_key(s, rk[kRounds]);
  for (int round = kRounds - 1; round >= 0; --round) {
    shift_rows(s, true);
    sub_bytes(s, kInvSbox);
    add_round_key(s, rk[round]);
    if (round != 0) mix_columns(s, true);
  }
  store(s, block);
  return 0;
}

}  // namespace qeld
