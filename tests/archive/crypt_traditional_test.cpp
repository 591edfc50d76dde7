// Traditional ZIP encryption: the key schedule, headers made by zip -P and 7z, wrong and empty
// passwords, deciphering in pieces, and the password flow of TUnZip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "archive/arcCrypt.h"
#include "archive/arcUnZip.h"
#include "cryptrun.h"
#include "zipbuild.h"

using namespace arc;
using namespace ziptest;

namespace {

// Test-side encryptor: the header and data of an entry as any traditional encryptor makes them.
Bytes Encipher(const Bytes& plain, const std::string& pw, uint8_t check, uint32_t seed) {
  TZipCryptKeys k;
  k.InitKeys(kDefaultDataKeys, pw);
  Bytes out = Pseudo(12, seed);
  out[11] = check;
  out.insert(out.end(), plain.begin(), plain.end());
  k.EncryptBuffer(out.data(), static_cast<int64_t>(out.size()));
  return out;
}

// An entry with the traditional-encryption flag and the given packed bytes.
Entry Sealed(const std::string& name, const Bytes& plain, const Bytes& packed) {
  Entry e;
  e.name = name;
  e.data = plain;
  e.flags = 1;
  e.rawPacked = packed;
  return e;
}

}  // namespace

TEST(TraditionalKeys, PublishedInitialKeysAndKnownUpdate) {
  TZipCryptKeys k;
  EXPECT_EQ(k.Keys(), kDefaultDataKeys);
  // Keys after the password "a", worked out by hand from the CRC table and the multiplier.
  k.InitKeys(kDefaultDataKeys, "");
  EXPECT_EQ(k.Keys(), kDefaultDataKeys);
  uint32_t k0 = 0x12345678u, k1 = 0x23456789u, k2 = 0x34567890u;
  auto crc8 = [](uint32_t c, uint8_t b) {
    c ^= b;
    for (int i = 0; i < 8; ++i) c = (c >> 1) ^ ((c & 1) ? 0xEDB88320u : 0);
    return c;
  };
  for (char ch : std::string("pass")) {
    k0 = crc8(k0, static_cast<uint8_t>(ch));
    k1 = (k1 + (k0 & 0xFF)) * 134775813u + 1;
    k2 = crc8(k2, static_cast<uint8_t>(k1 >> 24));
  }
  k.InitKeys(kDefaultDataKeys, "pass");
  EXPECT_EQ(k.Keys(), (TSeedKeyRecord{k0, k1, k2}));
  uint32_t tt = (k2 & 0xFFFF) | 2;
  EXPECT_EQ(k.DecryptByte(), static_cast<uint8_t>((tt * (tt ^ 1)) >> 8));
}

TEST(TraditionalKeys, PiecesGiveTheSameResultAsOneBuffer) {
  Bytes plain = Pseudo(1000, 7);
  TZipCryptKeys e;
  e.InitKeys(kDefaultDataKeys, "k3y");
  Bytes c = plain;
  e.EncryptBuffer(c.data(), static_cast<int64_t>(c.size()));
  EXPECT_NE(c, plain);
  for (size_t cut : {size_t{0}, size_t{1}, size_t{12}, size_t{999}}) {
    TZipCryptKeys d;
    d.InitKeys(kDefaultDataKeys, "k3y");
    Bytes x = c;
    d.DecryptBuffer(x.data(), static_cast<int64_t>(cut));
    d.DecryptBuffer(x.data() + cut, 0);
    d.DecryptBuffer(x.data() + cut, -5);
    d.DecryptBuffer(x.data() + cut, static_cast<int64_t>(x.size() - cut));
    EXPECT_EQ(x, plain) << cut;
  }
}

