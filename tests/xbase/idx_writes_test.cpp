// Record writes whose index writes fail or are cut short: with the n-th index page
// write failing (n = 1, 2, ... until the write goes through) the record write is
// reported failed and taken back, so that the table and every tag agree; a process
// killed at a random moment during a series of appends leaves every record found by
// its key once the next writer has opened the indexes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "platform/strutil.h"
#include "tests/xbase/child_process.h"
#include "tests/xbase/idx_helpers.h"
#include "xbase/xb_cdx.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_disk.h"
#include "xbase/xb_mdx.h"
#include "xbase/xb_ndx.h"
#include "xbase/xb_ntx.h"

using namespace xb;
using namespace xbt;

namespace {

struct Kind {
  const char* label;
  const char* files;       // the list OpenIndexes takes
  const char* failing;     // the file-name end whose writes fail
  std::function<void(XBO_dBHandler&, const TempDir&)> create;
  std::vector<const char*> tags;   // over NAME (first) and AMT
};

std::vector<Kind> kinds() {
  return {
      {"NTX, two files", "NAME.NTX;AMT.NTX", ".NTX",
       [](XBO_dBHandler& h, const TempDir& t) {
         XBobjNTXFile::CreateFile(h, t.file("NAME.NTX"), "NAME");
         XBobjNTXFile::CreateFile(h, t.file("AMT.NTX"), "AMT");
       },
       {"NAME", "AMT"}},
      {"NDX", "NAME.NDX", ".NDX",
       [](XBO_dBHandler& h, const TempDir& t) { XBobjNDXFile::CreateFile(h, t.file("NAME.NDX"), "NAME"); },
       {"NAME"}},
      {"MDX", "P.MDX", ".MDX",
       [](XBO_dBHandler& h, const TempDir& t) {
         auto m = XBobjMDXFile::CreateFile(h, t.file("P.MDX"));
         m->TagCreate("NAME", "NAME");
         m->TagCreate("AMT", "AMT");
       },
       {"NAME", "AMT"}},
      {"CDX", "P.CDX", ".CDX",
       [](XBO_dBHandler& h, const TempDir& t) {
         auto c = XBobjCDXFile::CreateFile(h, t.file("P.CDX"));
         c->TagCreate("NAME", "NAME");
         c->TagCreate("AMT", "AMT");
       },
       {"NAME", "AMT"}},
  };
}

std::string indexBytes(const TempDir& t, const Kind& k) {
  std::string all;
  for (const std::string& f : platform::Split(k.files, ';')) all += ReadFile(t.file(f));
  return all;
}

// The table's records (everything after the header).
std::string recordBytes(const TempDir& t, size_t headerLength) { return ReadFile(t.file("P.DBF")).substr(headerLength); }

// Every tag walks every record once, in the order of its key, and every record is
// found by its name; "" when so, else what differs.
std::string tablesAgree(XBO_dBHandler& h, const Kind& k, const std::vector<PersonRow>& rows) {
  if (h.RecordCount != rows.size())
    return "count " + std::to_string(h.RecordCount) + ", model " + std::to_string(rows.size());
  for (const char* tag : k.tags) {
    h.SelectTag(tag, false);
    std::vector<int32_t> got = walk(h);
    std::vector<int32_t> sorted = got;
    std::sort(sorted.begin(), sorted.end());
    std::vector<int32_t> all(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) all[i] = static_cast<int32_t>(i + 1);
    if (sorted != all) return std::string(tag) + ": the walk holds " + std::to_string(got.size()) + " entries";
    for (size_t i = 1; i < got.size(); ++i) {
      const PersonRow& a = rows[static_cast<size_t>(got[i - 1] - 1)];
      const PersonRow& b = rows[static_cast<size_t>(got[i] - 1)];
      if (std::string(tag) == "NAME" ? a.name > b.name : a.amount > b.amount)
        return std::string(tag) + ": out of order at " + std::to_string(i);
    }
  }
  h.SelectTag("NAME", false);
  for (const PersonRow& r : rows) {
    if (!h.FindKey(r.name)) return r.name + " not found";
    if (platform::TrimRight(h.FieldGetByName("NAME")) != r.name) return r.name + " found as " + h.FieldGetByName("NAME");
  }
  return "";
}

// The same through a handler of its own (an open beside the writer's, when shared).
std::string tablesAgree(const TempDir& t, const Kind& k, const std::vector<PersonRow>& rows) {
  XBO_dBHandler h(t.file("P.DBF"), false, true, "");
  if (h.OpenIndexes(k.files, "") != 0) return "the indexes do not open";
  return tablesAgree(h, k, rows);
}

// A table of count people with names in no particular order, and the kind's indexes over it.
std::vector<PersonRow> indexedTable(const TempDir& t, const Kind& k, int count) {
  std::vector<PersonRow> rows;
  for (int i = 0; i < count; ++i)
    rows.push_back({"R" + std::to_string((i * 37) % count + 100), double(i % 13), ""});
  writePeople(t.file("P.DBF"), rows);
  XBO_dBHandler h(t.file("P.DBF"), true, false, "");
  k.create(h, t);
  return rows;
}

// The w-th write of a series: appends with keys that fill the same leaves (so that they
// split), then, from the edits-th on, edits.
struct SeriesWrite {
  bool edit;
  size_t index;   // of the record in the rows
  PersonRow next;
};
SeriesWrite seriesWrite(int w, int edits, size_t records) {
  const bool edit = w >= edits;
  return {edit, edit ? static_cast<size_t>((w * 53) % records) : records,
          {"R" + std::to_string(edit ? 400 + w : 150 + 3 * w) + "A", double(w % 7), ""}};
}

// Puts the write's values into the handler's record and writes it; the error raised.
std::string runWrite(XBO_dBHandler& h, const SeriesWrite& s, int64_t failAt, const char* failing, bool sticky) {
  const int32_t rec = static_cast<int32_t>(s.index + 1);
  if (s.edit)
    h.GoTo(rec);
  else
    h.BlankRecord();
  h.FieldPutByName("NAME", s.next.name);
  h.NumberPutByName("AMT", s.next.amount);
  xbFailWrites(failAt, failing, sticky);
  std::string error = errorOf([&] {
    if (s.edit)
      h.PutRecord(rec);
    else
      h.Append();
  });
  xbFailWrites(0);
  return error;
}

}  // namespace

