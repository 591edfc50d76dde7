// TXBaseDataSet: the walk the clinic tasks do, field conversions, table location,
// and files written by independent tools.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "dbf_builder.h"
#include "platform/dates.h"
#include "platform/exception.h"
#include "xbase/XBaseDB.h"
#include "xbase/checked.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_date.h"
#include "xbase/xb_glbl.h"

using namespace xb;
using namespace xbt;

namespace {
std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const platform::Exception& e) {
    return std::string(e.className()) + ": " + e.what();
  }
  return "no error";
}

struct Person {
  const char* first;   // surname
  const char* name;
  const char* sec;
  int y, m, d;
  const char* pol;
  int vpolic;
  int flat;
  bool deleted;
};

const Person kPeople[] = {
    {"Иванов", "Иван", "Иванович", 1980, 1, 1, "М", 3, 12, false},
    {"Петрова", "Анна", "Сергеевна", 1975, 12, 31, "Ж", 1, 0, true},
    {"Сидоров", "Пётр", "", 2001, 2, 28, "M", 5, 7, false},
    {"Ёлкина", "Мария", "Ильинична", 0, 0, 0, "Ж", 2, 144, false},
    {"Deleted", "X", "Y", 1990, 5, 5, "M", 1, 1, true},
};

std::vector<FieldSpec> fundFields() {
  return {{"FIRSTNAME", 'C', 40}, {"NAME", 'C', 40},      {"SECNAME", 'C', 40},  {"DATEBDAY", 'D', 8},
          {"POL", 'C', 1},        {"SNILS", 'C', 14},     {"SPOLICY", 'C', 10},  {"NPOLICY", 'C', 20},
          {"DPOLICY", 'D', 8},    {"ENDPOLICY", 'C', 10}, {"VPOLIC", 'N', 1},    {"CMOCOD", 'N', 5},
          {"ENP", 'C', 16},       {"DATEPRIK", 'C', 10},  {"SPOLREF", 'C', 10},  {"SSTOMREF", 'C', 10},
          {"SWCONREF", 'C', 10},  {"COATODIST", 'C', 10}, {"NPREF", 'C', 10},    {"STRETREF", 'C', 10},
          {"HOUSE", 'C', 10},     {"FLAT", 'N', 5},       {"KORPUS", 'C', 5},    {"NPNAME", 'C', 60},
          {"ADRESS_F", 'C', 60},  {"KLADR", 'C', 17},     {"KLADRS", 'C', 17},   {"ID_LIC", 'C', 20},
          {"STATUS", 'C', 2}};
}

void writeFund(const std::string& path) {
  DbfBuilder b(0x03, fundFields());
  for (const Person& p : kPeople) {
    b.record(p.deleted, {Oem(p.first), Oem(p.name), Oem(p.sec), p.y ? D(p.y, p.m, p.d) : "", Oem(p.pol),
                         "123-456-789 01", "", "1234567890", D(2012, 3, 4), "", N(p.vpolic, 1), N(46001, 5),
                         "7788990011223344", "01.02.2013", "  15", "", "7", "56401", "1203", "77",
                         std::to_string(p.flat + 1), N(p.flat, 5), Oem("к1"), Oem("г. Тверь, ул. Ленина"),
                         Oem("ул. Мира, 5"), "69000001000000100", "", "ID" + std::to_string(p.flat), "7"});
  }
  b.write(path);
}
}  // namespace

