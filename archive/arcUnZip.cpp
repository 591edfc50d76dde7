#include "archive/arcUnZip.h"

#include <algorithm>
#include <cstring>

#include "archive/arcCrc32.h"
#include "archive/arcZipDecode.h"
#include "platform/codepage.h"

namespace arc {

namespace {
constexpr uint32_t kSpanMarker = 0x08074B50u;

bool ValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k < len; ++k) {
      auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}
}  // namespace

bool ConvertEntryName(const std::string& raw, bool utf8, bool translateOem, std::string& out, bool* exact) {
  if (exact) *exact = true;
  bool valid = true;
  for (char ch : raw)
    if (static_cast<unsigned char>(ch) < 0x20) valid = false;
  bool ascii = true;
  for (char ch : raw)
    if (static_cast<unsigned char>(ch) >= 0x80) ascii = false;
  if (ascii) {
    out = raw;  // the same in every code page
  } else if (utf8) {
    if (!ValidUtf8(raw)) {
      out = raw;
      return false;
    }
    out = platform::Utf8ToCp1251(raw);
    // A character the code page lacks became '?': the name no longer names this entry alone.
    if (exact && platform::Cp1251ToUtf8(out) != raw) *exact = false;
  } else if (translateOem) {
    out = platform::Cp866ToCp1251(raw);
  } else {
    out = raw;
  }
  for (char ch : out)
    if (static_cast<unsigned char>(ch) < 0x20) valid = false;
  return valid;
}

TOutputPath BuildOutputPath(const std::string& name, const std::string& extractDir, bool useStoredDirs) {
  TOutputPath r;
  for (char ch : name)
    if (static_cast<unsigned char>(ch) < 0x20) return r;
  r.directory = !name.empty() && (name.back() == '/' || name.back() == '\\');
  std::vector<std::string> parts;
  size_t i = 0;
  bool first = true;
  while (i <= name.size()) {
    size_t j = name.find_first_of("/\\", i);
    if (j == std::string::npos) j = name.size();
    std::string p = name.substr(i, j - i);
    if (first && p.size() >= 2 && p[1] == ':' && std::isalpha(static_cast<unsigned char>(p[0]))) p.erase(0, 2);
    first = false;
    if (p == "..") return r;
    if (!p.empty() && p != ".") parts.push_back(p);
    i = j + 1;
  }
  const std::string dir = AppendSlash(extractDir);
  if (parts.empty() || (r.directory && !useStoredDirs)) {
    if (!r.directory) return r;
    r.path = dir;
    r.safe = true;
    return r;
  }
  if (!useStoredDirs) parts.erase(parts.begin(), parts.end() - 1);
  std::string path = dir;
  for (size_t k = 0; k < parts.size(); ++k) {
    if (k) path += '/';
    path += parts[k];
  }
  if (r.directory) path += '/';
  if (path.compare(0, dir.size(), dir) != 0 || path.size() <= dir.size()) return r;
  r.path = path;
  r.safe = true;
  return r;
}

// ---------------------------------------------------------------- volumes

// The disks of the archive: one file, or the volumes of a set presented end to end.
class TUnZip::Volumes {
public:
  Volumes(TUnZip& owner, ByteSource* archive, bool multi, int32_t count)
      : owner_(owner), archive_(archive), multi_(multi), count_(std::max(count, 1)) {}
  bool multi() const { return multi_; }
  uint32_t lastDisk() const { return static_cast<uint32_t>(count_ - 1); }

  // The listing reads the last disk (the archive itself) as it was opened; the extraction
  // pass asks for every volume it goes to, the last one included.
  void AskForEveryVolume() { askAll_ = true; }

  // Disk d; pos is where the caller reads first (a header), or -1 when entry data goes on there.
  ByteSource* disk(uint32_t d, int64_t pos = -1) {
    if (!multi_) return archive_;
    if (d > lastDisk()) d = lastDisk();
    if (d == lastDisk() && !askAll_) return archive_;
    if (cur_ && curDisk_ == d) return cur_.get();
    if (refused_) return nullptr;
    cur_.reset();
    curDisk_ = UINT32_MAX;
    cur_ = owner_.OpenVolume(static_cast<int32_t>(d) + 1, count_, pos);
    if (!cur_) {
      refused_ = true;
      return nullptr;
    }
    curDisk_ = d;
    return cur_.get();
  }

  // Reads from (d, off) on, going on into the next disks of a set; advances d and off.
  size_t read(uint32_t& d, uint64_t& off, void* buf, size_t n) {
    auto* p = static_cast<uint8_t*>(buf);
    size_t got = 0;
    while (got < n) {
      ByteSource* s = disk(d);
      if (!s) break;
      size_t k = s->readAt(off, p + got, n - got);
      got += k;
      off += k;
      if (got < n) {
        if (!multi_ || d >= lastDisk() || off < s->size()) break;
        ++d;
        off = 0;
      }
    }
    return got;
  }
  bool refused() const { return refused_; }

private:
  TUnZip& owner_;
  ByteSource* archive_;
  bool multi_;
  int32_t count_;
  std::unique_ptr<ByteSource> cur_;
  uint32_t curDisk_ = UINT32_MAX;
  bool refused_ = false;
  bool askAll_ = false;
};

