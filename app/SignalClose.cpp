#include "app/SignalClose.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>

#include <cerrno>
#include <utility>

namespace shell {

namespace {

sigset_t TerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  // The end of the terminal session or of the desktop session that started the program
  // asks it to end as well.
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

int TSignalClose::BlockTerminationSignals() {
  const sigset_t set = TerminationSignals();
  sigset_t old;
  if (::pthread_sigmask(SIG_BLOCK, &set, &old) != 0) return -1;
  const int fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return fd;
}

TSignalClose::TSignalClose(int fd, QWidget& window, std::function<void()> requested)
    : fd_(fd), window_(window), requested_(std::move(requested)) {
  closing_.setInterval(100);
  QObject::connect(&closing_, &QTimer::timeout, &closing_, [this] { closeStep(); });
  if (fd_ < 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { readSignals(); });
}

TSignalClose::~TSignalClose() {
  closing_.stop();
  notifier_.reset();
  if (fd_ >= 0) ::close(fd_);
}

void TSignalClose::readSignals() {
  bool taken = false;
  for (;;) {
    signalfd_siginfo info;
    const ssize_t n = ::read(fd_, &info, sizeof(info));
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof(info))) break;  // drained (EAGAIN)
    signal_ = static_cast<int>(info.ssi_signo);
    taken = true;
  }
  if (!taken) return;
  if (requested_) {
    const std::function<void()> once = std::move(requested_);
    requested_ = nullptr;
    once();
  }
  if (!closing_.isActive()) closing_.start();
  closeStep();
}

void TSignalClose::closeStep() {
  // A dialog waiting for the operator would hold the close (and the run or activation
  // that opened it) for ever: it is cancelled, as by its Escape key.
  for (QWidget* w : QApplication::topLevelWidgets()) {
    auto* d = qobject_cast<QDialog*>(w);
    if (d && d != &window_ && d->isVisible()) d->reject();
  }
  if (window_.isVisible()) window_.close();
  if (!window_.isVisible()) {
    closing_.stop();
    QCoreApplication::quit();
  }
}

}  // namespace shell
