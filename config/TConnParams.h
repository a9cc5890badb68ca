#pragma once
// TConnParams: the installation's connection and service parameters, read once from the
// registry store with their defaults when constructed; the owner takes what it needs and
// frees the record at once. Not shared between threads.
#include <string>

namespace tarn {

class TConnParams {
 public:
  // Reads the Java runtime and Tomcat values, then every parameter in order.
  TConnParams();

  std::string DSNName;
  std::string Host;
  std::string Database;
  std::string User;
  std::string Pass;  // unscrambled
  std::string ODBCDriver;
  std::string ODBCOptions;
  int DTLFreq = 0;
  bool DebugLog = true;
  bool WebSiteEnabled = false;
  std::string WebSiteLocation;
  int BackupDays = 0;
  std::string BackupEmailAddress;
  bool BackupNotify = false;
  bool BackupUnique = false;
  std::string BackupDest;
  int BackupTime = 0;
  std::string SMTPServer;
  std::string FromEmail;
  bool AuthReq = false;
  std::string EmailUser;
  std::string EmailPass;  // unscrambled
  bool JavaInstalled = false;
  std::string TomcatPath;

  // "ODBCOptions" with %h, %d, %u and %p replaced, in that order.
  std::string ConnectOptions() const;
};

}  // namespace tarn
