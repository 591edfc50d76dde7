#include "db/Provider.h"

#include <unordered_set>

#include "platform/strutil.h"

namespace cds {

namespace {

std::string quoted(const std::string& ident) {
  std::string r = "\"";
  for (char c : ident) {
    if (c == '"') r += '"';
    r += c;
  }
  return r + "\"";
}

std::string param(size_t n) { return ":P" + std::to_string(n); }

}  // namespace

void TDataSetProvider::Provide(TClientDataSet& ds) {
  if (!source_) throw EDatabaseError(name_ + ": no data source");
  source_->Open();
  std::vector<TSourceColumn> cols = source_->Columns();
  std::vector<TFieldDef> defs;
  std::unordered_set<std::string> used;
  for (const TSourceColumn& c : cols) {
    TFieldDef d;
    std::string name = c.Name;
    if (used.count(platform::UpperCase(name))) {
      for (int k = 1;; ++k) {
        std::string cand = c.Name + "_" + std::to_string(k);
        if (!used.count(platform::UpperCase(cand))) {
          name = cand;
          break;
        }
      }
    }
    used.insert(platform::UpperCase(name));
    d.Name = name;
    d.DataType = c.DataType;
    d.Size = c.Size;
    d.Scale = c.Scale;
    d.ReadOnly = c.Computed;
    d.Relation = c.Relation;
    d.Column = c.Column;
    defs.push_back(std::move(d));
  }
  ds.BeginBulk(std::move(defs));
  try {
    std::vector<Value> row;
    while (source_->Fetch(row)) ds.BulkAppend(row.data(), row.size());
    source_->Close();
  } catch (...) {
    ds.Close();
    try {
      source_->Close();
    } catch (...) {
    }
    throw;
  }
  ds.EndBulk();
}

void TDataSetProvider::resolveTable(const TClientDataSet& ds) {
  const auto& defs = ds.FieldDefs();
  table_ = updateTable_;
  if (table_.empty()) {
    for (const TFieldDef& d : defs)
      if (!d.Relation.empty()) {
        table_ = d.Relation;
        break;
      }
  }
  if (table_.empty()) throw EDatabaseError(name_ + ": unable to resolve the table to update");
  writable_.clear();
  colName_.assign(defs.size(), std::string());
  std::vector<std::string> readOnly;
  if (target_) readOnly = target_->ReadOnlyColumns(table_);
  for (size_t i = 0; i < defs.size(); ++i) {
    const TFieldDef& d = defs[i];
    bool fromTable = d.Relation.empty() ? true : platform::SameText(d.Relation, table_);
    if (!fromTable || d.ReadOnly) continue;
    std::string col = d.Column.empty() ? d.Name : d.Column;
    bool ro = false;
    for (const std::string& r : readOnly) ro = ro || platform::SameText(r, col);
    // A column that comes twice (a self-join) is written once, from its first field.
    for (int w : writable_) ro = ro || platform::SameText(colName_[static_cast<size_t>(w)], col);
    if (ro) continue;
    colName_[i] = col;
    writable_.push_back(static_cast<int>(i));
  }
  keysResolved_ = false;
  keyCols_.clear();
}

bool TDataSetProvider::resolveKeys(bool required) {
  if (!keysResolved_) {
    // Looked up only when a row needs it: inserts go without a declared key.
    keyNames_ = keyFields_;
    if (keyNames_.empty() && target_) keyNames_ = target_->PrimaryKey(table_);
    keyCols_.clear();
    keyMissing_.clear();
    for (const std::string& k : keyNames_) {
      int found = -1;
      for (int c : writable_)
        if (platform::SameText(colName_[static_cast<size_t>(c)], k)) {
          found = c;
          break;
        }
      if (found < 0) {
        keyMissing_ = k;
        keyCols_.clear();
        break;
      }
      keyCols_.push_back(found);
    }
    keysResolved_ = true;
  }
  if (required && !keyMissing_.empty())
    throw EDatabaseError(name_ + ": key field " + keyMissing_ + " of " + table_ + " is not in the dataset");
  if (required && keyCols_.empty())
    throw EDatabaseError(name_ + ": unable to find record, no key specified for " + table_);
  return !keyCols_.empty();
}

std::string TDataSetProvider::contextFor(const TClientDataSet& ds, const TClientDataSet::DeltaRow& d) {
  std::string context = table_;
  if (!keysResolved_ || keyCols_.empty()) return context;
  for (size_t i = 0; i < keyCols_.size(); ++i) {
    context += i ? ", " : " ";
    context += colName_[static_cast<size_t>(keyCols_[i])] + "=" + ds.DeltaValue(d.row, keyCols_[i], true).asString();
  }
  return context;
}

TUpdateStatement TDataSetProvider::StatementFor(const TClientDataSet& ds, const TClientDataSet::DeltaRow& d) {
  if (table_.empty()) resolveTable(ds);
  TUpdateStatement st;
  const auto& defs = ds.FieldDefs();
  // Modified and deleted rows are found by their key; an insert names its key only when
  // it is known already.
  if (d.kind != TUpdateKind::ukInsert) resolveKeys(true);
  st.Context = contextFor(ds, d);
  auto whereKey = [&](std::string& sql) {
    for (size_t i = 0; i < keyCols_.size(); ++i) {
      int c = keyCols_[i];
      Value v = ds.DeltaValue(d.row, c, true);
      sql += i ? " AND " : " WHERE ";
      if (v.isNull()) {
        sql += quoted(colName_[static_cast<size_t>(c)]) + " IS NULL";
      } else {
        st.Params.push_back(v);
        sql += quoted(colName_[static_cast<size_t>(c)]) + " = " + param(st.Params.size());
      }
    }
  };
  if (d.kind == TUpdateKind::ukInsert) {
    std::string cols, vals;
    for (int c : writable_) {
      Value v = ds.DeltaValue(d.row, c, false);
      if (v.isNull()) continue;
      st.Params.push_back(v);
      if (!cols.empty()) {
        cols += ", ";
        vals += ", ";
      }
      cols += quoted(colName_[static_cast<size_t>(c)]);
      vals += param(st.Params.size());
    }
    st.Sql = "INSERT INTO " + quoted(table_) +
             (cols.empty() ? std::string(" DEFAULT VALUES") : " (" + cols + ") VALUES (" + vals + ")");
    return st;
  }
  if (d.kind == TUpdateKind::ukDelete) {
    st.Sql = "DELETE FROM " + quoted(table_);
    whereKey(st.Sql);
    return st;
  }
  // Modify: changed columns only, guarded by their original values.
  std::vector<int> changed;
  for (int c : writable_) {
    Value now = ds.DeltaValue(d.row, c, false), was = ds.DeltaValue(d.row, c, true);
    if (now.isNull() != was.isNull() || (!now.isNull() && Value::compare(now, was) != 0)) changed.push_back(c);
  }
  if (changed.empty()) return st;  // nothing to write
  st.Sql = "UPDATE " + quoted(table_) + " SET ";
  for (size_t i = 0; i < changed.size(); ++i) {
    int c = changed[i];
    Value v = ds.DeltaValue(d.row, c, false);
    if (i) st.Sql += ", ";
    if (v.isNull()) {
      st.Sql += quoted(colName_[static_cast<size_t>(c)]) + " = NULL";
    } else {
      st.Params.push_back(v);
      st.Sql += quoted(colName_[static_cast<size_t>(c)]) + " = " + param(st.Params.size());
    }
  }
  whereKey(st.Sql);
  for (int c : changed) {
    bool isKey = false;
    for (int k : keyCols_) isKey = isKey || k == c;
    FType t = defs[static_cast<size_t>(c)].DataType;
    if (isKey || t == FType::Memo || t == FType::Blob) continue;
    Value was = ds.DeltaValue(d.row, c, true);
    const std::string q = quoted(colName_[static_cast<size_t>(c)]);
    if (was.isNull()) {
      // Empty text is null inside the dataset; the database may hold ''.
      if (t == FType::Str) st.Sql += " AND (" + q + " IS NULL OR " + q + " = '')";
      else st.Sql += " AND " + q + " IS NULL";
    } else {
      st.Params.push_back(was);
      st.Sql += " AND " + q + " = " + param(st.Params.size());
    }
  }
  return st;
}

std::string TDataSetProvider::failedContext(const TClientDataSet& ds, const TClientDataSet::DeltaRow& d,
                                            const TUpdateStatement& st) {
  if (d.kind != TUpdateKind::ukInsert || keysResolved_) return st.Context;
  // A failed insert is named by its key where the table has one.
  try {
    resolveKeys(false);
  } catch (...) {
    return st.Context;
  }
  return contextFor(ds, d);
}

int TDataSetProvider::ApplyUpdates(TClientDataSet& ds, int maxErrors) {
  if (!target_) throw EDatabaseError(name_ + ": no update target");
  std::vector<TClientDataSet::DeltaRow> delta = ds.Delta();
  if (delta.empty()) return 0;
  table_.clear();
  resolveTable(ds);
  // A row that needs the key and a table without one: refused before anything is written.
  for (const auto& d : delta)
    if (d.kind != TUpdateKind::ukInsert) {
      resolveKeys(true);
      break;
    }

  struct Failure {
    TClientDataSet::DeltaRow row;
    std::string context, className, message;
  };
  std::vector<Failure> failures;
  std::vector<uint32_t> applied;
  bool own = !target_->InTransaction();
  if (own) target_->StartTransaction();
  try {
    for (const auto& d : delta) {
      TUpdateStatement st = StatementFor(ds, d);
      if (st.Sql.empty()) {
        applied.push_back(d.row);
        continue;
      }
      try {
        int64_t n = target_->Execute(st.Sql, st.Params);
        if (n != 1) throw EDatabaseError("Record not found or changed by another user");
        applied.push_back(d.row);
      } catch (const platform::Exception& e) {
        failures.push_back({d, failedContext(ds, d, st), e.className(), e.what()});
      } catch (const std::exception& e) {
        failures.push_back({d, failedContext(ds, d, st), "Exception", e.what()});
      }
      if (maxErrors >= 0 && static_cast<int>(failures.size()) > maxErrors) break;
    }
    if (own) {
      if (maxErrors >= 0 && static_cast<int>(failures.size()) > maxErrors) {
        target_->Rollback();
        applied.clear();
      } else {
        target_->Commit();
      }
    }
  } catch (...) {
    if (own) {
      try {
        target_->Rollback();
      } catch (...) {
      }
    }
    throw;
  }
  for (uint32_t r : applied) ds.MarkApplied(r);

  bool abort = false;
  for (const Failure& f : failures) {
    if (abort || !ds.OnReconcileError) break;
    EReconcileError e(f.context, f.className, f.message);
    TReconcileAction action = TReconcileAction::raSkip;
    ds.OnReconcileError(ds, e, f.row.kind, action);
    if (action == TReconcileAction::raCancel) ds.RevertRow(f.row.row);
    else if (action == TReconcileAction::raAbort) abort = true;
  }
  return static_cast<int>(failures.size());
}

}  // namespace cds
