#pragma once
// Fakes for the main window's seams, a temporary folder and the Qt application of the
// app tests (offscreen platform, no dialog ever blocks).
#include <QApplication>
#include <QDateTime>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/Scheduler_FM.h"
#include "app/ShellSeams.h"
#include "app/ShellText.h"

namespace testshell {

// UTF-8 literal -> CP1251.
std::string C(const char* utf8);

struct TempDir {
  TempDir();
  ~TempDir();
  std::string path;  // with trailing '/'
  void write(const std::string& name, const std::string& bytes) const;
  std::string read(const std::string& name) const;
  bool exists(const std::string& name) const;
};

struct FakeClock : shell::IClock {
  QDateTime t{QDate(2026, 12, 9), QTime(10, 0, 0)};
  int reads = 0;
  QDateTime now() override {
    ++reads;
    return t;
  }
  void set(int h, int m, int s) { t = QDateTime(t.date(), QTime(h, m, s)); }
};

struct FakePrompt : shell::IPrompt {
  struct Msg {
    bool box;  // message box (else message window)
    std::string text, caption;
  };
  std::vector<Msg> msgs;
  std::function<void()> onMessage;  // runs while a message is "open", after it is recorded
  std::deque<std::string> files;  // answers of file dialogs; empty = cancel
  std::vector<shell::FileDialogRequest> requests;
  std::string folder;
  bool folderOk = false;
  void showMessage(const std::string& text) override {
    msgs.push_back({false, text, ""});
    if (onMessage) onMessage();
  }
  void messageBox(const std::string& text, const std::string& caption) override {
    msgs.push_back({true, text, caption});
    if (onMessage) onMessage();
  }
  bool next(const shell::FileDialogRequest& r, std::string& chosen) {
    requests.push_back(r);
    if (files.empty()) return false;
    chosen = files.front();
    files.pop_front();
    return true;
  }
  bool openFile(const shell::FileDialogRequest& r, std::string& chosen) override { return next(r, chosen); }
  bool saveFile(const shell::FileDialogRequest& r, std::string& chosen) override { return next(r, chosen); }
  bool browseFolder(const std::string&, std::string& path) override {
    if (folderOk) path = folder;
    return folderOk;
  }
};

// Records every call as a line, e.g. "OpenSQLConnection 0"; results are settable.
struct FakeData : shell::IShellData {
  std::vector<std::string> calls;
  bool sqlOk = true, ibOk = true;
  std::string sqlErr, ibErr;
  bool ibConnected = false, sqlConnected = false;
  std::map<std::string, bool> results;      // body name -> result (default true)
  std::map<std::string, std::string> texts;  // body name -> error/result text
  std::function<void(const std::string&)> onCall;  // runs inside each body call
  std::string ibName;
  bool connectThrows = false;
  int disconnects = 0;

  void call(const std::string& c) {
    calls.push_back(c);
    if (onCall) onCall(c);
  }
  bool result(const std::string& n) { return results.count(n) ? results[n] : true; }

  bool OpenSQLConnection(std::string& err, bool centre) override {
    call(std::string("OpenSQLConnection ") + (centre ? "1" : "0"));
    err.clear();
    if (!sqlOk) err = sqlErr;
    sqlConnected = sqlOk || sqlConnected;
    return sqlOk;
  }
  bool OpenIBDatabase(std::string& err) override {
    call("OpenIBDatabase");
    if (!ibOk) {
      err = ibErr;
      return false;
    }
    ibConnected = true;
    return true;
  }
  void BackupDatabase(const std::string& p, const std::string& f, std::string& err) override {
    call("BackupDatabase " + p + f);
    err = texts["BackupDatabase"];
  }
  bool RefreshFromFOMS(const std::string& f, bool a) override {
    call("RefreshFromFOMS " + f + (a ? " 1" : " 0"));
    return result("RefreshFromFOMS");
  }
  bool RefreshPrivileged(const std::string& f) override {
    call("RefreshPrivileged " + f);
    return result("RefreshPrivileged");
  }
  bool LoadDrugs(const std::string& f) override {
    call("LoadDrugs " + f);
    return result("LoadDrugs");
  }
  void DealingFilialDB(bool s, const std::vector<std::string>& files, bool k, std::string& r) override {
    call(std::string("DealingFilialDB ") + (s ? "1 " : "0 ") + std::to_string(files.size()) + (k ? " 1" : " 0"));
    r = texts["DealingFilialDB"];
  }
  bool SearchDuplicates(bool a, bool b, bool c) override {
    call(std::string("SearchDuplicates ") + (a ? "1" : "0") + (b ? "1" : "0") + (c ? "1" : "0"));
    return result("SearchDuplicates");
  }
  bool FixDiseaseCases(const std::string& a, const std::string& b, const std::string& c,
                       const std::string& d) override {
    call("FixDiseaseCases [" + a + "][" + b + "][" + c + "][" + d + "]");
    return result("FixDiseaseCases");
  }
  void ImportSMPCalls(const std::string& folder, std::string& err) override {
    call("ImportSMPCalls " + folder);
    err = texts["ImportSMPCalls"];
  }
  void ImportXmlRegister(const std::string& f, int run) override {
    call("ImportXmlRegister " + f + " " + std::to_string(run));
  }
  void SetIBDatabaseName(const std::string& n) override {
    call("SetIBDatabaseName " + n);
    ibName = n;
  }
  void ConnectIB() override {
    call("ConnectIB");
    if (connectThrows) throw platform::EOSError("refused");
    ibConnected = true;
  }
  bool IBConnected() override { return ibConnected; }
  void DisconnectIB() override {
    call("DisconnectIB");
    ++disconnects;
    ibConnected = false;
  }
  bool SQLConnected() override { return sqlConnected; }
  void DisconnectSQL() override {
    call("DisconnectSQL");
    ++disconnects;
    sqlConnected = false;
  }
  void UseDatabase(const std::string& h, const std::string& p) override { call("UseDatabase " + h + " " + p); }
  // The update archive: by default nothing is unpacked.
  std::function<int(const std::string& archive, const std::string& dir)> onExtractUpdate;
  std::vector<std::string> updateMasks;
  int ExtractUpdate(const std::string& a, const std::string& d, const std::vector<std::string>& masks) override {
    call("ExtractUpdate " + a + "|" + d);
    updateMasks = masks;
    return onExtractUpdate ? onExtractUpdate(a, d) : 0;
  }
  // Calls whose name starts with prefix.
  int count(const std::string& prefix) const;
};

struct FakeExtractor : shell::IExtractor {
  int files = 4;
  std::vector<std::string> calls;
  std::function<void(const std::string& dir)> onExtract;
  int Extract(const std::string& a, const std::string& d, const std::string& m) override {
    calls.push_back(a + "|" + d + "|" + m);
    if (onExtract) onExtract(d);
    return files;
  }
};

// One main window on fakes in a fresh program folder (also the current folder).
struct Shell {
  explicit Shell(bool withIni = true, const std::string& ini = std::string(), const std::string& zelvorn = "");
  ~Shell();
  TempDir dir;
  FakeData data;
  FakePrompt prompt;
  FakeClock clock;
  FakeExtractor extractor;
  std::unique_ptr<TfmMain> w;
  std::string oldCwd;
  void create();
  void tick(int h, int m, int s);
  void tickAll(bool on);  // tick or untick every task
  void only(std::initializer_list<int> tasks);
  std::vector<std::string> texts() const;  // the recorded message texts
};

}  // namespace testshell
