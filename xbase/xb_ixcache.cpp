// The page cache of a tag: the pages in memory (XBobjIndexKey), their reading,
// allocation and trimming, and the write of the pages an operation changed.
#include "xbase/xb_indx.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <unordered_map>

#include "xbase/xb_cnst.h"

namespace xb {

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

int XBobjIndexTag::SplitCount(const XBobjIndexKey& page, int) const {
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
  // New pages first (nothing refers to them yet), then the interior pages from the top
  // down, each before the pages below it that gave it entries, the leaves last: an
  // insert whose writes are cut short leaves keys twice, never lost.
  std::unordered_map<const XBobjIndexKey*, int> rank;
  for (XBobjIndexKey* p : order) {
    int height = 0;
    for (XBobjIndexKey* q = p; !q->Leaf && height < 32 && childCount(*q) > 0; ++height) q = &page(childAt(*q, 0));
    rank[p] = p->Fresh ? -1000 : -height;
  }
  std::sort(order.begin(), order.end(), [&](const XBobjIndexKey* a, const XBobjIndexKey* b) {
    return rank[a] != rank[b] ? rank[a] < rank[b] : a->Address < b->Address;
  });
  for (XBobjIndexKey* p : order) {
    PageWrite(*p);
    p->Changed = p->Fresh = false;
    p->BulkLayout = false;   // written again only by an update
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

}  // namespace xb
