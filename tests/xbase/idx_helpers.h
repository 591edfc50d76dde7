#pragma once
// Helpers of the index tests: a small clinic-like table, walks in index order and
// the Perl xBase module as an independent index reader.
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/exception.h"
#include "tests/xbase/dbf_builder.h"
#include "xbase/xb_dbsy.h"

namespace xbt {

inline std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const platform::Exception& e) {
    return std::string(e.className()) + ": " + e.what();
  }
  return "no error";
}

struct PersonRow {
  std::string name;
  double amount;
  std::string date;   // yyyymmdd or ""
};

inline std::vector<PersonRow> samplePeople() {
  return {{"SMITH", 12.5, "19800101"}, {"JONES", -12.75, ""},        {"ADAMS", -12.5, "20240229"},
          {"smith", 0, "19991231"},    {"BROWN", 100, ""},            {"ZED", -5, "20000101"},
          {"AB", 3.25, "19800102"},    {"ABC", -0.5, "19700101"}};
}

// NAME C10, AMT N8.2, BD D8.
inline void writePeople(const std::string& path, const std::vector<PersonRow>& rows) {
  DbfBuilder b(0x03, {{"NAME", 'C', 10}, {"AMT", 'N', 8, 2}, {"BD", 'D', 8}});
  for (const PersonRow& r : rows) b.record(false, {r.name, N(r.amount, 8, 2), r.date});
  b.write(path);
}

// Record numbers in index order through the handler.
inline std::vector<int32_t> walk(xb::XBO_dBHandler& h) {
  std::vector<int32_t> out;
  for (h.GoTo(-3); !h.Eof; h.GoTo(-1)) out.push_back(h.RecNo);
  return out;
}
inline std::vector<int32_t> walkBack(xb::XBO_dBHandler& h) {
  std::vector<int32_t> out;
  for (h.GoTo(-4); !h.Bof; h.GoTo(-2)) out.push_back(h.RecNo);
  return out;
}

inline bool haveCommand(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

// Runs the Perl xBase module's index reader; lines "key|record". Empty optional-like
// flag ok=false when perl or the module is missing.
inline std::vector<std::string> perlReadIndex(const TempDir& t, const std::string& file, const std::string& tag,
                                              bool& ok, const std::string& type = "") {
  ok = haveCommand("perl -MXBase::Index -e 1");
  std::vector<std::string> lines;
  if (!ok) return lines;
  std::string script = t.file("readidx.pl");
  WriteFile(script,
            "use XBase::Index;\n"
            "my ($file, $tag, $type) = @ARGV; my %o; $o{tag} = $tag if length $tag; $o{type} = $type if length $type;\n"
            "my $i = XBase::Index->new($file, %o) or die XBase::Index->errstr;\n"
            "$i->prepare_select or die $i->errstr;\n"
            "while (my @a = $i->fetch) { print join('|', @a), \"\\n\" }\n");
  std::string out = t.file("perl.out");
  std::string cmd = "perl '" + script + "' '" + file + "' '" + tag + "' '" + type + "' > '" + out + "' 2>'" + out + ".err'";
  if (std::system(cmd.c_str()) != 0) {
    lines.push_back("perl failed: " + ReadFile(out + ".err"));
    return lines;
  }
  std::string all = ReadFile(out);
  size_t at = 0;
  while (at < all.size()) {
    size_t nl = all.find('\n', at);
    if (nl == std::string::npos) nl = all.size();
    lines.push_back(all.substr(at, nl - at));
    at = nl + 1;
  }
  return lines;
}

// A CDX tag header laid out by hand.
inline std::string cdxHeader(uint32_t root, int kl, uint8_t options, const std::string& expr, bool general = false) {
  std::string h(1024, '\0');
  std::memcpy(h.data(), LE32(root).data(), 4);
  h[12] = static_cast<char>(kl);
  h[14] = static_cast<char>(options);
  h[15] = general ? 2 : 1;
  if (general) std::memcpy(h.data() + 494, "GENERAL", 7);
  h[504] = static_cast<char>(expr.size() + 1);
  h[506] = 1;
  h[510] = static_cast<char>(expr.size() + 1);
  std::memcpy(h.data() + 512, expr.data(), expr.size());
  return h;
}

// A CDX root leaf laid out by hand: bytesPerEntry bytes per entry, 4 bits for each count.
inline std::string cdxLeaf(int kl, const std::vector<std::pair<std::string, uint32_t>>& keys, char fill,
                           int bytesPerEntry) {
  std::string n(512, '\0');
  n[0] = 3;
  n[2] = static_cast<char>(keys.size());
  std::memcpy(n.data() + 4, LE32(0xFFFFFFFF).data(), 4);
  std::memcpy(n.data() + 8, LE32(0xFFFFFFFF).data(), 4);
  const int b = 4, recBits = 8 * bytesPerEntry - 2 * b;
  std::memcpy(n.data() + 14, LE32(static_cast<uint32_t>((uint64_t{1} << recBits) - 1)).data(), 4);
  n[18] = n[19] = 15;
  n[20] = static_cast<char>(recBits);
  n[21] = n[22] = static_cast<char>(b);
  n[23] = static_cast<char>(bytesPerEntry);
  size_t end = 512, front = 24;
  std::string prev;
  for (auto& [key, rec] : keys) {
    std::string k = key;
    k.resize(static_cast<size_t>(kl), fill);
    size_t trail = 0;
    while (trail < k.size() && k[k.size() - 1 - trail] == fill) ++trail;
    size_t dup = 0;
    while (!prev.empty() && dup < k.size() - trail && prev[dup] == k[dup]) ++dup;
    size_t stored = k.size() - dup - trail;
    end -= stored;
    std::memcpy(n.data() + end, k.data() + dup, stored);
    uint64_t v = rec | (uint64_t{dup} << recBits) | (uint64_t{trail} << (recBits + b));
    for (int i = 0; i < bytesPerEntry; ++i) n[front + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
    front += static_cast<size_t>(bytesPerEntry);
    prev = k;
  }
  n[12] = static_cast<char>((end - front) & 0xFF);
  n[13] = static_cast<char>((end - front) >> 8);
  return n;
}

}  // namespace xbt
