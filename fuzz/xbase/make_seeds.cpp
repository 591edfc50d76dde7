// Seed maker of the index fuzz target (run by make_corpus.sh, not built by CMake): index
// files of every kind built by the engine over the target's own table, each written as
// the target reads its input (one byte naming the kind, then the file's bytes).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "fuzz/xbase/index_table.h"
#include "platform/exception.h"
#include "xbase/xb_cdx.h"
#include "xbase/xb_dbsy.h"
#include "xbase/xb_mdx.h"
#include "xbase/xb_ndx.h"
#include "xbase/xb_ntx.h"

namespace fs = std::filesystem;
using namespace xb;

namespace {
enum Kind { kNtx = 0, kNdx = 1, kCdx = 2, kMdx = 3 };

std::string readAll(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void writeAll(const fs::path& p, const std::string& bytes) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + p.string());
}

struct Maker {
  fs::path work, out;

  std::string table() const { return (work / "T.DBF").string(); }
  std::string index(Kind k) const { return (work / xbfuzz::IndexFileNames[k]).string(); }
  void freshTable() const { writeAll(table(), xbfuzz::IndexTableBytes()); }

  // Keeps the index file of the kind as seed `name`, after checking that the engine
  // opens it and walks every tag over all four records.
  void keep(Kind k, const std::string& name) const {
    {
      XBO_dBHandler h(table(), true, false, "");
      h.OpenIndexes(xbfuzz::IndexFileNames[k], "");
      if (h.TagCount() < 1) throw std::runtime_error(name + ": no tag");
      for (int t = 1; t <= h.TagCount(); ++t) {
        h.SelectTag(h.TagByNumber(t)->TagName(), false);
        int n = 0;
        for (h.GoTo(-3); !h.Eof; h.GoTo(-1)) ++n;
        if (n < 1 || n > 4) throw std::runtime_error(name + ": walk gave " + std::to_string(n));
      }
    }
    writeAll(out / name, std::string(1, static_cast<char>(k)) + readAll(index(k)));
    fs::remove(index(k));
  }

  template <class F>
  void ntx(const std::string& name, F make) const {
    freshTable();
    {
      XBO_dBHandler h(table(), true, false, "");
      make(h, index(kNtx));
    }
    keep(kNtx, name);
  }
};

