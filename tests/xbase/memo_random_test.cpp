// Seeded random edits and appends of memo texts through the dataset, for the memo files
// of all three formats, now and then a new password (every text written again, every
// old dBase IV run released): after every operation a fresh reader finds every record's
// texts as an in-memory model holds them, and no two live texts share a block.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>

#include "tests/xbase/dbf_builder.h"
#include "tests/xbase/idx_helpers.h"
#include "xbase/XBaseDB.h"
#include "xbase/xb_dbf.h"
#include "xbase/xb_memo.h"

using namespace xb;
using namespace xbt;

namespace {

struct Format {
  uint8_t version;
  TxbMemoKind kind;
  const char* memoFile;
  uint32_t blockSize;
  uint32_t overhead;   // bytes a stored text takes besides itself
};
const Format kFormats[] = {{0x83, TxbMemoKind::DBase3, "R.dbt", 512, 2},
                           {0x8B, TxbMemoKind::DBase4, "R.dbt", 512, 8},
                           {0xF5, TxbMemoKind::FoxPro, "R.fpt", 64, 8}};
constexpr int kFields = 2;   // NOTE and REM
const char* const kNames[kFields] = {"NOTE", "REM"};

using Texts = std::array<std::string, kFields>;

class MemoRun {
public:
  MemoRun(const Format& f, uint32_t seed) : f_(f), rng_(seed) {
    xbCreateMemoFile(t_.file(f.memoFile), f.kind, "R", f.blockSize);
    DbfBuilder(f.version, {{"NAME", 'C', 8}, {"NOTE", 'M', 10}, {"REM", 'M', 10}}).write(t_.file("R.DBF"));
    ds_.SetDatabaseName(t_.path());
    ds_.SetTableName("R.DBF");
    ds_.Open();
  }

  // One edit, append or new password; false (with a failure reported) when a reader disagrees.
  bool step(int op) {
    if (!model_.empty() && rng_() % 40 == 0) {
      // SetPassword needs the table alone: closed and opened again exclusive, then shared.
      std::string next = key_.empty() ? "k" + std::to_string(op) : "";
      ds_.Close();
      ds_.SetExclusive(true);
      ds_.Open();
      ds_.SetPassword(next);
      ds_.Close();
      key_ = next;
      ds_.SetExclusive(false);
      ds_.SetEncryptionKey(key_);
      ds_.Open();
      return check(op);
    }
    const bool append = model_.empty() || rng_() % 4 == 0;
    size_t rec = append ? model_.size() : rng_() % model_.size();
    Texts next = append ? Texts{} : model_[rec];
    if (append) {
      ds_.Append();
      ds_.FieldByName("NAME").SetAsString("R" + std::to_string(rec + 1));
    } else {
      ds_.SetRecNo(static_cast<int32_t>(rec + 1));
      ds_.Edit();
    }
    // One field or both; a text of a length that sits at a block boundary, spans several
    // blocks, or is longer than any released run.
    const int first = static_cast<int>(rng_() % kFields);
    const int count = 1 + static_cast<int>(rng_() % kFields);
    for (int k = 0; k < count; ++k) {
      const int fld = (first + k) % kFields;
      next[static_cast<size_t>(fld)] = text(op, fld, length());
      ds_.FieldByName(kNames[fld]).SetAsString(next[static_cast<size_t>(fld)]);
    }
    const uint32_t blocksBefore = fileBlocks();
    ds_.Post();
    if (append)
      model_.push_back(next);
    else
      model_[rec] = next;
    for (int k = 0; k < count; ++k) {
      uint32_t b = blockOf(rec, (first + k) % kFields);
      if (b != 0 && b < blocksBefore) ++reused_;
    }
    return check(op);
  }

  int reused() const { return reused_; }
  size_t records() const { return model_.size(); }

private:
  uint32_t length() {
    const uint32_t b = f_.blockSize, o = f_.overhead;
    switch (rng_() % 10) {
      case 0: return 0;
      case 1: return 1;
      case 2: return b - o - 1;
      case 3: return b - o;
      case 4: return b - o + 1;
      case 5: return b;
      case 6: return b * (2 + static_cast<uint32_t>(rng_() % 4)) + static_cast<uint32_t>(rng_() % b);
      case 7: return std::min<uint32_t>(longest_ + b + 1, 9000);   // longer than every free run
      default: return static_cast<uint32_t>(rng_() % (3 * b));
    }
  }

