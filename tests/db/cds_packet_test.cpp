#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>

#include "cds_test_util.h"
#include "db/DataPacket.h"
#include "platform/dates.h"
#include "support/PeakMemory.h"

using cds::FType;
using cds::TClientDataSet;
using cds::Value;
using cdstest::AddRow;
using cdstest::F;

namespace {

std::string WriteFile(const std::filesystem::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return p.string();
}

std::string AllHighBytes() {
  std::string s;
  for (int c = 0x80; c <= 0xFF; ++c) s += static_cast<char>(c);
  return s;
}

void MakeAllTypes(TClientDataSet& ds) {
  ds.SetFieldDefs({F("ID", FType::I32), F("SMALL", FType::I16), F("BIG", FType::I64), F("REAL", FType::F64),
                   F("MONEY", FType::Dec, 18, 4), F("FLAG", FType::Bool), F("NAME", FType::Str, 300),
                   F("BIRTHDAY", FType::Date), F("CALL_TIME", FType::Time), F("DATE_INPUT", FType::Stamp),
                   F("NOTE", FType::Memo), F("FORMA_BLOB", FType::Blob)});
  ds.CreateDataSet();
  double stamp = platform::EncodeDate(2025, 3, 1) + platform::EncodeTime(10, 15, 7, 123);
  std::string blob("\0\x01\xFF<>&\"'", 8);
  AddRow(ds, {1, Value::Int16(-32768), Value::Int64(9000000000123LL), Value::Float(-1.0 / 3.0),
              Value::Decimal(-123456789, 4), Value::Boolean(true),
              "A<B>&\"'" + AllHighBytes(), Value::Date(1980, 1, 15), Value::Time(14 * 36000000 + 30 * 600000 + 5 * 10000 + 120),
              Value::DateTime(stamp), Value::Text("line1\r\nline2\t\x01 \xC8", FType::Memo), Value::Text(blob, FType::Blob)});
  AddRow(ds, {2, Value(), Value(), Value(), Value(), Value(), Value(), Value(), Value(), Value(), Value(), Value()});
  AddRow(ds, {3, Value::Int16(32767), Value::Int64(-1), Value::Float(1e300), Value::Decimal(5, 4), Value::Boolean(false),
              "x", Value::Date(1, 1, 1), Value::Time(0), Value::Stamp(0), Value::Text("m", FType::Memo),
              Value::Text("\x7F", FType::Blob)});
  AddRow(ds, {4, 0, Value::Int64(0), Value::Float(0.0), Value::Decimal(0, 4), Value::Boolean(true), "\xC8\xE2\xE0\xED",
              Value::Date(9999, 12, 31), Value::Time(86399 * 10000 + 9990), Value::DateTime(platform::EncodeDate(1899, 12, 29) + 0.25),
              Value(), Value()});
  ds.MergeChangeLog();
}

void ExpectSameRows(TClientDataSet& a, TClientDataSet& b) {
  ASSERT_EQ(a.FieldCount(), b.FieldCount());
  for (int c = 0; c < a.FieldCount(); ++c) {
    EXPECT_EQ(a.Fields(c).FieldName(), b.Fields(c).FieldName());
    EXPECT_EQ(a.Fields(c).DataType(), b.Fields(c).DataType()) << a.Fields(c).FieldName();
  }
  ASSERT_EQ(a.RecordCount(), b.RecordCount());
  a.First();
  b.First();
  for (; !a.Eof(); a.Next(), b.Next()) {
    for (int c = 0; c < a.FieldCount(); ++c) {
      Value x = a.Fields(c).AsValue(), y = b.Fields(c).AsValue();
      EXPECT_EQ(x.isNull(), y.isNull()) << "row " << a.Fields(0).AsString() << " " << a.Fields(c).FieldName();
      EXPECT_EQ(Value::compare(x, y), 0) << "row " << a.Fields(0).AsString() << " " << a.Fields(c).FieldName() << ": "
                                         << x.asString() << " vs " << y.asString();
    }
  }
}

}  // namespace

TEST(CdsPacket, RoundTripEveryFieldTypeThroughBothForms) {
  TClientDataSet src;
  MakeAllTypes(src);
  auto dir = cdstest::TempDir();
  for (auto fmt : {cds::TDataPacketFormat::dfXML, cds::TDataPacketFormat::dfBinary}) {
    SCOPED_TRACE(fmt == cds::TDataPacketFormat::dfXML ? "xml" : "binary");
    // The form is told by content, not by the file name.
    std::string name = (dir / (fmt == cds::TDataPacketFormat::dfXML ? "p.bin" : "p.xml")).string();
    src.SaveToFile(name, fmt);
    TClientDataSet back;
    back.LoadFromFile(name);
    ExpectSameRows(src, back);
    EXPECT_EQ(back.ChangeCount(), 0);
    EXPECT_EQ(back.FieldDefs()[4].Scale, 4);
  }
  std::filesystem::remove_all(dir);
}

TEST(CdsPacket, XmlWithCp1251ReferencesRowStatesAndMissingAttributes) {
  const std::string xml =
      "<?xml version=\"1.0\" standalone=\"yes\"?>\r\n"
      "<DATAPACKET Version=\"2.0\">\r\n<METADATA><FIELDS>"
      "<FIELD attrname=\"IDP\" fieldtype=\"i4\" required=\"true\"/>"
      "<FIELD attrname=\"LAST_NAME\" fieldtype=\"string\" WIDTH=\"40\"/>"
      "<FIELD attrname=\"BIRTHDAY\" fieldtype=\"date\"/>"
      "<FIELD attrname=\"DATE_INPUT\" fieldtype=\"SQLdateTime\"/>"
      "<FIELD attrname=\"NOTE\" fieldtype=\"bin.hex\" SUBTYPE=\"Text\" WIDTH=\"8\"/>"
      "<FIELD attrname=\"SUM\" fieldtype=\"fixed\" DECIMALS=\"2\" WIDTH=\"15\"/>"
      "<FIELD attrname=\"RATE\" fieldtype=\"r8\" SUBTYPE=\"Money\"/>"
      "<FIELD attrname=\"OK\" fieldtype=\"boolean\"/>"
      "<FIELD attrname=\"KIND\" fieldtype=\"ui1\"/>"
      "</FIELDS><PARAMS CHANGE_LOG=\"1 0 4 2 0 4\" LCID=\"1049\"/></METADATA>\r\n<ROWDATA>\r\n"
      "<ROW RowState=\"4\" IDP=\"1500000001\" LAST_NAME=\"&#200;&#226;&#224;&#237;&#238;&#226;\" "
      "BIRTHDAY=\"19800115\" DATE_INPUT=\"20250301T10:15:00000\" NOTE=\"a&amp;b&#13;&#10;c\" SUM=\"12.34\" "
      "RATE=\"1.5\" OK=\"TRUE\" KIND=\"255\"/>\r\n"
      "<ROW RowState=\"1\" IDP=\"7\" LAST_NAME=\"old\" SUM=\"1.5\"/>\r\n"  // original version: dropped
      "<ROW RowState=\"8\" IDP=\"7\" LAST_NAME=\"&#x41e;&#1082;\" DATE_INPUT=\"20250302T23:59:59\"/>\r\n"
      "<ROW RowState=\"2\" IDP=\"8\"/>\r\n"                          // deleted: dropped
      "<!-- a comment --><ROW IDP=\"9\" LAST_NAME=\"&lt;&quot;&apos;&gt;\xC0\" OK=\"false\"/>\r\n"
      "</ROWDATA></DATAPACKET>\r\n";
  auto dir = cdstest::TempDir();
  std::string name = WriteFile(dir / "PATIENT.xml", xml);
  TClientDataSet ds;
  ds.LoadFromFile(name);
  ASSERT_EQ(ds.RecordCount(), 3);
  EXPECT_EQ(ds.Fields(0).FieldName(), "IDP");
  EXPECT_EQ(ds.FieldByName("KIND").DataType(), FType::I16);
  ds.First();
  EXPECT_EQ(ds.FieldByName("IDP").AsInteger(), 1500000001);
  EXPECT_EQ(ds.FieldByName("LAST_NAME").AsString(), "\xC8\xE2\xE0\xED\xEE\xE2");
  EXPECT_EQ(ds.FieldByName("BIRTHDAY").AsString(), "15.01.1980");
  EXPECT_EQ(ds.FieldByName("DATE_INPUT").AsString(), "01.03.2025 10:15:00");
  EXPECT_EQ(ds.FieldByName("NOTE").AsString(), "a&b\r\nc");
  EXPECT_EQ(ds.FieldByName("SUM").AsString(), "12.34");
  EXPECT_DOUBLE_EQ(ds.FieldByName("RATE").AsFloat(), 1.5);
  EXPECT_TRUE(ds.FieldByName("OK").AsBoolean());
  EXPECT_EQ(ds.FieldByName("KIND").AsInteger(), 255);
  ds.Next();
  EXPECT_EQ(ds.FieldByName("IDP").AsInteger(), 7);
  EXPECT_EQ(ds.FieldByName("LAST_NAME").AsString(), "\xCE\xEA");  // references above 255 are Unicode
  EXPECT_TRUE(ds.FieldByName("BIRTHDAY").IsNull());                 // missing attribute
  EXPECT_EQ(ds.FieldByName("DATE_INPUT").AsString(), "02.03.2025 23:59:59");
  EXPECT_EQ(ds.FieldByName("SUM").AsString(), "1.5");  // not in the modified row: kept from the original
  ds.Next();
  EXPECT_EQ(ds.FieldByName("LAST_NAME").AsString(), "<\"'>\xC0");    // raw bytes are CP1251
  EXPECT_FALSE(ds.FieldByName("OK").AsBoolean());
  EXPECT_FALSE(ds.FieldByName("OK").IsNull());
  std::filesystem::remove_all(dir);
}

