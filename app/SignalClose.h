#pragma once
// SIGTERM, SIGINT and SIGHUP (a desktop logout, `kill`, Ctrl-C, the end of the terminal
// session it was started from) end the program the way the window's close does: the
// signals are taken by the event loop, not by a handler.
//
// The embedded Firebird engine installs handlers of its own for SIGTERM and SIGINT at its
// first attach, and those do not end the program. So the program blocks the signals first
// thing in main, before any thread exists (every thread started later, the engine's and
// Qt's included, inherits the mask), and reads them from a signalfd that the Qt event loop
// watches: no handler of anyone runs, whatever the engine installs and whenever.
// Programs started from here get an empty signal mask: every one is started through
// platform::StartProgram, which resets it in the child (Qt's detached start keeps it).
//
// A termination request does not wait for an answer of the operator: from the first
// signal on, every dialog open (message boxes, file and folder choosers) is cancelled as
// soon as it shows, and the window is asked to close until it has closed (its close waits
// for a run or an activation going on); then the event loop ends. The window is told of
// the request first, so that a timed run going on starts no further task.
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace shell {

class TSignalClose {
public:
  // Blocks SIGTERM, SIGINT and SIGHUP in the calling thread and opens a signalfd for them;
  // -1 (and the signals left as they were) when that fails. Call before any other thread
  // starts.
  static int BlockTerminationSignals();

  // Watches the descriptor in the calling thread's event loop (QApplication exists) and
  // closes `window` on a signal, as above; `requested` runs once, at the first signal,
  // before the first close. Closes the descriptor.
  TSignalClose(int fd, QWidget& window, std::function<void()> requested = {});
  ~TSignalClose();
  TSignalClose(const TSignalClose&) = delete;
  TSignalClose& operator=(const TSignalClose&) = delete;

  // The last signal taken (0 before any).
  int signalTaken() const { return signal_; }

private:
  void readSignals();
  void closeStep();
  int fd_;
  QWidget& window_;
  std::function<void()> requested_;
  int signal_ = 0;
  std::unique_ptr<QSocketNotifier> notifier_;
  QTimer closing_;
};

}  // namespace shell
