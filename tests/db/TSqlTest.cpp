#include <gtest/gtest.h>

#include "db/TSql.h"

namespace tarn {
namespace {

TEST(TSql, BuildsUpdateAndInsertTexts) {
  TSql sql(dfUnknown);
  sql.AddInteger("status", 1);
  sql.AddField("note", "it's", true);
  EXPECT_EQ(sql.BuildUpdate("UPDATE card", "WHERE number = %f"),
            "UPDATE card set status=1, note='it''s' WHERE number = %f");
  sql.ClearFields(false);
  sql.AddInteger("loop_id", 3);
  sql.AddField("reader", "A", true);
  EXPECT_EQ(sql.BuildInsert("INSERT INTO trans", "Values", ""),
            "INSERT INTO trans (loop_id, reader) Values (3, 'A')");
  EXPECT_EQ(sql.BuildSQL("trans", true, "where ignored"),
            "insert into trans (loop_id, reader) Values (3, 'A')");
  EXPECT_EQ(sql.BuildSQL("trans", false, ""), "update trans set loop_id=3, reader='A'");
}

TEST(TSql, DuplicatesKeepTheFirstValueUnlessAllowed) {
  TSql sql(dfUnknown);
  EXPECT_EQ(sql.AddInteger("Status", 1), 0);
  EXPECT_EQ(sql.AddInteger("STATUS", 2), 0);
  EXPECT_EQ(sql.BuildUpdate("u", ""), "u set status=1");
  sql.ClearFields(true);
  sql.AddInteger("a", 1);
  EXPECT_EQ(sql.AddInteger("A", 2), 1);
  EXPECT_EQ(sql.BuildUpdate("u", ""), "u set a=1, a=2");
  EXPECT_EQ(sql.IndexOfField("A"), 0);
  EXPECT_EQ(sql.IndexOfField("b"), -1);
}

TEST(TSql, EmptyAndBlankValues) {
  TSql sql(dfUnknown);
  sql.AddField("a", "", false);
  sql.AddField("b", "", true);
  sql.AddField("c", "  x y \t", true);
  sql.AddField("d", "  7 ", false);
  sql.AddField("e", " \r\n", false);
  EXPECT_EQ(sql.BuildUpdate("u", ""), "u set a=null, b='', c='x y', d=7, e=null");
}

TEST(TSql, SetFieldReplacesInPlaceOrAdds) {
  TSql sql(dfUnknown);
  sql.AddInteger("a", 1);
  sql.AddInteger("b", 2);
  sql.SetField("A", "x", true);
  sql.SetInteger("c", 3, false);
  sql.SetField("b", "", false);
  EXPECT_EQ(sql.BuildUpdate("u", ""), "u set a='x', b=null, c=3");
}

TEST(TSql, NamesWithBlanksOrHyphensAreQuotedOnce) {
  EXPECT_EQ(TSql::QuoteName("my col"), "\"my col\"");
  EXPECT_EQ(TSql::QuoteName("my-col"), "\"my-col\"");
  EXPECT_EQ(TSql::QuoteName("\"my col\""), "\"my col\"");
  EXPECT_EQ(TSql::QuoteName("plain"), "plain");
  TSql sql(dfUnknown);
  sql.AddInteger("Door-Ajar", 1);
  EXPECT_EQ(sql.BuildInsert("insert into t", "Values", ";"), "insert into t (\"door-ajar\") Values (1);");
}

TEST(TSql, BackslashesAreDoubledForMySQLOnly) {
  TSql mysql(dfMySQL);
  mysql.AddField("v", "a\\b'c", true);
  EXPECT_EQ(mysql.BuildUpdate("u", ""), "u set v='a\\\\b''c'");
  TSql other(dfSQLServer);
  other.AddField("v", "a\\b'c", true);
  EXPECT_EQ(other.BuildUpdate("u", ""), "u set v='a\\b''c'");
}

TEST(TSql, DatesNowFloatsAndBooleans) {
  TSql sql(dfUnknown);
  sql.AddDateTime("dat_e", EncodeDateTime(2026, 3, 4, 5, 6, 7));
  sql.AddNow("l_date");
  sql.AddFloat("card_no", 12345);
  sql.AddFloat("half", 0.5);
  sql.AddBoolean("mem_flag", true);
  sql.AddBoolean("other", false);
  EXPECT_EQ(sql.BuildUpdate("u", ""),
            "u set dat_e={ts '2026-03-04 05:06:07'}, l_date={fn now()}, card_no=12345, half=0.5, "
            "mem_flag=1, other=0");
  TSql codebase(dfCodebase);
  codebase.AddNow("l_date");
  EXPECT_EQ(codebase.BuildUpdate("u", ""), "u set l_date={fn curdate()}");
}

TEST(TSql, EmptyBuilderGivesTheBareShapes) {
  TSql sql(dfUnknown);
  EXPECT_EQ(sql.BuildSQL("t", false, ""), "update t set ");
  EXPECT_EQ(sql.BuildSQL("t", true, ""), "insert into t () Values ()");
}

}  // namespace
}  // namespace tarn