TEST(TraditionalUnZip, HeaderCheckByteFollowsTheDescriptorFlag) {
  // The last header byte is compared with the CRC's high byte, or with the time's when bit 3
  // says that a data descriptor follows: a header made by the other rule does not open with the
  // right password, and an empty password opens nothing.
  const Bytes plain = Text("check byte");
  const Entry base = Sealed("c.txt", plain, {});
  const auto byCrc = static_cast<uint8_t>(Crc(plain) >> 24), byTime = static_cast<uint8_t>(base.dosTime >> 8);
  ASSERT_NE(byCrc, byTime);
  struct Case {
    bool descriptor, checkFromCrc, opens;
  } cases[] = {{false, true, true}, {false, false, false}, {true, false, true}, {true, true, false}};
  const std::string t = TempDir("crypt_check");
  int i = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(i);
    Entry e = base;
    e.dataDescriptor = c.descriptor;
    e.rawPacked = Encipher(plain, "pw", c.checkFromCrc ? byCrc : byTime, 3);
    const std::string dir = t + std::to_string(i++) + "/";
    WriteFile(dir + "c.zip", Build({e}));
    Outcome r = ExtractWith(dir + "c.zip", dir + "o/", {"pw"});
    EXPECT_EQ(r.extracted, c.opens ? 1 : 0);
    EXPECT_EQ(r.codes, c.opens ? std::vector<int32_t>{} : std::vector<int32_t>{E_EventNotAssigned});
    EXPECT_EQ(ReadFile(dir + "o/c.txt"), c.opens ? plain : Bytes{});
    Outcome empty = ExtractWith(dir + "c.zip", dir + "e/", {""});
    EXPECT_EQ(empty.extracted, 0);
    EXPECT_FALSE(FileExists(dir + "e/c.txt"));
  }
}

TEST(TraditionalUnZip, ArchivesOfZipAnd7zExtractWithThePassword) {
  bool zip = HaveTool("zip"), sevenz = HaveTool("7z");
  if (!zip && !sevenz) GTEST_SKIP() << "neither zip nor 7z installed";
  std::string t = TempDir("crypt_tools");
  Bytes text = Text(std::string(3000, 'x') + "tail of the text\n");
  Bytes bin = Pseudo(70000, 11);
  WriteFile(t + "a.txt", text);
  WriteFile(t + "b.bin", bin);
  std::vector<std::string> made;
  if (zip) {
    ASSERT_EQ(Shell("cd '" + t + "' && zip -q -P s3cret zp.zip a.txt b.bin"), 0);
    ASSERT_EQ(Shell("cd '" + t + "' && zip -q -0 -P s3cret zp0.zip a.txt b.bin"), 0);
    // Written to a pipe: data descriptors follow the data, the check byte comes from the time.
    ASSERT_EQ(Shell("cd '" + t + "' && zip -q -P s3cret - a.txt b.bin | cat > zpipe.zip"), 0);
    made.insert(made.end(), {"zp.zip", "zp0.zip", "zpipe.zip"});
  }
  if (sevenz) {
    ASSERT_EQ(Shell("cd '" + t + "' && 7z a -tzip -ps3cret -mem=ZipCrypto 7zc.zip a.txt b.bin >/dev/null"), 0);
    ASSERT_EQ(Shell("cd '" + t + "' && 7z a -tzip -ps3cret -mx0 7zc0.zip a.txt b.bin >/dev/null"), 0);
    made.insert(made.end(), {"7zc.zip", "7zc0.zip"});
  }
  for (const auto& f : made) {
    SCOPED_TRACE(f);
    std::string out = t + "out_" + f + "/";
    // The tools choose the 12 header bytes at random, so a wrong password would pass the
    // one-byte check now and then: only the right one is offered here (the order in which
    // passwords are tried is shown on archives with fixed headers below).
    Outcome r = ExtractWith(t + f, out, {"s3cret"});
    EXPECT_EQ(r.extracted, 2);
    EXPECT_TRUE(r.codes.empty());
    EXPECT_EQ(ReadFile(out + "a.txt"), text);
    EXPECT_EQ(ReadFile(out + "b.bin"), bin);
    if (f == "zpipe.zip") {
      TUnZip z;
      z.SetArchiveFile(t + f);
      z.FileSpec = {"*.*"};
      z.List();
      ASSERT_FALSE(z.Entries().empty());
      EXPECT_TRUE(z.Entries()[0].flags & 8);
    }
  }
}

