#pragma once
// The table of the index benchmarks: NAME C20, AMT N10.2 with n records, written
// directly in the published layout; the names come from nameOf, the amounts run
// from -1000.5 to 999.5.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

inline void writeNameAmountTable(const std::string& path, int64_t n, const std::function<std::string(int64_t)>& nameOf) {
  const int rl = 1 + 20 + 10;
  std::string h(32 + 64 + 1, '\0');
  h[0] = 3;
  uint32_t cnt = static_cast<uint32_t>(n);
  std::memcpy(&h[4], &cnt, 4);
  uint16_t hl = static_cast<uint16_t>(h.size()), r = rl;
  std::memcpy(&h[8], &hl, 2);
  std::memcpy(&h[10], &r, 2);
  auto field = [&](int at, const char* name, char type, int len, int dec) {
    std::memcpy(&h[static_cast<size_t>(at)], name, std::strlen(name));
    h[static_cast<size_t>(at + 11)] = type;
    h[static_cast<size_t>(at + 16)] = static_cast<char>(len);
    h[static_cast<size_t>(at + 17)] = static_cast<char>(dec);
  };
  field(32, "NAME", 'C', 20, 0);
  field(64, "AMT", 'N', 10, 2);
  h.back() = 0x0D;
  std::string body;
  body.reserve(static_cast<size_t>(n) * rl + 1);
  char amt[32];
  for (int64_t i = 0; i < n; ++i) {
    std::string nm = nameOf(i);
    nm.resize(20, ' ');
    std::snprintf(amt, sizeof amt, "%10.2f", static_cast<double>(i % 2001) - 1000.5);
    body += ' ';
    body += nm;
    body += amt;
  }
  body += '\x1A';
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(h.data(), 1, h.size(), f);
  std::fwrite(body.data(), 1, body.size(), f);
  std::fclose(f);
}
