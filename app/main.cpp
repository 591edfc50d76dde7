// Program entry: one instance per user; the main window and the data module, then the
// message loop.
#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "app/DataBridge.h"
#include "app/Scheduler_FM.h"
#include "app/ShellPrompt.h"
#include "app/SignalClose.h"
#include "platform/exception.h"
#include "platform/oslayer.h"
#include "tasks/Scheduler_DM.h"

int main(int argc, char** argv) {
  // SIGTERM and SIGINT are blocked before any thread starts and taken by the event loop
  // below (see SignalClose.h).
  const int signalFd = shell::TSignalClose::BlockTerminationSignals();
  // The guard is taken before anything is shown; the kernel drops it when the process
  // ends, however it ends. (The name can be changed for tests.)
  const char* name = std::getenv("KESTA_INSTANCE_NAME");
  platform::SingleInstance guard(name && *name ? name : "KESTAScheduler");
  if (!guard.acquired()) return 1;

  QApplication app(argc, argv);
  try {
    const std::string exePath = platform::ExeDir();
    TdmScheduler dm(exePath);
    dmScheduler = &dm;
    shell::TDataBridge data(dm);
    shell::TZipExtractor extractor;
    shell::QtPrompt prompt;
    shell::SystemClock clock;
    int rc = 0;
    {
      TfmMain fmMain(data, extractor, prompt, clock, exePath);
      prompt.setOwner(&fmMain);
      data.SetXmlImportWindow(&fmMain);
      dm.SetUi(&fmMain);
      fmMain.show();
      // A termination signal closes the window as the operator would: the protocol and
      // the settings are written and both connections closed (after the task going on,
      // when a timed run is going on: it starts no further task); the program then ends
      // as after any close.
      shell::TSignalClose signalClose(signalFd, fmMain, [&fmMain] { fmMain.TerminationRequested(); });
      rc = app.exec();
      dm.SetUi(nullptr);
    }
    dmScheduler = nullptr;
    return rc;
  } catch (const std::exception& e) {
    // Only start-up and shut-down can get here: every handler of the window catches.
    std::fprintf(stderr, "%s\n", platform::describe(e).c_str());
    return 2;
  }
}