TEST(TraditionalUnZip, WrongPasswordIsReportedAndNothingPasses) {
  // A fixed header, so that none of the wrong passwords below passes the check byte.
  Bytes plain = Pseudo(5000, 2);
  const uint32_t crc = Crc(plain);
  Entry e = Sealed("a.txt", plain, Encipher(plain, "right", static_cast<uint8_t>(crc >> 24), 3));
  for (const char* wrong : {"wrong", "nope"}) {
    uint8_t buf[24];
    std::memcpy(buf + 12, e.rawPacked.data(), 12);
    TTraditionalCipher k;
    ASSERT_FALSE(CheckPasswordHeader(k, kDefaultDataKeys, buf, 0, crc, wrong, 0)) << wrong;
  }
  std::string t = TempDir("crypt_wrong");
  WriteFile(t + "w.zip", Build({e}));
  // Without OnGetPassword: the missing event is reported, nothing is written.
  Outcome r = ExtractWith(t + "w.zip", t + "o1/", {"wrong", ""});
  EXPECT_EQ(r.extracted, 0);
  EXPECT_EQ(r.codes, (std::vector<int32_t>{E_EventNotAssigned}));
  EXPECT_FALSE(FileExists(t + "o1/a.txt"));
  // With it: every offered wrong password is reported as invalid, then the right one is taken.
  std::vector<std::string> offered = {"nope", "", "right"};
  size_t asked = 0;
  Outcome r2 = ExtractWith(t + "w.zip", t + "o2/", {}, [&](TUnZip& z) {
    z.PasswordAttempts = 3;
    z.OnGetPassword = [&](TUnBase&, const std::string&, std::string& pw,
        TSeedKeyRecord&, TSeedKeyRecord&, bool& again) {
      pw = asked < offered.size() ? offered[asked] : "";
      ++asked;
      again = true;
    };
  });
  EXPECT_EQ(asked, 3u);
  EXPECT_EQ(r2.extracted, 1);
  EXPECT_EQ(r2.codes, (std::vector<int32_t>{E_InvalidPassword, E_InvalidPassword}));
  EXPECT_EQ(ReadFile(t + "o2/a.txt"), Pseudo(5000, 2));
}

TEST(TraditionalUnZip, PasswordThatPassesTheCheckByteButIsWrongFailsTheCrc) {
  // Search a wrong password whose header check byte matches; the data then fails its CRC.
  Bytes plain = Pseudo(4000, 5);
  const uint32_t crc = Crc(plain);
  Bytes enc = Encipher(plain, "correct", static_cast<uint8_t>(crc >> 24), 9);
  std::string wrong;
  for (int i = 0; i < 100000 && wrong.empty(); ++i) {
    std::string cand = "w" + std::to_string(i);
    uint8_t buf[24];
    std::memcpy(buf + 12, enc.data(), 12);
    TTraditionalCipher k;
    if (CheckPasswordHeader(k, kDefaultDataKeys, buf, 0, crc, cand, 0)) wrong = cand;
  }
  ASSERT_FALSE(wrong.empty());
  Entry e = Sealed("p.bin", plain, enc);
  std::string t = TempDir("crypt_crc");
  WriteFile(t + "c.zip", Build({e}));
  Outcome bad = ExtractWith(t + "c.zip", t + "o1/", {wrong});
  EXPECT_EQ(bad.extracted, 0);
  EXPECT_TRUE(bad.codes.empty());
  EXPECT_EQ(bad.ends, (std::vector<std::pair<std::string, bool>>{{t + "o1/p.bin", false}}));
  Outcome noEnd = ExtractWith(t + "c.zip", t + "o3/", {wrong}, [](TUnZip& z) { z.OnEnd = nullptr; });
  EXPECT_EQ(noEnd.codes, (std::vector<int32_t>{E_CrcFail}));
  Outcome good = ExtractWith(t + "c.zip", t + "o2/", {wrong + "x", "correct"});
  EXPECT_EQ(good.extracted, 1);
  EXPECT_EQ(ReadFile(t + "o2/p.bin"), plain);
}

