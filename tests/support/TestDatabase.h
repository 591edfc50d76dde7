#pragma once
// A fresh clinic database for tests, made in-process from the clinic schema with the
// embedded engine (no server, no password check), forced writes off.
//
// The embedded engine lets only one process hold a database file, so every TestDatabase
// lives in its own temporary folder, unique to the process and the object. The folder
// (and everything a test puts into dir()) is removed when the object is destroyed;
// close every connection to the database before that.
//
//   testsupport::TestDatabase db;                // clinic schema
//   fbdb::Attachment a; db.connect(a);           // a native attachment to it
//   db.exec("insert into NPUNKT values (1, 'x')");
//   EXPECT_EQ(db.count("NPUNKT"), 1);
//
// Made through a private server (FirebirdServer.h) instead, it is the same database file
// in the same kind of folder, created and reached by the attach name "localhost/<port>:<path>"
// with the server's SYSDBA password; connect(), attach(), fillParams() and the others use
// that name and password.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "db/fbdb.h"

namespace testsupport {

class FirebirdServer;

class TestDatabase {
public:
  // The clinic schema.
  TestDatabase();
  // Any schema script (statements as SplitSqlScript understands them).
  explicit TestDatabase(std::string_view script);
  // The clinic schema / any schema, created through the server (which must be running).
  explicit TestDatabase(const FirebirdServer& server);
  TestDatabase(const FirebirdServer& server, std::string_view script);
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  // The database file; also its connection name for the embedded engine.
  const std::string& path() const { return path_; }
  // The connection name: path() for the embedded engine, host:path through a server.
  const std::string& name() const { return name_; }
  // SYSDBA's password ("" for the embedded engine).
  const std::string& password() const { return password_; }
  // The test's temporary folder, with a trailing '/'.
  const std::string& dir() const { return dir_; }

  // Sets the attachment's name to this database and connects it (SYSDBA, WIN1251).
  void connect(fbdb::Attachment& a) const;
  std::unique_ptr<fbdb::Attachment> attach() const;
  // Parameters for a driver-layer connection to this database (DataBase, User_Name, ...).
  void fillParams(platform::TParams& p) const;

  // Runs statements on a short-lived attachment of their own, committed.
  void exec(std::string_view sql) const;
  // The first column of the first row as text ("" when there is no row or it is NULL).
  std::string scalar(std::string_view sql) const;
  int64_t count(std::string_view table) const;

private:
  void create(std::string_view script);
  std::string dir_;
  std::string path_;
  std::string name_;
  std::string host_;  // "" for the embedded engine
  std::string password_;
};

// A new unique temporary folder (trailing '/'); the caller removes it.
std::string MakeTempDir(std::string_view prefix = "kesta");
// Removes a folder and its contents; errors ignored.
void RemoveDir(const std::string& dir);
// Writes a file of raw bytes (CP1251 texts are written unchanged).
void WriteFile(const std::string& path, std::string_view bytes);

}  // namespace testsupport
