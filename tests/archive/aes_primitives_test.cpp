// SHA-1, HMAC-SHA1, PBKDF2 and AES against their published test vectors and against OpenSSL.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <string>

#include "archive/arcAesCrypt.h"
#include "zipbuild.h"

using namespace arc;
using namespace ziptest;

namespace {
std::string Hex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}
Bytes Unhex(const std::string& h) {
  Bytes b;
  for (size_t i = 0; i + 1 < h.size(); i += 2) b.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return b;
}
const uint8_t* U(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string Sha1Hex(const Bytes& b, size_t piece = 0) {
  TSha1 h;
  if (piece == 0) {
    h.Update(b.data(), b.size());
  } else {
    for (size_t i = 0; i < b.size(); i += piece) h.Update(b.data() + i, std::min(piece, b.size() - i));
  }
  uint8_t d[20];
  h.Final(d);
  return Hex(d, 20);
}
}  // namespace

TEST(Sha1, PublishedVectors) {
  struct V {
    std::string msg;
    const char* digest;
  } v[] = {
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
  };
  for (const auto& x : v) EXPECT_EQ(Sha1Hex(Text(x.msg)), x.digest) << x.msg;
  Bytes million(1000000, 'a');
  EXPECT_EQ(Sha1Hex(million), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  EXPECT_EQ(Sha1Hex(million, 333), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1, AgreesWithOpenSslForEveryLengthAroundTheBlock) {
  for (size_t n = 0; n < 300; ++n) {
    Bytes b = Pseudo(n, static_cast<uint32_t>(n));
    uint8_t ref[20];
    SHA1(b.data(), b.size(), ref);
    EXPECT_EQ(Sha1Hex(b), Hex(ref, 20)) << n;
    EXPECT_EQ(Sha1Hex(b, 7), Hex(ref, 20)) << n;
  }
}

TEST(HmacSha1, Rfc2202Vectors) {
  struct V {
    Bytes key, data;
    const char* mac;
  } v[] = {
      {Bytes(20, 0x0b), Text("Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00"},
      {Text("Jefe"), Text("what do ya want for nothing?"), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {Bytes(20, 0xaa), Bytes(50, 0xdd), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
      {Bytes(80, 0xaa), Text("Test Using Larger Than Block-Size Key - Hash Key First"),
       "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {Bytes(80, 0xaa), Text("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
       "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
  };
  for (const auto& x : v) {
    THmacSha1 h(x.key.data(), x.key.size());
    h.Update(x.data.data(), x.data.size());
    uint8_t d[20];
    h.Final(d);
    EXPECT_EQ(Hex(d, 20), x.mac);
  }
}

TEST(HmacSha1, AgreesWithOpenSslForKeysAroundTheBlock) {
  for (size_t kl : {0, 1, 20, 63, 64, 65, 200}) {
    Bytes key = Pseudo(kl, 100 + static_cast<uint32_t>(kl));
    Bytes data = Pseudo(777, 5);
    uint8_t ref[20];
    unsigned rl = 0;
    HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), ref, &rl);
    THmacSha1 h(key.data(), key.size());
    h.Update(data.data(), 100);
    h.Update(data.data() + 100, data.size() - 100);
    uint8_t d[20];
    h.Final(d);
    EXPECT_EQ(Hex(d, 20), Hex(ref, 20)) << kl;
  }
}

TEST(Pbkdf2, Rfc6070Vectors) {
  struct V {
    std::string pw, salt;
    uint32_t iter;
    size_t len;
    const char* out;
  } v[] = {
      {"password", "salt", 1, 20, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
      {"password", "salt", 2, 20, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
      {"password", "salt", 4096, 20, "4b007901b765489abead49d926f721d065a429c1"},
      {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096, 25,
       "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
      {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096, 16, "56fa6aa75548099dcc37d7f03425e0c3"},
  };
  for (const auto& x : v) {
    uint8_t out[64];
    Pbkdf2HmacSha1(U(x.pw), x.pw.size(), U(x.salt), x.salt.size(), x.iter, out, x.len);
    EXPECT_EQ(Hex(out, x.len), x.out) << x.pw << " " << x.iter;
  }
}

TEST(Pbkdf2, AgreesWithOpenSslForTheEntryKeySizes) {
  for (size_t len : {34, 50, 66}) {
    std::string pw = "p\xe4ssw\xf6rd-" + std::to_string(len);
    Bytes salt = Pseudo(len / 4, 3);
    uint8_t ref[66], mine[66];
    PKCS5_PBKDF2_HMAC_SHA1(pw.data(), static_cast<int>(pw.size()), salt.data(), static_cast<int>(salt.size()), 1000,
                           static_cast<int>(len), ref);
    Pbkdf2HmacSha1(U(pw), pw.size(), salt.data(), salt.size(), 1000, mine, len);
    EXPECT_EQ(Hex(mine, len), Hex(ref, len));
  }
}

TEST(Aes, Fips197AppendixCVectors) {
  const Bytes plain = Unhex("00112233445566778899aabbccddeeff");
  struct V {
    const char* key;
    const char* cipher;
  } v[] = {
      {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "8ea2b7ca516745bfeafc49904b496089"},
  };
  for (const auto& x : v) {
    Bytes key = Unhex(x.key);
    TAesEncryptor a;
    ASSERT_TRUE(a.SetKey(key.data(), key.size()));
    uint8_t out[16];
    a.EncryptBlock(plain.data(), out);
    EXPECT_EQ(Hex(out, 16), x.cipher);
    TAesEncryptor bits;  // the length given in bits
    ASSERT_TRUE(bits.SetKey(key.data(), key.size() * 8));
    bits.EncryptBlock(plain.data(), out);
    EXPECT_EQ(Hex(out, 16), x.cipher);
  }
  TAesEncryptor bad;
  Bytes k = Pseudo(20, 1);
  EXPECT_FALSE(bad.SetKey(k.data(), 20));
  EXPECT_FALSE(bad.Ready());
}

TEST(Aes, AgreesWithOpenSslOnRandomKeysAndBlocks) {
  const EVP_CIPHER* ciphers[] = {EVP_aes_128_ecb(), EVP_aes_192_ecb(), EVP_aes_256_ecb()};
  for (int s = 0; s < 3; ++s) {
    for (uint32_t seed = 0; seed < 20; ++seed) {
      Bytes key = Pseudo(16 + 8 * static_cast<size_t>(s), seed * 7 + 1);
      Bytes block = Pseudo(16, seed * 13 + 2);
      uint8_t ref[32];
      int l = 0;
      EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
      EVP_EncryptInit_ex(ctx, ciphers[s], nullptr, key.data(), nullptr);
      EVP_CIPHER_CTX_set_padding(ctx, 0);
      EVP_EncryptUpdate(ctx, ref, &l, block.data(), 16);
      EVP_CIPHER_CTX_free(ctx);
      TAesEncryptor a;
      ASSERT_TRUE(a.SetKey(key.data(), key.size()));
      uint8_t out[16];
      a.EncryptBlock(block.data(), out);
      EXPECT_EQ(Hex(out, 16), Hex(ref, 16)) << s << " " << seed;
    }
  }
}