TEST(CdsPacket, XmlDeclaredUtf8IsDecodedToCp1251) {
  const std::string xml =
      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
      "<DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
      "<FIELD attrname=\"F_DATE_BEGIN\" fieldtype=\"date\"/><FIELD attrname=\"NAME\" fieldtype=\"string.uni\" WIDTH=\"20\"/>"
      "</FIELDS><PARAMS/></METADATA><ROWDATA>"
      "<ROW F_DATE_BEGIN=\"20240101\" NAME=\"\xD0\x98\xD0\xB2&#1072;&#200;\"/>"
      "</ROWDATA></DATAPACKET>";
  TClientDataSet ds;
  cds::ReadDataPacketBytes(xml, "INTERVAL.xml", ds);
  ds.First();
  // "Ив" raw UTF-8, "а" by reference, and &#200; is U+00C8, which CP1251 lacks.
  EXPECT_EQ(ds.FieldByName("NAME").AsString().substr(0, 3), "\xC8\xE2\xE0");
  EXPECT_EQ(ds.FieldByName("F_DATE_BEGIN").AsDateTime(), platform::EncodeDate(2024, 1, 1));
}

namespace {

// Little-endian byte builder for hand-made binary packets.
struct Bytes {
  std::string s;
  Bytes& u(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) {
      s += static_cast<char>(v & 0xFF);
      v >>= 8;
    }
    return *this;
  }
  Bytes& str(std::string_view t) {
    s += static_cast<char>(t.size());
    s += t;
    return *this;
  }
  Bytes& raw(std::string_view t) {
    s += t;
    return *this;
  }
  // Puts the size of what follows the 24-byte header so far into the header's metadata
  // size: called after the packet properties.
  Bytes& endMeta() {
    const size_t n = s.size() - 24;
    s[22] = static_cast<char>(n & 0xFF);
    s[23] = static_cast<char>((n >> 8) & 0xFF);
    return *this;
  }
  Bytes& f64(double d) {
    uint64_t x;
    std::memcpy(&x, &d, 8);
    return u(x, 8);
  }
};

std::string HandBuiltCalls() {
  Bytes b;
  b.raw("\x96\x19\xE0\xBD").u(1, 4).u(18, 4).u(6, 2).u(4, 4).u(3, 4).u(0, 2);
  b.str("ID_SMP_CALLS").u(4, 2).u(1, 2).u(4, 2).u(0, 2);                      // int32, required
  b.str("PATIENT_ADDRESS").u(1, 2).u(0x49, 2).u(0, 2).u(1, 2).str("WIDTH").u(2, 2).u(1, 2).u(120, 2);  // varying, 1-byte length
  b.str("CALL_DATE").u(4, 2).u(6, 2).u(0, 2).u(0, 2);
  b.str("CALL_TIME").u(4, 2).u(7, 2).u(0, 2).u(0, 2);
  b.str("FORMA").u(4, 2).u(0x4B, 2).u(0, 2).u(1, 2).str("SUBTYPE").u(4, 2).u(9, 2).raw("Text");  // blob with 4-byte length
  b.str("AGE_VALUE").u(2, 2).u(1, 2).u(0, 2).u(0, 2);                          // int16
  b.u(0, 2).endMeta();                                                         // no packet properties
  // Row 1: every field set.
  b.u(0, 1).u(0, 1).u(0, 1);
  b.u(101, 4).u(3, 1).raw("\xD3\xEB.").u(693594 + 45000, 4).u((14 * 3600 + 30 * 60) * 1000 + 250, 4).u(5, 4).raw("form1").u(45, 2);
  // Row 2: address and time null (status 1), age "not changed" (status 2), which reads as
  // null in a row that has no original; an empty memo.
  b.u(0, 1).u(0x04 | 0x40, 1).u(0x08, 1);
  b.u(102, 4).u(693594, 4).u(0, 4);
  // Row 3: the original version of a modified row: skipped, but its data (the id and the
  // address; the other fields are "null and not changed", status 3) is read past.
  b.u(1, 1).u(0xF0, 1).u(0x0F, 1);
  b.u(103, 4).u(2, 1).raw("ab");
  // Row 4: a new row with an empty varying text.
  b.u(4, 1).u(0, 1).u(0x0F, 1);
  b.u(104, 4).u(0, 1).u(693594 + 1, 4).u(0, 4);
  return b.s;
}

}  // namespace

