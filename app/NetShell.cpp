// The main window's network work: the fund-file download, the program update with its
// hand-over to the updater, the network settings dialog and the tray icon.
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QPainter>
#include <QPixmap>
#include <QTimer>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "app/MyDLFile.h"
#include "app/Scheduler_FM.h"
#include "app/SetSetting.h"
#include "app/ShellText.h"
#include "app/WindowMessages.h"
#include "app/sdTray.h"
#include "platform/codepage.h"
#include "platform/oslayer.h"
#include "platform/strutil.h"

using namespace shell;

namespace shell {

std::vector<std::string> UpdateMasks() { return {kUpdater, "kesta-*"}; }

std::string UpdaterReportText(int64_t code) {
  switch (code) {
    case 1: return W(" Не найден файл с описанием БД");
    case 2: return W(" Ошибка при проверке соединения с БД статистики.");
    case 3: return W(" Ошибка при проверке соединения с БД отчетов.");
    case 5: return W(" Ошибка в работе обновлятора.");
    case 6: return W(" Работа обновлятора завершена успешно.");
    case 7: return W(" Не вбран файл UpdMetaData.dll");
    case 8: return W(" Обновлятор закрыт.");
    default: return std::string();
  }
}

}  // namespace shell

namespace {

void RemoveFile(const std::string& cp1251) {
  std::error_code ec;
  if (!cp1251.empty()) std::filesystem::remove(std::filesystem::path(platform::ToFsPath(cp1251)), ec);
}

// The protocol's words for a download stopped at the size bound (after the date and time).
std::string TooLargeText(int64_t limit) {
  const int64_t mib = 1024 * 1024;
  const std::string size = limit % mib == 0 ? std::to_string(limit / mib) + W(" МБ") : std::to_string(limit) + W(" байт");
  return W(" Файл больше ") + size + W(": загрузка прервана, файл удален.");
}

// A process that has ended (or was never there); a zombie counts as ended.
bool ProcessGone(qint64 pid) {
  if (pid <= 0) return true;
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(f, stat)) return true;
  const size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return true;
  const char state = stat[close + 2];
  return state == 'Z' || state == 'X' || state == 'x';
}

}  // namespace

std::string TfmMain::windowIdentifier() const { return FMessages ? S(FMessages->Identifier()) : std::string(); }

void TfmMain::WMDownloadProgress(int what, qint64 value) {
  // The window shows nothing of a download's progress.
  (void)what;
  (void)value;
}

