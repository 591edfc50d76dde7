#include "legacy_encoders.h"

#include <algorithm>
#include <map>
#include <queue>
#include <stdexcept>

namespace ziptest {

void BitWriter::Put(uint32_t v, unsigned n) {
  for (unsigned i = 0; i < n; ++i) {
    acc_ |= ((v >> i) & 1u) << count_;
    if (++count_ == 8) {
      out_.push_back(static_cast<uint8_t>(acc_));
      acc_ = 0;
      count_ = 0;
    }
  }
}
void BitWriter::PutRev(uint32_t code, unsigned n) {
  for (unsigned i = n; i-- > 0;) Put((code >> i) & 1u, 1);
}
Bytes BitWriter::Finish() {
  if (count_) out_.push_back(static_cast<uint8_t>(acc_));
  acc_ = 0;
  count_ = 0;
  return std::move(out_);
}

// ---------------------------------------------------------------- shrink

Bytes Shrink(const Bytes& data, const ShrinkOptions& opt, ShrinkStats* stats) {
  BitWriter w;
  if (data.empty()) return w.Finish();
  unsigned width = 9;
  std::vector<int> parent(8192, -1), kids(8192, 0);
  std::vector<uint8_t> ch(8192, 0);
  std::vector<bool> used(8192, false);
  for (int i = 0; i < 257; ++i) used[static_cast<size_t>(i)] = true;
  std::map<std::pair<int, int>, int> look;
  auto emit = [&](int code) {
    while (code >= (1 << width)) {
      w.Put(256, width);
      w.Put(1, width);
      ++width;
    }
    w.Put(static_cast<uint32_t>(code), width);
  };
  auto freeCode = [&]() {
    for (int c = 257; c < 8192; ++c)
      if (!used[static_cast<size_t>(c)]) return c;
    return -1;
  };
  auto clear = [&] {
    std::vector<int> leaves;
    for (int c = 257; c < 8192; ++c)
      if (used[static_cast<size_t>(c)] && kids[static_cast<size_t>(c)] == 0) leaves.push_back(c);
    for (int c : leaves) {
      --kids[static_cast<size_t>(parent[static_cast<size_t>(c)])];
      look.erase({parent[static_cast<size_t>(c)], ch[static_cast<size_t>(c)]});
      used[static_cast<size_t>(c)] = false;
      parent[static_cast<size_t>(c)] = -1;
    }
    if (stats) ++stats->clears;
  };
  int cur = data[0];
  int last = -2;
  int emitted = 0;
  for (size_t i = 1; i < data.size(); ++i) {
    const int c = data[i];
    auto it = look.find({cur, c});
    if (it != look.end()) {
      cur = it->second;
      continue;
    }
    if (cur == last && stats) ++stats->kwkwk;
    emit(cur);
    ++emitted;
    const bool want = (opt.clearWhenFull && freeCode() < 0) || (opt.clearEvery && emitted % opt.clearEvery == 0);
    // A clear that would free the current code would leave the next entry without its prefix.
    if (want && (cur < 257 || kids[static_cast<size_t>(cur)] > 0)) {
      emit(256);
      w.Put(2, width);
      clear();
    }
    const int nc = freeCode();
    last = -2;
    if (nc >= 0) {
      used[static_cast<size_t>(nc)] = true;
      parent[static_cast<size_t>(nc)] = cur;
      ch[static_cast<size_t>(nc)] = static_cast<uint8_t>(c);
      ++kids[static_cast<size_t>(cur)];
      look[{cur, c}] = nc;
      last = nc;
    }
    cur = c;
  }
  emit(cur);
  return w.Finish();
}

// ---------------------------------------------------------------- reduce

Bytes Reduce(const Bytes& data, int method, const std::vector<Bytes>& followers) {
  const unsigned f = static_cast<unsigned>(method - 1);
  const uint32_t mask = 0xFFu >> f;
  const size_t maxDist = size_t{256} << f;
  BitWriter w;
  for (int b = 255; b >= 0; --b) {
    const Bytes& fs = followers[static_cast<size_t>(b)];
    w.Put(static_cast<uint32_t>(fs.size()), 6);
    for (uint8_t x : fs) w.Put(x, 8);
  }
  auto bbits = [](size_t n) -> unsigned {
    return n == 0 ? 0 : n <= 2 ? 1 : n <= 4 ? 2 : n <= 8 ? 3 : n <= 16 ? 4 : n <= 32 ? 5 : 6;
  };
  uint8_t prev = 0;
  auto tok = [&](uint8_t b) {
    const Bytes& fs = followers[prev];
    const size_t n = std::min<size_t>(fs.size(), 32);
    auto pos = std::find(fs.begin(), fs.begin() + static_cast<std::ptrdiff_t>(n), b);
    if (n == 0) {
      w.Put(b, 8);
    } else if (pos != fs.begin() + static_cast<std::ptrdiff_t>(n)) {
      w.Put(0, 1);
      w.Put(static_cast<uint32_t>(pos - fs.begin()), bbits(n));
    } else {
      w.Put(1, 1);
      w.Put(b, 8);
    }
    prev = b;
  };
  size_t i = 0;
  while (i < data.size()) {
    size_t bestLen = 0, bestDist = 0;
    for (size_t d = 1; d <= std::min(i, maxDist); ++d) {
      size_t l = 0;
      while (i + l < data.size() && l < mask + 255 + 3 && data[i + l - d] == data[i + l]) ++l;
      if (l > bestLen) {
        bestLen = l;
        bestDist = d;
      }
    }
    // V = 0 would read as a literal 144: a length-3 match needs a distance above 256.
    if (bestLen >= 3 && !(bestLen == 3 && bestDist <= 256)) {
      const uint32_t lc = static_cast<uint32_t>(std::min<size_t>(bestLen - 3, mask));
      const uint32_t v = static_cast<uint32_t>(((bestDist - 1) >> 8) << (8 - f)) | lc;
      tok(144);
      tok(static_cast<uint8_t>(v));
      if (bestLen - 3 >= mask) tok(static_cast<uint8_t>(bestLen - 3 - mask));
      tok(static_cast<uint8_t>((bestDist - 1) & 0xFF));
      i += bestLen;
    } else {
      tok(data[i]);
      if (data[i] == 144) tok(0);
      ++i;
    }
  }
  return w.Finish();
}

// ---------------------------------------------------------------- implode

namespace {
std::vector<unsigned> HuffLengths(const std::vector<uint32_t>& freq) {
  using Node = std::pair<uint64_t, std::vector<size_t>>;
  auto cmp = [](const Node& a, const Node& b) { return a.first > b.first; };
  std::priority_queue<Node, std::vector<Node>, decltype(cmp)> q(cmp);
  for (size_t i = 0; i < freq.size(); ++i) q.push({freq[i], {i}});
  std::vector<unsigned> len(freq.size(), 0);
  while (q.size() > 1) {
    Node a = q.top();
    q.pop();
    Node b = q.top();
    q.pop();
    for (size_t s : a.second) ++len[s];
    for (size_t s : b.second) ++len[s];
    a.second.insert(a.second.end(), b.second.begin(), b.second.end());
    q.push({a.first + b.first, std::move(a.second)});
  }
  for (unsigned l : len)
    if (l > 16 || l == 0) throw std::runtime_error("tree too deep for the test encoder");
  return len;
}
std::vector<uint32_t> Canon(const std::vector<unsigned>& len) {
  std::vector<uint32_t> codes(len.size(), 0);
  uint32_t code = 0;
  for (unsigned l = 1; l <= 16; ++l) {
    for (size_t s = 0; s < len.size(); ++s)
      if (len[s] == l) codes[s] = code++;
    code <<= 1;
  }
  return codes;
}
void PutTree(Bytes& out, const std::vector<unsigned>& len) {
  std::vector<std::pair<unsigned, unsigned>> runs;
  for (unsigned l : len) {
    if (!runs.empty() && runs.back().first == l && runs.back().second < 16)
      ++runs.back().second;
    else
      runs.push_back({l, 1});
  }
  out.push_back(static_cast<uint8_t>(runs.size() - 1));
  for (auto [l, n] : runs) out.push_back(static_cast<uint8_t>(((n - 1) << 4) | (l - 1)));
}
}  // namespace

Bytes Implode(const Bytes& data, bool bigDict, bool litTree, uint16_t& flags, size_t zeroRefLen) {
  const unsigned lowBits = bigDict ? 7 : 6;
  const size_t mml = litTree ? 3 : 2;
  const size_t maxDist = bigDict ? 8192 : 4096;
  struct Tok {
    bool match;
    size_t a, b;  // literal byte, or length and distance
  };
  std::vector<Tok> toks;
  // Optionally start with a match that reaches before the output: it gives zeros.
  Bytes buf(zeroRefLen, 0);
  size_t i = zeroRefLen;
  if (zeroRefLen) toks.push_back({true, zeroRefLen, zeroRefLen / 2 + 1});
  buf.insert(buf.end(), data.begin(), data.end());
  while (i < buf.size()) {
    size_t bestLen = 0, bestDist = 0;
    for (size_t d = 1; d <= std::min(i, maxDist); ++d) {
      size_t l = 0;
      while (i + l < buf.size() && l < mml + 63 + 255 && buf[i + l - d] == buf[i + l]) ++l;
      if (l > bestLen) {
        bestLen = l;
        bestDist = d;
      }
    }
    if (bestLen >= mml) {
      toks.push_back({true, bestLen, bestDist});
      i += bestLen;
    } else {
      toks.push_back({false, buf[i], 0});
      ++i;
    }
  }
  std::vector<uint32_t> lf(256, 1), mf(64, 1), df(64, 1);
  for (const Tok& t : toks) {
    if (!t.match) {
      lf[t.a] += 4;
    } else {
      mf[std::min<size_t>(t.a - mml, 63)] += 4;
      df[(t.b - 1) >> lowBits] += 4;
    }
  }
  auto ll = HuffLengths(lf), ml = HuffLengths(mf), dl = HuffLengths(df);
  auto lc = Canon(ll), mc = Canon(ml), dc = Canon(dl);
  Bytes out;
  if (litTree) PutTree(out, ll);
  PutTree(out, ml);
  PutTree(out, dl);
  BitWriter w;
  auto sf = [&](uint32_t code, unsigned n) { w.PutRev(~code & ((1u << n) - 1u), n); };
  for (const Tok& t : toks) {
    if (!t.match) {
      w.Put(1, 1);
      if (litTree)
        sf(lc[t.a], ll[t.a]);
      else
        w.Put(static_cast<uint32_t>(t.a), 8);
    } else {
      w.Put(0, 1);
      const size_t d = t.b - 1;
      w.Put(static_cast<uint32_t>(d & ((size_t{1} << lowBits) - 1)), lowBits);
      const size_t hi = d >> lowBits;
      sf(dc[hi], dl[hi]);
      const size_t lcode = std::min<size_t>(t.a - mml, 63);
      sf(mc[lcode], ml[lcode]);
      if (lcode == 63) w.Put(static_cast<uint32_t>(t.a - mml - 63), 8);
    }
  }
  Bytes body = w.Finish();
  out.insert(out.end(), body.begin(), body.end());
  flags = static_cast<uint16_t>((bigDict ? 2 : 0) | (litTree ? 4 : 0));
  return out;
}

}  // namespace ziptest
