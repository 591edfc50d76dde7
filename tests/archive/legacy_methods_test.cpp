// Shrunk, reduced and imploded entries: test-side encoders, the decoders directly and through
// TUnZip, and damaged data (bad blocks, truncation, random bytes).
#include <gtest/gtest.h>

#include <random>

#include "archive/arcUnZip.h"
#include "archive/arcZipDecode.h"
#include "cryptrun.h"
#include "legacy_encoders.h"
#include "zipbuild.h"

using namespace arc;
using namespace ziptest;

namespace {

class MemIn : public ZipEntryInput {
public:
  explicit MemIn(const Bytes& b) : b_(b) {}
  size_t Read(uint8_t* buf, size_t n) override {
    n = std::min(n, b_.size() - pos_);
    std::copy(b_.begin() + static_cast<std::ptrdiff_t>(pos_), b_.begin() + static_cast<std::ptrdiff_t>(pos_ + n), buf);
    pos_ += n;
    return n;
  }
  uint64_t Remaining() const override { return b_.size() - pos_; }

private:
  const Bytes& b_;
  size_t pos_ = 0;
};

class MemOut : public ZipEntryOutput {
public:
  explicit MemOut(uint64_t limit) : limit_(limit) {}
  bool Write(const uint8_t* p, size_t n) override {
    if (n > limit_ - data.size()) {
      data.insert(data.end(), p, p + (limit_ - data.size()));
      return false;
    }
    data.insert(data.end(), p, p + n);
    return true;
  }
  bool Cancelled() const override { return cancel; }
  void Pump() override {}
  void Report(int32_t code) override { codes.push_back(code); }
  Bytes data;
  std::vector<int32_t> codes;
  bool cancel = false;

private:
  uint64_t limit_;
};

struct Decoded {
  ZipDecodeStatus status;
  Bytes data;
  std::vector<int32_t> codes;
};
Decoded Decode(uint16_t method, const Bytes& packed, uint64_t unpacked, uint16_t flags = 0) {
  MemIn in(packed);
  MemOut out(unpacked);
  ZipDecodeStatus s = DecodeZipEntry(method, in, out, unpacked, flags);
  return {s, out.data, out.codes};
}

Bytes SampleText(size_t words, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> vocab;
  const std::string letters = "abcdefgh\x90";
  for (int i = 0; i < 40; ++i) {
    std::string w;
    for (int k = 0, n = 1 + static_cast<int>(rng() % 6); k < n; ++k) w += letters[rng() % letters.size()];
    vocab.push_back(w);
  }
  std::string s;
  for (size_t i = 0; i < words; ++i) s += vocab[rng() % vocab.size()] + " ";
  Bytes b(s.begin(), s.end());
  b.insert(b.end(), 300, 0x90);
  for (int i = 0; i < 256; ++i) b.push_back(static_cast<uint8_t>(i));
  return b;
}

std::vector<Bytes> SampleFollowers() {
  std::vector<Bytes> f(256);
  f[' '] = Text("abcd");
  f['a'] = Text("bcdefgh\x90 ");
  f[0x90] = {0x90};
  f['b'] = Text("abcdefghijklmnopqrstuvwxyz012345");  // 32: five index bits
  f['c'] = Text("a");                                 // 1: one index bit
  return f;
}

}  // namespace

