// The download worker against a server and a proxy of the test's own, and the fund-file
// download of the main window.
#include <QElapsedTimer>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "app/MyDLFile.h"
#include "app/SetSetting.h"
#include "app/ShellText.h"
#include "net_server.h"
#include "shell_fakes.h"

namespace {

using namespace testshell;
using shell::Q;
using shell::S;

// Runs the worker to its end (bounded) and collects its progress posts.
struct Runner {
  std::vector<std::pair<int, qint64>> progress;
  QObject window;  // lives on the window thread: the posts reach it through its queue
  void operator()(TDownLoader& d) {
    QObject::connect(&d, &TDownLoader::DownloadProgress, &window,
                     [this](int w, qint64 v) { progress.emplace_back(w, v); });
    QSignalSpy done(&d, &QThread::finished);
    d.start();
    ASSERT_TRUE(done.wait(20000));
    d.wait();
    QCoreApplication::processEvents();
  }
};

std::string Body(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + 3);
  return s;
}

TEST(DownLoader, WritesTheFileIntoFoldersItCreatesAndPostsProgress) {
  TinyHttp server;
  const std::string body = Body(200000);
  server.route("/f.zip", {200, body, "", false});
  TempDir dir;
  TDownLoader d;
  d.URL = server.url("/f.zip");
  d.FileName = dir.path + "new/deeper/f.zip";
  Runner run;
  run(d);
  EXPECT_EQ(d.Result, "") << d.Reason;
  EXPECT_EQ(dir.read("new/deeper/f.zip"), body);
  ASSERT_GE(run.progress.size(), 2u);
  EXPECT_EQ(run.progress.front(), std::make_pair(0, qint64(200000)));
  EXPECT_EQ(run.progress.back(), std::make_pair(1, qint64(200000)));
  for (size_t i = 1; i < run.progress.size(); ++i) {
    EXPECT_EQ(run.progress[i].first, 1);
    if (i > 1) {
      EXPECT_GT(run.progress[i].second, run.progress[i - 1].second);
    }
  }
}

TEST(DownLoader, FailuresEndWithError) {
  TinyHttp server;
  server.route("/gone", {404, "not here", "", false});
  server.route("/busy", {503, "later", "", false});
  server.route("/moved", {302, "", "/target", false});
  server.route("/target", {200, "moved body", "", false});
  server.route("/stall", {200, "only a part", "", true});
  TempDir dir;
  struct Case {
    std::string url, file;
    bool ok;
    std::string content;
  } cases[] = {
      {server.url("/gone"), dir.path + "a", false, ""},
      {server.url("/busy"), dir.path + "b", false, ""},
      {"http://127.0.0.1:" + std::to_string(ClosedPort()) + "/x", dir.path + "c", false, ""},
      // A redirect is followed: its own page is not the file.
      {server.url("/moved"), dir.path + "d", true, "moved body"},
      // A name without a folder is no target.
      {server.url("/target"), "bare.dat", false, ""},
      // Only web addresses are fetched.
      {"file:///etc/hostname", dir.path + "e", false, ""},
      {server.url("/target"), "/proc/no/such/place/f", false, ""},
  };
  for (const auto& c : cases) {
    TDownLoader d;
    d.URL = c.url;
    d.FileName = c.file;
    Runner run;
    run(d);
    EXPECT_EQ(d.Result, c.ok ? "" : "error") << c.url << " " << d.Reason;
    if (c.ok) {
      EXPECT_EQ(dir.read(c.file.substr(dir.path.size())), c.content);
    }
  }
  EXPECT_FALSE(std::filesystem::exists("bare.dat"));
  // A transfer that stops moving fails after the stall time.
  TDownLoader d;
  d.URL = server.url("/stall");
  d.FileName = dir.path + "s";
  d.StallTimeout = 1;
  Runner run;
  run(d);
  EXPECT_EQ(d.Result, "error");
}