TEST(DataSetWalk, FundFileWithTranslation) {
  TempDir t;
  writeFund(t.file("PEOPLE.DBF"));
  for (bool translate : {true, false}) {
    TXBaseDataSet ds;
    ds.SetDatabaseName(t.path());
    ds.SetTableName("PEOPLE.DBF");
    ds.SetReadOnly(true);
    ds.SetTranslateASCII(translate);
    ds.Open();
    EXPECT_TRUE(ds.Bof());
    EXPECT_EQ(ds.RecordCount(), 5);   // deleted records count
    std::vector<int32_t> seen;
    size_t i = 0;
    for (; !ds.Eof(); ds.Next()) {
      while (kPeople[i].deleted) ++i;
      const Person& p = kPeople[i++];
      seen.push_back(ds.RecNo());
      auto text = [&](const char* utf8) { return translate ? Ansi(utf8) : Oem(utf8); };
      EXPECT_EQ(ds.FieldByName("FIRSTNAME").AsString(), text(p.first));
      EXPECT_EQ(ds.FieldByName("name").AsString(), text(p.name));
      EXPECT_EQ(ds.FieldByName("SECNAME").AsString(), text(p.sec));
      EXPECT_EQ(ds.FieldByName("SECNAME").IsNull(), std::string(p.sec).empty());
      EXPECT_EQ(ds.FieldByName("POL").AsString(), text(p.pol));
      if (p.y) {
        double dn = platform::EncodeDate(p.y, p.m, p.d);
        EXPECT_EQ(ds.FieldByName("DATEBDAY").AsDateTime(), dn);
        EXPECT_EQ(ds.FieldByName("DATEBDAY").AsString(), platform::FormatDate(dn));
        EXPECT_FALSE(ds.FieldByName("DATEBDAY").IsNull());
      } else {
        EXPECT_TRUE(ds.FieldByName("DATEBDAY").IsNull());
        EXPECT_EQ(ds.FieldByName("DATEBDAY").AsDateTime(), 0.0);
        EXPECT_EQ(ds.FieldByName("DATEBDAY").AsString(), "");
      }
      EXPECT_EQ(ds.FieldByName("VPOLIC").AsInteger(), p.vpolic);
      EXPECT_EQ(ds.FieldByName("FLAT").AsInteger(), p.flat);
      EXPECT_EQ(ds.FieldByName("CMOCOD").AsInteger(), 46001);
      EXPECT_EQ(ds.FieldByName("SPOLREF").AsInteger(), 15);
      EXPECT_EQ(ds.FieldByName("STATUS").AsString(), "7");
      EXPECT_EQ(ds.FieldByName("SNILS").AsString(), "123-456-789 01");
      EXPECT_TRUE(ds.FieldByName("ENDPOLICY").IsNull());
      EXPECT_EQ(errorOf([&] { ds.FieldByName("ENDPOLICY").AsInteger(); }),
                "EConvertError: '' is not a valid integer value");
      EXPECT_TRUE(ds.FieldByName("SSTOMREF").AsString().empty());
      EXPECT_EQ(ds.FieldByName("SWCONREF").AsInteger(), 7);
      EXPECT_EQ(ds.FieldByName("COATODIST").AsInteger(), 56401);
      EXPECT_EQ(ds.FieldByName("NPREF").AsInteger(), 1203);
      EXPECT_EQ(ds.FieldByName("STRETREF").AsInteger(), 77);
      EXPECT_EQ(ds.FieldByName("HOUSE").AsInteger(), p.flat + 1);
      EXPECT_EQ(ds.FieldByName("KORPUS").AsString(), text("к1"));
      EXPECT_EQ(ds.FieldByName("NPNAME").AsString(), text("г. Тверь, ул. Ленина"));
      EXPECT_EQ(ds.FieldByName("ADRESS_F").AsString(), text("ул. Мира, 5"));
      EXPECT_EQ(ds.FieldByName("KLADR").AsString(), "69000001000000100");
      EXPECT_TRUE(ds.FieldByName("KLADRS").IsNull());
      EXPECT_EQ(ds.FieldByName("ID_LIC").AsString(), "ID" + std::to_string(p.flat));
      EXPECT_EQ(ds.FieldByName("ENP").AsString(), "7788990011223344");
      EXPECT_EQ(ds.FieldByName("SPOLICY").AsString(), "");
      EXPECT_EQ(ds.FieldByName("NPOLICY").AsString(), "1234567890");
      EXPECT_EQ(ds.FieldByName("DATEPRIK").AsDateTime(), platform::EncodeDate(2013, 2, 1));
      EXPECT_EQ(ds.FieldByName("DPOLICY").AsDateTime(), platform::EncodeDate(2012, 3, 4));
    }
    EXPECT_EQ(seen, (std::vector<int32_t>{1, 3, 4}));
    // The last record stays current after the walk.
    EXPECT_EQ(ds.RecNo(), 4);
    EXPECT_EQ(ds.FieldByName("NAME").AsString(), translate ? Ansi("Мария") : Oem("Мария"));
    ds.SetExactCount(true);
    EXPECT_EQ(ds.RecordCount(), 3);
    ds.Close();
    ds.Close();
    EXPECT_FALSE(ds.Active());
  }
}

TEST(DataSetWalk, NavigationContract) {
  TempDir t;
  DbfBuilder b(0x03, {{"A", 'C', 3}});
  b.record(false, {"one"}).record(true, {"two"}).record(false, {"thr"});
  b.write(t.file("n.dbf"));
  TXBaseDataSet ds;
  ds.SetDatabaseName(t.path());
  ds.SetTableName("n");
  ds.Open();
  EXPECT_EQ(ds.TableName(), "n.DBF");
  ds.Last();
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.RecNo(), 3);
  ds.Prior();
  EXPECT_EQ(ds.RecNo(), 1);
  EXPECT_FALSE(ds.Eof());
  ds.Prior();
  EXPECT_TRUE(ds.Bof());
  EXPECT_EQ(ds.RecNo(), 1);
  ds.Next();
  EXPECT_EQ(ds.RecNo(), 3);
  ds.Next();
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.FieldByName("A").AsString(), "thr");
  ds.SetRecNo(2);
  EXPECT_EQ(ds.FieldByName("A").AsString(), "two");
  ds.Close();
  // With deleted records shown.
  ds.SetUseDeleted(true);
  ds.Open();
  int n = 0;
  for (ds.First(); !ds.Eof(); ds.Next()) ++n;
  EXPECT_EQ(n, 3);
  ds.Close();
  // An empty table: both ends at once.
  DbfBuilder(0x03, {{"A", 'C', 3}}).write(t.file("e.dbf"));
  TXBaseDataSet e;
  e.SetDatabaseName(t.path());
  e.SetTableName("e.dbf");
  e.Open();
  EXPECT_TRUE(e.Eof());
  EXPECT_TRUE(e.Bof());
  EXPECT_EQ(e.RecNo(), 0);
  EXPECT_TRUE(e.FieldByName("A").IsNull());
}

