// The model-map cipher: published AES-128 vectors in its row-by-row byte order, and a
// cross-check against OpenSSL's AES on random blocks and keys.
#include "qeld/cipher/cipher.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <random>

namespace {

using Block = std::array<uint8_t, 16>;

Block hex(const char* s) {
  Block b{};
  for (int i = 0; i < 16; ++i) {
    unsigned v = 0;
    std::sscanf(s + 2 * i, "%2x", &v);
    b[static_cast<std::size_t>(i)] = static_cast<uint8_t>(v);
  }
  return b;
}

// Byte 4r+c swapped with byte r+4c.
Block T(const Block& in) {
  Block out{};
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      out[static_cast<std::size_t>(4 * r + c)] = in[static_cast<std::size_t>(r + 4 * c)];
  return out;
}

Block openssl_aes(const Block& in, const Block& key, bool encrypt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EXPECT_NE(ctx, nullptr);
  Block out{};
  int len = 0;
  EXPECT_EQ(
      EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0), 1);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EXPECT_EQ(EVP_CipherUpdate(ctx, out.data(), &len, in.data(), 16), 1);
  EXPECT_EQ(len, 16);
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

Block enc(Block b, const Block& k) {
  EXPECT_EQ(qeld::encrypt_block(b.data(), k.data()), 0);
  return b;
}
Block dec(Block b, const Block& k) {
  EXPECT_EQ(qeld::decrypt_block(b.data(), k.data()), 0);
  return b;
}

struct Vector {
  const char* key;
  const char* plain;
  const char* cipher;
};
// FIPS-197 appendix B and appendix C.1.
constexpr Vector kFips[] = {
    {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
     "3925841d02dc09fbdc118597196a0b32"},
    {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a"},
};

TEST(CipherVectors, TransposedFipsVectorsEncryptAndDecrypt) {
  for (const auto& v : kFips) {
    const Block k = hex(v.key), p = hex(v.plain), c = hex(v.cipher);
    EXPECT_EQ(enc(T(p), T(k)), T(c)) << v.plain;
    EXPECT_EQ(dec(T(c), T(k)), T(p)) << v.cipher;
  }
}

TEST(CipherVectors, UntransposedFipsVectorsDoNotMatch) {
  for (const auto& v : kFips) {
    const Block k = hex(v.key), p = hex(v.plain), c = hex(v.cipher);
    EXPECT_NE(enc(p, k), c) << v.plain;
    EXPECT_NE(dec(c, k), p) << v.cipher;
    // Only the key transposed, or only the block: still wrong.
    EXPECT_NE(T(enc(T(p), k)), c);
    EXPECT_NE(T(enc(p, T(k))), c);
  }
}

TEST(CipherCrossCheck, MatchesOpenSslAesThroughTheTranspositionAndRoundTrips) {
  std::mt19937 rng(20261208);
  for (int i = 0; i < 500; ++i) {
    Block p{}, k{};
    for (auto& b : p) b = static_cast<uint8_t>(rng());
    for (auto& b : k) b = static_cast<uint8_t>(rng());
    const Block c = enc(p, k);
    EXPECT_EQ(c, T(openssl_aes(T(p), T(k), true))) << "case " << i;
    EXPECT_EQ(dec(p, k), T(openssl_aes(T(p), T(k), false))) << "case " << i;
    EXPECT_EQ(dec(c, k), p) << "case " << i;
  }
}

}  // namespace
