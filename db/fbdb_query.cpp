// Queries: named parameters, typed binding, cursors and typed field access.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "db/fbdb_internal.h"
#include "platform/strutil.h"

using namespace Firebird;

namespace fbdb {

using detail::Status;

namespace {

bool IsIdentChar(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$';
}

bool IsDateType(unsigned t) { return t == SQL_TYPE_DATE || t == SQL_TYPE_TIME || t == SQL_TIMESTAMP; }
bool IsTextType(unsigned t) { return t == SQL_TEXT || t == SQL_VARYING; }

constexpr unsigned kCsOctets = 1;
constexpr unsigned kCsWin1251 = 52;
constexpr unsigned kMaxVarchar = 32765;

FieldType TypeOf(unsigned sqlType) {
  switch (sqlType) {
    case SQL_TEXT: return FieldType::FixedString;
    case SQL_VARYING: return FieldType::String;
    case SQL_SHORT: return FieldType::Smallint;
    case SQL_LONG: return FieldType::Integer;
    case SQL_INT64: return FieldType::Bigint;
    case SQL_FLOAT: return FieldType::Float;
    case SQL_DOUBLE:
    case SQL_D_FLOAT: return FieldType::Double;
    case SQL_TYPE_DATE: return FieldType::Date;
    case SQL_TYPE_TIME: return FieldType::Time;
    case SQL_TIMESTAMP: return FieldType::Timestamp;
    case SQL_BLOB: return FieldType::Blob;
    case SQL_BOOLEAN: return FieldType::Boolean;
    default: return FieldType::Unknown;
  }
}

int64_t Pow10(int n) {
  int64_t r = 1;
  while (n-- > 0) r *= 10;
  return r;
}

std::string ScaledToString(int64_t v, int scale) {
  if (scale >= 0) {
    std::string s = platform::IntToStr(v);
    if (scale > 0 && v != 0) s.append(static_cast<size_t>(scale), '0');
    return s;
  }
  int digits = -scale;
  bool neg = v < 0;
  // Work on the magnitude as unsigned to cover INT64_MIN.
  uint64_t mag = neg ? (~static_cast<uint64_t>(v) + 1) : static_cast<uint64_t>(v);
  std::string s = std::to_string(mag);
  if (s.size() <= static_cast<size_t>(digits)) s.insert(0, static_cast<size_t>(digits) - s.size() + 1, '0');
  s.insert(s.size() - static_cast<size_t>(digits), 1, '.');
  if (neg) s.insert(0, 1, '-');
  return s;
}

}  // namespace

// ----------------------------------------------------------------------------------------
// Param

void Param::clear() {
  kind_ = Kind::Null;
  text_.clear();
  int_ = 0;
  dbl_ = 0;
}
void Param::setString(std::string_view v) { clear(); kind_ = Kind::String; text_.assign(v); }
void Param::setInteger(int64_t v) { clear(); kind_ = Kind::Integer; int_ = v; }
void Param::setDouble(double v) { clear(); kind_ = Kind::Double; dbl_ = v; }
void Param::setBoolean(bool v) { clear(); kind_ = Kind::Boolean; int_ = v ? 1 : 0; }
void Param::setDate(platform::TDateTime d) { clear(); kind_ = Kind::Date; dbl_ = std::trunc(d); }
void Param::setTime(platform::TDateTime t) { clear(); kind_ = Kind::Time; dbl_ = std::fabs(t - std::trunc(t)); }
void Param::setDateTime(platform::TDateTime dt) { clear(); kind_ = Kind::DateTime; dbl_ = dt; }
void Param::setBlob(std::string_view bytes) { clear(); kind_ = Kind::Blob; text_.assign(bytes); }

std::string Param::asString() const {
  switch (kind_) {
    case Kind::Null: return {};
    case Kind::String:
    case Kind::Blob: return text_;
    case Kind::Integer: return platform::IntToStr(int_);
    case Kind::Boolean: return int_ ? "True" : "False";
    case Kind::Double: return platform::FloatToStr(dbl_);
    case Kind::Date: return platform::FormatDate(dbl_);
    case Kind::Time: return platform::FormatTime(dbl_);
    case Kind::DateTime: return platform::FormatDateTimeText(dbl_);
  }
  return {};
}

// ----------------------------------------------------------------------------------------
// Parameter parsing

void Query::parseParams(std::string_view sql, std::string& positional, std::vector<std::string>& names) {
  positional.clear();
  names.clear();
  positional.reserve(sql.size());
  size_t i = 0, n = sql.size();
  while (i < n) {
    char c = sql[i];
    if (c == '\'' || c == '"') {
      // Literal or quoted identifier; a doubled quote stays inside.
      size_t j = i + 1;
      while (j < n) {
        if (sql[j] == c) {
          if (j + 1 < n && sql[j + 1] == c) {
            j += 2;
            continue;
          }
          break;
        }
        ++j;
      }
      size_t end = j < n ? j + 1 : n;
      positional.append(sql.substr(i, end - i));
      i = end;
    } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
      size_t j = sql.find('\n', i);
      size_t end = j == std::string_view::npos ? n : j;
      positional.append(sql.substr(i, end - i));
      i = end;
    } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
      size_t j = sql.find("*/", i + 2);
      size_t end = j == std::string_view::npos ? n : j + 2;
      positional.append(sql.substr(i, end - i));
      i = end;
    } else if (c == ':' && i + 1 < n && sql[i + 1] == '"') {
      // :"Quoted Name"
      size_t j = sql.find('"', i + 2);
      if (j == std::string_view::npos) {
        positional.append(sql.substr(i));
        break;
      }
      names.emplace_back(sql.substr(i + 2, j - i - 2));
      positional.push_back('?');
      i = j + 1;
    } else if (c == ':' && i + 1 < n && IsIdentChar(static_cast<unsigned char>(sql[i + 1]))) {
      size_t j = i + 1;
      while (j < n && IsIdentChar(static_cast<unsigned char>(sql[j]))) ++j;
      names.emplace_back(sql.substr(i + 1, j - i - 1));
      positional.push_back('?');
      i = j;
    } else {
      positional.push_back(c);
      ++i;
    }
  }
}

