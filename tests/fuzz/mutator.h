// Structure-aware mutation for the libFuzzer builds: libFuzzer's own byte mutator, and
// a small random source seeded by the mutator's seed so a run stays reproducible.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

namespace fuzz {

class Dice {
 public:
  explicit Dice(unsigned seed) : rng_(seed) {}
  // 0 .. n-1 (n > 0)
  std::size_t below(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }
  bool one_in(std::size_t n) { return below(n) == 0; }

 private:
  std::mt19937 rng_;
};

// libFuzzer's byte mutations applied to a piece of text, up to max_growth bytes longer.
inline std::string mutate_text(const std::string& text, std::size_t max_growth) {
  std::string buf = text;
  const std::size_t cap = text.size() + max_growth;
  buf.resize(cap ? cap : 1);
  const std::size_t n =
      LLVMFuzzerMutate(reinterpret_cast<uint8_t*>(buf.data()), text.size(), cap ? cap : 1);
  buf.resize(n);
  return buf;
}

}  // namespace fuzz
