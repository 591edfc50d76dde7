// Disk files and the byte-range lock protocols, checked against a second open in
// this process, a second process and the kernel's lock list.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "child_process.h"
#include "dbf_builder.h"
#include "xbase/xb_cnst.h"
#include "xbase/SysXBase.h"
#include "xbase/xb_disk.h"

using namespace xb;
using namespace xbt;

namespace {
// The OFD locks the kernel records for the file's open descriptions in this
// process, as "start end" pairs, read from /proc/self/fdinfo of every descriptor
// open on the file. /proc/locks cannot be used: a read() of it returns at most a
// page and the next read resumes at an entry index, so while other processes take
// and drop locks one entry can be listed twice or not at all. Each fdinfo file is
// written whole under the inode's lock list lock.
std::vector<std::pair<uint64_t, uint64_t>> kernelLocks(const std::string& path) {
  struct stat st;
  std::vector<std::pair<uint64_t, uint64_t>> out;
  if (::stat(path.c_str(), &st) != 0) return out;
  char id[64];
  std::snprintf(id, sizeof id, " %02x:%02x:%llu ", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  std::string inode = id;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    struct stat fs;
    if (::stat(e.path().c_str(), &fs) != 0 || fs.st_dev != st.st_dev || fs.st_ino != st.st_ino) continue;
    std::ifstream f("/proc/self/fdinfo/" + e.path().filename().string());
    std::string line;
    while (std::getline(f, line)) {
      if (line.rfind("lock:", 0) != 0 || line.find("OFDLCK") == std::string::npos) continue;
      size_t p = line.find(inode);
      if (p == std::string::npos) continue;
      std::istringstream rest(line.substr(p + inode.size()));
      std::string s, en;
      rest >> s >> en;
      out.push_back({std::stoull(s), en == "EOF" ? UINT64_MAX : std::stoull(en)});
    }
  }
  return out;
}

}  // namespace

TEST(DiskFile, OpenOfNameMissingAtConstructionRaises) {
  TempDir t;
  XBO_DiskFile f(t.file("late.bin"), true, true);
  WriteFile(t.file("late.bin"), "x");
  try {
    f.Open();
    FAIL();
  } catch (const EXBaseError& e) {
    EXPECT_EQ(std::string(e.what()), "File " + t.file("late.bin") + " could not be found");
  }
}

TEST(DiskFile, NestedLocksConflictWithSecondOpenInSameProcess) {
  TempDir t;
  WriteFile(t.file("a.bin"), "data");
  XBO_DiskFile a(t.file("a.bin"), true, true), b(t.file("a.bin"), true, true);
  a.Open();
  b.Open();
  ASSERT_TRUE(a.LockRange(1000, 1));
  EXPECT_TRUE(a.LockRange(1000, 1));
  EXPECT_FALSE(a.LockRange(2000, 1));
  EXPECT_FALSE(b.LockRange(1000, 1));
  auto locks = kernelLocks(t.file("a.bin"));
  ASSERT_EQ(locks.size(), 1u);
  EXPECT_EQ(locks[0].first, 1000u);
  EXPECT_EQ(locks[0].second, 1000u);
  // Closing another object of the same file must not drop the lock.
  XBO_DiskFile c(t.file("a.bin"), false, true);
  c.Open();
  c.Close();
  EXPECT_FALSE(b.LockRange(1000, 1));
  a.Unlock();
  EXPECT_FALSE(b.LockRange(1000, 1));
  a.Unlock();
  EXPECT_TRUE(b.LockRange(1000, 1));
  b.Unlock();
  EXPECT_TRUE(kernelLocks(t.file("a.bin")).empty());
}

