#pragma once
// Test fixture builder: DBF tables of every accepted version and their memo files,
// written byte by byte from the published layouts.
#include <cstdint>
#include <string>
#include <vector>

namespace xbt {

struct FieldSpec {
  std::string name;
  char type;
  int length;
  int decimals = 0;
};

class DbfBuilder {
public:
  DbfBuilder(uint8_t version, std::vector<FieldSpec> fields);
  DbfBuilder& flags(uint8_t f) { flags_ = f; return *this; }
  DbfBuilder& countInHeader(uint32_t n) { count_ = n; countSet_ = true; return *this; }
  DbfBuilder& headerLength(uint16_t n) { hlen_ = n; return *this; }
  DbfBuilder& recordLength(uint16_t n) { rlen_ = n; rlenSet_ = true; return *this; }
  DbfBuilder& noEofMark() { eof_ = false; return *this; }
  // Field values as bytes: shorter texts are padded (C, D, L left-aligned, others right-aligned).
  DbfBuilder& record(bool deleted, const std::vector<std::string>& values);
  std::string bytes() const;
  void write(const std::string& path) const;
  uint16_t computedHeaderLength() const;
  uint16_t computedRecordLength() const;

private:
  uint8_t version_;
  std::vector<FieldSpec> fields_;
  std::vector<std::string> records_;
  uint8_t flags_ = 0;
  uint32_t count_ = 0;
  bool countSet_ = false;
  uint16_t hlen_ = 0, rlen_ = 0;
  bool eof_ = true;
  bool rlenSet_ = false;
};

std::string C(const std::string& s, int n);
std::string N(double v, int n, int d = 0);
std::string D(int y, int m, int d);
std::string LE32(uint32_t v);
std::string LE64(uint64_t v);
std::string BE32(uint32_t v);
std::string Dbl(double v);

struct MemoImage {
  std::string bytes;
  std::vector<uint32_t> blocks;
};
MemoImage Dbt3(const std::vector<std::string>& texts);
MemoImage Dbt4(const std::vector<std::string>& texts, uint32_t blockSize = 512);
MemoImage Fpt(const std::vector<std::string>& texts, uint32_t blockSize = 64, const std::vector<uint32_t>& types = {});

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);

// A fresh temporary folder (with trailing '/'), removed by the destructor.
class TempDir {
public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + name; }

private:
  std::string path_;
};

// UTF-8 literal to CP866 / CP1251 bytes.
std::string Oem(const std::string& utf8);
std::string Ansi(const std::string& utf8);

}  // namespace xbt
