#include <gtest/gtest.h>

#include "db/cds_value.h"
#include "platform/dates.h"

using cds::FType;
using cds::Value;

TEST(CdsValue, NullConversionsFollowThePlatform) {
  Value n = Value::Null(FType::I32);
  EXPECT_TRUE(n.isNull());
  EXPECT_EQ(n.asInteger(), 0);
  EXPECT_EQ(n.asString(), "");
  EXPECT_EQ(n.asDateTime(), 0.0);
  EXPECT_FALSE(n.asBoolean());
  EXPECT_TRUE(Value("").isNull());
  EXPECT_TRUE(Value::FromText("", FType::I32).isNull());
  EXPECT_TRUE(Value::FromText("", FType::Date).isNull());
}

struct TextCase {
  const char* text;
  FType type;
  int scale;
  const char* back;  // asString of the converted value
};

TEST(CdsValue, TextConvertsToTypedValues) {
  const TextCase cases[] = {
      {"123", FType::I32, 0, "123"},
      {"-32768", FType::I16, 0, "-32768"},
      {"9000000000", FType::I64, 0, "9000000000"},
      {"15.01.1980", FType::Date, 0, "15.01.1980"},
      {"01.03.2025 10:15:07", FType::Stamp, 0, "01.03.2025 10:15:07"},
      {"01.03.2025", FType::Stamp, 0, "01.03.2025 00:00:00"},
      {"14:30:00", FType::Time, 0, "14:30:00"},
      {"12.50", FType::Dec, 2, "12.5"},
      {"-0.125", FType::Dec, 3, "-0.125"},
      {"2.5", FType::F64, 0, "2.5"},
      {"True", FType::Bool, 0, "True"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.text);
    Value v = Value::FromText(c.text, c.type, c.scale);
    EXPECT_EQ(v.type(), c.type);
    EXPECT_FALSE(v.isNull());
    EXPECT_EQ(v.asString(), c.back);
  }
}

TEST(CdsValue, BadTextRaisesConvertError) {
  EXPECT_THROW(Value::FromText("12a", FType::I32), platform::EConvertError);
  EXPECT_THROW(Value::FromText("40000", FType::I16), platform::EConvertError);
  EXPECT_THROW(Value::FromText("31.02.2020", FType::Date), platform::EConvertError);
  EXPECT_THROW(Value::FromText("3000000000", FType::I32), platform::EConvertError);
}

TEST(CdsValue, StampsKeepTenThousandthsAndDateTimeNumbers) {
  double dt = platform::EncodeDate(2025, 3, 1) + platform::EncodeTime(10, 15, 0, 0);
  Value s = Value::DateTime(dt);
  EXPECT_EQ(s.rawInt(), static_cast<int64_t>(dt) * cds::kTicksPerDay + (10 * 3600 + 15 * 60) * cds::kTicksPerSecond);
  EXPECT_DOUBLE_EQ(s.asDateTime(), dt);
  Value fine = Value::Stamp(s.rawInt() + 7);  // 0.7 ms
  EXPECT_NE(Value::compare(fine, s), 0);
  EXPECT_EQ(Value::Date(2000, 1, 1).asDateTime(), platform::EncodeDate(2000, 1, 1));
  EXPECT_EQ(Value::Date(1899, 12, 30).rawInt(), 0);
  // A date against a stamp of the same midnight compares equal.
  EXPECT_EQ(Value::compare(Value::Date(2000, 1, 1).convertTo(FType::Stamp), Value::DateTime(platform::EncodeDate(2000, 1, 1))), 0);
}

TEST(CdsValue, CompareOrdersNullsFirstAndFoldsOnlyAscii) {
  EXPECT_LT(Value::compare(Value::Null(FType::I32), Value::Int32(-5)), 0);
  EXPECT_EQ(Value::compare(Value::Null(FType::Str), Value("")), 0);
  EXPECT_EQ(Value::compare(Value("abc"), Value("ABC"), true), 0);
  EXPECT_NE(Value::compare(Value("abc"), Value("ABC"), false), 0);
  // CP1251 small and capital I (0xE8, 0xC8) stay apart under the case-insensitive option.
  EXPECT_NE(Value::compare(Value("\xE8"), Value("\xC8"), true), 0);
  // Bytes compare unsigned: 0xC0 sorts after 'z'.
  EXPECT_GT(Value::compare(Value("\xC0"), Value("z")), 0);
  EXPECT_LT(Value::compare(Value::Decimal(125, 2), Value::Decimal(13, 1)), 0);
}

TEST(CdsValue, DecimalTextAndRounding) {
  int64_t v;
  ASSERT_TRUE(cds::TextToDecimal("1.235", 2, v));
  EXPECT_EQ(v, 124);
  ASSERT_TRUE(cds::TextToDecimal("-1.235", 2, v));
  EXPECT_EQ(v, -124);
  EXPECT_FALSE(cds::TextToDecimal("1.2.3", 2, v));
  EXPECT_FALSE(cds::TextToDecimal("99999999999999999999", 0, v));
  EXPECT_EQ(cds::DecimalToText(-5, 3), "-0.005");
  EXPECT_EQ(cds::DecimalToText(INT64_MIN, 0), "-9223372036854775808");
  EXPECT_EQ(Value::Decimal(250, 2).asInteger(), 3);
}
