// The program's "--store-password" option in process: the password of the first line of
// the standard input written enciphered into the settings file as the connection reads it,
// every other line kept; what cannot be stored refused with its reason and the file kept.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/StorePassword.h"
#include "platform/inifile.h"
#include "shell_fakes.h"
#include "tasks/zlvCrypt32.h"

namespace {

using testshell::C;

// Everything written to a temporary stream.
std::string Drain(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string s;
  char buf[512];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  return s;
}

struct Outcome {
  int rc;
  std::string out, err;
};

// Runs the option with `input` on a pipe as its standard input.
Outcome Store(const std::string& ini, const std::string& input) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  EXPECT_EQ(::write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  ::close(fds[1]);
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  Outcome o;
  o.rc = shell::StorePasswordCommand(ini, fds[0], out, err);
  ::close(fds[0]);
  o.out = Drain(out);
  o.err = Drain(err);
  std::fclose(out);
  std::fclose(err);
  return o;
}

TEST(StorePassword, TheFirstLineIsStoredAsTheConnectionReadsIt) {
  const std::string before = "[DB_PCName]\r\nDB_PCName=dbserver/3051\r\n[STAT_MAIN]\r\nDatabase=/db/s.fdb\r\n";
  struct Case {
    std::string input, stored;
  } cases[] = {
      {"masterkey\n", "masterkey"},
      {"masterkey\r\n", "masterkey"},
      {"masterkey", "masterkey"},
      {"first\nsecond\n", "first"},
      {" blanks kept \n", " blanks kept "},
      {"%quoted'\n", "%quoted'"},
      {C("Пароль1") + "\n", C("Пароль1")},
  };
  for (const Case& c : cases) {
    testshell::TempDir dir;
    dir.write("Morqa.ini", before + "[Password]\r\nPassword=old\r\n");
    const Outcome o = Store(dir.path + "Morqa.ini", c.input);
    EXPECT_EQ(o.rc, 0) << c.input << o.err;
    EXPECT_EQ(o.err, "") << c.input;
    EXPECT_EQ(o.out, "Пароль записан в зашифрованном виде в файл " + dir.path + "Morqa.ini\n");
    platform::TIniFile ini(dir.path + "Morqa.ini");
    EXPECT_EQ(ReadStoredPassword(ini), c.stored) << c.input;
    EXPECT_EQ(dir.read("Morqa.ini"), before + "[Password]\r\nPassword=\"" + StoredPasswordValue(c.stored) + "\"\r\n");
  }
  // No settings file yet: it is made.
  testshell::TempDir dir;
  EXPECT_EQ(Store(dir.path + "Morqa.ini", "masterkey\n").rc, 0);
  EXPECT_EQ(ReadStoredPassword(platform::TIniFile(dir.path + "Morqa.ini")), "masterkey");
}

TEST(StorePassword, WhatCannotBeStoredIsRefusedWithItsReason) {
  const std::string ini = "[Password]\r\nPassword=old\r\n";
  struct Case {
    std::string input;
    bool readOnly;
    const char* reason;
  } cases[] = {
      {"", false, "Пароль не задан"},
      {"\n", false, "Пароль не задан"},
      {"\r\nsecond\n", false, "Пароль не задан"},
      {std::string(256, 'k') + "\n", false, "Пароль длиннее 255 символов"},
      // Its enciphered form holds a line break.
      {"gs\n", false, "содержит перевод строки"},
      {"masterkey\n", true, "the file is read-only"},
  };
  for (const Case& c : cases) {
    testshell::TempDir dir;
    dir.write("Morqa.ini", ini);
    if (c.readOnly) {
      ASSERT_EQ(::chmod((dir.path + "Morqa.ini").c_str(), 0444), 0);
    }
    const Outcome o = Store(dir.path + "Morqa.ini", c.input);
    EXPECT_EQ(o.rc, 2) << c.input;
    EXPECT_EQ(o.out, "") << c.input;
    EXPECT_NE(o.err.find(c.reason), std::string::npos) << c.input << ": " << o.err;
    EXPECT_EQ(dir.read("Morqa.ini"), ini) << c.input;
  }
}

}  // namespace