// A key of 190 bytes, so that the four records need more than one page (NTX, CDX).
const std::string LongKey = "NAME+NAME+NAME+NAME+NAME+NAME+NAME+NAME+NAME+NAME+NAME+NAME+NAME+NAME+NAME+NAME+NAME+NAME+NAME";
// The longest key an NDX file holds: the four records fill its root block.
constexpr const char* FullNdxKey = "NAME+NAME+NAME+NAME+NAME+NAME+NAME+NAME+NAME+NAME";
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: make_seeds <scratch folder> <corpus folder>\n";
    return 2;
  }
  Maker m{argv[1], argv[2]};
  try {
    fs::create_directories(m.work);
    fs::create_directories(m.out);
    // NTX: single keys, an expression, unique, a FOR condition, descending, a deep tree.
    struct NtxSeed {
      const char* name;
      const char* key;
      bool unique;
      const char* forExpr;
      bool descending;
    };
    const NtxSeed ntxSeeds[] = {{"ntx-name", "NAME", false, "", false},
                                {"ntx-amount", "AMT", false, "", false},
                                {"ntx-date", "BD", false, "", false},
                                {"ntx-upper-dtos", "UPPER(NAME)+DTOS(BD)", false, "", false},
                                {"ntx-str", "STR(AMT,8,2)+LEFT(NAME,3)", false, "", false},
                                {"ntx-unique", "LEFT(NAME,1)", true, "", false},
                                {"ntx-for", "NAME", false, "AMT > 0", false},
                                {"ntx-descending", "DTOS(BD)", false, "", true},
                                {"ntx-deep", LongKey.c_str(), false, "", false}};
    for (const NtxSeed& s : ntxSeeds)
      m.ntx(s.name, [&](XBO_dBHandler& h, const std::string& f) {
        XBobjNTXFile::CreateFile(h, f, s.key, s.unique, s.forExpr, s.descending);
      });

    // NDX: one key each; the engine writes no FOR conditions or descending keys there.
    struct NdxSeed {
      const char* name;
      const char* key;
      bool unique;
    };
    const NdxSeed ndxSeeds[] = {{"ndx-name", "NAME", false},        {"ndx-amount", "AMT", false},
                                {"ndx-date", "BD", false},          {"ndx-upper-dtos", "UPPER(NAME)+DTOS(BD)", false},
                                {"ndx-unique", "LEFT(NAME,1)", true}, {"ndx-full", FullNdxKey, false}};
    for (const NdxSeed& s : ndxSeeds) {
      m.freshTable();
      {
        XBO_dBHandler h(m.table(), true, false, "");
        XBobjNDXFile::CreateFile(h, m.index(kNdx), s.key, s.unique);
      }
      m.keep(kNdx, s.name);
    }

    // CDX: files of several tags (plain keys; FOR, descending and unique tags), and
    // files of one tag each for the other layouts.
    m.freshTable();
    {
      XBO_dBHandler h(m.table(), true, false, "");
      auto f = XBobjCDXFile::CreateFile(h, m.index(kCdx));
      f->TagCreate("NAME", "NAME");
      f->TagCreate("AMT", "AMT");
      f->TagCreate("BD", "BD");
    }
    m.keep(kCdx, "cdx-tags");
    m.freshTable();
    {
      XBO_dBHandler h(m.table(), true, false, "");
      auto f = XBobjCDXFile::CreateFile(h, m.index(kCdx));
      f->TagCreate("POS", "NAME", false, "AMT > 0");
      f->TagCreate("DNAME", "UPPER(NAME)", false, "", true);
      f->TagCreate("UNI", "LEFT(NAME,1)", true);
    }
    m.keep(kCdx, "cdx-conditions");
    struct CdxSeed {
      const char* name;
      const char* key;
      bool general;
    };
    const CdxSeed cdxSeeds[] = {{"cdx-general", "NAME", true}, {"cdx-dtos", "DTOS(BD)+NAME", false},
                                {"cdx-deep", LongKey.c_str(), false}};
    for (const CdxSeed& s : cdxSeeds) {
      m.freshTable();
      {
        XBO_dBHandler h(m.table(), true, false, "");
        auto f = XBobjCDXFile::CreateFile(h, m.index(kCdx));
        f->TagCreate("K", s.key, false, "", false, s.general);
      }
      m.keep(kCdx, s.name);
    }

    // MDX: files of several tags (numeric and date keys are stored in their own forms),
    // and one of expression keys.
    m.freshTable();
    {
      XBO_dBHandler h(m.table(), true, false, "");
      auto f = XBobjMDXFile::CreateFile(h, m.index(kMdx));
      f->TagCreate("NAME", "NAME");
      f->TagCreate("AMT", "AMT");
      f->TagCreate("BD", "BD");
    }
    m.keep(kMdx, "mdx-tags");
    m.freshTable();
    {
      XBO_dBHandler h(m.table(), true, false, "");
      auto f = XBobjMDXFile::CreateFile(h, m.index(kMdx));
      f->TagCreate("POS", "NAME", false, "AMT > 0");
      f->TagCreate("DNAME", "NAME", false, "", true);
      f->TagCreate("UNI", "LEFT(NAME,1)", true);
    }
    m.keep(kMdx, "mdx-conditions");
    m.freshTable();
    {
      XBO_dBHandler h(m.table(), true, false, "");
      auto f = XBobjMDXFile::CreateFile(h, m.index(kMdx));
      f->TagCreate("UPD", "UPPER(NAME)+DTOS(BD)");
      f->TagCreate("LONG", FullNdxKey);
    }
    m.keep(kMdx, "mdx-expressions");
  } catch (const platform::Exception& e) {
    std::cerr << "make_seeds: " << e.className() << ": " << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "make_seeds: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
