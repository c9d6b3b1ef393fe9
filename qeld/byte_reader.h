// Bounds-checked reading and explicit-offset writing of wire bytes. Every read checks
// the received length first and says which byte order it uses; nothing is cast over a buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qeld {

// A read-only view of `size` received bytes. Each getter returns false, leaving `out`
// alone, when the field would reach past the bytes that arrived.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, std::size_t size) : data_(data), size_(data ? size : 0) {}

  std::size_t size() const { return size_; }
  bool has(std::size_t offset, std::size_t n) const {
    return offset <= size_ && n <= size_ - offset;
  }

  bool u8(std::size_t offset, uint8_t& out) const {
    if (!has(offset, 1)) return false;
    out = data_[offset];
    return true;
  }
  bool u16_be(std::size_t offset, uint16_t& out) const {
    if (!has(offset, 2)) return false;
    out = static_cast<uint16_t>((data_[offset] << 8) | data_[offset + 1]);
    return true;
  }
  bool u16_le(std::size_t offset, uint16_t& out) const {
    if (!has(offset, 2)) return false;
    out = static_cast<uint16_t>(data_[offset] | (data_[offset + 1] << 8));
    return true;
  }
  bool u32_le(std::size_t offset, uint32_t& out) const {
    if (!has(offset, 4)) return false;
    out = static_cast<uint32_t>(data_[offset]) | (static_cast<uint32_t>(data_[offset + 1]) << 8) |
          (static_cast<uint32_t>(data_[offset + 2]) << 16) |
          (static_cast<uint32_t>(data_[offset + 3]) << 24);
    return true;
  }
  // IPv4 addresses stay in network byte order: the four bytes keep their memory order.
  bool ip4(std::size_t offset, uint32_t& out) const {
    if (!has(offset, 4)) return false;
    std::memcpy(&out, data_ + offset, 4);
    return true;
  }
  bool bytes(std::size_t offset, uint8_t* out, std::size_t n) const {
    if (!has(offset, n)) return false;
    if (n != 0) std::memcpy(out, data_ + offset, n);
    return true;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
};

// Writers for request buffers the caller has sized; offsets are checked by the callers'
// fixed layouts, so these only fix the byte order.
inline void put_u16_be(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void put_u16_le(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_u32_le(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace qeld
