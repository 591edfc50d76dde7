#include "xbase/xb_indx.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <deque>
#include <sys/stat.h>
#include <time.h>

#include "platform/strutil.h"
#include "xbase/SysXBase.h"
#include "xbase/checked.h"
#include "xbase/xb_cdx.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_date.h"
#include "xbase/xb_encrxm.h"
#include "xbase/xb_glbl.h"
#include "xbase/xb_mdx.h"
#include "xbase/xb_ndx.h"
#include "xbase/xb_ntx.h"
#include "xbase/xb_sort.h"
#include "xbase/xb_sql.h"

namespace xb {

// ---------------------------------------------------------------- key evaluation

namespace {

std::string trimBlanks(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && s[n - 1] == ' ') --n;
  return std::string(s.substr(0, n));
}

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

// ---------------------------------------------------------------- page

namespace {
// Whether a key text lies in the page's own key bytes (which an insert may move).
bool within(const std::string& bytes, std::string_view key) {
  return !key.empty() && std::less_equal<const char*>()(bytes.data(), key.data()) &&
         std::less<const char*>()(key.data(), bytes.data() + bytes.size());
}
}  // namespace

void XBobjIndexKey::Insert(int i, std::string_view key, int32_t recNo, uint32_t child) {
  if (within(keys_, key)) {
    const std::string own(key);
    Insert(i, own, recNo, child);
    return;
  }
  const size_t at = static_cast<size_t>(i) * kl_;
  keys_.insert(at, kl_, '\0');
  key.copy(keys_.data() + at, kl_);
  recs_.insert(recs_.begin() + i, recNo);
  children_.insert(children_.begin() + i, child);
}

void XBobjIndexKey::Erase(int from, int count) {
  keys_.erase(static_cast<size_t>(from) * kl_, static_cast<size_t>(count) * kl_);
  recs_.erase(recs_.begin() + from, recs_.begin() + from + count);
  children_.erase(children_.begin() + from, children_.begin() + from + count);
}

void XBobjIndexKey::Set(int i, std::string_view key, int32_t recNo) {
  if (within(keys_, key)) {
    const std::string own(key);
    Set(i, own, recNo);
    return;
  }
  const size_t at = static_cast<size_t>(i) * kl_;
  keys_.replace(at, kl_, kl_, '\0');
  key.copy(keys_.data() + at, kl_);
  recs_[static_cast<size_t>(i)] = recNo;
}

void XBobjIndexKey::Clear() {
  keys_.clear();
  recs_.clear();
  children_.clear();
}

void XBobjIndexKey::Reserve(int count) {
  const size_t n = static_cast<size_t>(std::max(count, 0));
  keys_.reserve(n * kl_);
  recs_.reserve(n);
  children_.reserve(n);
}

void XBobjIndexKey::MoveFront(int count, XBobjIndexKey& other) {
  other.Reserve(other.Count() + count);
  for (int i = 0; i < count; ++i) other.Append(Key(i), RecNo(i), Child(i));
  Erase(0, count);
}

// ---------------------------------------------------------------- tag: pages

int XBobjIndexTag::SplitCount(const XBobjIndexKey& page) const {
  int k = page.Count();
  return k - k / 2;
}

uint32_t XBobjIndexTag::AllocatePage(XBobjIndexKey*) { return file_.PageAllocate(); }

int XBobjIndexTag::cmpEntry(const XBobjIndexKey& p, int i, const TxbSeek& s) const {
  std::string_view k = p.Key(i);
  size_t n = std::min(k.size(), s.key.size());
  int c = std::memcmp(k.data(), s.key.data(), n);
  c = c < 0 ? -1 : (c > 0 ? 1 : 0);
  // Separators without record numbers decide by the key alone.
  if (c == 0 && s.withRecord && (p.Leaf || style_ != TxbTreeStyle::SeparatorsWithTail)) {
    uint32_t a = static_cast<uint32_t>(p.RecNo(i)), b = static_cast<uint32_t>(s.recNo);
    c = a < b ? -1 : (a > b ? 1 : 0);
  }
  return storeDescending() ? -c : c;
}

int64_t XBobjIndexTag::PagePos(uint32_t addr) const { return addr; }

XBobjIndexKey& XBobjIndexTag::page(uint32_t addr) {
  file_.CountVisit();
  auto it = pages_.find(addr);
  if (it != pages_.end()) return *it->second;
  auto p = std::make_unique<XBobjIndexKey>(addr, static_cast<size_t>(KeyLength), true);
  PageRead(*p);
  XBobjIndexKey& ref = *p;
  pages_.emplace(addr, std::move(p));
  return ref;
}

XBobjIndexKey& XBobjIndexTag::newPage(bool leaf) {
  auto p = std::make_unique<XBobjIndexKey>(0, static_cast<size_t>(KeyLength), leaf);
  p->Address = AllocatePage(p.get());
  p->Fresh = true;
  markChanged(*p);
  XBobjIndexKey& ref = *p;
  pages_[p->Address] = std::move(p);
  return ref;
}

void XBobjIndexTag::MakeEmptyRoot() {
  DropPages();
  clearCurrent();
  XBobjIndexKey& r = newPage(true);
  r.BulkLayout = true;
  Root = r.Address;
  HeaderChanged = true;
}

void XBobjIndexTag::DropPages() {
  pages_.clear();
  changed_.clear();
  ++version_;
}

void XBobjIndexTag::Reload() {
  DropPages();
  TagLoad();
  page(Root);
}

void XBobjIndexTag::TrimPages() {
  if (pages_.size() <= PageCacheLimit) return;
  // Leaves go first: every search passes through the interior pages, which are few,
  // while a leaf is seldom reached twice in a large tag. The interior pages go too
  // when they alone take half the cache (so that a trim always makes room).
  for (bool leavesOnly : {true, false}) {
    for (auto it = pages_.begin(); it != pages_.end();) {
      bool keep = it->second->Changed || it->first == Root || (leavesOnly && !it->second->Leaf);
      for (const TxbPathStep& s : path_) keep = keep || s.addr == it->first;
      it = keep ? std::next(it) : pages_.erase(it);
    }
    if (pages_.size() <= PageCacheLimit / 2) return;
  }
}

void XBobjIndexTag::markChanged(XBobjIndexKey& p) {
  if (!p.Changed) changed_.push_back(p.Address);
  p.Changed = true;
}

void XBobjIndexTag::CommitPages() {
  std::vector<XBobjIndexKey*> order;
  for (uint32_t a : changed_) {
    auto it = pages_.find(a);
    if (it != pages_.end() && it->second->Changed) order.push_back(it->second.get());
  }
  changed_.clear();
  // New pages first (nothing refers to them yet), then the interior pages that refer
  // to them, the leaves last: a write cut short leaves keys twice, never lost.
  auto rank = [](const XBobjIndexKey* p) { return p->Fresh ? 0 : (p->Leaf ? 2 : 1); };
  std::sort(order.begin(), order.end(), [&](const XBobjIndexKey* a, const XBobjIndexKey* b) {
    return rank(a) != rank(b) ? rank(a) < rank(b) : a->Address < b->Address;
  });
  for (XBobjIndexKey* p : order) {
    PageWrite(*p);
    p->Changed = p->Fresh = false;
  }
  if (HeaderChanged) {
    TagStore();
    HeaderChanged = false;
  }
}

void XBobjIndexTag::checkPath(const TxbPath& path, uint32_t next) const {
  if (path.size() >= 32) xbRaise(msg::IndexTooDeep, {file_.FileName(), int32_t{32}});
  for (const TxbPathStep& s : path)
    if (s.addr == next) file_.badPage(PagePos(next));   // a page met twice on one path: a cycle
}

// ---------------------------------------------------------------- tag: tree primitives (storage order)

void XBobjIndexTag::descend(const TxbSeek& s, bool upper, TxbPath& path) {
  path.clear();
  uint32_t addr = Root;
  for (;;) {
    checkPath(path, addr);
    XBobjIndexKey& p = page(addr);
    // The first entry at or after the search (after it when upper).
    int lo = 0, hi = p.Count();
    while (lo < hi) {
      int mid = (lo + hi) / 2;
      int c = cmpEntry(p, mid, s);
      if (upper ? c <= 0 : c < 0)
        lo = mid + 1;
      else
        hi = mid;
    }
    if (p.Leaf) {
      path.push_back({addr, lo});
      return;
    }
    if (style_ == TxbTreeStyle::SeparatorsPerChild && lo == p.Count()) {
      if (p.Count() == 0) file_.badPage(PagePos(addr));
      lo = p.Count() - 1;   // beyond the last key: the last child
    }
    path.push_back({addr, lo});
    addr = childAt(p, lo);
  }
}

bool XBobjIndexTag::descendEdge(TxbPath& path, bool rightmost) {
  for (;;) {
    const TxbPathStep st = path.back();
    XBobjIndexKey& p = page(st.addr);
    uint32_t c = childAt(p, st.idx);
    checkPath(path, c);
    XBobjIndexKey& q = page(c);
    if (q.Leaf) {
      path.push_back({c, rightmost ? q.Count() - 1 : 0});
      return q.Count() > 0;
    }
    if (childCount(q) == 0) file_.badPage(PagePos(c));
    path.push_back({c, rightmost ? childCount(q) - 1 : 0});
  }
}

bool XBobjIndexTag::climbNext(TxbPath& path) {
  for (;;) {
    path.pop_back();
    if (path.empty()) return false;
    TxbPathStep& st = path.back();
    XBobjIndexKey& p = page(st.addr);
    if (style_ == TxbTreeStyle::KeysInInterior) {
      if (st.idx < p.Count()) return true;   // the key after the child just left
      continue;
    }
    if (st.idx + 1 < childCount(p)) {
      ++st.idx;
      if (descendEdge(path, false)) return true;
    }
  }
}

bool XBobjIndexTag::climbPrev(TxbPath& path) {
  for (;;) {
    path.pop_back();
    if (path.empty()) return false;
    TxbPathStep& st = path.back();
    if (style_ == TxbTreeStyle::KeysInInterior) {
      if (st.idx > 0) {
        --st.idx;   // the key before the child just left
        return true;
      }
      continue;
    }
    if (st.idx > 0) {
      --st.idx;
      if (descendEdge(path, true)) return true;
    }
  }
}

bool XBobjIndexTag::stepNext(TxbPath& path) {
  if (path.empty()) return false;
  TxbPathStep& st = path.back();
  XBobjIndexKey& p = page(st.addr);
  if (!p.Leaf) {   // a key of an interior page: the smallest of the subtree after it
    ++st.idx;
    return descendEdge(path, false) || climbNext(path);
  }
  if (st.idx + 1 < p.Count()) {
    ++st.idx;
    return true;
  }
  return climbNext(path);
}

bool XBobjIndexTag::stepPrev(TxbPath& path) {
  if (path.empty()) return false;
  TxbPathStep& st = path.back();
  XBobjIndexKey& p = page(st.addr);
  if (!p.Leaf) return descendEdge(path, true) || climbPrev(path);   // the largest of the subtree before it
  if (st.idx > 0) {
    --st.idx;
    return true;
  }
  return climbPrev(path);
}

bool XBobjIndexTag::first(TxbPath& path) {
  path.clear();
  XBobjIndexKey& r = page(Root);
  path.push_back({Root, 0});
  if (r.Leaf) {
    if (r.Count() > 0) return true;
    path.clear();
    return false;
  }
  if (childCount(r) == 0) file_.badPage(PagePos(Root));
  return descendEdge(path, false) || climbNext(path);
}

bool XBobjIndexTag::last(TxbPath& path) {
  path.clear();
  XBobjIndexKey& r = page(Root);
  if (r.Leaf) {
    if (r.Count() == 0) return false;
    path.push_back({Root, r.Count() - 1});
    return true;
  }
  if (childCount(r) == 0) file_.badPage(PagePos(Root));
  path.push_back({Root, childCount(r) - 1});
  return descendEdge(path, true) || climbPrev(path);
}

bool XBobjIndexTag::seekBound(const TxbSeek& s, bool upper, TxbPath& path) {
  descend(s, upper, path);
  for (;;) {
    if (path.back().idx >= page(path.back().addr).Count() && !climbNext(path)) return false;
    int c = cmpEntry(page(path.back().addr), path.back().idx, s);
    if (upper ? c > 0 : c >= 0) return true;
    // Separators without record numbers may lead in before equal keys of lower numbers.
    if (!stepNext(path)) return false;
  }
}

bool XBobjIndexTag::findEntry(const std::string& key, int32_t recNo, TxbPath& path) {
  if (seekBound({key, recNo, true}, false, path) && keyAt(path) == key && recAt(path) == recNo) return true;
  // Equal keys that a file does not keep in record-number order.
  if (!seekBound({key, 0, false}, false, path)) return false;
  while (keyAt(path) == key) {
    if (recAt(path) == recNo) return true;
    if (!stepNext(path)) return false;
  }
  return false;
}

bool XBobjIndexTag::lSeek(const TxbSeek& s, TxbPath& path, bool after) {
  if (!ReverseWalk) return seekBound(s, after, path);
  // Walked backwards: the last stored entry at or before the search (before it when after).
  if (seekBound(s, !after, path)) return stepPrev(path);
  return last(path);
}

// ---------------------------------------------------------------- tag: structure changes

void XBobjIndexTag::settle(TxbPath& path) {
  size_t d = path.size() - 1;
  for (;;) {
    bool did = false;
    while (PageOverflows(page(path[d].addr))) {
      if (d == 0) {
        // The root keeps its address: its entries move to a new page below it.
        XBobjIndexKey& r = page(Root);
        XBobjIndexKey& m = newPage(r.Leaf);
        r.MoveFront(r.Count(), m);
        m.Tail = r.Tail;
        r.Leaf = false;
        r.Tail = 0;
        markChanged(r);
        if (style_ == TxbTreeStyle::SeparatorsPerChild)
          r.Append(m.Key(m.Count() - 1), m.RecNo(m.Count() - 1), m.Address);
        else
          r.Tail = m.Address;
        path.insert(path.begin() + 1, TxbPathStep{m.Address, path[0].idx});
        path[0].idx = 0;
        d = 1;
        ++version_;
      }
      split(path, d);
      did = true;
    }
    if (!did || d == 0) return;
    --d;
  }
}

void XBobjIndexTag::split(TxbPath& path, size_t d) {
  XBobjIndexKey& P = page(path[d - 1].addr);
  const int j = path[d - 1].idx;
  XBobjIndexKey& p = page(path[d].addr);
  const int k = p.Count();
  const bool keyUp = style_ == TxbTreeStyle::KeysInInterior || (style_ == TxbTreeStyle::SeparatorsWithTail && !p.Leaf);
  int h = SplitCount(p);
  h = std::clamp(h, keyUp ? 2 : 1, k - 1);
  XBobjIndexKey& n = newPage(p.Leaf);
  if (keyUp) {
    // Entries 1 to h - 1 go to the new page, entry h goes up between the two.
    p.MoveFront(h - 1, n);
    if (!p.Leaf) n.Tail = p.Child(0);
    std::string sep(p.Key(0));
    int32_t rec = style_ == TxbTreeStyle::KeysInInterior ? p.RecNo(0) : 0;
    p.Erase(0);
    P.Insert(j, sep, rec, n.Address);
  } else {
    p.MoveFront(h, n);
    P.Insert(j, n.Key(h - 1), style_ == TxbTreeStyle::SeparatorsPerChild ? n.RecNo(h - 1) : 0, n.Address);
    if (style_ == TxbTreeStyle::SeparatorsPerChild) {
      n.Left = p.Left;
      n.Right = p.Address;
      if (p.Left != xbNoPage) {
        XBobjIndexKey& l = page(p.Left);
        l.Right = n.Address;
        markChanged(l);
      }
      p.Left = n.Address;
    }
  }
  markChanged(p);
  markChanged(n);
  markChanged(P);
  path[d - 1].idx = j + 1;
  ++version_;
}

void XBobjIndexTag::updateSeparators(const TxbPath& path, size_t d) {
  if (style_ == TxbTreeStyle::KeysInInterior) return;
  XBobjIndexKey& c = page(path[d].addr);
  if (c.Count() == 0) return;
  std::string key(c.Key(c.Count() - 1));
  int32_t rec = c.RecNo(c.Count() - 1);
  for (; d > 0; --d) {
    XBobjIndexKey& P = page(path[d - 1].addr);
    const int j = path[d - 1].idx;
    if (style_ == TxbTreeStyle::SeparatorsWithTail) {
      if (j < P.Count()) {
        P.Set(j, key, 0);
        markChanged(P);
        return;
      }
      continue;   // the rightmost child: its parent's own separator above carries the key
    }
    if (j >= P.Count()) return;
    P.Set(j, key, rec);
    markChanged(P);
    if (j != P.Count() - 1) return;
  }
}

void XBobjIndexTag::deleteAt(TxbPath& path) {
  XBobjIndexKey* p = &page(path.back().addr);
  if (!p->Leaf) {
    // A key of an interior page: the largest key before it takes its place.
    TxbPath pred = path;
    if (!descendEdge(pred, true)) file_.badPage(PagePos(pred.back().addr));
    XBobjIndexKey& l = page(pred.back().addr);
    int li = pred.back().idx;
    p->Set(path.back().idx, l.Key(li), l.RecNo(li));
    markChanged(*p);
    path = pred;
    p = &l;
  }
  const int idx = path.back().idx;
  const bool wasLast = idx == p->Count() - 1;
  p->Erase(idx);
  markChanged(*p);
  ++version_;
  const size_t d = path.size() - 1;
  if (p->Count() == 0) {
    if (d > 0) fixEmpty(path, d);
  } else if (wasLast) {
    updateSeparators(path, d);
  }
}

void XBobjIndexTag::fixEmpty(TxbPath& path, size_t d) {
  ++version_;
  if (d == 0) {
    // A root without keys gives way to its only child.
    for (int guard = 0; guard < 32; ++guard) {
      XBobjIndexKey& r = page(Root);
      if (r.Leaf || r.Count() > 0) return;
      if (style_ == TxbTreeStyle::SeparatorsPerChild) {
        r.Leaf = true;
        markChanged(r);
        return;
      }
      Root = r.Tail;
      HeaderChanged = true;
    }
    return;
  }
  XBobjIndexKey& x = page(path[d].addr);
  XBobjIndexKey& P = page(path[d - 1].addr);
  const int j = path[d - 1].idx, k = P.Count();
  if (style_ == TxbTreeStyle::SeparatorsPerChild) {
    if (x.Left != xbNoPage) {
      XBobjIndexKey& l = page(x.Left);
      l.Right = x.Right;
      markChanged(l);
    }
    if (x.Right != xbNoPage) {
      XBobjIndexKey& r = page(x.Right);
      r.Left = x.Left;
      markChanged(r);
    }
    if (j >= k) file_.badPage(PagePos(P.Address));
    P.Erase(j);
    markChanged(P);
    if (P.Count() == 0) {
      fixEmpty(path, d - 1);
    } else if (j == k - 1) {
      TxbPath up(path.begin(), path.begin() + static_cast<ptrdiff_t>(d));
      updateSeparators(up, d - 1);
    }
    return;
  }
  if (k == 0) return;   // the only child of a page without keys stays where it is
  if (style_ == TxbTreeStyle::SeparatorsWithTail && x.Leaf) {
    if (j < k) {
      P.Erase(j);
    } else {
      P.Tail = P.Child(k - 1);
      P.Erase(k - 1);
    }
    markChanged(P);
    if (P.Count() == 0) fixEmpty(path, d - 1);
    return;
  }
  // The parent's key next to the empty page moves into the neighbouring page, with the
  // empty page's only child (interior pages) as the child beside it.
  const uint32_t orphan = x.Leaf ? 0 : x.Tail;
  int si;
  if (j < k) {
    XBobjIndexKey& s = page(childAt(P, j + 1));
    if (s.Leaf != x.Leaf) file_.badPage(PagePos(s.Address));
    s.Insert(0, P.Key(j), P.RecNo(j), orphan);
    markChanged(s);
    P.Erase(j);
    si = j;
  } else {
    XBobjIndexKey& s = page(P.Child(k - 1));
    if (s.Leaf != x.Leaf) file_.badPage(PagePos(s.Address));
    s.Append(P.Key(k - 1), P.RecNo(k - 1), s.Leaf ? 0 : s.Tail);
    if (!s.Leaf) s.Tail = orphan;
    markChanged(s);
    P.Tail = P.Child(k - 1);
    P.Erase(k - 1);
    si = P.Count();
  }
  markChanged(P);
  TxbPath sp(path.begin(), path.begin() + static_cast<ptrdiff_t>(d));
  sp.back().idx = si;
  sp.push_back({childAt(P, si), 0});
  settle(sp);
  if (P.Count() == 0) fixEmpty(path, d - 1);
}

bool XBobjIndexTag::KeyAdd(const std::string& key, int32_t recNo, bool append) {
  TxbPath path;
  if (Unique && seekBound({key, 0, false}, false, path) && keyAt(path) == key) return false;
  if (append) {
    // The newest record: after every equal key in the tag's order.
    descend({key, 0, false}, !storeDescending(), path);
  } else if (style_ == TxbTreeStyle::SeparatorsWithTail) {
    if (!seekBound({key, recNo, true}, false, path)) descend({key, recNo, true}, true, path);
  } else {
    descend({key, recNo, true}, false, path);
  }
  XBobjIndexKey& leaf = page(path.back().addr);
  if (!leaf.Leaf) file_.badPage(PagePos(leaf.Address));
  const int at = path.back().idx;
  leaf.Insert(at, key, recNo, 0);
  markChanged(leaf);
  ++version_;
  if (style_ == TxbTreeStyle::SeparatorsPerChild && at == leaf.Count() - 1) updateSeparators(path, path.size() - 1);
  settle(path);
  hasCur_ = true;
  curKey_ = key;
  curRec_ = recNo;
  pathVersion_ = 0;
  return true;
}

bool XBobjIndexTag::KeyDelete(const std::string& key, int32_t recNo) {
  TxbPath path;
  if (!findEntry(key, recNo, path)) return false;
  deleteAt(path);
  return true;
}

// ---------------------------------------------------------------- tag: keys and records

void XBobjIndexTag::Prepare(XBO_dBHandler& table) {
  auto compile = [&](const std::string& text, const char* error) {
    std::unique_ptr<IxbKeyEvaluator> e;
    try {
      e = xbKeyCompiler()(table, text);
    } catch (const platform::Exception&) {
      e.reset();
    }
    if (!e) xbRaise(error, {text, file_.FileName()});
    return e;
  };
  keyEval_ = compile(KeyExpr, msg::IndexKeyExpression);
  forEval_.reset();
  if (!platform::Trim(ForExpr).empty()) forEval_ = compile(ForExpr, msg::IndexForExpression);
}

TxbKeyValue XBobjIndexTag::PrepareType(XBO_dBHandler& table) {
  Prepare(table);
  std::vector<uint8_t> blank(table.RecordLength + 1, ' ');
  TxbKeyValue v = keyEval_->Evaluate(blank.data());
  KeyType = v.type == 'N' ? 'N' : (v.type == 'D' ? 'D' : 'C');
  return v;
}

bool XBobjIndexTag::KeyFor(const uint8_t* record, std::string& key) {
  if (!keyEval_) return false;
  if (forEval_) {
    TxbKeyValue f = forEval_->Evaluate(record);
    if (f.type != 'L' || f.text.size() != 1 || f.text[0] != 'T') return false;
  }
  key = MakeKey(keyEval_->Evaluate(record));
  if (key.size() != static_cast<size_t>(KeyLength)) throw ERangeError();
  return true;
}

bool XBobjIndexTag::UpdateRecord(int32_t recNo, const uint8_t* record, const uint8_t* oldRecord) {
  if (Retired) return false;
  std::string key, oldKey;
  const bool want = KeyFor(record, key);
  const bool had = oldRecord && KeyFor(oldRecord, oldKey);
  if (had && want && oldKey == key) return false;
  bool changed = false;
  if (had) changed = KeyDelete(oldKey, recNo);
  if (want) changed = KeyAdd(key, recNo, oldRecord == nullptr) || changed;
  return changed;
}

// ---------------------------------------------------------------- tag: position and navigation

void XBobjIndexTag::takeCurrent(const TxbPath& path) {
  path_ = path;
  const TxbPathStep& s = path_.back();
  XBobjIndexKey& p = page(s.addr);
  curKey_.assign(p.Key(s.idx));
  curRec_ = p.RecNo(s.idx);
  hasCur_ = true;
  pathVersion_ = version_;
}

void XBobjIndexTag::clearCurrent() {
  hasCur_ = false;
  path_.clear();
}

bool XBobjIndexTag::syncPath() {
  if (!hasCur_) return false;
  if (pathVersion_ == version_ && !path_.empty()) return true;
  TxbPath p;
  if (findEntry(curKey_, curRec_, p) || seekBound({curKey_, curRec_, true}, false, p) || last(p))
    takeCurrent(p);
  else
    clearCurrent();
  return hasCur_;
}

bool XBobjIndexTag::belowLow(std::string_view k) const {
  if (low_.empty()) return false;
  int c = k.substr(0, low_.size()).compare(low_);
  if (Descending) c = -c;
  return c < 0;
}

bool XBobjIndexTag::aboveHigh(std::string_view k) const {
  if (high_.empty()) return false;
  std::string_view kv = k;
  if (rangePartial_ && KeyType == 'C')
    kv = kv.substr(0, std::min(kv.size(), high_.size()));
  else if (KeyType == 'C')
    while (!kv.empty() && kv.back() == ' ') kv.remove_suffix(1);
  int c = kv.compare(high_);
  if (Descending) c = -c;
  return c > 0;
}

bool XBobjIndexTag::rangeTop(TxbPath& path) {
  bool ok = (hasRange_ && !low_.empty()) ? lSeek({low_, 0, false}, path) : lFirst(path);
  return ok && !aboveHigh(keyAt(path));
}

bool XBobjIndexTag::rangeBottom(TxbPath& path) {
  bool ok;
  if (hasRange_ && !high_.empty()) {
    ok = lSeek({high_, 0, false}, path, true) ? lPrev(path) : lLast(path);
    while (ok && aboveHigh(keyAt(path))) ok = lPrev(path);
  } else {
    ok = lLast(path);
  }
  return ok && !belowLow(keyAt(path));
}

TxbTagMove XBobjIndexTag::Move(int32_t code) {
  if (Retired) {
    clearCurrent();
    return {0, true, true};
  }
  TxbIndexOp op(file_);
  const bool have = syncPath();
  // Where the current entry lies: -1 before the range (or nowhere), 0 inside, 1 after it.
  const int where = !have ? -1 : (belowLow(curKey_) ? -1 : (aboveHigh(curKey_) ? 1 : 0));
  TxbPath p;
  auto go = [&](bool ok, bool eof, bool bof) -> TxbTagMove {
    if (!ok) {
      clearCurrent();
      return {0, true, true};
    }
    takeCurrent(p);
    return {curRec_, eof, bof};
  };
  switch (code) {
    case -3: return go(rangeTop(p), false, false);
    case -4: return go(rangeBottom(p), false, false);
    case -1:
      if (where < 0) return go(rangeTop(p), false, false);
      if (where > 0) return go(rangeBottom(p), true, false);
      p = path_;
      if (lNext(p) && !aboveHigh(keyAt(p))) return go(true, false, false);
      return {curRec_, true, false};   // stays on the last entry of the range
    case -2:
      if (where > 0) return go(rangeBottom(p), false, false);
      if (where < 0) return go(rangeTop(p), false, true);
      p = path_;
      if (lPrev(p) && !belowLow(keyAt(p))) return go(true, false, false);
      return {curRec_, false, true};
    default:
      if (where != 0) return go(rangeTop(p), false, false);
      return {curRec_, false, false};
  }
}

int32_t XBobjIndexTag::SeekKey(std::string_view key) {
  std::string seek = SeekForm(key);
  lastSeekText_ = std::string(key);
  lastSeekKey_ = seek;
  if (Retired) {
    clearCurrent();
    return 0;
  }
  TxbIndexOp op(file_);
  TxbPath p;
  bool ok = lSeek({seek, 0, false}, p);
  if (ok && hasRange_ && !inRange(keyAt(p))) ok = false;
  if (!ok) {
    if (lLast(p))
      takeCurrent(p);
    else
      clearCurrent();
    return 0;
  }
  takeCurrent(p);
  return curRec_;
}

std::string XBobjIndexTag::CurrentKey() const {
  if (!hasCur_) return std::string();
  if (KeyType != 'C' && curKey_ == lastSeekKey_) return lastSeekText_;
  return DisplayKey(curKey_);
}

bool XBobjIndexTag::AtEnd() const {
  auto* self = const_cast<XBobjIndexTag*>(this);
  if (Retired || !hasCur_) return true;
  TxbIndexOp op(file_);
  if (!self->syncPath()) return true;
  TxbPath p = path_;
  return !self->lNext(p);
}

bool XBobjIndexTag::SyncTo(int32_t recNo) {
  XBO_dBHandler& t = file_.Table();
  if (Retired || t.RecNo != recNo) return false;
  TxbIndexOp op(file_);
  std::string key;
  if (!KeyFor(t.CurRecord, key)) return false;
  TxbPath p;
  if (!findEntry(key, recNo, p)) return false;
  if (hasRange_ && !inRange(keyAt(p))) return false;
  takeCurrent(p);
  return true;
}

bool XBobjIndexTag::SetRange(std::string_view low, std::string_view high, bool partial) {
  std::string l = low.empty() ? std::string() : SeekForm(trimBlanks(low));
  std::string h = high.empty() ? std::string() : SeekForm(trimBlanks(high));
  if (KeyType == 'C') {
    l = trimBlanks(l);
    h = trimBlanks(h);
  }
  bool changed = !hasRange_ || l != low_ || h != high_ || partial != rangePartial_;
  low_ = std::move(l);
  high_ = std::move(h);
  rangePartial_ = partial;
  hasRange_ = !low_.empty() || !high_.empty();
  if (changed) Move(-3);
  return changed;
}

void XBobjIndexTag::ClearRange() {
  hasRange_ = false;
  low_.clear();
  high_.clear();
}

std::vector<TxbIndexEntry> XBobjIndexTag::Entries() {
  std::vector<TxbIndexEntry> out;
  if (Retired) return out;
  TxbIndexOp op(file_);
  TxbPath p;
  for (bool ok = lFirst(p); ok; ok = lNext(p)) {
    out.push_back({std::string(keyAt(p)), recAt(p)});
    file_.ResetVisits();
  }
  return out;
}

std::string XBobjIndexTag::SeekForm(std::string_view text) const {
  if (KeyType == 'N' || KeyType == 'D') {
    TxbKeyValue v;
    v.type = KeyType;
    bool ok = KeyType == 'N' ? xbParseNumber(text, v.number) : xbParseDate(text, v.julian);
    if (!ok) xbRaise(msg::InvalidValue, {KeyType == 'N' ? "numeric" : "date", Name});
    v.length = KeyLength;
    v.decimals = Decimals;
    return MakeKey(v);
  }
  std::string t(text);
  if (file_.Translate()) t = xbAnsiToOemStr(t);
  if (t.size() > static_cast<size_t>(KeyLength)) t.resize(static_cast<size_t>(KeyLength));
  return t;
}

std::string XBobjIndexTag::DisplayKey(const std::string& key) const {
  if (KeyType == 'N') return xbNumberText(xbDoubleFromSortable(key));
  if (KeyType == 'D') {
    double d = xbDoubleFromSortable(key);
    if (!(d >= 1 && d <= xbJulianMax)) return std::string();
    return xbDBFDate().JulianToDBFStr(static_cast<int32_t>(d));
  }
  std::string t = key;
  while (!t.empty() && t.back() == ' ') t.pop_back();
  if (file_.Translate()) t = xbOemToAnsiStr(t);
  return t;
}

// ---------------------------------------------------------------- bulk build

// Packs entries arriving in storage order into pages, level by level from the
// leaves up, each page written as soon as it is closed; returns the root.
class TxbTreePacker {
public:
  explicit TxbTreePacker(XBobjIndexTag& t) : t_(t) {}

