#include "zipbuild.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace ziptest {

void Put16(Bytes& b, uint16_t v) {
  b.push_back(v & 0xFF);
  b.push_back(v >> 8);
}
void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}
void Put64(Bytes& b, uint64_t v) {
  Put32(b, static_cast<uint32_t>(v));
  Put32(b, static_cast<uint32_t>(v >> 32));
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Pseudo(size_t n, uint32_t seed) {
  Bytes b(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& c : b) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<uint8_t>(x);
  }
  return b;
}

uint32_t Crc(const Bytes& b) { return static_cast<uint32_t>(crc32(0, b.data(), static_cast<uInt>(b.size()))); }

Bytes Deflate(const Bytes& data) {
  z_stream s{};
  if (deflateInit2(&s, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflate");
  Bytes out(deflateBound(&s, data.size()) + 16);
  s.next_in = const_cast<Bytef*>(data.data());
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

Bytes Build(const std::vector<Entry>& entries, const Options& opt) {
  Bytes out = opt.prefix;
  const uint64_t base = opt.adjustOffsets ? 0 : opt.prefix.size();
  Bytes central, scratch;
  std::vector<uint64_t> localOffs;
  for (const auto& e : entries) {
    Bytes packed = !e.rawPacked.empty() ? e.rawPacked : e.method == 8 ? Deflate(e.data) : e.data;
    uint32_t crc = e.crcOverride >= 0 ? static_cast<uint32_t>(e.crcOverride) : Crc(e.data);
    uint64_t unpacked = e.declaredUnpacked >= 0 ? static_cast<uint64_t>(e.declaredUnpacked) : e.data.size();
    uint16_t flags = e.flags | (e.dataDescriptor ? 8 : 0);
    const bool shared = e.sharesHeaderOf >= 0 && static_cast<size_t>(e.sharesHeaderOf) < localOffs.size();
    uint64_t localOff = shared ? localOffs[static_cast<size_t>(e.sharesHeaderOf)] : out.size() - base;
    localOffs.push_back(localOff);
    Bytes lextra = e.localExtra;
    if (e.zip64) {
      Put16(lextra, 1);
      Put16(lextra, 16);
      Put64(lextra, unpacked);
      Put64(lextra, packed.size());
    }
    Bytes& local = shared ? scratch : out;
    scratch.clear();
    Put32(local, 0x04034B50);
    Put16(local, e.zip64 ? 45 : 20);
    Put16(local, flags);
    Put16(local, e.method);
    Put32(local, e.dosTime);
    Put32(local, e.dataDescriptor ? 0 : crc);
    Put32(local, e.dataDescriptor ? 0 : e.zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(packed.size()));
    Put32(local, e.dataDescriptor ? 0 : e.zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(unpacked));
    Put16(local, static_cast<uint16_t>(e.name.size()));
    Put16(local, static_cast<uint16_t>(lextra.size()));
    local.insert(local.end(), e.name.begin(), e.name.end());
    local.insert(local.end(), lextra.begin(), lextra.end());
    local.insert(local.end(), packed.begin(), packed.end());
    if (e.dataDescriptor) {
      Put32(local, 0x08074B50);
      Put32(local, crc);
      Put32(local, static_cast<uint32_t>(packed.size()));
      Put32(local, static_cast<uint32_t>(unpacked));
    }
    Bytes cextra = e.centralExtra;
    if (e.zip64) {
      Put16(cextra, 1);
      Put16(cextra, 24);
      Put64(cextra, unpacked);
      Put64(cextra, packed.size());
      Put64(cextra, localOff);
    }
    Put32(central, 0x02014B50);
    Put16(central, e.versionMadeBy);
    Put16(central, e.zip64 ? 45 : 20);
    Put16(central, flags);
    Put16(central, e.method);
    Put32(central, e.dosTime);
    Put32(central, crc);
    Put32(central, e.zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(packed.size()));
    Put32(central, e.zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(unpacked));
    Put16(central, static_cast<uint16_t>(e.name.size()));
    Put16(central, static_cast<uint16_t>(cextra.size()));
    Put16(central, 0);
    Put16(central, 0);
    Put16(central, 0);
    Put32(central, e.extAttr);
    Put32(central, e.zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(localOff + e.centralOffsetDelta));
    central.insert(central.end(), e.name.begin(), e.name.end());
    central.insert(central.end(), cextra.begin(), cextra.end());
  }
  if (opt.omitCentral) return out;
  uint64_t cdOff = out.size() - base;
  out.insert(out.end(), central.begin(), central.end());
  if (opt.zip64End) {
    uint64_t z64Off = out.size() - base;
    Put32(out, 0x06064B50);
    Put64(out, 44 + opt.zip64Extensible.size());
    Put16(out, 45);
    Put16(out, 45);
    Put32(out, 0);
    Put32(out, 0);
    Put64(out, entries.size());
    Put64(out, entries.size());
    Put64(out, central.size());
    Put64(out, cdOff);
    out.insert(out.end(), opt.zip64Extensible.begin(), opt.zip64Extensible.end());
    Put32(out, 0x07064B50);
    Put32(out, 0);
    Put64(out, z64Off);
    Put32(out, opt.locatorTotalDisks);
  }
  Put32(out, 0x06054B50);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, opt.zip64End ? 0xFFFF : static_cast<uint16_t>(entries.size()));
  Put16(out, opt.zip64End ? 0xFFFF : static_cast<uint16_t>(entries.size()));
  Put32(out, opt.zip64End ? 0xFFFFFFFFu : static_cast<uint32_t>(central.size()));
  Put32(out, opt.zip64End ? 0xFFFFFFFFu : static_cast<uint32_t>(cdOff));
  Put16(out, static_cast<uint16_t>(opt.comment.size()));
  out.insert(out.end(), opt.comment.begin(), opt.comment.end());
  return out;
}

namespace {
// The folders TempDir made, removed when the test process ends (never by a child it forked,
// which ends while the parent still uses them).
class MadeFolders {
public:
  void Add(const std::string& dir) {
    std::lock_guard<std::mutex> lock(mutex_);
    dirs_.push_back(dir);
  }
  ~MadeFolders() {
    if (::getpid() != owner_) return;
    std::error_code ec;
    for (const std::string& d : dirs_) std::filesystem::remove_all(d, ec);
  }

private:
  const pid_t owner_ = ::getpid();
  std::mutex mutex_;
  std::vector<std::string> dirs_;
};
}  // namespace

std::string TempDir(const std::string& tag) {
  static std::atomic<int> n{0};
  static MadeFolders made;
  std::string base = std::filesystem::temp_directory_path().string() + "/kesta_arc_" + std::to_string(getpid()) +
                     "_" + tag + "_" + std::to_string(n++);
  std::filesystem::remove_all(base);
  std::filesystem::create_directories(base);
  made.Add(base);
  return base + "/";
}

void WriteFile(const std::string& path, const Bytes& data) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool HaveTool(const std::string& name) { return Shell("command -v " + name + " >/dev/null 2>&1") == 0; }

int Shell(const std::string& cmd) {
  int r = std::system(cmd.c_str());
  return WIFEXITED(r) ? WEXITSTATUS(r) : -1;
}

std::vector<std::string> ListTree(const std::string& root) {
  std::vector<std::string> r;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::string rel = std::filesystem::relative(it->path(), root).string();
    if (it->is_directory() && !it->is_symlink()) rel += "/";
    r.push_back(rel);
  }
  std::sort(r.begin(), r.end());
  return r;
}

std::string SourceDir() {
  const char* s = std::getenv("KESTA_SOURCE_DIR");
  return s ? s : ".";
}

}  // namespace ziptest