// The data of one entry, read sequentially and never past its packed size.
class TUnZip::EntryReader : public ZipEntryInput {
public:
  EntryReader(Volumes& v, uint32_t disk, uint64_t off, uint64_t limit) : v_(v), disk_(disk), off_(off) {
    remaining_ = limit;
  }
  size_t Read(uint8_t* buf, size_t n) override {
    n = static_cast<size_t>(std::min<uint64_t>(n, remaining_));
    if (n == 0) return 0;
    size_t k = v_.read(disk_, off_, buf, n);
    remaining_ -= k;
    if (k < n) truncated_ = true;
    if (k) {
      if (trad) trad->Decrypt(buf, k);
      if (aes) aes->Decrypt(buf, k);
    }
    return k;
  }
  // Reads bytes that are not part of the data (password headers, authentication code).
  size_t ReadRaw(uint8_t* buf, size_t n) {
    TraditionalCipher* t = trad;
    AesDecrypter* a = aes;
    trad = nullptr;
    aes = nullptr;
    size_t k = Read(buf, n);
    trad = t;
    aes = a;
    return k;
  }
  // Reads and drops n bytes of the data, deciphered like the rest (the authentication code
  // sees them).
  void SkipData(uint64_t n) {
    uint8_t buf[4096];
    while (n > 0 && remaining_ > 0) {
      size_t k = Read(buf, static_cast<size_t>(std::min<uint64_t>(n, sizeof buf)));
      if (k == 0) break;
      n -= k;
    }
  }
  uint64_t Remaining() const override { return remaining_; }
  void SetRemaining(uint64_t r) { remaining_ = r; }
  bool Truncated() const { return truncated_; }

  TraditionalCipher* trad = nullptr;
  AesDecrypter* aes = nullptr;

private:
  Volumes& v_;
  uint32_t disk_;
  uint64_t off_;
  uint64_t remaining_ = 0;
  bool truncated_ = false;
};

// The write routine: bounded by the declared size, running CRC, progress, disk full.
struct TUnZip::Sink : public ZipEntryOutput {
  TUnZip& o;
  OutputFile& out;
  std::string path;
  uint64_t limit;
  uint64_t written = 0;
  uint32_t crc = 0xFFFFFFFFu;
  bool overflow = false, writeError = false;

  Sink(TUnZip& owner, OutputFile& f, std::string p, uint64_t lim)
      : o(owner), out(f), path(std::move(p)), limit(lim) {}

  bool Write(const uint8_t* p, size_t n) override {
    if (writeError) return false;
    if (n > limit - written) {
      n = static_cast<size_t>(limit - written);
      overflow = true;
    }
    if (n) {
      WriteStatus st = out.write(p, n);
      if (st == WriteStatus::DiskFull) {
        o.run_.count = 0;
        writeError = true;
        o.RaiseError(o.run_.arcPath, path, "0", E_DiskFull);
        return false;
      }
      if (st != WriteStatus::Ok) {
        writeError = true;
        o.DoError(path, "", o.run_.arcPath, E_WriteError);
        return false;
      }
      crc = Crc32Update(crc, p, n);
      written += n;
      o.progressDone_ += n;
      if (o.OnProgress)
        o.OnProgress(o, Percentage(static_cast<int64_t>(written), static_cast<int64_t>(limit)),
                     Percentage(static_cast<int64_t>(o.progressDone_), static_cast<int64_t>(o.progressTotal_)));
    }
    return !overflow;
  }
  bool Cancelled() const override { return o.cancel_; }
  void Pump() override { o.Pump(); }
  void Report(int32_t code) override { o.DoError(path, "", o.run_.arcPath, code); }
};

// ---------------------------------------------------------------- component

TUnZip::TUnZip(Services services) : TUnBase(std::move(services)) {}
TUnZip::~TUnZip() = default;

bool TUnZip::MethodSupported(uint16_t method) { return ZipMethodSupported(method); }

int32_t TUnZip::List() {
  listOnly_ = true;
  struct Reset {
    bool& f;
    ~Reset() { f = false; }
  } reset{listOnly_};
  Extract();
  return static_cast<int32_t>(entries_.size());
}