// Each record write of a series, with the n-th index page write failing for n = 1, 2, ...
// until it goes through: a failed write is reported, the table's count, records and
// index files are byte for byte as before, and the table and its tags agree.
TEST(IndexWrites, ARecordWriteWhoseIndexWriteFailsIsTakenBack) {
  for (const Kind& k : kinds())
    for (bool shared : {false, true}) {
      SCOPED_TRACE(std::string(k.label) + (shared ? ", shared" : ", exclusive"));
      TempDir t;
      std::vector<PersonRow> rows = indexedTable(t, k, 150);
      XBO_dBHandler h(t.file("P.DBF"), true, shared, "");
      ASSERT_EQ(h.OpenIndexes(k.files, "NAME"), 0);
      const size_t hl = h.HeaderLength;
      int failures = 0;
      for (int w = 0; w < 24; ++w) {
        const SeriesWrite write = seriesWrite(w, 16, rows.size());
        for (int n = 1;; ++n) {
          ASSERT_LT(n, 200) << "write " << w << " never went through";
          const std::string tableBefore = recordBytes(t, hl), indexBefore = indexBytes(t, k);
          const std::string error = runWrite(h, write, n, k.failing, false);
          if (error == "no error") break;
          ++failures;
          SCOPED_TRACE("write " + std::to_string(w) + ", index write " + std::to_string(n) + " failing");
          EXPECT_NE(error.find("Error writing to"), std::string::npos) << error;
          EXPECT_EQ(h.RecordCount, rows.size());
          EXPECT_EQ(recordBytes(t, hl), tableBefore);
          EXPECT_EQ(indexBytes(t, k), indexBefore);
          EXPECT_EQ(tablesAgree(h, k, rows), "");
          h.SelectTag("NAME", false);
          EXPECT_FALSE(h.FindKey(write.next.name)) << "the record not written is found by its key";
          if (shared) {
            EXPECT_EQ(tablesAgree(t, k, rows), "");
          }
        }
        if (write.edit)
          rows[write.index] = write.next;
        else
          rows.push_back(write.next);
        ASSERT_EQ(tablesAgree(h, k, rows), "") << "after write " << w;
        if (shared) {
          ASSERT_EQ(tablesAgree(t, k, rows), "") << "after write " << w;
        }
      }
      EXPECT_GT(failures, 24);
      // The handler that saw the failures goes on writing and finding.
      h.SelectTag("NAME", false);
      for (const PersonRow& row : rows) EXPECT_TRUE(h.FindKey(row.name)) << row.name;
    }
}

