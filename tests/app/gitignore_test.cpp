// The repository ignores what a fuzzing run leaves in its root, and only there: an input
// kept on purpose in a test folder (tests/archive/regress/) is still seen.
#include <QProcess>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "shell_fakes.h"

namespace {

// Whether git ignores `path` (relative to the root) by the repository's rules; -1 when git
// cannot tell (no git, not a checkout).
int Ignored(const std::string& root, const std::string& path) {
  QProcess p;
  p.setWorkingDirectory(QString::fromStdString(root));
  p.start(QStringLiteral("git"), {QStringLiteral("check-ignore"), QStringLiteral("-q"), QStringLiteral("--no-index"),
                                  QString::fromStdString(path)});
  if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit) return -1;
  if (p.exitCode() == 0) return 1;
  if (p.exitCode() == 1) return 0;
  return -1;
}

TEST(GitIgnore, FuzzingOutputsInTheRootAreIgnored) {
  const char* source = std::getenv("KESTA_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  const std::string root = source;
  if (!std::filesystem::exists(root + "/.git") || Ignored(root, "crash-1") < 0) {
    GTEST_SKIP() << "not a git checkout, or no git";
  }
  for (const char* ignored : {"crash-2f1e0c9a", "leak-01", "timeout-9b", "oom-77", "slow-unit-3", "fuzz-0.log",
                              "fuzz-12.log", "fuzz-work/", "fuzz-work/crash-1"}) {
    EXPECT_EQ(Ignored(root, ignored), 1) << ignored;
  }
  for (const char* seen : {"tests/archive/regress/crash-2f1e0c9a", "fuzz/archive/fuzz_extract.cpp", "README.md",
                           "fuzz-notes.txt"}) {
    EXPECT_EQ(Ignored(root, seen), 0) << seen;
  }
}

}  // namespace