// ----------------------------------------------------------------------------------------
// Query: binding and lifetime

Query::Query() = default;
Query::Query(Transaction& tran) { bind(tran); }
Query::Query(SqlConnection& conn) { bind(conn); }

Query::~Query() {
  try {
    close();
  } catch (...) {
  }
  releaseStatement();
  unbind();
}

void Query::unbind() {
  if (registeredAt_) registeredAt_->unregisterQuery(this);
  if (tran_) tran_->bound_.erase(std::remove(tran_->bound_.begin(), tran_->bound_.end(), this), tran_->bound_.end());
  registeredAt_ = nullptr;
  tran_ = nullptr;
  conn_ = nullptr;
}

void Query::bind(Transaction& tran) {
  close();
  releaseStatement();
  unbind();
  autoTran_.reset();
  tran_ = &tran;
  tran.bound_.push_back(this);
  if (tran.database()) {
    registeredAt_ = tran.database();
    registeredAt_->registerQuery(this);
  }
}

void Query::bind(SqlConnection& conn) {
  close();
  releaseStatement();
  unbind();
  conn_ = &conn;
  registeredAt_ = &conn.db_;
  registeredAt_->registerQuery(this);
  autoTran_ = std::make_unique<Transaction>(conn.db_);
  autoTran_->isolation = Isolation::ReadCommitted;
}

Attachment* Query::database() const {
  if (conn_) return &conn_->db_;
  if (tran_) return tran_->database();
  return nullptr;
}

void Query::dbGone() {
  releaseCursor();
  active_ = false;
  eof_ = true;
  if (stmt_) {
    stmt_->release();
    stmt_ = nullptr;
  }
  if (inMeta_) { inMeta_->release(); inMeta_ = nullptr; }
  if (bindMeta_) { bindMeta_->release(); bindMeta_ = nullptr; }
  if (outMeta_) { outMeta_->release(); outMeta_ = nullptr; }
  bindSig_.clear();
  registeredAt_ = nullptr;
  if (tran_) tran_->bound_.erase(std::remove(tran_->bound_.begin(), tran_->bound_.end(), this), tran_->bound_.end());
  tran_ = nullptr;
  conn_ = nullptr;
  runTran_ = nullptr;
}

void Query::releaseCursor() {
  if (rs_) {
    Status st;
    rs_->close(&st);
    if (st.failed()) rs_->release();
    rs_ = nullptr;
  }
}

