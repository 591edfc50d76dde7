// Expressions over DBF tables: field variables, table functions, the field list of
// an expression, and the dataset's Filter through the registered compiler.
#include <gtest/gtest.h>

#include <charconv>

#include "dbf_builder.h"
#include "platform/exception.h"
#include "xbase/XBaseDB.h"
#include "xbase/xb_date.h"
#include "xbase/xb_dbsy.h"
#include "xbase/xb_sql.h"

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

std::vector<FieldSpec> clinicFields() {
  return {{"NAME", 'C', 20}, {"AGE", 'N', 3}, {"SUM", 'N', 8, 2}, {"BDATE", 'D', 8}, {"ACTIVE", 'L', 1},
          {"NOTE", 'M', 10}};
}

// Five patients; record 4 is deleted. NAME holds CP866 bytes.
void writeClinic(const TempDir& t, const std::string& name = "clinic.dbf") {
  MemoImage m = Dbt3({"first memo", "second memo"});
  WriteFile(t.file(name.substr(0, name.size() - 4) + ".dbt"), m.bytes);
  DbfBuilder b(0x83, clinicFields());
  b.record(false, {Oem("ПЕТРОВ ИВАНОВ"), N(45, 3), N(12.5, 8, 2), D(1979, 3, 14), "T", N(m.blocks[0], 10)});
  b.record(false, {Oem("Иванов"), N(30, 3), N(-3, 8, 2), D(1994, 11, 2), "F", N(m.blocks[1], 10)});
  b.record(false, {"SIDOROV", N(61, 3), N(0, 8, 2), D(1963, 1, 1), "T", N(0, 10)});
  b.record(true, {"DELETED ONE", N(50, 3), N(1, 8, 2), D(1970, 5, 5), "T", N(0, 10)});
  b.record(false, {"ivanova", N(8, 3), N(100, 8, 2), "", "?", N(0, 10)});
  b.write(t.file(name));
}

std::string render(const TxbExpValue& v, int type) {
  std::string s;
  switch (v.kind) {
    case TxbExpValue::Null: s = "null"; break;
    case TxbExpValue::Text: s = "'" + v.text + "'"; break;
    case TxbExpValue::Boolean: s = v.bln ? "T" : "F"; break;
    case TxbExpValue::Number: {
      char buf[64];
      auto r = std::to_chars(buf, buf + sizeof buf, v.num);
      s.assign(buf, r.ptr);
      break;
    }
  }
  return std::string(xbExpTypeName(type)) + ":" + s;
}

std::string evalOn(XBO_dBHandler& h, const std::string& text) {
  try {
    TxbExpHandler e(h, text);
    TxbExpValue v;
    int type = 0;
    e.Evaluate(v, type);
    return render(v, type);
  } catch (const EXBaseExpression& e) {
    return std::string("error:") + e.what();
  }
}

std::vector<int32_t> walk(TXBaseDataSet& ds) {
  std::vector<int32_t> recs;
  for (ds.First(); !ds.Eof(); ds.Next()) recs.push_back(ds.RecNo());
  return recs;
}

}  // namespace