TEST(DataSetFields, MappingTable) {
  TempDir t;
  DbfBuilder b(0x03, {{"S", 'N', 4}, {"I", 'N', 5}, {"L", 'N', 10}, {"F", 'N', 10, 2}, {"X", 'X', 3}, {"B", 'B', 10}});
  b.record(false, {"12", "99999", "9999999999", "2.50", "abc", "0"});
  b.write(t.file("m.dbf"));
  struct Case { TxbIntFields as; TxbFieldType large; };
  for (Case c : {Case{TxbIntFields::asLargeInt, TxbFieldType::ftLargeint}, Case{TxbIntFields::asFloat, TxbFieldType::ftFloat},
                 Case{TxbIntFields::asInteger, TxbFieldType::ftInteger}}) {
    TXBaseDataSet ds;
    ds.SetDatabaseName(t.path());
    ds.SetTableName("m.dbf");
    ds.SetLargeIntegerAs(c.as);
    ds.Open();
    ASSERT_EQ(ds.FieldCount(), 5);   // the unknown letter X has no field
    EXPECT_EQ(ds.FieldByName("S").DataType(), TxbFieldType::ftSmallint);
    EXPECT_EQ(ds.FieldByName("I").DataType(), TxbFieldType::ftInteger);
    EXPECT_EQ(ds.FieldByName("L").DataType(), c.large);
    EXPECT_EQ(ds.FieldByName("F").DataType(), TxbFieldType::ftFloat);
    EXPECT_EQ(ds.FieldByName("B").DataType(), TxbFieldType::ftBlob);
    EXPECT_EQ(ds.FindField("X"), nullptr);
    EXPECT_EQ(errorOf([&] { ds.FieldByName("NOPE"); }), "EDatabaseError: Field 'NOPE' not found");
    EXPECT_EQ(ds.FieldByName("F").AsInteger(), 2);   // half to even
    EXPECT_EQ(ds.FieldByName("F").AsString(), "2.5");
    if (c.as == TxbIntFields::asInteger)
      EXPECT_THROW(ds.FieldByName("L").AsInteger(), ERangeError);
    else
      EXPECT_EQ(ds.FieldByName("L").AsLargeInt(), 9999999999);
  }
}

TEST(DataSetFields, NullsAndValues) {
  TempDir t;
  DbfBuilder b(0x03, {{"C", 'C', 5}, {"N", 'N', 5, 1}, {"D", 'D', 8}, {"L", 'L', 1}});
  b.record(false, {"", "", "", "T"});
  b.record(false, {"ab\0cd", "  2.5", "00000000", "F"});
  b.record(false, {std::string("x") + '\xff', "  3.5", "19800230", "?"});
  b.write(t.file("v.dbf"));
  TXBaseDataSet ds;
  ds.SetDatabaseName(t.path());
  ds.SetTableName("v.dbf");
  ds.Open();
  EXPECT_TRUE(ds.FieldByName("C").IsNull());
  EXPECT_EQ(ds.FieldByName("C").AsString(), "");
  EXPECT_FALSE(ds.FieldByName("N").IsNull());
  EXPECT_EQ(ds.FieldByName("N").AsFloat(), 0.0);
  EXPECT_TRUE(ds.FieldByName("D").IsNull());
  EXPECT_TRUE(ds.FieldByName("L").AsBoolean());
  EXPECT_EQ(ds.FieldByName("L").AsString(), "True");
  EXPECT_EQ(errorOf([&] { ds.FieldByName("L").AsInteger(); }), "EDatabaseError: Cannot access field 'L' as type Integer");
  ds.Next();
  EXPECT_EQ(ds.FieldByName("C").AsString(), "ab");   // cut at the zero byte
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 2);
  EXPECT_TRUE(ds.FieldByName("D").IsNull());
  ds.Next();
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 4);
  EXPECT_TRUE(ds.FieldByName("D").IsNull());
  EXPECT_FALSE(ds.FieldByName("L").AsBoolean());
  // The CP866 NBSP is no blank: it stays and becomes the CP1251 NBSP.
  EXPECT_EQ(ds.FieldByName("C").AsString(), std::string("x") + '\xa0');
}

TEST(DataSetOpen, NamesFoldersAndErrors) {
  TempDir t;
  DbfBuilder b(0x03, {{"A", 'C', 3}});
  b.record(false, {"abc"});
  b.write(t.file("patients.dbf"));
  TXBaseDataSet ds;
  EXPECT_EQ(errorOf([&] { ds.Open(); }), "EDatabaseError: Table name missing");
  ds.SetDatabaseName(t.path());
  EXPECT_EQ(ds.DatabaseName() + "/", t.path());
  EXPECT_EQ(TXBaseDataSet::AliasList().value(ds.DatabaseName()), ds.DatabaseName());
  ds.SetTableName("PATIENTS");
  ds.Open();
  EXPECT_EQ(ds.TableName(), "PATIENTS.DBF");
  EXPECT_EQ(ds.FieldByName("A").AsString(), "abc");
  EXPECT_EQ(errorOf([&] { ds.SetTableName("x"); }), "EDatabaseError: Cannot perform this operation on an open dataset");
  ds.Close();
  ds.SetTableName("missing.dbf");
  EXPECT_EQ(errorOf([&] { ds.Open(); }), "EDatabaseError: Cannot find file " + t.file("missing.dbf"));
  EXPECT_FALSE(ds.Active());
}