void Query::releaseStatement() {
  releaseCursor();
  if (runTran_) runTran_->removeCursor(this);
  active_ = false;
  eof_ = true;
  if (inMeta_) { inMeta_->release(); inMeta_ = nullptr; }
  if (bindMeta_) { bindMeta_->release(); bindMeta_ = nullptr; }
  if (outMeta_) { outMeta_->release(); outMeta_ = nullptr; }
  bindSig_.clear();
  if (stmt_) {
    Status st;
    stmt_->free(&st);
    if (st.failed()) stmt_->release();
    stmt_ = nullptr;
  }
  preparedGen_ = 0;
}

void Query::tranGone() {
  // The transaction object is being destroyed: the query stays, unbound from it.
  releaseCursor();
  active_ = false;
  eof_ = true;
  runTran_ = nullptr;
  tran_ = nullptr;
}

void Query::tranEnding() {
  releaseCursor();
  active_ = false;
  eof_ = true;
  runTran_ = nullptr;
}

// ----------------------------------------------------------------------------------------
// SQL text and parameters

void Query::setSql(std::string_view sql) {
  close();
  releaseStatement();
  sql_.assign(sql);
  std::vector<Param> old;
  old.swap(params_);
  parseParams(sql_, posSql_, posNames_);
  posIndex_.clear();
  for (const std::string& name : posNames_) {
    size_t k = 0;
    for (; k < params_.size(); ++k)
      if (platform::SameText(params_[k].name_, name)) break;
    if (k == params_.size()) {
      Param p(name);
      for (const Param& o : old)
        if (platform::SameText(o.name_, name)) {
          p = o;
          p.name_ = name;
          break;
        }
      params_.push_back(std::move(p));
    }
    posIndex_.push_back(static_cast<unsigned>(k));
  }
  outInfo_.clear();
}

void Query::setSqlLines(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) {
    s += l;
    s += "\r\n";
  }
  setSql(s);
}

Param& Query::param(size_t i) {
  if (i >= params_.size()) throw EDatabaseError("Parameter index " + std::to_string(i) + " out of range");
  return params_[i];
}

Param* Query::findParam(std::string_view name) {
  for (Param& p : params_)
    if (platform::SameText(p.name_, name)) return &p;
  return nullptr;
}

Param& Query::param(std::string_view name) {
  Param* p = findParam(name);
  if (!p) throw EDatabaseError("Parameter '" + std::string(name) + "' not found");
  return *p;
}

void Query::clearParams() {
  for (Param& p : params_) p.clear();
}

// ----------------------------------------------------------------------------------------
// Preparation

bool Query::prepared() const {
  Attachment* db = database();
  return stmt_ && db && db->connected() && preparedGen_ == db->generation();
}

Transaction* Query::resolveTransaction() {
  if (conn_) {
    if (conn_->InTransaction()) return &conn_->explicit_;
    autoTran_->lockTimeout = conn_->lockTimeout();
    autoTran_->start();
    return autoTran_.get();
  }
  if (!tran_) throw EDatabaseError("Query has no transaction");
  tran_->start();  // does nothing when active
  return tran_;
}

void Query::finishAutocommit(bool ok) {
  if (!autoTran_ || !autoTran_->active()) return;
  if (conn_ && conn_->InTransaction() && runTran_ == &conn_->explicit_) return;
  if (ok) {
    autoTran_->commit();
  } else {
    try {
      autoTran_->rollback();
    } catch (...) {
    }
  }
}

void Query::prepare() {
  if (prepared()) return;
  Attachment* db = database();
  if (!db) throw EDatabaseError("Query has no database");
  if (!db->connected()) throw EDatabaseError("Database is not connected");
  if (sql_.empty()) throw EDatabaseError("SQL text is empty");
  releaseStatement();
  bool ownTran = false;
  Transaction* t = runTran_ && runTran_->active() ? runTran_ : nullptr;
  if (!t) {
    t = resolveTransaction();
    ownTran = (t == autoTran_.get());
  }
  Status st;
  IStatement* s = db->handle()->prepare(&st, t->handle(), 0, posSql_.c_str(),
                                        static_cast<unsigned>(db->sqlDialect),
                                        IStatement::PREPARE_PREFETCH_METADATA);
  if (st.failed()) {
    if (ownTran && !active_) finishAutocommit(false);
    st.check();
  }
  stmt_ = s;
  stmtType_ = stmt_->getType(&st);
  st.check();
  inMeta_ = stmt_->getInputMetadata(&st);
  st.check();
  unsigned n = inMeta_->getCount(&st);
  st.check();
  inDesc_.clear();
  for (unsigned i = 0; i < n; ++i) {
    InDesc d{inMeta_->getType(&st, i), inMeta_->getLength(&st, i), inMeta_->getCharSet(&st, i),
             inMeta_->getSubType(&st, i), inMeta_->getScale(&st, i)};
    st.check();
    inDesc_.push_back(d);
  }
  if (n != posNames_.size()) {
    releaseStatement();
    throw EDatabaseError("Parameter count mismatch: the statement has " + std::to_string(n) +
                         " parameters, the text names " + std::to_string(posNames_.size()));
  }
  describeOutput();
  preparedGen_ = db->generation();
  if (ownTran && !active_) finishAutocommit(true);
}