std::unique_ptr<ByteSource> TUnZip::OpenVolume(int32_t volume, int32_t volumes, int64_t pos) {
  const std::string arc = Absolute(run_.arcPath);
  if (volume > 999) {
    DoError("", "", "0", E_MaxVolumes);
    cancel_ = true;
    return nullptr;
  }
  if (detect_.type == TArcType::atZipDS) {
    // A spanned set: the disk is asked for, and read from the same path (or where the handler says).
    // The first request of a pass asks for the first disk, the later ones for the next disk.
    const bool first = !dsFirstAsked_;
    dsFirstAsked_ = true;
    if (first ? !OnGetZipFirstDisk : !OnGetZipNextDisk) {
      DoError("", first ? "OnGetZipFirstDisk" : "OnGetZipNextDisk", run_.arcPath, E_EventNotAssigned);
      cancel_ = true;
      return nullptr;
    }
    for (int tries = 0; tries < 100; ++tries) {
      cancel_ = true;  // the prompts start cancelled: a handler must clear it
      std::string newPath;
      if (first)
        OnGetZipFirstDisk(*this, cancel_, newPath);
      else
        OnGetZipNextDisk(*this, std::to_string(volume), cancel_, newPath);
      if (cancel_) return nullptr;
      std::string p = newPath.empty() ? arc : Absolute(newPath);
      auto src = svc_.fs->openRead(p);
      if (!src) {
        DoError("", "", run_.arcPath, E_OpenError);
        continue;
      }
      // The right disk: where a header is read, one of the set's signatures stands there; where
      // entry data goes on (or the position lies past the disk's end), the label names the disk.
      bool right;
      if (pos >= 0 && static_cast<uint64_t>(pos) + 30 <= src->size()) {
        uint8_t sig[4];
        right = src->readExact(static_cast<uint64_t>(pos), sig, 4) &&
                (Get32(sig) == kSpanMarker || IsLocalSig(sig) || IsCentralSig(sig));
      } else {
        VolumeData vd;
        std::string err;
        std::string folder = ExtractFilePath(p);
        int32_t labelled = 0;
        if (svc_.volumes->query(folder.empty() ? "/" : folder, vd, err)) {
          size_t h = vd.label.find("PKBACK# ");
          if (h != std::string::npos) labelled = std::atoi(vd.label.c_str() + h + 8);
        }
        right = labelled == volume;
      }
      if (!right) continue;
      run_.volume = volume;
      return src;
    }
    cancel_ = true;
    return nullptr;
  }
  std::string name = ZipVolumeName(arc, volume, volumes);
  if (volume >= volumes) name = arc;
  if (svc_.fs->stat(name).kind == FileKind::None) {
    // Sets made on a case-insensitive system: ".Z01" beside ".ZIP".
    std::string ext = arc.substr(arc.size() - LowerExt(arc).size());
    if (!ext.empty() && std::isupper(static_cast<unsigned char>(ext.back()))) {
      std::string alt = name;
      size_t dot = alt.find_last_of('.');
      if (dot != std::string::npos) {
        for (size_t k = dot; k < alt.size(); ++k)
          alt[k] = static_cast<char>(std::toupper(static_cast<unsigned char>(alt[k])));
        if (svc_.fs->stat(alt).kind != FileKind::None) name = alt;
      }
    }
  }
  if (!OnNextVolume) {
    DoError("", "OnNextVolume", run_.arcPath, E_EventNotAssigned);
    cancel_ = true;
    return nullptr;
  }
  for (int tries = 0; tries < 100; ++tries) {
    bool exists = svc_.fs->stat(Absolute(name)).kind == FileKind::Regular;
    OnNextVolume(*this, name, volume, exists, cancel_);
    if (cancel_) {
      DoError("", "", run_.arcPath, E_UserCanceled);
      return nullptr;
    }
    if (svc_.fs->stat(Absolute(name)).kind == FileKind::Regular) {
      auto src = svc_.fs->openRead(Absolute(name));
      if (!src) {
        DoError("", "", run_.arcPath, E_OpenError);
        cancel_ = true;
        return nullptr;
      }
      run_.volume = volume;
      return src;
    }
  }
  // The volume never appeared and the handler never gave up: the volume cannot be opened.
  // Reported before the run is cancelled, which would turn the report into 25443.
  DoError("", "", run_.arcPath, E_OpenError);
  cancel_ = true;
  return nullptr;
}

void TUnZip::ParseExtra(const uint8_t* p, size_t n, TZipEntry& e, bool central) {
  bool strong = false, aesSeen = false;
  size_t i = 0;
  while (n - i >= 5 && i < n) {
    uint16_t id = Get16(p + i);
    size_t sz = Get16(p + i + 2);
    const uint8_t* d = p + i + 4;
    size_t avail = std::min(sz, n - i - 4);
    if (id == 0x0001) {
      size_t q = 0;
      if (e.unpacked == 0xFFFFFFFFu && q + 8 <= avail) e.unpacked = Get64(d + q), q += 8;
      if (e.packed == 0xFFFFFFFFu && q + 8 <= avail) e.packed = Get64(d + q), q += 8;
      if (central && e.localOffset == 0xFFFFFFFFu && q + 8 <= avail) e.localOffset = Get64(d + q), q += 8;
      if (central && e.disk == 0xFFFFu && q + 4 <= avail) e.disk = Get32(d + q), q += 4;
    } else if (id == 0x0017) {
      strong = true;
    } else if (id == 0x9901 && avail >= 7) {
      aesSeen = true;
      e.aesVersion = Get16(d);
      e.aesStrength = d[4] & 3;  // only the two low bits count
      e.aesMethod = Get16(d + 5);
      if (!(d[2] == 'A' && d[3] == 'E')) e.aesVersion = 0;
    }
    i += 4 + sz;
    if (i > n) break;
  }
  // Flag bit 6 alone (strong encryption without its extra field) is left to the entry driver.
  if (strong) {
    e.encKind = ekUnsupported;
  } else if (aesSeen) {
    // An AES extra means enciphered data, whatever bit 0 says.
    if ((e.aesVersion != 1 && e.aesVersion != 2) || e.aesStrength == 0)
      e.encKind = ekUnsupported;
    else
      e.encKind = static_cast<uint8_t>((e.aesVersion == 1 ? 0 : 3) + e.aesStrength - 1);
  } else if (e.flags & 1) {
    e.encKind = ekTraditional;
  } else {
    e.encKind = ekNone;
  }
}

std::string TUnZip::ReportPath(const TZipEntry& e) const {
  if (e.nameValid) {
    TOutputPath op = BuildOutputPath(e.name, ExtractDir(), UseStoredDirs);
    if (op.safe) return op.path;
  }
  return e.name;
}