TEST(TraditionalUnZip, TruncatedEncipheredEntryIsADataError) {
  Bytes plain = Pseudo(3000, 8);
  Bytes enc = Encipher(plain, "pw", static_cast<uint8_t>(Crc(plain) >> 24), 1);
  for (size_t keep : {size_t{5}, size_t{12}, size_t{1000}}) {
    Entry e = Sealed("t.bin", plain, Bytes(enc.begin(), enc.begin() + static_cast<std::ptrdiff_t>(keep)));
    std::string t = TempDir("crypt_trunc");
    WriteFile(t + "c.zip", Build({e}));
    Outcome r = ExtractWith(t + "c.zip", t + "o/", {"pw"}, [](TUnZip& z) {
      z.OnGetPassword = [](TUnBase&, const std::string&, std::string&, TSeedKeyRecord&, TSeedKeyRecord&, bool& again) {
        again = false;
      };
    });
    EXPECT_EQ(r.extracted, 0) << keep;
    const bool reported = !r.codes.empty() || (r.ends.size() == 1 && !r.ends[0].second);
    EXPECT_TRUE(reported) << keep;
  }
}

TEST(TraditionalKeys, SeedKeysReadAndWriteTheWorkingKeysAndKeepTheSeed) {
  for (bool header : {false, true}) {
    SCOPED_TRACE(header ? "header set" : "data set");
    const TSeedKeyRecord seed = header ? kDefaultHeaderKeys : kDefaultDataKeys;
    TSeedKeys k(header);
    EXPECT_EQ(k.HeaderSet(), header);
    EXPECT_EQ(k.Keys(), seed);
    EXPECT_EQ(k.Seed(), seed);
    k.SetKey0(7u);
    k.SetKey1(8u);
    k.SetKey2(9u);
    EXPECT_EQ(k.Key0(), 7u);
    EXPECT_EQ(k.Key1(), 8u);
    EXPECT_EQ(k.Key2(), 9u);
    EXPECT_EQ(k.Seed(), seed);
  }
}

TEST(TraditionalUnZip, ReadingTheDataKeysGivesWhatTheLastCheckLeft) {
  // The working keys after a check: the seed, the password, then the 12 header bytes.
  const Bytes plain = Text("working keys");
  const Entry e = Sealed("k.txt", plain, Encipher(plain, "pw", static_cast<uint8_t>(Crc(plain) >> 24), 6));
  const std::string t = TempDir("crypt_working");
  WriteFile(t + "k.zip", Build({e}));
  auto leftBy = [&](const std::string& pw) {
    TZipCryptKeys k;
    k.InitKeys(kDefaultDataKeys, pw);
    Bytes head(e.rawPacked.begin(), e.rawPacked.begin() + 12);
    k.DecryptBuffer(head.data(), 12);
    return k.Keys();
  };
  ASSERT_NE(leftBy("pw"), leftBy("other"));
  struct Case {
    std::vector<std::string> passwords;
    std::string last;  // the password checked last
    int32_t extracted;
  } cases[] = {{{"pw"}, "pw", 1}, {{"other", "pw"}, "pw", 1}, {{"pw2", "other"}, "other", 0}};
  int i = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.last);
    TUnZip z;
    z.SetArchiveFile(t + "k.zip");
    z.SetExtractDir(t + "o" + std::to_string(i++));
    z.FileSpec = {"*.*"};
    z.Passwords = c.passwords;
    TSeedKeyRecord atEnd;
    z.OnEnd = [&](TUnBase&, const std::string&, bool) { atEnd = z.SeedDataKeys.Keys(); };
    EXPECT_EQ(z.Extract(), c.extracted);
    EXPECT_EQ(atEnd, leftBy(c.last));
    EXPECT_EQ(z.SeedDataKeys.Key0(), leftBy(c.last).Key0);
    EXPECT_EQ(z.SeedDataKeys.Key2(), leftBy(c.last).Key2);
    EXPECT_EQ(z.SeedDataKeys.Seed(), kDefaultDataKeys);
  }
}

