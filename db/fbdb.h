#pragma once
// fbdb: the program's thin layer over the Firebird 3 object API.
//
// Two kinds of connection are built on it:
//  - the native connection: an Attachment with one or more Transaction objects whose
//    lifetimes the tasks control (start does nothing when already active; disconnect
//    commits every active transaction first, so pending work is never lost);
//  - the driver-layer connection (SqlConnection): a second attachment on which a
//    statement outside an explicit transaction runs in its own read-committed
//    transaction and is committed right after it (a select: when its cursor is closed),
//    and an explicit transaction is opened and ended with a TTransactionDesc.
//
// Query carries SQL text with ":NAME" parameters (rewritten to positions; quoted
// literals, quoted identifiers and comments are skipped; a name may occur several
// times), typed parameter values that persist between executions until clearParams(),
// lazy preparation (again after a reconnect) and typed field access by name.
//
// Texts are CP1251 byte strings throughout; every attachment uses lc_ctype WIN1251
// unless told otherwise. Dates travel as native values, never through the locale.
// Every lock wait is bounded (kDefaultLockTimeout seconds) unless a caller says otherwise.
//
// Lifetime: a Transaction, Query or StoredProc refers to its Attachment/SqlConnection;
// destroying the connection first is allowed (the dependants become unusable and raise).
// Nothing here is thread-safe: one connection is used from one thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dates.h"
#include "platform/exception.h"
#include "platform/params.h"

namespace Firebird {
class IAttachment;
class ITransaction;
class IStatement;
class IResultSet;
class IMessageMetadata;
class IService;
}  // namespace Firebird

namespace fbdb {

// Seconds a statement waits for a row lock held by another transaction before it fails.
constexpr int kDefaultLockTimeout = 5;
// Seconds an attach to a server (database or service manager) waits for the server before
// it fails: a host that does not answer ends in an error, not in a hang.
constexpr int kConnectTimeout = 15;

// ----------------------------------------------------------------------------------------
// Errors

// Misuse of the layer or a value it cannot convert (unknown field or parameter,
// operation on a closed connection, NULL read as a number where not allowed, ...).
class EDatabaseError : public platform::Exception {
public:
  using platform::Exception::Exception;
  const char* className() const noexcept override { return "EDatabaseError"; }
};

// An error reported by the Firebird client or engine; the message is the engine's text.
class EFbError : public EDatabaseError {
public:
  EFbError(const std::string& message, long gdsCode, int sqlCode)
      : EDatabaseError(message), gdsCode_(gdsCode), sqlCode_(sqlCode) {}
  const char* className() const noexcept override { return "EFbError"; }
  long gdsCode() const { return gdsCode_; }   // first error code of the status vector (isc_...)
  int sqlCode() const { return sqlCode_; }    // SQLCODE of the status vector
private:
  long gdsCode_;
  int sqlCode_;
};

class Attachment;
class Transaction;
class Query;
class SqlConnection;

// ----------------------------------------------------------------------------------------
// Native attachment

// Options for creating a new database file.
struct CreateOptions {
  std::string user = "SYSDBA";
  std::string password;            // ignored by the embedded engine
  std::string charset = "WIN1251"; // default character set of the database
  int pageSize = 8192;
  int dialect = 3;
  bool forcedWrites = true;        // off makes test databases much faster
};

class Attachment {
public:
  Attachment();
  ~Attachment();  // disconnects (committing), errors swallowed
  Attachment(const Attachment&) = delete;
  Attachment& operator=(const Attachment&) = delete;

  // "host:path" for a server, the path alone for the embedded engine.
  std::string databaseName;
  // Connection parameters, names case-insensitive: "USER_NAME", "PASSWORD",
  // "lc_ctype" (default WIN1251), "sql_role_name" (also "RoleName"). Others are ignored.
  platform::TParams params;
  int sqlDialect = 3;