TEST(ExprTable, FieldsAndTableFunctions) {
  TempDir t;
  writeClinic(t);
  XBO_dBHandler h(t.file("clinic.dbf"), false, true, "");
  h.GoTo(1);
  struct C {
    std::string text;
    std::string expected;
  } cases[] = {
      {"NAME", "Text:'" + Oem("ПЕТРОВ ИВАНОВ") + "       '"},
      {"TRIM(name) + '!'", "Text:'" + Oem("ПЕТРОВ ИВАНОВ") + "!'"},
      {"AGE", "Number:45"},
      {"AGE + 1", "Number:46"},
      {"SUM * 2", "Number:25"},
      {"BDATE", "Date:" + std::to_string(xbJulianFromYMD(1979, 3, 14))},
      {"DTOS(BDATE)", "Text:'19790314'"},
      {"BDATE = {19790314}", "Boolean:T"},
      {"BDATE > 2440000", "Boolean:T"},
      {"ACTIVE", "Boolean:T"},
      {"ACTIVE .AND. AGE > 40", "Boolean:T"},
      {"NOTE", "Text:'first memo'"},
      {"'memo' $ NOTE", "Boolean:T"},
      {"RECNO()", "Number:1"},
      {"DELETED()", "Boolean:F"},
      {"EOF()", "Boolean:F"},
      {"TYPE('bdate')", "Text:'D'"},
      {"TYPE('NOTE')", "Text:'M'"},
      {"FIELDNO('SUM')", "Number:3"},
      {"LEN('AGE')", "Number:3"},   // the standard LEN: length of the text
      {"TYPE('NOPE')", "error:There is no field name NOPE"},
      {"CLINIC->AGE", "Number:45"},
      {"clinic.AGE", "Number:45"},
      {"OTHER->AGE", "error:There is no function for OTHER.AGE"},
      {"NAMEX", "error:There is no function for NAMEX"},
      {"NAME = 1", "error:The two sides of an operation do not match"},
      {"NAME = '" + Oem("ИВАН") + "*'", "Boolean:T"},
      {"STR(AGE, 3) + DTOS(BDATE)", "Text:' 4519790314'"},
      {"TRUE .AND. PI > 3", "Boolean:T"},
      {"UPPER(NAME) = NAME", "Boolean:T"},
  };
  for (const auto& c : cases) EXPECT_EQ(evalOn(h, c.text), c.expected) << c.text;

  h.GoTo(4);
  EXPECT_EQ(evalOn(h, "DELETED()"), "Boolean:T");
  EXPECT_EQ(evalOn(h, "RECNO()"), "Number:4");
  h.GoTo(5);
  EXPECT_EQ(evalOn(h, "EMPTY(BDATE)"), "Boolean:T");
  EXPECT_EQ(evalOn(h, "DTOS(BDATE)"), "Text:'        '");
  EXPECT_EQ(evalOn(h, "ACTIVE"), "Boolean:F");
  EXPECT_EQ(evalOn(h, "NOTE"), "Text:''");
}

TEST(ExprTable, CaseOfOemTextGoesThroughAnsi) {
  TempDir t;
  writeClinic(t);
  XBO_dBHandler h(t.file("clinic.dbf"), false, true, "");
  h.TranslateOEM = true;
  h.GoTo(2);
  EXPECT_EQ(evalOn(h, "TRIM(UPPER(NAME))"), "Text:'" + Oem("ИВАНОВ") + "'");
  EXPECT_EQ(evalOn(h, "TRIM(LOWER(NAME))"), "Text:'" + Oem("иванов") + "'");
  TxbExpHandler e(h);
  e.CaseInsensitive = true;
  e.Parse("NAME = '" + Oem("иванов") + "'");
  TxbExpValue v;
  int type = 0;
  e.Evaluate(v, type);
  EXPECT_EQ(type, etBoolean);
  EXPECT_TRUE(v.bln);
}

TEST(ExprTable, NamesOfFieldsUsedAndLengths) {
  TempDir t;
  writeClinic(t);
  XBO_dBHandler h(t.file("clinic.dbf"), false, true, "");
  TxbExpHandler e(h, "UPPER(name) + STR(age, 3) + DTOS(BDATE) + IIF(ACTIVE, 'A', 'B')");
  EXPECT_EQ(e.NamesOfKind(17), "NAME;AGE;BDATE;ACTIVE;");
  EXPECT_EQ(e.NamesOfKind(16), "");
  EXPECT_EQ(e.MaxLength(), 20);
  EXPECT_EQ(e.ExpressionText(), "UPPER(NAME)+STR(AGE,3)+DTOS(BDATE)+IIF(ACTIVE,\"A\",\"B\")");
  h.GoTo(3);
  TxbVariant key;
  EXPECT_EQ(e.EvaluateKey(key), etText);
  EXPECT_EQ(key.AsText(), "SIDOROV              6119630101A");
  EXPECT_EQ(e.EvaluateKeyText(), "SIDOROV              6119630101A");
  TxbExpHandler d(h, "BDATE");
  EXPECT_EQ(d.EvaluateKey(key), etDate);
  EXPECT_EQ(key.AsDate(), xbJulianFromYMD(1963, 1, 1));
  EXPECT_EQ(d.EvaluateKeyText(), "19630101");
  TxbExpHandler n(h, "AGE");
  EXPECT_EQ(n.EvaluateKey(key), etNumber);
  EXPECT_EQ(key.AsNumber(), 61);
  EXPECT_EQ(n.ProbeType(), etNumber);
}

