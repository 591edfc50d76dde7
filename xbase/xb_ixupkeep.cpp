// The upkeep of a tag's pages: inserts, removals, splits and emptied pages,
// the keys of a written record, and the bulk build.
#include "xbase/xb_indx.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "platform/exception.h"
#include "platform/strutil.h"
#include "xbase/checked.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_encrxm.h"
#include "xbase/xb_sort.h"

namespace xb {

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
  int h = SplitCount(p, path[d].idx);
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
  // The change stays at its place in the page's remaining entries (before them when it
  // went to the new page), for a page that has to split again.
  path[d].idx = std::max(0, path[d].idx - h);
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
    // The leaf the separators give the key, which it may leave only for equal keys of
    // lower records that go on in the next leaf: a separator may still carry the last
    // key of a leaf that lost it, and no smaller key may go to the right of it.
    const TxbSeek s{key, recNo, true};
    descend(s, false, path);
    for (;;) {
      if (path.back().idx < page(path.back().addr).Count()) break;
      TxbPath next = path;
      if (!climbNext(next) || keyAt(next) != key) break;
      path = std::move(next);
      XBobjIndexKey& q = page(path.back().addr);
      while (path.back().idx < q.Count() && cmpEntry(q, path.back().idx, s) < 0) ++path.back().idx;
    }
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
  settleChanged();
  hasCur_ = true;
  curKey_ = key;
  curRec_ = recNo;
  pathVersion_ = 0;
  return true;
}

bool XBobjIndexTag::AddIfMissing(int32_t recNo, const uint8_t* record) {
  if (Retired) return false;
  std::string key;
  if (!KeyFor(record, key)) return false;
  TxbPath path;
  if (findEntry(key, recNo, path)) return false;
  // A unique tag whose key another record holds takes no second one (and needs no walk).
  if (Unique && seekBound({key, 0, false}, false, path) && keyAt(path) == key) return false;
  // Kept under another key (a file written under another collation, or by a program
  // that computes this key otherwise): the record has its entry.
  if (HoldsRecord(recNo)) return false;
  return KeyAdd(key, recNo, true);
}

bool XBobjIndexTag::HoldsRecord(int32_t recNo) {
  TxbPath path;
  for (bool at = first(path); at; at = stepNext(path))
    if (recAt(path) == recNo) return true;
  return false;
}

bool XBobjIndexTag::KeyDelete(const std::string& key, int32_t recNo) {
  TxbPath path;
  if (!findEntry(key, recNo, path)) return false;
  deleteAt(path);
  settleChanged();
  return true;
}

void XBobjIndexTag::settleChanged() {
  // A page changed beside the one an entry went into (a neighbour whose link changed,
  // a page whose entries moved) is written in the layout the tag needs now, which may
  // take more room than the one it was read in: whatever no longer fits splits too.
  for (size_t i = 0; i < changed_.size(); ++i) {
    auto it = pages_.find(changed_[i]);
    if (it == pages_.end() || !it->second->Changed || it->second->Count() == 0) continue;
    XBobjIndexKey& p = *it->second;
    if (!PageOverflows(p)) continue;
    const uint32_t addr = p.Address;
    // The path to the page, whatever its level: an interior page left too full by a
    // split (the new page of an interior split) splits at its own level.
    TxbPath path;
    descend({std::string(p.Key(p.Count() - 1)), p.RecNo(p.Count() - 1), true}, false, path);
    auto at = std::find_if(path.begin(), path.end(), [&](const TxbPathStep& s) { return s.addr == addr; });
    if (at == path.end()) file_.badPage(PagePos(addr));
    path.erase(at + 1, path.end());
    settle(path);
    i = static_cast<size_t>(-1);   // splits change other pages: look at them all again
  }
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

}  // namespace xb
