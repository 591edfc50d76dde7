// Key evaluation and the key values of the index kinds, and their registration. The
// tag's page cache, its walk and seek, its page upkeep and the index-file frame have
// files of their own: xb_ixcache, xb_ixwalk, xb_ixupkeep, xb_ixfile.
#include "xbase/xb_indx.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "platform/strutil.h"
#include "xbase/xb_cdx.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_date.h"
#include "xbase/xb_glbl.h"
#include "xbase/xb_mdx.h"
#include "xbase/xb_ndx.h"
#include "xbase/xb_ntx.h"
#include "xbase/xb_sql.h"

namespace xb {

// ---------------------------------------------------------------- key evaluation

namespace {

// Field names joined by '+'.
class TxbFieldKey : public IxbKeyEvaluator {
public:
  explicit TxbFieldKey(std::vector<TxbFieldDesc> fields) : fields_(std::move(fields)) {}
  TxbKeyValue Evaluate(const uint8_t* record) override {
    TxbKeyValue v;
    if (fields_.size() == 1 && fields_[0].Type != 'C') {
      const TxbFieldDesc& f = fields_[0];
      std::string_view raw(reinterpret_cast<const char*>(record) + f.Offset, f.Length);
      std::string t = platform::Trim(std::string(raw));
      switch (f.Type) {
        case 'D':
          v.type = 'D';
          if (!xbParseDate(t, v.julian)) v.julian = 0;
          v.length = 8;
          break;
        case 'L':
          v.type = 'L';
          v.text.assign(1, (!t.empty() && xbIsTrueChar(t[0])) ? 'T' : 'F');
          v.length = 1;
          break;
        default:
          v.type = 'N';
          if (!xbParseNumber(t, v.number)) v.number = 0;
          v.length = static_cast<int>(f.Length);
          v.decimals = f.Decimals;
          break;
      }
      return v;
    }
    for (const TxbFieldDesc& f : fields_) v.text.append(reinterpret_cast<const char*>(record) + f.Offset, f.Length);
    v.length = static_cast<int>(v.text.size());
    return v;
  }

private:
  std::vector<TxbFieldDesc> fields_;
};

}  // namespace

std::unique_ptr<IxbKeyEvaluator> xbFieldKeyCompiler(XBO_dBHandler& table, const std::string& text) {
  std::vector<TxbFieldDesc> fields;
  std::string_view rest = text;
  while (true) {
    size_t plus = rest.find('+');
    std::string name = platform::Trim(std::string(rest.substr(0, plus)));
    int n = table.FieldNo(name);
    if (name.empty() || n == 0) return nullptr;
    const TxbFieldDesc* d = table.FieldDesc(n);
    if (!d || !std::strchr("CNFDL", d->Type)) return nullptr;
    fields.push_back(*d);
    if (plus == std::string_view::npos) break;
    rest = rest.substr(plus + 1);
  }
  if (fields.size() > 1)
    for (const TxbFieldDesc& f : fields)
      if (f.Type != 'C') return nullptr;
  return std::make_unique<TxbFieldKey>(std::move(fields));
}

namespace {

// A key or FOR expression of the expression language, evaluated on a record buffer.
class TxbExpKey : public IxbKeyEvaluator {
public:
  TxbExpKey(XBO_dBHandler& table, const std::string& text) : table_(table), exp_(table, text) {
    std::string first = platform::Trim(text);
    first = first.substr(0, first.find(' '));
    int n = table.FieldNo(first);
    const TxbFieldDesc* f = n ? table.FieldDesc(n) : nullptr;
    if (f && platform::SameText(first, platform::Trim(text)) && (f->Type == 'N' || f->Type == 'F')) {
      length_ = static_cast<int>(f->Length);
      decimals_ = f->Decimals;
    }
  }
  TxbKeyValue Evaluate(const uint8_t* record) override {
    uint8_t* saved = table_.CurRecord;
    table_.SetCurRecord(const_cast<uint8_t*>(record));
    struct Restore {
      XBO_dBHandler& t;
      uint8_t* p;
      ~Restore() { t.CurRecord = p; }
    } restore{table_, saved};
    TxbExpValue v;
    int type = 0;
    exp_.Evaluate(v, type);
    TxbKeyValue k;
    switch (type) {
      case etNumber:
      case etInteger:
      case etDateTime:
        k.type = 'N';
        k.number = v.IsNull() ? 0 : v.AsNumber();
        k.length = length_;
        k.decimals = decimals_;
        break;
      case etDate: {
        k.type = 'D';
        double d = v.IsNull() ? 0 : v.AsNumber();
        k.julian = (d >= 1 && d <= xbJulianMax) ? static_cast<int32_t>(std::nearbyint(d)) : 0;
        k.length = 8;
        break;
      }
      case etBoolean:
        k.type = 'L';
        k.text.assign(1, !v.IsNull() && v.AsBoolean() ? 'T' : 'F');
        k.length = 1;
        break;
      case etText:
      case etMemo:
        k.text = v.IsNull() ? std::string() : v.AsText();
        k.length = static_cast<int>(k.text.size());
        break;
      default:
        xbRaise(msg::ExpCannotEvaluate);
    }
    return k;
  }

private:
  XBO_dBHandler& table_;
  TxbExpHandler exp_;
  int length_ = 0, decimals_ = 0;
};

}  // namespace

std::unique_ptr<IxbKeyEvaluator> xbExpressionKeyCompiler(XBO_dBHandler& table, const std::string& text) {
  return std::make_unique<TxbExpKey>(table, text);
}

TxbKeyCompiler& xbKeyCompiler() {
  static TxbKeyCompiler c = xbExpressionKeyCompiler;
  return c;
}

const uint8_t*& xbCollationTable() {
  static const uint8_t* t = nullptr;
  return t;
}

// ---------------------------------------------------------------- value helpers

std::string xbSortableDouble(double v) {
  if (v == 0) v = 0;   // -0 sorts as 0
  uint64_t bits;
  std::memcpy(&bits, &v, 8);
  if (bits >> 63)
    bits = ~bits;
  else
    bits |= uint64_t{1} << 63;
  std::string s(8, '\0');
  for (int i = 0; i < 8; ++i) s[static_cast<size_t>(i)] = static_cast<char>(bits >> (56 - 8 * i));
  return s;
}

double xbDoubleFromSortable(std::string_view s) {
  uint64_t bits = 0;
  for (size_t i = 0; i < 8; ++i) bits = (bits << 8) | (i < s.size() ? static_cast<uint8_t>(s[i]) : 0);
  if (bits >> 63)
    bits &= ~(uint64_t{1} << 63);
  else
    bits = ~bits;
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}

std::string xbNumberText(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

bool xbParseNumber(std::string_view text, double& v) {
  std::string t = platform::Trim(std::string(text));
  if (t.empty()) return false;
  const char* b = t.data();
  if (*b == '+') ++b;
  auto r = std::from_chars(b, t.data() + t.size(), v);
  return r.ec == std::errc() && r.ptr == t.data() + t.size() && std::isfinite(v);
}

bool xbParseDate(std::string_view text, int32_t& julian) {
  std::string t = platform::Trim(std::string(text));
  if (t.empty() || t == "00000000") {
    julian = 0;
    return true;
  }
  if (t.size() != 8 || !std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  int y = std::stoi(t.substr(0, 4)), m = std::stoi(t.substr(4, 2)), d = std::stoi(t.substr(6, 2));
  if (!xbValidYMD(y, m, d)) return false;
  julian = xbJulianFromYMD(y, m, d);
  return true;
}

std::string xbCString(const uint8_t* p, size_t max) {
  size_t n = 0;
  while (n < max && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

// ---------------------------------------------------------------- index kinds

void xbRegisterBuiltinIndexes(std::map<std::string, TxbIndexFactory>& classes) {
  classes[".NTX"] = [](XBO_dBHandler& h, const std::string& f) -> std::unique_ptr<IxbIndexFile> {
    return XBobjNTXFile::OpenFile(h, f);
  };
  classes[".NDX"] = [](XBO_dBHandler& h, const std::string& f) -> std::unique_ptr<IxbIndexFile> {
    return XBobjNDXFile::OpenFile(h, f);
  };
  classes[".MDX"] = [](XBO_dBHandler& h, const std::string& f) -> std::unique_ptr<IxbIndexFile> {
    return XBobjMDXFile::OpenFile(h, f);
  };
  classes[".CDX"] = [](XBO_dBHandler& h, const std::string& f) -> std::unique_ptr<IxbIndexFile> {
    return XBobjCDXFile::OpenFile(h, f);
  };
}

}  // namespace xb