TEST(ExprTable, DamagedNumericNamesTheField) {
  TempDir t;
  DbfBuilder b(0x03, {{"AGE", 'N', 3}});
  b.record(false, {"4x5"});
  b.write(t.file("bad.dbf"));
  XBO_dBHandler h(t.file("bad.dbf"), false, true, "");
  h.GoTo(1);
  std::string err = errorOf([&] {
    TxbExpHandler e(h, "AGE > 1");
    TxbExpValue v;
    int type;
    e.Evaluate(v, type);
  });
  EXPECT_NE(err.find("AGE"), std::string::npos) << err;
  EXPECT_NE(err.find("Invalid numeric value"), std::string::npos) << err;
}

TEST(ExprFilter, DataSetFilterThroughExpressions) {
  TempDir t;
  writeClinic(t);
  XBO_dBHandler::FilterCompiler() = nullptr;
  TXBaseDataSet ds;
  ds.SetDatabaseName(t.path());
  ds.SetTableName("clinic.dbf");
  ds.SetReadOnly(true);
  ds.SetFilter("AGE > 40");
  ds.SetFiltered(true);
  ds.Open();
  EXPECT_EQ(walk(ds), (std::vector<int32_t>{1, 3}));
  ds.SetFilter("ACTIVE .AND. DTOS(BDATE) < '19700101'");
  EXPECT_EQ(walk(ds), (std::vector<int32_t>{3}));
  // The filter text is CP1251; the table compares it in CP866.
  ds.SetFilter(Ansi("NAME = 'ИВАН*'"));
  EXPECT_EQ(walk(ds), (std::vector<int32_t>{1}));
  ds.SetFilterOptions(true, false);
  EXPECT_EQ(walk(ds), (std::vector<int32_t>{1, 2}));
  ds.SetFilter("NAME = 'IVAN*'");
  EXPECT_EQ(walk(ds), (std::vector<int32_t>{5}));
  ds.SetFilterOptions(true, true);
  EXPECT_EQ(walk(ds), (std::vector<int32_t>{}));
  ds.SetFilter("NAME = 'ivanova'");
  EXPECT_EQ(walk(ds), (std::vector<int32_t>{5}));
  ds.SetFilterOptions(false, false);
  ds.SetFilter(".NOT. DELETED() .AND. RECNO() # 2");
  EXPECT_EQ(walk(ds), (std::vector<int32_t>{1, 3, 5}));
  ds.SetFiltered(false);
  EXPECT_EQ(walk(ds), (std::vector<int32_t>{1, 2, 3, 5}));
  ds.Close();
  XBO_dBHandler::FilterCompiler() = nullptr;
}