void TUnZip::Consider(TZipEntry& e, ByteSource* single) {
  if (!selection_->selected(e.name)) return;
  if (e.encKind == ekUnsupported) {
    DoError(ReportPath(e), "", run_.arcPath, E_UnsupportedEncryption);
    return;
  }
  if (e.central && single) {
    auto localAt = [&](int64_t at) {
      uint8_t b[4];
      return at >= 0 && static_cast<uint64_t>(at) + 30 <= single->size() &&
             single->readExact(static_cast<uint64_t>(at), b, 4) && IsLocalSig(b);
    };
    const int64_t stated = e.localOffset > static_cast<uint64_t>(INT64_MAX / 4) ? -1 : static_cast<int64_t>(e.localOffset);
    int64_t at = stated < 0 ? -1 : stated + detect_.correction + localCorrection_;
    if (!localAt(at) && !localCorrected_ && stated >= 0) {
      localCorrected_ = true;
      // Find the first local header in the first blocks of the file.
      std::vector<uint8_t> buf(5 * 32768 + 3);
      buf.resize(single->readAt(0, buf.data(), buf.size()));
      for (size_t k = 0; k + 4 <= buf.size(); ++k)
        if (IsLocalSig(buf.data() + k)) {
          localCorrection_ = static_cast<int64_t>(k);
          break;
        }
      at = stated + detect_.correction + localCorrection_;
    }
    if (!localAt(at)) {
      DoError(ReportPath(e), "", run_.arcPath, E_BadLocalOffset);
      return;
    }
    e.localOffset = static_cast<uint64_t>(at);
    // The range the entry takes: its local header, name, extra field and data.
    uint8_t lh[30];
    std::unique_ptr<TraditionalCipher> hc;
    const bool read = single->readExact(e.localOffset, lh, 30);
    const bool enc = read && IsEncipheredSig(lh);
    if (enc && Ciphers.traditional && (hc = Ciphers.traditional())) {
      hc->Reset(SeedHeaderKeys.Seed());
      hc->Decrypt(lh + 4, 26);
    }
    if (read && (!enc || hc)) {
      const uint64_t dataAt = e.localOffset + 30 + Get16(lh + 26) + Get16(lh + 28);
      e.localEnd = e.packed > UINT64_MAX - dataAt ? UINT64_MAX : dataAt + e.packed;
      e.ranged = true;
    }
  } else if (e.central) {
    // A set: the local headers lie on volumes the listing does not open. The header and the
    // data without name and extra field are the least the entry takes on its disk.
    const uint64_t dataAt = e.localOffset > UINT64_MAX - 30 ? UINT64_MAX : e.localOffset + 30;
    e.localEnd = e.packed > UINT64_MAX - dataAt ? UINT64_MAX : dataAt + e.packed;
    e.ranged = true;
  }
  if (e.dosTime > run_.latestDos) run_.latestDos = e.dosTime;
  run_.packedSum += e.packed;
  run_.unpackedSum += e.unpacked;
  entries_.push_back(e);
}

void TUnZip::MarkOverlaps(const Volumes& vols) {
  // In the order of their local headers, each entry must begin where the ranges of the entries
  // before it end: one that begins inside one of them (two directory records for one header,
  // a header inside another entry's data) would write the same bytes again.
  auto disk = [&](const TZipEntry& e) { return vols.multi() ? std::min(e.disk, vols.lastDisk()) : 0u; };
  std::vector<size_t> order;
  for (size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i].ranged) order.push_back(i);
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    const TZipEntry &x = entries_[a], &y = entries_[b];
    return disk(x) != disk(y) ? disk(x) < disk(y) : x.localOffset < y.localOffset;
  });
  uint32_t endDisk = 0;
  uint64_t end = 0;  // the end of the ranges of the entries kept so far, on endDisk
  for (size_t i : order) {
    TZipEntry& e = entries_[i];
    if (disk(e) == endDisk && e.localOffset < end) {
      e.overlaps = true;
    } else {
      endDisk = disk(e);
      end = e.localEnd;
    }
  }
}