TEST(CdsPacket, HandBuiltBinaryPacketWithNullsAndVaryingStrings) {
  const std::string bytes = HandBuiltCalls();
  TClientDataSet ds;
  cds::ReadDataPacketBytes(bytes, "SMP_CALLS.bin", ds);
  ASSERT_EQ(ds.FieldCount(), 6);
  EXPECT_EQ(ds.FieldByName("ID_SMP_CALLS").DataType(), FType::I32);
  EXPECT_TRUE(ds.FieldByName("ID_SMP_CALLS").Def().Required);
  EXPECT_EQ(ds.FieldByName("PATIENT_ADDRESS").DataType(), FType::Str);
  EXPECT_EQ(ds.FieldByName("CALL_DATE").DataType(), FType::Date);
  EXPECT_EQ(ds.FieldByName("CALL_TIME").DataType(), FType::Time);
  EXPECT_EQ(ds.FieldByName("AGE_VALUE").DataType(), FType::I16);
  EXPECT_EQ(ds.FieldByName("FORMA").DataType(), FType::Memo);
  EXPECT_EQ(ds.FieldByName("PATIENT_ADDRESS").Size(), 120);
  // The original version (row 3) is not loaded: rows 1, 2 and 4 only, so its data was read past.
  ASSERT_EQ(ds.RecordCount(), 3);
  ds.First();
  EXPECT_EQ(ds.FieldByName("ID_SMP_CALLS").AsInteger(), 101);
  EXPECT_EQ(ds.FieldByName("PATIENT_ADDRESS").AsString(), "\xD3\xEB.");
  EXPECT_EQ(ds.FieldByName("CALL_DATE").AsDateTime(), 45000.0);
  EXPECT_EQ(ds.FieldByName("CALL_TIME").AsString(), "14:30:00");
  EXPECT_EQ(ds.FieldByName("CALL_TIME").AsValue().rawInt(), (14 * 3600 + 30 * 60) * 10000 + 2500);
  EXPECT_EQ(ds.FieldByName("FORMA").AsString(), "form1");
  EXPECT_EQ(ds.FieldByName("AGE_VALUE").AsInteger(), 45);
  ds.Next();
  EXPECT_EQ(ds.FieldByName("ID_SMP_CALLS").AsInteger(), 102);
  EXPECT_TRUE(ds.FieldByName("PATIENT_ADDRESS").IsNull());
  EXPECT_TRUE(ds.FieldByName("CALL_TIME").IsNull());
  EXPECT_TRUE(ds.FieldByName("AGE_VALUE").IsNull());
  EXPECT_FALSE(ds.FieldByName("CALL_DATE").IsNull());
  EXPECT_EQ(ds.FieldByName("CALL_DATE").AsString(), "30.12.1899");
  EXPECT_TRUE(ds.FieldByName("FORMA").IsNull());  // an empty memo is null
  ds.Next();
  EXPECT_EQ(ds.FieldByName("ID_SMP_CALLS").AsInteger(), 104);
  EXPECT_TRUE(ds.FieldByName("PATIENT_ADDRESS").IsNull());  // empty text is null
  EXPECT_EQ(ds.FieldByName("CALL_DATE").AsString(), "31.12.1899");
  EXPECT_EQ(ds.FieldByName("CALL_TIME").AsString(), "00:00:00");
  EXPECT_TRUE(ds.FieldByName("FORMA").IsNull());
  EXPECT_TRUE(ds.FieldByName("AGE_VALUE").IsNull());
  ds.Next();
  EXPECT_TRUE(ds.Eof());

  // Damaged versions: the error names the file, the row and, inside a row, the field.
  struct Damage {
    const char* what;
    std::string bytes;
    std::vector<const char*> named;
  };
  const size_t row3 = bytes.find(std::string("\x01\xF0\x0F", 3));
  ASSERT_NE(row3, std::string::npos);
  std::string shortRow3 = bytes;
  shortRow3.erase(row3 + 3 + 4 + 1 + 1, 1);  // the address "ab" loses a byte: the rest shifts by one
  const std::vector<Damage> cases = {
      {"a stray byte after the last row", bytes + std::string(1, '\0'), {"row 5"}},
      {"the last row cut inside its time", bytes.substr(0, bytes.size() - 2), {"row 4", "field CALL_TIME"}},
      {"row 3 one byte short", shortRow3, {"row 4", "field"}},
  };
  for (const Damage& c : cases) {
    SCOPED_TRACE(c.what);
    TClientDataSet bad;
    try {
      cds::ReadDataPacketBytes(c.bytes, "SMP_CALLS.bin", bad);
      ADD_FAILURE() << "damaged packet loaded";
    } catch (const cds::EDBClient& e) {
      const std::string msg = e.what();
      EXPECT_EQ(msg.rfind("SMP_CALLS.bin: ", 0), 0u) << msg;
      for (const char* n : c.named) EXPECT_NE(msg.find(n), std::string::npos) << n << " in " << msg;
    }
    EXPECT_FALSE(bad.Active());
  }
}

namespace {

// Float fields named F0000, F0001, ...
std::string WideFieldName(int i) {
  char name[8];
  std::snprintf(name, sizeof name, "F%04d", i);
  return name;
}

// An XML packet of `fields` float fields and `rows` rows written as `row` (by default
// empty: every field null), with the PARAMS element given.
std::string WideXmlPacket(int fields, int rows, const std::string& params = "<PARAMS/>",
                          const std::function<std::string(int)>& row = nullptr) {
  std::string x = "<?xml version=\"1.0\" standalone=\"yes\"?><DATAPACKET Version=\"2.0\"><METADATA><FIELDS>";
  for (int i = 0; i < fields; ++i) x += "<FIELD attrname=\"" + WideFieldName(i) + "\" fieldtype=\"r8\"/>";
  x += "</FIELDS>" + params + "</METADATA><ROWDATA>";
  for (int i = 0; i < rows; ++i) x += row ? row(i) : std::string("<ROW/>");
  return x + "</ROWDATA></DATAPACKET>";
}

// A binary packet of `fields` float fields and `rows` rows with every field null; the
// header counts `headerRows` records.
std::string WideBinaryPacket(int fields, uint32_t rows, uint32_t headerRows) {
  Bytes b;
  b.raw("\x96\x19\xE0\xBD").u(1, 4).u(18, 4).u(static_cast<uint64_t>(fields), 2).u(headerRows, 4).u(3, 4).u(0, 2);
  for (int i = 0; i < fields; ++i) b.str(WideFieldName(i)).u(8, 2).u(4, 2).u(0, 2).u(0, 2);
  b.u(0, 2).endMeta();
  const std::string row = std::string(1, '\0') + std::string(static_cast<size_t>(fields + 3) / 4, '\x55');
  for (uint32_t r = 0; r < rows; ++r) b.raw(row);
  return b.s;
}

}  // namespace

// A packet of many fields and few rows loads, and its rows take room for what they are.
TEST(CdsPacket, WidePacketsOfFewRowsLoadInLittleMemory) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"WIDE.xml", WideXmlPacket(4500, 20)},
      {"WIDE.bin", WideBinaryPacket(4000, 20, 20)},
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    TClientDataSet ds;
    cds::ReadDataPacketBytes(bytes, name, ds);
    ASSERT_EQ(ds.RecordCount(), 20);
    ds.First();
    EXPECT_TRUE(ds.Fields(0).IsNull());
    EXPECT_TRUE(ds.Fields(ds.FieldCount() - 1).IsNull());
    // 20 records of 4500 slots are about 0.7 MB.
    EXPECT_LT(ds.MemoryUsed(), size_t(2) << 20);
  }
}

// A packet whose rows would take more memory than its size allows is refused, naming
// the file, before its rows pass that bound; a header that counts more records than its
// bytes can hold is damaged.
TEST(CdsPacket, PacketsWhoseRowsPassTheBoundOfTheirSizeAreRefused) {
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::string> named;
  };
  // Pairs of an original and its modified row, the change log naming each original.
  std::string log;
  for (int i = 0; i < 1000; ++i) log += std::to_string(2 * i + 2) + " " + std::to_string(2 * i + 1) + " 8 ";
  const std::string kept = WideXmlPacket(2000, 2000, "<PARAMS CHANGE_LOG=\"" + log + "\"/>", [](int i) {
    return std::string(i % 2 ? "<ROW RowState=\"8\"/>" : "<ROW RowState=\"1\"/>");
  });
  const std::string wideXml = WideXmlPacket(4500, 20000);
  const std::string wideBin = WideBinaryPacket(4000, 3000, 3000);
  const std::vector<Case> cases = {
      {"WIDE.xml", wideXml, {"WIDE.xml: row ", "the rows of 4500 fields take more than",
                             "data packet of " + std::to_string(wideXml.size()) + " bytes", "refused"}},
      {"WIDE.bin", wideBin, {"WIDE.bin: 3000 rows of 4000 fields would take ",
                             "data packet of " + std::to_string(wideBin.size()) + " bytes", "refused"}},
      {"KEPT.xml", kept, {"KEPT.xml: row ", "2000 fields", "refused"}},
      {"LIAR.bin", WideBinaryPacket(4000, 10, 1000000),
       {"LIAR.bin: damaged data packet: the header counts 1000000 records"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool viaFile : {false, true}) {
      TClientDataSet ds;
      std::string source = c.name;
      try {
        if (viaFile) {
          source = WriteFile(std::filesystem::path(testing::TempDir()) / c.name, c.bytes);
          ds.LoadFromFile(source);
        } else {
          cds::ReadDataPacketBytes(c.bytes, source, ds);
        }
        ADD_FAILURE() << "loaded " << ds.RecordCount() << " rows, " << (ds.MemoryUsed() >> 20) << " MB";
      } catch (const cds::EDBClient& e) {
        std::string msg = e.what();
        // Through a file the error names the file's path.
        if (viaFile) msg.replace(0, source.size(), c.name);
        for (const std::string& n : c.named) EXPECT_NE(msg.find(n), std::string::npos) << n << " in " << msg;
      }
      EXPECT_FALSE(ds.Active());
      if (viaFile) std::filesystem::remove(source);
    }
  }
}

