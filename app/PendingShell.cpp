// The shell's parts that this build does not have yet: the fund-file download, the
// program update and the network settings dialog. Each reports that it cannot run and
// never reports success, so a run that reaches them treats them as failed.
#include <QDateTime>

#include "app/Scheduler_FM.h"
#include "app/ShellText.h"

using namespace shell;

void TfmMain::startTFOMSDownload(const std::string& url, const std::string& file, const std::string& iniPath) {
  (void)url;
  (void)file;
  (void)iniPath;
  // As a download that failed, except that no file is deleted: nothing was written.
  const QDateTime now = FClock.now();
  FProtocol.push_back(ShortDate(now) + " " + LongTime(now) +
                      W(" Загрузка файла прикрепленных недоступна в этой версии программы."));
  setLabel(lbLoad, W("Не удалось скачать файл!"));
  setStatus(2, StatusNotDone());
  FDownloadDone = true;
}

void TfmMain::UpdateRenExecute() {
  FDownloadDone = false;
  FUpdateDone = false;
  const QDateTime now = FClock.now();
  FProtocol.push_back(ShortDate(now) + " " + LongTime(now) +
                      W(" Обновление программы недоступно в этой версии программы."));
  if (!FRunning) FPrompt.messageBox(W("Обновление программы недоступно в этой версии программы."), W("Сообщение"));
  FDownloadDone = true;
}

void TfmMain::cmdSetCnClick() {
  FPrompt.messageBox(W("Настройка сети недоступна в этой версии программы."), W("Сообщение"));
}
