// WinZip AES entries: archives made by 7z at the three strengths, test-side entries for the edge
// cases (pieces, stored CRC 0, tampered code, verifier collisions, password lengths).
#include <gtest/gtest.h>

#include <cstring>

#include "archive/arcAesCrypt.h"
#include "archive/arcUnZip.h"
#include "cryptrun.h"
#include "zipbuild.h"

using namespace arc;
using namespace ziptest;

namespace {

// salt + verifier + enciphered data + code, made with the product's own context used forwards.
Bytes AesPack(const Bytes& payload, const std::string& pw, int strength, uint32_t seed,
              const std::string& verifierPw = "") {
  Bytes salt = Pseudo(ZipAesSaltLength(strength), seed);
  TZipAesDecrypter ctx;
  uint8_t v[2];
  EXPECT_EQ(ctx.SetUp(pw, strength, salt.data(), v), 0);
  if (!verifierPw.empty()) {
    TZipAesDecrypter other;
    EXPECT_EQ(other.SetUp(verifierPw, strength, salt.data(), v), 0);
  }
  Bytes data = payload;
  ctx.Encrypt(data.data(), data.size());
  uint8_t code[10];
  ctx.Code(code);
  Bytes out = salt;
  out.push_back(v[0]);
  out.push_back(v[1]);
  out.insert(out.end(), data.begin(), data.end());
  out.insert(out.end(), code, code + 10);
  return out;
}

Bytes AesExtra(uint16_t version, int strength, uint16_t method) {
  Bytes x;
  Put16(x, 0x9901);
  Put16(x, 7);
  Put16(x, version);
  x.push_back('A');
  x.push_back('E');
  x.push_back(static_cast<uint8_t>(strength));
  Put16(x, method);
  return x;
}

Entry AesEntry(const std::string& name, const Bytes& plain, const Bytes& packed, uint16_t version, int strength,
               uint16_t method) {
  Entry e;
  e.name = name;
  e.data = plain;
  e.method = 99;
  e.flags = 1;
  e.rawPacked = packed;
  e.localExtra = e.centralExtra = AesExtra(version, strength, method);
  if (version == 2) e.crcOverride = 0;  // AE-2 stores no CRC
  return e;
}

}  // namespace

TEST(AesContext, PiecesGiveTheSameDataAndCode) {
  Bytes plain = Pseudo(70000, 21);
  Bytes packed = AesPack(plain, "pieces", 3, 4);
  const size_t head = 16 + 2;
  std::vector<Bytes> results;
  std::vector<Bytes> codes;
  for (size_t piece : {size_t{1}, size_t{16}, size_t{32768}, size_t{7}}) {
    TZipAesDecrypter d;
    ASSERT_TRUE(d.Init("pieces", 3, packed.data(), packed.data() + 16));
    Bytes data(packed.begin() + head, packed.end() - 10);
    for (size_t i = 0; i < data.size(); i += piece) d.Decrypt(data.data() + i, std::min(piece, data.size() - i));
    EXPECT_EQ(data, plain) << piece;
    EXPECT_TRUE(d.Verify(packed.data() + packed.size() - 10)) << piece;
  }
}

TEST(AesContext, PasswordLengthsAndStrengths) {
  Bytes salt = Pseudo(16, 1);
  uint8_t v[2];
  TZipAesDecrypter d;
  EXPECT_EQ(d.SetUp(std::string(128, 'p'), 3, salt.data(), v), 0);
  EXPECT_EQ(d.SetUp(std::string(129, 'p'), 3, salt.data(), v), -100);
  EXPECT_EQ(d.SetUp("x", 0, salt.data(), v), -1);
  EXPECT_FALSE(d.Init("", 1, salt.data(), v));
  EXPECT_FALSE(d.Init(std::string(129, 'p'), 1, salt.data(), v));
  // Only the two low bits of the strength count.
  uint8_t v1[2], v5[2];
  TZipAesDecrypter a, b;
  ASSERT_EQ(a.SetUp("pw", 1, salt.data(), v1), 0);
  ASSERT_EQ(b.SetUp("pw", 5, salt.data(), v5), 0);
  EXPECT_EQ(std::memcmp(v1, v5, 2), 0);
  EXPECT_EQ(ZipAesSaltLength(1), 8u);
  EXPECT_EQ(ZipAesSaltLength(2), 12u);
  EXPECT_EQ(ZipAesSaltLength(3), 16u);
}