  void connect();      // does nothing when connected
  // Commits every active transaction of this attachment, frees every prepared statement,
  // detaches. When a commit fails the others are still ended (rolled back), the
  // attachment is detached and the first error is raised afterwards.
  void disconnect();
  bool connected() const { return att_ != nullptr; }
  // Increases at every successful connect; statements prepared earlier prepare again.
  uint64_t generation() const { return generation_; }

  // Creates a new database file and leaves this object connected to it.
  void createDatabase(const std::string& name, const CreateOptions& opt);
  // Runs one statement without parameters in a transaction of its own, committed.
  void executeImmediate(std::string_view sql);

  Firebird::IAttachment* handle() const { return att_; }

private:
  friend class Transaction;
  friend class Query;
  void attachDpb(bool create, const CreateOptions* opt);
  void registerTransaction(Transaction* t);
  void unregisterTransaction(Transaction* t);
  void registerQuery(Query* q);
  void unregisterQuery(Query* q);

  Firebird::IAttachment* att_ = nullptr;
  uint64_t generation_ = 0;
  std::vector<Transaction*> transactions_;
  std::vector<Query*> queries_;
};

// ----------------------------------------------------------------------------------------
// Transactions

enum class Isolation {
  Concurrency,    // snapshot (the default parameter block)
  ReadCommitted,  // read committed, record versions
  Consistency,    // table stability
};

class Transaction {
public:
  explicit Transaction(Attachment& db);
  ~Transaction();  // an active transaction is rolled back when the attachment is still there
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  Isolation isolation = Isolation::Concurrency;
  bool readOnly = false;
  // Seconds to wait for a lock: > 0 bounded wait, 0 no wait, < 0 wait for ever.
  int lockTimeout = kDefaultLockTimeout;

  void start();      // does nothing when already active
  void commit();     // does nothing when not active; closes open cursors on it first
  void rollback();   // does nothing when not active; closes open cursors on it first
  void commitRetaining();
  bool active() const { return tra_ != nullptr; }

  Attachment* database() const { return db_; }
  Firebird::ITransaction* handle() const { return tra_; }

private:
  friend class Attachment;
  friend class Query;
  void end(bool commit);
  void dbGone();
  void addCursor(Query* q);
  void removeCursor(Query* q);

  Attachment* db_;
  Firebird::ITransaction* tra_ = nullptr;
  std::vector<Query*> cursors_;
  std::vector<Query*> bound_;  // queries bound to this transaction
  // The parameter block of the options it was built for.
  std::vector<unsigned char> tpb_;
  int tpbFor_[3] = {-1, -1, -1};
};

// ----------------------------------------------------------------------------------------
// Driver-layer connection

// Descriptor of an explicit driver-layer transaction. IsolationLevel 0 is read committed,
// 1 repeatable read (snapshot), 2 dirty read (taken as read committed).
struct TTransactionDesc {
  uint32_t TransactionID = 0;
  uint32_t GlobalID = 0;
  int IsolationLevel = 0;
  uint32_t CustomIsolation = 0;
};

class SqlConnection {
public:
  SqlConnection();
  ~SqlConnection();
  SqlConnection(const SqlConnection&) = delete;
  SqlConnection& operator=(const SqlConnection&) = delete;

  std::string ConnectionName;
  // Driver parameters, names case-insensitive: "DataBase" (the attach name),
  // "User_Name", "Password", "ServerCharSet" (lc_ctype), "SQLDialect", "RoleName",
  // "LockTimeout" (seconds, default kDefaultLockTimeout; 0 no wait), "WaitOnLocks" ("False":
  // no wait unless LockTimeout says otherwise). Others are ignored. A wait is never endless.
  platform::TParams Params;

  void open();    // does nothing when open
  // An explicit transaction still open is rolled back; then the attachment is detached.
  void close();
  bool connected() const { return db_.connected(); }

  // One explicit transaction at a time; starting a second one raises.
  void StartTransaction(const TTransactionDesc& desc);
  void Commit(const TTransactionDesc& desc);
  void Rollback(const TTransactionDesc& desc);
  bool InTransaction() const { return explicit_.active(); }
  // The descriptor of the open explicit transaction.
  const TTransactionDesc& transactionDesc() const { return desc_; }

