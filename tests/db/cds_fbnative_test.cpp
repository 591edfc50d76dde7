// A provider chain on a native (IBDB-style) query, filled with parameters.
// Kept in an executable of its own: native and driver-layer attachments of the embedded
// engine in one process upset the sanitizer build's leak check at exit.
#include <gtest/gtest.h>

#include "db/ProviderFb.h"
#include "support/TestDatabase.h"

namespace {
const char* kScript = R"(
CREATE TABLE T_ALL (ID INTEGER NOT NULL PRIMARY KEY, NAME VARCHAR(40));
INSERT INTO T_ALL VALUES (1, 'first');
INSERT INTO T_ALL VALUES (2, NULL);
INSERT INTO T_ALL VALUES (3, 'third');
)";
}  // namespace

TEST(CdsFirebird, NativeQueryChainFillsWithParameters) {
  testsupport::TestDatabase db(kScript);
  fbdb::Attachment att;
  db.connect(att);
  fbdb::Transaction tran(att);
  cds::TFbDataSetChain c(tran, "dsp1", "select ID, NAME from T_ALL where ID >= :P_ID order by ID");
  c.Query.param("P_ID").setInteger(2);
  c.ClientDataSet.Open();
  EXPECT_EQ(c.ClientDataSet.RecordCount(), 2);
  c.ClientDataSet.Close();
  c.Query.param("P_ID").setInteger(3);
  c.ClientDataSet.Open();
  ASSERT_EQ(c.ClientDataSet.RecordCount(), 1);
  EXPECT_EQ(c.ClientDataSet.FieldByName("NAME").AsString(), "third");
  EXPECT_EQ(c.ClientDataSet.ApplyUpdates(0), 0);  // no changes
  c.ClientDataSet.Edit();
  c.ClientDataSet.FieldByName("NAME").SetAsString("x");
  EXPECT_THROW(c.ClientDataSet.ApplyUpdates(0), cds::EDatabaseError);  // no update target
  c.Query.close();
  tran.commit();
}
