#pragma once
// Helpers of the index tests: a small clinic-like table, walks in index order and
// the Perl xBase module as an independent index reader.
#include <cstdio>
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

}  // namespace xbt