void Query::unprepare() {
  close();
  releaseStatement();
}

void Query::describeOutput() {
  Status st;
  outMeta_ = stmt_->getOutputMetadata(&st);
  st.check();
  unsigned n = outMeta_->getCount(&st);
  st.check();
  outInfo_.clear();
  outOffset_.clear();
  outNullOffset_.clear();
  for (unsigned i = 0; i < n; ++i) {
    FieldInfo fi;
    const char* alias = outMeta_->getAlias(&st, i);
    const char* field = outMeta_->getField(&st, i);
    const char* rel = outMeta_->getRelation(&st, i);
    fi.name = alias && *alias ? alias : (field ? field : "");
    fi.column = field ? field : "";
    fi.relation = rel ? rel : "";
    fi.sqlType = outMeta_->getType(&st, i);
    fi.type = TypeOf(fi.sqlType);
    fi.subType = outMeta_->getSubType(&st, i);
    fi.length = outMeta_->getLength(&st, i);
    fi.scale = outMeta_->getScale(&st, i);
    fi.charSet = outMeta_->getCharSet(&st, i);
    fi.nullable = outMeta_->isNullable(&st, i);
    outOffset_.push_back(outMeta_->getOffset(&st, i));
    outNullOffset_.push_back(outMeta_->getNullOffset(&st, i));
    st.check();
    outInfo_.push_back(std::move(fi));
  }
  unsigned len = outMeta_->getMessageLength(&st);
  st.check();
  outBuf_.assign(len, 0);
}

// ----------------------------------------------------------------------------------------
// Binding

namespace {

struct Slot {
  unsigned type = SQL_VARYING;
  unsigned length = 1;
  int scale = 0;
  int subType = 0;
  unsigned charSet = 0;
  bool null = true;
  int64_t i64 = 0;
  double dbl = 0;
  unsigned char quad[8] = {};
  std::string text;
};

}  // namespace

