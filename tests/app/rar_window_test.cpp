// The RAR component of the main window: the outside library is loaded when the window is
// made and let go when it is destroyed. The test runs with a stand-in of the library under
// its usual name on the library path (see CMakeLists.txt).
#include <gtest/gtest.h>

#include <cstdlib>

#include "archive/arcUnRar.h"
#include "shell_fakes.h"

using namespace testshell;

namespace {

TEST(RarComponent, TheLibraryIsLoadedWithTheWindowAndLetGoWithIt) {
  if (!std::getenv("KESTA_FAKE_UNRAR_DIR")) GTEST_SKIP() << "no stand-in of the RAR library on the library path";
  arc::FreeUnRarLibrary();
  ASSERT_FALSE(arc::UnRarLibraryLoaded());
  for (int round = 0; round < 2; ++round) {
    Shell sh(true, "");
    sh.create();
    ASSERT_NE(sh.w->UnRar1, nullptr);
    EXPECT_TRUE(arc::UnRarLibraryLoaded()) << round;
    EXPECT_TRUE(sh.prompt.msgs.empty());
    sh.w.reset();
    EXPECT_FALSE(arc::UnRarLibraryLoaded()) << round;
  }
}

TEST(RarComponent, WithoutTheLibraryTheWindowStartsAsBefore) {
  arc::FreeUnRarLibrary();
  // A name that no library has: the fallbacks stay, as on a machine without the library.
  ASSERT_FALSE(arc::LoadUnRarLibrary("/nonexistent/libunrar.so"));
  Shell sh(true, "");
  sh.create();  // the window's own load sees that the library was looked for
  ASSERT_NE(sh.w->UnRar1, nullptr);
  EXPECT_FALSE(arc::UnRarLibraryLoaded());
  EXPECT_TRUE(sh.prompt.msgs.empty());
  EXPECT_TRUE(sh.w->activated());
  sh.w.reset();
  EXPECT_FALSE(arc::UnRarLibraryLoaded());
}

}  // namespace