  void Add(std::string_view key, int32_t recNo) { add(0, key, recNo, 0); }

  uint32_t Finish() {
    if (levels_.empty()) {
      XBobjIndexKey& p = level(0);
      start(p);
      t_.Root = p.Address;
      p.BulkLayout = true;
      t_.PageWrite(p);
      return p.Address;
    }
    if (t_.style_ == TxbTreeStyle::KeysInInterior) finishKeys();
    for (size_t L = 0; L < levels_.size(); ++L) {
      if (t_.style_ == TxbTreeStyle::SeparatorsWithTail && L > 0 && pend_[L].has) splitPending(L);
      XBobjIndexKey& p = level(L);
      const bool top = L + 1 == levels_.size();
      start(p);
      switch (t_.style_) {
        case TxbTreeStyle::KeysInInterior:
          if (top) return root(p);
          t_.PageWrite(p);
          level(L + 1).Tail = p.Address;
          break;
        case TxbTreeStyle::SeparatorsWithTail: {
          std::string sep;
          if (p.Leaf) {
            sep.assign(p.Key(p.Count() - 1));
          } else {
            sep.assign(p.Key(p.Count() - 1));
            p.Tail = p.Child(p.Count() - 1);
            p.Erase(p.Count() - 1);
          }
          if (top) return root(p);
          t_.PageWrite(p);
          add(static_cast<int>(L) + 1, sep, 0, p.Address);
          break;
        }
        case TxbTreeStyle::SeparatorsPerChild: {
          if (top) return root(p);
          std::string key(p.Key(p.Count() - 1));
          int32_t rec = p.RecNo(p.Count() - 1);
          p.Right = xbNoPage;
          t_.PageWrite(p);
          add(static_cast<int>(L) + 1, key, rec, p.Address);
          break;
        }
      }
    }
    return t_.Root;
  }

private:
  struct Pending {
    bool has = false;
    std::string key;
    int32_t recNo = 0;
    uint32_t child = 0;
  };