void Query::buildInput() {
  Status st;
  unsigned n = static_cast<unsigned>(posNames_.size());
  if (n == 0) {
    inBuf_.clear();
    return;
  }
  Attachment* db = database();
  std::vector<Slot> slots(n);
  for (unsigned i = 0; i < n; ++i) {
    const Param& p = params_[posIndex_[i]];
    Slot& s = slots[i];
    const InDesc& d = inDesc_[i];
    const unsigned dt = d.type, dlen = d.length, dcs = d.charSet;
    const int dsub = d.subType, dscale = d.scale;
    Param::Kind k = p.kind_;
    std::string text = p.text_;
    double dval = p.dbl_;
    if (k == Param::Kind::String && IsDateType(dt)) {
      // A text for a date: the empty text is no date; a day.month.year text is read
      // by our own rules (the engine reads "/" and "-" month first).
      std::string t = platform::Trim(text);
      platform::TDateTime v = 0;
      if (t.empty()) {
        k = Param::Kind::Null;
      } else if (dt == SQL_TYPE_TIME ? platform::TryStrToTime(t, v) : platform::TryStrToDateTime(t, v)) {
        k = dt == SQL_TYPE_DATE ? Param::Kind::Date
            : dt == SQL_TYPE_TIME ? Param::Kind::Time : Param::Kind::DateTime;
        dval = v;
      }
    }
    if ((k == Param::Kind::String || k == Param::Kind::Blob) && dt == SQL_BLOB) k = Param::Kind::Blob;
    else if (k == Param::Kind::Blob) k = Param::Kind::String;
    switch (k) {
      case Param::Kind::Null:
        s.type = dt;
        s.length = dlen;
        s.scale = dscale;
        s.subType = dsub;
        s.charSet = dcs;
        s.null = true;
        break;
      case Param::Kind::Integer:
      case Param::Kind::Boolean:
        s.null = false;
        if (dt == SQL_BOOLEAN) {
          s.type = SQL_BOOLEAN;
          s.length = 1;
          s.i64 = p.int_ != 0;
        } else {
          s.type = SQL_INT64;
          s.length = 8;
          s.i64 = p.int_;
        }
        break;
      case Param::Kind::Double:
        s.null = false;
        s.type = SQL_DOUBLE;
        s.length = 8;
        s.dbl = dval;
        break;
      case Param::Kind::Date:
        s.null = false;
        s.type = SQL_TYPE_DATE;
        s.length = 4;
        s.i64 = ToIscDate(dval);
        break;
      case Param::Kind::Time:
        s.null = false;
        s.type = SQL_TYPE_TIME;
        s.length = 4;
        s.i64 = ToIscTime(dval);
        break;
      case Param::Kind::DateTime:
        s.null = false;
        s.type = SQL_TIMESTAMP;
        s.length = 8;
        s.dbl = dval;
        break;
      case Param::Kind::Blob: {
        s.null = false;
        s.type = SQL_BLOB;
        s.length = 8;
        s.subType = dsub;
        ISC_QUAD id{};
        IBlob* b = db->handle()->createBlob(&st, runTran_->handle(), &id, 0, nullptr);
        st.check();
        size_t off = 0;
        while (off < text.size()) {
          unsigned chunk = static_cast<unsigned>(std::min<size_t>(text.size() - off, 32768));
          b->putSegment(&st, chunk, text.data() + off);
          if (st.failed()) {
            Status st2;
            b->cancel(&st2);
            st.check();
          }
          off += chunk;
        }
        b->close(&st);
        st.check();
        std::memcpy(s.quad, &id, sizeof(id));
        break;
      }
      case Param::Kind::String: {
        if (text.size() > kMaxVarchar)
          throw EDatabaseError("Parameter '" + p.name_ + "': a text of " + std::to_string(text.size()) +
                               " bytes is too long");
        s.null = false;
        s.type = SQL_VARYING;
        unsigned len = static_cast<unsigned>(std::max<size_t>(text.size(), 1));
        if (IsTextType(dt) && dlen >= len) {
          len = dlen;
        } else {
          len = std::min(kMaxVarchar, (len + 255) / 256 * 256);
        }
        s.length = len;
        s.charSet = (IsTextType(dt) && dcs == kCsOctets) ? kCsOctets : kCsWin1251;
        s.text = std::move(text);
        break;
      }
    }
  }
  // The metadata of the bound values; built again only when the shape changes.
  std::vector<std::pair<unsigned, unsigned>> sig;
  sig.reserve(n * 3);
  for (const Slot& s : slots) {
    sig.emplace_back(s.type, s.length);
    sig.emplace_back(static_cast<unsigned>(s.scale), static_cast<unsigned>(s.subType));
    sig.emplace_back(s.charSet, 0u);
  }
  if (!bindMeta_ || sig != bindSig_) {
    if (bindMeta_) {
      bindMeta_->release();
      bindMeta_ = nullptr;
    }
    IMetadataBuilder* b = inMeta_->getBuilder(&st);
    st.check();
    for (unsigned i = 0; i < n && !st.failed(); ++i) {
      const Slot& s = slots[i];
      b->setType(&st, i, s.type);
      b->setSubType(&st, i, s.subType);
      b->setLength(&st, i, s.length);
      b->setScale(&st, i, s.scale);
      b->setCharSet(&st, i, s.charSet);
    }
    if (!st.failed()) bindMeta_ = b->getMetadata(&st);
    b->release();
    st.check();
    bindSig_ = std::move(sig);
    unsigned len = bindMeta_->getMessageLength(&st);
    st.check();
    inBuf_.assign(len, 0);
    bindOffset_.assign(n, 0);
    bindNullOffset_.assign(n, 0);
    for (unsigned i = 0; i < n; ++i) {
      bindOffset_[i] = bindMeta_->getOffset(&st, i);
      bindNullOffset_[i] = bindMeta_->getNullOffset(&st, i);
      st.check();
    }
  } else {
    std::fill(inBuf_.begin(), inBuf_.end(), 0);
  }
  for (unsigned i = 0; i < n; ++i) {
    const Slot& s = slots[i];
    const unsigned off = bindOffset_[i];
    const unsigned noff = bindNullOffset_[i];
    int16_t nullFlag = s.null ? -1 : 0;
    std::memcpy(&inBuf_[noff], &nullFlag, sizeof(nullFlag));
    if (s.null) continue;
    unsigned char* p = &inBuf_[off];
    switch (s.type) {
      case SQL_INT64: std::memcpy(p, &s.i64, 8); break;
      case SQL_BOOLEAN: *p = s.i64 ? 1 : 0; break;
      case SQL_DOUBLE: std::memcpy(p, &s.dbl, 8); break;
      case SQL_TYPE_DATE: {
        int32_t d = static_cast<int32_t>(s.i64);
        std::memcpy(p, &d, 4);
        break;
      }
      case SQL_TYPE_TIME: {
        uint32_t t = static_cast<uint32_t>(s.i64);
        std::memcpy(p, &t, 4);
        break;
      }
      case SQL_TIMESTAMP: {
        int32_t d = ToIscDate(s.dbl);
        uint32_t t = ToIscTime(s.dbl);
        std::memcpy(p, &d, 4);
        std::memcpy(p + 4, &t, 4);
        break;
      }
      case SQL_BLOB: std::memcpy(p, s.quad, 8); break;
      case SQL_VARYING: {
        uint16_t l = static_cast<uint16_t>(s.text.size());
        std::memcpy(p, &l, 2);
        if (l) std::memcpy(p + 2, s.text.data(), l);
        break;
      }
      default: break;
    }
  }
}

