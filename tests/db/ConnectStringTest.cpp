// Driver families and connect strings: no database needed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "db/TODBC.h"
#include "db/TODBCStatement.h"
#include "log/TEventLog.h"
#include "support/TestDatabase.h"

namespace tarn {
namespace {

TEST(DriverFamily, EveryRowOfTheTableMatchesAnywhereInAnyCase) {
  struct Row {
    const char* text;
    TDriverFamily family;
  } rows[] = {
      {"Oracle in OraClient11g_home1", dfOracle},
      {"Firebird/InterBase(r) driver", dfFirebird},
      {"MySQL ODBC 8.0 Unicode Driver", dfMySQL},
      {"MariaDB Unicode", dfMySQL},
      {"ODBC Driver 17 for SQL Server", dfSQLServer},
      {"SQL Native Client", dfSQLServer},
      {"Microsoft SQL Server Native Client 11.0", dfSQLServer},
      {"CodeBase ODBC Driver", dfCodebase},
      {"Microsoft Visual FoxPro Driver", dfFoxPro},
      {"Microsoft dBase Driver (*.DBF)", dfFoxPro},
      {"Microsoft ACCESS Driver (*.mdb)", dfAccess},
      {"Microsoft Excel Driver (*.xls)", dfExcel},
      {"SQLite3", dfUnknown},
      {"", dfUnknown},
  };
  for (const Row& row : rows) EXPECT_EQ(TODBC::FamilyOf(row.text), row.family) << row.text;
}

TEST(DriverFamily, EarlierRowWinsAndNoMatchKeepsThePreviousFamily) {
  EXPECT_EQ(TODBC::FamilyOf("mysql bridge for oracle"), dfOracle);
  EXPECT_EQ(TODBC::FamilyOf("excel export of an access file"), dfAccess);
  TODBC odbc;
  EXPECT_EQ(odbc.DriverFamily(), dfUnknown);
  odbc.DetectDriverFamily("MySQL ODBC 8.0");
  odbc.DetectDriverFamily("DRIVER={Some Driver};SERVER=x");  // a completed string without a hint
  EXPECT_EQ(odbc.DriverFamily(), dfMySQL);
}

TEST(ConnectString, BuiltFromTheParametersInOrder) {
  // The example of a site with SQL Native Client and no data source.
  EXPECT_EQ(TODBC::BuildConnectString("", "U", "", "D", "SQL Native Client", "O", dfSQLServer),
            "DRIVER={SQL Native Client};Database=D;UID=U;O");
  EXPECT_EQ(TODBC::BuildConnectString("Site", "U", "P", "D", "X", "", dfUnknown),
            "DSN=Site;DRIVER={X};Database=D;UID=U;PWD=P");
  // The driver pair is always there, empty braces included; empty values add nothing.
  EXPECT_EQ(TODBC::BuildConnectString("", "", "", "", "", "", dfUnknown), "DRIVER={}");
  EXPECT_EQ(TODBC::BuildConnectString("", "", "", "db", "Oracle", "", dfOracle), "DRIVER={Oracle};DBQ=db");
  EXPECT_EQ(TODBC::BuildConnectString("", "", "", "db", "CodeBase", "", dfCodebase), "DRIVER={CodeBase};DBQ=db");
  EXPECT_EQ(TODBC::BuildConnectString("", "", "", "c:\\d", "FoxPro", "", dfFoxPro),
            "DRIVER={FoxPro};SourceDB=c:\\d");
}

TEST(ConnectString, MySQLServersReportMatchedRowsUnlessTheOptionsChooseFlags) {
  EXPECT_EQ(TODBC::BuildConnectString("", "u", "p", "gtd", "MariaDB Unicode", "SERVER=h", dfMySQL),
            "DRIVER={MariaDB Unicode};Database=gtd;UID=u;PWD=p;SERVER=h;OPTION=2;CONN_TIMEOUT=5;READ_TIMEOUT=10;"
            "WRITE_TIMEOUT=10");
  EXPECT_EQ(TODBC::BuildConnectString("", "", "", "gtd", "MariaDB Unicode",
                                      "option=3;Conn_Timeout=2;read_timeout=30;Write_Timeout=20", dfMySQL),
            "DRIVER={MariaDB Unicode};Database=gtd;option=3;Conn_Timeout=2;read_timeout=30;Write_Timeout=20");
}

// The driver's read and write time-outs end a call a silent server would hold for ever; the
// site's own values win, in its options or in its data source.
TEST(ConnectString, MySQLDriversGetReadAndWriteTimeOutsUnlessTheSiteSetsItsOwn) {
  const std::string dir = test::TestOutputDir("db") + "/timeouts";
  std::filesystem::create_directories(dir);
  {
    std::ofstream out(dir + "/odbc.ini", std::ios::trunc);
    out << "[plain]\nDriver=MariaDB Unicode\n[own]\nDriver=MariaDB Unicode\nREAD_TIMEOUT=40\n";
  }
  const char* saved = std::getenv("ODBCINI");
  const std::string savedValue = saved != nullptr ? saved : "";
  ::setenv("ODBCINI", (dir + "/odbc.ini").c_str(), 1);
  const struct {
    const char* name;
    std::string built;
    std::string expected;
  } cases[] = {
      {"a driver of the MySQL family", TODBC::BuildConnectString("", "", "", "", "MariaDB Unicode", "", dfMySQL),
       "DRIVER={MariaDB Unicode};OPTION=2;CONN_TIMEOUT=5;READ_TIMEOUT=10;WRITE_TIMEOUT=10"},
      {"the site's read time-out", TODBC::BuildConnectString("", "", "", "", "MariaDB Unicode", "READ_TIMEOUT=60", dfMySQL),
       "DRIVER={MariaDB Unicode};READ_TIMEOUT=60;OPTION=2;CONN_TIMEOUT=5;WRITE_TIMEOUT=10"},
      {"another family", TODBC::BuildConnectString("", "", "", "", "PostgreSQL Unicode", "", dfUnknown),
       "DRIVER={PostgreSQL Unicode}"},
      {"a data source", TODBC::BuildDataSourceConnectString("plain", "", "", ""),
       "DSN=plain;OPTION=2;CONN_TIMEOUT=5;READ_TIMEOUT=10;WRITE_TIMEOUT=10"},
      {"a data source with its own read time-out", TODBC::BuildDataSourceConnectString("own", "", "", ""),
       "DSN=own;OPTION=2;CONN_TIMEOUT=5;WRITE_TIMEOUT=10"},
      {"a data source and the options' write time-out", TODBC::BuildDataSourceConnectString("plain", "", "", "write_timeout=5"),
       "DSN=plain;write_timeout=5;OPTION=2;CONN_TIMEOUT=5;READ_TIMEOUT=10"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.built, c.expected) << c.name;
  if (saved != nullptr)
    ::setenv("ODBCINI", savedValue.c_str(), 1);
  else
    ::unsetenv("ODBCINI");
}

TEST(ConnectString, ValuesWithSeparatorsOrBracesAreBraced) {
  EXPECT_EQ(TODBC::BuildConnectString("", "u;x", "p;w{d}", "a{b", "X", "", dfUnknown),
            "DRIVER={X};Database={a{b};UID={u;x};PWD={p;w{d}}}");
  EXPECT_EQ(TODBC::BuildDataSourceConnectString("site", "u", " pad", "OPTION=3;CONN_TIMEOUT=2"),
            "DSN=site;UID=u;PWD={ pad};OPTION=3;CONN_TIMEOUT=2;READ_TIMEOUT=10;WRITE_TIMEOUT=10");
}

TEST(ConnectString, PasswordWithSeparatorAndBracesConnectsToMariaDB) {
  if (test::MariaDBTestPort() == 0) GTEST_SKIP() << "TARNCARD_TEST_MARIADB_PORT is not set";
  const std::string server = "SERVER=127.0.0.1;PORT=" + std::to_string(test::MariaDBTestPort());
  TODBC admin;
  ASSERT_TRUE(admin.ConnectToDataSource("", "tarn", "tarn", "", "MariaDB Unicode", server));
  {
    TODBCStatement st(&admin);
    ASSERT_TRUE(st.ExecSQL("CREATE USER IF NOT EXISTS 'tarn_brace'@'127.0.0.1' IDENTIFIED BY 'p;w{d}'"));
    ASSERT_TRUE(st.ExecSQL("ALTER USER 'tarn_brace'@'127.0.0.1' IDENTIFIED BY 'p;w{d}'"));
  }
  TODBC odbc;
  EXPECT_TRUE(odbc.ConnectToDataSource("", "tarn_brace", "p;w{d}", "", "MariaDB Unicode", server));
  TODBC wrong;
  EXPECT_FALSE(wrong.ConnectToDataSource("", "tarn_brace", "p;w{d", "", "MariaDB Unicode", server));
  TODBCStatement st(&admin);
  EXPECT_TRUE(st.ExecSQL("DROP USER 'tarn_brace'@'127.0.0.1'"));
}

TEST(ConnectString, FileDataSourceIsReadFromItsOdbcSection) {
  const std::string path = test::TestOutputDir("db") + "/site.dsn";
  {
    std::ofstream out(path, std::ios::trunc);
    out << "[ODBC]\nDRIVER=SQL Server Native Client 11.0\nSERVER=host1\nWSID=\nDatabase=gtd\n"
           "[Other]\nKey=ignored\n";
  }
  EXPECT_EQ(TODBC::ReadFileDSN(path),
            "DRIVER={SQL Server Native Client 11.0};SERVER=host1;WSID=;Database=gtd");
  // A file data source replaces DSN, DRIVER and database; user, password and options follow.
  EXPECT_EQ(TODBC::BuildConnectString(path, "U", "P", "ignored", "X", "O", dfSQLServer),
            "DRIVER={SQL Server Native Client 11.0};SERVER=host1;WSID=;Database=gtd;UID=U;PWD=P;O");
}

TEST(EventLog, RecordsNothingAndStartsWithoutPrinterStatus) {
  TEventLog events(nullptr, 4);
  EXPECT_EQ(events.LastStatus, -1);
  EXPECT_EQ(events.LoopId, 4);
  for (int i = 0; i < 3; ++i) events.LogEvent("Door Ajar Alarm", 2, -1);
  EXPECT_EQ(events.LastStatus, -1);
}

}  // namespace
}  // namespace tarn