void TfmMain::waitWhile(const std::function<bool()>& busy) {
  while (busy()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

TDownLoader* TfmMain::newLoader(const std::string& url, const std::string& file, const std::string& iniPath) {
  const ProxySettings proxy = ReadProxySettings(iniPath);
  auto* d = new TDownLoader(this);
  d->URL = url;
  d->FileName = file;
  d->UseProxy = proxy.UseProxy;
  d->UseAutorisation = proxy.UseAutorisation;
  d->ProxyServer = proxy.Server;
  d->ProxyPort = proxy.Port;
  d->ProxyUser = proxy.User;
  d->ProxyPass = proxy.Pass;
  d->StallTimeout = downloadStallTimeout;
  d->MaxSize = downloadSizeLimit;
  connect(d, &TDownLoader::DownloadProgress, this, &TfmMain::WMDownloadProgress);
  return d;
}

// ---------------------------------------------------------------------------------------------
// The fund file

void TfmMain::startTFOMSDownload(const std::string& url, const std::string& file, const std::string& iniPath) {
  if (FTfomsLoader) {
    // One fund-file download at a time: the running one reports for itself.
    FPrompt.messageBox(W("Загрузка файла прикрепленных уже выполняется."), W("Сообщение"));
    return;
  }
  FDownloadDone = false;
  setStatus(2, StatusRunning());
  const QDateTime now = FClock.now();
  FProtocol.push_back(ShortDate(now) + " " + LongTime(now) + W(" Начата загрузка файла прикрепленных."));
  // A bare file name goes into the program folder.
  const std::string target = ExtractFilePath(file).empty() ? FExePath + file : file;
  TDownLoader* d = nullptr;
  try {
    d = newLoader(url, target, iniPath);
  } catch (const std::exception& e) {
    reportException(e);
    FDownloadDone = true;
    setStatus(2, StatusNotDone());
    return;
  }
  FTfomsLoader = d;
  connect(d, &QThread::finished, this, [this, d] {
    d->wait();
    TFOMSDownloadDone(d);
    d->deleteLater();
  });
  d->start();
}

void TfmMain::TFOMSDownloadDone(TDownLoader* Sender) {
  try {
    const QDateTime now = FClock.now();
    if (Sender->Result != "error") {
      FProtocol.push_back(ShortDate(now) + " " + LongTime(now) +
                          W(" Загрузка файла прикрепленных закончена успешно."));
      setLabel(lbLoad, W("Закачка файла выполнена!"));
      setStatus(2, StatusDone());
    } else {
      FProtocol.push_back(ShortDate(now) + " " + LongTime(now) + W(" Произошла ошибка агрузки файла прикрепленных."));
      if (Sender->TooLarge) {
        const std::string why = TooLargeText(Sender->MaxSize);
        FProtocol.push_back(ShortDate(now) + " " + LongTime(now) + why);
        setLabel(lbLoad, W("Не удалось скачать файл!") + why);
      } else {
        setLabel(lbLoad, W("Не удалось скачать файл!"));
      }
      setStatus(2, StatusNotDone());
      // What the failed download left behind, under the name it was given.
      RemoveFile(Sender->FileName);
    }
  } catch (const std::exception& e) {
    reportException(e);
  }
  if (FTfomsLoader == Sender) FTfomsLoader = nullptr;
  FDownloadDone = true;
  ActionListUpdate();
}

// ---------------------------------------------------------------------------------------------
// The program update

void TfmMain::UpdateRenExecute() {
  if (FUpdateBusy) {
    if (!FRunning) FPrompt.messageBox(W("Обновление программы уже выполняется."), W("Сообщение"));
    return;
  }
  try {
    FDownloadDone = false;
    FUpdateDone = false;
    FUpdateBusy = true;
    setStatus(1, StatusRunning());
    const QDateTime now = FClock.now();
    FProtocol.push_back(ShortDate(now) + " " + LongTime(now) + W(" Начата загрузка обновления Renewal.exe."));
    TDownLoader* d = newLoader(platform::Trim(S(txtKestaAdress->text())), FExePath + kUpdateArchive, FExePath + kMainIni);
    FUpdateLoader = d;
    connect(d, &QThread::finished, this, [this, d] {
      d->wait();
      UpdateDownloadDone(d);
      d->deleteLater();
    });
    d->start();
  } catch (const std::exception& e) {
    reportException(e);
    setStatus(1, StatusDone());
    FDownloadDone = true;
    FUpdateBusy = false;
  }
  ActionListUpdate();
}

bool TfmMain::startUpdater(const std::string& path, qint64& pid) {
  if (!FMessages) {
    FMessages = new TWindowMessages(this);
    connect(FMessages, &TWindowMessages::Message, this, [this](int msg, qint64 w, qint64) {
      if (msg == WM_UPDATER_NOTIFY) WMUpdaterNotify(w);
    });
  }
  if (!FMessages->Listen()) return false;
  const QString program = Q(path);
  QFile f(program);
  if (!f.exists()) return false;
  // An archive made elsewhere carries no execute permission.
  if (!(f.permissions() & QFileDevice::ExeUser)) f.setPermissions(f.permissions() | QFileDevice::ExeUser);
  // Through the one start routine of the program: the updater (and what it starts) gets an
  // empty signal mask, so that a kill or Ctrl-C ends it.
  pid = platform::StartProgram(path, {"Start," + S(FMessages->Identifier())});
  return pid > 0;
}

void TfmMain::UpdateDownloadDone(TDownLoader* Sender) {
  auto line = [this](const char* utf8) {
    const QDateTime now = FClock.now();
    FProtocol.push_back(ShortDate(now) + " " + LongTime(now) + W(utf8));
  };
  if (Sender->Result == "error") {
    line(" Ошибка загрузки обновлятора.");
    if (Sender->TooLarge) {
      const QDateTime now = FClock.now();
      FProtocol.push_back(ShortDate(now) + " " + LongTime(now) + TooLargeText(Sender->MaxSize));
    }
    RemoveFile(Sender->FileName);
  } else {
    try {
      line(" Загрузка Renewal.exe завершена.");
      FData.ExtractUpdate(FExePath + kUpdateArchive, FExePath, UpdateMasks());
      RemoveFile(FExePath + "ren.rar");
      line(" Распаковка архива завершена.");
      bool done = true;
      if (chkStartRen->isChecked()) {
        line(" Запуск обновлятора.");
        qint64 pid = 0;
        if (!startUpdater(FExePath + kUpdater, pid)) {
          line(" Не удалось запустить обновлятор.");
          done = false;
        } else {
          FUpdateWaiting = true;
          QElapsedTimer waited;
          waited.start();
          while (FUpdateWaiting && !FCloseWanted) {
            QEventLoop loop;
            QTimer::singleShot(100, &loop, &QEventLoop::quit);
            connect(FMessages, &TWindowMessages::Message, &loop, &QEventLoop::quit);
            if (loop.exec() < 0) break;  // the application is quitting
            if (FUpdateWaiting && ProcessGone(pid)) {
              // Its last words may still be on the way.
              for (int i = 0; i < 5 && FUpdateWaiting; ++i) {
                QEventLoop drain;
                QTimer::singleShot(20, &drain, &QEventLoop::quit);
                drain.exec();
              }
              if (FUpdateWaiting) {
                line(" Обновлятор завершил работу, не сообщив результат.");
                FUpdateWaiting = false;
                done = false;
              }
            }
            if (FUpdateWaiting && waited.elapsed() >= updaterWaitTimeout * 1000) {
              // An updater that never reports holds neither the update nor a timed run
              // for longer than this; it is left running.
              line(" Обновлятор не сообщил результат за отведенное время.");
              FUpdateWaiting = false;
              done = false;
            }
          }
          if (FUpdateWaiting) {  // the program is closing
            FUpdateWaiting = false;
            done = false;
          }
        }
      }
      if (done) FUpdateDone = true;
    } catch (const std::exception&) {
      line(" Ошибка, и все тут...");
    }
  }
  setStatus(1, StatusDone());
  if (FUpdateLoader == Sender) FUpdateLoader = nullptr;
  FDownloadDone = true;
  FUpdateBusy = false;
  ActionListUpdate();
  // A close asked for during the wait; a timed run closes the window at its own end.
  if (FCloseWanted && !running()) QTimer::singleShot(0, this, &QWidget::close);
}

void TfmMain::WMUpdaterNotify(int64_t code) {
  const std::string text = UpdaterReportText(code);
  if (!text.empty()) {
    const QDateTime now = FClock.now();
    FProtocol.push_back(ShortDate(now) + " " + LongTime(now) + text);
  }
  if (code == 6) FUpdateDone = true;
  FUpdateWaiting = false;
}

// ---------------------------------------------------------------------------------------------
// Network settings, tray

void TfmMain::cmdSetCnClick() {
  try {
    TfrmSetCon dlg(FPrompt, FExePath, this);
    dlg.exec();
  } catch (const std::exception& e) {
    reportException(e);
  }
}

void TfmMain::buildTray() {
  // Four small round icons; the third (index 3 counted from 0) is the one shown.
  const QColor colours[4] = {QColor(0x80, 0x80, 0x80), QColor(0xC0, 0x30, 0x30), QColor(0xE0, 0xA0, 0x20),
                             QColor(0x20, 0x80, 0x30)};
  for (const QColor& c : colours) {
    QPixmap p(16, 16);
    p.fill(Qt::transparent);
    QPainter painter(&p);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(c);
    painter.setPen(Qt::black);
    painter.drawEllipse(1, 1, 14, 14);
    painter.end();
    FTrayIcons.push_back(QIcon(p));
  }
  pmTrayIcon = new QMenu(this);
  pmTrayIcon->setObjectName(QStringLiteral("pmTrayIcon"));
  miShow = pmTrayIcon->addAction(QString::fromUtf8("Открыть"));
  miShow->setObjectName(QStringLiteral("miShow"));
  pmTrayIcon->addSeparator();
  miExit = pmTrayIcon->addAction(QString::fromUtf8("Выгрузить"));
  miExit->setObjectName(QStringLiteral("miExit"));
  connect(miShow, &QAction::triggered, this, &TfmMain::miShowClick);
  connect(miExit, &QAction::triggered, this, &TfmMain::miExitClick);
  sdTrayIcon = new TsdTrayIcon(this);
  sdTrayIcon->setObjectName(QStringLiteral("sdTrayIcon"));
  sdTrayIcon->SetHint(W("ВИРЕЛ - планировщик заданий"));
  sdTrayIcon->SetStateIcons(&FTrayIcons);
  sdTrayIcon->SetStateIndex(3);
  sdTrayIcon->SetAnimatedDelay(500);
  sdTrayIcon->SetRightPopup(pmTrayIcon);
  sdTrayIcon->SetActive(true);
  sdTrayIcon->Loaded();
}