TEST(DataSetOpen, AliasFileAndDefaultDirectory) {
  TempDir cfg, data;
  WriteFile(cfg.file("xbase.cfg"), "[Alias]\nCLINIC=" + data.path().substr(0, data.path().size() - 1) + "\n");
  DbfBuilder b(0x03, {{"A", 'C', 3}});
  b.record(false, {"xyz"});
  b.write(data.file("T.DBF"));
  setenv("KESTA_XBASE_DIR", cfg.path().c_str(), 1);
  TXBaseDataSet::ReloadAliasList();
  TXBaseDataSet ds;
  ds.SetDatabaseName("CLINIC");
  EXPECT_EQ(ds.GetTableDirectory(), data.path());
  ds.SetTableName("t.dbf");
  ds.Open();
  EXPECT_EQ(ds.FieldByName("A").AsString(), "xyz");
  ds.Close();
  unsetenv("KESTA_XBASE_DIR");
  TXBaseDataSet::ReloadAliasList();
  TXBaseDataSet dd;
  dd.SetDatabaseName("default directory");
  std::string exeDir = std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/";
  EXPECT_EQ(dd.GetTableDirectory(), exeDir);
}

TEST(DataSetReadOnly, NeverWritesAndRefusesDelete) {
  TempDir t;
  writeFund(t.file("F.DBF"));
  struct stat before {};
  stat(t.file("F.DBF").c_str(), &before);
  std::string bytes = ReadFile(t.file("F.DBF"));
  TXBaseDataSet ds;
  ds.SetDatabaseName(t.path());
  ds.SetTableName("F.DBF");
  ds.SetReadOnly(true);
  ds.Open();
  EXPECT_EQ(fcntl(ds.Table()->Handle, F_GETFL) & O_ACCMODE, O_RDONLY);
  EXPECT_TRUE(ds.Table()->ReadAhead);   // a read-only walk in physical order reads ahead
  for (; !ds.Eof(); ds.Next()) ds.FieldByName("NAME").AsString();
  EXPECT_EQ(errorOf([&] { ds.Delete(); }), "EDatabaseError: Cannot modify a read-only dataset");
  EXPECT_EQ(errorOf([&] { ds.Edit(); }), "EDatabaseError: Cannot modify a read-only dataset");
  ds.Close();
  struct stat after {};
  stat(t.file("F.DBF").c_str(), &after);
  EXPECT_EQ(ReadFile(t.file("F.DBF")), bytes);
  EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
}

TEST(DataSetWalk, ReadErrorMidWalkIsNotEndOfTable) {
  TempDir t;
  DbfBuilder b(0x03, {{"A", 'C', 100}});
  for (int i = 0; i < 1000; ++i) b.record(false, {"r" + std::to_string(i)});
  b.write(t.file("c.dbf"));
  for (bool readOnly : {true, false}) {   // with and without read-ahead
    b.write(t.file("c.dbf"));
    TXBaseDataSet ds;
    ds.SetDatabaseName(t.path());
    ds.SetTableName("c.dbf");
    ds.SetReadOnly(readOnly);
    ds.Open();
    ds.Next();
    // Cut the file in the middle of record 601, beyond what a read-ahead holds.
    ASSERT_EQ(truncate(t.file("c.dbf").c_str(), static_cast<off_t>(ds.Table()->HeaderLength + 600 * 101 + 50)), 0);
    std::string error;
    int32_t last = 0;
    try {
      for (; !ds.Eof(); ds.Next()) last = ds.RecNo();
    } catch (const EXBaseError& e) {
      error = e.what();
    }
    EXPECT_EQ(error, "Error on Read of file " + t.file("c.dbf")) << readOnly;
    EXPECT_EQ(last, 600);
    EXPECT_FALSE(ds.Eof());
    EXPECT_EQ(ds.FieldByName("A").AsString(), "r599");
  }
}

TEST(DataSetEdit, EditPostAppendDeleteRecall) {
  TempDir t;
  DbfBuilder b(0x03, {{"NAME", 'C', 10}, {"N", 'N', 6, 2}, {"D", 'D', 8}, {"L", 'L', 1}});
  b.record(false, {Oem("Старое"), "1.00", D(2000, 1, 1), "F"});
  b.record(false, {"two", "2.00", "", "F"});
  b.write(t.file("e.dbf"));
  TXBaseDataSet ds;
  ds.SetDatabaseName(t.path());
  ds.SetTableName("e.dbf");
  ds.Open();
  EXPECT_EQ(errorOf([&] { ds.FieldByName("NAME").SetAsString("x"); }), "EDatabaseError: Dataset not in edit or insert mode");
  ds.Edit();
  ds.FieldByName("NAME").SetAsString(Ansi("Новое"));
  ds.FieldByName("N").SetAsFloat(12.345);
  ds.FieldByName("D").SetAsDateTime(platform::EncodeDate(2024, 2, 29));
  ds.FieldByName("L").SetAsBoolean(true);
  ds.Post();
  ds.Append();
  ds.FieldByName("NAME").SetAsString("three");
  ds.FieldByName("N").SetAsInteger(3);
  ds.Post();
  EXPECT_EQ(ds.RecNo(), 3);
  ds.First();
  ds.Next();
  ds.Delete();   // record 2 hidden: the cursor moves on to record 3
  EXPECT_EQ(ds.RecNo(), 3);
  ds.Delete();   // the last visible record: back to record 1 with Eof
  EXPECT_EQ(ds.RecNo(), 1);
  EXPECT_TRUE(ds.Eof());
  ds.Close();
  XBO_dBaseFld f(t.file("e.dbf"), false, true, "");
  f.GoTo(1);
  EXPECT_EQ(f.FieldGet(1), C(Oem("Новое"), 10));
  EXPECT_EQ(f.FieldGet(2), " 12.35");
  EXPECT_EQ(f.FieldGet(3), "20240229");
  EXPECT_EQ(f.FieldGet(4), "T");
  f.GoTo(2);
  EXPECT_TRUE(f.IsDeleted());
  f.GoTo(3);
  EXPECT_TRUE(f.IsDeleted());
  EXPECT_EQ(f.FieldGet(1), C("three", 10));
  EXPECT_EQ(f.RecordCount, 3u);
}