namespace {

// The handler's index files as the engine's index class.
std::vector<XBobjIndexFile*> indexFiles(XBO_dBHandler& h) {
  std::vector<XBobjIndexFile*> out;
  for (int i = 1; i <= XBO_dBHandler::MaxIndexFiles; ++i)
    if (auto* f = dynamic_cast<XBobjIndexFile*>(h.IndexFile(i))) out.push_back(f);
  return out;
}

bool refused(const std::string& error) {
  return error.find("EXBaseError: Index file ") == 0 && error.find(" is corrupted") != std::string::npos;
}

// What an open of the table with its indexes beside the writer's raises ("no error").
std::string openError(const TempDir& t, const Kind& k) {
  return errorOf([&] {
    XBO_dBHandler r(t.file("P.DBF"), false, true, "");
    r.OpenIndexes(k.files, "");
  });
}

// What a rewrite of record 1 as it is raises (it takes every index file's lock).
std::string rewriteError(XBO_dBHandler& h) {
  return errorOf([&] {
    h.GoTo(1);
    h.PutRecord(1);
  });
}

}  // namespace

// A record write whose index writes fail from the n-th on, the writes of its take-back
// too (a disk that takes no write any more): the table is as before, and an index file
// that could not be written back is never served: the error names it as corrupted, and
// so do every open (the file is cut short, as not even its mark can be written) and the
// handler's next operation, until Reindex builds it again; then the table and its tags
// agree. A take-back that could write everything back gives the write's own error and
// files that agree.
TEST(IndexWrites, ATakeBackWhoseOwnWritesFailLeavesTheFileRefusedUntilAReindex) {
  for (const Kind& k : kinds())
    for (bool shared : {false, true}) {
      SCOPED_TRACE(std::string(k.label) + (shared ? ", shared" : ", exclusive"));
      TempDir t;
      std::vector<PersonRow> rows = indexedTable(t, k, 150);
      XBO_dBHandler h(t.file("P.DBF"), true, shared, "");
      ASSERT_EQ(h.OpenIndexes(k.files, "NAME"), 0);
      const size_t hl = h.HeaderLength;
      int damaged = 0;
      for (int w = 0; w < 8; ++w) {
        const SeriesWrite write = seriesWrite(w, 4, rows.size());
        for (int n = 2;; ++n) {
          ASSERT_LT(n, 200) << "write " << w << " never went through";
          SCOPED_TRACE("write " + std::to_string(w) + ", index writes failing from the " + std::to_string(n) + "th");
          const std::string tableBefore = recordBytes(t, hl);
          const std::string error = runWrite(h, write, n, k.failing, true);
          if (error == "no error") break;
          EXPECT_EQ(h.RecordCount, rows.size());
          EXPECT_EQ(recordBytes(t, hl), tableBefore);
          if (!refused(error)) {
            EXPECT_NE(error.find("Error writing to"), std::string::npos) << error;
            ASSERT_EQ(tablesAgree(h, k, rows), "");
            continue;
          }
          ++damaged;
          if (shared) {
            EXPECT_TRUE(refused(openError(t, k))) << openError(t, k);
          }
          EXPECT_TRUE(refused(rewriteError(h))) << rewriteError(h);
          EXPECT_EQ(recordBytes(t, hl), tableBefore);
          for (XBobjIndexFile* f : indexFiles(h))
            if (f->Damaged()) f->Reindex();
          ASSERT_EQ(tablesAgree(h, k, rows), "");
          if (shared) {
            ASSERT_EQ(tablesAgree(t, k, rows), "");
          }
        }
        if (write.edit)
          rows[write.index] = write.next;
        else
          rows.push_back(write.next);
        ASSERT_EQ(tablesAgree(h, k, rows), "") << "after write " << w;
      }
      EXPECT_GT(damaged, 3);
    }
}