  XBobjIndexKey& level(size_t L) {
    if (L >= 32) xbRaise(msg::IndexTooDeep, {t_.file_.FileName(), int32_t{32}});
    while (levels_.size() <= L) {
      levels_.push_back(fresh(levels_.empty()));
      pend_.emplace_back();
    }
    return *levels_[L];
  }
  std::unique_ptr<XBobjIndexKey> fresh(bool leaf) {
    auto p = std::make_unique<XBobjIndexKey>(0, static_cast<size_t>(t_.KeyLength), leaf);
    p->BulkLayout = true;
    return p;
  }
  void start(XBobjIndexKey& p) {
    if (p.Address == 0) p.Address = t_.AllocatePage(&p);
  }
  uint32_t root(XBobjIndexKey& p) {
    t_.Root = p.Address;
    t_.PageWrite(p);
    return p.Address;
  }
  void append(XBobjIndexKey& p, std::string_view key, int32_t recNo, uint32_t child) {
    start(p);
    p.Append(key, recNo, child);
  }

  void add(int L, std::string_view key, int32_t recNo, uint32_t child) {
    XBobjIndexKey& p = level(static_cast<size_t>(L));
    Pending& pend = pend_[static_cast<size_t>(L)];
    switch (t_.style_) {
      case TxbTreeStyle::KeysInInterior: {
        if (L == 0) {
          if (pend.has) {
            // The held key separates the full leaf from the one this key starts.
            t_.PageWrite(p);
            uint32_t addr = p.Address;
            Pending up = pend;
            pend.has = false;
            levels_[0] = fresh(true);
            append(*levels_[0], key, recNo, 0);
            add(1, up.key, up.recNo, addr);
            return;
          }
          if (t_.PackFits(p, key, 0)) {
            append(p, key, recNo, 0);
            return;
          }
          pend = {true, std::string(key), recNo, 0};
          return;
        }
        if (t_.PackFits(p, key, L)) {
          append(p, key, recNo, child);
          return;
        }
        // The last key goes up; its child stays as the page's rightmost child.
        int last = p.Count() - 1;
        std::string up(p.Key(last));
        int32_t upRec = p.RecNo(last);
        p.Tail = p.Child(last);
        p.Erase(last);
        t_.PageWrite(p);
        uint32_t addr = p.Address;
        levels_[static_cast<size_t>(L)] = fresh(false);
        append(*levels_[static_cast<size_t>(L)], key, recNo, child);
        add(L + 1, up, upRec, addr);
        return;
      }
      case TxbTreeStyle::SeparatorsWithTail: {
        if (L == 0) {
          if (t_.PackFits(p, key, 0)) {
            append(p, key, recNo, 0);
            return;
          }
          std::string sep(p.Key(p.Count() - 1));
          t_.PageWrite(p);
          uint32_t addr = p.Address;
          levels_[0] = fresh(true);
          append(*levels_[0], key, recNo, 0);
          add(1, sep, 0, addr);
          return;
        }
        if (!pend.has) {
          if (t_.PackFits(p, key, L)) {
            append(p, key, 0, child);
            return;
          }
          pend = {true, std::string(key), 0, child};   // held, so that a last page never stays alone
          return;
        }
        close(static_cast<size_t>(L), p);
        XBobjIndexKey& n = *levels_[static_cast<size_t>(L)];
        append(n, pend.key, 0, pend.child);
        pend.has = false;
        append(n, key, 0, child);
        return;
      }
      case TxbTreeStyle::SeparatorsPerChild: {
        if (t_.PackFits(p, key, L)) {
          append(p, key, recNo, child);
          return;
        }
        auto n = fresh(p.Leaf);
        n->Address = t_.AllocatePage(n.get());
        n->Left = p.Address;
        p.Right = n->Address;
        std::string up(p.Key(p.Count() - 1));
        int32_t upRec = p.RecNo(p.Count() - 1);
        t_.PageWrite(p);
        uint32_t addr = p.Address;
        levels_[static_cast<size_t>(L)] = std::move(n);
        XBobjIndexKey& q = *levels_[static_cast<size_t>(L)];
        t_.PackFits(q, key, L);
        q.Append(key, recNo, child);
        add(L + 1, up, upRec, addr);
        return;
      }
    }
  }

