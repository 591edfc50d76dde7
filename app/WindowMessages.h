#pragma once
// Messages from other programs to the main window. Another program (the updater) is
// given the window's identifier, the path of a local socket that only this user can
// open; it connects and writes one line per message: the message number and its first
// parameter, in decimal, separated by a comma ("1125,6"); a third number, the second
// parameter, may follow. Malformed or overlong lines are ignored.
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLocalSocket;

class TWindowMessages : public QObject {
  Q_OBJECT

public:
  explicit TWindowMessages(QObject* parent = nullptr);
  ~TWindowMessages() override;

  // Starts listening; false when the socket cannot be made. Idempotent.
  bool Listen();
  // The identifier to give to another program; empty before Listen() succeeds.
  QString Identifier() const;

  // Parses one line; false when it is no message.
  static bool ParseLine(const QByteArray& line, int& msg, qint64& wParam, qint64& lParam);

  static constexpr int kMaxLine = 64;

signals:
  void Message(int msg, qint64 wParam, qint64 lParam);

private:
  void accept();
  void read(QLocalSocket* s);

  QLocalServer* server_ = nullptr;
};
