// cipher: the model-map block cipher's decrypt_block beside OpenSSL's AES-128 block
// decryption on the same data, for context (the map is decrypted once per start).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "qeld/cipher/cipher.h"

namespace {

constexpr uint8_t kKey[16] = {'b', 'e', 'n', 'c', 'h', 'k', 'e', 'y', 't', 'e', 'x', 't', '1', '2', '3', '4'};

std::vector<uint8_t> data_of(std::size_t n) {
  std::vector<uint8_t> d(n);
  for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(i * 131 + 7);
  return d;
}

void BM_decrypt_block(benchmark::State& state) {
  auto data = data_of(std::size_t(state.range(0)));
  for (auto _ : state) {
    for (std::size_t off = 0; off + 16 <= data.size(); off += 16) qeld::decrypt_block(&data[off], kKey);
    benchmark::DoNotOptimize(data.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

// ECB without padding: block by block, like the model map's own use of the cipher.
void BM_openssl_aes128_decrypt(benchmark::State& state) {
  auto data = data_of(std::size_t(state.range(0)));
  std::vector<uint8_t> out(data.size() + 16);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_DecryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, kKey, nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  for (auto _ : state) {
    int len = 0;
    EVP_DecryptUpdate(ctx, out.data(), &len, data.data(), int(data.size()));
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

// The same OpenSSL call one block at a time, as fair to a per-block interface.
void BM_openssl_aes128_decrypt_per_block(benchmark::State& state) {
  auto data = data_of(std::size_t(state.range(0)));
  uint8_t out[32];
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_DecryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, kKey, nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  for (auto _ : state) {
    for (std::size_t off = 0; off + 16 <= data.size(); off += 16) {
      int len = 0;
      EVP_DecryptUpdate(ctx, out, &len, &data[off], 16);
      benchmark::DoNotOptimize(out);
    }
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(BM_decrypt_block)->Arg(16)->Arg(4096);
BENCHMARK(BM_openssl_aes128_decrypt)->Arg(16)->Arg(4096);
BENCHMARK(BM_openssl_aes128_decrypt_per_block)->Arg(4096);
BENCHMARK_MAIN();
