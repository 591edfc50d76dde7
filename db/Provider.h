#pragma once
// TDataSetProvider: fills a client dataset from a query-like source and applies
// the dataset's change log back to the database.
//
// The provider works on two small interfaces, so that the database layer's
// adapter stays thin (see ProviderFb.h):
//  - IDataSource: runs the query, tells its columns (name, type, size, scale,
//    table and column of origin) and hands over the rows;
//  - IUpdateTarget: the primary key of a table, the transaction state, and the
//    execution of one statement with named parameters :P1, :P2, ... returning
//    the number of rows it touched.
//
// Apply-updates walks the change log in order and, per row (the key is looked up only
// when a modified or deleted row is pending, so inserts need no declared key):
//  - inserted: INSERT INTO table (the columns that hold a value) VALUES (...);
//  - modified: UPDATE table SET (the changed columns) WHERE the key equals its
//    original value AND each changed column still holds its original value;
//  - deleted: DELETE FROM table WHERE the key equals its original value.
// A statement that fails, or that touches a number of rows other than one
// ("Record not found or changed by another user"), is a failed row. It runs on
// the target's open transaction when there is one, else in a transaction of its
// own that is committed unless more than maxErrors rows failed. Rows that
// applied leave the change log; failed rows stay pending and are handed to the
// dataset's OnReconcileError handler after the walk.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/ClientDataSet.h"

namespace cds {

struct TSourceColumn {
  std::string Name;
  FType DataType = FType::Str;
  int Size = 0;
  int Scale = 0;
  std::string Relation;  // table of origin, empty for expressions
  std::string Column;    // column of origin
  bool Computed = false; // not writable (computed column or expression)
};

class IDataSource {
public:
  virtual ~IDataSource() = default;
  virtual void Open() = 0;
  virtual std::vector<TSourceColumn> Columns() = 0;
  virtual bool Fetch(std::vector<Value>& row) = 0;  // false after the last row
  virtual void Close() = 0;
};

class IUpdateTarget {
public:
  virtual ~IUpdateTarget() = default;
  virtual std::vector<std::string> PrimaryKey(const std::string& table) = 0;
  // Columns of the table that cannot be written (computed columns).
  virtual std::vector<std::string> ReadOnlyColumns(const std::string& table) { return {}; }
  virtual bool InTransaction() = 0;
  virtual void StartTransaction() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
  // params[i] is the value of :P<i+1>.
  virtual int64_t Execute(const std::string& sql, const std::vector<Value>& params) = 0;
};

// One generated statement.
struct TUpdateStatement {
  std::string Sql;
  std::vector<Value> Params;
  std::string Context;  // "TABLE KEY=value, ..." of the row
};

class TDataSetProvider {
public:
  TDataSetProvider(std::string name, IDataSource* source, IUpdateTarget* target = nullptr)
      : name_(std::move(name)), source_(source), target_(target) {}
  // The provider keeps the source and the target alive.
  TDataSetProvider(std::string name, std::shared_ptr<IDataSource> source, std::shared_ptr<IUpdateTarget> target = {})
      : name_(std::move(name)), source_(source.get()), target_(target.get()), ownSource_(std::move(source)),
        ownTarget_(std::move(target)) {}

  const std::string& Name() const { return name_; }
  void SetSource(IDataSource* source) { source_ = source; }
  void SetTarget(IUpdateTarget* target) { target_ = target; }
  // Optional: the table to update and its key, when not taken from the metadata.
  void SetUpdateTable(std::string table) { updateTable_ = std::move(table); }
  void SetKeyFields(std::vector<std::string> keys) { keyFields_ = std::move(keys); }

  void Provide(TClientDataSet& ds);                 // fetches every row
  int ApplyUpdates(TClientDataSet& ds, int maxErrors);  // the number of failed rows

  // The statement that applying the change of `row` would run.
  TUpdateStatement StatementFor(const TClientDataSet& ds, const TClientDataSet::DeltaRow& row);

private:
  void resolveTable(const TClientDataSet& ds);
  // Resolves the key columns once per apply; `required` raises when there are none.
  bool resolveKeys(bool required);
  std::string contextFor(const TClientDataSet& ds, const TClientDataSet::DeltaRow& d);
  std::string failedContext(const TClientDataSet& ds, const TClientDataSet::DeltaRow& d, const TUpdateStatement& st);
  std::string name_;
  IDataSource* source_;
  IUpdateTarget* target_;
  std::shared_ptr<IDataSource> ownSource_;
  std::shared_ptr<IUpdateTarget> ownTarget_;
  std::string updateTable_;
  std::vector<std::string> keyFields_;
  // Resolved for the dataset being applied.
  std::string table_;
  bool keysResolved_ = false;
  std::vector<std::string> keyNames_;
  std::string keyMissing_;
  std::vector<int> keyCols_;
  std::vector<int> writable_;
  std::vector<std::string> colName_;
};

}  // namespace cds