  std::string text(int op, int fld, uint32_t n) {
    longest_ = std::max(longest_, n);
    std::string s = "#" + std::to_string(op) + "." + std::to_string(fld) + ":";
    s.resize(std::min<size_t>(s.size(), n));
    while (s.size() < n) s += static_cast<char>('a' + rng_() % 26);
    return s;
  }

  uint32_t fileBlocks() { return static_cast<uint32_t>(ReadFile(t_.file(f_.memoFile)).size() / f_.blockSize); }

  uint32_t blockOf(size_t rec, int fld) {
    XBO_dBaseFld r(t_.file("R.DBF"), false, true, key_);
    r.GoTo(static_cast<int32_t>(rec + 1));
    return r.MemoBlock(2 + fld);
  }

  // A fresh reader against the model, and the blocks of the live texts apart.
  bool check(int op) {
    XBO_dBaseFld r(t_.file("R.DBF"), false, true, key_);
    // An enciphered dBase III text keeps its length in 4 bytes in front.
    const uint32_t overhead = f_.overhead + (f_.version == 0x83 && !key_.empty() ? 4 : 0);
    EXPECT_EQ(r.RecordCount, model_.size()) << "after operation " << op;
    std::vector<std::pair<uint32_t, uint32_t>> runs;   // first block, past the last block
    for (size_t i = 0; i < model_.size(); ++i) {
      r.GoTo(static_cast<int32_t>(i + 1));
      for (int k = 0; k < kFields; ++k) {
        std::string got;
        std::string error = errorOf([&] { got = r.MemoRead(2 + k); });
        const std::string& want = model_[i][static_cast<size_t>(k)];
        if (error != "no error" || got != want) {
          ADD_FAILURE() << "after operation " << op << " record " << i + 1 << " " << kNames[k] << ": "
                        << (error != "no error" ? error : "text of " + std::to_string(got.size()) + " bytes \"" +
                                                              got.substr(0, 12) + "\" for " +
                                                              std::to_string(want.size()) + " bytes \"" +
                                                              want.substr(0, 12) + "\"");
          return false;
        }
        uint32_t b = r.MemoBlock(2 + k);
        if (b == 0) continue;
        uint64_t bytes = static_cast<uint64_t>(want.size()) + overhead;
        runs.emplace_back(b, b + static_cast<uint32_t>((bytes + f_.blockSize - 1) / f_.blockSize));
      }
    }
    std::sort(runs.begin(), runs.end());
    for (size_t i = 1; i < runs.size(); ++i) {
      if (runs[i].first < runs[i - 1].second) {
        ADD_FAILURE() << "after operation " << op << " blocks " << runs[i - 1].first << ".." << runs[i - 1].second - 1
                      << " and " << runs[i].first << ".." << runs[i].second - 1 << " overlap";
        return false;
      }
    }
    return true;
  }

  const Format& f_;
  std::mt19937 rng_;
  TempDir t_;
  TXBaseDataSet ds_;
  std::vector<Texts> model_;
  std::string key_;   // the table's password, empty while plain
  uint32_t longest_ = 0;
  int reused_ = 0;
};

}  // namespace

TEST(MemoRandom, EditsAndAppendsNeverLoseOrShareATextInAnyFormat) {
  constexpr int kOps = 400;
  for (const Format& f : kFormats) {
    int reused = 0;
    for (uint32_t seed : {1u, 2u, 3u, 0x5EEDu}) {
      SCOPED_TRACE("version 0x" + std::string(1, "0123456789ABCDEF"[f.version >> 4]) +
                   std::string(1, "0123456789ABCDEF"[f.version & 15]) + ", seed " + std::to_string(seed));
      MemoRun run(f, seed);
      bool ok = true;
      for (int op = 1; op <= kOps && ok; ++op) {
        std::string error = errorOf([&] { ok = run.step(op); });
        if (error != "no error") {
          ADD_FAILURE() << "operation " << op << ": " << error;
          ok = false;
        }
      }
      reused += run.reused();
      if (!ok) break;
    }
    // Blocks already in the file were handed out again many times (released dBase IV
    // runs, rewrites in place for the others).
    EXPECT_GT(reused, 200) << "version " << int(f.version);
  }
}
