// Shared helpers of the fuzz harnesses: a check that aborts with a message (so
// libFuzzer and the replay driver both report it as a crash) and a byte reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                   \
  do {                                                                                     \
    if (!(cond)) {                                                                         \
      std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                        \
    }                                                                                      \
  } while (0)

namespace fuzz {

// Consumes the fuzz input front to back; reads past the end give zeros / empty spans.
class Input {
 public:
  Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  std::size_t left() const { return pos_ < size_ ? size_ - pos_ : 0; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t u16() {
    uint16_t hi = byte();
    return static_cast<uint16_t>((hi << 8) | byte());
  }
  // Up to n bytes; *got says how many were available.
  const uint8_t* take(std::size_t n, std::size_t* got) {
    std::size_t k = n < left() ? n : left();
    const uint8_t* p = data_ + pos_;
    pos_ += k;
    *got = k;
    return p;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace fuzz
