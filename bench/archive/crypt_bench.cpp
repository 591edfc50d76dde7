// Deciphering speed: the traditional cipher, SHA-1 and the AES counter mode with its HMAC (beside
// OpenSSL's SHA-1, AES-CTR and HMAC-SHA1 over the same data), and the key derivation of one AES
// entry. The ratios to OpenSSL, by the clock, are printed after the table; with
// --benchmark_repetitions=3 they are taken from the medians.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <vector>

#include "archive/arcAesCrypt.h"
#include "archive/arcCrypt.h"
#include "bench/archive/ratio_reporter.h"

namespace {
std::vector<uint8_t> Data(size_t n) {
  std::vector<uint8_t> d(n);
  uint32_t x = 12345;
  for (auto& b : d) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return d;
}

void BM_Traditional(benchmark::State& st) {
  auto d = Data(1 << 20);
  arc::TZipCryptKeys k;
  k.InitKeys(arc::kDefaultDataKeys, "password");
  for (auto _ : st) {
    k.DecryptBuffer(d.data(), static_cast<int64_t>(d.size()));
    benchmark::DoNotOptimize(d.data());
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d.size()));
}
BENCHMARK(BM_Traditional);

void BM_Sha1(benchmark::State& st) {
  auto d = Data(1 << 20);
  for (auto _ : st) {
    arc::TSha1 h;
    h.Update(d.data(), d.size());
    uint8_t md[arc::TSha1::kDigest];
    h.Final(md);
    benchmark::DoNotOptimize(md);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d.size()));
}
BENCHMARK(BM_Sha1)->UseRealTime();

void BM_OpenSslSha1(benchmark::State& st) {
  auto d = Data(1 << 20);
  for (auto _ : st) {
    uint8_t md[SHA_DIGEST_LENGTH];
    unsigned ml = 0;
    EVP_Digest(d.data(), d.size(), md, &ml, EVP_sha1(), nullptr);
    benchmark::DoNotOptimize(md);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d.size()));
}
BENCHMARK(BM_OpenSslSha1)->UseRealTime();

// Argument: the strength (1 = AES-128, 3 = AES-256).
void BM_AesEntry(benchmark::State& st) {
  auto d = Data(1 << 20);
  uint8_t salt[16] = {1, 2, 3}, v[2];
  arc::TZipAesDecrypter a;
  a.SetUp("password", static_cast<int>(st.range(0)), salt, v);
  for (auto _ : st) {
    a.Decrypt(d.data(), d.size());
    benchmark::DoNotOptimize(d.data());
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d.size()));
}
BENCHMARK(BM_AesEntry)->Arg(1)->Arg(3)->UseRealTime();

void BM_OpenSslCtrHmac(benchmark::State& st) {
  auto d = Data(1 << 20);
  std::vector<uint8_t> out(d.size() + 16);
  uint8_t key[32] = {}, iv[16] = {1};
  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(c, st.range(0) == 1 ? EVP_aes_128_ctr() : EVP_aes_256_ctr(), nullptr, key, iv);
  for (auto _ : st) {
    uint8_t mac[20];
    unsigned ml = 0;
    HMAC(EVP_sha1(), key, 32, d.data(), d.size(), mac, &ml);
    int l = 0;
    EVP_EncryptUpdate(c, out.data(), &l, d.data(), static_cast<int>(d.size()));
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(c);
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d.size()));
}
BENCHMARK(BM_OpenSslCtrHmac)->Arg(1)->Arg(3)->UseRealTime();

void BM_KeyDerivation(benchmark::State& st) {
  uint8_t salt[16] = {9}, v[2];
  for (auto _ : st) {
    arc::TZipAesDecrypter a;
    benchmark::DoNotOptimize(a.SetUp("password", 3, salt, v));
  }
}
BENCHMARK(BM_KeyDerivation);

const bench_ratio::Row kToOpenSsl[] = {
    {"SHA-1", "BM_Sha1", "BM_OpenSslSha1", 0.3},
    {"AES-128 counter mode with HMAC-SHA1", "BM_AesEntry/1", "BM_OpenSslCtrHmac/1", 0},
    {"AES-256 counter mode with HMAC-SHA1", "BM_AesEntry/3", "BM_OpenSslCtrHmac/3", 0},
};
}  // namespace

int main(int argc, char** argv) {
  return bench_ratio::RunWithRatios(argc, argv, [](const bench_ratio::RatioReporter& r) {
    r.Print("Ratio to OpenSSL (arc rate / OpenSSL rate; above 1 is faster than OpenSSL):", kToOpenSsl);
  });
}

