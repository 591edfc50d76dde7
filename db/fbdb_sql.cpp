// The driver-layer connection and stored procedures.
#include "db/fbdb_internal.h"
#include "platform/strutil.h"

using namespace Firebird;

namespace fbdb {

using detail::Status;

SqlConnection::SqlConnection() : explicit_(db_) {
  explicit_.isolation = Isolation::ReadCommitted;
}

SqlConnection::~SqlConnection() {
  try {
    close();
  } catch (...) {
  }
}

void SqlConnection::open() {
  if (db_.connected()) return;
  db_.databaseName = Params.value("DataBase");
  db_.params.clear();
  std::string user = Params.value("User_Name");
  std::string password = Params.value("Password");
  std::string charset = Params.value("ServerCharSet");
  std::string role = Params.value("RoleName");
  if (!user.empty()) db_.params.setValue("USER_NAME", user);
  if (!password.empty()) db_.params.setValue("PASSWORD", password);
  db_.params.setValue("lc_ctype", charset.empty() ? std::string("WIN1251") : platform::UpperCase(charset));
  if (!role.empty()) db_.params.setValue("sql_role_name", role);
  db_.sqlDialect = platform::StrToIntDef(platform::Trim(Params.value("SQLDialect")), 3);
  // "WaitOnLocks=False" asks for no waiting at all; a wait is always bounded.
  std::string wait = platform::UpperCase(platform::Trim(Params.value("WaitOnLocks")));
  int def = (wait == "FALSE" || wait == "0") ? 0 : kDefaultLockTimeout;
  lockTimeout_ = platform::StrToIntDef(platform::Trim(Params.value("LockTimeout")), def);
  if (lockTimeout_ < 0) lockTimeout_ = kDefaultLockTimeout;  // never an endless wait
  db_.connect();
}

void SqlConnection::close() {
  if (explicit_.active()) {
    try {
      explicit_.rollback();
    } catch (...) {
    }
  }
  db_.disconnect();
}

void SqlConnection::StartTransaction(const TTransactionDesc& desc) {
  if (!db_.connected()) throw EDatabaseError("Connection is closed");
  if (explicit_.active())
    throw EDatabaseError("A transaction is already active (id " + std::to_string(desc_.TransactionID) + ")");
  explicit_.isolation = desc.IsolationLevel == 1 ? Isolation::Concurrency : Isolation::ReadCommitted;
  explicit_.lockTimeout = lockTimeout_;
  explicit_.start();
  desc_ = desc;
}

void SqlConnection::Commit(const TTransactionDesc& desc) {
  if (!explicit_.active()) return;
  if (desc.TransactionID != desc_.TransactionID)
    throw EDatabaseError("No active transaction with id " + std::to_string(desc.TransactionID));
  explicit_.commit();
}

void SqlConnection::Rollback(const TTransactionDesc& desc) {
  if (!explicit_.active()) return;
  if (desc.TransactionID != desc_.TransactionID)
    throw EDatabaseError("No active transaction with id " + std::to_string(desc.TransactionID));
  explicit_.rollback();
}

int64_t SqlConnection::ExecuteDirect(std::string_view sql) {
  if (!db_.connected()) throw EDatabaseError("Connection is closed");
  std::string s(sql);
  Transaction own(db_);
  own.isolation = Isolation::ReadCommitted;
  own.lockTimeout = lockTimeout_;
  Transaction* t = &explicit_;
  if (!explicit_.active()) {
    own.start();
    t = &own;
  }
  Status st;
  db_.handle()->execute(&st, t->handle(), 0, s.c_str(), static_cast<unsigned>(db_.sqlDialect), nullptr,
                        nullptr, nullptr, nullptr);
  if (st.failed()) {
    if (t == &own) {
      try {
        own.rollback();
      } catch (...) {
      }
    }
    st.check();
  }
  if (t == &own) own.commit();
  return -1;
}

// ----------------------------------------------------------------------------------------
// StoredProc

void StoredProc::setStoredProcName(std::string_view name) {
  name_ = platform::Trim(name);
  described_ = false;
  q_.setSql("");
}

void StoredProc::prepare() {
  if (described_ && q_.prepared()) return;
  if (name_.empty()) throw EDatabaseError("Stored procedure name is empty");
  std::string upper = platform::UpperCase(name_);
  if (!described_) {
    // Input parameter names, in their declared order.
    Query meta;
    if (q_.conn_) meta.bind(*q_.conn_);
    else if (q_.tran_) meta.bind(*q_.tran_);
    else throw EDatabaseError("Stored procedure " + name_ + " has no database");
    meta.setSql(
        "select trim(p.rdb$parameter_name) from rdb$procedure_parameters p "
        "where p.rdb$procedure_name = :N and p.rdb$parameter_type = 0 and p.rdb$package_name is null "
        "order by p.rdb$parameter_number");
    meta.param("N").setString(upper);
    meta.open();
    std::string sql = "EXECUTE PROCEDURE " + upper;
    bool firstParam = true;
    for (; !meta.eof(); meta.next()) {
      sql += firstParam ? " (" : ", ";
      sql += ":\"" + meta.field(0).asString() + "\"";
      firstParam = false;
    }
    if (!firstParam) sql += ")";
    meta.close();
    q_.setSql(sql);
    described_ = true;
  }
  q_.prepare();
}

Param& StoredProc::param(std::string_view name) {
  if (!described_) prepare();
  return q_.param(name);
}

void StoredProc::execProc() {
  prepare();
  q_.execSQL();
}

}  // namespace fbdb
