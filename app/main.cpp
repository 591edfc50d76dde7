// Program entry: one instance per user; the main window, then the message loop.
#include <QApplication>

#include <cstdlib>
#include <string>

#include "app/DataBridge.h"
#include "app/Scheduler_FM.h"
#include "app/ShellPrompt.h"
#include "platform/oslayer.h"

int main(int argc, char** argv) {
  // The guard is taken before anything is shown; the kernel drops it when the process ends.
  const char* name = std::getenv("KESTA_INSTANCE_NAME");
  platform::SingleInstance guard(name && *name ? name : "KESTAScheduler");
  if (!guard.acquired()) return 1;

  QApplication app(argc, argv);
  const std::string exePath = platform::ExeDir();
  shell::TDataBridge data(exePath);
  shell::TPendingExtractor extractor;
  shell::QtPrompt prompt;
  shell::SystemClock clock;
  TfmMain fmMain(data, extractor, prompt, clock, exePath);
  prompt.setOwner(&fmMain);
  fmMain.show();
  return app.exec();
}
