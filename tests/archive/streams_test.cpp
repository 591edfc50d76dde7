#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "archive/arcStreams.h"

namespace fs = std::filesystem;
using namespace arc;

namespace {

class StreamsTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kesta_streams_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& n) const { return (dir_ / n).string(); }
  static std::vector<uint8_t> bytes(size_t n, uint32_t seed) {
    std::mt19937 g(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(g());
    return v;
  }
  static std::vector<uint8_t> slurp(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
  }
  fs::path dir_;
};

// An in-memory source that counts how the copy reads it.
class MemStream : public TStream32 {
public:
  explicit MemStream(std::vector<uint8_t> d) : data(std::move(d)) {}
  int32_t Read(void* b, int32_t n) override {
    const int64_t k = std::min<int64_t>(n, static_cast<int64_t>(data.size()) - pos);
    if (k <= 0) return 0;
    std::memcpy(b, data.data() + pos, static_cast<size_t>(k));
    pos += k;
    maxRead = std::max<int64_t>(maxRead, n);
    return static_cast<int32_t>(k);
  }
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Seek(int64_t off, TSeekOrigin o) override {
    if (o == TSeekOrigin::soCurrent) off += pos;
    if (o == TSeekOrigin::soEnd) off += static_cast<int64_t>(data.size());
    pos = off;
    return pos;
  }
  std::vector<uint8_t> data;
  int64_t pos = 0;
  int64_t maxRead = 0;
};

TEST_F(StreamsTest, FileStreamOnMissingFileHasNoHandleAndRaisesNothing) {
  TFileStream32 s(path("no/such/file.bin"), TFileStream32::fmOpenRead);
  EXPECT_EQ(s.Handle(), -1);
  EXPECT_FALSE(s.Valid());
  char c;
  EXPECT_EQ(s.Read(&c, 1), 0);
  EXPECT_EQ(s.Write(&c, 1), 0);
  EXPECT_EQ(s.LastError(), EBADF);
}

TEST_F(StreamsTest, CreateWriteSeekReadBeyond4GiB) {
  const auto p = path("big.bin");
  {
    TFileStream32 s(p, TFileStream32::fmCreate);
    ASSERT_TRUE(s.Valid());
    const int64_t far = (int64_t{5} << 30) + 17;  // sparse file, past every 32-bit offset
    EXPECT_EQ(s.Seek(far, TSeekOrigin::soBeginning), far);
    s.WriteBuffer("tail", 4);
    EXPECT_EQ(s.GetSize(), far + 4);
    EXPECT_EQ(s.Position(), far + 4);
    s.SetSize64(far + 2);
    EXPECT_EQ(s.GetSize(), far + 2);
  }
  TFileStream32 r(p, TFileStream32::fmOpenRead | TFileStream32::fmShareDenyWrite);
  ASSERT_TRUE(r.Valid());
  EXPECT_EQ(r.Seek(-2, TSeekOrigin::soEnd), (int64_t{5} << 30) + 17);
  char buf[8] = {};
  EXPECT_EQ(r.Read(buf, 8), 2);
  EXPECT_EQ(std::string(buf, 2), "ta");
  EXPECT_THROW(r.ReadBuffer(buf, 1), EReadError);
}

TEST_F(StreamsTest, CreateTruncatesAnExistingFile) {
  const auto p = path("t.bin");
  { std::ofstream(p) << "old contents"; }
  TFileStream32 s(p, TFileStream32::fmCreate);
  ASSERT_TRUE(s.Valid());
  EXPECT_EQ(s.GetSize(), 0);
}

TEST_F(StreamsTest, SetSizeFailureRaisesOsError) {
  const auto p = path("ro.bin");
  { std::ofstream(p) << "abc"; }
  TFileStream32 s(p, TFileStream32::fmOpenRead);
  ASSERT_TRUE(s.Valid());
  EXPECT_THROW(s.SetSize64(1), platform::EOSError);
}

