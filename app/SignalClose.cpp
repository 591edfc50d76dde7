#include "app/SignalClose.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

namespace shell {

namespace {

sigset_t TerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
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

TSignalClose::TSignalClose(int fd, std::function<void(int)> onSignal) : fd_(fd), onSignal_(std::move(onSignal)) {
  if (fd_ < 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { readSignals(); });
}

TSignalClose::~TSignalClose() {
  notifier_.reset();
  if (fd_ >= 0) ::close(fd_);
}

void TSignalClose::readSignals() {
  for (;;) {
    signalfd_siginfo info;
    const ssize_t n = ::read(fd_, &info, sizeof(info));
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof(info))) return;  // drained (EAGAIN)
    if (onSignal_) onSignal_(static_cast<int>(info.ssi_signo));
  }
}

}  // namespace shell