TEST(CdsPacket, EveryTruncationOfABinaryPacketFailsCleanly) {
  TClientDataSet src;
  MakeAllTypes(src);
  std::string bytes = cds::BinaryPacketOf(src);
  int loaded = 0;
  for (size_t n = 0; n < bytes.size(); ++n) {
    TClientDataSet ds;
    try {
      cds::ReadDataPacketBytes(std::string_view(bytes).substr(0, n), "CUT.bin", ds);
      ++loaded;
    } catch (const cds::EDBClient& e) {
      EXPECT_NE(std::string(e.what()).find("CUT.bin"), std::string::npos);
    }
  }
  // A cut at a row boundary is caught by the header's record count.
  EXPECT_EQ(loaded, 0);
  // Random damage never crashes; it loads or raises EDBClient.
  std::mt19937 rng(7);
  for (int i = 0; i < 3000; ++i) {
    std::string m = bytes;
    for (int k = 0; k < 3; ++k) m[rng() % m.size()] = static_cast<char>(rng());
    TClientDataSet ds;
    try {
      cds::ReadDataPacketBytes(m, "X.bin", ds);
    } catch (const cds::EDBClient& e) {
      EXPECT_NE(std::string(e.what()).find("X.bin"), std::string::npos) << e.what();
    }
  }
}

struct BadXml {
  const char* what;
  std::string body;
  const char* mustContain;
};

TEST(CdsPacket, DamagedOrUnknownPacketsNameFileAndField) {
  const std::string head = "<?xml version=\"1.0\" standalone=\"yes\"?><DATAPACKET Version=\"2.0\"><METADATA><FIELDS>";
  const std::string fields = "<FIELD attrname=\"IDP\" fieldtype=\"i4\"/><FIELD attrname=\"BIRTHDAY\" fieldtype=\"date\"/>";
  const std::string mid = "</FIELDS><PARAMS/></METADATA><ROWDATA>";
  const std::string tail = "</ROWDATA></DATAPACKET>";
  const BadXml cases[] = {
      {"bad date", head + fields + mid + "<ROW IDP=\"1\"/><ROW IDP=\"2\" BIRTHDAY=\"1980-01-15\"/>" + tail,
       "row 2, field BIRTHDAY"},
      {"bad integer", head + fields + mid + "<ROW IDP=\"x1\"/>" + tail, "field IDP"},
      {"integer overflow", head + fields + mid + "<ROW IDP=\"2147483648\"/>" + tail, "field IDP"},
      {"nested field", head + "<FIELD attrname=\"DETAILS\" fieldtype=\"nested\"><FIELDS/></FIELD>" + mid + tail,
       "field DETAILS"},
      {"unknown type", head + "<FIELD attrname=\"GEO\" fieldtype=\"array\"/>" + mid + tail, "field GEO"},
      {"unterminated", head + fields + mid + "<ROW IDP=\"1", "damaged"},
      {"unclosed", head + fields + mid + "<ROW IDP=\"1\"/>", "damaged"},
      {"no fields", "<?xml version=\"1.0\"?><DATAPACKET><ROWDATA></ROWDATA></DATAPACKET>", "no field definitions"},
      {"other root", "<?xml version=\"1.0\"?><html></html>", "DATAPACKET"},
      {"bad reference", head + fields + mid + "<ROW IDP=\"1&#xZZ;\"/>" + tail, "field IDP"},
      {"unknown format", "PK\x03\x04 not a packet", "unknown data packet format"},
      {"empty file", "", "empty file"},
      {"bad signature only", "\x96\x19\xE0", "unknown data packet format"},
  };
  auto dir = cdstest::TempDir();
  for (const BadXml& c : cases) {
    SCOPED_TRACE(c.what);
    std::string name = WriteFile(dir / "DISEASES.xml", c.body);
    TClientDataSet ds;
    try {
      ds.LoadFromFile(name);
      ADD_FAILURE() << "loaded";
    } catch (const cds::EDBClient& e) {
      std::string msg = e.what();
      EXPECT_NE(msg.find("DISEASES.xml"), std::string::npos) << msg;
      EXPECT_NE(msg.find(c.mustContain), std::string::npos) << msg;
      EXPECT_FALSE(ds.Active());
    }
  }
  TClientDataSet ds;
  EXPECT_THROW(ds.LoadFromFile((dir / "MISSING.xml").string()), cds::EDBClient);
  std::filesystem::remove_all(dir);
}

TEST(CdsPacket, LoadKeepsIndexDefinitionsAndRebuildsThem) {
  TClientDataSet src;
  MakeAllTypes(src);
  std::string xml = cds::XmlPacketOf(src);
  TClientDataSet ds;
  ds.AddIndex("BY_NAME", "NAME");
  ds.SetIndexName("BY_NAME");
  cds::ReadDataPacketBytes(xml, "A.xml", ds);
  EXPECT_EQ(ds.IndexName(), "BY_NAME");
  EXPECT_EQ(cdstest::Walk(ds, "ID"), (std::vector<std::string>{"2", "1", "3", "4"}));
  EXPECT_TRUE(ds.FindKey({"x"}));
  EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 3);
}

TEST(CdsPacket, RandomDamageToAnXmlPacketNeverCrashes) {
  TClientDataSet src;
  MakeAllTypes(src);
  std::string xml = cds::XmlPacketOf(src);
  std::mt19937 rng(11);
  const char pokes[] = "<>\"'&#;/=x9 \x80";
  int loaded = 0;
  for (int i = 0; i < 4000; ++i) {
    std::string m = xml;
    for (int k = 0; k < 2; ++k) m[rng() % m.size()] = pokes[rng() % (sizeof pokes - 1)];
    if (i % 7 == 0) m.resize(rng() % m.size());
    TClientDataSet ds;
    try {
      cds::ReadDataPacketBytes(m, "X.xml", ds);
      ++loaded;
      EXPECT_LE(ds.RecordCount(), 4);
    } catch (const cds::EDBClient& e) {
      EXPECT_NE(std::string(e.what()).find("X.xml"), std::string::npos) << e.what();
    }
  }
  EXPECT_GT(loaded, 0);
}

TEST(CdsPacket, BinaryUtf16TextAndFixedTextAreDecoded) {
  Bytes b;
  b.raw("\x96\x19\xE0\xBD").u(1, 4).u(18, 4).u(3, 2).u(1, 4).u(3, 4).u(0, 2);
  b.str("WNAME").u(2, 2).u(0x4A, 2).u(0, 2).u(0, 2);   // varying UTF-16, 2-byte length in bytes
  b.str("CODE").u(6, 2).u(9, 2).u(0, 2).u(0, 2);       // fixed 6 bytes, NUL-padded
  b.str("FLAG").u(2, 2).u(3, 2).u(0, 2).u(0, 2);
  b.u(0, 2).endMeta();
  b.u(0, 1).u(0, 1);
  b.u(4, 2).raw(std::string("\x18\x04\x32\x04", 4)).raw(std::string("A1\0\0\0\0", 6)).u(0xFFFF, 2);
  TClientDataSet ds;
  cds::ReadDataPacketBytes(b.s, "W.bin", ds);
  ds.First();
  EXPECT_EQ(ds.FieldByName("WNAME").AsString(), "\xC8\xE2");
  EXPECT_EQ(ds.FieldByName("CODE").AsString(), "A1");
  EXPECT_TRUE(ds.FieldByName("FLAG").AsBoolean());
  // An odd byte count of UTF-16 text is damage.
  std::string bad = b.s;
  size_t at = bad.size() - 2 - 6 - 4 - 2;
  bad[at] = 3;
  EXPECT_THROW(cds::ReadDataPacketBytes(bad, "W.bin", ds), cds::EDBClient);
}