// A record locked by another open is refused at once; once released it can be edited.
TEST(DataSetEdit, EditOfLockedRecordIsRefused) {
  TempDir t;
  DbfBuilder b(0x03, {{"A", 'C', 3}});
  b.record(false, {"abc"});
  b.write(t.file("k.dbf"));
  TXBaseDataSet a, c;
  for (auto* ds : {&a, &c}) {
    ds->SetDatabaseName(t.path());
    ds->SetTableName("k.dbf");
    ds->Open();
  }
  a.Edit();
  EXPECT_EQ(errorOf([&] { c.Edit(); }), "EDatabaseError: Record is locked by another user");
  a.Cancel();
  c.Edit();
  c.Cancel();
}

TEST(DataSetFilter, OnFilterRecordRejects) {
  TempDir t;
  DbfBuilder b(0x03, {{"A", 'C', 3}});
  b.record(false, {"one"}).record(false, {"two"}).record(false, {"thr"});
  b.write(t.file("f.dbf"));
  TXBaseDataSet ds;
  ds.SetDatabaseName(t.path());
  ds.SetTableName("f.dbf");
  ds.OnFilterRecord = [](TXBaseDataSet& d, bool& accept) { accept = d.FieldByName("A").AsString() != "two"; };
  ds.SetFiltered(true);
  ds.Open();
  std::vector<std::string> seen;
  for (; !ds.Eof(); ds.Next()) seen.push_back(ds.FieldByName("A").AsString());
  EXPECT_EQ(seen, (std::vector<std::string>{"one", "thr"}));
}

TEST(DataSetBlob, StreamReadWriteAndTranslation) {
  TempDir t;
  MemoImage m = Dbt3({Oem("Привет, мир")});
  WriteFile(t.file("b.dbt"), m.bytes);
  DbfBuilder b(0x83, {{"NOTE", 'M', 10}});
  b.record(false, {N(m.blocks[0], 10)});
  b.write(t.file("b.dbf"));
  TXBaseDataSet ds;
  ds.SetDatabaseName(t.path());
  ds.SetTableName("b.dbf");
  ds.Open();
  EXPECT_EQ(ds.FieldByName("NOTE").AsString(), Ansi("Привет, мир"));
  {
    THCBlobStream s(ds.FieldByName("NOTE"), THCBlobStream::bmRead);
    char buf[100];
    EXPECT_EQ(s.Read(buf, 100), static_cast<int64_t>(Ansi("Привет, мир").size()));
    EXPECT_EQ(s.Read(buf, 100), 0);
    s.Seek(1000, 0);
    EXPECT_EQ(s.Read(buf, 10), 0);
  }
  EXPECT_EQ(errorOf([&] { THCBlobStream s(ds.FieldByName("NOTE"), THCBlobStream::bmWrite); }),
            "EDatabaseError: Dataset not in edit or insert mode");
  ds.Edit();
  {
    THCBlobStream s(ds.FieldByName("NOTE"), THCBlobStream::bmReadWrite);
    s.Clear();
    s.Write("0123456789", 10);
    s.Seek(2, 0);
    s.Write(Ansi("Ж").data(), 1);
    s.Write("ab", 2);
    EXPECT_EQ(s.Size(), 5);
    s.Seek(8, 0);
    s.Write("z", 1);   // the gap becomes zero bytes
    EXPECT_EQ(s.Size(), 9);
  }
  ds.Post();
  ds.Close();
  XBO_dBaseFld f(t.file("b.dbf"), false, true, "");
  f.GoTo(1);
  EXPECT_EQ(f.MemoRead(1), std::string("01") + Oem("Ж") + "ab" + std::string(3, '\0') + "z");
}