  // Closes the interior page of level L (its last entry's child becomes its rightmost
  // child, the entry's key goes up) and opens an empty one.
  void close(size_t L, XBobjIndexKey& p) {
    int last = p.Count() - 1;
    std::string sep(p.Key(last));
    p.Tail = p.Child(last);
    p.Erase(last);
    t_.PageWrite(p);
    uint32_t addr = p.Address;
    levels_[L] = fresh(false);
    add(static_cast<int>(L) + 1, sep, 0, addr);
  }

  // A full interior page and one entry held at the end: the entries are shared by two pages.
  void splitPending(size_t L) {
    XBobjIndexKey& p = level(L);
    Pending pend = pend_[L];
    pend_[L].has = false;
    auto q = fresh(false);
    int h = p.Count() / 2 + 1;
    for (int i = h; i < p.Count(); ++i) q->Append(p.Key(i), 0, p.Child(i));
    p.Erase(h, p.Count() - h);
    q->Append(pend.key, 0, pend.child);
    close(L, p);
    XBobjIndexKey& n = *levels_[L];
    start(n);
    for (int i = 0; i < q->Count(); ++i) n.Append(q->Key(i), 0, q->Child(i));
  }

  // The key held at the end of a keys-in-interior build: it joins the last leaf, or
  // takes the place of its last key, which then goes up.
  void finishKeys() {
    Pending& pend = pend_[0];
    if (!pend.has) return;
    XBobjIndexKey& p = level(0);
    pend.has = false;
    p.Append(pend.key, pend.recNo, 0);
    if (!t_.PageOverflows(p)) return;
    p.Erase(p.Count() - 1);
    int last = p.Count() - 1;
    std::string up(p.Key(last));
    int32_t upRec = p.RecNo(last);
    p.Erase(last);
    t_.PageWrite(p);
    uint32_t addr = p.Address;
    levels_[0] = fresh(true);
    append(*levels_[0], pend.key, pend.recNo, 0);
    add(1, up, upRec, addr);
  }