TEST(AesUnZip, ArchivesOf7zAtEveryStrength) {
  if (!HaveTool("7z")) GTEST_SKIP() << "7z not installed";
  std::string t = TempDir("aes_7z");
  Bytes text = Text(std::string(5000, 'q') + "end\n");
  Bytes bin = Pseudo(100000, 17);
  WriteFile(t + "a.txt", text);
  WriteFile(t + "b.bin", bin);
  for (const char* em : {"AES128", "AES192", "AES256"}) {
    for (const char* level : {"-mx0", "-mx5"}) {
      std::string f = std::string(em) + level + ".zip";
      SCOPED_TRACE(f);
      ASSERT_EQ(Shell("cd '" + t + "' && 7z a -tzip -pPa55w0rd -mem=" + em + " " + level + " '" + f +
                      "' a.txt b.bin >/dev/null"),
                0);
      std::string out = t + "o_" + f + "/";
      Outcome r = ExtractWith(t + f, out, {"bad", "Pa55w0rd"});
      EXPECT_EQ(r.extracted, 2);
      EXPECT_TRUE(r.codes.empty());
      EXPECT_EQ(ReadFile(out + "a.txt"), text);
      EXPECT_EQ(ReadFile(out + "b.bin"), bin);
      // Wrong passwords only: reported, nothing written.
      std::vector<std::string> wrong = {"a", "b"};
      size_t asked = 0;
      Outcome w = ExtractWith(t + f, t + "w_" + f + "/", {"bad"}, [&](TUnZip& z) {
        z.PasswordAttempts = 2;
        z.OnGetPassword = [&](TUnBase&, const std::string&, std::string& pw,
            TSeedKeyRecord&, TSeedKeyRecord&, bool& again) {
          pw = wrong[asked++ % 2];
          again = true;
        };
      });
      EXPECT_EQ(w.extracted, 0);
      EXPECT_EQ(std::count(w.codes.begin(), w.codes.end(), E_InvalidPassword), 4);
      EXPECT_FALSE(FileExists(t + "w_" + f + "/a.txt"));
    }
  }
}

TEST(AesUnZip, TestSideEntriesStoredAndDeflatedAtEveryStrength) {
  Bytes plain = Pseudo(40000, 3);
  plain.insert(plain.end(), 20000, 'z');
  std::vector<Entry> es;
  int i = 0;
  for (int s = 1; s <= 3; ++s) {
    for (uint16_t m : {uint16_t{0}, uint16_t{8}}) {
      for (uint16_t ver : {uint16_t{1}, uint16_t{2}}) {
        Bytes body = m == 8 ? Deflate(plain) : plain;
        es.push_back(AesEntry("e" + std::to_string(i) + ".bin", plain, AesPack(body, "pw", s, 100 + i), ver, s, m));
        ++i;
      }
    }
  }
  std::string t = TempDir("aes_side");
  WriteFile(t + "a.zip", Build(es));
  Outcome r = ExtractWith(t + "a.zip", t + "o/", {"pw"});
  EXPECT_EQ(r.extracted, i);
  EXPECT_TRUE(r.codes.empty());
  for (int k = 0; k < i; ++k) EXPECT_EQ(ReadFile(t + "o/e" + std::to_string(k) + ".bin"), plain) << k;
}