// Files written by Debian's python3-dbf read back through the dataset.
TEST(DataSetOracle, PythonDbfWrittenTable) {
  if (std::system("/usr/bin/python3 -c 'import dbf' 2>/dev/null") != 0) GTEST_SKIP() << "python3-dbf is not installed";
  TempDir t;
  std::string script = t.file("mk.py");
  WriteFile(script,
            "import dbf, datetime, sys\n"
            "t = dbf.Table(sys.argv[1], 'NAME C(20); BDAY D; CNT N(5,0); AMT N(10,2); OK L; NOTE M', "
            "dbf_type='db3', codepage='cp866')\n"
            "t.open(dbf.READ_WRITE)\n"
            "t.append(('\\u0418\\u0432\\u0430\\u043d\\u043e\\u0432', datetime.date(1980,1,1), 7, 123.45, True, 'memo text'))\n"
            "t.append(('Second', None, 0, 0, False, ''))\n"
            "t.append(('Third', datetime.date(2011,5,1), 3, 1.5, False, 'x'*600))\n"
            "dbf.delete(t[1])\n"
            "t.close()\n");
  ASSERT_EQ(std::system(("/usr/bin/python3 " + script + " " + t.file("py.dbf")).c_str()), 0);
  TXBaseDataSet ds;
  ds.SetDatabaseName(t.path());
  ds.SetTableName("py.dbf");
  ds.SetReadOnly(true);
  ds.Open();
  EXPECT_EQ(ds.RecordCount(), 3);
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), Ansi("Иванов"));
  EXPECT_EQ(ds.FieldByName("BDAY").AsDateTime(), platform::EncodeDate(1980, 1, 1));
  EXPECT_EQ(ds.FieldByName("CNT").AsInteger(), 7);
  EXPECT_DOUBLE_EQ(ds.FieldByName("AMT").AsFloat(), 123.45);
  EXPECT_TRUE(ds.FieldByName("OK").AsBoolean());
  EXPECT_EQ(ds.FieldByName("NOTE").AsString(), "memo text");
  ds.Next();
  EXPECT_EQ(ds.RecNo(), 3);
  EXPECT_EQ(ds.FieldByName("NOTE").AsString(), std::string(600, 'x'));
  EXPECT_EQ(ds.FieldByName("BDAY").AsString(), "01.05.2011");
  ds.Next();
  EXPECT_TRUE(ds.Eof());
}

// Our fixtures read back through the Perl xBase module (an independent reader).
TEST(DataSetOracle, PerlXBaseReadsOurFixtures) {
  if (std::system("perl -MXBase -e 1 2>/dev/null") != 0) GTEST_SKIP() << "the Perl xBase module is not installed";
  TempDir t;
  MemoImage m = Dbt4({"memo one", std::string(600, 'z')});
  WriteFile(t.file("v8b.dbt"), m.bytes);
  DbfBuilder b(0x8B, {{"NAME", 'C', 20}, {"CNT", 'N', 5}, {"NOTE", 'M', 10}});
  b.record(false, {"A", N(5, 5), N(m.blocks[0], 10)});
  b.record(false, {"B", N(6, 5), N(m.blocks[1], 10)});
  b.write(t.file("v8b.dbf"));
  std::string out = t.file("out.txt");
  std::string cmd = "perl -MXBase -e '$t = XBase->new(shift) or die XBase->errstr; for $i (0..$t->last_record) "
                    "{ @r = $t->get_record($i); print join(\"|\", $r[1], $r[2], length($r[3]), substr($r[3],0,8)), \"\\n\"; }' " +
                    t.file("v8b.dbf") + " > " + out;
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(ReadFile(out), "A|5|8|memo one\nB|6|600|zzzzzzzz\n");
  TXBaseDataSet ds;
  ds.SetDatabaseName(t.path());
  ds.SetTableName("v8b.dbf");
  ds.Open();
  EXPECT_EQ(ds.FieldByName("NOTE").AsString(), "memo one");
  ds.Next();
  EXPECT_EQ(ds.FieldByName("NOTE").AsString().size(), 600u);
}

TEST(DataSetFilter, ExpressionThroughRegisteredCompiler) {
  TempDir t;
  DbfBuilder b(0x03, {{"A", 'C', 6}});
  b.record(false, {Oem("Анна")}).record(false, {"two"}).record(false, {Oem("Антон")});
  b.write(t.file("x.dbf"));
  std::string seenText;
  XBO_dBHandler::FilterCompiler() = [&](XBO_dBHandler& h, const std::string& text, bool, bool) {
    seenText = text;
    struct StartsWith : IxbFilterExpr {
      XBO_dBHandler& h;
      std::string prefix;
      StartsWith(XBO_dBHandler& hh, std::string p) : h(hh), prefix(std::move(p)) {}
      TxbVariant Evaluate() override {
        TxbVariant v;
        v.SetBoolean(h.FieldView(1).substr(0, prefix.size()) == prefix);
        return v;
      }
    };
    return std::unique_ptr<IxbFilterExpr>(new StartsWith(h, text));
  };
  TXBaseDataSet ds;
  ds.SetDatabaseName(t.path());
  ds.SetTableName("x.dbf");
  ds.SetReadOnly(true);
  ds.SetFilter(Ansi("Ан"));
  ds.SetFiltered(true);
  ds.Open();
  EXPECT_EQ(seenText, Oem("Ан"));   // the expression goes to the table in OEM
  std::vector<int32_t> recs;
  for (; !ds.Eof(); ds.Next()) recs.push_back(ds.RecNo());
  EXPECT_EQ(recs, (std::vector<int32_t>{1, 3}));
  ds.SetFiltered(false);
  recs.clear();
  for (; !ds.Eof(); ds.Next()) recs.push_back(ds.RecNo());
  EXPECT_EQ(recs, (std::vector<int32_t>{1, 2, 3}));
  XBO_dBHandler::FilterCompiler() = nullptr;
}