// Reindex on a disk that takes no write from the n-th on, for n = 1, 2, ... until it goes
// through: the file is then either the old one, which every open reads with the table's
// keys, or one refused as corrupted by every open and by the handler, never one that
// opens with other keys; the next Reindex mends it.
TEST(IndexWrites, AReindexOnAFullDiskLeavesTheOldFileOrOneRefused) {
  for (const Kind& k : kinds())
    for (bool shared : {false, true}) {
      SCOPED_TRACE(std::string(k.label) + (shared ? ", shared" : ", exclusive"));
      TempDir t;
      const std::vector<PersonRow> rows = indexedTable(t, k, 300);
      auto held = std::make_unique<XBO_dBHandler>(t.file("P.DBF"), true, shared, "");
      XBO_dBHandler& h = *held;
      ASSERT_EQ(h.OpenIndexes(k.files, "NAME"), 0);
      int kept = 0, refusals = 0;
      for (XBobjIndexFile* f : indexFiles(h))
        for (int n = 1;; ++n) {
          ASSERT_LT(n, 400) << f->FileName() << " was never built again";
          SCOPED_TRACE(f->FileName() + ", writes failing from the " + std::to_string(n) + "th");
          xbFailWrites(n, k.failing, true);
          const std::string error = errorOf([&] { f->Reindex(); });
          xbFailWrites(0);
          if (error == "no error") break;
          EXPECT_NE(error.find("Error writing to"), std::string::npos) << error;
          // (An exclusive open keeps every other open off the files.)
          const std::string opened = shared ? openError(t, k) : f->Damaged() ? "refused" : "no error";
          if (opened == "no error") {
            ++kept;
            EXPECT_FALSE(f->Damaged());
            ASSERT_EQ(tablesAgree(h, k, rows), "");
            if (shared) {
              ASSERT_EQ(tablesAgree(t, k, rows), "");
            }
          } else {
            ++refusals;
            if (shared) {
              EXPECT_TRUE(refused(opened)) << opened;
            }
            EXPECT_TRUE(f->Damaged());
            EXPECT_TRUE(refused(rewriteError(h))) << rewriteError(h);
          }
        }
      EXPECT_GT(kept, 0);
      EXPECT_GT(refusals, 3);
      ASSERT_EQ(tablesAgree(h, k, rows), "");
      held.reset();
      ASSERT_EQ(tablesAgree(t, k, rows), "");
    }
}

namespace {

// A name of ten random capitals.
std::string randomName(std::mt19937_64& rng) {
  std::string s(10, 'A');
  for (char& c : s) c = static_cast<char>('A' + rng() % 26);
  return s;
}

// Every tag holds every record once and NAME finds each record by its name; "" when so.
std::string namesAgree(XBO_dBHandler& h, const std::vector<std::string>& names) {
  for (int i = 1; i <= h.TagCount(); ++i) {
    auto* tag = dynamic_cast<XBobjIndexTag*>(h.TagByNumber(i));
    std::set<int32_t> recs;
    for (const TxbIndexEntry& e : tag->Entries()) recs.insert(e.recNo);
    if (recs.size() != names.size()) return tag->TagName() + " holds " + std::to_string(recs.size()) + " records";
  }
  h.SelectTag("NAME", false);
  for (size_t r = 0; r < names.size(); ++r)
    if (!h.FindKey(names[r]) || h.RecNo != static_cast<int32_t>(r + 1)) return names[r] + " not found";
  return "";
}

}  // namespace

