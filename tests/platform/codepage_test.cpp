#include "platform/codepage.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(Codepage, OemAnsiAndUtf8) {
  // OEM "АБВ" (80 81 82), "а" (A0), "р" (E0), "Ё" (F0), "ё" (F1) against their CP1251 bytes.
  EXPECT_EQ(Cp866ToCp1251("\x80\x81\x82\xA0\xE0\xF0\xF1"), "\xC0\xC1\xC2\xE0\xF0\xA8\xB8");
  EXPECT_EQ(Cp1251ToCp866("\xC0\xC1\xC2\xE0\xF0\xA8\xB8"), "\x80\x81\x82\xA0\xE0\xF0\xF1");
  EXPECT_EQ(Cp866ToCp1251("plain ASCII 123"), "plain ASCII 123");
  EXPECT_EQ(Cp1251ToUtf8("\xCF\xF0\xE8\xE2\xE5\xF2"), "Привет");
  EXPECT_EQ(Utf8ToCp1251("Привет"), "\xCF\xF0\xE8\xE2\xE5\xF2");
  // A character CP1251 lacks becomes '?', an invalid UTF-8 byte too.
  EXPECT_EQ(Utf8ToCp1251("a\xE4\xB8\xAD" "b"), "a?b");
  EXPECT_EQ(Utf8ToCp1251("a\xFF" "b"), "a?b");
  for (int i = 0; i < 128; ++i) EXPECT_EQ(OemToAnsiTable()[i], i);
}
