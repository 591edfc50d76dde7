// kesta-demo-data FOLDER: fills the demo folder (made when missing) with the demo clinic
// database, the settings files and one input for each task that reads files (see
// tools/DemoFolder.h). The folder is given as the file system names it (UTF-8).
#include <clocale>
#include <cstdio>
#include <exception>
#include <string>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "tools/DemoFolder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  // The database engine turns file names into the system's characters by the character
  // type of the locale, which the program itself takes from the environment at its start
  // (Qt does): without it a folder named in Cyrillic cannot be reached. Numbers and dates
  // never go through the locale.
  std::setlocale(LC_CTYPE, "");
  std::string dir = argv[1];
  if (dir.empty() || dir.back() != '/') dir += '/';
  try {
    demodata::MakeDemoFolder(platform::FromFsPath(dir));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s: %s\n", argv[0], platform::ExceptionClassName(e).c_str(),
                 platform::Cp1251ToUtf8(e.what()).c_str());
    return 1;
  }
  std::printf("Demo inputs written to %s\n", dir.c_str());
  return 0;
}
