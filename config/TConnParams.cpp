#include "config/TConnParams.h"

#include "config/TRegistryEx.h"
#include "platform/Home.h"
#include "util/Strings.h"

namespace tarn {

TConnParams::TConnParams() {
  TRegistryEx reg("\\SOFTWARE\\JavaSoft\\Java Runtime Environment\\");
  JavaInstalled = !reg.ReadStr("CurrentVersion").empty();
  reg.SetKey("\\SOFTWARE\\Apache Software Foundation\\Tomcat\\5.5\\");
  TomcatPath = reg.ReadStr("InstallPath");

  reg.SetKey("\\Software\\Brevanta\\Tarn\\");
  DSNName = reg.ReadStrDef("DSNName", "");
  Host = reg.ReadStrDef("Host", "127.0.0.1");
  Database = reg.ReadStrDef("Database", "gtd");
  User = reg.ReadStrDef("User", "dbowner");
  Pass = reg.ReadScrambled("Pass");
  if (reg.ValueMissing) Pass = "kolbex";
  ODBCDriver = reg.ReadStrDef("ODBCDriver", "MySQL ODBC 3.51 Driver");
  ODBCOptions = reg.ReadStrDef("ODBCOptions", "SERVER=%h;database=%d");
  DTLFreq = reg.ReadIntDef("DTLFreq", 0);
  DebugLog = reg.ReadBoolDef("DebugLog", true);
  WebSiteEnabled = reg.ReadBoolDef("WebSiteEnabled", false);
  WebSiteLocation = reg.ReadStrDef("WebSiteLocation", JavaInstalled ? TomcatPath : "c:\\inetpub\\wwwroot");
  BackupDays = reg.ReadIntDef("BackupDays", 0);
  BackupEmailAddress = reg.ReadStrDef("BackupEmailAddress", "");
  BackupNotify = reg.ReadBoolDef("BackupNotify", false);
  BackupUnique = reg.ReadBoolDef("BackupUnique", false);
  BackupDest = reg.ReadStrDef("BackupDest", platform::HomeDir() + "/Backup");
  BackupTime = reg.ReadIntDef("BackupTime", 0);
  SMTPServer = reg.ReadStrDef("SMTPServer", "");
  FromEmail = reg.ReadStrDef("FromEmail", "");
  AuthReq = reg.ReadBoolDef("AuthReq", false);
  EmailUser = reg.ReadStrDef("EmailUser", "");
  EmailPass = reg.ReadScrambled("EmailPass");
}

std::string TConnParams::ConnectOptions() const {
  std::string s = ODBCOptions;
  s = ReplaceAll(s, "%h", Host);
  s = ReplaceAll(s, "%d", Database);
  s = ReplaceAll(s, "%u", User);
  s = ReplaceAll(s, "%p", Pass);
  return s;
}

}  // namespace tarn