// ----------------------------------------------------------------------------------------
// Execution

void Query::executeStatement(bool /*wantCursor*/) {
  close();
  Attachment* db = database();
  if (!db) throw EDatabaseError("Query has no database");
  if (!db->connected()) throw EDatabaseError("Database is not connected");
  runTran_ = resolveTransaction();
  try {
    prepare();
    buildInput();
    Status st;
    IMessageMetadata* inMeta = posNames_.empty() ? nullptr : bindMeta_;
    void* inBuf = posNames_.empty() ? nullptr : inBuf_.data();
    bool isSelect = stmtType_ == isc_info_sql_stmt_select || stmtType_ == isc_info_sql_stmt_select_for_upd;
    if (isSelect) {
      rs_ = stmt_->openCursor(&st, runTran_->handle(), inMeta, inBuf, outMeta_, 0);
      st.check();
      active_ = true;
      runTran_->addCursor(this);
      fetch();
      rowsAffected_ = -1;
    } else {
      bool hasOut = !outInfo_.empty();
      ITransaction* t = stmt_->execute(&st, runTran_->handle(), inMeta, inBuf, hasOut ? outMeta_ : nullptr,
                                       hasOut ? outBuf_.data() : nullptr);
      st.check();
      (void)t;
      rowsAffected_ = static_cast<int64_t>(stmt_->getAffectedRecords(&st));
      if (st.failed()) rowsAffected_ = -1;
      if (hasOut) {
        active_ = true;
        eof_ = false;
      }
      finishAutocommit(true);
      runTran_ = nullptr;
    }
  } catch (...) {
    releaseCursor();
    if (runTran_) runTran_->removeCursor(this);
    active_ = false;
    eof_ = true;
    finishAutocommit(false);
    runTran_ = nullptr;
    throw;
  }
}

void Query::open() { executeStatement(true); }
void Query::execSQL() { executeStatement(false); }

void Query::fetch() {
  Status st;
  int r = rs_->fetchNext(&st, outBuf_.data());
  st.check();
  eof_ = (r != IStatus::RESULT_OK);
}

void Query::next() {
  if (!active_ || eof_) {
    eof_ = true;
    return;
  }
  if (!rs_) {  // a single result row of an executed statement
    eof_ = true;
    return;
  }
  fetch();
}

void Query::close() {
  bool hadCursor = rs_ != nullptr;
  releaseCursor();
  if (runTran_) runTran_->removeCursor(this);
  if (hadCursor) {
    active_ = false;
    eof_ = true;
  }
  // A stored result row of an executed statement stays readable (output parameters).
  if (runTran_ && autoTran_ && runTran_ == autoTran_.get()) finishAutocommit(true);
  runTran_ = nullptr;
}

// ----------------------------------------------------------------------------------------
// Fields

int Query::findField(std::string_view name) const {
  for (size_t i = 0; i < outInfo_.size(); ++i)
    if (platform::SameText(outInfo_[i].name, name)) return static_cast<int>(i);
  return -1;
}

