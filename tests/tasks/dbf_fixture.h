#pragma once
// DBF fixtures for the DBF tasks, written by the python3-dbf package (an independent
// writer) in CP866, and a clinic database with a data module connected to it.
#include <optional>
#include <string>
#include <vector>

#include "platform/dates.h"
#include "support/FakeTaskUi.h"
#include "support/TestDatabase.h"
#include "tasks/Scheduler_DM.h"

namespace dbftest {

using Value = std::optional<std::string>;   // nullopt: a blank field
using Record = std::vector<Value>;

// Writes `path` with the fields ("NAME C(20); BORN D; ...") and records (UTF-8 texts,
// dates "YYYY-MM-DD"); `deleted` lists 0-based records marked deleted. Texts are written
// in `codepage` (a python codec name), which the header's language driver byte declares.
void WriteDbf(const std::string& path, const std::string& fields, const std::vector<Record>& records,
              const std::vector<int>& deleted = {}, const std::string& codepage = "cp866");

// Damaged tables the DBF tasks must refuse before they replace anything, each made from a
// sound file in place: the field list without its terminator, the last record cut short,
// a header counting 1,000 records more than the file holds.
enum class Damage { NoTerminator, LastRecordCut, CountBeyondFile };
const std::vector<Damage>& Damages();
void DamageDbf(const std::string& path, Damage d);
// The line of the task's messages for the damaged file of `records` records (CP1251).
std::string DamagedLine(const std::string& path, Damage d, int records);

// UTF-8 to CP1251.
std::string C(const char* utf8);
std::string C(const std::string& utf8);

// The lines the attached-population actualisation writes, with its three counts.
std::vector<std::string> PopulationProtocol(int unchanged, int replaced, int added);

// A fresh clinic database, the data module connected to it on both connections, a fake
// window and a fixed today (10.12.2026).
class DbfTaskFixture {
public:
  DbfTaskFixture();
  ~DbfTaskFixture();
  testsupport::TestDatabase tdb;
  testsupport::FakeTaskUi ui;
  TdmScheduler dm;
  platform::TDateTime today;

  std::string file(const std::string& name) const { return tdb.dir() + name; }
  // The columns of the first row (as texts, NULL as "<null>") / the first column of every
  // row, read on an attachment of its own: only committed work shows.
  std::vector<std::string> row(const std::string& sql) const;
  std::vector<std::string> column(const std::string& sql) const;
  std::string one(const std::string& sql) const;
  int64_t count(const std::string& table) const { return tdb.count(table); }
  void exec(const std::string& sql) const { tdb.exec(sql); }
};

}  // namespace dbftest
