// The program update: the download of the archive, its unpacking, the start of the
// updater (a script of the test's own) and the updater's reports.
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <signal.h>
#include <sys/types.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/DataBridge.h"
#include "app/ShellText.h"
#include "net_server.h"
#include "shell_fakes.h"
#include "archive/arcUnZip.h"
#include "tasks/Scheduler_DM.h"

namespace {

using namespace testshell;
using shell::Q;
using shell::S;
namespace fs = std::filesystem;

const char* kReporter =
    "#!/usr/bin/env python3\n"
    "import socket, sys\n"
    "open(sys.argv[0] + '.args', 'w').write('\\n'.join(sys.argv[1:]))\n"
    "s = socket.socket(socket.AF_UNIX)\n"
    "s.connect(sys.argv[1].split(',', 1)[1])\n"
    "s.sendall(b'1125,CODE\\n')\n"
    "s.close()\n";

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

std::string Reporter(int code) {
  std::string s = kReporter;
  s.replace(s.find("CODE"), 4, std::to_string(code));
  return s;
}

struct Update : Shell {
  TinyHttp server;
  std::string updater;  // what the unpacking leaves as the updater ("" = nothing)
  Update() : Shell(true, "") {
    server.route("/Download/upd1.zip", {200, "archive bytes", "", false});
    create();
    w->txtKestaAdress->setText(Q(server.url("/Download/upd1.zip")));
    data.onExtractUpdate = [this](const std::string&, const std::string& d) {
      if (updater.empty()) return 0;
      std::ofstream(d + "renewal", std::ios::binary) << updater;  // no execute permission
      return 1;
    };
  }
  void runIt() {
    w->UpdateRenExecute();
    QElapsedTimer t;
    t.start();
    while (w->updating() && t.elapsed() < 30000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    ASSERT_FALSE(w->updating());
  }
  std::vector<std::string> lines(std::initializer_list<const char*> texts) {
    std::vector<std::string> out;
    for (const char* t : texts) out.push_back(C("09.12.2026 10:00:00") + C(t));
    return out;
  }
};

TEST(UpdaterReports, CodesAndTheirLines) {
  struct Case {
    int64_t code;
    const char* text;
  } cases[] = {{0, ""},
               {1, " Не найден файл с описанием БД"},
               {2, " Ошибка при проверке соединения с БД статистики."},
               {3, " Ошибка при проверке соединения с БД отчетов."},
               {4, ""},
               {5, " Ошибка в работе обновлятора."},
               {6, " Работа обновлятора завершена успешно."},
               {7, " Не вбран файл UpdMetaData.dll"},
               {8, " Обновлятор закрыт."},
               {9, ""},
               {-1, ""}};
  for (const auto& c : cases) EXPECT_EQ(shell::UpdaterReportText(c.code), C(c.text)) << c.code;
  Shell sh(true, "");
  sh.create();
  sh.w->WMUpdaterNotify(4);
  EXPECT_TRUE(sh.w->protocol().empty());
  EXPECT_FALSE(sh.w->updateDone());
  sh.w->WMUpdaterNotify(6);
  EXPECT_TRUE(sh.w->updateDone());
  EXPECT_EQ(sh.w->protocol(), std::vector<std::string>{C("09.12.2026 10:00:00 Работа обновлятора завершена успешно.")});
}

TEST(ProgramUpdate, WithoutTheUpdaterTheArchiveIsUnpackedAndTheUpdateIsDone) {
  Update u;
  u.dir.write("ren.rar", "old");
  u.runIt();
  EXPECT_EQ(u.dir.read("ren.zip"), "archive bytes");
  EXPECT_FALSE(u.dir.exists("ren.rar"));
  EXPECT_EQ(u.data.count("ExtractUpdate " + u.dir.path + "ren.zip|" + u.dir.path), 1);
  EXPECT_EQ(u.data.updateMasks, (std::vector<std::string>{"renewal", "kesta-*"}));
  EXPECT_EQ(u.w->protocol(), u.lines({" Начата загрузка обновления Renewal.exe.", " Загрузка Renewal.exe завершена.",
                                      " Распаковка архива завершена."}));
  EXPECT_TRUE(u.w->updateDone());
  EXPECT_TRUE(u.w->downloadDone());
  EXPECT_EQ(u.w->status(1), C("Выполнение завершено"));
}

TEST(ProgramUpdate, AFailedDownloadUnpacksNothing) {
  Update u;
  u.w->txtKestaAdress->setText(Q(u.server.url("/nothing")));
  u.runIt();
  EXPECT_EQ(u.data.count("ExtractUpdate"), 0);
  EXPECT_FALSE(u.dir.exists("ren.zip"));
  EXPECT_EQ(u.w->protocol(), u.lines({" Начата загрузка обновления Renewal.exe.", " Ошибка загрузки обновлятора."}));
  EXPECT_FALSE(u.w->updateDone());
  EXPECT_EQ(u.w->status(1), C("Выполнение завершено"));
}

// An update archive that passes the size bound (a body that never ends) is stopped there,
// told in the protocol and removed; nothing is unpacked.
TEST(ProgramUpdate, AnArchivePastTheSizeBoundIsStoppedAndRemoved) {
  Update u;
  EXPECT_EQ(u.w->downloadSizeLimit, shell::kDownloadSizeLimit);
  u.w->downloadSizeLimit = 1024 * 1024;
  u.server.route("/endless", {200, "", "", false, true});
  u.w->txtKestaAdress->setText(Q(u.server.url("/endless")));
  u.runIt();
  EXPECT_EQ(u.data.count("ExtractUpdate"), 0);
  EXPECT_FALSE(u.dir.exists("ren.zip"));
  EXPECT_EQ(u.w->protocol(), u.lines({" Начата загрузка обновления Renewal.exe.", " Ошибка загрузки обновлятора.",
                                      " Файл больше 1 МБ: загрузка прервана, файл удален."}));
  EXPECT_FALSE(u.w->updateDone());
}

TEST(ProgramUpdate, TheUpdaterIsStartedWithTheWindowsIdentifierAndItsReportEndsTheWait) {
  for (int code : {6, 4, 5}) {
    Update u;
    u.updater = Reporter(code);
    u.w->chkStartRen->setChecked(true);
    u.runIt();
    std::vector<std::string> expected = u.lines({" Начата загрузка обновления Renewal.exe.",
                                                 " Загрузка Renewal.exe завершена.", " Распаковка архива завершена.",
                                                 " Запуск обновлятора."});
    if (!shell::UpdaterReportText(code).empty()) {
      expected.push_back(C("09.12.2026 10:00:00") + shell::UpdaterReportText(code));
    }
    EXPECT_EQ(u.w->protocol(), expected) << code;
    EXPECT_FALSE(u.w->updateWaiting());
    EXPECT_TRUE(u.w->updateDone()) << code;
    ASSERT_FALSE(u.w->windowIdentifier().empty());
    EXPECT_EQ(u.dir.read("renewal.args"), "Start," + u.w->windowIdentifier());
  }
}

TEST(ProgramUpdate, TheUpdaterStartsWithNoSignalBlocked) {
  // The program blocks SIGTERM and SIGINT for all its threads (its event loop takes them);
  // the updater must not inherit that, or a kill or Ctrl-C would not end it.
  Update u;
  std::string script = Reporter(6);
  script.insert(script.find("s = socket"),
                "open(sys.argv[0] + '.status', 'w').write("
                "[l for l in open('/proc/self/status') if l.startswith('SigBlk:')][0])\n");
  u.updater = script;
  u.w->chkStartRen->setChecked(true);
  sigset_t set, old;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &set, &old), 0);
  u.runIt();
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  EXPECT_TRUE(u.w->updateDone());
  EXPECT_EQ(u.dir.read("renewal.status"), "SigBlk:\t0000000000000000\n");
}

