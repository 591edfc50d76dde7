// The dataset's writes under a failing disk and beside a second process: a write that
// fails part way leaves the table, its memo file and its index as they were, and a record
// that another process changed is read from the file before it is written.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

#include "tests/xbase/child_process.h"
#include "tests/xbase/dbf_builder.h"
#include "tests/xbase/idx_helpers.h"
#include "platform/exception.h"
#include "platform/strutil.h"
#include "xbase/XBaseDB.h"
#include "xbase/xb_disk.h"
#include "xbase/xb_ndx.h"

using namespace xb;
using namespace xbt;

namespace {

struct Format {
  uint8_t version;
  const char* memoExt;
  const char* label;
};
const Format kFormats[] = {{0x83, ".dbt", "dBase III"}, {0x8B, ".dbt", "dBase IV"}, {0xF5, ".fpt", "FoxPro"}};

// T.DBF: NAME C10, QTY N5, NOTE M10, REM M10; the first record's REM takes two blocks.
void writeTable(const TempDir& t, const Format& f, bool indexed = false, bool secondDeleted = false) {
  std::vector<std::string> texts = {"first text", std::string(600, 'r'), "second", "third text"};
  MemoImage m = f.version == 0x83 ? Dbt3(texts) : f.version == 0x8B ? Dbt4(texts) : Fpt(texts);
  WriteFile(t.file(std::string("T") + f.memoExt), m.bytes);
  DbfBuilder b(f.version, {{"NAME", 'C', 10}, {"QTY", 'N', 5}, {"NOTE", 'M', 10}, {"REM", 'M', 10}});
  b.record(false, {"ONE", N(1, 5), N(m.blocks[0], 10), N(m.blocks[1], 10)});
  b.record(secondDeleted, {"TWO", N(2, 5), N(m.blocks[2], 10), ""});
  b.record(false, {"THREE", N(3, 5), N(m.blocks[3], 10), ""});
  b.write(t.file("T.DBF"));
  if (indexed) {
    XBO_dBHandler h(t.file("T.DBF"), true, false, "");
    XBobjNDXFile::CreateFile(h, t.file("T.ndx"), "NAME");
  }
}

void openTable(TXBaseDataSet& ds, const TempDir& t, bool exclusive = false, bool indexed = false) {
  ds.SetDatabaseName(t.path());
  ds.SetTableName("T.DBF");
  ds.SetExclusive(exclusive);
  if (indexed) {
    ds.SetIndexFiles({"T.ndx"});
    ds.SetIndexName("T");
  }
  ds.Open();
}

// Every file of the folder, byte for byte; of the table's header only what a reader
// goes by (a failed write may leave the date and the change stamp of its attempt).
std::map<std::string, std::string> files(const TempDir& t) {
  std::map<std::string, std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(t.path())) {
    std::string bytes = ReadFile(e.path().string());
    if (e.path().filename() == "T.DBF" && bytes.size() >= 32) {
      bytes.replace(1, 3, 3, '\0');
      bytes.replace(16, 4, 4, '\0');
    }
    out[e.path().filename().string()] = bytes;
  }
  return out;
}

// What a reader sees: each record with its memo texts, then the index order.
std::string readContents(const TempDir& t, const std::string& password) {
  XBO_dBHandler h(t.file("T.DBF"), false, true, password);
  std::string out;
  for (uint32_t r = 1; r <= h.RecordCount; ++r) {
    h.GoTo(static_cast<int32_t>(r));
    out += static_cast<char>(h.CurRecord[0]);
    for (int n = 1; n <= h.FieldCount; ++n)
      out += "|" + (h.FieldType(n) == 'M' ? h.MemoRead(n) : platform::Trim(h.FieldGet(n)));
    out += "\n";
  }
  if (std::filesystem::exists(t.file("T.ndx"))) {
    h.OpenIndex(t.file("T.ndx"));
    h.SelectTag("T", false);
    out += "order:";
    for (h.GoTo(-3); !h.Eof; h.GoTo(-1)) out += " " + std::to_string(h.RecNo);
  }
  return out;
}
std::string contents(const TempDir& t, const std::string& password = "") {
  std::string out;
  std::string error = errorOf([&] { out = readContents(t, password); });
  return error == "no error" ? out : error;
}

// A writing operation, started in browse on the first record; again() completes it on
// the same dataset after a failure (the failed call's state left as it was).
struct Operation {
  const char* name;
  bool exclusive;
  bool indexed;
  std::string password;   // the key the table is read with afterwards
  std::function<void(TXBaseDataSet&)> run;
  std::function<void(TXBaseDataSet&)> again;
};