TEST(DataSetFields, VisualFoxProKinds) {
  TempDir t;
  int32_t jdn = xb::xbJulianFromYMD(2011, 5, 1);
  DbfBuilder b(0x30, {{"I", 'I', 4}, {"T", 'T', 8}, {"Y", 'Y', 8}, {"B", 'B', 8}});
  b.record(false, {LE32(static_cast<uint32_t>(-42)), LE32(static_cast<uint32_t>(jdn)) + LE32((12 * 3600 + 30 * 60 + 15) * 1000),
                   LE64(123456), Dbl(2.5)});
  b.record(false, {"    ", std::string(8, '\0'), LE64(0), Dbl(0)});
  b.write(t.file("v.dbf"));
  TXBaseDataSet ds;
  ds.SetDatabaseName(t.path());
  ds.SetTableName("v.dbf");
  ds.Open();
  EXPECT_EQ(ds.FieldByName("I").DataType(), TxbFieldType::ftInteger);
  EXPECT_EQ(ds.FieldByName("T").DataType(), TxbFieldType::ftDateTime);
  EXPECT_EQ(ds.FieldByName("Y").DataType(), TxbFieldType::ftCurrency);
  EXPECT_EQ(ds.FieldByName("B").DataType(), TxbFieldType::ftFloat);
  EXPECT_EQ(ds.FieldByName("I").AsInteger(), -42);
  EXPECT_NEAR(ds.FieldByName("T").AsDateTime(), platform::EncodeDate(2011, 5, 1) + (12 * 3600 + 30 * 60 + 15) / 86400.0, 1e-9);
  EXPECT_EQ(ds.FieldByName("T").AsString(), "01.05.2011 12:30:15");
  EXPECT_DOUBLE_EQ(ds.FieldByName("Y").AsFloat(), 12.3456);
  EXPECT_EQ(ds.FieldByName("B").AsFloat(), 2.5);
  EXPECT_FALSE(ds.FieldByName("T").IsNull());
  ds.Next();
  EXPECT_EQ(ds.FieldByName("I").AsInteger(), 0);
  EXPECT_TRUE(ds.FieldByName("T").IsNull());
  EXPECT_EQ(ds.FieldByName("T").AsString(), "");
}

// Folder names are CP1251 inside the program and UTF-8 on disk.
TEST(DataSetOpen, CyrillicFolderName) {
  TempDir t;
  std::string folderUtf8 = t.file("Фонд ОМС");
  ASSERT_TRUE(std::filesystem::create_directory(folderUtf8));
  DbfBuilder b(0x03, {{"A", 'C', 3}});
  b.record(false, {"abc"});
  b.write(folderUtf8 + "/Прикреплённые.DBF");
  TXBaseDataSet ds;
  ds.SetDatabaseName(Ansi(folderUtf8) + "/");
  ds.SetTableName(Ansi("Прикреплённые.DBF"));
  ds.SetReadOnly(true);
  ds.Open();
  EXPECT_EQ(ds.FieldByName("A").AsString(), "abc");
  EXPECT_EQ(ds.Table()->FileName, Ansi(folderUtf8 + "/Прикреплённые.DBF"));
  ds.Close();
  ds.SetTableName(Ansi("прикреплённые.dbf"));   // another case, Cyrillic letters included
  ds.Open();
  EXPECT_EQ(ds.RecordCount(), 1);
}

TEST(DataSetFields, TranslateHelper) {
  TXBaseDataSet ds;
  EXPECT_EQ(ds.Translate(Ansi("Ёж"), true), Oem("Ёж"));
  EXPECT_EQ(ds.Translate(Oem("Ёж"), false), Ansi("Ёж"));
  ds.SetTranslateASCII(false);
  EXPECT_EQ(ds.Translate(Oem("Ёж"), false), Oem("Ёж"));
}

TEST(DataSetFields, NameKeysOfEveryLength) {
  const std::string letters = "abcdefghijklmnopqrstuvwxyz";
  for (size_t n = 0; n <= 17; ++n) {
    std::string lower = letters.substr(0, n), upper = lower;
    for (auto& c : upper) c = static_cast<char>(c - 32);
    TxbNameKey a = TxbNameKey::Of(lower), b = TxbNameKey::Of(upper);
    EXPECT_TRUE(a == b) << n;
    if (n > 0 && n <= 16) {
      std::string other = upper;
      other[n - 1] = '_';
      EXPECT_FALSE(TxbNameKey::Of(other) == b) << n;
      other = upper;
      other[0] = '\xC0';   // bytes above 0x7F are not folded
      EXPECT_FALSE(TxbNameKey::Of(other) == TxbNameKey::Of(std::string("\xE0") + upper.substr(1))) << n;
    }
  }
  // A field found by any spelling of its name.
  TempDir t;
  DbfBuilder bld(0x03, {{"A", 'C', 1}, {"KLADRS", 'C', 1}, {"ADRESS_F", 'C', 1}, {"FIRSTNAME", 'C', 1}, {"X1234567890", 'C', 1}});
  bld.record(false, {"1", "2", "3", "4", "5"});
  bld.write(t.file("k.dbf"));
  TXBaseDataSet ds;
  ds.SetDatabaseName(t.path());
  ds.SetTableName("k.dbf");
  ds.Open();
  EXPECT_EQ(ds.FieldByName("a").AsString(), "1");
  EXPECT_EQ(ds.FieldByName("kladrs").AsString(), "2");
  EXPECT_EQ(ds.FieldByName("Adress_F").AsString(), "3");
  EXPECT_EQ(ds.FieldByName("firstName").AsString(), "4");
  EXPECT_EQ(ds.FieldByName("x1234567890").AsString(), "5");
  EXPECT_EQ(ds.FindField("KLADR"), nullptr);
  EXPECT_EQ(ds.FindField("FIRSTNAMES"), nullptr);
  EXPECT_EQ(ds.FindField(""), nullptr);
}

