#include "support/TestDatabase.h"

#include "support/FirebirdServer.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace testsupport {

std::string MakeTempDir(std::string_view prefix) {
  std::string tmpl = std::filesystem::temp_directory_path().string() + "/" + std::string(prefix) + "-" +
                     std::to_string(::getpid()) + "-XXXXXX";
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot create a temporary folder " + tmpl);
  return tmpl + "/";
}

void RemoveDir(const std::string& dir) {
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot write " + path);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TestDatabase::TestDatabase() { create(fbdb::ClinicSchemaScript()); }

TestDatabase::TestDatabase(std::string_view script) { create(script); }

TestDatabase::TestDatabase(const FirebirdServer& server) : TestDatabase(server, fbdb::ClinicSchemaScript()) {}

TestDatabase::TestDatabase(const FirebirdServer& server, std::string_view script) {
  if (!server.running()) throw std::runtime_error("the Firebird server is not running: " + server.error());
  host_ = server.host();
  password_ = server.password();
  create(script);
}

void TestDatabase::create(std::string_view script) {
  dir_ = MakeTempDir("kesta-db");
  path_ = dir_ + "clinic.fdb";
  name_ = host_.empty() ? path_ : host_ + ":" + path_;
  fbdb::CreateOptions opt;
  opt.forcedWrites = false;
  opt.password = password_;
  fbdb::Attachment a;
  try {
    fbdb::CreateDatabaseFromScript(a, name_, script, opt);
    a.disconnect();
  } catch (...) {
    try {
      a.disconnect();
    } catch (...) {
    }
    RemoveDir(dir_);
    throw;
  }
}

TestDatabase::~TestDatabase() { RemoveDir(dir_); }

void TestDatabase::connect(fbdb::Attachment& a) const {
  a.disconnect();
  a.databaseName = name_;
  a.params.setValue("USER_NAME", "SYSDBA");
  if (!password_.empty()) a.params.setValue("PASSWORD", password_);
  a.params.setValue("lc_ctype", "WIN1251");
  a.connect();
}

std::unique_ptr<fbdb::Attachment> TestDatabase::attach() const {
  auto a = std::make_unique<fbdb::Attachment>();
  connect(*a);
  return a;
}

void TestDatabase::fillParams(platform::TParams& p) const {
  p.setValue("DataBase", name_);
  p.setValue("User_Name", "SYSDBA");
  if (!password_.empty()) p.setValue("Password", password_);
  p.setValue("ServerCharSet", "win1251");
  p.setValue("SQLDialect", "3");
}

void TestDatabase::exec(std::string_view sql) const {
  auto a = attach();
  a->executeImmediate(sql);
  a->disconnect();
}

std::string TestDatabase::scalar(std::string_view sql) const {
  auto a = attach();
  std::string out;
  {
    fbdb::Transaction t(*a);
    t.isolation = fbdb::Isolation::ReadCommitted;
    fbdb::Query q(t);
    q.setSql(sql);
    q.open();
    if (!q.eof() && q.fieldCount() > 0) out = q.field(size_t{0}).asString();
    q.close();
    t.commit();
  }
  a->disconnect();
  return out;
}

int64_t TestDatabase::count(std::string_view table) const {
  return std::stoll(scalar("select count(*) from " + std::string(table)));
}

}  // namespace testsupport

// The Firebird client and its embedded engine keep process-wide caches (iconv
// descriptors, ICU collation data) that they never free; LeakSanitizer would report
// them at exit in the sanitizer build. They are not leaks of this program.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfbclient.so\n"
         "leak:libEngine12.so\n"
         "leak:libicuuc.so\n"
         "leak:libicui18n.so\n";
}

// The sanitizer runtime's tracking of dynamic thread-local blocks (through __tls_get_addr)
// misreads the blocks of the engine's plugins on this system: depending on the memory
// layout, LeakSanitizer's exit scan then stops with "Tracer caught signal 11". The blocks
// are still scanned through the threads' own TLS areas.
extern "C" const char* __asan_default_options();
extern "C" const char* __asan_default_options() { return "intercept_tls_get_addr=0"; }
