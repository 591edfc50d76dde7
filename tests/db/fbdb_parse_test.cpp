// Named parameters and script splitting: pure text rules.
#include <gtest/gtest.h>

#include <cmath>

#include "db/fbdb.h"

namespace {

struct ParseCase {
  const char* sql;
  const char* positional;
  std::vector<std::string> names;
};

class ParamParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParamParse, RewritesNamesToPositions) {
  const ParseCase& c = GetParam();
  std::string pos;
  std::vector<std::string> names;
  fbdb::Query::parseParams(c.sql, pos, names);
  EXPECT_EQ(pos, c.positional);
  EXPECT_EQ(names, c.names);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParamParse,
    ::testing::Values(
        ParseCase{"select * from T", "select * from T", {}},
        ParseCase{"update T set A=:PA where ID = :P_ID", "update T set A=? where ID = ?", {"PA", "P_ID"}},
        // one name twice
        ParseCase{"select * from T where A=:X or B=:X", "select * from T where A=? or B=?", {"X", "X"}},
        // quoted time literal holds ":15" and ":00"
        ParseCase{"insert into T values (:P1, '10:15:00', :P2)", "insert into T values (?, '10:15:00', ?)",
                  {"P1", "P2"}},
        // doubled quote inside a literal
        ParseCase{"select 'it''s :no' from T where A=:YES", "select 'it''s :no' from T where A=?", {"YES"}},
        // quoted identifier
        ParseCase{"select \"a:b\" from T where C=:C", "select \"a:b\" from T where C=?", {"C"}},
        // comments
        ParseCase{"select 1 -- :not\nfrom T where A=:A /* :nor */", "select 1 -- :not\nfrom T where A=? /* :nor */",
                  {"A"}},
        // quoted parameter name
        ParseCase{"execute procedure P(:\"F_ID\")", "execute procedure P(?)", {"F_ID"}},
        // unterminated literal swallows the rest
        ParseCase{"select ':A", "select ':A", {}},
        // a lone colon stays
        ParseCase{"select a : b", "select a : b", {}}));

TEST(QueryParams, NamesAreCaseInsensitiveAndKeepValuesAcrossSqlChanges) {
  fbdb::Query q;
  q.setSql("select * from T where A=:P_A and B=:p_b and C=:P_A");
  ASSERT_EQ(q.paramCount(), 2u);
  q.param("p_a").setInteger(5);
  q.param("P_B").setString("x");
  EXPECT_EQ(q.param("P_A").asString(), "5");
  q.setSql("select * from T where B=:P_B");
  ASSERT_EQ(q.paramCount(), 1u);
  EXPECT_EQ(q.param("P_B").asString(), "x");
  EXPECT_THROW(q.param("P_A"), fbdb::EDatabaseError);
  q.clearParams();
  EXPECT_TRUE(q.param("P_B").isNull());
}

TEST(SplitScript, StatementsTerminatorsAndComments) {
  const char* script =
      "/* head; comment */\n"
      "SET SQL DIALECT 3;\n"
      "CREATE TABLE A (X VARCHAR(10) DEFAULT ';');  -- trailing; comment\n"
      "INSERT INTO A VALUES ('a;b');\n"
      "SET TERM ^ ;\n"
      "CREATE PROCEDURE P AS BEGIN INSERT INTO A VALUES ('x'); END^\n"
      "SET TERM ; ^\n"
      "COMMIT;\n"
      "  \n";
  std::vector<std::string> s = fbdb::SplitSqlScript(script);
  ASSERT_EQ(s.size(), 5u);
  EXPECT_EQ(s[0], "/* head; comment */\nSET SQL DIALECT 3");
  EXPECT_EQ(s[1], "CREATE TABLE A (X VARCHAR(10) DEFAULT ';')");
  EXPECT_EQ(s[2], "-- trailing; comment\nINSERT INTO A VALUES ('a;b')");
  EXPECT_EQ(s[3], "CREATE PROCEDURE P AS BEGIN INSERT INTO A VALUES ('x'); END");
  EXPECT_EQ(s[4], "COMMIT");
}

TEST(SplitScript, ClinicSchemaIsCompiledIn) {
  const std::string& s = fbdb::ClinicSchemaScript();
  EXPECT_NE(s.find("CREATE TABLE PATIENT ("), std::string::npos);
  std::vector<std::string> st = fbdb::SplitSqlScript(s);
  EXPECT_GT(st.size(), 60u);
}

TEST(ServiceName, HostOrEmbedded) {
  EXPECT_EQ(fbdb::ServiceManagerName(""), "service_mgr");
  EXPECT_EQ(fbdb::ServiceManagerName("LocalHost"), "LocalHost:service_mgr");
}

TEST(IscDates, RoundTrip) {
  // 17.11.1858 is ISC day 0; 30.12.1899 is the platform's day 0.
  EXPECT_EQ(fbdb::ToIscDate(0), 15018);
  EXPECT_DOUBLE_EQ(fbdb::FromIscDate(15018), 0.0);
  platform::TDateTime d = platform::EncodeDate(2026, 12, 9);
  EXPECT_DOUBLE_EQ(fbdb::FromIscDate(fbdb::ToIscDate(d)), d);
  EXPECT_EQ(fbdb::ToIscDate(platform::EncodeDate(1, 1, 1)), -678575);
  EXPECT_THROW(fbdb::ToIscDate(1e300), fbdb::EDatabaseError);
  EXPECT_THROW(fbdb::ToIscDate(std::nan("")), fbdb::EDatabaseError);
  EXPECT_EQ(fbdb::ToIscTime(0.5), 432000000u);
  EXPECT_DOUBLE_EQ(fbdb::FromIscTime(432000000u), 0.5);
}

}  // namespace