TEST(DiskFile, LockConflictsWithAnotherProcessBothWays) {
  TempDir t;
  WriteFile(t.file("p.bin"), "data");
  XBO_DiskFile a(t.file("p.bin"), true, true);
  a.Open();
  ASSERT_TRUE(a.LockRange(0x7FFFFFFE, 1));
  int rc = inChild([&] {
    int fd = ::open(t.file("p.bin").c_str(), O_RDWR);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0x7FFFFFFE;
    fl.l_len = 1;
    return fcntl(fd, F_SETLK, &fl) == 0 ? 0 : 1;   // a classic POSIX locker
  });
  EXPECT_EQ(rc, 1);
  a.Unlock();
  // The reverse: a child holds the range while we try.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  pid_t pid = fork();
  if (pid == 0) {
    int fd = ::open(t.file("p.bin").c_str(), O_RDWR);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 500;
    fl.l_len = 10;
    char c = fcntl(fd, F_SETLK, &fl) == 0 ? 'y' : 'n';
    (void)!write(fds[1], &c, 1);
    (void)!read(go[0], &c, 1);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(fds[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  EXPECT_FALSE(a.LockRange(505, 1));
  (void)!write(go[1], "x", 1);
  waitpid(pid, nullptr, 0);
  EXPECT_TRUE(a.LockRange(505, 1));
  a.Unlock();
  for (int fd : {fds[0], fds[1], go[0], go[1]}) close(fd);
}

TEST(DiskFile, ReadOnlySharedFileTakesReadLock) {
  TempDir t;
  WriteFile(t.file("r.bin"), "data");
  XBO_DiskFile r(t.file("r.bin"), false, true), w(t.file("r.bin"), true, true);
  r.Open();
  w.Open();
  EXPECT_TRUE(r.LockRange(77, 1));
  EXPECT_FALSE(w.LockRange(77, 1));
  r.Unlock();
}

TEST(DiskFile, ExclusiveLocksWithoutOsAndTruncates) {
  TempDir t;
  WriteFile(t.file("x.bin"), "0123456789");
  XBO_DiskFile x(t.file("x.bin"), true, false);
  x.Open();
  EXPECT_TRUE(x.LockFile());
  EXPECT_TRUE(kernelLocks(t.file("x.bin")).empty());
  x.Unlock();
  x.Truncate(4);
  EXPECT_EQ(x.FileSize(), 4);
  x.Close();
  XBO_DiskFile s(t.file("x.bin"), true, true);
  s.Open();
  try {
    s.Truncate(2);
    FAIL();
  } catch (const EXBaseError& e) {
    EXPECT_EQ(std::string(e.what()), "Truncate requires full access to file " + t.file("x.bin"));
  }
  ASSERT_TRUE(s.LockFile());
  s.Truncate(2);
  EXPECT_EQ(s.FileSize(), 2);
  s.Unlock();
}

// An exclusive open holds the file alone: every other open, shared or exclusive,
// read-only or not, in this process or another, is refused; shared opens share it.
struct OpenPair {
  bool firstShared, firstWritable, secondShared, secondWritable;
};
class ExclusiveOpens : public ::testing::TestWithParam<OpenPair> {};
TEST_P(ExclusiveOpens, InThisAndAnotherProcess) {
  const OpenPair& c = GetParam();
  const bool allowed = c.firstShared && c.secondShared;
  TempDir t;
  WriteFile(t.file("e.bin"), "0123456789");
  XBO_DiskFile first(t.file("e.bin"), c.firstWritable, c.firstShared);
  first.Open();
  XBO_DiskFile second(t.file("e.bin"), c.secondWritable, c.secondShared);
  if (allowed) {
    EXPECT_NO_THROW(second.Open());
  } else {
    try {
      second.Open();
      FAIL() << "the second open was not refused";
    } catch (const EXBaseError& e) {
      EXPECT_EQ(std::string(e.what()), "Access denied to file " + t.file("e.bin"));
    }
    EXPECT_TRUE(second.Closed);
  }
  second.Close();
  int rc = inChild([&] {
    XBO_DiskFile other(t.file("e.bin"), c.secondWritable, c.secondShared);
    try {
      other.Open();
    } catch (const EXBaseError&) {
      return 1;
    }
    return 0;
  });
  EXPECT_EQ(rc, allowed ? 0 : 1);
  first.Close();
  // Once the first open is gone, the second kind of open succeeds.
  EXPECT_EQ(inChild([&] {
    XBO_DiskFile other(t.file("e.bin"), c.secondWritable, c.secondShared);
    other.Open();
    return other.Closed ? 1 : 0;
  }), 0);
}
INSTANTIATE_TEST_SUITE_P(Kinds, ExclusiveOpens,
                         ::testing::Values(OpenPair{true, true, true, true}, OpenPair{true, false, true, true},
                                           OpenPair{false, true, true, true}, OpenPair{false, true, false, true},
                                           OpenPair{false, false, true, false}, OpenPair{true, true, false, true},
                                           OpenPair{true, false, false, false}));

TEST(DiskFile, CreateDoesNotEmptyAFileHeldByAnotherOpen) {
  TempDir t;
  WriteFile(t.file("c.bin"), "keep");
  XBO_DiskFile holder(t.file("c.bin"), true, true);
  holder.Open();
  XBO_DiskFile maker(t.file("c.bin"), true, false);
  EXPECT_THROW(maker.Create(), EXBaseError);
  EXPECT_EQ(ReadFile(t.file("c.bin")), "keep");
  holder.Close();
  maker.Create();
  EXPECT_EQ(maker.FileSize(), 0);
}

// The share lock and the byte-range protocol locks do not disturb each other.
TEST(DiskFile, SharedOpensStillTakeRangeLocks) {
  TempDir t;
  WriteFile(t.file("r.bin"), "x");
  XBO_DiskFile a(t.file("r.bin"), true, true), b(t.file("r.bin"), true, true);
  a.Open();
  b.Open();
  EXPECT_TRUE(a.LockRange(0, 0x7FFFFFFF));
  EXPECT_FALSE(b.LockRange(100, 1));
  a.Unlock();
  EXPECT_TRUE(b.LockRange(100, 1));
  b.Unlock();
}

TEST(DiskFile, ShortWriteToFullDeviceRaises) {
  XBO_DiskFile f("/dev/full", true, true);
  f.Open();
  char buf[16] = {};
  try {
    f.Write(0, buf, sizeof buf);
    FAIL();
  } catch (const EXBaseError& e) {
    EXPECT_STREQ(e.what(), "Error writing to /dev/full");
  }
}

TEST(DiskFile, InjectedWriteFailuresHitTheNamedWriteOnly) {
  TempDir dir;
  std::string a = dir.file("a.dbt"), b = dir.file("b.ntx");
  XBO_DiskFile fa(a, true, false), fb(b, true, false);
  fa.Create();
  fb.Create();
  char buf[4] = {'x', 'y', 'z', 'w'};
  auto fails = [&](XBO_DiskFile& f) {
    try {
      f.Write(0, buf, sizeof buf);
      return false;
    } catch (const EXBaseError& e) {
      EXPECT_EQ(std::string(e.what()), "Error writing to " + f.FileName);
      return true;
    }
  };
  xbFailWrites(2, ".NTX");  // the second write of the index file only
  EXPECT_FALSE(fails(fa));
  EXPECT_FALSE(fails(fb));
  EXPECT_FALSE(fails(fa));
  EXPECT_TRUE(fails(fb));
  EXPECT_FALSE(fails(fb));
  EXPECT_EQ(xbFailWrites(1, {}, true), 3);  // three writes matched ".NTX"; now every write fails
  EXPECT_TRUE(fails(fa));
  EXPECT_TRUE(fails(fb));
  EXPECT_EQ(xbFailWrites(0), 2);
  EXPECT_FALSE(fails(fa));
  EXPECT_EQ(xbFailWrites(0), 1);  // disarmed, the writes are still counted
}

TEST(DiskFile, RenameNeverReplacesAndCloseTwice) {
  TempDir t;
  WriteFile(t.file("a"), "AAA");
  WriteFile(t.file("b"), "BBB");
  XBO_DiskFile f(t.file("a"), true, true);
  f.Open();
  EXPECT_THROW(f.Rename(t.file("b")), EXBaseError);
  EXPECT_EQ(ReadFile(t.file("a")), "AAA");
  EXPECT_EQ(ReadFile(t.file("b")), "BBB");
  EXPECT_TRUE(f.Closed);
  XBO_DiskFile g(t.file("a"), true, true);
  g.Open();
  EXPECT_TRUE(g.Rename(t.file("c")));
  EXPECT_EQ(g.FileName, t.file("c"));
  EXPECT_FALSE(g.Closed);
  EXPECT_TRUE(g.Close());
  EXPECT_TRUE(g.Close());
}

TEST(DiskFile, OpensWithCloseOnExecAndReadOnlyFlags) {
  TempDir t;
  WriteFile(t.file("f"), "x");
  XBO_DiskFile f(t.file("f"), false, true);
  f.Open();
  int flags = fcntl(f.Handle, F_GETFD);
  EXPECT_TRUE(flags & FD_CLOEXEC);
  EXPECT_EQ(fcntl(f.Handle, F_GETFL) & O_ACCMODE, O_RDONLY);
  EXPECT_EQ(XBobjFileColl::Instance().Contains(&f), true);
  f.Close();
  EXPECT_EQ(XBobjFileColl::Instance().Contains(&f), false);
}

TEST(DiskFile, DescriptorZeroCountsAsOpen) {
  TempDir t;
  WriteFile(t.file("z"), "x");
  int rc = inChild([&] {
    close(0);
    XBO_DiskFile f(t.file("z"), false, true);
    f.Open();
    if (f.Handle != 0 || f.Closed) return 1;
    char c;
    return f.Read(0, &c, 1) == 1 && c == 'x' ? 0 : 2;
  });
  EXPECT_EQ(rc, 0);
}

struct SpanCase {
  int protocol;
  bool index;
  uint32_t n, hdr, rec;
  uint64_t offset;
};
class RecordLockSpans : public ::testing::TestWithParam<SpanCase> {};
TEST_P(RecordLockSpans, OffsetsAndKernelView) {
  const SpanCase& c = GetParam();
  TxbLockParams p;
  ASSERT_TRUE(xbLockParamsFor(c.protocol, p));
  auto s = xbRecordLockSpan(c.protocol, p, c.n, c.hdr, c.rec, c.index);
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->offset, c.offset);
  EXPECT_EQ(s->length, 1u);
  TempDir t;
  WriteFile(t.file("l"), "x");
  XBO_DiskFile f(t.file("l"), true, true);
  f.Open();
  ASSERT_TRUE(f.LockRange(s->offset, s->length));
  auto locks = kernelLocks(t.file("l"));
  ASSERT_EQ(locks.size(), 1u);
  EXPECT_EQ(locks[0].first, c.offset);
  EXPECT_EQ(locks[0].second, c.offset);
  f.Unlock();
}
INSTANTIATE_TEST_SUITE_P(
    Protocols, RecordLockSpans,
    ::testing::Values(SpanCase{Default, false, 1, 97, 20, 0x40000000u + 97},
                      SpanCase{Default, false, 2, 97, 20, 0x40000000u + 117},
                      SpanCase{Default, true, 5, 97, 20, 0x7FFFFFFEu - 5},
                      SpanCase{FoxLock, true, 5, 97, 20, 0x7FFFFFFEu - 5},
                      SpanCase{DB4Lock, false, 5, 97, 20, 0xEFFFFFFEu - 5},
                      SpanCase{ClipLock, false, 5, 97, 20, 1000000005u},
                      // Above 4 GiB the offset is computed in 64 bits.
                      SpanCase{Default, false, 3000000, 97, 2000, 0x40000000ull + 97 + 2999999ull * 2000}));

TEST(LockProtocol, TableAndMemoSpans) {
  TxbLockParams p;
  xbLockParamsFor(DB4Lock, p);
  EXPECT_EQ(xbAppendLockSpan(p), (TxbLockSpan{0xEFFFFFFFu, 1}));
  EXPECT_EQ(xbFileLockSpan(p), (TxbLockSpan{0x40000000u, 0xB0000000u}));
  xbLockParamsFor(Default, p);
  EXPECT_EQ(xbAppendLockSpan(p), (TxbLockSpan{0x7FFFFFFEu, 1}));
  EXPECT_EQ(xbFileLockSpan(p), (TxbLockSpan{0x40000000u, 0x3FFFFFFFu}));
  xbLockParamsFor(ClipLock, p);
  EXPECT_EQ(xbFileLockSpan(p), (TxbLockSpan{1000000000u, 1000000000u}));
  EXPECT_EQ(xbFullLockSpan(), (TxbLockSpan{0, 0x7FFFFFFFu}));
  EXPECT_EQ(*xbMemoLockSpan(Default), (TxbLockSpan{0x7FFFFFFDu, 1}));
  EXPECT_EQ(*xbMemoLockSpan(FoxLock), (TxbLockSpan{0x7FFFFFFDu, 1}));
  EXPECT_EQ(*xbMemoLockSpan(DB4Lock), (TxbLockSpan{0xEFFFFFFEu, 2}));
  EXPECT_EQ(*xbMemoLockSpan(ClipLock), (TxbLockSpan{1000000000u, 1}));
  TxbLockParams q = p;
  EXPECT_FALSE(xbLockParamsFor(4, q));
  EXPECT_EQ(q.lockBase, p.lockBase);
  EXPECT_FALSE(xbRecordLockSpan(4, p, 1, 97, 20, false).has_value());
  EXPECT_FALSE(xbMemoLockSpan(4).has_value());
}

TEST(FileNames, CaseInsensitiveLookupIsDeterministic) {
  TempDir t;
  WriteFile(t.file("t.DBT"), "1");
  WriteFile(t.file("T.dbt"), "2");
  EXPECT_EQ(xbResolveFileName(t.file("T.DBT")), t.file("T.dbt"));   // the byte-wise first of the two
  WriteFile(t.file("T.DBT"), "3");
  EXPECT_EQ(xbResolveFileName(t.file("T.DBT")), t.file("T.DBT"));   // the exact name first
  EXPECT_EQ(xbResolveFileName(t.file("none.dbt")), t.file("none.dbt"));
}

#include "xbase/xb_dbf.h"

// Each protocol's table locks seen by the kernel, and refused to a second open.
class TableLocks : public ::testing::TestWithParam<int> {};
TEST_P(TableLocks, RangesAndConflicts) {
  int proto = GetParam();
  TempDir t;
  DbfBuilder b(0x03, {{"A", 'C', 19}});   // header 65, record 20
  b.record(false, {"x"}).record(false, {"y"});
  b.write(t.file("t.dbf"));
  XBO_dBaseFld a(t.file("t.dbf"), true, true, ""), other(t.file("t.dbf"), true, true, "");
  a.SetLockProtocol(proto);
  other.SetLockProtocol(proto);
  TxbLockParams p;
  xbLockParamsFor(proto, p);
  ASSERT_TRUE(a.LockAppend());
  auto locks = kernelLocks(t.file("t.dbf"));
  ASSERT_EQ(locks.size(), 1u);
  EXPECT_EQ(locks[0].first, p.recordBase);
  EXPECT_EQ(locks[0].second, p.recordBase);
  EXPECT_FALSE(other.LockAppend());
  a.UnlockTable();
  ASSERT_TRUE(a.LockTable());
  EXPECT_TRUE(a.FileLocked);
  locks = kernelLocks(t.file("t.dbf"));
  ASSERT_EQ(locks.size(), 1u);
  EXPECT_EQ(locks[0].first, p.lockBase);
  EXPECT_EQ(locks[0].second, static_cast<uint64_t>(p.lockBase) + p.fileLockLength - 1);
  a.GoTo(1);
  EXPECT_TRUE(a.LockRecord());   // inside the file lock: counted only
  EXPECT_EQ(a.LockCount, 2);
  other.GoTo(2);
  EXPECT_FALSE(other.LockRecord());
  a.UnlockTable();
  a.UnlockTable();
  EXPECT_FALSE(a.FileLocked);
  EXPECT_TRUE(kernelLocks(t.file("t.dbf")).empty());
  ASSERT_TRUE(other.LockRecord());
  auto span = xbRecordLockSpan(proto, p, 2, 65, 20, false);
  locks = kernelLocks(t.file("t.dbf"));
  ASSERT_EQ(locks.size(), 1u);
  EXPECT_EQ(locks[0].first, span->offset);
  other.UnlockTable();
  ASSERT_TRUE(a.LockFull());
  locks = kernelLocks(t.file("t.dbf"));
  ASSERT_EQ(locks.size(), 1u);
  EXPECT_EQ(locks[0].first, 0u);
  EXPECT_EQ(locks[0].second, 0x7FFFFFFEu);
  a.UnlockTable();
  // Memo locks by protocol.
  WriteFile(t.file("m.dbt"), std::string(512, '\0'));
  XBO_DiskFile memo(t.file("m.dbt"), true, true);
  memo.Open();
  auto ms = xbMemoLockSpan(proto);
  ASSERT_TRUE(memo.LockRange(ms->offset, ms->length));
  locks = kernelLocks(t.file("m.dbt"));
  ASSERT_EQ(locks.size(), 1u);
  EXPECT_EQ(locks[0].first, ms->offset);
  EXPECT_EQ(locks[0].second, ms->offset + ms->length - 1);
  memo.Unlock();
}
INSTANTIATE_TEST_SUITE_P(Protocols, TableLocks, ::testing::Values(Default, DB4Lock, ClipLock, FoxLock));

TEST(TableLocksUnknown, ProtocolFourLocksNoRecords) {
  TempDir t;
  DbfBuilder b(0x03, {{"A", 'C', 3}});
  b.record(false, {"x"});
  b.write(t.file("t.dbf"));
  XBO_dBaseFld a(t.file("t.dbf"), true, true, "");
  a.SetLockProtocol(4);
  a.GoTo(1);
  EXPECT_FALSE(a.LockRecord());
  EXPECT_EQ(a.LockParams.lockBase, 0x40000000u);   // the parameters stay as they were
}
