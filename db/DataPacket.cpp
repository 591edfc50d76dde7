#include "db/DataPacket.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/codepage.h"
#include "platform/dates.h"
#include "platform/strutil.h"

namespace cds {

namespace {

[[noreturn]] void fail(const std::string& src, const std::string& what) { throw EDBClient(src + ": " + what); }

// Gives the pages of a mapped packet that the reader has passed back to the system,
// so that a large packet does not stay resident beside the rows made from it.
class PageReleaser {
public:
  PageReleaser(const char* base, size_t size) : base_(base), size_(size) {}
  void upTo(size_t off) {
    if (!base_ || off < released_ + kStep || off > size_) return;
    size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    size_t aligned = off / page * page;
    if (aligned <= released_) return;
    ::madvise(const_cast<char*>(base_) + released_, aligned - released_, MADV_DONTNEED);
    released_ = aligned;
  }

private:
  static constexpr size_t kStep = size_t(8) << 20;
  const char* base_;
  size_t size_;
  size_t released_ = 0;
};

// A read-only private mapping of a whole file.
class MappedFile {
public:
  explicit MappedFile(const std::string& fileName) {
    int fd = ::open(platform::ToFsPath(fileName).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw EDBClient("Cannot open file \"" + fileName + "\"");
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      throw EDBClient("Cannot read file \"" + fileName + "\"");
    }
    size_ = static_cast<size_t>(st.st_size);
    if (size_ > 0) {
      void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
      if (p == MAP_FAILED) {
        ::close(fd);
        throw EDBClient("Cannot read file \"" + fileName + "\"");
      }
      data_ = static_cast<const char*>(p);
    }
    ::close(fd);
  }
  ~MappedFile() {
    if (data_) ::munmap(const_cast<char*>(data_), size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  std::string_view view() const { return data_ ? std::string_view(data_, size_) : std::string_view(); }

private:
  const char* data_ = nullptr;
  size_t size_ = 0;
};

std::string utf8Of(uint32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

bool allDigits(std::string_view s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return !s.empty();
}

int num(std::string_view s) {
  int v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

// "yyyymmdd" -> days since 30.12.1899
bool parseDate8(std::string_view s, int32_t& days) {
  if (s.size() != 8 || !allDigits(s)) return false;
  double d;
  if (!platform::TryEncodeDate(num(s.substr(0, 4)), num(s.substr(4, 2)), num(s.substr(6, 2)), d)) return false;
  days = static_cast<int32_t>(d);
  return true;
}

// "hh:nn:ss" with an optional tail of milliseconds ("mmm") or of 1/10000 s ("ffff")
// -> ticks since midnight
bool parseTime(std::string_view s, int64_t& ticks) {
  if (s.size() != 8 && s.size() != 11 && s.size() != 12) return false;
  if (s[2] != ':' || s[5] != ':') return false;
  std::string_view h = s.substr(0, 2), n = s.substr(3, 2), sec = s.substr(6, 2);
  if (!allDigits(h) || !allDigits(n) || !allDigits(sec)) return false;
  int fraction = 0;
  if (s.size() > 8) {
    if (!allDigits(s.substr(8))) return false;
    fraction = num(s.substr(8)) * (s.size() == 11 ? static_cast<int>(kTicksPerSecond / 1000) : 1);
  }
  int hh = num(h), nn = num(n), ss = num(sec);
  if (hh > 23 || nn > 59 || ss > 59) return false;
  ticks = (hh * 3600LL + nn * 60LL + ss) * kTicksPerSecond + fraction;
  return true;
}

std::string twoDigits(int v) {
  std::string s = std::to_string(v);
  return s.size() < 2 ? "0" + s : s;
}

std::string date8(int32_t days) {
  int y, m, d;
  platform::DecodeDate(static_cast<double>(days), y, m, d);
  char buf[16];
  int n = std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
  return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

// "hh:nn:ss", with "mmm" when the milliseconds are not 0 and "ffff" when the time
// has a part of a millisecond (the ticks of the database's precision).
std::string timeText(int64_t ticks) {
  int64_t secs = ticks / kTicksPerSecond;
  int64_t fraction = ticks % kTicksPerSecond;
  std::string s = twoDigits(static_cast<int>(secs / 3600)) + ":" + twoDigits(static_cast<int>(secs / 60 % 60)) + ":" +
                  twoDigits(static_cast<int>(secs % 60));
  if (fraction) {
    const bool ms = fraction % (kTicksPerSecond / 1000) == 0;
    std::string f = std::to_string(ms ? fraction / (kTicksPerSecond / 1000) : fraction);
    while (f.size() < (ms ? 3u : 4u)) f.insert(0, "0");
    s += f;
  }
  return s;
}

void splitStamp(int64_t ticks, int32_t& days, int64_t& rest) {
  int64_t d = ticks / kTicksPerDay;
  rest = ticks % kTicksPerDay;
  if (rest < 0) {
    rest += kTicksPerDay;
    --d;
  }
  days = static_cast<int32_t>(d);
}

const char* kB64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(std::string_view in) {
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
    out += kB64[v >> 18];
    out += kB64[(v >> 12) & 63];
    out += kB64[(v >> 6) & 63];
    out += kB64[v & 63];
  }
  if (i < in.size()) {
    uint32_t v = uint8_t(in[i]) << 16;
    if (i + 1 < in.size()) v |= uint8_t(in[i + 1]) << 8;
    out += kB64[v >> 18];
    out += kB64[(v >> 12) & 63];
    out += i + 1 < in.size() ? kB64[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool base64Decode(std::string_view in, std::string& out) {
  out.clear();
  uint32_t acc = 0;
  int bits = 0;
  size_t pad = 0;
  for (char c : in) {
    if (c == ' ' || c == '\r' || c == '\n' || c == '\t') continue;
    if (c == '=') {
      ++pad;
      continue;
    }
    if (pad) return false;
    const char* p = std::strchr(kB64, c);
    if (!p || c == 0) return false;
    acc = (acc << 6) | static_cast<uint32_t>(p - kB64);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return pad <= 2;
}

// Takes what the rows of one packet make from its budget, refusing the packet past it. A
// null field costs a packet nothing (an XML row leaves it out, a binary row gives it 2
// bits), but it keeps its slot in the row record, and a modified row copies the texts it
// takes from its original, so a packet of a few hundred kilobytes could otherwise take
// gigabytes. Everything is taken before it is made: a binary packet's records on its
// header, an XML packet's row by row, and each row's texts before the row is added.
class RowBudget {
public:
  RowBudget(TPacketBudget& budget, const std::string& src) : budget_(budget), src_(src) {}
  // Takes what `rows` rows of `rowBytes` each will hold.
  void takeRows(uint64_t rows, size_t rowBytes, size_t fields) {
    if (rowBytes != 0 && (rows > budget_.Limit() / rowBytes || !budget_.Take(static_cast<size_t>(rows) * rowBytes)))
      fail(src_, std::to_string(rows) + " rows of " + std::to_string(fields) + " fields would take " +
                     megabytes(static_cast<double>(rows) * static_cast<double>(rowBytes)) + " of memory, more than the " +
                     allowed());
  }
  // Takes what a change log of `entries` entries holds (its numbers and the pairs made of them).
  void takeLog(size_t entries) {
    constexpr size_t kEntryBytes = 128;
    if (entries > budget_.Limit() / kEntryBytes || !budget_.Take(entries * kEntryBytes))
      fail(src_, "the change log of " + std::to_string(entries) + " entries takes more than the " + allowed());
  }
  // Takes what row `rowNo` holds.
  void takeRow(size_t bytes, size_t rowNo, size_t fields) {
    if (!budget_.Take(bytes))
      fail(src_, "row " + std::to_string(rowNo) + ": the rows of " + std::to_string(fields) +
                     " fields take more than the " + allowed());
  }

private:
  static std::string megabytes(double bytes) {
    return std::to_string(static_cast<uint64_t>(std::ceil(bytes / (1024.0 * 1024.0)))) + " MB";
  }
  std::string allowed() const { return budget_.Allowed() + "; the packet is refused"; }
  TPacketBudget& budget_;
  const std::string& src_;
};

// What the texts and blobs of a row take once stored (each with its length).
size_t TextBytes(const Value& v) {
  return !v.isNull() && IsTextType(v.type()) ? v.rawText().size() + (v.rawText().size() < 128 ? 1 : 5) : 0;
}
size_t TextBytes(const std::vector<Value>& vals) {
  size_t n = 0;
  for (const Value& v : vals) n += TextBytes(v);
  return n;
}
size_t TextBytes(const std::vector<const Value*>& row) {
  size_t n = 0;
  for (const Value* v : row) n += TextBytes(*v);
  return n;
}

// What a copy of a row's values takes.
size_t ValuesBytes(const std::vector<Value>& vals) { return vals.size() * sizeof(Value) + TextBytes(vals); }

// A copy of the values a row refers to.
std::vector<Value> CopyOf(const std::vector<const Value*>& row) {
  std::vector<Value> copy;
  copy.reserve(row.size());
  for (const Value* v : row) copy.push_back(*v);
  return copy;
}

// ============================================================ XML form

struct XmlAttr {
  std::string_view name, raw;  // raw: the value as written, references not yet decoded
};

// The packet's change log (the CHANGE_LOG parameter): triples of a row number, the
// number of the row it was made from (0 for none) and its change kind, rows counted
// from 1 in packet order. It pairs a modified row with its original version; where a
// packet has no log (or the log does not name the row) the original is the row just
// before it.
class ChangeLog {
public:
  // Reads the numbers; false when they are not whole triples of non-negative numbers.
  bool set(const std::vector<int64_t>& numbers) {
    if (numbers.size() % 3 != 0) return false;
    for (size_t i = 0; i < numbers.size(); i += 3) {
      if (numbers[i] <= 0 || numbers[i + 1] < 0 || numbers[i + 2] < 0) return false;
      if (numbers[i + 1] == 0) continue;
      originalOf_[static_cast<size_t>(numbers[i])] = static_cast<size_t>(numbers[i + 1]);
      wanted_.insert(static_cast<size_t>(numbers[i + 1]));
    }
    return true;
  }
  // The original the log names for a row, or 0.
  size_t originalOf(size_t row) const {
    auto it = originalOf_.find(row);
    return it == originalOf_.end() ? 0 : it->second;
  }
  // Keeps the values of a row that the log names as an original, taking their memory
  // from the packet's budget.
  bool wants(size_t row) const { return wanted_.count(row) != 0; }
  void keep(size_t row, const std::vector<Value>& vals, RowBudget& budget) {
    if (!wanted_.count(row)) return;
    budget.takeRow(ValuesBytes(vals), row, vals.size());
    kept_[row] = vals;
  }
  // The values of an original read before; nullptr when it has not been read.
  const std::vector<Value>* kept(size_t row) const {
    auto it = kept_.find(row);
    return it == kept_.end() ? nullptr : &it->second;
  }

private:
  std::unordered_map<size_t, size_t> originalOf_;
  std::unordered_set<size_t> wanted_;
  std::unordered_map<size_t, std::vector<Value>> kept_;
};

// The original version a modified row takes its other fields from: the one the change
// log names, else (by position) the original read just before it; nullptr for none.
const std::vector<Value>* OriginalFor(const ChangeLog& log, size_t rowNo, const std::vector<Value>* previous,
                                      const std::string& src) {
  if (const size_t orig = log.originalOf(rowNo)) {
    if (orig >= rowNo || !log.kept(orig))
      fail(src, "row " + std::to_string(rowNo) + ": the change log names row " + std::to_string(orig) +
                    " as its original, and no such row comes before it");
    return log.kept(orig);
  }
  return previous;
}

class XmlPacketReader {
public:
  XmlPacketReader(std::string_view data, const std::string& src, TClientDataSet& ds, PageReleaser* rel,
                  TPacketBudget& budget)
      : d_(data), src_(src), ds_(ds), rel_(rel), budget_(budget, src) {}
  void run();

private:
  struct Col {
    TFieldDef def;
    bool base64 = false;
  };

  [[noreturn]] void bad(const std::string& what) const {
    fail(src_, "damaged data packet (" + what + " at byte " + std::to_string(p_) + ")");
  }
  void skipBlanks() {
    while (p_ < d_.size() && (d_[p_] == ' ' || d_[p_] == '\t' || d_[p_] == '\r' || d_[p_] == '\n')) ++p_;
  }
  void skipPast(std::string_view end, const char* what) {
    size_t e = d_.find(end, p_);
    if (e == std::string_view::npos) bad(std::string("unterminated ") + what);
    p_ = e + end.size();
  }
  // Reads one tag after '<'. Returns false for an end tag (name set).
  bool readTag(std::string_view& name, std::vector<XmlAttr>& attrs, bool& selfClosing);
  std::string decode(std::string_view raw, const char* fieldName, size_t row) const;
  void onField(const std::vector<XmlAttr>& attrs);
  void begin() {
    std::vector<TFieldDef> defs;
    names_.clear();
    // A row names a field as its FIELD element wrote it: in UTF-8 in a UTF-8 packet.
    for (const Col& c : cols_) {
      defs.push_back(c.def);
      names_.push_back(utf8_ ? platform::Cp1251ToUtf8(c.def.Name) : c.def.Name);
    }
    byName_.clear();
    byName_.reserve(names_.size());
    for (size_t i = 0; i < names_.size(); ++i) byName_.emplace(names_[i], i);  // the first of equal names
    if (defs.empty()) fail(src_, "data packet has no field definitions");
    vals_.assign(cols_.size(), Value());
    row_.assign(cols_.size(), nullptr);
    ds_.BeginBulk(std::move(defs));
    rowBytes_ = ds_.RowBytes();
    begun_ = true;
  }
  void onRow(const std::vector<XmlAttr>& attrs, size_t rowNo);
  void onParams(const std::vector<XmlAttr>& attrs);
  Value parseValue(size_t col, std::string_view raw, size_t rowNo);
  [[noreturn]] void badValue(size_t rowNo, const std::string& field, std::string_view v, const char* kind) const {
    fail(src_, "row " + std::to_string(rowNo) + ", field " + field + ": invalid " + kind + " value '" +
                   std::string(v.substr(0, 64)) + "'");
  }

  std::string_view d_;
  const std::string& src_;
  TClientDataSet& ds_;
  PageReleaser* rel_;
  RowBudget budget_;
  size_t rowBytes_ = 0;
  size_t p_ = 0;
  bool utf8_ = false;
  bool begun_ = false;
  std::vector<Col> cols_;
  std::vector<Value> vals_;           // the values a row carries
  std::vector<const Value*> row_;     // the row's values: its own or its original's
  std::vector<Value> origVals_;
  bool haveOrig_ = false;
  ChangeLog log_;
  std::vector<std::string> names_;
  std::unordered_map<std::string_view, size_t> byName_;  // views of names_
};

// Bytes that end an element or attribute name.
struct NameEnds {
  bool tag[256] = {};
  bool attr[256] = {};
  NameEnds() {
    for (unsigned char c : std::string_view(" \t\r\n/>", 6)) tag[c] = attr[c] = true;
    attr[static_cast<unsigned char>('=')] = true;
    tag[0] = attr[0] = true;
  }
};
const NameEnds kNameEnds;

bool XmlPacketReader::readTag(std::string_view& name, std::vector<XmlAttr>& attrs, bool& selfClosing) {
  attrs.clear();
  selfClosing = false;
  bool end = false;
  if (p_ < d_.size() && d_[p_] == '/') {
    end = true;
    ++p_;
  }
  size_t s = p_;
  while (p_ < d_.size() && !kNameEnds.tag[static_cast<unsigned char>(d_[p_])]) ++p_;
  name = d_.substr(s, p_ - s);
  if (name.empty()) bad("element without a name");
  for (;;) {
    skipBlanks();
    if (p_ >= d_.size()) bad("unterminated element");
    char c = d_[p_];
    if (c == '>') {
      ++p_;
      return !end;
    }
    if (c == '/') {
      if (p_ + 1 >= d_.size() || d_[p_ + 1] != '>') bad("malformed element end");
      p_ += 2;
      selfClosing = true;
      if (end) bad("malformed end tag");
      return true;
    }
    if (end) bad("attributes in an end tag");
    size_t ns = p_;
    while (p_ < d_.size() && !kNameEnds.attr[static_cast<unsigned char>(d_[p_])]) ++p_;
    std::string_view an = d_.substr(ns, p_ - ns);
    skipBlanks();
    if (an.empty() || p_ >= d_.size() || d_[p_] != '=') bad("malformed attribute");
    ++p_;
    skipBlanks();
    if (p_ >= d_.size() || (d_[p_] != '"' && d_[p_] != '\'')) bad("attribute value without quotes");
    char q = d_[p_++];
    size_t vs = p_;
    size_t ve = d_.find(q, p_);
    if (ve == std::string_view::npos) bad("unterminated attribute value");
    p_ = ve + 1;
    attrs.push_back({an, d_.substr(vs, ve - vs)});
  }
}

std::string XmlPacketReader::decode(std::string_view raw, const char* fieldName, size_t row) const {
  if (raw.find('&') == std::string_view::npos && !utf8_) return std::string(raw);
  std::string out;
  out.reserve(raw.size());
  bool anyUtf8 = false;
  for (size_t i = 0; i < raw.size();) {
    char c = raw[i];
    if (c != '&') {
      if (static_cast<unsigned char>(c) >= 0x80) anyUtf8 = true;
      out += c;
      ++i;
      continue;
    }
    size_t semi = raw.find(';', i);
    if (semi == std::string_view::npos || semi - i > 12) {
      fail(src_, "row " + std::to_string(row) + ", field " + fieldName + ": bad character reference");
    }
    std::string_view ent = raw.substr(i + 1, semi - i - 1);
    i = semi + 1;
    if (ent == "lt") out += '<';
    else if (ent == "gt") out += '>';
    else if (ent == "amp") out += '&';
    else if (ent == "quot") out += '"';
    else if (ent == "apos") out += '\'';
    else if (ent.size() >= 2 && ent[0] == '#') {
      uint32_t cp = 0;
      std::from_chars_result r;
      if (ent[1] == 'x' || ent[1] == 'X') r = std::from_chars(ent.data() + 2, ent.data() + ent.size(), cp, 16);
      else r = std::from_chars(ent.data() + 1, ent.data() + ent.size(), cp, 10);
      if (r.ec != std::errc() || r.ptr != ent.data() + ent.size() || cp > 0x10FFFF || (utf8_ && cp == 0))
        fail(src_, "row " + std::to_string(row) + ", field " + fieldName + ": bad character reference");
      if (utf8_) {
        out += utf8Of(cp);
        anyUtf8 = anyUtf8 || cp >= 0x80;
      } else if (cp <= 255) {
        out += static_cast<char>(cp);  // the CP1251 byte of that value
      } else {
        out += platform::Utf8ToCp1251(utf8Of(cp));
      }
    } else {
      fail(src_, "row " + std::to_string(row) + ", field " + fieldName + ": unknown entity &" + std::string(ent) + ";");
    }
  }
  if (utf8_ && anyUtf8) return platform::Utf8ToCp1251(out);
  return out;
}

std::string_view attrOf(const std::vector<XmlAttr>& attrs, std::string_view name) {
  for (const XmlAttr& a : attrs)
    if (platform::SameText(a.name, name)) return a.raw;
  return std::string_view();
}

void XmlPacketReader::onField(const std::vector<XmlAttr>& attrs) {
  Col col;
  std::string name = decode(attrOf(attrs, "attrname"), "attrname", 0);
  if (name.empty()) fail(src_, "field " + std::to_string(cols_.size()) + " has no name");
  std::string type(attrOf(attrs, "fieldtype"));
  std::string subtype(attrOf(attrs, "SUBTYPE"));
  int width = 0, decimals = 0;
  std::string_view w = attrOf(attrs, "WIDTH"), dec = attrOf(attrs, "DECIMALS");
  if (!w.empty() && (!platform::TryStrToInt(w, width) || width < 0))
    fail(src_, "field " + name + ": bad WIDTH '" + std::string(w) + "'");
  if (!dec.empty() && (!platform::TryStrToInt(dec, decimals) || decimals < 0 || decimals > 18))
    fail(src_, "field " + name + ": bad DECIMALS '" + std::string(dec) + "'");
  col.def.Name = name;
  col.def.Size = width;
  col.def.Required = platform::SameText(attrOf(attrs, "required"), "true");
  col.def.ReadOnly = platform::SameText(attrOf(attrs, "readonly"), "true");
  if (type == "i1" || type == "i2" || type == "ui1") col.def.DataType = FType::I16;
  else if (type == "i4" || type == "ui2") col.def.DataType = FType::I32;
  else if (type == "i8" || type == "ui4") col.def.DataType = FType::I64;
  else if (type == "r8") col.def.DataType = FType::F64;
  else if (type == "fixed" || type == "fixedFMT") {
    col.def.DataType = FType::Dec;
    col.def.Scale = decimals;
  } else if (type == "string" || type == "string.uni") col.def.DataType = FType::Str;
  else if (type == "date") col.def.DataType = FType::Date;
  else if (type == "time") col.def.DataType = FType::Time;
  else if (type == "dateTime" || type == "SQLdateTime") col.def.DataType = FType::Stamp;
  else if (type == "boolean") col.def.DataType = FType::Bool;
  else if (type == "bin.hex") {
    if (platform::SameText(subtype, "Text") || platform::SameText(subtype, "WideText")) {
      col.def.DataType = FType::Memo;
    } else {
      col.def.DataType = FType::Blob;
      col.base64 = true;
    }
  } else if (type == "nested" || type.empty()) {
    fail(src_, "field " + name + ": unsupported field type '" + (type.empty() ? std::string("nested") : type) + "'");
  } else {
    fail(src_, "field " + name + ": unsupported field type '" + type + "'");
  }
  cols_.push_back(std::move(col));
}

Value XmlPacketReader::parseValue(size_t c, std::string_view raw, size_t rowNo) {
  const Col& col = cols_[c];
  const std::string& fn = col.def.Name;
  switch (col.def.DataType) {
    case FType::I16:
    case FType::I32:
    case FType::I64: {
      int64_t v = 0;
      auto r = std::from_chars(raw.data(), raw.data() + raw.size(), v);
      if (r.ec != std::errc() || r.ptr != raw.data() + raw.size()) badValue(rowNo, fn, raw, "integer");
      if (col.def.DataType == FType::I16 && (v < -32768 || v > 32767)) badValue(rowNo, fn, raw, "integer");
      if (col.def.DataType == FType::I32 && (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()))
        badValue(rowNo, fn, raw, "integer");
      if (col.def.DataType == FType::I16) return Value::Int16(static_cast<int16_t>(v));
      if (col.def.DataType == FType::I32) return Value::Int32(static_cast<int32_t>(v));
      return Value::Int64(v);
    }
    case FType::F64: {
      double v = 0;
      auto r = std::from_chars(raw.data(), raw.data() + raw.size(), v);
      if (r.ec != std::errc() || r.ptr != raw.data() + raw.size() || !std::isfinite(v))
        badValue(rowNo, fn, raw, "number");
      return Value::Float(v);
    }
    case FType::Dec: {
      int64_t v;
      if (!TextToDecimal(raw, col.def.Scale, v) || platform::Trim(raw).size() != raw.size())
        badValue(rowNo, fn, raw, "decimal");
      return Value::Decimal(v, col.def.Scale);
    }
    case FType::Bool:
      if (platform::SameText(raw, "TRUE")) return Value::Boolean(true);
      if (platform::SameText(raw, "FALSE")) return Value::Boolean(false);
      badValue(rowNo, fn, raw, "boolean");
    case FType::Date: {
      int32_t days;
      if (!parseDate8(raw, days)) badValue(rowNo, fn, raw, "date");
      return Value::Date(days);
    }
    case FType::Time: {
      int64_t t;
      if (!parseTime(raw, t)) badValue(rowNo, fn, raw, "time");
      return Value::Time(static_cast<int32_t>(t));
    }
    case FType::Stamp: {
      int32_t days;
      int64_t t;
      if (raw.size() < 17 || raw[8] != 'T' || !parseDate8(raw.substr(0, 8), days) || !parseTime(raw.substr(9), t))
        badValue(rowNo, fn, raw, "date and time");
      return Value::Stamp(static_cast<int64_t>(days) * kTicksPerDay + t);
    }
    case FType::Str:
    case FType::Memo: return Value::Text(decode(raw, fn.c_str(), rowNo), col.def.DataType);
    case FType::Blob: {
      std::string bytes;
      if (!base64Decode(decode(raw, fn.c_str(), rowNo), bytes)) badValue(rowNo, fn, raw, "binary");
      return Value::Text(bytes, FType::Blob);
    }
  }
  return Value();
}

void XmlPacketReader::onParams(const std::vector<XmlAttr>& attrs) {
  for (const XmlAttr& a : attrs) {
    if (a.name != "CHANGE_LOG") continue;
    std::vector<int64_t> numbers;
    size_t i = 0;
    bool ok = true;
    while (ok) {
      while (i < a.raw.size() && (a.raw[i] == ' ' || a.raw[i] == '\t' || a.raw[i] == '\r' || a.raw[i] == '\n')) ++i;
      if (i >= a.raw.size()) break;
      int64_t v = 0;
      auto r = std::from_chars(a.raw.data() + i, a.raw.data() + a.raw.size(), v);
      ok = r.ec == std::errc() && (r.ptr == a.raw.data() + a.raw.size() || *r.ptr == ' ' || *r.ptr == '\t' ||
                                   *r.ptr == '\r' || *r.ptr == '\n');
      if (ok) numbers.push_back(v);
      i = static_cast<size_t>(r.ptr - a.raw.data());
    }
    if (ok) budget_.takeLog(numbers.size() / 3);
    if (!ok || !log_.set(numbers))
      fail(src_, "bad change log '" + std::string(a.raw.substr(0, 64)) + "'");
  }
}

void XmlPacketReader::onRow(const std::vector<XmlAttr>& attrs, size_t rowNo) {
  int st = 0;
  for (const XmlAttr& a : attrs) {
    if (a.name != "RowState") continue;
    auto r = std::from_chars(a.raw.data(), a.raw.data() + a.raw.size(), st);
    if (r.ec != std::errc() || r.ptr != a.raw.data() + a.raw.size() || st < 0)
      fail(src_, "row " + std::to_string(rowNo) + ": bad RowState '" + std::string(a.raw) + "'");
  }
  if (st & 2) {  // a deleted row
    haveOrig_ = false;
    return;
  }
  // A modified row carries only what changed: its other fields keep the values of its
  // original version.
  // The row refers to those values instead of copying them.
  const std::vector<Value>* original =
      (st & 8) ? OriginalFor(log_, rowNo, haveOrig_ ? &origVals_ : nullptr, src_) : nullptr;
  for (size_t c = 0; c < cols_.size(); ++c) {
    vals_[c] = Value::Null(cols_[c].def.DataType);
    row_[c] = original ? &(*original)[c] : &vals_[c];
  }
  size_t hint = 0;
  for (const XmlAttr& a : attrs) {
    if (a.name == "RowState") continue;
    // Attributes mostly follow the field order: the one after the last match is tried first.
    size_t c = hint < names_.size() && names_[hint] == a.name ? hint : cols_.size();
    if (c == cols_.size()) {
      auto it = byName_.find(a.name);
      if (it == byName_.end()) continue;  // not a column of the packet
      c = it->second;
    }
    hint = c + 1;
    vals_[c] = parseValue(c, a.raw, rowNo);
    row_[c] = &vals_[c];
  }
  if (st & 1 || log_.wants(rowNo)) {
    std::vector<Value> copy = CopyOf(row_);
    log_.keep(rowNo, copy, budget_);
    if (st & 1) {  // the original version of a modified row: kept aside, not loaded
      origVals_ = std::move(copy);
      haveOrig_ = true;
      return;
    }
  }
  haveOrig_ = false;
  budget_.takeRow(rowBytes_ + TextBytes(row_), rowNo, cols_.size());
  ds_.BulkAppend(row_.data(), row_.size());
}

void XmlPacketReader::run() {
  if (d_.size() >= 3 && static_cast<unsigned char>(d_[0]) == 0xEF && static_cast<unsigned char>(d_[1]) == 0xBB &&
      static_cast<unsigned char>(d_[2]) == 0xBF) {
    utf8_ = true;
    p_ = 3;
  }
  enum Where { Top, Packet, Metadata, Fields, Field, Rowdata, Row, Other, Done } where = Top;
  std::vector<Where> stack;
  std::vector<XmlAttr> attrs;
  bool sawFields = false, sawRowdata = false;
  size_t rowNo = 0;
  while (true) {
    size_t lt = d_.find('<', p_);
    if (lt == std::string_view::npos) break;
    p_ = lt + 1;
    if (d_.compare(p_, 3, "!--") == 0) {
      skipPast("-->", "comment");
      continue;
    }
    if (d_.compare(p_, 8, "![CDATA[") == 0) {
      skipPast("]]>", "CDATA section");
      continue;
    }
    if (p_ < d_.size() && d_[p_] == '!') bad("document type declarations are not supported");
    if (p_ < d_.size() && d_[p_] == '?') {
      size_t e = d_.find("?>", p_);
      if (e == std::string_view::npos) bad("unterminated processing instruction");
      std::string_view pi = d_.substr(p_ + 1, e - p_ - 1);
      if (pi.substr(0, 4) == "xml " || pi.substr(0, 4) == "xml\t") {
        size_t enc = pi.find("encoding");
        if (enc != std::string_view::npos) {
          size_t q = pi.find_first_of("\"'", enc);
          size_t qe = q == std::string_view::npos ? q : pi.find(pi[q], q + 1);
          if (q == std::string_view::npos || qe == std::string_view::npos) bad("malformed XML declaration");
          std::string_view e2 = pi.substr(q + 1, qe - q - 1);
          // Text is read as UTF-8 or as CP1251 (ASCII is both); a packet in any other
          // encoding would load garbled.
          const bool bom = utf8_;
          if (platform::SameText(e2, "UTF-8") || platform::SameText(e2, "UTF8")) utf8_ = true;
          else if (bom || !(platform::SameText(e2, "windows-1251") || platform::SameText(e2, "CP1251") ||
                            platform::SameText(e2, "WIN1251") || platform::SameText(e2, "x-cp1251") ||
                            platform::SameText(e2, "US-ASCII") || platform::SameText(e2, "ASCII")))
            fail(src_, "unsupported text encoding '" + std::string(e2.substr(0, 64)) +
                           "' (a data packet is read in UTF-8 or windows-1251)");
        }
      }
      p_ = e + 2;
      continue;
    }
    std::string_view name;
    bool self = false;
    bool open = readTag(name, attrs, self);
    if (!open) {
      if (stack.empty()) bad("unexpected end tag");
      stack.pop_back();
      where = stack.empty() ? Done : stack.back();
      continue;
    }
    Where next = Other;
    if (where == Top && name == "DATAPACKET") next = Packet;
    else if (where == Top) bad("root element is not DATAPACKET");
    else if (where == Done) bad("content after the end of the packet");
    else if (where == Packet && name == "METADATA") next = Metadata;
    else if (where == Metadata && name == "PARAMS") onParams(attrs);
    else if (where == Packet && name == "ROWDATA") {
      if (!sawFields) fail(src_, "data packet has no field definitions");
      if (sawRowdata) bad("second ROWDATA");
      sawRowdata = true;
      begin();
      next = Rowdata;
    } else if (where == Metadata && name == "FIELDS") {
      if (sawFields) bad("second FIELDS");
      sawFields = true;
      next = Fields;
    } else if (where == Fields && name == "FIELD") {
      onField(attrs);
      next = Field;
    } else if (where == Field && name == "FIELDS") {
      fail(src_, "field " + cols_.back().def.Name + ": nested datasets are not supported");
    } else if (where == Rowdata && name == "ROW") {
      onRow(attrs, ++rowNo);
      if (rel_) rel_->upTo(p_);
      next = Row;
    } else if (where == Row) {
      fail(src_, "row " + std::to_string(rowNo) + ": nested rows are not supported");
    }
    if (!self) {
      stack.push_back(next);
      where = next;
    }
  }
  if (where == Top) fail(src_, "not a data packet (no DATAPACKET element)");
  if (!stack.empty()) bad("packet ends before its elements are closed");
  if (!sawFields) fail(src_, "data packet has no field definitions");
  if (!begun_) begin();
  ds_.EndBulk();
}

// ============================================================ binary form

constexpr unsigned char kSignature[4] = {0x96, 0x19, 0xE0, 0xBD};

enum BinKind { bkInt = 1, bkUInt = 2, bkBool = 3, bkFloat = 4, bkBcd = 5, bkDate = 6, bkTime = 7, bkStamp = 8,
               bkString = 9, bkWString = 10, bkBytes = 11 };
constexpr uint16_t kVarying = 0x40, kArray = 0x80;
constexpr int64_t kDateDeltaYear1 = 693594;  // day number of 30.12.1899 counted from 01.01.0001

// A place in the records of a binary packet, named in error texts: "row 5, field NAME
// length". Only formatted when an error is raised.
struct RecordPlace {
  size_t row;
  const std::string* field;
  const char* part;
};

const std::string& placeText(const std::string& what) { return what; }
std::string placeText(const RecordPlace& p) {
  std::string s = "row " + std::to_string(p.row);
  if (p.field) s += ", field " + *p.field;
  return s + p.part;
}

class BinReader {
public:
  BinReader(std::string_view d, const std::string& src) : d_(d), src_(src) {}
  size_t pos() const { return p_; }
  bool atEnd() const { return p_ >= d_.size(); }
  template <class What>
  void need(size_t n, const What& what) const {
    if (n > d_.size() - p_)
      fail(src_, "damaged data packet: " + placeText(what) + " runs past the end of the file (byte " +
                     std::to_string(p_) + ")");
  }
  template <class What>
  std::string_view bytes(size_t n, const What& what) {
    need(n, what);
    std::string_view r = d_.substr(p_, n);
    p_ += n;
    return r;
  }
  template <class What>
  uint64_t uint(size_t n, const What& what) {
    std::string_view b = bytes(n, what);
    uint64_t v = 0;
    for (size_t i = n; i-- > 0;) v = (v << 8) | static_cast<unsigned char>(b[i]);
    return v;
  }
  [[noreturn]] void error(const std::string& what) const { fail(src_, "damaged data packet: " + what); }
  std::string_view shortString(const std::string& what) {
    size_t n = static_cast<size_t>(uint(1, what));
    return bytes(n, what);
  }

private:
  std::string_view d_;
  const std::string& src_;
  size_t p_ = 0;
};

struct BinProp {
  std::string name;
  uint16_t type = 0;
  std::string data;  // raw bytes (for varying values without the length prefix)
};

BinProp readProp(BinReader& r, const std::string& owner) {
  BinProp p;
  p.name = std::string(r.shortString(owner + " property name"));
  std::string what = owner + " property " + p.name;
  uint16_t size = static_cast<uint16_t>(r.uint(2, what));
  p.type = static_cast<uint16_t>(r.uint(2, what));
  if (p.type & kArray) {
    uint64_t count = r.uint(4, what);
    if (size != 0 && count > (1u << 30) / size) r.error(what + " has a bad element count");
    p.data = std::string(r.bytes(static_cast<size_t>(count) * size, what));
  } else if (p.type & kVarying) {
    if (size != 1 && size != 2 && size != 4) r.error(what + " has a bad length width");
    size_t len = static_cast<size_t>(r.uint(size, what));
    p.data = std::string(r.bytes(len, what));
  } else {
    p.data = std::string(r.bytes(size, what));
  }
  return p;
}

int64_t propInt(const BinProp& p) {
  uint64_t v = 0;
  for (size_t i = std::min<size_t>(p.data.size(), 8); i-- > 0;) v = (v << 8) | static_cast<unsigned char>(p.data[i]);
  return static_cast<int64_t>(v);
}

struct BinCol {
  TFieldDef def;
  uint16_t size = 0, type = 0;
};

// The platform's 34-byte BCD: precision, sign bit and decimal places, then digit nibbles.
bool decodeBcd(std::string_view b, int scale, int64_t& out) {
  if (b.size() != 34) return false;
  int prec = static_cast<unsigned char>(b[0]);
  int sp = static_cast<unsigned char>(b[1]);
  bool neg = (sp & 0x80) != 0;
  int places = sp & 0x3F;
  if (prec > 64 || places > prec) return false;
  Int128 v = 0;
  for (int i = 0; i < prec; ++i) {
    unsigned char byte = static_cast<unsigned char>(b[2 + i / 2]);
    int dgt = (i % 2 == 0) ? (byte >> 4) : (byte & 0x0F);
    if (dgt > 9) return false;
    v = v * 10 + dgt;
    if (v > (static_cast<Int128>(1) << 100)) return false;
  }
  // The value must stay an int64 once scaled: a larger one is refused before it is multiplied.
  const Int128 kMax = std::numeric_limits<int64_t>::max();
  while (places < scale) {
    if (v > kMax / 10) return false;
    v *= 10;
    ++places;
  }
  while (places > scale) {
    v /= 10;
    --places;
  }
  if (neg) v = -v;
  if (v > std::numeric_limits<int64_t>::max() || v < std::numeric_limits<int64_t>::min()) return false;
  out = static_cast<int64_t>(v);
  return true;
}

std::string encodeBcd(int64_t unscaled, int scale) {
  std::string b(34, '\0');
  bool neg = unscaled < 0;
  uint64_t mag = neg ? (~static_cast<uint64_t>(unscaled) + 1) : static_cast<uint64_t>(unscaled);
  std::string digits = std::to_string(mag);
  while (static_cast<int>(digits.size()) <= scale) digits.insert(0, "0");
  b[0] = static_cast<char>(digits.size());
  b[1] = static_cast<char>((neg ? 0x80 : 0) | scale);
  for (size_t i = 0; i < digits.size(); ++i) {
    int dgt = digits[i] - '0';
    unsigned char& byte = reinterpret_cast<unsigned char&>(b[2 + i / 2]);
    if (i % 2 == 0) byte = static_cast<unsigned char>(dgt << 4);
    else byte = static_cast<unsigned char>(byte | dgt);
  }
  return b;
}

void readBinary(std::string_view data, const std::string& src, TClientDataSet& ds, PageReleaser* rel,
                TPacketBudget& packetBudget) {
  BinReader r(data, src);
  std::string_view sig = r.bytes(4, "header");
  if (std::memcmp(sig.data(), kSignature, 4) != 0) fail(src, "not a binary data packet (bad signature)");
  r.uint(4, "header");  // version
  r.uint(4, "header");
  size_t fieldCount = static_cast<size_t>(r.uint(2, "header field count"));
  const uint64_t headerRecords = r.uint(4, "header record count");
  r.uint(4, "header");
  const uint64_t headerMetadata = r.uint(2, "header metadata size");
  const size_t metadataStart = r.pos();
  if (fieldCount == 0) fail(src, "data packet has no field definitions");
  std::vector<BinCol> cols(fieldCount);
  for (size_t i = 0; i < fieldCount; ++i) {
    BinCol& c = cols[i];
    std::string fieldWhat = "field " + std::to_string(i);
    c.def.Name = std::string(r.shortString(fieldWhat + " name"));
    if (c.def.Name.empty()) fail(src, fieldWhat + " has no name");
    std::string what = "field " + c.def.Name;
    c.size = static_cast<uint16_t>(r.uint(2, what));
    c.type = static_cast<uint16_t>(r.uint(2, what));
    uint16_t attrs = static_cast<uint16_t>(r.uint(2, what));
    c.def.ReadOnly = (attrs & 2) != 0;
    c.def.Required = (attrs & 4) != 0;
    size_t propCount = static_cast<size_t>(r.uint(2, what));
    std::string subtype;
    int width = 0, decimals = 0;
    for (size_t k = 0; k < propCount; ++k) {
      BinProp p = readProp(r, what);
      if (p.name == "WIDTH") width = static_cast<int>(propInt(p));
      else if (p.name == "DECIMALS") decimals = static_cast<int>(propInt(p));
      else if (p.name == "SUBTYPE") {
        subtype = p.data;
        while (!subtype.empty() && subtype.back() == '\0') subtype.pop_back();
      }
    }
    unsigned kind = c.type & 0x3F;
    bool varying = (c.type & kVarying) != 0;
    if (c.type & kArray) fail(src, what + ": array fields are not supported");
    auto badSize = [&]() { fail(src, what + ": unsupported size " + std::to_string(c.size) + " for its type"); };
    switch (kind) {
      case bkInt:
      case bkUInt:
        if (varying) badSize();
        if (c.size == 1 || (c.size == 2 && kind == bkInt)) c.def.DataType = FType::I16;
        else if (c.size == 2 || (c.size == 4 && kind == bkInt)) c.def.DataType = FType::I32;
        else if (c.size == 4 || c.size == 8) c.def.DataType = FType::I64;
        else badSize();
        if (kind == bkUInt && c.size == 8) fail(src, what + ": unsigned 64-bit fields are not supported");
        break;
      case bkBool:
        if (varying || c.size < 1 || c.size > 4) badSize();
        c.def.DataType = FType::Bool;
        break;
      case bkFloat:
        if (varying || c.size != 8) badSize();
        c.def.DataType = FType::F64;
        break;
      case bkBcd:
        if (varying || c.size != 34) badSize();
        if (decimals < 0 || decimals > 18) fail(src, what + ": bad DECIMALS " + std::to_string(decimals));
        c.def.DataType = FType::Dec;
        c.def.Scale = decimals;
        break;
      case bkDate:
        if (varying || c.size != 4) badSize();
        c.def.DataType = FType::Date;
        break;
      case bkTime:  // milliseconds: a 4-byte number, or a double where they have a fraction
        if (varying || (c.size != 4 && c.size != 8)) badSize();
        c.def.DataType = FType::Time;
        break;
      case bkStamp:
        if (varying || c.size != 8) badSize();
        c.def.DataType = FType::Stamp;
        break;
      case bkString:
      case bkWString:
        if (varying ? (c.size != 1 && c.size != 2 && c.size != 4) : c.size == 0) badSize();
        c.def.DataType = FType::Str;
        c.def.Size = width > 0 ? width : (varying ? 0 : c.size);
        break;
      case bkBytes:
        if (varying ? (c.size != 1 && c.size != 2 && c.size != 4) : c.size == 0) badSize();
        c.def.DataType = (platform::SameText(subtype, "Text") || platform::SameText(subtype, "WideText")) ? FType::Memo
                                                                                                       : FType::Blob;
        break;
      case 12: fail(src, what + ": ADT fields are not supported");
      case 13: fail(src, what + ": array fields are not supported");
      case 14: fail(src, what + ": nested datasets are not supported");
      case 15: fail(src, what + ": reference fields are not supported");
      default: fail(src, what + ": unknown field type " + std::to_string(c.type));
    }
  }
  size_t packetProps = static_cast<size_t>(r.uint(2, "packet properties"));
  RowBudget budget(packetBudget, src);
  ChangeLog log;
  for (size_t k = 0; k < packetProps; ++k) {
    BinProp p = readProp(r, "packet");
    if (p.name != "CHANGE_LOG") continue;
    // An array of 4-byte numbers.
    if (!(p.type & kArray) || p.data.size() % 4 != 0) r.error("packet property CHANGE_LOG is not a list of numbers");
    std::vector<int64_t> numbers;
    for (size_t i = 0; i < p.data.size(); i += 4) {
      uint32_t v = 0;
      for (size_t b = 4; b-- > 0;) v = (v << 8) | static_cast<unsigned char>(p.data[i + b]);
      numbers.push_back(static_cast<int32_t>(v));
    }
    budget.takeLog(numbers.size() / 3);
    if (!log.set(numbers)) r.error("bad change log");
  }
  // The header tells the size of what it describes: a packet whose metadata is longer
  // or shorter than that is damaged.
  if (r.pos() - metadataStart != headerMetadata)
    r.error("the metadata take " + std::to_string(r.pos() - metadataStart) + " bytes, the header says " +
            std::to_string(headerMetadata));

  std::vector<TFieldDef> defs;
  for (const BinCol& c : cols) defs.push_back(c.def);
  size_t bitmapBytes = (fieldCount + 3) / 4;
  // Each record holds at least its status byte and its field statuses.
  if (headerRecords > (data.size() - r.pos()) / (1 + bitmapBytes))
    r.error("the header counts " + std::to_string(headerRecords) + " records, and " +
            std::to_string(data.size() - r.pos()) + " bytes cannot hold them");
  ds.BeginBulk(defs);
  // The header's record count (skipped records included) is checked against the bound
  // before any row is made; the rows read are checked against the count at the end.
  budget.takeRows(headerRecords, ds.RowBytes(), fieldCount);
  std::vector<Value> vals(fieldCount);         // the values a row carries
  std::vector<const Value*> row(fieldCount);   // the row's values: its own or its original's
  size_t rowNo = 0;
  std::vector<Value> original;
  bool haveOriginal = false;
  while (!r.atEnd()) {
    ++rowNo;
    unsigned status = static_cast<unsigned>(r.uint(1, RecordPlace{rowNo, nullptr, " status"}));
    std::string_view bitmap = r.bytes(bitmapBytes, RecordPlace{rowNo, nullptr, " field status"});
    bool skip = (status & (1 | 2 | 0x20)) != 0;
    // A modified row leaves its unchanged fields (status 2) to its original version.
    const std::vector<Value>* from =
        (status & 8) != 0 ? OriginalFor(log, rowNo, haveOriginal ? &original : nullptr, src) : nullptr;
    for (size_t i = 0; i < fieldCount; ++i) {
      const BinCol& c = cols[i];
      unsigned fs = (static_cast<unsigned char>(bitmap[i / 4]) >> ((i % 4) * 2)) & 3;
      row[i] = &vals[i];
      if (fs != 0) {
        // Refers to the original's value instead of copying it.
        vals[i] = Value::Null(c.def.DataType);
        if (fs == 2 && from) row[i] = &(*from)[i];
        continue;
      }
      const RecordPlace what{rowNo, &c.def.Name, ""};
      unsigned kind = c.type & 0x3F;
      bool varying = (c.type & kVarying) != 0;
      switch (kind) {
        case bkInt: {
          uint64_t u = r.uint(c.size, what);
          int shift = 64 - 8 * c.size;
          int64_t v = static_cast<int64_t>(u << shift) >> shift;
          vals[i] = Value::Int64(v).convertTo(c.def.DataType);
          break;
        }
        case bkUInt: vals[i] = Value::Int64(static_cast<int64_t>(r.uint(c.size, what))).convertTo(c.def.DataType); break;
        case bkBool: vals[i] = Value::Boolean(r.uint(c.size, what) != 0); break;
        case bkFloat: {
          uint64_t u = r.uint(8, what);
          double d;
          std::memcpy(&d, &u, 8);
          if (!std::isfinite(d)) fail(src, placeText(what) + ": invalid number");
          vals[i] = Value::Float(d);
          break;
        }
        case bkBcd: {
          int64_t v;
          if (!decodeBcd(r.bytes(34, what), c.def.Scale, v)) fail(src, placeText(what) + ": invalid BCD value");
          vals[i] = Value::Decimal(v, c.def.Scale);
          break;
        }
        case bkDate: {
          int64_t v = static_cast<int32_t>(r.uint(4, what));
          if (v < 1 || v > 3652059) fail(src, placeText(what) + ": invalid date");
          vals[i] = Value::Date(static_cast<int32_t>(v - kDateDeltaYear1));
          break;
        }
        case bkTime: {
          int64_t ticks;
          if (c.size == 4) {
            int64_t ms = static_cast<int32_t>(r.uint(4, what));
            if (ms < 0 || ms >= 86400000) fail(src, placeText(what) + ": invalid time");
            ticks = ms * (kTicksPerSecond / 1000);
          } else {
            uint64_t u = r.uint(8, what);
            double ms;
            std::memcpy(&ms, &u, 8);
            if (!(ms >= 0 && ms < 86400000.0)) fail(src, placeText(what) + ": invalid time");
            ticks = std::min<int64_t>(std::llround(ms * (kTicksPerSecond / 1000)), kTicksPerDay - 1);
          }
          vals[i] = Value::Time(static_cast<int32_t>(ticks));
          break;
        }
        case bkStamp: {
          uint64_t u = r.uint(8, what);
          double ms;
          std::memcpy(&ms, &u, 8);
          // Day 1 is 01.01.0001: a stamp on day 0 names no date.
          if (!std::isfinite(ms) || ms < 86400000.0 || ms >= 3652060.0 * 86400000.0)
            fail(src, placeText(what) + ": invalid date and time");
          double whole = std::floor(ms);
          int64_t msInt = static_cast<int64_t>(whole);
          int64_t ticks = (msInt - kDateDeltaYear1 * 86400000LL) * (kTicksPerSecond / 1000) +
                          std::llround((ms - whole) * (kTicksPerSecond / 1000));
          vals[i] = Value::Stamp(ticks);
          break;
        }
        case bkString:
        case bkWString:
        case bkBytes: {
          std::string_view b;
          if (varying) {
            size_t len = static_cast<size_t>(r.uint(c.size, RecordPlace{rowNo, &c.def.Name, " length"}));
            b = r.bytes(len, what);
          } else {
            b = r.bytes(c.size, what);
            if (kind == bkString) b = b.substr(0, std::min(b.size(), b.find('\0')));
          }
          if (kind == bkWString) {
            if (!varying) {
              size_t n = 0;
              while (n + 1 < b.size() && (b[n] || b[n + 1])) n += 2;
              b = b.substr(0, n);
            }
            if (b.size() % 2) fail(src, placeText(what) + ": odd length of a UTF-16 text");
            vals[i] = Value::Text(platform::ConvertCodepage(b, "UTF-16LE", "CP1251"), FType::Str);
          } else {
            vals[i] = Value::Text(b, c.def.DataType);
          }
          break;
        }
        default: fail(src, placeText(what) + ": unknown field type");
      }
    }
    if ((status & 1) != 0 || log.wants(rowNo)) {
      std::vector<Value> copy = CopyOf(row);
      log.keep(rowNo, copy, budget);
      if ((status & 1) != 0) original = std::move(copy);
    }
    haveOriginal = (status & 1) != 0;
    if (!skip) {
      budget.takeRow(TextBytes(row), rowNo, fieldCount);
      ds.BulkAppend(row.data(), row.size());
    }
    if (rel) rel->upTo(r.pos());
  }
  if (rowNo != headerRecords)
    fail(src, "damaged data packet: " + std::to_string(rowNo) + " records, the header says " +
                  std::to_string(headerRecords));
  ds.EndBulk();
}

// ============================================================ writers

void xmlEscape(std::string& out, std::string_view s) {
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '&') out += "&amp;";
    else if (c == '"') out += "&quot;";
    else if (c >= 0x80 || c < 0x20) {
      out += "&#";
      out += std::to_string(c);
      out += ';';
    } else {
      out += ch;
    }
  }
}

std::string xmlValue(const Value& v) {
  switch (v.type()) {
    case FType::I16:
    case FType::I32:
    case FType::I64: return std::to_string(v.rawInt());
    case FType::F64: {
      char buf[64];
      auto r = std::to_chars(buf, buf + sizeof buf, v.rawFloat());
      return std::string(buf, r.ptr);
    }
    case FType::Dec: return DecimalToText(v.rawInt(), v.scale());
    case FType::Bool: return v.rawInt() ? "TRUE" : "FALSE";
    case FType::Date: return date8(static_cast<int32_t>(v.rawInt()));
    case FType::Time: return timeText(v.rawInt());
    case FType::Stamp: {
      int32_t days;
      int64_t rest;
      splitStamp(v.rawInt(), days, rest);
      std::string t = timeText(rest);
      if (t.size() == 8) t += "000";
      return date8(days) + "T" + t;
    }
    case FType::Str:
    case FType::Memo: return v.rawText();
    case FType::Blob: return base64Encode(v.rawText());
  }
  return std::string();
}

}  // namespace

namespace {

// Runs a reader; a failing load leaves the dataset closed and gives back what it took
// from the budget. Memory that runs out all the same (the budget is larger than what the
// system gives) is named like any other refusal.
template <class Read>
void load(const std::string& sourceName, TClientDataSet& ds, TPacketBudget& budget, Read read) {
  const size_t before = budget.Used();
  try {
    read();
  } catch (const std::bad_alloc&) {
    ds.Close();
    budget.Release(budget.Used() - before);
    fail(sourceName, "not enough memory for the rows of the data packet; the packet is refused");
  } catch (...) {
    ds.Close();
    budget.Release(budget.Used() - before);
    throw;
  }
}

void readAny(std::string_view data, const std::string& sourceName, TClientDataSet& ds, PageReleaser* rel,
             TPacketBudget& budget) {
  if (data.size() >= 4 && std::memcmp(data.data(), kSignature, 4) == 0) {
    load(sourceName, ds, budget, [&] { readBinary(data, sourceName, ds, rel, budget); });
    return;
  }
  size_t i = 0;
  if (data.size() >= 3 && static_cast<unsigned char>(data[0]) == 0xEF && static_cast<unsigned char>(data[1]) == 0xBB &&
      static_cast<unsigned char>(data[2]) == 0xBF)
    i = 3;
  while (i < data.size() && (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == '\n')) ++i;
  if (i < data.size() && data[i] == '<') {
    load(sourceName, ds, budget, [&] { XmlPacketReader(data, sourceName, ds, rel, budget).run(); });
    return;
  }
  if (ds.Active()) ds.Close();
  if (data.empty()) fail(sourceName, "empty file is not a data packet");
  fail(sourceName, "unknown data packet format");
}

}  // namespace

TPacketBudget::TPacketBudget(uint64_t bytes, size_t perByte, const char* source)
    : limit_(bytes > (std::numeric_limits<size_t>::max() - kAllowance) / perByte
                 ? std::numeric_limits<size_t>::max()
                 : kAllowance + static_cast<size_t>(bytes) * perByte),
      sourceBytes_(bytes),
      source_(source) {}

TPacketBudget TPacketBudget::ForPacket(uint64_t bytes) {
  return TPacketBudget(bytes, kBytesPerPacketByte, "a data packet");
}

TPacketBudget TPacketBudget::ForArchive(uint64_t bytes) {
  return TPacketBudget(bytes, kBytesPerArchiveByte, "the data packets of an archive");
}

std::string TPacketBudget::Allowed() const {
  return std::to_string((limit_ + (size_t(1) << 20) - 1) >> 20) + " MB of memory allowed for " + source_ + " of " +
         std::to_string(sourceBytes_) + " bytes";
}

void ReadXmlPacket(std::string_view data, const std::string& sourceName, TClientDataSet& ds, TPacketBudget* budget) {
  TPacketBudget own = TPacketBudget::ForPacket(data.size());
  TPacketBudget& b = budget ? *budget : own;
  load(sourceName, ds, b, [&] { XmlPacketReader(data, sourceName, ds, nullptr, b).run(); });
}

void ReadBinaryPacket(std::string_view data, const std::string& sourceName, TClientDataSet& ds,
                      TPacketBudget* budget) {
  TPacketBudget own = TPacketBudget::ForPacket(data.size());
  TPacketBudget& b = budget ? *budget : own;
  load(sourceName, ds, b, [&] { readBinary(data, sourceName, ds, nullptr, b); });
}

void ReadDataPacketBytes(std::string_view data, const std::string& sourceName, TClientDataSet& ds,
                         TPacketBudget* budget) {
  TPacketBudget own = TPacketBudget::ForPacket(data.size());
  readAny(data, sourceName, ds, nullptr, budget ? *budget : own);
}

void ReadDataPacket(const std::string& fileName, TClientDataSet& ds, TPacketBudget* budget) {
  MappedFile file(fileName);
  std::string_view data = file.view();
  PageReleaser rel(data.data(), data.size());
  TPacketBudget own = TPacketBudget::ForPacket(data.size());
  readAny(data, fileName, ds, &rel, budget ? *budget : own);
}

namespace {

// A row names each non-null field by an attribute of the field's name, written as it
// stands (CP1251 bytes, like the text of a packet without an encoding declaration). A
// name that cannot be such an attribute, or that a reader could not tell from another
// attribute or another field, is refused.
void checkRowAttributeNames(const std::vector<TFieldDef>& defs) {
  std::unordered_set<std::string_view> seen;
  for (const TFieldDef& d : defs) {
    const std::string& n = d.Name;
    auto refuse = [&](const char* why) {
      throw EDBClient("Field name '" + n + "' cannot be written to an XML data packet: " + why);
    };
    if (n.empty()) refuse("the name is empty");
    for (char ch : n) {
      const unsigned char c = static_cast<unsigned char>(ch);
      if (c <= 0x20 || c == 0x7F || std::strchr("<>&\"'/=", ch)) refuse("it holds a blank, a control character or one of < > & \" ' / =");
    }
    if (n == "RowState") refuse("a row's state takes that name");
    if (!seen.insert(n).second) refuse("two fields have that name");
  }
}

}  // namespace

std::string XmlPacketOf(const TClientDataSet& ds) {
  const auto& defs = ds.FieldDefs();
  checkRowAttributeNames(defs);
  std::string out = "<?xml version=\"1.0\" standalone=\"yes\"?>  <DATAPACKET Version=\"2.0\"><METADATA><FIELDS>";
  for (const TFieldDef& d : defs) {
    out += "<FIELD attrname=\"";
    xmlEscape(out, d.Name);
    out += "\" fieldtype=\"";
    switch (d.DataType) {
      case FType::I16: out += "i2\""; break;
      case FType::I32: out += "i4\""; break;
      case FType::I64: out += "i8\""; break;
      case FType::F64: out += "r8\""; break;
      case FType::Dec:
        out += "fixed\" DECIMALS=\"" + std::to_string(d.Scale) + "\" WIDTH=\"" +
               std::to_string(d.Size > 0 ? d.Size : 18) + "\"";
        break;
      case FType::Bool: out += "boolean\""; break;
      case FType::Str: out += "string\" WIDTH=\"" + std::to_string(d.Size > 0 ? d.Size : 255) + "\""; break;
      case FType::Date: out += "date\""; break;
      case FType::Time: out += "time\""; break;
      case FType::Stamp: out += "SQLdateTime\""; break;
      case FType::Memo: out += "bin.hex\" SUBTYPE=\"Text\" WIDTH=\"8\""; break;
      case FType::Blob: out += "bin.hex\" SUBTYPE=\"Binary\" WIDTH=\"8\""; break;
    }
    if (d.Required) out += " required=\"true\"";
    if (d.ReadOnly) out += " readonly=\"true\"";
    out += "/>";
  }
  out += "</FIELDS><PARAMS/></METADATA><ROWDATA>";
  ds.ForEachRow([&](uint32_t row) {
    out += "<ROW";
    for (size_t c = 0; c < defs.size(); ++c) {
      Value v = ds.RowValue(row, static_cast<int>(c));
      if (v.isNull()) continue;
      out += ' ';
      out += defs[c].Name;
      out += "=\"";
      xmlEscape(out, xmlValue(v));
      out += '"';
    }
    out += "/>";
  });
  out += "</ROWDATA></DATAPACKET>";
  return out;
}

namespace {

// Whether a time field holds a part of a millisecond in some row: its values are then
// written as double milliseconds, else as whole ones.
bool timeHasFraction(const TClientDataSet& ds, int col) {
  bool fraction = false;
  ds.ForEachRow([&](uint32_t row) {
    if (fraction) return;
    Value v = ds.RowValue(row, col);
    fraction = !v.isNull() && v.rawInt() % (kTicksPerSecond / 1000) != 0;
  });
  return fraction;
}

void putUint(std::string& out, uint64_t v, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    out += static_cast<char>(v & 0xFF);
    v >>= 8;
  }
}

void putShortString(std::string& out, std::string_view s) {
  if (s.size() > 255) throw EDBClient("Name too long for a data packet: " + std::string(s.substr(0, 40)));
  out += static_cast<char>(s.size());
  out += s;
}

void putIntProp(std::string& out, std::string_view name, int32_t v) {
  putShortString(out, name);
  putUint(out, 4, 2);
  putUint(out, bkInt, 2);
  putUint(out, static_cast<uint32_t>(v), 4);
}

void putStringProp(std::string& out, std::string_view name, std::string_view v) {
  putShortString(out, name);
  putUint(out, 1, 2);
  putUint(out, bkString | kVarying, 2);
  putUint(out, v.size(), 1);
  out += v;
}

}  // namespace

std::string BinaryPacketOf(const TClientDataSet& ds) {
  const auto& defs = ds.FieldDefs();
  if (defs.size() > 0xFFFF) throw EDBClient("Too many fields for a data packet");
  std::string meta;
  std::vector<uint16_t> sizes;  // of each field's data
  for (const TFieldDef& d : defs) {
    if (d.Name.empty()) throw EDBClient("A field without a name cannot be written to a data packet");
    putShortString(meta, d.Name);
    uint16_t size = 0, type = 0;
    int props = 0;
    std::string propBytes;
    switch (d.DataType) {
      case FType::I16: size = 2; type = bkInt; break;
      case FType::I32: size = 4; type = bkInt; break;
      case FType::I64: size = 8; type = bkInt; break;
      case FType::F64: size = 8; type = bkFloat; break;
      case FType::Dec:
        size = 34;
        type = bkBcd;
        putIntProp(propBytes, "WIDTH", d.Size > 0 ? d.Size : 18);
        putIntProp(propBytes, "DECIMALS", d.Scale);
        props = 2;
        break;
      case FType::Bool: size = 2; type = bkBool; break;
      case FType::Date: size = 4; type = bkDate; break;
      case FType::Time:
        size = timeHasFraction(ds, static_cast<int>(&d - defs.data())) ? 8 : 4;
        type = bkTime;
        break;
      case FType::Stamp: size = 8; type = bkStamp; break;
      case FType::Str:
        size = 2;
        type = bkString | kVarying;
        putIntProp(propBytes, "WIDTH", d.Size > 0 ? d.Size : 255);
        props = 1;
        break;
      case FType::Memo:
      case FType::Blob:
        size = 4;
        type = bkBytes | kVarying;
        putStringProp(propBytes, "SUBTYPE", d.DataType == FType::Memo ? "Text" : "Binary");
        props = 1;
        break;
    }
    sizes.push_back(size);
    putUint(meta, size, 2);
    putUint(meta, type, 2);
    putUint(meta, (d.ReadOnly ? 2 : 0) | (d.Required ? 4 : 0), 2);
    putUint(meta, static_cast<uint64_t>(props), 2);
    meta += propBytes;
  }
  putUint(meta, 0, 2);  // packet properties

  std::string rows;
  uint32_t count = 0;
  size_t bitmapBytes = (defs.size() + 3) / 4;
  ds.ForEachRow([&](uint32_t row) {
    ++count;
    rows += '\0';
    size_t bm = rows.size();
    rows.append(bitmapBytes, '\0');
    for (size_t c = 0; c < defs.size(); ++c) {
      Value v = ds.RowValue(row, static_cast<int>(c));
      if (v.isNull()) {
        rows[bm + c / 4] = static_cast<char>(static_cast<unsigned char>(rows[bm + c / 4]) | (1u << ((c % 4) * 2)));
        continue;
      }
      switch (defs[c].DataType) {
        case FType::I16: putUint(rows, static_cast<uint64_t>(v.rawInt()), 2); break;
        case FType::I32: putUint(rows, static_cast<uint64_t>(v.rawInt()), 4); break;
        case FType::I64: putUint(rows, static_cast<uint64_t>(v.rawInt()), 8); break;
        case FType::F64: {
          uint64_t u;
          double d = v.rawFloat();
          std::memcpy(&u, &d, 8);
          putUint(rows, u, 8);
          break;
        }
        case FType::Dec: rows += encodeBcd(v.rawInt(), v.scale()); break;
        case FType::Bool: putUint(rows, v.rawInt() ? 0xFFFF : 0, 2); break;
        case FType::Date: putUint(rows, static_cast<uint64_t>(v.rawInt() + kDateDeltaYear1), 4); break;
        case FType::Time:
          if (sizes[c] == 4) {
            putUint(rows, static_cast<uint64_t>(v.rawInt() / (kTicksPerSecond / 1000)), 4);
          } else {
            const double ms = static_cast<double>(v.rawInt()) / (kTicksPerSecond / 1000);
            uint64_t u;
            std::memcpy(&u, &ms, 8);
            putUint(rows, u, 8);
          }
          break;
        case FType::Stamp: {
          double ms = static_cast<double>(v.rawInt() / (kTicksPerSecond / 1000) + kDateDeltaYear1 * 86400000LL) +
                      static_cast<double>(v.rawInt() % (kTicksPerSecond / 1000)) / (kTicksPerSecond / 1000);
          uint64_t u;
          std::memcpy(&u, &ms, 8);
          putUint(rows, u, 8);
          break;
        }
        case FType::Str: {
          const std::string& s = v.rawText();
          if (s.size() > 0xFFFF) throw EDBClient("Text too long for a data packet in field " + defs[c].Name);
          putUint(rows, s.size(), 2);
          rows += s;
          break;
        }
        case FType::Memo:
        case FType::Blob:
          putUint(rows, v.rawText().size(), 4);
          rows += v.rawText();
          break;
      }
    }
  });

  std::string out(reinterpret_cast<const char*>(kSignature), 4);
  putUint(out, 1, 4);
  putUint(out, 18, 4);
  putUint(out, defs.size(), 2);
  putUint(out, count, 4);
  putUint(out, 3, 4);
  if (meta.size() > 0xFFFF) throw EDBClient("Field definitions too long for a data packet");
  putUint(out, meta.size(), 2);
  out += meta;
  out += rows;
  return out;
}

void WriteDataPacket(const std::string& fileName, const TClientDataSet& ds, TDataPacketFormat format) {
  std::string data = format == TDataPacketFormat::dfXML ? XmlPacketOf(ds) : BinaryPacketOf(ds);
  std::ofstream out(platform::ToFsPath(fileName), std::ios::binary | std::ios::trunc);
  if (!out) throw EDBClient("Cannot create file \"" + fileName + "\"");
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) throw EDBClient("Cannot write file \"" + fileName + "\"");
}

}  // namespace cds
