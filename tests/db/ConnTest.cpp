// The ODBC connection object and the managed connection: connect story, loss, reconnect.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "db/OdbcLibrary.h"
#include "db/TODBCConn.h"
#include "db/TODBCStatement.h"
#include "support/TestDatabase.h"

namespace tarn::test {
namespace {

namespace fs = std::filesystem;

// A message log of its own under the build folder, read back as text.
class LogFile {
 public:
  explicit LogFile(const std::string& name) : path_(TestOutputDir("logs") + "/" + name + ".log") {
    std::error_code ec;
    fs::remove(path_, ec);
    log_ = std::make_unique<TMessLog>(path_, false, false, false, true);
  }
  TMessLog* get() { return log_.get(); }
  std::string Text() {
    log_->Log("");
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool Has(const std::string& message) { return Text().find(" - " + message + "\r\n") != std::string::npos; }

 private:
  std::string path_;
  std::unique_ptr<TMessLog> log_;
};

// Sets an environment variable for the scope of a test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string SQLiteFile(const std::string& name) {
  const std::string file = TestOutputDir("sqlite") + "/" + name + ".db";
  std::error_code ec;
  fs::remove(file, ec);
  return file;
}

std::string SQLiteOptions() { return "LoadExt=" + SQLiteExtensionPath(); }

// --- on both databases ---------------------------------------------------------------------

class ManagedConnectionTest : public BackendTest {
 protected:
  std::string Prefix() const override { return "tarn_db"; }
  void Configure(TODBCConn& conn, TODBC& odbc, TMessLog* log) {
    const ConnectionParams& p = Db().Params();
    conn.ODBC = &odbc;
    conn.SetLog(log);
    conn.SetParams(p.DSNName, p.Driver, p.Database, p.User, p.Password, p.ConnectOptions);
    conn.ServerHost = p.Host;
  }
};

TEST_P(ManagedConnectionTest, FirstConnectTellsTheStoryAndAnAliveConnectionStaysQuiet) {
  LogFile log("conn_story_" + BackendName(backend()));
  TODBC odbc;
  TODBCConn conn(700, "");
  Configure(conn, odbc, log.get());
  ASSERT_TRUE(conn.Connect()) << log.Text();
  EXPECT_TRUE(log.Has("Connecting to " + Db().Params().Database));
  EXPECT_TRUE(log.Has("Connected to DataSource!"));
  if (backend() == Backend::MariaDB) {
    EXPECT_TRUE(log.Has("Pinging - 127.0.0.1"));
    EXPECT_TRUE(log.Has("Ping OK"));
    EXPECT_EQ(odbc.DriverFamily(), dfMySQL);
  }
  EXPECT_TRUE(odbc.BindColumns);
  EXPECT_EQ(odbc.MessLog, log.get());
  EXPECT_FALSE(odbc.ConnectionInfo().empty());
  const std::string before = log.Text();
  EXPECT_TRUE(conn.Connect());
  EXPECT_TRUE(conn.Connect());
  EXPECT_EQ(log.Text(), before);
  EXPECT_TRUE(odbc.EndTransaction(true));
}

TEST_P(ManagedConnectionTest, LostConnectionIsRebuiltInTheSameCall) {
  LogFile log("conn_lost_" + BackendName(backend()));
  TODBC odbc;
  TODBCConn conn(700, "");
  Configure(conn, odbc, log.get());
  ASSERT_TRUE(conn.Connect());
  auto stmt = std::make_unique<TODBCStatement>(&odbc);
  ASSERT_TRUE(stmt->DoSQL("UPDATE lot SET lot_count = 0"));
  odbc.CheckConnectionLoss("08S01", "Communication link failure");
  ASSERT_TRUE(odbc.IsConnectionDead());
  const size_t mark = log.Text().size();
  ASSERT_TRUE(conn.Connect());
  const std::string story = log.Text().substr(mark);
  const size_t dead = story.find("ODBC Connection 'Dead'!");
  const size_t connecting = story.find("Connecting to " + Db().Params().Database);
  const size_t connected = story.find("Connected to DataSource!");
  ASSERT_NE(dead, std::string::npos) << story;
  ASSERT_NE(connecting, std::string::npos) << story;
  ASSERT_NE(connected, std::string::npos) << story;
  EXPECT_LT(dead, connecting);
  EXPECT_LT(connecting, connected);
  EXPECT_FALSE(odbc.ConnectionDead());
  // The statement of the old connection was invalidated by the disconnect.
  EXPECT_FALSE(stmt->Allocated());
  EXPECT_FALSE(stmt->DoSQL("SELECT * FROM lot"));
  TODBCStatement fresh(&odbc);
  EXPECT_EQ(fresh.Execute("SELECT * FROM lot WHERE id = 1").kind(), TSqlOutcome::TKind::NoRow);
}

TEST_P(ManagedConnectionTest, DriverRefusalWritesItsDiagnostics) {
  LogFile log("conn_refused_" + BackendName(backend()));
  TODBC odbc;
  TODBCConn conn(700, "");
  Configure(conn, odbc, log.get());
  if (backend() == Backend::MariaDB)
    conn.Password = "wrong";
  else
    conn.DataBase = TestOutputDir("sqlite") + "/no/such/folder/x.db";
  EXPECT_FALSE(conn.Connect());
  EXPECT_FALSE(odbc.Connected());
  EXPECT_EQ(odbc.DriverFamily(), dfUnknown);
  const std::string text = log.Text();
  EXPECT_TRUE(HasDiagnosticLine(text)) << text;
  if (backend() == Backend::MariaDB) {
    EXPECT_NE(text.find(". State:  28000"), std::string::npos) << text;
  }
  EXPECT_TRUE(log.Has("Could not connect to DataSource, check your setup..."));
  // The next Connect tries again.
  conn.Password = Db().Params().Password;
  conn.DataBase = Db().Params().Database;
  EXPECT_TRUE(conn.Connect()) << log.Text();
}

INSTANTIATE_TEST_SUITE_P(Backends, ManagedConnectionTest, TARN_BACKENDS);

// --- SQLite only, or no database at all --------------------------------------------------

TEST(ManagedConnection, NeitherDatabaseNorUserMeansNoConnectingLine) {
  LogFile log("conn_anonymous");
  TODBC odbc;
  TODBCConn conn(700, "");
  conn.ODBC = &odbc;
  conn.SetLog(log.get());
  conn.SetParams("", "SQLite3", "", "", "", "Database=" + SQLiteFile("anonymous") + ";" + SQLiteOptions());
  ASSERT_TRUE(conn.Connect()) << log.Text();
  EXPECT_EQ(log.Text().find("Connecting"), std::string::npos);
  EXPECT_TRUE(log.Has("Connected to DataSource!"));
  conn.Disconnect();
  conn.User = "operator";
  ASSERT_TRUE(conn.Connect());
  EXPECT_TRUE(log.Has("Connecting as operator"));
}

TEST(ManagedConnection, UnreachableHostMeansNoDriverCall) {
  LogFile log("conn_unreachable");
  TODBC odbc;
  TODBCConn conn(700, "");
  conn.ODBC = &odbc;
  conn.SetLog(log.get());
  conn.SetParams("", "SQLite3", SQLiteFile("unreachable"), "", "", SQLiteOptions());
  conn.ServerHost = "db.example.site";
  std::string pingedHost;
  int pingedTimeout = 0;
  conn.Ping = [&](const std::string& host, int timeout, TMessLog* l) {
    pingedHost = host;
    pingedTimeout = timeout;
    EXPECT_EQ(l, log.get());
    return false;
  };
  EXPECT_FALSE(conn.Connect());
  EXPECT_EQ(pingedHost, "db.example.site");
  EXPECT_EQ(pingedTimeout, 700);
  EXPECT_EQ(conn.PingTimeout(), 700);
  EXPECT_TRUE(odbc.ConnectionInfo().empty());
  EXPECT_FALSE(odbc.Connected());
  EXPECT_TRUE(log.Has("Could not connect to DataSource, check your setup..."));
  EXPECT_FALSE(fs::exists(conn.DataBase));  // the driver never opened the file
}

TEST(ManagedConnection, MissingDriverManagerIsAnErrorOfTheAttempt) {
  LogFile log("conn_nolibrary");
  for (const std::string library : {"/nonexistent/libodbc.so.2", "libc.so.6"}) {
    ScopedEnv env("TARNCARD_ODBC_LIBRARY", library);
    TODBC odbc;
    EXPECT_FALSE(odbc.Loaded()) << library;
    EXPECT_FALSE(odbc.HasEnvironment());
    EXPECT_THROW(odbc.ConnectToDataSource("", "", "", "", "SQLite3", ""), EODBCError);
    EXPECT_FALSE(odbc.IsConnectionDead());
    EXPECT_TRUE(odbc.EndTransaction(true));
    TODBCStatement stmt(&odbc);
    EXPECT_FALSE(stmt.DoSQL("SELECT 1"));
    TODBCConn conn(700, "");
    conn.ODBC = &odbc;
    conn.SetLog(log.get());
    conn.SetParams("", "SQLite3", "x.db", "", "", "");
    EXPECT_FALSE(conn.Connect());
    EXPECT_TRUE(log.Has("Exception: ODBC Connect!"));
    EXPECT_TRUE(log.Has("Could not connect to DataSource, check your setup..."));
  }
  // The real library binds every entry point of the table, each to the driver manager's
  // function of its name.
  auto library = TOdbcLibrary::Load();
  ASSERT_TRUE(library);
  std::array<uintptr_t, sizeof(TOdbcEntryPoints) / sizeof(uintptr_t)> slots{};
  static_assert(sizeof(slots) == sizeof(TOdbcEntryPoints));
  std::memcpy(slots.data(), &library->Api(), sizeof(slots));
  const std::vector<std::string>& names = TOdbcLibrary::EntryPointNames();
  ASSERT_EQ(names.size(), slots.size());
  void* manager = nullptr;
  for (const std::string& name : TOdbcLibrary::CandidateNames())
    if (manager == nullptr) manager = dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(manager, nullptr);
  for (size_t i = 0; i < slots.size(); ++i)
    EXPECT_EQ(slots[i], reinterpret_cast<uintptr_t>(dlsym(manager, names[i].c_str()))) << names[i];
  dlclose(manager);
  TODBC odbc;
  EXPECT_TRUE(odbc.Loaded());
  EXPECT_TRUE(odbc.HasEnvironment());
}

TEST(ManagedConnection, SharedConnectionObjectBelongsToItsCreator) {
  ASSERT_EQ(SharedODBC(), nullptr);
  {
    TODBCConn conn(700, "");
    conn.SetParams("", "SQLite3", SQLiteFile("shared"), "", "", SQLiteOptions());
    ASSERT_TRUE(conn.Connect());
    EXPECT_TRUE(conn.OwnsODBC());
    EXPECT_EQ(conn.ODBC, SharedODBC());
    TODBCConn other(700, "");
    other.EnsureODBC();
    EXPECT_FALSE(other.OwnsODBC());
    EXPECT_EQ(other.ODBC, SharedODBC());
    other.ODBC = nullptr;  // the creator frees it
    conn.Disconnect();
    EXPECT_EQ(SharedODBC(), nullptr);
    EXPECT_EQ(conn.ODBC, nullptr);
    EXPECT_FALSE(conn.OwnsODBC());
  }
  EXPECT_EQ(SharedODBC(), nullptr);
}

TEST(ManagedConnection, SetLogKeepsALogTheConnectionObjectAlreadyHas) {
  LogFile first("conn_setlog_first");
  LogFile second("conn_setlog_second");
  TODBC odbc;
  odbc.MessLog = first.get();
  TODBCConn conn(700, "");
  conn.ODBC = &odbc;
  conn.SetLog(second.get());
  EXPECT_EQ(odbc.MessLog, first.get());
  conn.SetParams("", "SQLite3", SQLiteFile("setlog"), "", "", SQLiteOptions());
  ASSERT_TRUE(conn.OpenConnection(false, "", ""));
  EXPECT_EQ(odbc.MessLog, second.get());
  TODBC bare;
  TODBCConn other(700, "");
  other.ODBC = &bare;
  other.SetLog(first.get());
  EXPECT_EQ(bare.MessLog, first.get());
}

TEST(ManagedConnection, SettingsFileParameters) {
  const std::string ini = TestOutputDir("db") + "/conn.ini";
  {
    std::ofstream out(ini, std::ios::trunc);
    out << "[ODBC]\nHost=\nDataBase=" << SQLiteFile("fromini") << "\nDriver=SQLite3\nCustom="
        << SQLiteOptions() << "\n[Other]\nUser=u2\nKey=k2\n";
  }
  TODBCConn conn(0, ini);
  conn.ReadIniParams("", "Other");
  EXPECT_EQ(conn.DataSource, "");
  EXPECT_EQ(conn.DataBase, "mobiledata");
  EXPECT_EQ(conn.User, "u2");
  EXPECT_EQ(conn.Password, "k2");
  EXPECT_EQ(conn.Driver, "SQL Native Client");
  EXPECT_EQ(conn.Custom, "");
  // A settings file given at creation is read by every attempt (section "ODBC").
  TODBC odbc;
  conn.ODBC = &odbc;
  ASSERT_TRUE(conn.Connect());
  EXPECT_EQ(conn.Driver, "SQLite3");
  EXPECT_EQ(conn.User, "");
  conn.Disconnect();
  const std::string other = SQLiteFile("override");
  ASSERT_TRUE(conn.OpenConnection(false, "", other));
  EXPECT_EQ(conn.DataBase, other);
  EXPECT_TRUE(fs::exists(other));
}

TEST(ODBCConnection, DataSourceByNameListedOrNot) {
  const std::string dir = TestOutputDir("odbcini");
  const std::string db = SQLiteFile("bydsn");
  {
    std::ofstream out(dir + "/odbc.ini", std::ios::trunc);
    out << "[TarnSite]\nDescription=site\nDriver=SQLite3\nDatabase=" << db << "\nLoadExt="
        << SQLiteExtensionPath() << "\n";
  }
  fs::copy_file("/etc/odbcinst.ini", dir + "/odbcinst.ini", fs::copy_options::overwrite_existing);
  ScopedEnv ini("ODBCINI", dir + "/odbc.ini");
  ScopedEnv sys("ODBCSYSINI", dir);
  {
    TODBC odbc;
    ASSERT_TRUE(odbc.ConnectToDataSource("TarnSite", "", "", "", "", ""));
    EXPECT_EQ(odbc.ConnectionInfo(), "SQLite3");  // the listed data source's driver
    TODBCStatement s(&odbc);
    EXPECT_TRUE(s.DoSQL("SELECT {fn now()} AS n"));
  }
  {
    // Found by the driver manager, but no listed name matches it exactly.
    TODBC odbc;
    ASSERT_TRUE(odbc.ConnectToDataSource("tarnsite", "", "", "", "", ""));
    EXPECT_EQ(odbc.ConnectionInfo(), "tarnsite");
  }
  std::string name = "TarnSite";
  TODBC odbc;
  odbc.FindDataSourceDriver(name);
  EXPECT_EQ(name, "SQLite3");
  name = "Elsewhere";
  odbc.FindDataSourceDriver(name);
  EXPECT_EQ(name, "Elsewhere");
}

TEST(ODBCConnection, UnknownDriverReportsTheDriverManagersDiagnostic) {
  LogFile log("odbc_nodriver");
  TODBC odbc;
  odbc.MessLog = log.get();
  EXPECT_FALSE(odbc.ConnectToDataSource("", "", "", "x", "No Such Driver", ""));
  EXPECT_TRUE(odbc.ConnectionHandle() == SQL_NULL_HDBC);
  EXPECT_TRUE(HasDiagnosticLine(log.Text(), "No Such Driver")) << log.Text();
  // Without a log the refusal is only answered.
  odbc.MessLog = nullptr;
  const size_t size = log.Text().size();
  EXPECT_FALSE(odbc.ConnectToDataSource("", "", "", "x", "No Such Driver", ""));
  EXPECT_EQ(log.Text().size(), size);
}

TEST(ODBCConnection, ConnectionLossFromStateOrMessage) {
  struct Case {
    const char* state;
    const char* text;
    bool dead;
  } cases[] = {
      {"08S01", "", true},
      {"08001", "x", true},
      {"08002", "x", true},
      {"08003", "x", true},
      {"08004", "x", true},
      {"08005", "x", true},
      {"08006", "x", true},
      {"08007", "x", true},
      {"08s01", "x", false},
      {"HY000", "Unable to complete network request to host \"db\". State:  HY000", true},
      {"HY000", "unable to complete network request", false},
      {"42S02", "Table not found", false},
  };
  for (const Case& c : cases) {
    TODBC odbc;
    odbc.CheckConnectionLoss(c.state, c.text);
    EXPECT_EQ(odbc.ConnectionDead(), c.dead) << c.state << " " << c.text;
    EXPECT_EQ(odbc.IsConnectionDead(), c.dead);
  }
  // Only a connect or a disconnect clears the flag.
  TODBC odbc;
  odbc.CheckConnectionLoss("08S01", "");
  odbc.CheckConnectionLoss("00000", "");
  EXPECT_TRUE(odbc.ConnectionDead());
  odbc.DisconnectFromDataSource();
  EXPECT_FALSE(odbc.ConnectionDead());
  EXPECT_TRUE(odbc.Diagnostics().empty());  // no connection handle, no records
}

}  // namespace
}  // namespace tarn::test