void post(TXBaseDataSet& ds) { ds.Post(); }

std::vector<Operation> operations() {
  return {
      {"Post of a same-size text", false, false, "",
       [](TXBaseDataSet& ds) {
         ds.Edit();
         ds.FieldByName("NOTE").SetAsString("FIRST TEXT");
         ds.Post();
       },
       post},
      {"Post of a longer and a shorter text", false, false, "",
       [](TXBaseDataSet& ds) {
         ds.Edit();
         ds.FieldByName("NOTE").SetAsString(std::string(700, 'n'));
         ds.FieldByName("REM").SetAsString("short");
         ds.FieldByName("QTY").SetAsInteger(5);
         ds.Post();
       },
       post},
      {"Post of a blob stream and a cleared memo", false, false, "",
       [](TXBaseDataSet& ds) {
         ds.Next();
         ds.Edit();
         {
           THCBlobStream s(ds.FieldByName("REM"), THCBlobStream::bmWrite);
           s.Write("stream text", 11);
         }
         ds.FieldByName("NOTE").Clear();
         ds.Post();
       },
       post},
      {"Post of an appended record with a memo", false, false, "",
       [](TXBaseDataSet& ds) {
         ds.Append();
         ds.FieldByName("NAME").SetAsString("FOUR");
         ds.FieldByName("NOTE").SetAsString("appended text");
         ds.Post();
       },
       post},
      {"Append under an index", false, true, "",
       [](TXBaseDataSet& ds) {
         ds.Append();
         ds.FieldByName("NAME").SetAsString("AAA");
         ds.FieldByName("REM").SetAsString("indexed");
         ds.Post();
       },
       post},
      {"Post of a new key and a longer text under an index", false, true, "",
       [](TXBaseDataSet& ds) {
         ds.Edit();
         ds.FieldByName("NAME").SetAsString("ZULU");
         ds.FieldByName("NOTE").SetAsString(std::string(800, 'k'));
         ds.Post();
       },
       post},
      {"Delete", false, false, "",
       [](TXBaseDataSet& ds) {
         ds.Next();
         ds.Delete();
       },
       [](TXBaseDataSet& ds) { ds.Delete(); }},
      {"SetPassword", true, false, "secret", [](TXBaseDataSet& ds) { ds.SetPassword("secret"); },
       [](TXBaseDataSet& ds) { ds.SetPassword("secret"); }},
  };
}

bool isFlushError(const std::string& error) { return error.find("Error on Flush for file") != std::string::npos; }

// The n-th write of the table, of its memo file or of its index fails, for n = 1, 2, ...
// until the operation gets through: each failure leaves every file as it was, and the same
// dataset then completes the operation with the result an undisturbed run gives. With
// AutoFlush on, the n-th may be a flush after the operation's writes: that failure is
// reported with the operation standing whole (nothing taken back, the dataset in browse,
// nothing to do again), so the files hold what an undisturbed run leaves.
void runEveryWriteFailing(bool autoFlush) {
  for (const Format& f : kFormats) {
    for (const Operation& op : operations()) {
      std::string after;
      {
        TempDir t;
        writeTable(t, f, op.indexed);
        TXBaseDataSet ds;
        openTable(ds, t, op.exclusive, op.indexed);
        ds.SetAutoFlush(autoFlush);
        op.run(ds);
        ds.Close();
        after = contents(t, op.password);
      }
      std::vector<const char*> written = {".DBF", f.memoExt};
      if (op.indexed) written.push_back(".ndx");
      int flushes = 0;
      for (const char* which : written) {
        SCOPED_TRACE(std::string(f.label) + ", " + op.name + ", writes of " + which +
                     (autoFlush ? ", AutoFlush" : ""));
        bool through = false;
        int n = 1;
        for (; n <= 60 && !through; ++n) {
          TempDir t;
          writeTable(t, f, op.indexed);
          const auto before = files(t);
          TXBaseDataSet ds;
          openTable(ds, t, op.exclusive, op.indexed);
          ds.SetAutoFlush(autoFlush);
          xbFailWrites(n, which);
          std::string error = errorOf([&] { op.run(ds); });
          xbFailWrites(0);
          bool same = true;
          if (error == "no error") {
            through = true;
          } else if (isFlushError(error)) {
            ++flushes;
            same = ds.State() == TxbDataSetState::dsBrowse;
            EXPECT_TRUE(same) << "flush " << n << " failed: " << error;
          } else {
            same = files(t) == before;
            EXPECT_TRUE(same) << "write " << n << " failed: " << error;
            std::string again = errorOf([&] { op.again(ds); });
            EXPECT_EQ(again, "no error") << "after write " << n << " failed";
            same = same && again == "no error";
          }
          ds.Close();
          std::string now = contents(t, op.password);
          EXPECT_EQ(now, after) << "write " << n;
          if (!same || now != after) break;   // one report per case
        }
        EXPECT_TRUE(through) << "stopped after " << n - 1 << " writes";
      }
      if (autoFlush) {
        EXPECT_GT(flushes, 0) << f.label << ", " << op.name << ": no flush failed";
      }
    }
  }
}

}  // namespace