void TUnZip::CentralScan(Volumes& vols, uint64_t start) {
  TimerPause paused(*this);
  const DetectResult& r = detect_;
  uint32_t disk = vols.multi() ? r.cdDisk() : 0;
  uint64_t off = start;
  uint64_t want;
  if (!vols.multi()) {
    uint64_t endAt = (r.headerMode & hmEnding64) ? r.end64.pos : (r.headerMode & hmEnding) ? r.end.pos : r.size;
    want = endAt > start ? endAt - start : 0;
  } else {
    want = r.cdSize();
  }
  // The directory is read front to back through one buffer of 64 KiB, never past its end: the
  // memory a scan takes does not grow with the size the records or the file claim.
  std::vector<uint8_t> buf(65536);
  size_t bpos = 0, bend = 0;
  uint64_t unread = want;  // directory bytes still on the disks
  auto left = [&] { return (bend - bpos) + unread; };
  // Takes n bytes (into out, or dropped when out is null); false when the directory ends first.
  auto take = [&](uint8_t* out, size_t n) {
    while (n > 0) {
      if (bpos == bend) {
        if (unread == 0 || cancel_) return false;
        const size_t k = static_cast<size_t>(std::min<uint64_t>(buf.size(), unread));
        const size_t got = vols.read(disk, off, buf.data(), k);
        unread = got < k ? 0 : unread - got;
        bpos = 0;
        bend = got;
        if (got == 0) return false;
      }
      const size_t k = std::min(n, bend - bpos);
      if (out) {
        std::memcpy(out, buf.data() + bpos, k);
        out += k;
      }
      bpos += k;
      n -= k;
    }
    return true;
  };
  ByteSource* single = vols.multi() ? nullptr : vols.disk(0);
  uint8_t h[46];
  std::vector<uint8_t> nx;
  while (!cancel_ && take(h, 46) && IsCentralSig(h)) {
    std::unique_ptr<TraditionalCipher> hc;
    bool enc = IsEncipheredSig(h);
    if (enc) {
      if (!Ciphers.traditional || !(hc = Ciphers.traditional())) {
        ReportBadHeader(run_.arcPath, "0");
        break;
      }
      hc->Reset(SeedHeaderKeys.Seed());
      hc->Decrypt(h + 4, 42);
    }
    const size_t n = Get16(h + 28), x = Get16(h + 30), c = Get16(h + 32);
    nx.resize(n + x);
    if (n + x + c > left() || !take(nx.data(), n + x) || !take(nullptr, c)) {
      ReportBadHeader(run_.arcPath, "0");
      break;
    }
    TZipEntry e;
    e.central = true;
    e.versionMadeBy = Get16(h + 4);
    e.flags = Get16(h + 8);
    e.method = Get16(h + 10);
    e.dosTime = Get32(h + 12);
    e.crc = Get32(h + 16);
    e.packed = Get32(h + 20);
    e.unpacked = Get32(h + 24);
    e.disk = Get16(h + 34);
    e.extAttr = Get32(h + 38);
    e.localOffset = Get32(h + 42);
    e.rawName.assign(reinterpret_cast<const char*>(nx.data()), n);
    if (enc) {
      hc->Decrypt(reinterpret_cast<uint8_t*>(e.rawName.data()), n);
      SeedHeaderKeys.SetKeys(hc->Keys());
    }
    ParseExtra(nx.data() + n, x, e, true);
    e.nameValid = ConvertEntryName(e.rawName, e.flags & 0x800, TranslateOemChar, e.name, &e.nameExact);
    Consider(e, single);
  }
}

void TUnZip::LocalScan(Volumes& vols, uint64_t start) {
  if (OnCorruptZipHeader) {
    bool cancel = true;
    OnCorruptZipHeader(*this, static_cast<THeaderTypeState>(detect_.headerMode), cancel);
    if (cancel) return;
  }
  ByteSource* src = vols.disk(0);
  if (!src) return;
  const uint64_t size = src->size();
  uint64_t pos = start;
  uint8_t h[30];
  if (src->readExact(pos, h, 4) && Get32(h) == kSpanMarker) pos += 4;
  while (!cancel_ && pos + 30 <= size && src->readExact(pos, h, 30) && IsLocalSig(h)) {
    std::unique_ptr<TraditionalCipher> hc;
    bool enc = IsEncipheredSig(h);
    if (enc) {
      if (!Ciphers.traditional || !(hc = Ciphers.traditional())) {
        ReportBadHeader(run_.arcPath, "0");
        break;
      }
      hc->Reset(SeedHeaderKeys.Seed());
      hc->Decrypt(h + 4, 26);
    }
    const size_t n = Get16(h + 26), x = Get16(h + 28);
    std::vector<uint8_t> nx(n + x);
    if (!src->readExact(pos + 30, nx.data(), n + x)) break;
    TZipEntry e;
    e.central = false;
    e.flags = Get16(h + 6);
    e.method = Get16(h + 8);
    e.dosTime = Get32(h + 10);
    e.crc = Get32(h + 14);
    e.packed = Get32(h + 18);
    e.unpacked = Get32(h + 22);
    e.rawName.assign(reinterpret_cast<const char*>(nx.data()), n);
    if (enc) {
      hc->Decrypt(reinterpret_cast<uint8_t*>(e.rawName.data()), n);
      SeedHeaderKeys.SetKeys(hc->Keys());
    }
    ParseExtra(nx.data() + n, x, e, false);
    e.nameValid = ConvertEntryName(e.rawName, e.flags & 0x800, TranslateOemChar, e.name, &e.nameExact);
    e.disk = 0;
    e.localOffset = pos;
    const bool sizesLater = (e.flags & 8) && e.packed == 0 && !e.isDir();
    if (sizesLater) {
      // The sizes are only in a data descriptor: the entry cannot be read and ends the scan.
      if (selection_->selected(e.name)) DoError(ReportPath(e), "", run_.arcPath, E_BadFileHeader);
      break;
    }
    if (!e.name.empty()) Consider(e, nullptr);
    uint64_t next = pos + 30 + n + x;
    if (e.packed > size || next + e.packed > size) break;
    pos = next + e.packed;
  }
}