TEST(Unshrink, DecodesTheEncodersStreams) {
  Bytes text = SampleText(3000, 3);
  Bytes kw = Text("ab");
  kw.insert(kw.end(), 500, 'a');
  Bytes big = Pseudo(30000, 4);
  big.insert(big.end(), text.begin(), text.end());
  struct Case {
    const char* name;
    Bytes data;
    ShrinkOptions opt;
    bool wantClears, wantKwkwk;
  } cases[] = {
      {"plain", text, {0, false}, false, false},
      {"kwkwk", kw, {0, false}, false, true},
      {"clear300", text, {300, true}, true, false},
      {"full", big, {0, true}, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ShrinkStats st;
    Bytes packed = Shrink(c.data, c.opt, &st);
    if (c.wantClears) {
      EXPECT_GT(st.clears, 0);
    }
    if (c.wantKwkwk) {
      EXPECT_GT(st.kwkwk, 0);
    }
    Decoded d = Decode(1, packed, c.data.size());
    EXPECT_EQ(d.status, ZipDecodeStatus::Ok);
    EXPECT_TRUE(d.data == c.data);
    EXPECT_TRUE(d.codes.empty());
  }
}

TEST(Unshrink, DamagedStreamsReportBadBlockOrEndShort) {
  // No first code at all.
  Decoded d = Decode(1, Bytes{}, 10);
  EXPECT_EQ(d.status, ZipDecodeStatus::DataError);
  EXPECT_EQ(d.codes, (std::vector<int32_t>{E_BadBlock}));
  // Escape followed by 3.
  BitWriter w;
  w.Put('x', 9);
  w.Put(256, 9);
  w.Put(3, 9);
  d = Decode(1, w.Finish(), 10);
  EXPECT_EQ(d.codes, (std::vector<int32_t>{E_BadBlock}));
  EXPECT_EQ(d.data, Text("x"));  // what came before is written
  // The width grown beyond 13 bits.
  BitWriter g;
  g.Put('y', 9);
  unsigned width = 9;
  for (int i = 0; i < 5; ++i) {
    g.Put(256, width);
    g.Put(1, width);
    ++width;
  }
  d = Decode(1, g.Finish(), 10);
  EXPECT_EQ(d.codes, (std::vector<int32_t>{E_BadBlock}));
  // A chain through an entry freed by a partial clear: 257 = "ab" and 258 = "ba" are leaves and
  // both go; 258 then stands for the previous string (257, freed) plus its first byte.
  BitWriter f;
  f.Put('a', 9);
  f.Put('b', 9);    // defines 257 = "ab"
  f.Put(257, 9);    // "ab", defines 258 = "ba"
  f.Put(256, 9);
  f.Put(2, 9);      // partial clear
  f.Put(258, 9);
  d = Decode(1, f.Finish(), 100);
  EXPECT_EQ(d.status, ZipDecodeStatus::DataError);
  EXPECT_EQ(d.codes, (std::vector<int32_t>{E_BadBlock}));
  EXPECT_EQ(d.data, Text("abab"));
  // After a partial clear new entries take the freed codes from the lowest: 257 again.
  BitWriter r;
  r.Put('a', 9);
  r.Put('b', 9);    // 257 = "ab"
  r.Put('c', 9);    // 258 = "bc"
  r.Put(256, 9);
  r.Put(2, 9);      // frees 257 and 258
  r.Put('d', 9);    // 257 = "cd"
  r.Put(257, 9);    // "cd"
  d = Decode(1, r.Finish(), 6);
  EXPECT_EQ(d.status, ZipDecodeStatus::Ok);
  EXPECT_EQ(d.data, Text("abcdcd"));
  // A clear frees the entries that are leaves when it begins: an entry whose only child goes in
  // the same clear keeps its string (here 258 = "bc", whose child 257 = "bce" has a lower code).
  BitWriter p;
  for (uint32_t c : {uint32_t{'a'}, uint32_t{'b'}, uint32_t{'c'}, 258u, uint32_t{'d'}, 258u, 256u, 2u, uint32_t{'e'},
                     256u, 2u, 258u})
    p.Put(c, 9);
  d = Decode(1, p.Finish(), 11);
  EXPECT_EQ(d.status, ZipDecodeStatus::Ok);
  EXPECT_EQ(d.data, Text("abcbcdbcebc"));
  // A long run of clears (and of codes after them) is plain work, never a hang.
  BitWriter many;
  many.Put('m', 9);
  for (int i = 0; i < 200000; ++i) {
    many.Put(256, 9);
    many.Put(2, 9);
    if (i % 1000 == 0) many.Put('m', 9);
  }
  d = Decode(1, many.Finish(), 201);
  EXPECT_EQ(d.status, ZipDecodeStatus::Ok);
  EXPECT_EQ(d.data, Bytes(201, 'm'));
  // Truncated streams end short (the entry fails its check), whatever the cut.
  Bytes text = SampleText(500, 9);
  Bytes packed = Shrink(text, {100, true});
  for (size_t keep = 0; keep < packed.size(); keep += 37) {
    Decoded t = Decode(1, Bytes(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(keep)), text.size());
    EXPECT_LT(t.data.size(), text.size()) << keep;
  }
}

TEST(Unreduce, AllFactorsWithFollowerSets) {
  Bytes text = SampleText(700, 5);
  text.resize(4000);
  for (int m = 2; m <= 5; ++m) {
    SCOPED_TRACE(m);
    for (bool withSets : {false, true}) {
      std::vector<Bytes> fol = withSets ? SampleFollowers() : std::vector<Bytes>(256);
      Bytes packed = Reduce(text, m, fol);
      Decoded d = Decode(static_cast<uint16_t>(m), packed, text.size());
      EXPECT_EQ(d.status, ZipDecodeStatus::Ok);
      EXPECT_TRUE(d.data == text);
    }
  }
}

TEST(Unreduce, EscapesLongLengthsAndWrappingDistances) {
  std::vector<Bytes> none(256);
  auto raw = [&](std::initializer_list<uint32_t> bytes) {
    BitWriter w;
    for (int b = 255; b >= 0; --b) w.Put(0, 6);
    for (uint32_t b : bytes) w.Put(b, 8);
    return w.Finish();
  };
  // 144 then 0 is one 144.
  Decoded d = Decode(2, raw({'a', 144, 0, 'b'}), 3);
  EXPECT_EQ(d.data, (Bytes{'a', 144, 'b'}));
  // Factor 1 (mask 0x7F): V = 0x7F takes an extra length byte: length 127 + 10 + 3 = 140.
  d = Decode(2, raw({'z', 144, 0x7F, 10, 0}), 141);
  EXPECT_EQ(d.status, ZipDecodeStatus::Ok);
  EXPECT_EQ(d.data, Bytes(141, 'z'));
  // A distance before the start of the output reads the cleared buffer (zeros), wrapping.
  d = Decode(5, raw({'q', 144, 0xF1, 0xFF}), 5);  // method 5: distance (0xF1 >> 4) * 256 + 255 + 1
  EXPECT_EQ(d.status, ZipDecodeStatus::Ok);
  EXPECT_EQ(d.data, (Bytes{'q', 0, 0, 0, 0}));
  // A follower count above 32 is a bad block; the sets are never overrun.
  BitWriter w;
  w.Put(63, 6);
  for (int i = 0; i < 63; ++i) w.Put(1, 8);
  d = Decode(3, w.Finish(), 10);
  EXPECT_EQ(d.status, ZipDecodeStatus::DataError);
  EXPECT_EQ(d.codes, (std::vector<int32_t>{E_BadBlock}));
  // An index beyond a set of three (two index bits can say 3).
  BitWriter x;
  for (int b = 255; b >= 0; --b) {
    x.Put(b == 0 ? 3 : 0, 6);
    if (b == 0) {
      x.Put('a', 8);
      x.Put('b', 8);
      x.Put('c', 8);
    }
  }
  x.Put(0, 1);
  x.Put(3, 2);
  d = Decode(2, x.Finish(), 10);
  EXPECT_EQ(d.codes, (std::vector<int32_t>{E_BadBlock}));
}

TEST(Explode, FourFlagCombinationsAndZerosBeforeTheStart) {
  Bytes text = SampleText(1000, 7);
  text.resize(6000);
  for (bool big : {false, true}) {
    for (bool lt : {false, true}) {
      SCOPED_TRACE(std::to_string(big) + std::to_string(lt));
      uint16_t flags = 0;
      Bytes packed = Implode(text, big, lt, flags);
      Decoded d = Decode(6, packed, text.size(), flags);
      EXPECT_EQ(d.status, ZipDecodeStatus::Ok);
      EXPECT_TRUE(d.data == text);
      // The wrong dictionary or tree flags do not give the data back.
      Decoded wrong = Decode(6, packed, text.size(), static_cast<uint16_t>(flags ^ 2));
      EXPECT_FALSE(wrong.status == ZipDecodeStatus::Ok && wrong.data == text);
    }
  }
  uint16_t flags = 0;
  Bytes small = Bytes(text.begin(), text.begin() + 500);
  Bytes packed = Implode(small, true, true, flags, 10);
  Bytes want(10, 0);
  want.insert(want.end(), small.begin(), small.end());
  Decoded d = Decode(6, packed, want.size(), flags);
  EXPECT_EQ(d.status, ZipDecodeStatus::Ok);
  EXPECT_TRUE(d.data == want);
}

TEST(Explode, BadTreesAndTruncationFail) {
  Bytes text = SampleText(300, 8);
  uint16_t flags = 0;
  Bytes packed = Implode(text, false, true, flags);
  // Tree counts that do not add up to 256.
  Bytes bad = packed;
  bad[1] = static_cast<uint8_t>(bad[1] ^ 0x10);
  Decoded d = Decode(6, bad, text.size(), flags);
  EXPECT_EQ(d.status, ZipDecodeStatus::DataError);
  // Over-subscribed: 64 codes of one bit.
  Bytes over = {3, 0xF0, 0xF0, 0xF0, 0xF0, 3, 0xF0, 0xF0, 0xF0, 0xF0, 0, 0, 0};
  d = Decode(6, over, 10, 0);
  EXPECT_EQ(d.status, ZipDecodeStatus::DataError);
  for (size_t keep = 0; keep < packed.size(); keep += 23) {
    Decoded t = Decode(6, Bytes(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(keep)), text.size(), flags);
    EXPECT_NE(t.status, ZipDecodeStatus::Ok) << keep;
    EXPECT_LT(t.data.size(), text.size()) << keep;
  }
}

TEST(LegacyMethods, RandomBytesNeverHangOrOverrun) {
  std::mt19937 rng(11);
  for (int i = 0; i < 300; ++i) {
    Bytes junk = Pseudo(1 + rng() % 3000, static_cast<uint32_t>(i));
    const uint16_t method = static_cast<uint16_t>(1 + i % 6);
    Decoded d = Decode(method, junk, 20000, static_cast<uint16_t>(rng() & 6));
    EXPECT_LE(d.data.size(), 20000u);
  }
}

TEST(LegacyMethods, DamagedValidStreamsNeverHangOrOverrun) {
  Bytes text = SampleText(400, 13);
  text.resize(2500);
  std::vector<std::pair<uint16_t, std::pair<uint16_t, Bytes>>> streams;
  streams.push_back({1, {0, Shrink(text, {50, true})}});
  for (int m = 2; m <= 5; ++m) streams.push_back({static_cast<uint16_t>(m), {0, Reduce(text, m, SampleFollowers())}});
  for (int k = 0; k < 4; ++k) {
    uint16_t fl = 0;
    Bytes p = Implode(text, k & 1, k & 2, fl);
    streams.push_back({6, {fl, p}});
  }
  std::mt19937 rng(99);
  for (const auto& [method, fp] : streams) {
    for (int i = 0; i < 60; ++i) {
      Bytes b = fp.second;
      for (int flips = 1 + static_cast<int>(rng() % 4); flips > 0; --flips) b[rng() % b.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      Decoded d = Decode(method, b, text.size(), fp.first);
      EXPECT_LE(d.data.size(), text.size());
      if (d.status == ZipDecodeStatus::Ok) {
        EXPECT_EQ(d.data.size(), text.size()) << method;
      }
    }
  }
}

TEST(LegacyMethods, EntriesOfEveryOldMethodInOneArchive) {
  Bytes text = SampleText(800, 12);
  text.resize(3000);
  std::vector<Entry> es;
  auto add = [&](const std::string& name, uint16_t method, const Bytes& packed, uint16_t flags) {
    Entry e;
    e.name = name;
    e.data = text;
    e.method = method;
    e.flags = flags;
    e.rawPacked = packed;
    e.versionMadeBy = 10;
    es.push_back(e);
  };
  add("s1.txt", 1, Shrink(text, {200, true}), 0);
  add("s2.txt", 1, Shrink(text), 0);
  for (int m = 2; m <= 5; ++m) add("r" + std::to_string(m) + ".txt", static_cast<uint16_t>(m), Reduce(text, m, SampleFollowers()), 0);
  for (int k = 0; k < 4; ++k) {
    uint16_t fl = 0;
    Bytes p = Implode(text, k & 1, k & 2, fl);
    add("i" + std::to_string(k) + ".txt", 6, p, fl);
  }
  std::string t = TempDir("legacy_zip");
  WriteFile(t + "old.zip", Build(es));
  Outcome r = ExtractWith(t + "old.zip", t + "o/", {});
  EXPECT_EQ(r.extracted, static_cast<int32_t>(es.size()));
  EXPECT_TRUE(r.codes.empty());
  for (const auto& e : es) EXPECT_TRUE(ReadFile(t + "o/" + e.name) == text) << e.name;
  // A damaged shrunk entry: "Bad block", then the failed check; the others are untouched.
  es[0].rawPacked = Bytes{0xFF, 0xFF, 0xFF, 0xFF};
  WriteFile(t + "bad.zip", Build({es[0], es[1]}));
  Outcome b = ExtractWith(t + "bad.zip", t + "b/", {}, [](TUnZip& z) { z.OnEnd = nullptr; });
  EXPECT_EQ(b.extracted, 1);
  EXPECT_EQ(b.codes, (std::vector<int32_t>{E_BadBlock, E_CrcFail}));
  EXPECT_TRUE(ReadFile(t + "b/s2.txt") == text);
}