TEST(ProgramUpdate, AnUpdaterThatEndsWithoutReportOrCannotStartFailsTheUpdate) {
  {
    Update u;
    u.updater = "#!/bin/sh\nexit 0\n";
    u.w->chkStartRen->setChecked(true);
    u.runIt();
    EXPECT_EQ(u.w->protocol().back(), C("09.12.2026 10:00:00 Обновлятор завершил работу, не сообщив результат."));
    EXPECT_FALSE(u.w->updateDone());
    EXPECT_FALSE(u.w->updateWaiting());
  }
  {
    Update u;  // the archive held no updater
    u.w->chkStartRen->setChecked(true);
    u.runIt();
    EXPECT_EQ(u.w->protocol().back(), C("09.12.2026 10:00:00 Не удалось запустить обновлятор."));
    EXPECT_FALSE(u.w->updateDone());
    EXPECT_EQ(u.w->status(1), C("Выполнение завершено"));
  }
}

TEST(ProgramUpdate, ClosingTheWindowEndsTheWaitForASilentUpdater) {
  Update u;
  u.updater = "#!/bin/sh\nexec sleep 2\n";
  u.w->chkStartRen->setChecked(true);
  u.w->show();
  bool refused = false;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (!u.w->updateWaiting()) return;
    poll.stop();
    refused = !u.w->close();
  });
  poll.start(10);
  u.runIt();
  EXPECT_TRUE(refused);
  EXPECT_FALSE(u.w->updateDone());
  EXPECT_EQ(u.w->status(1), C("Выполнение завершено"));
  QElapsedTimer t;
  t.start();
  while (u.w->isVisible() && t.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_FALSE(u.w->isVisible());
  EXPECT_TRUE(u.dir.exists("Протокол.txt"));
}

// An updater that starts and never reports: its pid (written by itself) is killed when the
// test ends, however it ends.
struct SilentUpdater {
  std::string pidFile;
  explicit SilentUpdater(const std::string& dir) : pidFile(dir + "renewal.pid") {}
  static std::string Script() { return "#!/bin/sh\necho $$ > \"$0.pid\"\nexec sleep 600\n"; }
  pid_t pid() const {
    std::ifstream f(pidFile);
    long p = 0;
    f >> p;
    return static_cast<pid_t>(p);
  }
  ~SilentUpdater() {
    const pid_t p = pid();
    if (p <= 0) return;
    ::kill(p, SIGKILL);
    QElapsedTimer t;
    t.start();
    while (fs::exists("/proc/" + std::to_string(p)) && t.elapsed() < 5000) QThread::msleep(10);
    EXPECT_FALSE(fs::exists("/proc/" + std::to_string(p))) << "the updater " << p << " is still running";
  }
};

