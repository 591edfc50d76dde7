// Program entry: one instance per user; the main window and the data module, then the
// message loop.
#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QWidget>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include <unistd.h>

#include "app/DataBridge.h"
#include "app/Scheduler_FM.h"
#include "app/ShellPrompt.h"
#include "app/ShellText.h"
#include "app/SignalClose.h"
#include "app/StorePassword.h"
#include "platform/codepage.h"
#include "platform/exception.h"
#include "platform/oslayer.h"
#include "tasks/Scheduler_DM.h"

namespace {

// The program's folder as the file system names it (its bytes), with a trailing '/'.
std::string ProgramFolderBytes() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  const std::string p(buf, static_cast<size_t>(n));
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
}

// Paths are CP1251 inside the program. A program folder whose name that code page cannot
// hold ("中", or a Latin "é") would be looked for under another name: its settings file
// reported missing and nothing written back at the close. Such a start is refused with a
// message naming the folder, on the standard error; the text, or "" for a usable folder.
QString UnusableProgramFolder() {
  const std::string folder = ProgramFolderBytes();
  if (folder.empty() || platform::ToFsPath(platform::FromFsPath(folder)) == folder) return QString();
  const QString name = QFile::decodeName(QByteArray::fromStdString(folder));
  const QString text =
      QString::fromUtf8("Путь к папке программы\n%1\nсодержит символы, которых нет в кодовой странице "
                        "Windows-1251.\n\nПрограмма не может работать в этой папке: перенесите её в папку, "
                        "путь к которой записан кириллицей или латиницей без диакритических знаков.")
          .arg(name);
  std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
  return text;
}

// The same refusal in a message box as well; false then.
bool ProgramFolderUsable(int signalFd) {
  const QString text = UnusableProgramFolder();
  if (text.isEmpty()) return true;
  // The message does not hold a termination request either (see SignalClose.h).
  QWidget noWindow;
  shell::TSignalClose signalClose(signalFd, noWindow);
  QMessageBox::critical(nullptr, shell::Q(shell::ProgramTitle()), text);
  return false;
}

// The program's window needs a display: an X or Wayland session, or Qt's offscreen platform
// for a run without a screen. Without one, Qt would end the program with its own abort
// (exit code 134) and a text about reinstalling; instead the program says what is missing
// and ends with exit code 2, before anything is read or written.
const char* const kNoDisplay =
    "Нет дисплея: окну программы нужен графический сеанс (переменная окружения DISPLAY или "
    "WAYLAND_DISPLAY); для работы без экрана задайте QT_QPA_PLATFORM=offscreen.";

void NoDisplay() {
  std::fprintf(stderr, "%s\n", QString::fromUtf8(kNoDisplay).toLocal8Bit().constData());
  std::_Exit(2);
}

// Whether a display or a platform is named at all (the environment, or Qt's own
// "-platform" argument).
bool DisplayNamed(int argc, char** argv) {
  for (const char* v : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(v);
    if (value && *value) return true;
  }
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-platform") == 0 || std::strncmp(argv[i], "-platform=", 10) == 0) return true;
  }
  return false;
}

// While the application is made: a fatal message of Qt there is a display (or platform)
// that cannot be opened; Qt's own text goes first, then the program's.
QtMessageHandler gQtMessages = nullptr;
void StartupMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type == QtFatalMsg) {
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    NoDisplay();
  }
  if (gQtMessages) {
    gQtMessages(type, context, text);
  } else {
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
  }
}

}  // namespace

int main(int argc, char** argv) {
  // "--store-password": the database password into the settings file, and nothing else (no
  // window, no display needed; see StorePassword.h).
  if (argc == 2 && std::strcmp(argv[1], shell::kStorePasswordOption) == 0) {
    if (!UnusableProgramFolder().isEmpty()) return 2;
    return shell::StorePasswordCommand(platform::ExeDir() + shell::kMainIni, STDIN_FILENO, stdout, stderr);
  }
  // SIGTERM, SIGINT and SIGHUP are blocked before any thread starts and taken by the event
  // loop below (see SignalClose.h).
  const int signalFd = shell::TSignalClose::BlockTerminationSignals();
  // The guard is taken before anything is shown; the kernel drops it when the process
  // ends, however it ends. (The name can be changed for tests.)
  const char* name = std::getenv("KESTA_INSTANCE_NAME");
  platform::SingleInstance guard(name && *name ? name : "KESTAScheduler");
  if (!guard.acquired()) return 1;

  if (!DisplayNamed(argc, argv)) NoDisplay();
  gQtMessages = qInstallMessageHandler(StartupMessages);
  QApplication app(argc, argv);
  qInstallMessageHandler(gQtMessages);
  if (!ProgramFolderUsable(signalFd)) return 2;
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
