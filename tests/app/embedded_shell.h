#pragma once
// The main window on a real clinic database: the data module, the bridge and the window
// with fake dialogs and a fake clock, activated once in a folder of its own that holds
// "Morqa.ini". `ShellWindow` opens it over any folder, settings text and extractor;
// `EmbeddedShellWith` over a fresh embedded database of its own.
#include <gtest/gtest.h>

#include <QTime>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>

#include "app/DataBridge.h"
#include "shell_fakes.h"
#include "support/TestDatabase.h"
#include "tasks/Scheduler_DM.h"

namespace testshell {

// "Morqa.ini" naming the database and the host ("" for an embedded database).
inline std::string DatabaseIni(const std::string& path, const std::string& host = "") {
  return "[STAT_MAIN]\r\nDatabase=" + path + "\r\n[DB_PCName]\r\nDB_PCName=" + host + "\r\n";
}

class ShellWindow : public ::testing::Test {
protected:
  std::unique_ptr<TdmScheduler> dm;
  std::unique_ptr<shell::TDataBridge> bridge;
  FakePrompt prompt;
  FakeClock clock;
  std::unique_ptr<TfmMain> w;

  // Writes `ini` as "Morqa.ini" in `folder`, makes the folder current and activates the
  // window there, wired as the program wires it. Messages of the activation are left in
  // `prompt` for the fixture to judge.
  void openWindow(const std::string& folder, const std::string& ini, shell::IExtractor& extractor) {
    testsupport::WriteFile(folder + "Morqa.ini", ini);
    oldCwd_ = std::filesystem::current_path().string();
    std::filesystem::current_path(folder);
    dm = std::make_unique<TdmScheduler>(folder);
    bridge = std::make_unique<shell::TDataBridge>(*dm);
    w = std::make_unique<TfmMain>(*bridge, extractor, prompt, clock, folder);
    bridge->SetXmlImportWindow(w.get());
    dm->SetUi(w.get());
    w->FormActivate();
  }
  void TearDown() override {
    if (w) w->close();
    if (dm) dm->SetUi(nullptr);
    w.reset();
    bridge.reset();
    dm.reset();
    if (!oldCwd_.empty()) std::filesystem::current_path(oldCwd_);
  }

  // Ticks only `tasks` in the task list and arms a timed run at 14:05, the clock at 14:04:00.
  void armTimed(std::initializer_list<int> tasks) {
    for (int i = 0; i < shell::kTaskCount; ++i) {
      const bool on = std::find(tasks.begin(), tasks.end(), i) != tasks.end();
      w->lvTasks->topLevelItem(i)->setCheckState(0, on ? Qt::Checked : Qt::Unchecked);
    }
    w->DTime->setTime(QTime(14, 5));
    clock.set(14, 4, 0);
    w->acTimerTurnONExecute();
    ASSERT_TRUE(w->timerOn()) << texts();
  }
  // Arms a timed run of `tasks` and lets it start: the clock at 14:05:00, one timer tick.
  void runTimed(std::initializer_list<int> tasks) {
    ASSERT_NO_FATAL_FAILURE(armTimed(tasks));
    clock.set(14, 5, 0);
    w->tmTasksTimer();
  }
  void runTimed(int task) { runTimed({task}); }

  // Every message shown so far, each in brackets.
  std::string texts() const {
    std::string all;
    for (const auto& m : prompt.msgs) all += "[" + m.text + "]";
    return all;
  }
  static QString Q(const std::string& s) { return QString::fromStdString(s); }

private:
  std::string oldCwd_;
};

// The window over a fresh embedded database in the database's own folder; the activation
// shows nothing. A fixture that prepares files or rows the activation must see does so in
// its SetUp before calling this one.
template <class Extractor>
class EmbeddedShellWith : public ShellWindow {
protected:
  testsupport::TestDatabase db;
  std::string dir = db.dir();
  Extractor extractor;

  void SetUp() override {
    openWindow(dir, DatabaseIni(db.path()), extractor);
    ASSERT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
  }
};

using EmbeddedShell = EmbeddedShellWith<FakeExtractor>;

}  // namespace testshell