// The size bound: a body up to it is kept, one past it (declared or not, or one that never
// ends) fails there, without waiting for the body, and says why.
TEST(DownLoader, ABodyPastTheSizeBoundFails) {
  EXPECT_EQ(shell::kDownloadSizeLimit, int64_t(256) * 1024 * 1024);
  TinyHttp server;
  const std::string body = Body(100000);
  server.route("/f", {200, body, "", false});
  server.route("/declared", {200, "a part", "", true});  // declares 1000000 bytes, then stalls
  server.route("/endless", {200, "", "", false, true});
  TempDir dir;
  struct Case {
    std::string path;
    int64_t max;
    bool ok;
  } cases[] = {
      {"/f", 100000, true},
      {"/f", 99999, false},
      {"/f", 1000, false},
      {"/endless", 1024 * 1024, false},
      {"/endless", 10 * 1024 * 1024, false},
      {"/declared", 999999, false},  // last: the server serves nobody else after a stall
  };
  for (const Case& c : cases) {
    TDownLoader d;
    d.URL = server.url(c.path);
    d.FileName = dir.path + "f";
    d.MaxSize = c.max;
    d.StallTimeout = 10;
    Runner run;
    run(d);
    EXPECT_EQ(d.Result, c.ok ? "" : "error") << c.path << " " << c.max << " " << d.Reason;
    EXPECT_EQ(d.TooLarge, !c.ok) << c.path << " " << c.max << " " << d.Reason;
    if (c.ok) {
      EXPECT_EQ(dir.read("f"), body);
    } else {
      EXPECT_EQ(d.Reason, "the file is larger than " + std::to_string(c.max) + " bytes");
      EXPECT_LE(static_cast<int64_t>(std::filesystem::file_size(dir.path + "f")), c.max) << c.path;
    }
  }
}

TEST(DownLoader, GoesThroughTheProxyWithBasicAuthorisation) {
  TinyHttp origin;  // never asked: the proxy answers
  TinyHttp proxy;
  const std::string target = "http://files.example.test:8081/prik.dat";
  proxy.route(target, {200, "via proxy", "", false});
  proxy.requireProxyAuth = "Basic dXNlcjpwQHNz";  // user:p@ss
  TempDir dir;
  TDownLoader d;
  d.URL = target;
  d.FileName = dir.path + "f";
  d.UseProxy = true;
  d.ProxyServer = "127.0.0.1";
  d.ProxyPort = proxy.port();
  d.UseAutorisation = true;
  d.ProxyUser = "user";
  d.ProxyPass = "p@ss";
  Runner run;
  run(d);
  EXPECT_EQ(d.Result, "") << d.Reason;
  EXPECT_EQ(dir.read("f"), "via proxy");
  ASSERT_FALSE(proxy.requests().empty());
  EXPECT_EQ(proxy.requests().back().rfind("GET " + target + " HTTP/1.1\r\n", 0), 0u);
  // Without the authorisation the proxy refuses, and that is a failure.
  TDownLoader e;
  e.URL = target;
  e.FileName = dir.path + "g";
  e.UseProxy = true;
  e.ProxyServer = "127.0.0.1";
  e.ProxyPort = proxy.port();
  run(e);
  EXPECT_EQ(e.Result, "error");
}

TEST(DownLoader, WithoutUseProxyNeitherTheSettingsNorTheEnvironmentProxyIsUsed) {
  TinyHttp origin;
  origin.route("/f", {200, "direct", "", false});
  TinyHttp proxy;
  proxy.route(origin.url("/f"), {200, "via proxy", "", false});
  const std::string proxyUrl = "http://127.0.0.1:" + std::to_string(proxy.port());
  setenv("http_proxy", proxyUrl.c_str(), 1);
  setenv("HTTP_PROXY", proxyUrl.c_str(), 1);
  TempDir dir;
  TDownLoader d;
  d.URL = origin.url("/f");
  d.FileName = dir.path + "f";
  d.ProxyServer = "127.0.0.1";
  d.ProxyPort = proxy.port();
  d.UseAutorisation = true;
  d.ProxyUser = "u";
  Runner run;
  run(d);
  unsetenv("http_proxy");
  unsetenv("HTTP_PROXY");
  EXPECT_EQ(d.Result, "") << d.Reason;
  EXPECT_EQ(dir.read("f"), "direct");
  EXPECT_TRUE(proxy.requests().empty());
  EXPECT_EQ(origin.requests().size(), 1u);
}