TEST(AesUnZip, TamperedDataOrCodeAndVerifierCollisionFailTheCheck) {
  Bytes plain = Pseudo(3000, 9);
  Bytes good = AesPack(plain, "right", 2, 5);
  Bytes badData = good;
  badData[12 + 2 + 100] ^= 1;
  Bytes badCode = good;
  badCode.back() ^= 0x80;
  // The verifier belongs to "wrong": Init passes with it, the data deciphers into garbage.
  Bytes collide = AesPack(plain, "right", 2, 5, "wrong");
  struct Case {
    const char* name;
    Bytes packed;
    std::string pw;
  } cases[] = {{"data", badData, "right"}, {"code", badCode, "right"}, {"collide", collide, "wrong"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string t = TempDir("aes_tamper");
    WriteFile(t + "a.zip", Build({AesEntry("x.bin", plain, c.packed, 2, 2, 0)}));
    Outcome r = ExtractWith(t + "a.zip", t + "o/", {c.pw}, [](TUnZip& z) { z.OnEnd = nullptr; });
    EXPECT_EQ(r.extracted, 0);
    EXPECT_EQ(r.codes, (std::vector<int32_t>{E_CrcFail}));
  }
  std::string t = TempDir("aes_good");
  WriteFile(t + "a.zip", Build({AesEntry("x.bin", plain, good, 2, 2, 0)}));
  Outcome r = ExtractWith(t + "a.zip", t + "o/", {"right"});
  EXPECT_EQ(r.extracted, 1);
  EXPECT_EQ(ReadFile(t + "o/x.bin"), plain);
}

TEST(AesUnZip, TruncatedEntriesEndWithAnError) {
  Bytes plain = Pseudo(5000, 10);
  Bytes packed = AesPack(Deflate(plain), "pw", 1, 6);
  for (size_t keep : {size_t{4}, size_t{9}, size_t{10}, size_t{30}, packed.size() - 5}) {
    SCOPED_TRACE(keep);
    std::string t = TempDir("aes_trunc");
    WriteFile(t + "a.zip", Build({AesEntry("x.bin", plain, Bytes(packed.begin(), packed.begin() + keep), 2, 1, 8)}));
    Outcome r = ExtractWith(t + "a.zip", t + "o/", {"pw"}, [](TUnZip& z) {
      z.OnEnd = nullptr;
      z.OnGetPassword = [](TUnBase&, const std::string&, std::string&, TSeedKeyRecord&, TSeedKeyRecord&, bool& again) {
        again = false;
      };
    });
    EXPECT_EQ(r.extracted, 0);
    // A header too short for salt and verifier is an invalid password; every truncation ends
    // with the failed check of the entry.
    ASSERT_FALSE(r.codes.empty());
    EXPECT_EQ(r.codes.back(), E_CrcFail);
    EXPECT_EQ(r.codes.size(), keep < 10 ? 2u : 1u);
  }
}

TEST(AesUnZip, PasswordOf128BytesWorksAnd129IsRefused) {
  Bytes plain = Text("long password data");
  std::string p128(128, 'L'), p129(129, 'L');
  std::string t = TempDir("aes_len");
  Bytes packed = AesPack(plain, p128, 3, 8);
  WriteFile(t + "a.zip", Build({AesEntry("x.txt", plain, packed, 2, 3, 0)}));
  EXPECT_EQ(ExtractWith(t + "a.zip", t + "o/", {p128}).extracted, 1);
  Outcome r = ExtractWith(t + "a.zip", t + "o2/", {p129}, [](TUnZip& z) {
    z.OnGetPassword = [](TUnBase&, const std::string&, std::string&, TSeedKeyRecord&, TSeedKeyRecord&, bool& again) {
      again = false;
    };
  });
  EXPECT_EQ(r.extracted, 0);
  EXPECT_EQ(r.codes, (std::vector<int32_t>{E_InvalidPassword}));
}

TEST(AesUnZip, EncipheredBytesAfterTheStreamCountForTheCode) {
  // The packed data runs on after the end of the compressed stream; the authentication code
  // covers those bytes too, so a good entry passes and a changed trailing byte fails it.
  const Bytes plain = Pseudo(30000, 12);
  Bytes deflated = Deflate(plain);
  for (size_t trailing : {size_t{1}, size_t{100}, size_t{40000}}) {
    for (bool tamper : {false, true}) {
      SCOPED_TRACE(std::to_string(trailing) + (tamper ? " tampered" : ""));
      Bytes body = deflated;
      const Bytes extra = Pseudo(trailing, static_cast<uint32_t>(trailing));
      body.insert(body.end(), extra.begin(), extra.end());
      Bytes packed = AesPack(body, "pw", 3, 30);
      if (tamper) packed[packed.size() - 10 - 1] ^= 0x01;  // the last enciphered byte
      std::string t = TempDir("aes_trailing");
      WriteFile(t + "a.zip", Build({AesEntry("x.bin", plain, packed, 2, 3, 8)}));
      Outcome r = ExtractWith(t + "a.zip", t + "o/", {"pw"});
      EXPECT_EQ(r.extracted, tamper ? 0 : 1);
      ASSERT_EQ(r.ends.size(), 1u);
      EXPECT_EQ(r.ends[0].second, !tamper);
      EXPECT_TRUE(r.codes.empty());
      EXPECT_EQ(ReadFile(t + "o/x.bin"), plain);  // the data itself decodes either way
    }
  }
}

TEST(AesUnZip, OnlyTheTwoLowBitsOfTheStrengthCount) {
  const Bytes plain = Text("strength byte");
  struct Case {
    int stated;   // the byte in the extra field
    int keys;     // the strength the entry was made with
    bool listed;  // a strength of 0 after the mask is not supported
  } cases[] = {{1, 1, true}, {5, 1, true}, {6, 2, true}, {7, 3, true}, {0xFF, 3, true}, {4, 1, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stated);
    std::string t = TempDir("aes_strength");
    Bytes packed = AesPack(plain, "pw", c.keys, 40);
    WriteFile(t + "a.zip", Build({AesEntry("s.txt", plain, packed, 2, c.stated, 0)}));
    Outcome r = ExtractWith(t + "a.zip", t + "o/", {"pw"});
    EXPECT_EQ(r.extracted, c.listed ? 1 : 0);
    if (c.listed) {
      EXPECT_TRUE(r.codes.empty());
      EXPECT_EQ(ReadFile(t + "o/s.txt"), plain);
    } else {
      EXPECT_EQ(r.codes, (std::vector<int32_t>{E_UnsupportedEncryption}));
    }
  }
}