  // Runs one statement without parameters (in the explicit transaction, else in its own
  // committed one). Returns the number of rows it changed (-1 when not known).
  int64_t ExecuteDirect(std::string_view sql);

  Attachment& database() { return db_; }
  int lockTimeout() const { return lockTimeout_; }

private:
  friend class Query;
  Attachment db_;
  Transaction explicit_;
  TTransactionDesc desc_;
  int lockTimeout_ = kDefaultLockTimeout;
};

// ----------------------------------------------------------------------------------------
// Parameters and fields

// Field or parameter kinds, as the engine describes them.
enum class FieldType { Unknown, String, FixedString, Smallint, Integer, Bigint, Float, Double,
                       Date, Time, Timestamp, Blob, Boolean };

struct FieldInfo {
  std::string name;       // alias as the select list names it
  std::string relation;   // table, when the column comes from one
  std::string column;     // column name in that table
  FieldType type = FieldType::Unknown;
  unsigned sqlType = 0;   // SQL_* code
  int subType = 0;
  unsigned length = 0;    // bytes in the message
  int scale = 0;          // negative for NUMERIC/DECIMAL
  unsigned charSet = 0;
  bool nullable = true;
};

// One named parameter of a query. The value stays until changed or cleared.
class Param {
public:
  const std::string& name() const { return name_; }
  bool isNull() const { return kind_ == Kind::Null; }

  void clear();                               // NULL
  void setNull() { clear(); }
  void setString(std::string_view v);         // text; empty text to a date column is NULL
  void setInteger(int64_t v);
  void setDouble(double v);
  void setBoolean(bool v);
  void setDate(platform::TDateTime d);        // date part only
  void setTime(platform::TDateTime t);        // time part only
  void setDateTime(platform::TDateTime dt);   // timestamp
  void setBlob(std::string_view bytes);       // binary or text blob contents

  // Reading back what was set (for tests and protocol lines).
  std::string asString() const;

  // Value kinds as stored; public for the layer's own binding code.
  enum class Kind { Null, String, Integer, Double, Boolean, Date, Time, DateTime, Blob };
  Kind kind() const { return kind_; }
  const std::string& text() const { return text_; }
  int64_t integer() const { return int_; }
  double number() const { return dbl_; }

private:
  friend class Query;
  explicit Param(std::string name) : name_(std::move(name)) {}
  std::string name_;
  Kind kind_ = Kind::Null;
  std::string text_;
  int64_t int_ = 0;
  double dbl_ = 0;
};

// A read-only view of one column of the current row. Valid until the next fetch or close.
class Field {
public:
  const std::string& name() const;
  const FieldInfo& info() const;
  bool isNull() const;
  // Null gives "". Integers in decimal, scaled numbers with '.', DATE "dd.mm.yyyy",
  // TIME "hh:nn:ss", TIMESTAMP "dd.mm.yyyy hh:nn:ss", floats shortest round-trip text,
  // BLOBs their contents.
  std::string asString() const;
  // Null gives 0. Texts through StrToInt (the empty text raises), floats rounded half to
  // even; a value outside 32 bits raises.
  int32_t asInteger() const;
  int64_t asInt64() const;
  double asDouble() const;    // null 0; texts through StrToFloat
  // Platform date number (days since 30.12.1899, time as fraction); null 0.
  platform::TDateTime asDateTime() const;
  platform::TDateTime asDate() const { return asDateTime(); }
  bool asBoolean() const;

private:
  friend class Query;
  Field(const Query* q, unsigned index) : q_(q), index_(index) {}
  const Query* q_;
  unsigned index_;
};

// ----------------------------------------------------------------------------------------
// Queries

class Query {
public:
  Query();                                   // unbound; bind() before use
  explicit Query(Transaction& tran);         // native: runs in tran, starting it when needed
  explicit Query(SqlConnection& conn);       // driver layer
  ~Query();
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  void bind(Transaction& tran);
  void bind(SqlConnection& conn);