void TUnZip::ExtractIt(ByteSource* archive) {
  entries_.clear();
  madeFolders_.clear();
  outputs_.clear();
  localCorrection_ = 0;
  localCorrected_ = false;
  dsFirstAsked_ = false;
  progressTotal_ = progressDone_ = 0;
  if (!archive || !IsZipType(detect_.type)) {
    DoError("", "", run_.arcPath, E_InvalidArcType);
    return;
  }
  ByteSource* last = archive;
  std::unique_ptr<ByteSource> lastDiskSrc;
  if (detect_.type == TArcType::atZipDS) {
    // The disk with the end record is asked for first.
    if (!OnGetZipLastDisk) {
      DoError("", "OnGetZipLastDisk", run_.arcPath, E_EventNotAssigned);
      cancel_ = true;
      return;
    }
    bool found = false;
    for (int tries = 0; tries < 100 && !found; ++tries) {
      cancel_ = true;
      std::string newPath;
      OnGetZipLastDisk(*this, cancel_, newPath);
      if (cancel_) return;
      lastDiskSrc = svc_.fs->openRead(newPath.empty() ? Absolute(run_.arcPath) : Absolute(newPath));
      if (!lastDiskSrc) {
        DoError("", "", run_.arcPath, E_OpenError);
        continue;
      }
      DetectResult keep = detect_;
      Detect(*lastDiskSrc);
      found = (detect_.headerMode & hmEnding) != 0;
      if (found) detect_.type = TArcType::atZipDS;
      else detect_ = keep;
    }
    if (!found) {
      cancel_ = true;
      return;
    }
    last = lastDiskSrc.get();
  } else {
    // Detection again on the open file, so that every offset fits the file as it is now.
    Detect(*archive);
    if (!IsZipType(detect_.type)) {
      DoError("", "", run_.arcPath, E_InvalidArcType);
      return;
    }
  }
  if (detect_.startOffset < 0) return;
  selection_ = std::make_unique<EntrySelection>();
  selection_->fileSpec = FileSpec;  // a local copy: the caller's masks stay as they are
  selection_->excludeSpec = ExcludeSpec;
  selection_->recurseDirs = RecurseDirs;
  selection_->onExclude = [this](const std::string& n) {
    if (OnExcludeFile) OnExcludeFile(*this, n);
  };
  const bool multi = (detect_.type == TArcType::atZipMV || detect_.type == TArcType::atZipDS) &&
                     (detect_.headerMode & hmEnding);
  Volumes vols(*this, last, multi, multi ? detect_.volumes() : 1);
  const uint64_t start = static_cast<uint64_t>(detect_.startOffset);
  if (detect_.headerMode == hmLocal)
    LocalScan(vols, start);
  else
    CentralScan(vols, start);
  MarkOverlaps(vols);
  if (!listOnly_) ExtractPass(vols);
}

void TUnZip::ExtractPass(Volumes& vols) {
  progressTotal_ = run_.unpackedSum;
  progressDone_ = 0;
  vols.AskForEveryVolume();
  for (auto& e : entries_) {
    if (cancel_) break;
    uint32_t d = e.disk;
    uint64_t off = e.localOffset;
    // A refused volume ends the pass.
    if (!vols.disk(d, static_cast<int64_t>(std::min<uint64_t>(off, INT64_MAX)))) break;
    uint8_t h[30];
    if (vols.read(d, off, h, 30) != 30 || !IsLocalSig(h)) {
      if (vols.refused()) break;
      DoError(ReportPath(e), "", run_.arcPath, E_BadLocalOffset);
      continue;
    }
    bool enc = IsEncipheredSig(h);
    std::unique_ptr<TraditionalCipher> hc;
    if (enc) {
      if (!Ciphers.traditional || !(hc = Ciphers.traditional())) {
        DoError(ReportPath(e), "", run_.arcPath, E_BadFileHeader);
        continue;
      }
      hc->Reset(SeedHeaderKeys.Seed());
      hc->Decrypt(h + 4, 26);
    }
    const size_t n = Get16(h + 26), x = Get16(h + 28);
    std::vector<uint8_t> nx(n + x);
    if (vols.read(d, off, nx.data(), n + x) != n + x) {
      if (vols.refused()) break;
      DoError(ReportPath(e), "", run_.arcPath, E_BadFileHeader);
      continue;
    }
    if (hc) {
      hc->Decrypt(nx.data(), n);  // the local name: only the keys it leaves are kept
      SeedHeaderKeys.SetKeys(hc->Keys());
    }
    const bool localNameDiffers =
        e.central && std::string(reinterpret_cast<const char*>(nx.data()), n) != e.rawName;
    uint32_t localCrc = Get32(h + 14);
    // Entries written with a data descriptor carry their CRC in the central header only.
    uint32_t expected = (e.central && (localCrc == 0 || (e.flags & 8))) ? e.crc : localCrc;
    try {
      ExtractEntry(vols, e, d, off, expected, localNameDiffers);
    } catch (const E_RAISE&) {
      throw;
    } catch (const std::exception& ex) {
      DoError(run_.outPath, ex.what(), run_.arcPath, E_WriteError);
      if (entryCounted_ && !entryEnded_) CrcCheck(false);
    }
    if (vols.refused()) break;
  }
}

void TUnZip::RefuseEntry(const std::string& path, const std::string& why) {
  DoError(path, why, run_.arcPath, E_OpenError);
  if (OnEnd) OnEnd(*this, path, false);
}

void TUnZip::CrcCheck(bool pass) {
  entryEnded_ = true;
  if (cancel_) pass = false;
  if (OnEnd)
    OnEnd(*this, run_.outPath, pass);
  else if (!pass)
    DoError(run_.outPath, "", run_.arcPath, E_CrcFail);
  if (!pass && run_.count > 0) --run_.count;  // a failed entry is not counted
}

bool TUnZip::MakeFolders(const std::string& folderIn) {
  std::string folder = AppendSlash(folderIn);
  if (folder.empty() || folder[0] != '/') return false;
  if (std::find(madeFolders_.begin(), madeFolders_.end(), folder) != madeFolders_.end()) return true;
  const std::string& base = ExtractDir();
  const bool inside = folder.compare(0, base.size(), base) == 0;
  std::string cur = "/";
  size_t i = 1;
  while (i < folder.size()) {
    size_t j = folder.find('/', i);
    if (j == std::string::npos) j = folder.size();
    cur += folder.substr(i, j - i) + "/";
    i = j + 1;
    const bool below = inside && cur.size() > base.size();
    FileStat st = svc_.fs->stat(cur);
    if (st.kind == FileKind::Directory) continue;
    if (st.kind == FileKind::None) {
      if (!svc_.fs->createDir(cur)) return false;
      continue;
    }
    // A link or a file in the way: below the target folder nothing is followed.
    if (below) return false;
    if (!svc_.fs->createDir(cur)) return false;
  }
  madeFolders_.push_back(folder);
  return true;
}