// Edits under a file-size limit below the size of the index files but above the table's
// (setrlimit in a child): the writes of an edit past the limit fail, and so do the
// take-back's writes there, while those below it go through. The take-back writes every
// piece back (the ones before a failed one too), so every failed edit leaves the files
// whole, and the table and its tags agree after each edit, in the child and in a reader.
TEST(IndexWrites, EditsUnderAFileSizeLimitAreTakenBackWhole) {
  struct Small {
    const char* label;
    const char* files;
    std::function<void(XBO_dBHandler&, const TempDir&)> create;
  };
  const std::vector<Small> smalls = {
      {"NTX", "NAME.NTX",
       [](XBO_dBHandler& h, const TempDir& t) { XBobjNTXFile::CreateFile(h, t.file("NAME.NTX"), "NAME"); }},
      {"NDX", "NAME.NDX",
       [](XBO_dBHandler& h, const TempDir& t) { XBobjNDXFile::CreateFile(h, t.file("NAME.NDX"), "NAME"); }},
      {"MDX", "P.MDX",
       [](XBO_dBHandler& h, const TempDir& t) {
         auto m = XBobjMDXFile::CreateFile(h, t.file("P.MDX"));
         m->TagCreate("NAME", "NAME");
         m->TagCreate("DNAME", "NAME", false, "", true);
       }},
      {"CDX", "P.CDX",
       [](XBO_dBHandler& h, const TempDir& t) {
         auto c = XBobjCDXFile::CreateFile(h, t.file("P.CDX"));
         c->TagCreate("NAME", "NAME");
         c->TagCreate("DNAME", "NAME", false, "", true);
       }},
  };
  const uint64_t seed = std::random_device{}();
  std::printf("seed %" PRIu64 "\n", seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (const Small& k : smalls)
    for (bool shared : {false, true}) {
      SCOPED_TRACE(std::string(k.label) + (shared ? ", shared" : ", exclusive"));
      TempDir t;
      std::vector<std::string> names;
      DbfBuilder b(0x03, {{"NAME", 'C', 10}});
      for (int i = 0; i < 400; ++i) {
        names.push_back(randomName(rng));
        b.record(false, {names.back()});
      }
      b.write(t.file("P.DBF"));
      {
        XBO_dBHandler h(t.file("P.DBF"), true, false, "");
        k.create(h, t);
      }
      const int64_t table = static_cast<int64_t>(ReadFile(t.file("P.DBF")).size());
      const int64_t index = static_cast<int64_t>(ReadFile(t.file(platform::Split(k.files, ';')[0])).size());
      ASSERT_GT(index, table + 1024);
      const int64_t limit = index - 300;   // inside the last page
      const int code = inChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl;
        if (::getrlimit(RLIMIT_FSIZE, &rl) != 0) return 10;
        rl.rlim_cur = static_cast<rlim_t>(limit);
        if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) return 11;
        try {
          XBO_dBHandler h(t.file("P.DBF"), true, shared, "");
          h.OpenIndexes(k.files, "NAME");
          int failures = 0;
          for (int e = 0; e < 300; ++e) {
            const size_t r = rng() % names.size();
            const std::string next = randomName(rng);
            h.GoTo(static_cast<int32_t>(r + 1));
            h.FieldPutByName("NAME", next);
            const std::string error = errorOf([&] { h.PutRecord(static_cast<int32_t>(r + 1)); });
            if (error == "no error")
              names[r] = next;
            else if (error.find("Error writing to") == std::string::npos)
              return 3;   // another error: a take-back that did not go through
            else
              ++failures;
            if (!namesAgree(h, names).empty()) return 4;
          }
          return failures > 0 ? 0 : 5;
        } catch (...) {
          return 6;
        }
      });
      EXPECT_EQ(code, 0) << "3: a take-back failed, 4: the tags and the table differ after an edit, 5: no edit failed";
      // What the child left: its successful edits are not known here, the table tells them.
      XBO_dBHandler r(t.file("P.DBF"), false, true, "");
      ASSERT_EQ(r.OpenIndexes(k.files, "NAME"), 0);
      std::vector<std::string> now;
      for (int32_t i = 1; i <= static_cast<int32_t>(r.RecordCount); ++i) {
        r.SelectTag("", true);
        r.GoTo(i);
        now.push_back(r.FieldGetByName("NAME"));
      }
      EXPECT_EQ(namesAgree(r, now), "");
    }
}

