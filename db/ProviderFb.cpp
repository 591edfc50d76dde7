#include "db/ProviderFb.h"

#include <cmath>

#include "platform/strutil.h"

namespace cds {

TSourceColumn SourceColumnOf(const fbdb::FieldInfo& fi) {
  TSourceColumn c;
  c.Name = fi.name;
  c.Relation = fi.relation;
  c.Column = fi.column;
  c.Computed = fi.relation.empty() || fi.column.empty();
  int scale = fi.scale < 0 ? -fi.scale : 0;
  switch (fi.type) {
    case fbdb::FieldType::String:
    case fbdb::FieldType::FixedString:
    case fbdb::FieldType::Unknown:
      c.DataType = FType::Str;
      c.Size = static_cast<int>(fi.length);
      break;
    case fbdb::FieldType::Smallint: c.DataType = scale ? FType::Dec : FType::I16; break;
    case fbdb::FieldType::Integer: c.DataType = scale ? FType::Dec : FType::I32; break;
    case fbdb::FieldType::Bigint: c.DataType = scale ? FType::Dec : FType::I64; break;
    case fbdb::FieldType::Float:
    case fbdb::FieldType::Double: c.DataType = FType::F64; break;
    case fbdb::FieldType::Date: c.DataType = FType::Date; break;
    case fbdb::FieldType::Time: c.DataType = FType::Time; break;
    case fbdb::FieldType::Timestamp: c.DataType = FType::Stamp; break;
    case fbdb::FieldType::Blob: c.DataType = fi.subType == 1 ? FType::Memo : FType::Blob; break;
    case fbdb::FieldType::Boolean: c.DataType = FType::Bool; break;
  }
  if (c.DataType == FType::Dec) {
    c.Scale = scale;
    c.Size = fi.type == fbdb::FieldType::Smallint ? 4 : fi.type == fbdb::FieldType::Integer ? 9 : 18;
  }
  return c;
}

void TFbQuerySource::Open() {
  q_.close();
  q_.open();
  cols_.clear();
  for (const fbdb::FieldInfo& fi : q_.fieldInfos()) cols_.push_back(SourceColumnOf(fi));
}

std::vector<TSourceColumn> TFbQuerySource::Columns() { return cols_; }

bool TFbQuerySource::Fetch(std::vector<Value>& row) {
  if (!q_.active() || q_.eof()) return false;
  row.resize(cols_.size());
  for (size_t i = 0; i < cols_.size(); ++i) {
    fbdb::Field f = q_.field(i);
    const TSourceColumn& c = cols_[i];
    if (f.isNull()) {
      row[i] = Value::Null(c.DataType);
      continue;
    }
    switch (c.DataType) {
      case FType::I16: row[i] = Value::Int16(static_cast<int16_t>(f.asInt64())); break;
      case FType::I32: row[i] = Value::Int32(static_cast<int32_t>(f.asInt64())); break;
      case FType::I64: row[i] = Value::Int64(f.asInt64()); break;
      case FType::F64: row[i] = Value::Float(f.asDouble()); break;
      case FType::Dec: {
        int64_t v;
        std::string t = f.asString();
        if (!TextToDecimal(t, c.Scale, v)) throw EDBClient("Field " + c.Name + ": bad numeric value '" + t + "'");
        row[i] = Value::Decimal(v, c.Scale);
        break;
      }
      case FType::Bool: row[i] = Value::Boolean(f.asBoolean()); break;
      case FType::Date: row[i] = Value::Date(static_cast<int32_t>(std::floor(f.asDateTime()))); break;
      case FType::Time: row[i] = Value::DateTime(f.asDateTime()).convertTo(FType::Time); break;
      case FType::Stamp: row[i] = Value::DateTime(f.asDateTime()); break;
      case FType::Str:
      case FType::Memo:
      case FType::Blob: row[i] = Value::Text(f.asString(), c.DataType); break;
    }
  }
  q_.next();
  return true;
}

void TFbQuerySource::Close() { q_.close(); }

std::vector<std::string> TFbUpdateTarget::PrimaryKey(const std::string& table) {
  fbdb::Query q(conn_);
  q.setSql(
      "select trim(S.RDB$FIELD_NAME) from RDB$RELATION_CONSTRAINTS C "
      "join RDB$INDEX_SEGMENTS S on S.RDB$INDEX_NAME = C.RDB$INDEX_NAME "
      "where C.RDB$CONSTRAINT_TYPE = 'PRIMARY KEY' and C.RDB$RELATION_NAME = :T "
      "order by S.RDB$FIELD_POSITION");
  q.param("T").setString(table);
  std::vector<std::string> keys;
  for (q.open(); !q.eof(); q.next()) keys.push_back(q.field(0).asString());
  q.close();
  return keys;
}

std::vector<std::string> TFbUpdateTarget::ReadOnlyColumns(const std::string& table) {
  fbdb::Query q(conn_);
  q.setSql(
      "select trim(R.RDB$FIELD_NAME) from RDB$RELATION_FIELDS R "
      "join RDB$FIELDS F on F.RDB$FIELD_NAME = R.RDB$FIELD_SOURCE "
      "where R.RDB$RELATION_NAME = :T and F.RDB$COMPUTED_BLR is not null");
  q.param("T").setString(table);
  std::vector<std::string> cols;
  for (q.open(); !q.eof(); q.next()) cols.push_back(q.field(0).asString());
  q.close();
  return cols;
}

void TFbUpdateTarget::StartTransaction() {
  desc_ = fbdb::TTransactionDesc{};
  desc_.IsolationLevel = 0;  // read committed
  conn_.StartTransaction(desc_);
}

void TFbUpdateTarget::Commit() { conn_.Commit(desc_); }
void TFbUpdateTarget::Rollback() { conn_.Rollback(desc_); }

int64_t TFbUpdateTarget::Execute(const std::string& sql, const std::vector<Value>& params) {
  auto it = cache_.find(sql);
  if (it == cache_.end()) {
    if (cache_.size() >= 256) cache_.clear();
    auto nq = std::make_unique<fbdb::Query>(conn_);
    nq->setSql(sql);
    it = cache_.emplace(sql, std::move(nq)).first;
  }
  fbdb::Query& q = *it->second;
  for (size_t i = 0; i < params.size(); ++i) {
    fbdb::Param& p = q.param("P" + std::to_string(i + 1));
    const Value& v = params[i];
    if (v.isNull()) {
      p.setNull();
      continue;
    }
    switch (v.type()) {
      case FType::I16:
      case FType::I32:
      case FType::I64: p.setInteger(v.rawInt()); break;
      case FType::Bool: p.setBoolean(v.rawInt() != 0); break;
      case FType::F64: p.setDouble(v.rawFloat()); break;
      case FType::Dec: p.setString(DecimalToText(v.rawInt(), v.scale())); break;
      case FType::Date: p.setDate(static_cast<double>(v.rawInt())); break;
      case FType::Time: p.setTime(v.asDateTime()); break;
      case FType::Stamp: p.setDateTime(v.asDateTime()); break;
      case FType::Str: p.setString(v.rawText()); break;
      case FType::Memo:
      case FType::Blob: p.setBlob(v.rawText()); break;
    }
  }
  q.execSQL();
  int64_t n = q.rowsAffected();
  q.close();
  return n;
}

}  // namespace cds
