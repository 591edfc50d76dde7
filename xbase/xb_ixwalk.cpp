// The walk and the seek of a tag: the tree primitives in storage order, the
// position, navigation, ranges and seeks in the tag's own order.
#include "xbase/xb_indx.h"

#include <algorithm>
#include <cstring>

#include "xbase/xb_cnst.h"
#include "xbase/xb_date.h"
#include "xbase/xb_glbl.h"

namespace xb {

namespace {
std::string trimBlanks(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && s[n - 1] == ' ') --n;
  return std::string(s.substr(0, n));
}
}  // namespace

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

size_t XBobjIndexTag::Depth() {
  if (Retired) return 0;
  TxbIndexOp op(file_);
  TxbPath p;
  return first(p) ? p.size() : 1;
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

}  // namespace xb
