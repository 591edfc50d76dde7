#include "shell_fakes.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/codepage.h"

namespace fs = std::filesystem;

namespace testshell {

namespace {
class QtEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qgetenv("XDG_RUNTIME_DIR").isEmpty()) {
      char tmpl[] = "/tmp/kesta-xdg-XXXXXX";
      if (char* d = mkdtemp(tmpl)) {
        runtimeDir_ = d;
        qputenv("XDG_RUNTIME_DIR", d);
      }
    }
    static int argc = 1;
    static char name[] = "app_test";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override {
    app_.reset();
    std::error_code ec;
    if (!runtimeDir_.empty()) fs::remove_all(runtimeDir_, ec);
  }

private:
  std::unique_ptr<QApplication> app_;
  std::string runtimeDir_;
};
[[maybe_unused]] ::testing::Environment* const kQtEnv = ::testing::AddGlobalTestEnvironment(new QtEnvironment);
}  // namespace

std::string C(const char* utf8) { return platform::Utf8ToCp1251(utf8); }

TempDir::TempDir() {
  char tmpl[] = "/tmp/kesta-shell-XXXXXX";
  path = std::string(mkdtemp(tmpl)) + "/";
}
TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path, ec);
}
void TempDir::write(const std::string& name, const std::string& bytes) const {
  std::ofstream(path + name, std::ios::binary) << bytes;
}
std::string TempDir::read(const std::string& name) const {
  std::ifstream f(path + name, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}
bool TempDir::exists(const std::string& name) const { return fs::exists(path + name); }

int FakeData::count(const std::string& prefix) const {
  int n = 0;
  for (const auto& c : calls) n += c.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

Shell::Shell(bool withIni, const std::string& ini, const std::string& zelvorn) {
  if (withIni) dir.write("Morqa.ini", ini);
  if (!zelvorn.empty()) dir.write("Zelvorn.ini", zelvorn);
  oldCwd = fs::current_path().string();
  fs::current_path(dir.path);
}

Shell::~Shell() {
  w.reset();
  std::error_code ec;
  fs::current_path(oldCwd, ec);
}

void Shell::create() {
  w = std::make_unique<TfmMain>(data, extractor, prompt, clock, dir.path);
  w->FormActivate();
}

void Shell::tick(int h, int m, int s) {
  clock.set(h, m, s);
  w->tmTasksTimer();
}

void Shell::tickAll(bool on) {
  for (int i = 0; i < shell::kTaskCount; ++i)
    w->lvTasks->topLevelItem(i)->setCheckState(0, on ? Qt::Checked : Qt::Unchecked);
}

void Shell::only(std::initializer_list<int> tasks) {
  tickAll(false);
  for (int t : tasks) w->lvTasks->topLevelItem(t)->setCheckState(0, Qt::Checked);
}

std::vector<std::string> Shell::texts() const {
  std::vector<std::string> out;
  for (const auto& m : prompt.msgs) out.push_back(m.text);
  return out;
}

}  // namespace testshell