Field Query::field(size_t i) const {
  if (i >= outInfo_.size()) throw EDatabaseError("Field index " + std::to_string(i) + " out of range");
  return Field(this, static_cast<unsigned>(i));
}

Field Query::field(std::string_view name) const {
  int i = findField(name);
  if (i < 0) throw EDatabaseError("Field '" + std::string(name) + "' not found");
  return Field(this, static_cast<unsigned>(i));
}

const unsigned char* Query::valuePtr(unsigned i, bool& isNull) const {
  isNull = true;
  if (!active_ || eof_ || i >= outInfo_.size()) return nullptr;
  int16_t nullFlag = 0;
  std::memcpy(&nullFlag, &outBuf_[outNullOffset_[i]], sizeof(nullFlag));
  if (nullFlag) return nullptr;
  isNull = false;
  return &outBuf_[outOffset_[i]];
}

std::string Query::readBlob(const unsigned char* quad) const {
  Attachment* db = database();
  Transaction* t = runTran_;
  if (!t && tran_) t = tran_;
  if (!db || !db->connected() || !t || !t->active())
    throw EDatabaseError("A blob can be read only while its transaction is active");
  ISC_QUAD id;
  std::memcpy(&id, quad, sizeof(id));
  Status st;
  IBlob* b = db->handle()->openBlob(&st, t->handle(), &id, 0, nullptr);
  st.check();
  std::string out;
  char buf[32768];
  for (;;) {
    unsigned got = 0;
    int r = b->getSegment(&st, sizeof(buf), buf, &got);
    if (st.failed()) {
      Status st2;
      b->close(&st2);
      if (st2.failed()) b->release();
      st.check();
    }
    if (r == IStatus::RESULT_OK || r == IStatus::RESULT_SEGMENT) {
      out.append(buf, got);
      continue;
    }
    break;
  }
  b->close(&st);
  if (st.failed()) b->release();
  return out;
}

const std::string& Field::name() const { return q_->outInfo_[index_].name; }
const FieldInfo& Field::info() const { return q_->outInfo_[index_]; }

bool Field::isNull() const {
  bool n = true;
  q_->valuePtr(index_, n);
  return n;
}

namespace {

int64_t ReadInt(const FieldInfo& fi, const unsigned char* p) {
  switch (fi.sqlType) {
    case SQL_SHORT: { int16_t v; std::memcpy(&v, p, 2); return v; }
    case SQL_LONG: { int32_t v; std::memcpy(&v, p, 4); return v; }
    case SQL_INT64: { int64_t v; std::memcpy(&v, p, 8); return v; }
    default: return 0;
  }
}

bool IsIntType(unsigned t) { return t == SQL_SHORT || t == SQL_LONG || t == SQL_INT64; }

std::string ReadText(const FieldInfo& fi, const unsigned char* p) {
  if (fi.sqlType == SQL_TEXT) return std::string(reinterpret_cast<const char*>(p), fi.length);
  uint16_t l;
  std::memcpy(&l, p, 2);
  if (l > fi.length) l = static_cast<uint16_t>(fi.length);
  return std::string(reinterpret_cast<const char*>(p + 2), l);
}

double ReadDateTime(const FieldInfo& fi, const unsigned char* p) {
  switch (fi.sqlType) {
    case SQL_TYPE_DATE: { int32_t d; std::memcpy(&d, p, 4); return FromIscDate(d); }
    case SQL_TYPE_TIME: { uint32_t t; std::memcpy(&t, p, 4); return FromIscTime(t); }
    case SQL_TIMESTAMP: {
      int32_t d;
      uint32_t t;
      std::memcpy(&d, p, 4);
      std::memcpy(&t, p + 4, 4);
      double date = FromIscDate(d);
      double tm = FromIscTime(t);
      return date >= 0 ? date + tm : date - tm;
    }
    default: return 0;
  }
}

double ReadFloat(const FieldInfo& fi, const unsigned char* p) {
  if (fi.sqlType == SQL_FLOAT) { float f; std::memcpy(&f, p, 4); return f; }
  double d;
  std::memcpy(&d, p, 8);
  return d;
}

}  // namespace

