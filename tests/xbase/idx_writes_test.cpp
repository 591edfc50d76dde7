// Record writes whose index writes fail or are cut short: with the n-th index page
// write failing (n = 1, 2, ... until the write goes through) the record write is
// reported failed and taken back, so that the table and every tag agree; a process
// killed at a random moment during a series of appends leaves every record found by
// its key once the next writer has opened the indexes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <random>
#include <set>
#include <thread>

#include "platform/strutil.h"
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

}  // namespace

// Each record write of a series, with the n-th index page write failing for n = 1, 2, ...
// until it goes through: a failed write is reported, the table's count, records and
// index files are byte for byte as before, and the table and its tags agree.
TEST(IndexWrites, ARecordWriteWhoseIndexWriteFailsIsTakenBack) {
  for (const Kind& k : kinds())
    for (bool shared : {false, true}) {
      SCOPED_TRACE(std::string(k.label) + (shared ? ", shared" : ", exclusive"));
      TempDir t;
      std::vector<PersonRow> rows;
      for (int i = 0; i < 150; ++i) rows.push_back({"R" + std::to_string((i * 37) % 150 + 100), double(i % 13), ""});
      writePeople(t.file("P.DBF"), rows);
      {
        XBO_dBHandler h(t.file("P.DBF"), true, false, "");
        k.create(h, t);
      }
      XBO_dBHandler h(t.file("P.DBF"), true, shared, "");
      ASSERT_EQ(h.OpenIndexes(k.files, "NAME"), 0);
      const size_t hl = h.HeaderLength;
      int failures = 0;
      // Appends with keys that fill the same leaves (so that they split), then edits.
      for (int w = 0; w < 24; ++w) {
        const bool edit = w >= 16;
        const size_t r = edit ? static_cast<size_t>((w * 53) % rows.size()) : rows.size();
        PersonRow next = {"R" + std::to_string(edit ? 400 + w : 150 + 3 * w), double(w % 7), ""};
        for (int n = 1;; ++n) {
          ASSERT_LT(n, 200) << "write " << w << " never went through";
          const std::string tableBefore = recordBytes(t, hl), indexBefore = indexBytes(t, k);
          if (edit)
            h.GoTo(static_cast<int32_t>(r + 1));
          else
            h.BlankRecord();
          h.FieldPutByName("NAME", next.name);
          h.NumberPutByName("AMT", next.amount);
          xbFailWrites(n, k.failing);
          std::string error = errorOf([&] {
            if (edit)
              h.PutRecord(static_cast<int32_t>(r + 1));
            else
              h.Append();
          });
          xbFailWrites(0);
          if (error == "no error") break;
          ++failures;
          SCOPED_TRACE("write " + std::to_string(w) + ", index write " + std::to_string(n) + " failing");
          EXPECT_NE(error.find("Error writing to"), std::string::npos) << error;
          EXPECT_EQ(h.RecordCount, rows.size());
          EXPECT_EQ(recordBytes(t, hl), tableBefore);
          EXPECT_EQ(indexBytes(t, k), indexBefore);
          EXPECT_EQ(tablesAgree(h, k, rows), "");
          if (shared) {
            EXPECT_EQ(tablesAgree(t, k, rows), "");
          }
        }
        if (edit)
          rows[r] = next;
        else
          rows.push_back(next);
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