  // Sets the SQL text (closes and unprepares; parameters whose names remain keep their values).
  void setSql(std::string_view sql);
  // Joins the lines with CR LF, as a statement list.
  void setSqlLines(const std::vector<std::string>& lines);
  const std::string& sql() const { return sql_; }
  // The text sent to the engine, with "?" in place of every parameter.
  const std::string& positionalSql() const { return posSql_; }

  void prepare();            // does nothing when prepared for the current connection
  void unprepare();
  bool prepared() const;

  // Parameters, in order of first occurrence.
  size_t paramCount() const { return params_.size(); }
  Param& param(size_t i);
  Param& param(std::string_view name);        // raises EDatabaseError when absent
  Param* findParam(std::string_view name);
  Param& paramByName(std::string_view name) { return param(name); }
  void clearParams();                          // every parameter NULL

  // A select: executes and stands on the first row (eof() when there is none).
  // Any other statement is executed like execSQL().
  void open();
  // Executes a statement; an EXECUTE PROCEDURE or singleton result row is readable
  // through the fields afterwards.
  void execSQL();
  void next();
  bool eof() const { return eof_; }
  bool active() const { return active_; }   // a result row set is open (or a stored result)
  void close();
  int64_t rowsAffected() const { return rowsAffected_; }

  // Fields of the current row.
  size_t fieldCount() const { return outInfo_.size(); }
  const std::vector<FieldInfo>& fieldInfos() const { return outInfo_; }
  Field field(size_t i) const;
  Field field(std::string_view name) const;    // raises EDatabaseError when absent
  Field fieldByName(std::string_view name) const { return field(name); }
  int findField(std::string_view name) const;  // -1 when absent

  // The transaction the statement runs in (resolved at execution).
  Transaction* transaction() const { return active_ ? runTran_ : nullptr; }
  Attachment* database() const;

  // Splits the SQL text into the positional text and the parameter name of each position.
  static void parseParams(std::string_view sql, std::string& positional,
                          std::vector<std::string>& names);

private:
  friend class Field;
  friend class Attachment;
  friend class Transaction;
  friend class StoredProc;
  void unbind();
  Transaction* resolveTransaction();
  void finishAutocommit(bool ok);
  void executeStatement(bool wantCursor);
  void buildInput();
  void describeOutput();
  void fetch();
  void dbGone();
  void tranEnding();
  void tranGone();
  void releaseStatement();
  void releaseCursor();
  std::string readBlob(const unsigned char* quad) const;
  const unsigned char* valuePtr(unsigned i, bool& isNull) const;

  Transaction* tran_ = nullptr;      // native binding
  SqlConnection* conn_ = nullptr;    // driver-layer binding
  Attachment* registeredAt_ = nullptr;
  std::unique_ptr<Transaction> autoTran_;
  Transaction* runTran_ = nullptr;

  std::string sql_;
  std::string posSql_;
  std::vector<std::string> posNames_;   // name per position
  std::vector<Param> params_;
  std::vector<unsigned> posIndex_;      // param index per position

  Firebird::IStatement* stmt_ = nullptr;
  uint64_t preparedGen_ = 0;
  unsigned stmtType_ = 0;
  Firebird::IMessageMetadata* inMeta_ = nullptr;    // described
  struct InDesc {
    unsigned type, length, charSet;
    int subType, scale;
  };
  std::vector<InDesc> inDesc_;
  Firebird::IMessageMetadata* bindMeta_ = nullptr;  // built for the bound values
  std::vector<std::pair<unsigned, unsigned>> bindSig_;
  std::vector<unsigned char> inBuf_;
  std::vector<unsigned> bindOffset_, bindNullOffset_;
  Firebird::IMessageMetadata* outMeta_ = nullptr;
  std::vector<FieldInfo> outInfo_;
  std::vector<unsigned> outOffset_, outNullOffset_;
  std::vector<unsigned char> outBuf_;
  Firebird::IResultSet* rs_ = nullptr;
  bool active_ = false;
  bool eof_ = true;
  int64_t rowsAffected_ = -1;
};

// ----------------------------------------------------------------------------------------
// Stored procedures (EXECUTE PROCEDURE, inputs and outputs by name)

class StoredProc {
public:
  StoredProc() = default;
  explicit StoredProc(Transaction& tran) { q_.bind(tran); }
  explicit StoredProc(SqlConnection& conn) { q_.bind(conn); }
  void bind(Transaction& tran) { q_.bind(tran); }
  void bind(SqlConnection& conn) { q_.bind(conn); }

