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

// A conversion takes room for about what it makes: a long text is not held several
// times over (the result keeps the room it was made in).
TEST(Codepage, LongTextsTakeRoomForWhatTheyMake) {
  std::string cyrillicUtf8, cp1251, euro;
  for (int i = 0; i < 100000; ++i) {
    cyrillicUtf8 += "Привет, ";
    cp1251 += "\xCF\xF0\xE8\xE2\xE5\xF2, ";
    euro += "\x88";  // CP1251 euro sign: three bytes in UTF-8
  }
  struct Case {
    const char* what;
    std::string in, expected, got;
  };
  const Case cases[] = {
      {"UTF-8 to CP1251", cyrillicUtf8, cp1251, Utf8ToCp1251(cyrillicUtf8)},
      {"CP1251 to UTF-8", cp1251, cyrillicUtf8, Cp1251ToUtf8(cp1251)},
      {"CP1251 to UTF-8, three bytes each", euro, "", Cp1251ToUtf8(euro)},
      {"CP1251 to CP866", cp1251, Cp1251ToCp866(cp1251), Cp1251ToCp866(cp1251)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.expected.empty()) {
      EXPECT_EQ(c.got, c.expected);
    }
    EXPECT_LE(c.got.capacity(), c.got.size() + c.got.size() / 4 + 64) << c.got.size();
  }
  EXPECT_EQ(cases[2].got.size(), 3 * euro.size());
  EXPECT_EQ(cases[2].got.substr(0, 3), "\xE2\x82\xAC");
}
