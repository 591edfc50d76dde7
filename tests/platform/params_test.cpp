#include "platform/params.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(Params, ValuesSemantics) {
  TParams p;
  p.addLine("Password=old");
  p.addLine("DataBase=x:y");
  p.addLine("password=second");
  p.setValue("PASSWORD", "new");  // replaces the first entry, whatever its case
  EXPECT_EQ(p.size(), 3u);
  EXPECT_EQ(p.at(0).first, "Password");
  EXPECT_EQ(p.value("password"), "new");
  p.setValue("password", "");  // the empty text deletes the entry
  EXPECT_EQ(p.value("Password"), "second");
  p.setValue("User_Name", "SYSDBA");
  EXPECT_EQ(p.at(p.size() - 1).first, "User_Name");
  EXPECT_TRUE(p.has("user_name"));
  EXPECT_EQ(p.value("missing"), "");
  p.addLine("NoEquals");
  EXPECT_TRUE(p.has("NoEquals"));
}