  XBobjIndexTag& t_;
  std::vector<std::unique_ptr<XBobjIndexKey>> levels_;
  std::deque<Pending> pend_;   // references stay valid while levels are added
};

void XBobjIndexTag::Build() {
  DropPages();
  clearCurrent();
  XBO_dBHandler& table = file_.Table();
  const uint32_t count = table.CountFromSize();
  const size_t rl = table.RecordLength;
  TxbSort sorter(std::clamp(KeyLength, 1, TxbSort::MaxKeyLength), nullptr, !storeDescending(), false);
  // Records are read straight from the file, a batch at a time, so that the table's
  // own buffer stays as it is.
  const size_t batch = std::max<size_t>(1, 65536 / rl);
  std::vector<uint8_t> buf(batch * rl + 1);
  std::string key;
  TxbVariant v;
  for (uint32_t first = 1; first <= count;) {
    size_t n = std::min<size_t>(batch, count - first + 1);
    int64_t pos = static_cast<int64_t>(table.HeaderLength) + static_cast<int64_t>(first - 1) * static_cast<int64_t>(rl);
    if (table.XBO_DiskFile::Read(pos, buf.data(), static_cast<int64_t>(n * rl)) != static_cast<int64_t>(n * rl))
      xbRaise(xb::msg::ErrorRead, {table.FileName});
    for (size_t i = 0; i < n; ++i) {
      uint8_t* rec = buf.data() + i * rl;
      if (table.Encrypted) xbEncrypt(table.Password, rec, rec, rl, 0);
      if (!KeyFor(rec, key)) continue;
      v.SetRaw(key.data(), key.size());
      sorter.AddKey(v, static_cast<int32_t>(first + i));
    }
    first += static_cast<uint32_t>(n);
  }
  PackStart(sorter.KeyCount());
  TxbTreePacker packer(*this);
  // A unique tag keeps the first record of equal keys: in ascending order the first
  // of them, in descending order (higher record numbers first) the last.
  bool held = false;
  std::string heldKey;
  int32_t heldRec = 0, r = 0;
  while (sorter.NextKey(v, r)) {
    std::string k(reinterpret_cast<const char*>(v.Data()), v.Length());
    k.resize(static_cast<size_t>(KeyLength), '\0');
    if (!Unique) {
      packer.Add(k, r);
      continue;
    }
    if (held && k == heldKey) {
      if (storeDescending()) heldRec = r;
      continue;
    }
    if (held) packer.Add(heldKey, heldRec);
    held = true;
    heldKey = std::move(k);
    heldRec = r;
  }
  if (held) packer.Add(heldKey, heldRec);
  Root = packer.Finish();
  HeaderChanged = true;
}

// ---------------------------------------------------------------- operation guard

TxbIndexOp::TxbIndexOp(XBobjIndexFile& file) : f_(file) {
  if (!f_.Lock()) xbRaise(xb::msg::CannotLock, {f_.FileName()});
  f_.visits_ = 0;
}

TxbIndexOp::~TxbIndexOp() { f_.Unlock(); }

// ---------------------------------------------------------------- file

namespace {
constexpr size_t CipherPiece = 512;
constexpr int64_t MaxVisits = 4000000;
// The file's modification time is distrusted for this long after it was seen:
// writes within one tick of the coarse clock leave it unchanged.
constexpr int64_t RacyNanos = 100000000;

int64_t nowNanos() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
}  // namespace

XBobjIndexFile::XBobjIndexFile(XBO_dBHandler& table, const std::string& fileName)
    : table_(table), fileName_(fileName) {
  protocol_ = table.LockProtocol;
  key_ = table.Encrypted ? table.Password : std::string();
  translate_ = table.TranslateOEM;
}

XBobjIndexFile::~XBobjIndexFile() {
  if (disk_) {
    try {
      while (lockHeld_ && disk_->LockCount > 0) disk_->Unlock();
    } catch (...) {
    }
  }
}

void XBobjIndexFile::openDisk(bool create) {
  disk_ = std::make_unique<XBO_DiskFile>(fileName_, create ? true : table_.ReadWrite, table_.Shared);
  if (create)
    disk_->Create();
  else
    disk_->Open();
  fileName_ = disk_->FileName;
}

void XBobjIndexFile::loadLocked() {
  stale_ = true;
  TxbIndexOp op(*this);
}

void XBobjIndexFile::createLocked(const std::function<void()>& make) {
  creating_ = true;   // nothing on disk yet to compare with
  {
    TxbIndexOp op(*this);
    make();
    Commit();
  }
  creating_ = false;
}

void XBobjIndexFile::corrupt() const { xbRaise(msg::IndexCorrupted, {fileName_}); }
void XBobjIndexFile::badPage(int64_t pos) const { xbRaise(msg::IndexPageBad, {fileName_, pos}); }

void XBobjIndexFile::CountVisit() {
  if (++visits_ > MaxVisits) corrupt();
}

int64_t XBobjIndexFile::FileSize() {
  // While the index lock is held nobody else writes the file: its size is asked once
  // and then follows this object's own writes.
  if (locks_ > 0 && knownSize_ >= 0) return knownSize_;
  const int64_t size = disk_->FileSize();
  if (locks_ > 0) knownSize_ = size;
  return size;
}

bool XBobjIndexFile::Read(int64_t pos, void* buffer, size_t length) {
  if (pos < 0) return false;
  if (key_.empty()) return disk_->Read(pos, buffer, static_cast<int64_t>(length)) == static_cast<int64_t>(length);
  const int64_t a = pos / CipherPiece * CipherPiece;
  const int64_t b = (pos + static_cast<int64_t>(length) + CipherPiece - 1) / CipherPiece * CipherPiece;
  std::vector<uint8_t> tmp(static_cast<size_t>(b - a));
  int64_t got = disk_->Read(a, tmp.data(), b - a);
  if (got < pos + static_cast<int64_t>(length) - a) return false;
  for (int64_t at = 0; at < got; at += CipherPiece)
    xbEncrypt(key_, tmp.data() + at, tmp.data() + at, static_cast<size_t>(std::min<int64_t>(CipherPiece, got - at)), 0);
  std::memcpy(buffer, tmp.data() + (pos - a), length);
  return true;
}

void XBobjIndexFile::ReadPage(int64_t pos, void* buffer, size_t length) {
  if (!Read(pos, buffer, length)) badPage(pos);
}

void XBobjIndexFile::Write(int64_t pos, const void* buffer, size_t length) {
  if (ReadOnly()) xbRaise(msg::IndexReadOnly, {fileName_});
  written_ = true;
  if (key_.empty()) {
    diskWrite(pos, buffer, static_cast<int64_t>(length));
    if (knownSize_ >= 0) knownSize_ = std::max(knownSize_, pos + static_cast<int64_t>(length));
    return;
  }
  const int64_t a = pos / CipherPiece * CipherPiece;
  const int64_t b = (pos + static_cast<int64_t>(length) + CipherPiece - 1) / CipherPiece * CipherPiece;
  std::vector<uint8_t> tmp(static_cast<size_t>(b - a), 0);
  if (a != pos || b != pos + static_cast<int64_t>(length)) {
    // A piece written in part: the rest of it comes from the file.
    int64_t got = disk_->Read(a, tmp.data(), b - a);
    for (int64_t at = 0; at < got; at += CipherPiece)
      xbEncrypt(key_, tmp.data() + at, tmp.data() + at, static_cast<size_t>(std::min<int64_t>(CipherPiece, got - at)), 0);
  }
  std::memcpy(tmp.data() + (pos - a), buffer, length);
  for (size_t at = 0; at < tmp.size(); at += CipherPiece) xbEncrypt(key_, tmp.data() + at, tmp.data() + at, CipherPiece, 1);
  diskWrite(a, tmp.data(), b - a);
  if (knownSize_ >= 0) knownSize_ = std::max(knownSize_, b);
}

void XBobjIndexFile::diskWrite(int64_t pos, const void* buffer, int64_t length) {
  if (undoOn_) {
    // What the write overwrites, as the file held it when the record write began.
    if (undoSize_ < 0) undoSize_ = disk_->FileSize();
    const int64_t n = std::min(length, undoSize_ - pos);
    if (n > 0) {
      TxbUndoPiece u{pos, std::vector<uint8_t>(static_cast<size_t>(n))};
      if (disk_->Read(pos, u.bytes.data(), n) != n) xbRaise(xb::msg::ErrorRead, {fileName_});
      undo_.push_back(std::move(u));
    }
  }
  disk_->Write(pos, buffer, length);
}

void XBobjIndexFile::BeginKeyChange() {
  undoOn_ = disk_ && disk_->ReadWrite;
  undo_.clear();
  undoSize_ = -1;
}

void XBobjIndexFile::EndKeyChange() {
  undoOn_ = false;
  undo_.clear();
}

void XBobjIndexFile::TakeBackKeys() {
  if (!undoOn_) return;
  undoOn_ = false;
  if (undo_.empty() && undoSize_ < 0) return;   // nothing written: the file is as it was
  // Whatever happens below, the pages in memory are not what the file holds.
  dropPages();
  stale_ = true;
  nextFree_ = -1;
  knownSize_ = -1;
  std::vector<TxbUndoPiece> undo = std::move(undo_);
  undo_.clear();
  for (auto it = undo.rbegin(); it != undo.rend(); ++it)
    disk_->Write(it->pos, it->bytes.data(), static_cast<int64_t>(it->bytes.size()));
  // Pages added at the end go too; the index lock keeps other writers off the file.
  if (undoSize_ >= 0 && disk_->FileSize() > undoSize_ && xbTruncateFile(disk_->Handle, undoSize_) != 0)
    xbRaise(xb::msg::ErrorTruncate, {fileName_});
  if (table_.AutoFlush) disk_->Flush();
  noteFileState();
}

bool XBobjIndexFile::truncate(int64_t size) {
  if (ReadOnly() || !disk_->FullAccess()) return false;
  knownSize_ = -1;
  disk_->Truncate(size);
  return true;
}

void XBobjIndexFile::noteFileState() {
  struct stat st;
  if (disk_ && disk_->Handle >= 0 && ::fstat(disk_->Handle, &st) == 0) {
    seenSize_ = st.st_size;
    seenTime_ = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    notedAt_ = nowNanos();
  }
}

bool XBobjIndexFile::ChangedExternally() {
  if (!disk_ || !disk_->Shared || disk_->Handle < 0) return false;
  struct stat st;
  if (::fstat(disk_->Handle, &st) != 0) return false;
  return st.st_size != seenSize_ ||
         static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec != seenTime_;
}

bool XBobjIndexFile::NeedsReload() {
  if (!disk_ || !disk_->Shared) return false;
  // Without an update counter, a modification time seen shortly before it was noted
  // proves nothing: another write in the same tick of the clock would not change it.
  return ChangedExternally() || notedAt_ - seenTime_ < RacyNanos;
}

XBobjIndexTag* XBobjIndexFile::TagByName(std::string_view name) {
  std::string want = platform::Trim(std::string(name));
  for (auto& t : tags_)
    if (platform::SameText(t->Name, want)) return t.get();
  return nullptr;
}

std::vector<XBobjIndexTag*> XBobjIndexFile::allTags() {
  std::vector<XBobjIndexTag*> out;
  for (auto& t : tags_) out.push_back(t.get());
  return out;
}

void XBobjIndexFile::dropPages() {
  for (XBobjIndexTag* t : allTags()) t->DropPages();
}

void XBobjIndexFile::reload() {
  stale_ = false;
  try {
    LoadTags();
  } catch (...) {
    stale_ = true;
    throw;
  }
  noteFileState();
}

void XBobjIndexFile::retire(std::unique_ptr<XBobjIndexTag> tag) {
  tag->Retired = true;
  tag->DropPages();
  tag->ClearRange();
  retired_.push_back(std::move(tag));
}

bool XBobjIndexFile::TagDelete(const std::string&) { return false; }

void XBobjIndexFile::Commit() {
  for (XBobjIndexTag* t : allTags()) t->CommitPages();
  if (fileHeaderChanged_) {
    StoreFileHeader();
    fileHeaderChanged_ = false;
  }
  if (table_.AutoFlush) disk_->Flush();
  noteFileState();
}

void XBobjIndexFile::Flush() {
  if (disk_ && disk_->ReadWrite) disk_->Flush();
}

void XBobjIndexFile::UpdateKeys(int32_t recNo, const uint8_t* oldRecord) {
  if (recNo < 1 || tags_.empty()) return;
  TxbIndexOp op(*this);
  try {
    bool changed = false;
    for (auto& t : tags_) changed = t->UpdateRecord(recNo, table_.CurRecord, oldRecord) || changed;
    if (changed) {
      AfterChange();
      Commit();
    }
  } catch (...) {
    // What is in memory may no longer be what is on disk: everything is read again.
    dropPages();
    stale_ = true;
    throw;
  }
}

TxbLockSpan XBobjIndexFile::IndexLockSpan(int protocol) {
  switch (protocol) {
    case DB4Lock: return {0xEFFFFFFFull - 1, 2};
    case ClipLock: return {1000000000ull, 1};
    default: return {0x7FFFFFFEull - 1, 1};
  }
}

bool XBobjIndexFile::Lock() {
  if (locks_ > 0) {
    ++locks_;
    return true;
  }
  if (!disk_) return false;
  knownSize_ = -1;
  if (disk_->Shared) {
    TxbLockSpan s = IndexLockSpan(protocol_);
    int tries = xbLockRetry().tries();
    bool ok = false;
    for (int i = 0; i < tries && !ok; ++i) {
      ok = disk_->LockRange(s.offset, s.length);
      if (!ok && i + 1 < tries) xbSleep(xbLockRetry().intervalMs);
    }
    if (!ok) return false;
    lockHeld_ = true;
    nextFree_ = -1;   // another program may have made the file longer
  }
  locks_ = 1;
  try {
    if (stale_ || (!creating_ && NeedsReload())) reload();
  } catch (...) {
    locks_ = 0;
    if (lockHeld_) {
      lockHeld_ = false;
      try {
        disk_->Unlock();
      } catch (...) {
      }
    }
    throw;
  }
  return true;
}

void XBobjIndexFile::Unlock() {
  if (locks_ == 0) return;
  if (--locks_ > 0) return;
  knownSize_ = -1;
  for (XBobjIndexTag* t : allTags()) t->TrimPages();
  if (lockHeld_) {
    lockHeld_ = false;
    disk_->Unlock();
  }
}

bool XBobjIndexFile::Rename(const std::string& newName) {
  bool r = disk_->Rename(newName);
  fileName_ = disk_->FileName;
  return r;
}

void XBobjIndexFile::Reencrypt(const std::string& oldKey, const std::string& newKey) {
  TxbIndexOp op(*this);
  if (ReadOnly()) xbRaise(msg::IndexReadOnly, {fileName_});
  const int64_t size = FileSize();
  std::vector<uint8_t> buf(64 * CipherPiece);
  for (int64_t pos = 0; pos < size; pos += static_cast<int64_t>(buf.size())) {
    int64_t n = std::min<int64_t>(static_cast<int64_t>(buf.size()), size - pos);
    if (disk_->Read(pos, buf.data(), n) != n) xbRaise(xb::msg::ErrorRead, {fileName_});
    for (int64_t at = 0; at < n; at += CipherPiece) {
      size_t len = static_cast<size_t>(std::min<int64_t>(CipherPiece, n - at));
      xbEncrypt(oldKey, buf.data() + at, buf.data() + at, len, 0);
      xbEncrypt(newKey, buf.data() + at, buf.data() + at, len, 1);
    }
    disk_->Write(pos, buf.data(), n);
  }
  key_ = newKey;
  written_ = true;
  noteFileState();
}

void XBobjIndexFile::markProduction() {
  if (table_.ProductionIndex) return;
  const std::string& t = table_.FileName;
  size_t slash = t.find_last_of('/'), dot = t.find_last_of('.');
  std::string ext = (dot != std::string::npos && (slash == std::string::npos || dot > slash)) ? t.substr(dot) : "";
  if (!platform::SameText(xbChangeExt(fileName_, ext), t)) return;
  table_.ProductionIndex = true;
  table_.HeaderChanged = true;
  table_.RefreshHeader();
  table_.WriteHeader();
}

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