TEST(DataSetFaults, EveryWriteOfAnOperationFailingLeavesTheFilesAsTheyWere) { runEveryWriteFailing(false); }

TEST(DataSetFaults, EveryWriteOrFlushFailingWithAutoFlushLeavesNoHalfOperation) { runEveryWriteFailing(true); }

// Cancel drops what the edit wrote into memo fields: a same-size text, a longer one,
// and a blob stream whose Post failed.
TEST(DataSetFaults, CancelKeepsTheOldMemoText) {
  const std::vector<std::pair<const char*, std::function<void(TXBaseDataSet&)>>> edits = {
      {"same size", [](TXBaseDataSet& ds) { ds.FieldByName("NOTE").SetAsString("FIRST TEXT"); }},
      {"longer", [](TXBaseDataSet& ds) { ds.FieldByName("NOTE").SetAsString(std::string(900, 'L')); }},
      {"stream whose Post failed",
       [](TXBaseDataSet& ds) {
         {
           THCBlobStream s(ds.FieldByName("NOTE"), THCBlobStream::bmReadWrite);
           s.Seek(0, 2);
           s.Write(" and more", 9);
         }
         xbFailWrites(1, ".DBF");
         std::string error = errorOf([&] { ds.Post(); });
         xbFailWrites(0);
         EXPECT_NE(error, "no error");
         EXPECT_EQ(ds.State(), TxbDataSetState::dsEdit);
         EXPECT_EQ(ds.FieldByName("NOTE").AsString(), "first text and more");
       }},
  };
  for (const Format& f : kFormats) {
    for (const auto& [label, edit] : edits) {
      SCOPED_TRACE(std::string(f.label) + ", " + label);
      TempDir t;
      writeTable(t, f);
      const auto before = files(t);
      TXBaseDataSet ds;
      openTable(ds, t);
      ds.Edit();
      edit(ds);
      ds.Cancel();
      EXPECT_EQ(files(t), before);
      EXPECT_EQ(ds.FieldByName("NOTE").AsString(), "first text");
      ds.Close();
      TXBaseDataSet other;
      openTable(other, t);
      EXPECT_EQ(other.FieldByName("NOTE").AsString(), "first text");
      // The memo file is whole: the texts post and read back.
      other.Edit();
      other.FieldByName("NOTE").SetAsString("FIRST TEXT");
      other.Post();
      other.Close();
      EXPECT_NE(contents(t).find(" |ONE|1|FIRST TEXT|rrrr"), std::string::npos) << contents(t);
    }
  }
}

// The table handler's own Append and PutRecord with AutoFlush, under an index: the n-th
// write or flush of any file failing either takes the whole record write back (the failure
// came before the write stood: a record, header or key write, or the index's flush of its
// keys) or reports the flush failure with the record and its keys standing.
TEST(HandlerFaults, AutoFlushFailureNeverLeavesHalfAWrite) {
  const std::vector<std::pair<const char*, std::function<void(XBO_dBHandler&)>>> ops = {
      {"Append",
       [](XBO_dBHandler& h) {
         h.BlankRecord();
         h.StringPutByName("NAME", "AAA");
         h.Append();
       }},
      {"PutRecord of a new key",
       [](XBO_dBHandler& h) {
         h.GoTo(2);
         h.StringPutByName("NAME", "ZULU");
         h.PutRecord(2);
       }},
  };
  const Format& f = kFormats[0];
  for (const auto& entry : ops) {
    const char* name = entry.first;
    const auto& op = entry.second;
    // n = 0: an undisturbed run.
    std::string before, after;
    int flushes = 0;
    for (int n = 0;; ++n) {
      SCOPED_TRACE(std::string(name) + ", write or flush " + std::to_string(n) + " failing");
      ASSERT_LE(n, 40);
      TempDir t;
      writeTable(t, f, true);
      before = contents(t);
      std::string error;
      {
        XBO_dBHandler h(t.file("T.DBF"), true, true, "");
        h.OpenIndex(t.file("T.ndx"));
        h.AutoFlush = true;
        xbFailWrites(n);
        error = errorOf([&] { op(h); });
        xbFailWrites(0);
      }
      std::string now = contents(t);
      if (n == 0) {
        ASSERT_EQ(error, "no error");
        after = now;
        ASSERT_NE(after, before);
        continue;
      }
      if (error == "no error") {
        EXPECT_EQ(now, after);
        break;
      }
      if (now == before) continue;   // taken back whole
      EXPECT_TRUE(isFlushError(error)) << error;
      EXPECT_EQ(now, after) << error;
      ++flushes;
    }
    EXPECT_GT(flushes, 0) << name;
  }
}

