#pragma once
// The main window on a real embedded clinic database: the data module, the bridge and
// the window with fake dialogs, a fake clock and a fake extractor, activated once in a
// folder of its own that holds "Morqa.ini".
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/DataBridge.h"
#include "shell_fakes.h"
#include "support/TestDatabase.h"
#include "tasks/Scheduler_DM.h"

namespace testshell {

class EmbeddedShell : public ::testing::Test {
protected:
  testsupport::TestDatabase db;
  std::string dir = db.dir();
  std::string oldCwd;
  std::unique_ptr<TdmScheduler> dm;
  std::unique_ptr<shell::TDataBridge> bridge;
  FakePrompt prompt;
  FakeClock clock;
  FakeExtractor extractor;
  std::unique_ptr<TfmMain> w;

  void SetUp() override {
    testsupport::WriteFile(dir + "Morqa.ini", "[STAT_MAIN]\r\nDatabase=" + db.path() + "\r\n[DB_PCName]\r\nDB_PCName=\r\n");
    oldCwd = std::filesystem::current_path().string();
    std::filesystem::current_path(dir);
    dm = std::make_unique<TdmScheduler>(dir);
    bridge = std::make_unique<shell::TDataBridge>(*dm);
    w = std::make_unique<TfmMain>(*bridge, extractor, prompt, clock, dir);
    bridge->SetXmlImportWindow(w.get());
    dm->SetUi(w.get());
    w->FormActivate();
    ASSERT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
  }
  void TearDown() override {
    if (w) w->close();
    if (dm) dm->SetUi(nullptr);
    w.reset();
    bridge.reset();
    dm.reset();
    std::filesystem::current_path(oldCwd);
  }
  static QString Q(const std::string& s) { return QString::fromStdString(s); }
};

}  // namespace testshell