TEST(CdsPacket, BinaryModifiedRowTakesUnchangedFieldsFromItsOriginal) {
  Bytes b;
  b.raw("\x96\x19\xE0\xBD").u(1, 4).u(18, 4).u(3, 2).u(3, 4).u(3, 4).u(0, 2);
  b.str("ID").u(4, 2).u(1, 2).u(0, 2).u(0, 2);
  b.str("NAME").u(1, 2).u(0x49, 2).u(0, 2).u(0, 2);
  b.str("AGE").u(2, 2).u(1, 2).u(0, 2).u(0, 2);
  b.u(0, 2).endMeta();
  b.u(1, 1).u(0, 1).u(7, 4).u(3, 1).raw("old").u(30, 2);   // original version
  b.u(8, 1).u(0x02 | (0x02 << 4), 1).u(3, 1).raw("new");   // ID and AGE not changed
  b.u(0, 1).u(0x02 << 4, 1).u(8, 4).u(1, 1).raw("x");      // "not changed" without an original: null
  TClientDataSet ds;
  cds::ReadDataPacketBytes(b.s, "M.bin", ds);
  ASSERT_EQ(ds.RecordCount(), 2);
  ds.First();
  EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 7);
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), "new");
  EXPECT_EQ(ds.FieldByName("AGE").AsInteger(), 30);
  ds.Next();
  EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 8);
  EXPECT_TRUE(ds.FieldByName("AGE").IsNull());
}

// The change log pairs a modified row with the original it names, wherever that stands;
// without a log (or without an entry for the row) the row just before it is the original.
TEST(CdsPacket, XmlModifiedRowsArePairedThroughTheChangeLog) {
  auto packet = [](const std::string& params) {
    return "<DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
           "<FIELD attrname=\"ID\" fieldtype=\"i4\"/>"
           "<FIELD attrname=\"NAME\" fieldtype=\"string\" WIDTH=\"20\"/>"
           "<FIELD attrname=\"AGE\" fieldtype=\"i2\"/>"
           "</FIELDS>" + params + "</METADATA><ROWDATA>"
           "<ROW RowState=\"1\" ID=\"7\" NAME=\"seven\" AGE=\"30\"/>"
           "<ROW RowState=\"1\" ID=\"8\" NAME=\"eight\" AGE=\"40\"/>"
           "<ROW RowState=\"8\" NAME=\"seven, new\"/>"
           "<ROW RowState=\"8\" AGE=\"41\"/>"
           "<ROW RowState=\"4\" ID=\"9\" NAME=\"nine\"/>"
           "</ROWDATA></DATAPACKET>";
  };
  auto rows = [](const std::string& xml) {
    TClientDataSet ds;
    cds::ReadDataPacketBytes(xml, "P.xml", ds);
    std::vector<std::string> out;
    for (ds.First(); !ds.Eof(); ds.Next())
      out.push_back(ds.FieldByName("ID").AsString() + "/" + ds.FieldByName("NAME").AsString() + "/" +
                    ds.FieldByName("AGE").AsString());
    return out;
  };
  EXPECT_EQ(rows(packet("<PARAMS CHANGE_LOG=\"3 1 8 4 2 8 5 0 4\"/>")),
            (std::vector<std::string>{"7/seven, new/30", "8/eight/41", "9/nine/"}));
  // No log: by position, the first modified row follows the second original, and the
  // second one, which follows no original, keeps only what it carries.
  EXPECT_EQ(rows(packet("<PARAMS/>")), (std::vector<std::string>{"8/seven, new/40", "//41", "9/nine/"}));
  // A log without an entry for a row leaves that row to its position.
  EXPECT_EQ(rows(packet("<PARAMS CHANGE_LOG=\"4 1 8\"/>")),
            (std::vector<std::string>{"8/seven, new/40", "7/seven/41", "9/nine/"}));
  // A log naming a row that is not before the modified one, or not whole triples, is damage.
  for (const char* bad : {"3 5 8", "3 3 8", "3 1", "3 x 8", "-3 1 8"}) {
    SCOPED_TRACE(bad);
    try {
      rows(packet(std::string("<PARAMS CHANGE_LOG=\"") + bad + "\"/>"));
      FAIL() << "loaded";
    } catch (const cds::EDBClient& e) {
      EXPECT_NE(std::string(e.what()).find("P.xml"), std::string::npos) << e.what();
    }
  }
}

namespace {

// A binary packet of two fields (ID, AGE) with the given packet properties and rows.
std::string TwoFieldPacket(uint32_t records, const std::string& props, const std::string& rows, int metaDelta = 0) {
  Bytes b;
  b.raw("\x96\x19\xE0\xBD").u(1, 4).u(18, 4).u(2, 2).u(records, 4).u(3, 4).u(0, 2);
  b.str("ID").u(4, 2).u(1, 2).u(0, 2).u(0, 2);
  b.str("AGE").u(2, 2).u(1, 2).u(0, 2).u(0, 2);
  b.raw(props).endMeta();
  const size_t meta = static_cast<size_t>(static_cast<unsigned char>(b.s[22]) | (static_cast<unsigned char>(b.s[23]) << 8));
  const size_t fixed = meta + static_cast<size_t>(metaDelta);
  b.s[22] = static_cast<char>(fixed & 0xFF);
  b.s[23] = static_cast<char>((fixed >> 8) & 0xFF);
  return b.s + rows;
}

}  // namespace