TEST(DataSetSearch, LocateAndLookup) {
  TempDir t;
  DbfBuilder b(0x03, {{"NAME", 'C', 10}, {"KOD", 'N', 5}, {"D", 'D', 8}});
  b.record(false, {Oem("Иванов"), N(1, 5), D(2013, 2, 1)});
  b.record(true, {Oem("Петров"), N(2, 5), ""});
  b.record(false, {Oem("петрова"), N(3, 5), D(2000, 1, 1)});
  b.record(false, {Oem("Сидоров"), N(4, 5), ""});
  b.write(t.file("s.dbf"));
  TXBaseDataSet ds;
  ds.SetDatabaseName(t.path());
  ds.SetTableName("s.dbf");
  ds.SetReadOnly(true);
  ds.Open();
  EXPECT_TRUE(ds.Locate("KOD", {"4"}));
  EXPECT_EQ(ds.RecNo(), 4);
  EXPECT_FALSE(ds.Locate("NAME", {Ansi("Петров")}));   // the deleted record stays hidden
  EXPECT_EQ(ds.RecNo(), 4);                            // no match: the cursor stays
  EXPECT_TRUE(ds.Locate("NAME", {Ansi("ПЕТР")}, true, true));
  EXPECT_EQ(ds.RecNo(), 3);
  EXPECT_TRUE(ds.Locate("NAME;D", {Ansi("Иванов"), "01.02.2013"}));
  EXPECT_EQ(ds.RecNo(), 1);
  auto r = ds.Lookup("KOD", {"3"}, "NAME;D");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, (std::vector<std::string>{Ansi("петрова"), "01.01.2000"}));
  EXPECT_EQ(ds.RecNo(), 1);
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), Ansi("Иванов"));
  EXPECT_FALSE(ds.Lookup("KOD", {"9"}, "NAME").has_value());
  EXPECT_THROW(ds.Locate("NOPE", {"1"}), EXBaseError);
  ds.Next();
  EXPECT_EQ(ds.RecNo(), 3);
}

// Text fields read word by word give what a byte-by-byte reading gives: cut at the
// first zero byte, trailing bytes up to the blank dropped, OEM bytes translated, for
// every length and position (the last field ends the record).
TEST(DataSetFields, TextReadsMatchByteByByteReading) {
  const std::string pieces[] = {"A", "ab c", "\x8f\xe0\xa8\xa2\xa5\xe2", "x\x80y", std::string("ab\0cd", 5),
                                std::string("\0xyz", 4), "tail \t\x01", "12345678", "1234567\x9f", "     x"};
  std::vector<FieldSpec> specs;
  for (int len = 1; len <= 20; ++len) specs.push_back({"F" + std::to_string(len), 'C', len});
  DbfBuilder b(0x03, specs);
  std::vector<std::vector<std::string>> rows;
  for (size_t k = 0; k < std::size(pieces); ++k) {
    std::vector<std::string> row;
    for (int len = 1; len <= 20; ++len) {
      std::string v = pieces[(k + static_cast<size_t>(len)) % std::size(pieces)];
      if (len % 3 == 0) v = std::string(static_cast<size_t>(len % 5), ' ') + v;
      v.resize(std::min<size_t>(v.size(), static_cast<size_t>(len)));
      v.resize(static_cast<size_t>(len), ' ');
      row.push_back(v);
    }
    b.record(false, row);
    rows.push_back(row);
  }
  TempDir t;
  b.write(t.file("w.dbf"));
  auto expected = [](std::string v, bool translate) {
    v = v.substr(0, v.find('\0'));
    while (!v.empty() && static_cast<unsigned char>(v.back()) <= ' ') v.pop_back();
    if (translate) v = xbOemToAnsiStr(v);
    return v;
  };
  for (bool translate : {true, false}) {
    TXBaseDataSet ds;
    ds.SetDatabaseName(t.path());
    ds.SetTableName("w.dbf");
    ds.SetTranslateASCII(translate);
    ds.Open();
    size_t r = 0;
    for (; !ds.Eof(); ds.Next(), ++r) {
      for (int len = 1; len <= 20; ++len) {
        std::string name = "F" + std::to_string(len);
        EXPECT_EQ(ds.FieldByName(name).AsString(), expected(rows[r][static_cast<size_t>(len - 1)], translate))
            << "record " << r + 1 << " field " << name;
      }
    }
    EXPECT_EQ(r, rows.size());
    // The record of Lookup is read the same way.
    auto found = ds.Lookup("F20", {expected(rows[3][19], translate)}, "F1;F13");
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ((*found)[0], expected(rows[3][0], translate));
    EXPECT_EQ((*found)[1], expected(rows[3][12], translate));
  }
}