  void setStoredProcName(std::string_view name);
  const std::string& storedProcName() const { return name_; }

  // Reads the input parameter names from the database (done on first use otherwise).
  void prepare();
  Param& param(std::string_view name);
  Param& paramByName(std::string_view name) { return param(name); }
  void clearParams() { q_.clearParams(); }
  void execProc();
  Field field(std::string_view name) const { return q_.field(name); }
  Field fieldByName(std::string_view name) const { return q_.field(name); }
  void close() { q_.close(); }
  Query& query() { return q_; }

private:
  std::string name_;
  bool described_ = false;
  Query q_;
};

// ----------------------------------------------------------------------------------------
// Backup service

// The service manager name for a host: "host:service_mgr", or "service_mgr" for the
// embedded engine when the host is empty.
std::string ServiceManagerName(std::string_view host);

class BackupService {
public:
  BackupService() = default;
  ~BackupService();
  BackupService(const BackupService&) = delete;
  BackupService& operator=(const BackupService&) = delete;

  void attach(std::string_view host, std::string_view user, std::string_view password);
  // Starts a backup of dbName (as the server sees it) into file (as the server sees it).
  void startBackup(std::string_view dbName, std::string_view file, bool verbose);
  // The next output line; false when the service reports the end of its output.
  // Errors of the backup arrive here as EFbError.
  bool nextLine(std::string& line);
  void detach();
  bool active() const { return svc_ != nullptr; }

private:
  Firebird::IService* svc_ = nullptr;
  bool embedded_ = false;
  std::string user_, password_;
  // The embedded engine unloads itself when its last user goes; a service thread that
  // is still finishing then crashes the process. An attachment to the database held
  // for the service's lifetime makes the engine wait for that thread.
  std::unique_ptr<Attachment> guard_;
};

// ----------------------------------------------------------------------------------------
// Scripts

// Splits an SQL script into statements. Understands "--" and "/* */" comments, quoted
// literals and identifiers, and "SET TERM x ;" (which is consumed). Statements are
// returned without their terminator, trimmed; empty ones dropped.
std::vector<std::string> SplitSqlScript(std::string_view script);

// Runs the statements of a script on a connected attachment, each in its own transaction,
// committed. "SET SQL DIALECT", "SET NAMES", "SET AUTODDL", "CREATE DATABASE" and
// "COMMIT" statements are skipped (the caller created the database; every statement is
// committed anyway). Raises EFbError naming the statement number on failure.
void ExecuteScript(Attachment& db, std::string_view script);

// Creates the database file `name` (CP1251 path or "host:path") and runs the script on it.
// The attachment is left connected to the new database.
void CreateDatabaseFromScript(Attachment& db, const std::string& name, std::string_view script,
                              const CreateOptions& opt = CreateOptions());

// The clinic schema (db/clinic.sql), compiled into the program.
const std::string& ClinicSchemaScript();
// Creates a new, empty clinic database at `name` from that schema; `db` stays connected.
void CreateClinicDatabase(Attachment& db, const std::string& name, const CreateOptions& opt = CreateOptions());

// Helpers for dates in the engine's native forms.
int32_t ToIscDate(platform::TDateTime d);          // days since 17.11.1858
platform::TDateTime FromIscDate(int32_t d);
uint32_t ToIscTime(platform::TDateTime t);         // 1/10000 s since midnight
platform::TDateTime FromIscTime(uint32_t t);

}  // namespace fbdb