// A memo file that refuses every write from its n-th on, the writes of the rollback as
// well: the old texts were never overwritten, so Cancel still finds them.
TEST(DataSetFaults, PostUnderAFullMemoDiskKeepsTheOldTexts) {
  for (const Format& f : kFormats) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE(std::string(f.label) + ", memo writes failing from " + std::to_string(n));
      ASSERT_LE(n, 40);
      TempDir t;
      writeTable(t, f);
      const std::string before = contents(t);
      TXBaseDataSet ds;
      openTable(ds, t);
      ds.Edit();
      ds.FieldByName("REM").SetAsString(std::string(900, 'R'));
      ds.FieldByName("NOTE").SetAsString(std::string(700, 'N'));
      xbFailWrites(n, f.memoExt, true);
      std::string error = errorOf([&] { ds.Post(); });
      xbFailWrites(0);
      if (error == "no error") break;
      ds.Cancel();
      ds.Close();
      EXPECT_EQ(contents(t), before);
    }
  }
}

// A memo file that refuses every write from its n-th on (a full disk): SetPassword fails,
// and the table reads whole and plain as before, with the old key.
TEST(DataSetFaults, SetPasswordUnderAFullMemoDiskLeavesThePlainTable) {
  for (const Format& f : kFormats) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE(std::string(f.label) + ", memo writes failing from " + std::to_string(n));
      ASSERT_LE(n, 40);
      TempDir t;
      writeTable(t, f);
      const std::string before = contents(t);
      TXBaseDataSet ds;
      openTable(ds, t, true);
      xbFailWrites(n, f.memoExt, true);
      std::string error = errorOf([&] { ds.SetPassword("secret"); });
      xbFailWrites(0);
      if (error != "no error") {
        EXPECT_EQ(ds.RecNo(), 1);
      }
      ds.Close();
      if (error == "no error") {
        EXPECT_GT(n, 2);
        EXPECT_EQ(contents(t, "secret"), before);
        break;
      }
      EXPECT_EQ(ds.EncryptionKey(), "");
      ds.Open();
      std::string walk;
      for (ds.First(); !ds.Eof(); ds.Next())
        walk += ds.FieldByName("NAME").AsString() + ":" + ds.FieldByName("NOTE").AsString() + ",";
      EXPECT_EQ(walk, "ONE:first text,TWO:second,THREE:third text,");
      ds.Close();
      EXPECT_EQ(contents(t), before);
    }
  }
}

namespace {
// Runs fn in a child process that first tells the parent it is ready (after ready() ran)
// and then waits for the parent's go before it finishes.
class Partner {
public:
  Partner(const std::function<void()>& ready, const std::function<void()>& finish) {
    if (pipe(up_) != 0 || pipe(down_) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      char c = 'R';
      int code = 0;
      try {
        ready();
      } catch (...) {
        c = 'E';
      }
      if (write(up_[1], &c, 1) != 1) _exit(3);
      if (c == 'E') _exit(2);
      if (read(down_[0], &c, 1) != 1) _exit(3);
      try {
        finish();
      } catch (...) {
        code = 1;
      }
      _exit(code);
    }
    char c = 0;
    ok_ = read(up_[0], &c, 1) == 1 && c == 'R';
  }
  bool ok() const { return ok_; }
  // Lets the child finish; its exit code.
  int release() {
    char c = 'G';
    if (write(down_[1], &c, 1) != 1) return 98;
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 99;
  }
  ~Partner() {
    if (pid_ > 0) release();
    for (int fd : {up_[0], up_[1], down_[0], down_[1]}) close(fd);
  }

private:
  int up_[2] = {-1, -1}, down_[2] = {-1, -1};
  pid_t pid_ = -1;
  bool ok_ = false;
};

// Another process sets a field of a record and posts.
int setInChild(const TempDir& t, int32_t recNo, const char* field, const std::string& value) {
  return inChild([&] {
    try {
      TXBaseDataSet other;
      other.SetUseDeleted(true);
      openTable(other, t);
      other.SetRecNo(recNo);
      other.Edit();
      other.FieldByName(field).SetAsString(value);
      other.Post();
      return 0;
    } catch (...) {
      return 1;
    }
  });
}
}  // namespace