// The table's last record changed behind the index (its stored key is not the one the
// engine computes now, as in a file written under another collation): neither a writer's
// open nor an append gives it a second entry, since the tag has one for that record.
TEST(IndexWrites, TheLastRecordKeptUnderAnotherKeyIsNotAddedAgain) {
  for (const Kind& k : kinds()) {
    SCOPED_TRACE(k.label);
    TempDir t;
    std::vector<PersonRow> rows = samplePeople();
    writePeople(t.file("P.DBF"), rows);
    {
      XBO_dBHandler h(t.file("P.DBF"), true, false, "");
      k.create(h, t);
    }
    size_t hl = 0, rl = 0;
    {
      XBO_dBHandler h(t.file("P.DBF"), false, true, "");
      hl = h.HeaderLength;
      rl = h.RecordLength;
    }
    std::string bytes = ReadFile(t.file("P.DBF"));
    bytes.replace(hl + (rows.size() - 1) * rl + 1, 10, "OTHERKEY  ");
    WriteFile(t.file("P.DBF"), bytes);
    auto entriesOf = [&](int32_t rec) {
      XBO_dBHandler r(t.file("P.DBF"), false, true, "");
      EXPECT_EQ(r.OpenIndexes(k.files, ""), 0);
      std::map<std::string, long> counts;   // by tag name
      for (int i = 1; i <= r.TagCount(); ++i) {
        auto* tag = dynamic_cast<XBobjIndexTag*>(r.TagByNumber(i));
        const std::vector<TxbIndexEntry> all = tag->Entries();
        counts[tag->TagName()] =
            std::count_if(all.begin(), all.end(), [&](const TxbIndexEntry& e) { return e.recNo == rec; });
      }
      std::string text;
      for (const auto& [name, n] : counts) text += name + " " + std::to_string(n) + ";";
      return text;
    };
    const std::string once = k.tags.size() == 2 ? "AMT 1;NAME 1;" : "NAME 1;";
    const int32_t last = static_cast<int32_t>(rows.size());
    for (bool shared : {false, true}) {
      XBO_dBHandler w(t.file("P.DBF"), true, shared, "");
      ASSERT_EQ(w.OpenIndexes(k.files, ""), 0);
    }
    EXPECT_EQ(entriesOf(last), once) << "after the writers' opens";
    {
      XBO_dBHandler w(t.file("P.DBF"), true, true, "");
      ASSERT_EQ(w.OpenIndexes(k.files, ""), 0);
      w.BlankRecord();
      w.FieldPutByName("NAME", "NEW");
      w.Append();
    }
    EXPECT_EQ(entriesOf(last), once) << "after an append";
    EXPECT_EQ(entriesOf(last + 1), once);
  }
}

namespace {

// Record names follow the record numbers, so that the table itself tells what its
// records' keys are.
std::string killName(uint32_t rec) { return "K" + std::to_string(rec); }

}  // namespace

