// The model-map block cipher: AES-128 rounds and tables with a row-by-row byte
// order (byte 4r+c is row r, column c) for block, key and result.
#pragma once

#include <cstdint>

namespace qeld {

// Encrypts the 16-byte block in place under the 16-byte key. Always returns 0.
int encrypt_block(uint8_t block[16], const uint8_t key[16]);
// Decrypts the 16-byte block in place under the 16-byte key. Always returns 0.
int decrypt_block(uint8_t block[16], const uint8_t key[16]);

}  // namespace qeld
