// Without a display the program says what is missing (a display, or QT_QPA_PLATFORM=
// offscreen) and ends with exit code 2, instead of Qt's abort; it reads and writes nothing.
#include <QProcess>

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "shell_fakes.h"

namespace {

TEST(NoDisplay, TheProgramSaysWhatIsMissingAndEndsWithTwo) {
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, const char*>> env;  // set after DISPLAY and the others are removed
    const char* qtText;                                      // Qt's own words, shown first ("" when none)
  } cases[] = {
      {"nothing named", {}, ""},
      {"an X display nobody serves", {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ":65000"}}, "could not connect to display"},
      {"a platform that does not exist", {{"QT_QPA_PLATFORM", "nosuchplatform"}}, "nosuchplatform"},
  };
  for (const Case& c : cases) {
    testshell::TempDir dir;  // also brings up the test's Qt application
    const std::string ini = "[WORK_PATH]\r\nUser=ivanov\r\n";
    dir.write("Morqa.ini", ini);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(QString::fromLatin1(v));
    for (const auto& [name, value] : c.env) env.insert(QString::fromLatin1(name), QString::fromLatin1(value));
    env.insert(QStringLiteral("KESTA_INSTANCE_NAME"),
               QString::fromStdString("KESTASchedulerNoDisplay." + std::to_string(::getpid())));
    QProcess p;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(QString::fromStdString(dir.path));
    p.start(QStringLiteral(KESTA_SCHEDULER_EXE), {});
    ASSERT_TRUE(p.waitForFinished(60000)) << c.name;
    const std::string err = p.readAllStandardError().toStdString();
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << c.name << ": " << err;
    EXPECT_EQ(p.exitCode(), 2) << c.name << ": " << err;
    const std::string ours = "Нет дисплея: окну программы нужен графический сеанс (переменная окружения DISPLAY или "
                             "WAYLAND_DISPLAY); для работы без экрана задайте QT_QPA_PLATFORM=offscreen.\n";
    ASSERT_GE(err.size(), ours.size()) << c.name << ": " << err;
    EXPECT_EQ(err.substr(err.size() - ours.size()), ours) << c.name << ": " << err;
    if (*c.qtText) {
      EXPECT_NE(err.find(c.qtText), std::string::npos) << c.name << ": " << err;
    } else {
      EXPECT_EQ(err, ours) << c.name;  // nothing of Qt's: it is not started
    }
    EXPECT_TRUE(p.readAllStandardOutput().isEmpty()) << c.name;
    EXPECT_EQ(dir.read("Morqa.ini"), ini) << c.name;
    EXPECT_FALSE(dir.exists("Протокол.txt")) << c.name;
  }
}

}  // namespace
