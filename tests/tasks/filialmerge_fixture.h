#pragma once
// Branch archives for the merge tests: the 23 data packets (XML form) written by the
// client-dataset packet writer and packed by a small ZIP writer (stored entries), and a
// centre database with the data module connected to it.
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "db/ClientDataSet.h"
#include "dbf_fixture.h"

namespace mergetest {

using cds::Value;
using Row = std::vector<Value>;

// A date / a time stamp value.
Value D(int y, int m, int d);
Value TS(int y, int m, int d, int h = 0, int n = 0);
Value I(int v);
Value S(const char* utf8);  // UTF-8 text, stored as CP1251
Value N();                  // null

// A ZIP archive of stored entries (name, bytes).
std::string ZipStored(const std::vector<std::pair<std::string, std::string>>& entries);

class BranchArchive {
public:
  BranchArchive();  // the 23 packets, empty, with the columns of the centre tables
  // Adds a row (values in column order; missing trailing values are null).
  BranchArchive& add(const std::string& file, Row row);
  // The column names of a packet.
  const std::vector<std::string>& columns(const std::string& file) const;
  // Writes the ZIP archive; `skip` leaves packets out, `extra` adds entries.
  void write(const std::string& zipPath, const std::vector<std::string>& skip = {},
             const std::vector<std::pair<std::string, std::string>>& extra = {}) const;
  // The XML packet of one file.
  std::string packet(const std::string& file) const;

private:
  struct Packet {
    std::vector<cds::TFieldDef> defs;
    std::vector<std::string> names;
    std::vector<Row> rows;
  };
  std::map<std::string, Packet> packets_;
  std::vector<std::string> order_;
};

// A packet of `fields` float fields and `rows` empty rows (every field null): a few
// hundred kilobytes that would make gigabytes of row records.
std::string WidePacket(int fields, int rows);

// An XML packet of the writer with `fields` (FIELD elements) added after its own, its
// PARAMS element replaced by `params` and `rows` put before its own rows.
std::string Enlarged(std::string packet, const std::string& fields, const std::string& params,
                     const std::string& rows);

// The clinic database, the data module connected on the SQL connection, a fake window,
// today 10.12.2026 (the bound of the centre rows is then 10.12.2025).
class MergeFixture : public dbftest::DbfTaskFixture {
public:
  std::string merge(const std::vector<std::string>& files, bool flag = true, bool setKod = true);
  bool exists(const std::string& path) const;
};

}  // namespace mergetest