TEST_F(StreamsTest, ReadEventLowersTheRemainingCountByBytesRead) {
  const auto p = path("r.bin");
  const auto data = bytes(1000, 1);
  { std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), 1000); }
  TFileStream32 s(p, TFileStream32::fmOpenRead);
  int64_t remaining = 1000;
  int events = 0;
  s.Remaining = &remaining;
  uint8_t buf[600];
  EXPECT_EQ(s.Read(buf, 600), 600);
  EXPECT_EQ(remaining, 1000) << "no read event assigned: counter untouched";
  s.OnRead = [&](TStream32& sender) {
    EXPECT_EQ(&sender, &s);
    ++events;
  };
  s.SetPosition(0);
  EXPECT_EQ(s.Read(buf, 600), 600);
  EXPECT_EQ(s.Read(buf, 600), 400);
  EXPECT_EQ(s.Read(buf, 600), 0);
  EXPECT_EQ(remaining, 0);
  EXPECT_EQ(events, 2) << "an empty read fires no event";
}

TEST_F(StreamsTest, WriteToFullDeviceReportsZeroAndKeepsTheReason) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  TFileStream32 s("/dev/full", TFileStream32::fmOpenWrite);
  ASSERT_TRUE(s.Valid());
  std::vector<uint8_t> b(5000, 1);
  EXPECT_EQ(s.Write(b.data(), 5000), 0);
  EXPECT_TRUE(IsDiskFullError(s.LastError()));
  try {
    s.WriteBuffer(b.data(), 10);
    FAIL() << "no exception";
  } catch (const EWriteError& e) {
    EXPECT_TRUE(IsDiskFullError(e.osError()));
    EXPECT_STREQ(e.className(), "EWriteError");
  }
}

TEST_F(StreamsTest, CopyFromZeroCopiesTheWholeSourceFromItsStart) {
  const auto data = bytes(300000, 2);
  MemStream src(data);
  src.pos = 12345;  // the copy must rewind
  const auto p = path("copy.bin");
  int progress = 0;
  {
    TFileStream32 dst(p, TFileStream32::fmCreate);
    dst.OnProgress = [&](TStream32&) { ++progress; };
    EXPECT_EQ(dst.CopyFrom(src, 0), 300000);
  }
  EXPECT_EQ(slurp(p), data);
  EXPECT_EQ(src.maxRead, 0x20000) << "pieces of at most 128 KiB";
  EXPECT_EQ(progress, 3);
}

TEST_F(StreamsTest, CopyFromCountCopiesFromTheCurrentPosition) {
  const auto data = bytes(1000, 3);
  MemStream src(data);
  src.pos = 100;
  const auto p = path("part.bin");
  {
    TFileStream32 dst(p, TFileStream32::fmCreate);
    EXPECT_EQ(dst.CopyFrom(src, 500), 500);
  }
  EXPECT_EQ(slurp(p), std::vector<uint8_t>(data.begin() + 100, data.begin() + 600));
  EXPECT_EQ(src.maxRead, 500) << "buffer is the smaller of count and 128 KiB";
}

TEST_F(StreamsTest, CopyFromStopsWhenTheMessagePumpSetsCancel) {
  MemStream src(bytes(1 << 20, 4));
  TFileStream32 dst(path("c.bin"), TFileStream32::fmCreate);
  bool cancel = false;
  int pumps = 0;
  dst.Cancel = &cancel;
  dst.ProcessMessages = [&] {
    if (++pumps == 3) cancel = true;
  };
  EXPECT_EQ(dst.CopyFrom(src, 0), 2 * 0x20000);
  EXPECT_EQ(dst.GetSize(), 2 * 0x20000);
}

TEST_F(StreamsTest, CopyFromShortSourceRaisesReadError) {
  MemStream src(bytes(100, 5));
  TFileStream32 dst(path("s.bin"), TFileStream32::fmCreate);
  EXPECT_THROW(dst.CopyFrom(src, 200), EReadError);
}

TEST_F(StreamsTest, HandleStreamDoesNotCloseItsHandle) {
  const auto p = path("h.bin");
  const int fd = ::open(p.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  {
    THandleStream32 h(fd);
    h.WriteBuffer("abc", 3);
  }
  EXPECT_EQ(::write(fd, "d", 1), 1) << "descriptor still open";
  ::close(fd);
  const auto got = slurp(p);
  EXPECT_EQ(std::string(got.begin(), got.end()), "abcd");
}

}  // namespace