std::string Field::asString() const {
  bool n;
  const unsigned char* p = q_->valuePtr(index_, n);
  if (n) return {};
  const FieldInfo& fi = info();
  switch (fi.sqlType) {
    case SQL_TEXT:
    case SQL_VARYING: return ReadText(fi, p);
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64: return ScaledToString(ReadInt(fi, p), fi.scale);
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_D_FLOAT: return platform::FloatToStr(ReadFloat(fi, p));
    case SQL_TYPE_DATE: return platform::FormatDate(ReadDateTime(fi, p));
    case SQL_TYPE_TIME: return platform::FormatTime(ReadDateTime(fi, p));
    case SQL_TIMESTAMP: return platform::FormatDateTimeText(ReadDateTime(fi, p));
    case SQL_BOOLEAN: return *p ? "True" : "False";
    case SQL_BLOB: return q_->readBlob(p);
    default: return {};
  }
}

int64_t Field::asInt64() const {
  bool n;
  const unsigned char* p = q_->valuePtr(index_, n);
  if (n) return 0;
  const FieldInfo& fi = info();
  if (IsIntType(fi.sqlType)) {
    int64_t v = ReadInt(fi, p);
    if (fi.scale == 0) return v;
    if (fi.scale > 0) return v * Pow10(fi.scale);
    return platform::RoundHalfEven(static_cast<double>(v) / static_cast<double>(Pow10(-fi.scale)));
  }
  switch (fi.sqlType) {
    case SQL_TEXT:
    case SQL_VARYING:
    case SQL_BLOB: return platform::StrToInt64(asString());
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_D_FLOAT: return platform::RoundHalfEven(ReadFloat(fi, p));
    case SQL_TYPE_DATE:
    case SQL_TIMESTAMP:
    case SQL_TYPE_TIME: return static_cast<int64_t>(std::trunc(ReadDateTime(fi, p)));
    case SQL_BOOLEAN: return *p ? 1 : 0;
    default: return 0;
  }
}

int32_t Field::asInteger() const {
  const FieldInfo& fi = info();
  if (fi.sqlType == SQL_TEXT || fi.sqlType == SQL_VARYING) {
    if (isNull()) return 0;
    return platform::StrToInt(asString());
  }
  int64_t v = asInt64();
  if (v < INT32_MIN || v > INT32_MAX)
    throw EDatabaseError("Value of field '" + fi.name + "' is out of the integer range");
  return static_cast<int32_t>(v);
}

double Field::asDouble() const {
  bool n;
  const unsigned char* p = q_->valuePtr(index_, n);
  if (n) return 0;
  const FieldInfo& fi = info();
  if (IsIntType(fi.sqlType)) {
    double v = static_cast<double>(ReadInt(fi, p));
    if (fi.scale < 0) return v / static_cast<double>(Pow10(-fi.scale));
    if (fi.scale > 0) return v * static_cast<double>(Pow10(fi.scale));
    return v;
  }
  switch (fi.sqlType) {
    case SQL_TEXT:
    case SQL_VARYING:
    case SQL_BLOB: return platform::StrToFloat(asString());
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_D_FLOAT: return ReadFloat(fi, p);
    case SQL_TYPE_DATE:
    case SQL_TIMESTAMP:
    case SQL_TYPE_TIME: return ReadDateTime(fi, p);
    case SQL_BOOLEAN: return *p ? 1 : 0;
    default: return 0;
  }
}

platform::TDateTime Field::asDateTime() const {
  bool n;
  const unsigned char* p = q_->valuePtr(index_, n);
  if (n) return 0;
  const FieldInfo& fi = info();
  switch (fi.sqlType) {
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME:
    case SQL_TIMESTAMP: return ReadDateTime(fi, p);
    case SQL_TEXT:
    case SQL_VARYING: {
      std::string s = platform::Trim(asString());
      platform::TDateTime v = 0;
      if (platform::TryStrToDateTime(s, v)) return v;
      return platform::StrToDate(s);  // raises with the platform's text
    }
    default: return asDouble();
  }
}

bool Field::asBoolean() const {
  bool n;
  const unsigned char* p = q_->valuePtr(index_, n);
  if (n) return false;
  const FieldInfo& fi = info();
  if (fi.sqlType == SQL_BOOLEAN) return *p != 0;
  if (fi.sqlType == SQL_TEXT || fi.sqlType == SQL_VARYING) {
    std::string s = platform::UpperCase(platform::Trim(asString()));
    return s == "TRUE" || s == "T" || s == "Y" || s == "1";
  }
  return asInt64() != 0;
}

}  // namespace fbdb