TEST(ProgramUpdate, TheWaitForASilentUpdaterEndsWithAFailureLineAfterTheBound) {
  Update u;
  SilentUpdater silent(u.dir.path);
  u.updater = SilentUpdater::Script();
  u.w->chkStartRen->setChecked(true);
  EXPECT_EQ(u.w->updaterWaitTimeout, 15 * 60);  // by default
  u.w->updaterWaitTimeout = 1;
  QElapsedTimer t;
  t.start();
  u.runIt();
  EXPECT_GE(t.elapsed(), 1000);
  EXPECT_LT(t.elapsed(), 20000);
  ASSERT_GT(silent.pid(), 0);
  EXPECT_EQ(::kill(silent.pid(), 0), 0);  // left running by the program
  EXPECT_EQ(u.w->protocol().back(), C("09.12.2026 10:00:00 Обновлятор не сообщил результат за отведенное время."));
  EXPECT_FALSE(u.w->updateDone());
  EXPECT_FALSE(u.w->updateWaiting());
  EXPECT_EQ(u.w->status(1), C("Выполнение завершено"));
}

TEST(ProgramUpdate, ASilentUpdaterNoLongerHoldsATimedRun) {
  Update u;
  SilentUpdater silent(u.dir.path);
  u.updater = SilentUpdater::Script();
  u.w->chkStartRen->setChecked(true);
  u.w->updaterWaitTimeout = 1;
  u.only({1, 10});
  u.dir.write("ls.dbf", "x");
  u.w->edFileLS->setText(Q(u.dir.path + "ls.dbf"));
  u.w->DTime->setTime(QTime(10, 1));
  u.w->acTimerTurnONExecute();
  ASSERT_TRUE(u.w->timerOn());
  u.tick(10, 1, 0);
  EXPECT_FALSE(u.w->running());
  EXPECT_EQ(u.w->protocol().back(),
            C("09.12.2026 10:01:00 Выполнение дальнейших задач остановлено из-за ошибки обновления программы ВИРЕЛ."));
  EXPECT_EQ(u.data.count("LoadDrugs"), 0);
  EXPECT_EQ(u.w->status(10), C("Прервано оператором"));
}

TEST(ProgramUpdate, ASecondStartDuringAnUpdateIsRefused) {
  Update u;
  u.w->UpdateRenExecute();
  ASSERT_TRUE(u.w->updating());
  u.w->UpdateRenExecute();
  ASSERT_EQ(u.prompt.msgs.size(), 1u);
  EXPECT_EQ(u.prompt.msgs[0].text, C("Обновление программы уже выполняется."));
  QElapsedTimer t;
  t.start();
  while (u.w->updating() && t.elapsed() < 30000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  EXPECT_EQ(u.data.count("ExtractUpdate"), 1);
}

// The unpacking on the data module's own component, with an archive that tries to put
// files outside the program folder and over its settings.
TEST(ProgramUpdate, UnpackingTakesOnlyTheProgramsAndStaysInTheFolder) {
  TempDir dir;
  fs::create_directory(dir.path + "prog");
  const std::string prog = dir.path + "prog/";
  std::ofstream(prog + "Morqa.ini") << "[WORK_PATH]\n";
  const std::string script =
      "import zipfile, sys\n"
      "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
      "for n in ['renewal', 'kesta-tool', 'sub/kesta-sub', 'Morqa.ini', '../kesta-evil', 'readme.txt']:\n"
      "    z.writestr(n, 'content of ' + n)\n"
      "z.close()\n";
  std::ofstream(dir.path + "mk.py") << script;
  ASSERT_EQ(std::system(("python3 " + dir.path + "mk.py " + prog + "ren.zip").c_str()), 0);
  TdmScheduler dm(prog);
  shell::TDataBridge bridge(dm);
  const std::vector<std::string> specBefore = dm.UnZip1->FileSpec;
  const int n = bridge.ExtractUpdate(prog + "ren.zip", prog, shell::UpdateMasks());
  EXPECT_EQ(n, 3);
  EXPECT_EQ(ReadFile(prog + "renewal"), "content of renewal");
  EXPECT_EQ(ReadFile(prog + "kesta-tool"), "content of kesta-tool");
  EXPECT_EQ(ReadFile(prog + "kesta-sub"), "content of sub/kesta-sub");
  EXPECT_EQ(ReadFile(prog + "Morqa.ini"), "[WORK_PATH]\n");
  EXPECT_FALSE(fs::exists(prog + "readme.txt"));
  EXPECT_FALSE(fs::exists(dir.path + "kesta-evil"));
  // The component is shared: its masks are put back.
  EXPECT_EQ(dm.UnZip1->FileSpec, specBefore);
  EXPECT_TRUE(dm.UnZip1->UseStoredDirs);
}

}  // namespace