bool TUnZip::BeginDecision(std::string& path, bool directory) {
  if (OnRenameFile) {
    std::string nn = path;
    OnRenameFile(*this, path, nn);
    if (!nn.empty()) path = Absolute(nn);
  }
  if (OnBegin) {
    bool ex = true;
    OnBegin(*this, path, run_.count + 1, ex);
    if (!ex) return false;
  }
  if (cancel_) return false;
  TOverwriteMode mode = OverwriteMode;  // per-entry copy; the property stays as set
  FileStat st = svc_.fs->stat(path);
  if (directory) {
    // Nothing is replaced for a folder; under omSkip one that exists is left out like a file.
    if (!ConfirmOverwrites && mode == TOverwriteMode::omSkip && st.kind != FileKind::None) return false;
    return !path.empty();
  }
  if (!ConfirmOverwrites) {
    if (mode == TOverwriteMode::omSkip && st.kind != FileKind::None) return false;
    mode = TOverwriteMode::omOverwrite;
  } else {
    mode = TOverwriteMode::omOverwrite;
    if (st.kind != FileKind::None) {
      if (OnFileExists) {
        AskFileExists(path, mode);
      } else {
        DoError(path, "", run_.arcPath, E_EventNotAssigned);
        mode = TOverwriteMode::omSkip;
      }
    }
  }
  if (cancel_ || mode != TOverwriteMode::omOverwrite || path.empty()) return false;
  st = svc_.fs->stat(path);
  if (st.kind == FileKind::Directory || st.kind == FileKind::Other) {
    DoError(path, "", run_.arcPath, E_AttribOverwrite);
    return false;
  }
  return true;
}

bool TUnZip::PasswordCheck(EntryReader& in, TZipEntry& e, std::unique_ptr<TraditionalCipher>& trad,
                           std::unique_ptr<AesDecrypter>& aes) {
  const bool isAes = e.encKind <= 5;
  uint8_t head[18];
  size_t headLen = isAes ? static_cast<size_t>(4 + 4 * e.aesStrength) + 2 : 12;
  bool haveHead = in.ReadRaw(head, headLen) == headLen;
  auto tryPw = [&](const std::string& pw) -> bool {
    if (!haveHead || pw.empty()) return false;  // an empty password never passes
    if (isAes) {
      if (!Ciphers.aes) return false;
      auto a = Ciphers.aes();
      if (!a || !a->Init(pw, e.aesStrength, head, head + headLen - 2)) return false;
      aes = std::move(a);
      return true;
    }
    if (!Ciphers.traditional) return false;
    auto c = Ciphers.traditional();
    if (!c) return false;
    uint8_t buf[24];
    std::memcpy(buf + 12, head, 12);
    const bool passed =
        CheckPasswordHeader(*c, SeedDataKeys.Seed(), buf, e.flags, e.crc, pw, static_cast<uint16_t>(e.dosTime));
    SeedDataKeys.SetKeys(c->Keys());  // the working keys as this check leaves them
    if (!passed) return false;
    trad = std::move(c);
    return true;
  };
  if (!currentPassword_.empty() && tryPw(currentPassword_)) return true;
  for (const auto& pw : Passwords) {
    currentPassword_ = pw;
    if (tryPw(pw)) return true;
  }
  if (!OnGetPassword) {
    DoError(run_.outPath, "OnGetPassword", run_.arcPath, E_EventNotAssigned);
    return false;
  }
  for (int32_t k = 0; k < PasswordAttempts && !cancel_; ++k) {
    std::string pw = currentPassword_;
    TSeedKeyRecord hk = SeedHeaderKeys.Keys(), dk = SeedDataKeys.Keys();  // returned keys are not used
    bool again = true;
    OnGetPassword(*this, run_.outPath, pw, hk, dk, again);
    if (!again) {
      DoError(run_.outPath, std::string(ErrorText(E_UserCanceled)), run_.arcPath, E_InvalidPassword);
      return false;
    }
    if (tryPw(pw)) {
      currentPassword_ = pw;
      Passwords.insert(Passwords.begin(), pw);
      return true;
    }
    DoError(run_.outPath, pw, run_.arcPath, E_InvalidPassword);
    currentPassword_.clear();
  }
  return false;
}