// ---- The fund file on the main window

struct Fund : Shell {
  explicit Fund(const std::string& ini = "") : Shell(true, ini) {
    create();
    w->edUser->setText(QStringLiteral("user"));
    w->edPass->setText(QStringLiteral("pass"));
  }
  void waitDone() {
    QElapsedTimer t;
    t.start();
    while (w->tfomsDownloading() && t.elapsed() < 20000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    ASSERT_FALSE(w->tfomsDownloading());
  }
};

TEST(FundDownload, SuccessReportsAndKeepsTheFile) {
  TinyHttp server;
  server.route("/cgi/upload.php?fid=PRIK0007", {200, "fund data", "", false});
  Fund f;
  f.w->edHTTP->setText(Q(server.url("/cgi/upload.php?fid=PRIK0007")));
  f.w->edSaveAs->setText(Q(f.dir.path + "in/FileTFOMS.dat"));
  f.w->acLoadRefreshFromFOMSExecute();
  EXPECT_EQ(f.w->status(2), C("Выполняется"));
  EXPECT_FALSE(f.w->downloadDone());
  f.waitDone();
  EXPECT_TRUE(f.w->downloadDone());
  EXPECT_EQ(f.dir.read("in/FileTFOMS.dat"), "fund data");
  EXPECT_EQ(S(f.w->lbLoad->text()), C("Закачка файла выполнена!"));
  EXPECT_FALSE(f.w->lbLoad->isHidden());
  EXPECT_EQ(f.w->status(2), C("Выполнение завершено"));
  const std::vector<std::string> lines = {C("09.12.2026 10:00:00 Начата загрузка файла прикрепленных."),
                                          C("09.12.2026 10:00:00 Загрузка файла прикрепленных закончена успешно.")};
  EXPECT_EQ(f.w->protocol(), lines);
}

TEST(FundDownload, AnUnreachableServerLeavesNoFile) {
  Fund f;
  f.w->edHTTP->setText(QStringLiteral("http://127.0.0.1:%1/x").arg(ClosedPort()));
  f.w->edSaveAs->setText(Q(f.dir.path + "FileTFOMS.dat"));
  f.dir.write("FileTFOMS.dat", "yesterday");
  f.w->acLoadRefreshFromFOMSExecute();
  f.waitDone();
  EXPECT_EQ(S(f.w->lbLoad->text()), C("Не удалось скачать файл!"));
  EXPECT_EQ(f.w->status(2), C("Выполнение не завершено"));
  EXPECT_FALSE(f.dir.exists("FileTFOMS.dat"));
  EXPECT_EQ(f.w->protocol().back(), C("09.12.2026 10:00:00 Произошла ошибка агрузки файла прикрепленных."));
}

TEST(FundDownload, TheFileDeletedOnFailureIsTheDownloadsOwnNotTheEditedName) {
  TinyHttp server;
  server.route("/stall", {200, "part", "", true});
  Fund f;
  f.w->downloadStallTimeout = 1;
  f.w->edHTTP->setText(Q(server.url("/stall")));
  f.w->edSaveAs->setText(Q(f.dir.path + "a.dat"));
  f.w->acLoadRefreshFromFOMSExecute();
  ASSERT_TRUE(f.w->tfomsDownloading());
  // The operator edits the name meanwhile and tries to start a second download.
  f.dir.write("other.dat", "keep me");
  f.w->edSaveAs->setText(Q(f.dir.path + "other.dat"));
  f.w->acLoadRefreshFromFOMSExecute();
  ASSERT_EQ(f.prompt.msgs.size(), 1u);
  EXPECT_EQ(f.prompt.msgs[0].text, C("Загрузка файла прикрепленных уже выполняется."));
  f.waitDone();
  EXPECT_EQ(f.w->status(2), C("Выполнение не завершено"));
  EXPECT_FALSE(f.dir.exists("a.dat"));
  EXPECT_EQ(f.dir.read("other.dat"), "keep me");
}

TEST(FundDownload, AFilePastTheSizeBoundIsStoppedToldAndRemoved) {
  TinyHttp server;
  server.route("/endless", {200, "", "", false, true});
  Fund f;
  EXPECT_EQ(f.w->downloadSizeLimit, shell::kDownloadSizeLimit);
  f.w->downloadSizeLimit = 2 * 1024 * 1024;
  f.w->edHTTP->setText(Q(server.url("/endless")));
  f.w->edSaveAs->setText(Q(f.dir.path + "FileTFOMS.dat"));
  f.w->acLoadRefreshFromFOMSExecute();
  f.waitDone();
  const std::string why = C(" Файл больше 2 МБ: загрузка прервана, файл удален.");
  EXPECT_EQ(S(f.w->lbLoad->text()), C("Не удалось скачать файл!") + why);
  EXPECT_EQ(f.w->status(2), C("Выполнение не завершено"));
  EXPECT_FALSE(f.dir.exists("FileTFOMS.dat"));
  const std::vector<std::string> lines = {C("09.12.2026 10:00:00 Начата загрузка файла прикрепленных."),
                                          C("09.12.2026 10:00:00 Произошла ошибка агрузки файла прикрепленных."),
                                          C("09.12.2026 10:00:00") + why};
  EXPECT_EQ(f.w->protocol(), lines);
}

TEST(FundDownload, UsesTheProxySectionWithTheDescrambledPassword) {
  TinyHttp proxy;
  const std::string target = "http://tfoms.example.test/cgi/upload.php?fid=NP";
  proxy.route(target, {200, "through the proxy", "", false});
  proxy.requireProxyAuth = "Basic aXZhbm92OnNlY3JldA==";  // ivanov:secret
  Fund f("[PROXY]\r\nUseProxy=1\r\nUseAutorisation=1\r\nServer=127.0.0.1\r\nPort=" + std::to_string(proxy.port()) +
         "\r\nUser=ivanov\r\nPass=" + shell::XorString("secret", "0638") + "\r\n");
  f.w->edHTTP->setText(Q(target));
  f.w->edSaveAs->setText(Q(f.dir.path + "f.dat"));
  f.w->acLoadRefreshFromFOMSExecute();
  f.waitDone();
  EXPECT_EQ(f.dir.read("f.dat"), "through the proxy");
  EXPECT_EQ(f.w->status(2), C("Выполнение завершено"));
  // The fund site's own user and password are not sent anywhere.
  for (const auto& r : proxy.requests()) EXPECT_EQ(r.find("Authorization: Basic dXNlcjpwYXNz"), std::string::npos);
}

TEST(FundDownload, TheTimedRunWaitsForItAndABareNameGoesIntoTheProgramFolder) {
  TinyHttp server;
  server.route("/f", {200, "timed", "", false});
  Fund f;
  f.w->show();
  f.w->edHTTP->setText(Q(server.url("/f")));
  f.w->DTime->setTime(QTime(14, 5));
  f.only({2});
  f.clock.set(14, 4, 0);
  f.w->acTimerTurnONExecute();
  ASSERT_TRUE(f.w->timerOn());
  // A name emptied after the arming: the run takes its own default, a bare name.
  f.w->edSaveAs->setText(QString());
  f.tick(14, 5, 0);
  EXPECT_FALSE(f.w->tfomsDownloading());
  EXPECT_EQ(f.dir.read("FileTTF.ZIP"), "timed");
  EXPECT_EQ(f.w->status(2), C("Выполнение завершено"));
  EXPECT_EQ(f.w->protocol().back(), C("09.12.2026 14:05:00 Загрузка файла прикрепленных закончена успешно."));
}

}  // namespace