TEST(TraditionalUnZip, WritingTheDataKeysLeavesThePasswordCheckAsItWas) {
  // Every password check starts from the seed again, whatever was written to the keys.
  Bytes plain = Text("seeded data");
  Entry e = Sealed("s.txt", plain, Encipher(plain, "pw", static_cast<uint8_t>(Crc(plain) >> 24), 4));
  std::string t = TempDir("crypt_seed");
  WriteFile(t + "s.zip", Build({e}));
  const std::vector<std::function<void(TSeedKeys&)>> writes = {
      [](TSeedKeys& k) { k.SetKey0(1u); }, [](TSeedKeys& k) { k.SetKey1(2u); },
      [](TSeedKeys& k) { k.SetKey2(3u); }};
  int i = 0;
  for (const auto& write : writes) {
    SCOPED_TRACE(i);
    const std::string out = t + "o" + std::to_string(i++) + "/";
    Outcome r = ExtractWith(t + "s.zip", out, {"pw"}, [&](TUnZip& z) {
      write(z.SeedDataKeys);
      EXPECT_NE(z.SeedDataKeys.Keys(), kDefaultDataKeys);
    });
    EXPECT_EQ(r.extracted, 1);
    EXPECT_TRUE(r.codes.empty());
    EXPECT_EQ(ReadFile(out + "s.txt"), plain);
  }
  // Entries enciphered from other keys than the seed do not open with the right password.
  TZipCryptKeys k;
  k.InitKeys(TSeedKeyRecord{1u, 2u, 3u}, "pw");
  Bytes enc = Pseudo(12, 4);
  enc[11] = static_cast<uint8_t>(Crc(plain) >> 24);
  enc.insert(enc.end(), plain.begin(), plain.end());
  k.EncryptBuffer(enc.data(), static_cast<int64_t>(enc.size()));
  e.rawPacked = enc;
  WriteFile(t + "other.zip", Build({e}));
  Outcome d = ExtractWith(t + "other.zip", t + "o_other/", {"pw"}, [](TUnZip& z) {
    z.SeedDataKeys.SetKey0(1u);
    z.SeedDataKeys.SetKey1(2u);
    z.SeedDataKeys.SetKey2(3u);
  });
  EXPECT_EQ(d.extracted, 0);
}

TEST(TraditionalUnZip, EncipheredHeaderRecordsDecipherWithTheHeaderKeys) {
  Entry e;
  e.name = "a.txt";
  e.data = Text("enciphered headers");
  Bytes z = Build({e});
  // Each record: everything after its signature (fixed part, then the name), from the header seed.
  auto encipher = [&](size_t start, size_t n) {
    TZipCryptKeys k(kDefaultHeaderKeys);
    k.EncryptBuffer(z.data() + start, static_cast<int64_t>(n));
  };
  z[1] = 'L';
  encipher(4, 26 + 5);
  const size_t cd = z.size() - 22 - (46 + 5);
  z[cd + 1] = 'N';
  encipher(cd + 4, 42 + 5);
  std::string t = TempDir("crypt_headers");
  WriteFile(t + "h.zip", z);
  Outcome r = ExtractWith(t + "h.zip", t + "o/", {});
  EXPECT_EQ(r.extracted, 1);
  EXPECT_TRUE(r.codes.empty());
  EXPECT_EQ(ReadFile(t + "o/a.txt"), Text("enciphered headers"));
  // The header keys start from their seed before each record, whatever was written to them.
  Outcome written = ExtractWith(t + "h.zip", t + "o2/", {}, [](TUnZip& u) { u.SeedHeaderKeys.SetKey1(1u); });
  EXPECT_EQ(written.extracted, 1);
  EXPECT_TRUE(written.codes.empty());
  // Records enciphered from other keys do not decipher: 25114, nothing listed.
  Bytes wrong = Build({e});
  auto encipherWrong = [&](size_t start, size_t n) {
    TZipCryptKeys k(TSeedKeyRecord{kDefaultHeaderKeys.Key0, kDefaultHeaderKeys.Key1 ^ 1, kDefaultHeaderKeys.Key2});
    k.EncryptBuffer(wrong.data() + start, static_cast<int64_t>(n));
  };
  wrong[1] = 'L';
  encipherWrong(4, 26 + 5);
  wrong[cd + 1] = 'N';
  encipherWrong(cd + 4, 42 + 5);
  WriteFile(t + "w.zip", wrong);
  Outcome other = ExtractWith(t + "w.zip", t + "o3/", {});
  EXPECT_EQ(other.extracted, 0);
  EXPECT_EQ(std::count(other.codes.begin(), other.codes.end(), E_BadFileHeader), 1);
}