TEST(CdsPacket, BinaryChangeLogAndHeaderCounts) {
  Bytes rows;
  rows.u(1, 1).u(0, 1).u(7, 4).u(30, 2);          // row 1: original of ID 7
  rows.u(1, 1).u(0, 1).u(8, 4).u(40, 2);          // row 2: original of ID 8
  rows.u(8, 1).u(0x02, 1).u(31, 2);               // row 3: ID not changed, AGE 31
  Bytes log;  // one packet property: CHANGE_LOG, three 4-byte numbers "3 1 8"
  log.u(1, 2).str("CHANGE_LOG").u(4, 2).u(0x80 | 2, 2).u(3, 4).u(3, 4).u(1, 4).u(8, 4);
  TClientDataSet ds;
  cds::ReadDataPacketBytes(TwoFieldPacket(3, log.s, rows.s), "L.bin", ds);
  ASSERT_EQ(ds.RecordCount(), 1);
  ds.First();
  EXPECT_EQ(ds.FieldByName("ID").AsInteger(), 7);  // by position it would be 8
  EXPECT_EQ(ds.FieldByName("AGE").AsInteger(), 31);
  TClientDataSet byPosition;
  cds::ReadDataPacketBytes(TwoFieldPacket(3, std::string("\0\0", 2), rows.s), "L.bin", byPosition);
  byPosition.First();
  EXPECT_EQ(byPosition.FieldByName("ID").AsInteger(), 8);

  // The header's record count and metadata size must match what the packet holds.
  struct Bad {
    const char* what;
    uint32_t records;
    int metaDelta;
    const char* message;
  };
  const Bad bad[] = {{"one record more", 4, 0, "3 records, the header says 4"},
                     {"one record less", 2, 0, "3 records, the header says 2"},
                     {"metadata longer", 3, 1, "the header says"},
                     {"metadata shorter", 3, -1, "the header says"}};
  for (const Bad& c : bad) {
    SCOPED_TRACE(c.what);
    TClientDataSet d;
    try {
      cds::ReadDataPacketBytes(TwoFieldPacket(c.records, log.s, rows.s, c.metaDelta), "H.bin", d);
      FAIL() << "loaded";
    } catch (const cds::EDBClient& e) {
      EXPECT_NE(std::string(e.what()).find("H.bin"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  // The writer's packets carry both counts as the reader checks them.
  TClientDataSet back;
  cds::ReadDataPacketBytes(cds::BinaryPacketOf(ds), "W.bin", back);
  EXPECT_EQ(back.RecordCount(), 1);
}

namespace {

// A packet whose change log multiplies one large text: one original row holding a memo
// of `textBytes` bytes and `modified` modified rows that each name it and take the memo
// from it (fields ID and NOTE), in the XML or the binary form.
std::string InheritingPacket(bool xml, size_t textBytes, int modified) {
  const std::string text(textBytes, 'a');
  if (xml) {
    std::string log;
    for (int i = 0; i < modified; ++i) log += std::to_string(i + 2) + " 1 8 ";
    std::string x = "<DATAPACKET Version=\"2.0\"><METADATA><FIELDS><FIELD attrname=\"ID\" fieldtype=\"i4\"/>"
                    "<FIELD attrname=\"NOTE\" fieldtype=\"bin.hex\" SUBTYPE=\"Text\"/></FIELDS><PARAMS CHANGE_LOG=\"" +
                    log + "\"/></METADATA><ROWDATA><ROW RowState=\"1\" ID=\"1\" NOTE=\"" + text + "\"/>";
    for (int i = 0; i < modified; ++i) x += "<ROW RowState=\"8\" ID=\"" + std::to_string(i + 2) + "\"/>";
    return x + "</ROWDATA></DATAPACKET>";
  }
  Bytes b;
  b.raw("\x96\x19\xE0\xBD").u(1, 4).u(18, 4).u(2, 2).u(static_cast<uint64_t>(modified) + 1, 4).u(3, 4).u(0, 2);
  b.str("ID").u(4, 2).u(1, 2).u(0, 2).u(0, 2);
  b.str("NOTE").u(4, 2).u(0x4B, 2).u(0, 2).u(1, 2).str("SUBTYPE").u(4, 2).u(9, 2).raw("Text");
  b.u(1, 2).str("CHANGE_LOG").u(4, 2).u(0x80 | 1, 2).u(static_cast<uint64_t>(modified) * 3, 4);
  for (int i = 0; i < modified; ++i) b.u(static_cast<uint64_t>(i) + 2, 4).u(1, 4).u(8, 4);
  b.endMeta();
  b.u(1, 1).u(0, 1).u(1, 4).u(textBytes, 4).raw(text);
  for (int i = 0; i < modified; ++i) b.u(8, 1).u(0x08, 1).u(static_cast<uint64_t>(i) + 2, 4);  // NOTE not changed
  return b.s;
}

}  // namespace

// Each modified row takes the original's memo: the copies count against the packet's
// budget, so a 1 MB packet that would make a gigabyte of text is refused as it passes
// the budget, naming the file, with the memory it took bounded. A few such rows load.
TEST(CdsPacket, TextsThatModifiedRowsInheritCountAgainstTheBudget) {
  for (bool xml : {true, false}) {
    SCOPED_TRACE(xml ? "XML" : "binary");
    const char* name = xml ? "LOG.xml" : "LOG.bin";
    const std::string big = InheritingPacket(xml, size_t(1) << 20, 1000);
    ASSERT_LT(big.size(), size_t(1100) << 10);
    const std::string path = WriteFile(std::filesystem::path(testing::TempDir()) / name, big);
    std::string msg;
    const long growthKb = testsupport::PeakRssGrowthKb([&] {
      TClientDataSet ds;
      try {
        ds.LoadFromFile(path);
        ADD_FAILURE() << "loaded " << ds.RecordCount() << " rows, " << (ds.MemoryUsed() >> 20) << " MB";
      } catch (const cds::EDBClient& e) {
        msg = e.what();
      }
      EXPECT_FALSE(ds.Active());
    });
    std::filesystem::remove(path);
    EXPECT_LT(growthKb, 200L * 1024) << msg;
    for (const std::string& part : {path + ": row ", std::string("the rows of 2 fields take more than the 49 MB"),
                                    "allowed for a data packet of " + std::to_string(big.size()) + " bytes",
                                    std::string("refused")})
      EXPECT_NE(msg.find(part), std::string::npos) << part << " in " << msg;

    TClientDataSet few;
    cds::ReadDataPacketBytes(InheritingPacket(xml, size_t(1) << 20, 3), name, few);
    ASSERT_EQ(few.RecordCount(), 3);
    few.First();
    EXPECT_EQ(few.FieldByName("ID").AsInteger(), 2);
    EXPECT_EQ(few.FieldByName("NOTE").AsString().size(), size_t(1) << 20);
  }
}

// The packets loaded with one budget share it: each fits alone, and together they are
// refused at the packet that passes it; a packet that fits what is left loads.
TEST(CdsPacket, PacketsSharingABudgetAreRefusedWhenTogetherTheyPassIt) {
  // 400 float fields: 3,200-byte records; 4,000 empty rows take about 12.8 MB.
  const std::string packet = WideXmlPacket(400, 4000);
  cds::TPacketBudget budget = cds::TPacketBudget::ForArchive(packet.size());
  ASSERT_GT(budget.Limit(), size_t(32) << 20);
  ASSERT_LT(budget.Limit(), size_t(48) << 20);
  std::vector<std::unique_ptr<TClientDataSet>> loaded;
  std::string msg;
  for (int i = 0; i < 10 && msg.empty(); ++i) {
    auto ds = std::make_unique<TClientDataSet>();
    try {
      cds::ReadDataPacketBytes(packet, "P" + std::to_string(i) + ".xml", *ds, &budget);
      loaded.push_back(std::move(ds));
    } catch (const cds::EDBClient& e) {
      msg = e.what();
      EXPECT_FALSE(ds->Active());
    }
  }
  EXPECT_EQ(loaded.size(), budget.Limit() / (size_t(4000) * loaded.front()->RowBytes())) << msg;
  for (const std::string& part : {"P" + std::to_string(loaded.size()) + ".xml: row ",
                                  "allowed for the data packets of an archive of " + std::to_string(packet.size()) +
                                      " bytes; the packet is refused"})
    EXPECT_NE(msg.find(part), std::string::npos) << part << " in " << msg;
  TClientDataSet small;
  cds::ReadDataPacketBytes(WideXmlPacket(400, 10), "S.xml", small, &budget);
  EXPECT_EQ(small.RecordCount(), 10);
  // Alone, each packet loads with a budget of its own.
  TClientDataSet alone;
  cds::ReadDataPacketBytes(packet, "A.xml", alone);
  EXPECT_EQ(alone.RecordCount(), 4000);
}

namespace {

// The message of the EDBClient that `fn` raises ("" when it raises none).
std::string Refusal(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const cds::EDBClient& e) {
    return e.what();
  }
  return "";
}

// A binary packet of one field of the given kind and size (properties already encoded)
// and one row holding `data`.
std::string OneFieldPacket(uint16_t size, uint16_t type, const std::string& props, int propCount,
                           const std::string& data) {
  Bytes b;
  b.raw("\x96\x19\xE0\xBD").u(1, 4).u(18, 4).u(1, 2).u(1, 4).u(3, 4).u(0, 2);
  b.str("V").u(size, 2).u(type, 2).u(0, 2).u(static_cast<uint64_t>(propCount), 2).raw(props);
  b.u(0, 2).endMeta();
  b.u(0, 1).u(0, 1).raw(data);
  return b.s;
}

}  // namespace

// Every field name the XML writer writes, its reader reads back: a CP1251 name stands
// in the rows as it is; a name no attribute can carry (a blank, "=", the row state's
// name, a second field of one name, none) is refused at write, naming it. The binary
// writer carries any name but an empty one.
TEST(CdsPacket, WritersWriteFieldNamesTheirReadersReadBack) {
  const std::vector<std::string> carried = {"\xD4\xC8\xCE", "ID", "rowstate", "\xC4\xE0\xF2\xE0_\xF0\xEE\xE6\xE4.",
                                            "A-B:C"};
  TClientDataSet ds;
  std::vector<cds::TFieldDef> defs;
  for (const std::string& n : carried) defs.push_back(F(n.c_str(), FType::Str, 20));
  ds.SetFieldDefs(defs);
  ds.CreateDataSet();
  std::vector<Value> row;
  for (size_t i = 0; i < carried.size(); ++i) row.push_back("v" + std::to_string(i) + "\xC6");
  AddRow(ds, row);
  for (bool xml : {true, false}) {
    SCOPED_TRACE(xml ? "XML" : "binary");
    TClientDataSet back;
    cds::ReadDataPacketBytes(xml ? cds::XmlPacketOf(ds) : cds::BinaryPacketOf(ds), "N", back);
    ASSERT_EQ(back.RecordCount(), 1);
    back.First();
    for (size_t i = 0; i < carried.size(); ++i) {
      EXPECT_EQ(back.Fields(static_cast<int>(i)).FieldName(), carried[i]);
      EXPECT_EQ(back.Fields(static_cast<int>(i)).AsString(), row[i].asString()) << carried[i];
    }
  }

  struct Refused {
    std::vector<std::string> names;
    const char* named;
  };
  const Refused refused[] = {{{"ID", "\xD4\xC8\xCE \xEF\xE0\xF6\xE8\xE5\xED\xF2\xE0"}, "a blank"},
                             {{"A=B"}, "a blank"},
                             {{"RowState"}, "a row's state"},
                             {{"ID", "NAME", "ID"}, "two fields"},
                             {{""}, "empty"}};
  for (const Refused& c : refused) {
    SCOPED_TRACE(c.names.back());
    TClientDataSet bad;
    std::vector<cds::TFieldDef> d;
    for (const std::string& n : c.names) d.push_back(F(n.c_str(), FType::I32));
    bad.SetFieldDefs(d);
    bad.CreateDataSet();
    AddRow(bad, std::vector<Value>(c.names.size(), Value(1)));
    const std::string msg = Refusal([&] { cds::XmlPacketOf(bad); });
    EXPECT_NE(msg.find("Field name '" + c.names.back() + "' cannot be written"), std::string::npos) << msg;
    EXPECT_NE(msg.find(c.named), std::string::npos) << msg;
    if (c.names.back().empty()) {
      EXPECT_NE(Refusal([&] { cds::BinaryPacketOf(bad); }), "");
    } else {
      TClientDataSet back;
      cds::ReadDataPacketBytes(cds::BinaryPacketOf(bad), "B", back);
      EXPECT_EQ(back.FieldDefs().back().Name, c.names.back());
    }
  }
}

// A UTF-8 packet names its fields in UTF-8 in its rows as in its FIELD elements; a row's
// attributes are found by name whatever their order and number (those naming no field
// are passed over).
TEST(CdsPacket, XmlRowAttributesAreFoundByName) {
  std::string fields, attrs;
  for (int i = 0; i < 3000; ++i) {
    fields += "<FIELD attrname=\"F" + std::to_string(i) + "\" fieldtype=\"i4\"/>";
    attrs += " X" + std::to_string(i) + "=\"1\"";  // names no field
  }
  const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
                          "<FIELD attrname=\"\xD0\xA4\xD0\x98\xD0\x9E\" fieldtype=\"string\" WIDTH=\"20\"/>" +
                          fields + "</FIELDS><PARAMS/></METADATA><ROWDATA><ROW" + attrs +
                          " F2999=\"7\" \xD0\xA4\xD0\x98\xD0\x9E=\"\xD0\x98\xD0\xB2\" F0=\"5\" F1500=\"6\"/></ROWDATA></DATAPACKET>";
  TClientDataSet ds;
  cds::ReadDataPacketBytes(xml, "U.xml", ds);
  ds.First();
  EXPECT_EQ(ds.Fields(0).FieldName(), "\xD4\xC8\xCE");
  EXPECT_EQ(ds.Fields(0).AsString(), "\xC8\xE2");
  EXPECT_EQ(ds.FieldByName("F0").AsInteger(), 5);
  EXPECT_EQ(ds.FieldByName("F1500").AsInteger(), 6);
  EXPECT_EQ(ds.FieldByName("F2999").AsInteger(), 7);
  EXPECT_TRUE(ds.FieldByName("F1").IsNull());
}

// Times and stamps keep the database's 1/10000 s through both writers; whole
// milliseconds are written as before ("mmm" in XML, 4-byte times in binary).
TEST(CdsPacket, TimesAndStampsKeepTheirTicksThroughBothWriters) {
  const int64_t day = 46000LL * cds::kTicksPerDay;
  const int32_t noon = 12 * 3600 * 10000;
  struct Case {
    Value time, stamp;
    const char* xmlTime;
    const char* xmlStamp;
    size_t binaryTimeSize;
  };
  const Case cases[] = {
      {Value::Time(noon + 1), Value::Stamp(day + noon + 1), "12:00:000001", "20251209T12:00:000001", 8},
      {Value::Time(noon + 1239), Value::Stamp(day + noon + 9999), "12:00:001239", "20251209T12:00:009999", 8},
      {Value::Time(noon + 1230), Value::Stamp(day + noon + 1230), "12:00:00123", "20251209T12:00:00123", 4},
      {Value::Time(86399 * 10000 + 9999), Value::Stamp(-day + 7), "23:59:599999", "17740119T00:00:000007", 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xmlTime);
    TClientDataSet ds;
    ds.SetFieldDefs({F("T", FType::Time), F("S", FType::Stamp)});
    ds.CreateDataSet();
    AddRow(ds, {c.time, c.stamp});
    const std::string xml = cds::XmlPacketOf(ds);
    EXPECT_NE(xml.find(std::string("T=\"") + c.xmlTime + "\""), std::string::npos) << xml;
    EXPECT_NE(xml.find(std::string("S=\"") + c.xmlStamp + "\""), std::string::npos) << xml;
    const std::string bin = cds::BinaryPacketOf(ds);
    EXPECT_EQ(static_cast<size_t>(static_cast<unsigned char>(bin[24 + 2])), c.binaryTimeSize);  // after the name "T"
    for (const std::string& packet : {xml, bin}) {
      TClientDataSet back;
      cds::ReadDataPacketBytes(packet, "T", back);
      back.First();
      EXPECT_EQ(back.FieldByName("T").AsValue().rawInt(), c.time.rawInt());
      EXPECT_EQ(back.FieldByName("S").AsValue().rawInt(), c.stamp.rawInt());
    }
  }
}

// A binary stamp on day 0 (before 01.01.0001) names no date and is refused; day 1 loads
// and goes through the XML writer and back.
TEST(CdsPacket, BinaryStampsBeforeDayOneAreRefused) {
  auto stamp = [](double ms) {
    Bytes d;
    d.f64(ms);
    return OneFieldPacket(8, 8, "", 0, d.s);
  };
  for (double ms : {0.0, 1000.0, 86399999.0, -86400000.0}) {
    SCOPED_TRACE(ms);
    TClientDataSet ds;
    const std::string msg = Refusal([&] { cds::ReadDataPacketBytes(stamp(ms), "S.bin", ds); });
    EXPECT_NE(msg.find("S.bin: row 1, field V: invalid date and time"), std::string::npos) << msg;
  }
  TClientDataSet ds;
  cds::ReadDataPacketBytes(stamp(86400000.0 + 3723000.5), "S.bin", ds);
  ds.First();
  EXPECT_EQ(ds.Fields(0).AsString(), "01.01.0001 01:02:03");
  const std::string xml = cds::XmlPacketOf(ds);
  EXPECT_NE(xml.find("V=\"00010101T01:02:030005\""), std::string::npos) << xml;
  TClientDataSet back;
  cds::ReadDataPacketBytes(xml, "S.xml", back);
  back.First();
  EXPECT_EQ(back.Fields(0).AsValue().rawInt(), ds.Fields(0).AsValue().rawInt());
}

// A packet declaring an encoding other than UTF-8 or windows-1251 (ASCII is both) is
// refused, naming it, instead of being read as windows-1251.
TEST(CdsPacket, XmlPacketsInOtherEncodingsAreRefused) {
  auto packet = [](const std::string& head) {
    return head + "<DATAPACKET Version=\"2.0\"><METADATA><FIELDS><FIELD attrname=\"N\" fieldtype=\"string\" WIDTH=\"9\"/>"
                  "</FIELDS><PARAMS/></METADATA><ROWDATA><ROW N=\"\xC0\"/></ROWDATA></DATAPACKET>";
  };
  for (const char* enc : {"windows-1251", "WINDOWS-1251", "cp1251", "US-ASCII"}) {
    SCOPED_TRACE(enc);
    TClientDataSet ds;
    cds::ReadDataPacketBytes(packet(std::string("<?xml version=\"1.0\" encoding=\"") + enc + "\"?>"), "E.xml", ds);
    ds.First();
    EXPECT_EQ(ds.Fields(0).AsString(), "\xC0");
  }
  const char* const refused[][2] = {{"<?xml version=\"1.0\" encoding=\"KOI8-R\"?>", "'KOI8-R'"},
                                    {"<?xml version=\"1.0\" encoding='ISO-8859-5'?>", "'ISO-8859-5'"},
                                    {"<?xml version=\"1.0\" encoding=\"UTF-16\"?>", "'UTF-16'"},
                                    {"\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"windows-1251\"?>", "'windows-1251'"}};
  for (const auto& c : refused) {
    SCOPED_TRACE(c[1]);
    TClientDataSet ds;
    const std::string msg = Refusal([&] { cds::ReadDataPacketBytes(packet(c[0]), "E.xml", ds); });
    EXPECT_NE(msg.find(std::string("E.xml: unsupported text encoding ") + c[1]), std::string::npos) << msg;
    EXPECT_FALSE(ds.Active());
  }
}

// BCD digits whose value cannot be scaled to the field's decimals within 64 bits are
// refused before they are multiplied (a 30-digit value that 10^18 would wrap to 370409472).
TEST(CdsPacket, BinaryBcdValuesPastSixtyFourBitsAreRefused) {
  auto bcd = [](const std::string& digits, int places, bool neg) {
    std::string b(34, '\0');
    b[0] = static_cast<char>(digits.size());
    b[1] = static_cast<char>((neg ? 0x80 : 0) | places);
    for (size_t i = 0; i < digits.size(); ++i) {
      const int d = digits[i] - '0';
      b[2 + i / 2] = static_cast<char>(static_cast<unsigned char>(b[2 + i / 2]) | (i % 2 ? d : d << 4));
    }
    Bytes props;
    props.str("DECIMALS").u(4, 2).u(1, 2).u(18, 4);
    return OneFieldPacket(34, 5, props.s, 1, b);
  };
  for (const char* digits : {"671609093355271535159442694541", "10", "9223372036854775808"}) {
    SCOPED_TRACE(digits);
    TClientDataSet ds;
    const std::string msg = Refusal([&] { cds::ReadDataPacketBytes(bcd(digits, 0, false), "D.bin", ds); });
    EXPECT_NE(msg.find("D.bin: row 1, field V: invalid BCD value"), std::string::npos) << msg;
  }
  TClientDataSet ds;
  cds::ReadDataPacketBytes(bcd("9223372036854775807", 18, true), "D.bin", ds);
  ds.First();
  EXPECT_EQ(ds.Fields(0).AsValue().rawInt(), -9223372036854775807LL);
  TClientDataSet nine;
  cds::ReadDataPacketBytes(bcd("9", 0, false), "D.bin", nine);
  nine.First();
  EXPECT_EQ(nine.Fields(0).AsValue().rawInt(), 9000000000000000000LL);
}

// Memory that runs out below the budget (a process whose address space is bounded) is
// a refusal naming the file like the budget's own, never std::bad_alloc.
TEST(CdsPacket, MemoryRunningOutWithinTheBudgetIsARefusal) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves more address space than any bound leaves";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "the address sanitizer reserves more address space than any bound leaves";
#endif
#endif
  // 20,000 rows of 400 float fields: about 64 MB of records, well within the budget.
  const std::string packet = WideXmlPacket(400, 20000);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const long vmKb = testsupport::ProcStatusKb("VmSize:");
    struct rlimit lim;
    lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(vmKb + 24 * 1024) * 1024;
    if (vmKb < 0 || ::setrlimit(RLIMIT_AS, &lim) != 0) ::_exit(4);
    int code = 3;
    try {
      cds::TPacketBudget budget = cds::TPacketBudget::ForArchive(size_t(10) << 20);
      TClientDataSet ds;
      cds::ReadDataPacketBytes(packet, "BIG.xml", ds, &budget);
      code = 2;
    } catch (const cds::EDBClient& e) {
      code = std::string(e.what()).rfind("BIG.xml: not enough memory", 0) == 0 ? 0 : 5;
    } catch (const std::bad_alloc&) {
      code = 1;
    } catch (...) {
    }
    ::_exit(code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  // 1: std::bad_alloc; 2: loaded; 5: another refusal.
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A change log counts against the budget too: 300,000 entries take more than the fixed
// allowance alone, in either form.
TEST(CdsPacket, ChangeLogsCountAgainstTheBudget) {
  constexpr int kEntries = 300000;
  std::string xmlLog;
  Bytes binLog;
  binLog.u(1, 2).str("CHANGE_LOG").u(4, 2).u(0x80 | 2, 2).u(kEntries * 3, 4);
  for (int i = 0; i < kEntries; ++i) {
    xmlLog += std::to_string(i + 2) + " 1 8 ";
    binLog.u(static_cast<uint64_t>(i) + 2, 4).u(1, 4).u(8, 4);
  }
  const std::string xml = "<DATAPACKET Version=\"2.0\"><METADATA><FIELDS><FIELD attrname=\"ID\" fieldtype=\"i4\"/>"
                          "</FIELDS><PARAMS CHANGE_LOG=\"" + xmlLog + "\"/></METADATA><ROWDATA><ROW ID=\"1\"/>"
                          "</ROWDATA></DATAPACKET>";
  Bytes bin;
  bin.raw("\x96\x19\xE0\xBD").u(1, 4).u(18, 4).u(1, 2).u(1, 4).u(3, 4).u(0, 2);
  bin.str("ID").u(4, 2).u(1, 2).u(0, 2).u(0, 2).raw(binLog.s);
  bin.s[22] = static_cast<char>(0);  // the metadata size does not fit 2 bytes: the budget refuses first
  for (const std::string& packet : {xml, bin.s}) {
    cds::TPacketBudget budget = cds::TPacketBudget::ForArchive(0);
    TClientDataSet ds;
    const std::string msg = Refusal([&] { cds::ReadDataPacketBytes(packet, "L", ds, &budget); });
    EXPECT_NE(msg.find("L: the change log of 300000 entries takes more than the 32 MB of memory allowed"),
              std::string::npos)
        << msg;
    EXPECT_EQ(budget.Used(), 0u);
  }
}
