// Attachment, transactions, errors and the helpers shared by the rest of fbdb.
#include <algorithm>
#include <cmath>
#include <exception>

#include "db/fbdb_internal.h"
#include "platform/codepage.h"
#include "platform/strutil.h"

using namespace Firebird;

namespace fbdb {
namespace detail {

IMaster* Master() {
  static IMaster* m = fb_get_master_interface();
  return m;
}

IUtil* Util() {
  static IUtil* u = Master()->getUtilInterface();
  return u;
}

IProvider* Provider() {
  static IProvider* p = Master()->getDispatcher();
  return p;
}

void ThrowStatus(IStatus* st, std::string_view context) { throw MakeError(st, context); }

EFbError MakeError(IStatus* st, std::string_view context) {
  char buf[2048];
  buf[0] = 0;
  Util()->formatStatus(buf, sizeof(buf) - 1, st);
  buf[sizeof(buf) - 1] = 0;
  std::string msg = buf;
  // The engine separates the lines of its message by line feeds; keep them, drop a trailing one.
  while (!msg.empty() && (msg.back() == '\n' || msg.back() == '\r')) msg.pop_back();
  if (!context.empty()) {
    msg += "\n";
    msg += context;
  }
  const intptr_t* v = st->getErrors();
  long gds = 0;
  if (v && v[0] == isc_arg_gds) gds = static_cast<long>(v[1]);
  int sqlcode = v ? static_cast<int>(isc_sqlcode(v)) : 0;
  return EFbError(msg, gds, sqlcode);
}

Xpb::Xpb(unsigned kind) { b_ = Util()->getXpbBuilder(&st_, kind, nullptr, 0); st_.check(); }
Xpb::~Xpb() {
  if (b_) b_->dispose();
}
void Xpb::tag(unsigned char t) { b_->insertTag(&st_, t); st_.check(); }
void Xpb::str(unsigned char t, std::string_view v) {
  std::string s(v);
  b_->insertString(&st_, t, s.c_str());
  st_.check();
}
void Xpb::num(unsigned char t, int v) { b_->insertInt(&st_, t, v); st_.check(); }
unsigned Xpb::length() {
  unsigned n = b_->getBufferLength(&st_);
  st_.check();
  return n;
}
const unsigned char* Xpb::buffer() {
  const unsigned char* p = b_->getBuffer(&st_);
  st_.check();
  return p;
}

}  // namespace detail

using detail::Status;
using detail::Xpb;

// ----------------------------------------------------------------------------------------
// Dates

namespace {
constexpr int32_t kIscDateDelta = 15018;          // 17.11.1858 .. 30.12.1899
constexpr double kIscTimeUnits = 864000000.0;     // 1/10000 s per day
}  // namespace

int32_t ToIscDate(platform::TDateTime d) {
  // 01.01.0001 .. 31.12.9999, the range the engine accepts.
  if (!(d >= -693593.0 && d < 2958466.0)) throw EDatabaseError("Date value out of range");
  return static_cast<int32_t>(std::trunc(d)) + kIscDateDelta;
}

platform::TDateTime FromIscDate(int32_t d) { return static_cast<double>(d - kIscDateDelta); }

uint32_t ToIscTime(platform::TDateTime t) {
  double f = std::fabs(t - std::trunc(t));
  double v = std::round(f * kIscTimeUnits);
  if (v < 0) v = 0;
  if (v >= kIscTimeUnits) v = kIscTimeUnits - 1;
  return static_cast<uint32_t>(v);
}

platform::TDateTime FromIscTime(uint32_t t) { return static_cast<double>(t) / kIscTimeUnits; }

// ----------------------------------------------------------------------------------------
// Attachment

Attachment::Attachment() {
  params.setValue("USER_NAME", "SYSDBA");
  params.setValue("lc_ctype", "WIN1251");
}

Attachment::~Attachment() {
  try {
    disconnect();
  } catch (...) {
  }
  for (Transaction* t : std::vector<Transaction*>(transactions_)) t->dbGone();
  for (Query* q : std::vector<Query*>(queries_)) q->dbGone();
}

void Attachment::attachDpb(bool create, const CreateOptions* opt) {
  Xpb dpb(IXpbBuilder::DPB);
  std::string user = create && opt ? opt->user : params.value("USER_NAME");
  std::string password = create && opt ? opt->password : params.value("PASSWORD");
  std::string charset = params.value("lc_ctype");
  if (charset.empty()) charset = "WIN1251";
  std::string role = params.value("sql_role_name");
  if (role.empty()) role = params.value("RoleName");
  if (!user.empty()) dpb.str(isc_dpb_user_name, user);
  if (!password.empty()) dpb.str(isc_dpb_password, password);
  dpb.str(isc_dpb_lc_ctype, charset);
  if (!role.empty()) dpb.str(isc_dpb_sql_role_name, role);
  dpb.tag(isc_dpb_utf8_filename);
  dpb.num(isc_dpb_connect_timeout, kConnectTimeout);
  if (create && opt) {
    dpb.num(isc_dpb_sql_dialect, opt->dialect);
    dpb.num(isc_dpb_page_size, opt->pageSize);
    dpb.str(isc_dpb_set_db_charset, opt->charset);
    dpb.num(isc_dpb_force_write, opt->forcedWrites ? 1 : 0);
  }
  std::string name = platform::Cp1251ToUtf8(databaseName);
  Status st;
  IAttachment* a = create
      ? detail::Provider()->createDatabase(&st, name.c_str(), dpb.length(), dpb.buffer())
      : detail::Provider()->attachDatabase(&st, name.c_str(), dpb.length(), dpb.buffer());
  st.check();
  att_ = a;
  ++generation_;
}

void Attachment::connect() {
  if (att_) return;
  if (databaseName.empty()) throw EDatabaseError("Database name is empty");
  attachDpb(false, nullptr);
}

void Attachment::createDatabase(const std::string& name, const CreateOptions& opt) {
  disconnect();
  databaseName = name;
  sqlDialect = opt.dialect;
  attachDpb(true, &opt);
}

void Attachment::disconnect() {
  if (!att_) return;
  std::exception_ptr first;
  // Commit every active transaction: the engine refuses to detach while one is open,
  // and the attachment would then be lost together with the pending work.
  for (Transaction* t : std::vector<Transaction*>(transactions_)) {
    if (!t->active()) continue;
    try {
      t->commit();
    } catch (...) {
      if (!first) first = std::current_exception();
      try {
        t->rollback();
      } catch (...) {
      }
    }
  }
  for (Query* q : std::vector<Query*>(queries_)) q->releaseStatement();
  Status st;
  att_->detach(&st);
  if (st.failed()) {
    att_->release();
    att_ = nullptr;
    if (!first) st.check();
  }
  att_ = nullptr;
  if (first) std::rethrow_exception(first);
}

void Attachment::executeImmediate(std::string_view sql) {
  if (!att_) throw EDatabaseError("Database is not connected");
  Transaction t(*this);
  t.start();
  std::string s(sql);
  Status st;
  att_->execute(&st, t.handle(), 0, s.c_str(), static_cast<unsigned>(sqlDialect), nullptr, nullptr,
                nullptr, nullptr);
  if (st.failed()) {
    try {
      t.rollback();
    } catch (...) {
    }
    st.check();
  }
  t.commit();
}

void Attachment::registerTransaction(Transaction* t) { transactions_.push_back(t); }
void Attachment::unregisterTransaction(Transaction* t) {
  transactions_.erase(std::remove(transactions_.begin(), transactions_.end(), t), transactions_.end());
}
void Attachment::registerQuery(Query* q) { queries_.push_back(q); }
void Attachment::unregisterQuery(Query* q) {
  queries_.erase(std::remove(queries_.begin(), queries_.end(), q), queries_.end());
}

// ----------------------------------------------------------------------------------------
// Transaction

Transaction::Transaction(Attachment& db) : db_(&db) { db.registerTransaction(this); }

Transaction::~Transaction() {
  if (tra_) {
    try {
      rollback();
    } catch (...) {
    }
  }
  if (tra_) {
    tra_->release();
    tra_ = nullptr;
  }
  for (Query* q : std::vector<Query*>(bound_)) q->tranGone();
  if (db_) db_->unregisterTransaction(this);
}

void Transaction::start() {
  if (tra_) return;
  if (!db_ || !db_->connected()) throw EDatabaseError("Database is not connected");
  const int opts[3] = {static_cast<int>(isolation), readOnly ? 1 : 0, lockTimeout};
  if (tpb_.empty() || !std::equal(opts, opts + 3, tpbFor_)) {
    Xpb tpb(IXpbBuilder::TPB);
    switch (isolation) {
      case Isolation::Concurrency:
        tpb.tag(isc_tpb_concurrency);
        break;
      case Isolation::ReadCommitted:
        tpb.tag(isc_tpb_read_committed);
        tpb.tag(isc_tpb_rec_version);
        break;
      case Isolation::Consistency:
        tpb.tag(isc_tpb_consistency);
        break;
    }
    tpb.tag(readOnly ? isc_tpb_read : isc_tpb_write);
    if (lockTimeout == 0) {
      tpb.tag(isc_tpb_nowait);
    } else {
      tpb.tag(isc_tpb_wait);
      if (lockTimeout > 0) tpb.num(isc_tpb_lock_timeout, lockTimeout);
    }
    const unsigned char* b = tpb.buffer();
    tpb_.assign(b, b + tpb.length());
    std::copy(opts, opts + 3, tpbFor_);
  }
  Status st;
  ITransaction* t = db_->handle()->startTransaction(&st, static_cast<unsigned>(tpb_.size()), tpb_.data());
  st.check();
  tra_ = t;
}

void Transaction::end(bool doCommit) {
  if (!tra_) return;
  for (Query* q : std::vector<Query*>(cursors_)) q->tranEnding();
  cursors_.clear();
  Status st;
  if (doCommit) {
    tra_->commit(&st);
    st.check();  // a failed commit leaves the transaction active
    tra_ = nullptr;
  } else {
    tra_->rollback(&st);
    if (st.failed()) {
      // Nothing more can be done with it (the attachment is usually gone).
      tra_->release();
      tra_ = nullptr;
      st.check();
    }
    tra_ = nullptr;
  }
}

void Transaction::commit() { end(true); }
void Transaction::rollback() { end(false); }

void Transaction::commitRetaining() {
  if (!tra_) return;
  Status st;
  tra_->commitRetaining(&st);
  st.check();
}

void Transaction::dbGone() {
  for (Query* q : std::vector<Query*>(cursors_)) q->tranEnding();
  cursors_.clear();
  if (tra_) {
    tra_->release();
    tra_ = nullptr;
  }
  db_ = nullptr;
}

void Transaction::addCursor(Query* q) {
  if (std::find(cursors_.begin(), cursors_.end(), q) == cursors_.end()) cursors_.push_back(q);
}
void Transaction::removeCursor(Query* q) {
  cursors_.erase(std::remove(cursors_.begin(), cursors_.end(), q), cursors_.end());
}

// ----------------------------------------------------------------------------------------
// Service manager name

std::string ServiceManagerName(std::string_view host) {
  if (host.empty()) return "service_mgr";
  return std::string(host) + ":service_mgr";
}

}  // namespace fbdb
