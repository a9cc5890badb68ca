#include "service/LoopAssembly.h"

#include "config/TConnParams.h"
#include "config/TLoopSettings.h"
#include "db/TODBC.h"
#include "db/TODBCConn.h"
#include "platform/Home.h"

namespace tarn {

namespace {
constexpr int kLoopPingTimeout = 700;
}  // namespace

TLoopParts SiteLoopParts(TMessLog& log) {
  TLoopParts parts;
  const TConnParams params;
  parts.DebugLog = params.DebugLog;
  parts.Conn = std::make_unique<TODBCConn>(kLoopPingTimeout, "");
  parts.DB = std::make_unique<TODBC>();
  parts.Conn->ODBC = parts.DB.get();
  parts.Conn->SetLog(&log);
  parts.Conn->SetParams(params.DSNName, params.ODBCDriver, params.Database, params.User, params.Pass,
                        params.ConnectOptions());
  parts.Conn->ServerHost = params.Host;
  parts.Settings = std::make_unique<TLoopSettingsFile>(platform::SettingsFilePath());
  return parts;
}

std::unique_ptr<TLoop> MakeSiteLoop(TMessLog& log, int loopId, TOfflineStore* offline) {
  TLoopParts parts = SiteLoopParts(log);
  parts.Offline = offline;
  auto loop = std::make_unique<TLoop>(log, loopId, std::move(parts));
  loop->SetUp();
  return loop;
}

}  // namespace tarn