void TUnZip::ExtractEntry(Volumes& vols, TZipEntry& e, uint32_t dataDisk, uint64_t dataOffset,
                          uint32_t expectedCrc, bool localNameDiffers) {
  entryCounted_ = entryEnded_ = false;
  run_.entryName = e.name;
  TOutputPath op;
  if (e.nameValid) op = BuildOutputPath(e.name, ExtractDir(), UseStoredDirs);
  auto dropProgress = [&] { progressTotal_ -= std::min(progressTotal_, e.unpacked); };
  if (!op.safe) {
    run_.outPath.clear();
    DoError(e.name, "unsafe path", run_.arcPath, E_OpenError);
    dropProgress();
    return;
  }
  std::string path = op.path;
  run_.outPath = path;
  if (localNameDiffers) DoError(path, "local name differs from the directory's", run_.arcPath, E_BadFileHeader);
  if (!BeginDecision(path, op.directory)) {
    dropProgress();
    return;
  }
  run_.outPath = path;
  // Refused after the begin decision, as any entry that is not written: OnBegin had it, OnEnd
  // gets False.
  std::string key = path;
  while (key.size() > 1 && key.back() == '/') key.pop_back();
  const char* refusal =
      // Inside the program a name is CP1251 text: this one would be written under its '?' form,
      // which other entries may share and by which the file could not be found again.
      !e.nameExact ? "name outside the code page"
      : e.overlaps ? "overlaps an earlier entry"
      // Two entries of one run never end in one output, nor in one file under two names.
      : outputs_.count(key) || (!op.directory && WrittenEarlier(path)) ? "output of an earlier entry"
                                                                       : nullptr;
  if (refusal) {
    dropProgress();
    RefuseEntry(path, refusal);
    return;
  }
  ++run_.count;
  entryCounted_ = true;
  // From here on every way out of the entry ends with the CRC check (OnEnd or 25151).

  if (op.directory) {
    // A folder claims its name only when it is made.
    if (CreateStoredDirs) {
      if (!MakeFolders(path)) {
        DoError(path, "", run_.arcPath, E_OpenError);
        CrcCheck(false);
        return;
      }
      outputs_.insert(key);
    }
    CrcCheck(true);
    return;
  }

  uint16_t method = e.method;
  if (method == 99 && e.encKind <= 5) method = e.aesMethod;
  EntryReader in(vols, dataDisk, dataOffset, e.packed);
  if (!MethodSupported(method)) {
    DoError(path, "", run_.arcPath, E_UnsupportedMethod);
    dropProgress();
    CrcCheck(false);
    return;
  }
  // Strong encryption (flag bit 6) is not deciphered here: the entry is skipped.
  bool skip = e.encKind != ekNone && (e.flags & 0x40);
  std::unique_ptr<TraditionalCipher> trad;
  std::unique_ptr<AesDecrypter> aes;
  if (!skip && e.encKind != ekNone) {
    if (!PasswordCheck(in, e, trad, aes)) skip = true;
  }
  if (skip) {
    dropProgress();
    CrcCheck(false);
    return;
  }
  in.trad = trad.get();
  in.aes = aes.get();
  const bool ae2 = e.encKind >= 3 && e.encKind <= 5;
  const bool ae = e.encKind <= 5;
  if (ae) in.SetRemaining(in.Remaining() >= 10 ? in.Remaining() - 10 : 0);

  // Create the output; an existing regular file is replaced, nothing else is written through.
  std::unique_ptr<OutputFile> out;
  if (MakeFolders(ExtractFilePath(path))) {
    FileStat st = svc_.fs->stat(path);
    if (st.kind == FileKind::Regular) svc_.fs->removeFile(path);
    out = svc_.fs->createFile(path);
    if (out) {
      outputs_.insert(key);
      NoteOutput(path);
    }
  }
  if (!out) {
    DoError(path, "", run_.arcPath, E_WriteError);
    dropProgress();
    CrcCheck(false);
    return;
  }
  Sink sink(*this, *out, path, e.unpacked);
  ZipDecodeStatus status = ZipDecodeStatus::Ok;
  if (in.Remaining() > 0) status = DecodeZipEntry(method, in, sink, e.unpacked, e.flags);

  // File time and close.
  std::time_t t = DateAttribute == TDateAttribute::daSysDate       ? svc_.now()
                  : DateAttribute == TDateAttribute::daMaxFileDate ? DosDateTimeToUnix(run_.latestDos)
                                                                   : DosDateTimeToUnix(e.dosTime);
  out->setTime(t);
  if (!out->close()) DoError(path, "", run_.arcPath, E_CloseError);
  out.reset();
  if (RestoreFileAttr && e.extAttr != 0x20) {
    uint32_t mode = 0;
    // Unix modes: only those of regular files and folders; a link's 0777 is no file's mode.
    const uint32_t unixMode = e.extAttr >> 16, type = unixMode & 0170000u;
    if ((e.versionMadeBy >> 8) == 3 && (type == 0100000u || type == 0040000u)) mode = unixMode & 0777;
    if (e.extAttr & 0x01) mode = (mode ? mode : 0644) & ~0222u;
    if (mode) svc_.fs->setMode(path, mode);
  }
  if (sink.writeError) {
    CrcCheck(false);
    return;
  }
  bool pass = status == ZipDecodeStatus::Ok && !sink.overflow && !in.Truncated() && sink.written == e.unpacked;
  if (ae) {
    // The authentication code covers all of the entry's enciphered data, also what the decoder
    // left unread after the end of its stream.
    in.SkipData(in.Remaining());
    uint8_t code[10];
    in.SetRemaining(10);
    bool verified = !in.Truncated() && in.ReadRaw(code, 10) == 10 && aes && aes->Verify(code);
    pass = pass && verified;
    if (!ae2) {  // AE-1 keeps the CRC as well
      uint32_t computed = ~sink.crc;
      pass = pass && (computed == expectedCrc || (computed ^ 0xFFFFFFFFu) == expectedCrc);
    }
  } else {
    uint32_t computed = ~sink.crc;
    pass = pass && (computed == expectedCrc || (computed ^ 0xFFFFFFFFu) == expectedCrc);
  }
  CrcCheck(pass);
}

}  // namespace arc