// A writable shared dataset with index files and no current tag: another process posts
// between this dataset's moves, and Edit/Post, Delete and Recall keep what it wrote.
TEST(DataSetTwoProcesses, WritesStartFromTheRecordTheFileHolds) {
  struct Case {
    const char* label;
    bool secondDeleted;
    std::function<void(TXBaseDataSet&)> write;
    const char* expected;   // the second record afterwards
  };
  const std::vector<Case> cases = {
      {"Edit", false,
       [](TXBaseDataSet& ds) {
         ds.Edit();
         ds.FieldByName("NAME").SetAsString("CHANGED");
         ds.Post();
       },
       " |CHANGED|99|second|\n"},
      {"Delete", false, [](TXBaseDataSet& ds) { ds.Delete(); }, "*|TWO|99|second|\n"},
      {"Recall", true, [](TXBaseDataSet& ds) { ds.Recall(); }, " |TWO|99|second|\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir t;
    writeTable(t, kFormats[0], true, c.secondDeleted);
    TXBaseDataSet ds;
    ds.SetUseDeleted(true);
    openTable(ds, t, false, true);
    ds.SetIndexName("");   // physical order, with the table's read-ahead switched on
    ds.First();            // the table reads its records from here on
    ASSERT_EQ(ds.FieldByName("NAME").AsString(), "ONE");
    ASSERT_EQ(setInChild(t, 2, "QTY", "99"), 0);
    ds.Next();
    c.write(ds);
    ds.Close();
    EXPECT_NE(contents(t).find(c.expected), std::string::npos) << contents(t);
  }
}

// Refresh on a read-only dataset shows what another process wrote since the last move.
TEST(DataSetTwoProcesses, RefreshReadsTheFile) {
  TempDir t;
  writeTable(t, kFormats[1]);
  TXBaseDataSet ds;
  ds.SetReadOnly(true);
  openTable(ds, t);
  ASSERT_EQ(ds.FieldByName("NAME").AsString(), "ONE");
  ASSERT_EQ(setInChild(t, 1, "NAME", "UNO"), 0);
  ASSERT_EQ(setInChild(t, 1, "NOTE", "new note"), 0);
  ds.Refresh();
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), "UNO");
  EXPECT_EQ(ds.FieldByName("NOTE").AsString(), "new note");
}

// A record another process is editing can be neither deleted nor recalled; its post
// then goes through.
TEST(DataSetTwoProcesses, DeleteAndRecallOfALockedRecordAreRefused) {
  TempDir t;
  writeTable(t, kFormats[2]);
  TXBaseDataSet ds;
  openTable(ds, t);
  ds.Next();
  auto other = std::make_unique<TXBaseDataSet>();
  {
    Partner child(
        [&] {
          openTable(*other, t);
          other->SetRecNo(2);
          other->Edit();
          other->FieldByName("QTY").SetAsString("77");
        },
        [&] { other->Post(); });
    ASSERT_TRUE(child.ok());
    EXPECT_EQ(errorOf([&] { ds.Delete(); }), "EDatabaseError: Record is locked by another user");
    EXPECT_EQ(errorOf([&] { ds.Recall(); }), "EDatabaseError: Record is locked by another user");
    EXPECT_EQ(ds.State(), TxbDataSetState::dsBrowse);
    EXPECT_EQ(child.release(), 0);
  }
  EXPECT_NE(contents(t).find(" |TWO|77|second|\n"), std::string::npos) << contents(t);
  // The lock is gone with the other process's post.
  ds.Delete();
  EXPECT_NE(contents(t).find("*|TWO|77|second|\n"), std::string::npos) << contents(t);
}