TEST(ExprFilter, FilterErrors) {
  TempDir t;
  writeClinic(t);
  XBO_dBHandler::FilterCompiler() = nullptr;
  TXBaseDataSet ds;
  ds.SetDatabaseName(t.path());
  ds.SetTableName("clinic.dbf");
  ds.SetReadOnly(true);
  ds.Open();
  ds.SetFilter("AGE + 1");
  EXPECT_EQ(errorOf([&] { ds.SetFiltered(true); }), "EXBaseError: Filter expression must return boolean result");
  ds.SetFiltered(false);
  ds.SetFilter("AGE > ");
  EXPECT_EQ(errorOf([&] { ds.SetFiltered(true); }), "EXBaseExpression: Target value missing for > operation");
  ds.SetFiltered(false);
  ds.SetFilter("NOFIELD = 1");
  EXPECT_EQ(errorOf([&] { ds.SetFiltered(true); }), "EXBaseExpression: There is no function for NOFIELD");
  ds.SetFiltered(false);
  ds.SetFilter("NAME = 1");
  EXPECT_EQ(errorOf([&] { ds.SetFiltered(true); }), "EXBaseExpression: The two sides of an operation do not match");
  ds.SetFiltered(false);
  ds.SetFilter("AGE > 50");
  ds.SetFiltered(true);
  EXPECT_EQ(walk(ds), (std::vector<int32_t>{3}));
  ds.Close();
  XBO_dBHandler::FilterCompiler() = nullptr;
}

TEST(ExprFilter, FilterFollowsEditedRecords) {
  TempDir t;
  writeClinic(t);
  XBO_dBHandler::FilterCompiler() = nullptr;
  TXBaseDataSet ds;
  ds.SetDatabaseName(t.path());
  ds.SetTableName("clinic.dbf");
  ds.SetFilter("AGE >= 45");
  ds.SetFiltered(true);
  ds.Open();
  EXPECT_EQ(walk(ds), (std::vector<int32_t>{1, 3}));
  ds.First();
  ds.Edit();
  ds.FieldByName("AGE").SetAsString("20");
  ds.Post();
  EXPECT_EQ(walk(ds), (std::vector<int32_t>{3}));
  ds.Close();
  XBO_dBHandler::FilterCompiler() = nullptr;
}

TEST(ExprFilter, HandlerCompilerIsExpressionLanguage) {
  TempDir t;
  writeClinic(t);
  XBO_dBHandler::FilterCompiler() = xbCompileFilter;
  XBO_dBHandler h(t.file("clinic.dbf"), false, true, "");
  h.SetFilter("SUM > 0", false, true);
  h.EnableFilter(true);
  std::vector<int32_t> recs;
  for (h.GoTo(-3); !h.Eof; h.Skip(1)) recs.push_back(h.RecNo);
  EXPECT_EQ(recs, (std::vector<int32_t>{1, 5}));
  XBO_dBHandler::FilterCompiler() = nullptr;
}

TEST(ExprMasterDetail, KeyFromMasterValues) {
  TempDir t;
  writeClinic(t);
  XBO_dBHandler h(t.file("clinic.dbf"), false, true, "");
  h.GoTo(3);
  EXPECT_EQ(xbMasterDetailKey(h, "clinic.dbf", "UPPER(NAME)+STR(AGE,3)", {"smith", "45"}, false, 0),
            "SMITH                45");
  EXPECT_EQ(xbMasterDetailKey(h, "clinic.dbf", "UPPER(NAME)+STR(AGE,3)", {"smith"}, true, 5), "SMITH");
  // Master values are CP1251; the table holds CP866, and the key is made from the table's bytes.
  EXPECT_EQ(xbMasterDetailKey(h, "clinic.dbf", "TRIM(NAME)", {Ansi("Петров")}, true, 20), Oem("Петров"));
  EXPECT_EQ(xbMasterDetailKey(h, "clinic.dbf", "NAME", {}, true, 20), "");
  EXPECT_EQ(errorOf([&] { xbMasterDetailKey(h, "clinic.dbf", "NAME", {"a", "b"}, true, 20); }),
            "EDatabaseError: Master/Detail relation failed, field missmatch for clinic.dbf");
  // The table's own record is untouched.
  EXPECT_EQ(h.RecNo, 3);
  EXPECT_EQ(h.FieldGet(1).substr(0, 7), "SIDOROV");
}
