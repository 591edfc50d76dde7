#pragma once
// Provider adapters for the Firebird layer: a query as the source of a
// TDataSetProvider, and a driver-layer connection as its update target.
//
//   fbdb::Query q(conn);  q.setSql("SELECT * FROM PATIENT");
//   cds::TFbQuerySource src(q);
//   cds::TFbUpdateTarget dst(conn);
//   cds::TDataSetProvider dspPatient("dspPatient", &src, &dst);
//   cds::TClientDataSet cds;  cds.SetProvider(&dspPatient);  cds.Open();
//   ...  cds.ApplyUpdates(1);   // on conn's open transaction, else on its own
// or, owning the adapters:
//   cds::TDataSetProvider dsp1("dsp1", std::make_shared<cds::TFbQuerySource>(Qry1));
#include <memory>
#include <optional>
#include <unordered_map>
#include <string>
#include <vector>

#include "db/Provider.h"
#include "db/fbdb.h"

namespace cds {

// The field type a column of the given description becomes.
TSourceColumn SourceColumnOf(const fbdb::FieldInfo& fi);

// Reads every row of a query (native or driver layer). Open() closes and opens the
// query with its current SQL text and parameters.
class TFbQuerySource : public IDataSource {
public:
  explicit TFbQuerySource(fbdb::Query& query) : q_(query) {}
  void Open() override;
  std::vector<TSourceColumn> Columns() override;
  bool Fetch(std::vector<Value>& row) override;
  void Close() override;

private:
  fbdb::Query& q_;
  std::vector<TSourceColumn> cols_;
};

// Runs apply-updates statements on a driver-layer connection: in its open explicit
// transaction, else in one the provider starts and ends (read committed).
class TFbUpdateTarget : public IUpdateTarget {
public:
  explicit TFbUpdateTarget(fbdb::SqlConnection& conn) : conn_(conn) {}
  std::vector<std::string> PrimaryKey(const std::string& table) override;
  std::vector<std::string> ReadOnlyColumns(const std::string& table) override;
  bool InTransaction() override { return conn_.InTransaction(); }
  void StartTransaction() override;
  void Commit() override;
  void Rollback() override;
  int64_t Execute(const std::string& sql, const std::vector<Value>& params) override;

private:
  fbdb::SqlConnection& conn_;
  fbdb::TTransactionDesc desc_;
  // Prepared statements by text: rows with the same changed columns share one.
  std::unordered_map<std::string, std::unique_ptr<fbdb::Query>> cache_;
};

// The chain of a table read through the driver layer: SQL dataset, provider and client
// dataset, as one object. Open() fetches; ApplyUpdates() writes back on the connection.
class TFbDataSetChain {
public:
  TFbDataSetChain(fbdb::SqlConnection& conn, std::string providerName, std::string_view sql)
      : Query(conn), Source(Query), Target(std::in_place, conn), Provider(std::move(providerName), &Source, &*Target) {
    Query.setSql(sql);
    ClientDataSet.SetProvider(&Provider);
  }
  // A read-only chain on a native transaction (no apply-updates).
  TFbDataSetChain(fbdb::Transaction& tran, std::string providerName, std::string_view sql)
      : Query(tran), Source(Query), Provider(std::move(providerName), &Source, nullptr) {
    Query.setSql(sql);
    ClientDataSet.SetProvider(&Provider);
  }
  TFbDataSetChain(const TFbDataSetChain&) = delete;
  TFbDataSetChain& operator=(const TFbDataSetChain&) = delete;

  fbdb::Query Query;
  TFbQuerySource Source;
  std::optional<TFbUpdateTarget> Target;
  TDataSetProvider Provider;
  TClientDataSet ClientDataSet;
};

}  // namespace cds
