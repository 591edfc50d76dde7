#pragma once
// SIGTERM and SIGINT (a desktop logout, `kill`, Ctrl-C) end the program the way the
// window's close does: the signals are taken by the event loop, not by a handler.
//
// The embedded Firebird engine installs handlers of its own for both signals at its first
// attach, and those do not end the program. So the program blocks both signals first
// thing in main, before any thread exists (every thread started later, the engine's and
// Qt's included, inherits the mask), and reads them from a signalfd that the Qt event loop
// watches: no handler of anyone runs, whatever the engine installs and whenever.
// Programs started from here get an empty signal mask (Qt's QProcess and
// platform::StartProgram reset it in the child).
#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <memory>

namespace shell {

class TSignalClose {
public:
  // Blocks SIGTERM and SIGINT in the calling thread and opens a signalfd for them; -1 (and
  // the signals left as they were) when that fails. Call before any other thread starts.
  static int BlockTerminationSignals();

  // Watches the descriptor in the calling thread's event loop (QApplication exists);
  // onSignal(signal number) runs there for every signal taken. Closes the descriptor.
  TSignalClose(int fd, std::function<void(int)> onSignal);
  ~TSignalClose();
  TSignalClose(const TSignalClose&) = delete;
  TSignalClose& operator=(const TSignalClose&) = delete;

private:
  void readSignals();
  int fd_;
  std::function<void(int)> onSignal_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace shell
