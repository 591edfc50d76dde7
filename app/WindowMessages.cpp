#include "app/WindowMessages.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

#include <atomic>
#include <charconv>

namespace {
std::atomic<int> gSerial{0};
}

TWindowMessages::TWindowMessages(QObject* parent) : QObject(parent) {}

TWindowMessages::~TWindowMessages() {
  if (server_) server_->close();
}

bool TWindowMessages::Listen() {
  if (server_ && server_->isListening()) return true;
  if (!server_) {
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    server_->setMaxPendingConnections(8);
    connect(server_, &QLocalServer::newConnection, this, &TWindowMessages::accept);
  }
  QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) folder = QDir::tempPath();
  const QString path = QDir(folder).filePath(QStringLiteral("kesta-scheduler-%1-%2.sock")
                                                 .arg(QCoreApplication::applicationPid())
                                                 .arg(gSerial.fetch_add(1)));
  QLocalServer::removeServer(path);
  return server_->listen(path);
}

QString TWindowMessages::Identifier() const {
  return server_ && server_->isListening() ? server_->fullServerName() : QString();
}

bool TWindowMessages::ParseLine(const QByteArray& raw, int& msg, qint64& wParam, qint64& lParam) {
  QByteArray line = raw;
  while (!line.isEmpty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) line.chop(1);
  const QList<QByteArray> parts = line.split(',');
  if (parts.size() < 2 || parts.size() > 3) return false;
  auto number = [](const QByteArray& p, qint64& out) {
    const QByteArray t = p.trimmed();
    if (t.isEmpty()) return false;
    long long v = 0;
    const char* b = t.constData();
    const char* e = b + t.size();
    auto [ptr, ec] = std::from_chars(b, e, v);
    if (ec != std::errc() || ptr != e) return false;
    out = v;
    return true;
  };
  qint64 m = 0, w = 0, l = 0;
  if (!number(parts[0], m) || m < 0 || m > 0xFFFF) return false;
  if (!number(parts[1], w)) return false;
  if (parts.size() == 3 && !number(parts[2], l)) return false;
  msg = static_cast<int>(m);
  wParam = w;
  lParam = l;
  return true;
}

void TWindowMessages::accept() {
  while (QLocalSocket* s = server_->nextPendingConnection()) {
    connect(s, &QLocalSocket::readyRead, this, [this, s] { read(s); });
    connect(s, &QLocalSocket::disconnected, this, [this, s] {
      read(s);
      s->deleteLater();
    });
    read(s);
  }
}

void TWindowMessages::read(QLocalSocket* s) {
  while (s->canReadLine()) {
    const QByteArray line = s->readLine(kMaxLine + 2);
    if (!line.endsWith('\n')) {  // longer than any message: the peer is not one of ours
      s->abort();
      return;
    }
    int msg = 0;
    qint64 w = 0, l = 0;
    if (ParseLine(line, msg, w, l)) emit Message(msg, w, l);
  }
  if (s->bytesAvailable() > kMaxLine) s->abort();
}
