// One instance per user: a second start ends at once with exit code 1 and shows nothing.
#include <QProcess>

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/oslayer.h"
#include "shell_fakes.h"

namespace {

std::string UniqueName() { return "KESTASchedulerTest." + std::to_string(::getpid()); }

TEST(SingleInstance, SecondGuardInTheSameProcessFails) {
  const std::string name = UniqueName();
  {
    platform::SingleInstance first(name);
    ASSERT_TRUE(first.acquired());
    platform::SingleInstance second(name);
    EXPECT_FALSE(second.acquired());
  }
  platform::SingleInstance again(name);  // released with the first
  EXPECT_TRUE(again.acquired());
}

TEST(SingleInstance, SecondProgramExitsWithOne) {
  testshell::TempDir dir;  // also brings up the test's Qt application
  const std::string name = UniqueName() + ".p";
  platform::SingleInstance held(name);
  ASSERT_TRUE(held.acquired());
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("KESTA_INSTANCE_NAME"), QString::fromStdString(name));
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  p.setProcessEnvironment(env);
  p.setWorkingDirectory(QString::fromStdString(dir.path));
  p.start(QStringLiteral(KESTA_SCHEDULER_EXE), {});
  ASSERT_TRUE(p.waitForFinished(60000));
  EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(p.exitCode(), 1);
  EXPECT_TRUE(p.readAllStandardOutput().isEmpty());
  EXPECT_TRUE(p.readAllStandardError().isEmpty());
  EXPECT_FALSE(dir.exists("Протокол.txt"));
}

}  // namespace