// A child appends records without end under a shared or an exclusive open and is killed
// (SIGKILL from here) at a random moment, 50 times per kind and open mode. Under shared
// opens a second writer, open all along, then appends one record; under exclusive ones
// the next writer opens the indexes. After that every record of the table is in every
// tag and found by its key. Entries are counted per record number: every record has one;
// a kill that cuts a split short may leave the keys of the split page twice (allowed, see
// the README), never none.
TEST(IndexWrites, EveryRecordIsFoundAfterAKillDuringAppends) {
  const uint64_t seed = std::random_device{}();
  std::printf("seed %" PRIu64 "\n", seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  constexpr int Kills = 50;
  for (const Kind& k : kinds())
    for (bool shared : {false, true}) {
      SCOPED_TRACE(std::string(k.label) + (shared ? ", shared" : ", exclusive"));
      TempDir t;
      std::vector<PersonRow> rows;
      for (uint32_t i = 1; i <= 20; ++i) rows.push_back({killName(i), double(i % 97), ""});
      writePeople(t.file("P.DBF"), rows);
      {
        XBO_dBHandler h(t.file("P.DBF"), true, false, "");
        k.create(h, t);
      }
      // The second writer, open before the child and beside it.
      std::unique_ptr<XBO_dBHandler> second;
      if (shared) {
        second = std::make_unique<XBO_dBHandler>(t.file("P.DBF"), true, true, "");
        ASSERT_EQ(second->OpenIndexes(k.files, ""), 0);
      }
      int lacking = 0;   // kills after which the last record had no keys before the next write
      int doubled = 0;   // records with their keys more than once at the end
      uint32_t before = 1;
      for (int kill = 0; kill < Kills; ++kill) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
          ::close(ready[0]);
          try {
            XBO_dBHandler h(t.file("P.DBF"), true, shared, "");
            h.OpenIndexes(k.files, "");
            for (int i = 0; i < 100000; ++i) {
              const uint32_t rec = std::max(h.RecordCount, h.CountFromSize()) + 1;
              h.BlankRecord();
              h.FieldPutByName("NAME", killName(rec));
              h.NumberPutByName("AMT", rec % 97);
              h.Append();
              if (i == 0 && ::write(ready[1], "r", 1) != 1) ::_exit(3);
            }
          } catch (...) {
            ::_exit(2);
          }
          ::_exit(0);
        }
        ::close(ready[1]);
        char c;
        const bool started = ::read(ready[0], &c, 1) == 1;
        ::close(ready[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(started) << "the child did not append (exit " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1)
                             << ")";
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended before the kill";
        {
          // How the kill left the last record (before anyone writes).
          XBO_dBHandler r(t.file("P.DBF"), false, true, "");
          ASSERT_EQ(r.OpenIndexes(k.files, "NAME"), 0);
          r.GoTo(static_cast<int32_t>(r.RecordCount));
          if (!r.FindKey(platform::TrimRight(r.FieldGetByName("NAME")))) ++lacking;
        }
        if (shared) {
          // The second writer appends after the killed writer's last record.
          const uint32_t rec = std::max(second->RecordCount, second->CountFromSize()) + 1;
          second->BlankRecord();
          second->FieldPutByName("NAME", killName(rec));
          second->NumberPutByName("AMT", rec % 97);
          ASSERT_EQ(errorOf([&] { second->Append(); }), "no error") << "after kill " << kill;
        } else {
          XBO_dBHandler w(t.file("P.DBF"), true, false, "");
          ASSERT_EQ(w.OpenIndexes(k.files, ""), 0);
        }
        XBO_dBHandler h(t.file("P.DBF"), false, true, "");
        ASSERT_EQ(h.OpenIndexes(k.files, ""), 0);
        const uint32_t n = h.RecordCount;
        ASSERT_GE(n, rows.size());
        rows.clear();
        for (uint32_t i = 1; i <= n; ++i) rows.push_back({killName(i), double(i % 97), ""});
        doubled = 0;
        for (int i = 1; i <= h.TagCount(); ++i) {
          auto* tag = dynamic_cast<XBobjIndexTag*>(h.TagByNumber(i));
          ASSERT_NE(tag, nullptr);
          std::map<int32_t, std::set<std::string>> keys;   // the keys of each record number
          std::map<int32_t, int> count;
          for (const TxbIndexEntry& e : tag->Entries()) {
            ASSERT_GE(e.recNo, 1) << tag->TagName();
            ASSERT_LE(e.recNo, static_cast<int32_t>(n)) << tag->TagName();
            ++count[e.recNo];
            keys[e.recNo].insert(e.key);
          }
          for (uint32_t r = 1; r <= n; ++r) {
            const int32_t rec = static_cast<int32_t>(r);
            ASSERT_GE(count[rec], 1) << tag->TagName() << ": record " << r << " has no entry after kill " << kill;
            // Keys doubled by a kill are the record's own key again, never another one.
            ASSERT_EQ(keys[rec].size(), 1u) << tag->TagName() << ": record " << r << " after kill " << kill;
            if (count[rec] > 1) ++doubled;
          }
        }
        // The records of this run by their keys, and a sample of the older ones (the walks
        // above hold them all).
        h.SelectTag("NAME", false);
        for (uint32_t i = 1; i <= n; i += i + 1 >= before ? 1 : 1 + static_cast<uint32_t>(rng() % 50)) {
          ASSERT_TRUE(h.FindKey(killName(i))) << killName(i) << " after kill " << kill;
          ASSERT_EQ(h.RecNo, static_cast<int32_t>(i));
        }
        before = n + 1;
      }
      std::printf("%s%s: %zu records; %d of %d kills left the last record without its keys until the next write; "
                  "%d entries of a record doubled\n",
                  k.label, shared ? " shared" : " exclusive", rows.size(), lacking, Kills, doubled);
    }
}
