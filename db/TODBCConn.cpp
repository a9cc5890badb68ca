#include "db/TODBCConn.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "db/HostList.h"
#include "db/OutageBoard.h"
#include "log/TMessLog.h"
#include "platform/Tick.h"
#include "platform/IniFile.h"
#include "metrics/StatusStore.h"
#include "platform/PingHost.h"

namespace tarn {

namespace {

std::unique_ptr<TODBC>& SharedSlot() {
  static std::unique_ptr<TODBC> shared;
  return shared;
}

}  // namespace

TODBC* SharedODBC() { return SharedSlot().get(); }

bool PingHostLogged(const std::string& host, int timeoutMs, TMessLog* log) {
  if (log == nullptr) return PingHost(host, timeoutMs);
  return PingHost(host, timeoutMs, [log](const std::string& line) { log->Log(line); });
}

TODBCConn::TODBCConn(int32_t pingTimeout, const std::string& iniFileName)
    : Ping(PingHostLogged), iniFileName_(iniFileName), pingTimeout_(pingTimeout) {}

TODBCConn::~TODBCConn() {
  // A running attempt uses the TODBC and the log: it ends before either may go.
  JoinAttempt();
  if (ODBC != nullptr) ODBC->ReconnectHook = nullptr;
  try {
    Disconnect();
  } catch (...) {
  }
}

void TODBCConn::LogLine(const std::string& text) {
  if (MessLog != nullptr) MessLog->Log(text);
}

void TODBCConn::SetLog(TMessLog* log) {
  MessLog = log;
  if (ODBC != nullptr && ODBC->MessLog == nullptr) ODBC->MessLog = log;
}

void TODBCConn::SetParams(const std::string& dataSource, const std::string& driver,
                          const std::string& database, const std::string& user,
                          const std::string& password, const std::string& custom) {
  DataSource = dataSource;
  Driver = driver;
  DataBase = database;
  User = user;
  Password = password;
  Custom = custom;
}

void TODBCConn::EnsureODBC() {
  if (ODBC != nullptr) return;
  if (SharedSlot() == nullptr) {
    ownsODBC_ = true;
    SharedSlot() = std::make_unique<TODBC>();
  }
  ODBC = SharedSlot().get();
}

uint64_t TODBCConn::BackOffMs(int slowFailures) {
  if (slowFailures <= 0) return 0;
  const int shift = std::min(slowFailures - 1, 4);
  return std::min<uint64_t>(2000ull << shift, 30000);
}

bool TODBCConn::AttemptPending() const { return attempt_.joinable() && !attemptDone_.load(); }

void TODBCConn::JoinAttempt() noexcept {
  if (attempt_.joinable()) attempt_.join();
  if (attemptOdbc_ != nullptr) attemptOdbc_->SetAttemptRunning(false);
  attemptOdbc_ = nullptr;
}

void TODBCConn::WaitForAttempt() {
  std::lock_guard<std::mutex> guard(lock_);
  if (attempt_.joinable()) FinishAttempt();
}

std::string TODBCConn::OutageKey() const {
  return ServerHost + "|" + DataSource + "|" + Driver + "|" + DataBase + "|" + Custom;
}

TAway TODBCConn::DatabaseAway() const { return TOutageBoard::Instance().Away(OutageKey()); }

int TODBCConn::LossWaitMs(int limitMs) const {
  int wait = std::max(ReconnectWaitMs, 0);
  switch (DatabaseAway()) {
    case TAway::No: break;
    // A new connection is either there at once or refused: no more than one attempt's wait.
    case TAway::Refusing: wait = std::min(wait, std::max(AttemptWaitMs, 0)); break;
    // New connections hang there: one is started and not waited for.
    case TAway::Silent: wait = 0; break;
  }
  return limitMs >= 0 ? std::min(wait, limitMs) : wait;
}

int TODBCConn::ReadAttemptWaitMs(bool running) const {
  const int wait = AttemptWaitMs;
  if (wait < 0 || DatabaseAway() != TAway::Silent) return wait;
  // Where attempts hang, one still running will not end in time; a new one that connects
  // within a moment finds a database that is back.
  return running ? 0 : std::min(wait, TODBC::kAwayWaitMs);
}

void TODBCConn::MarkLossUnrepaired(bool silent) {
  TOutageBoard::Instance().MarkAway(OutageKey(), silent ? TAway::Silent : TAway::Refusing);
}

bool TODBCConn::Connect(bool forRead) {
  std::lock_guard<std::mutex> guard(lock_);
  // An attempt of an earlier call still owns the TODBC: no database work until it ends. A
  // read gives it an attempt's wait (none where attempts hang), and does not take an earlier
  // attempt's failure for its answer: it tries once more (the database may be back).
  if (AttemptPending() && !(forRead && WaitAttempt(ReadAttemptWaitMs(true)))) return false;
  if (attempt_.joinable()) {
    try {
      const bool ok = FinishAttempt();
      if (ok || !forRead) return ok;
    } catch (...) {
      LogLine("EXCEPTION: ConnectToODBC!");
      return ODBC != nullptr && ODBC->Connected();
    }
  }
  try {
    EnsureODBC();
  } catch (...) {
  }
  if (ODBC == nullptr) {
    LogLine("TODBC Could not be Created!");
    return false;
  }
  bool result = false;
  try {
    bool wasConnected = ODBC->Connected();
    if (wasConnected && ODBC->IsConnectionDead()) {
      LogLine("ODBC Connection 'Dead'!");
      metrics::TStatusStore::Instance().DatabaseConnected(false, "ODBC connection lost");
      const bool silent = ODBC->GaveUp();
      try {
        Disconnect();
      } catch (...) {
      }
      EnsureODBC();
      MoveOnFromLostHost();
      // A connection that was up is made again within the reconnect wait, so that the unit of
      // work that found it lost (a card read) is decided through the next server; while the
      // database is known away, within a shorter wait or none (LossWaitMs): the next call
      // takes the outcome of an attempt still running.
      const int waitMs = LossWaitMs(-1);
      result = ODBC != nullptr && AttemptsUntil(platform::TickMs() + static_cast<uint64_t>(waitMs), false);
      if (!result) MarkLossUnrepaired(silent);
      metrics::TStatusStore::Instance().DatabaseConnected(result, result ? "" : "Could not connect to DataSource");
      return result;
    }
    if (wasConnected) {
      // It answered: whatever another connection found, this database is there.
      TOutageBoard::Instance().MarkBack(ODBC->OutageKey);
      return true;
    }
    // After attempts that hung, the next one waits for its turn; a card read does not: the
    // first read after the database is back must find it.
    if (!forRead && slowFailures_ > 0 && platform::TickMs() < nextAttemptAt_) return false;
    if (!StartAttempt()) {
      LogLine("Could not connect to DataSource, check your setup...");
      Disconnect();
      return false;
    }
    // Once attempts have hung, the owner's thread does not wait for the next ones; a read
    // does (ReadAttemptWaitMs): the database may be back.
    if (!WaitAttempt(forRead ? ReadAttemptWaitMs(false) : slowFailures_ > 0 ? 0 : AttemptWaitMs)) return false;
    result = FinishAttempt();
  } catch (...) {
    LogLine("EXCEPTION: ConnectToODBC!");
    result = ODBC != nullptr && ODBC->Connected();
  }
  metrics::TStatusStore::Instance().DatabaseConnected(result, result ? "" : "Could not connect to DataSource");
  return result;
}

bool TODBCConn::StartAttempt() {
  try {
    if (!BeginAttempt(!iniFileName_.empty(), "", "")) return false;
    attemptDone_.store(false);
    attemptOk_ = false;
    attemptThrew_ = false;
    attemptStarted_ = platform::TickMs();
    attemptEndedAt_ = 0;
    attemptOdbc_ = ODBC;
    ODBC->SetAttemptRunning(true);
    attempt_ = std::thread([this, body = AttemptBody()] {
      bool ok = false;
      bool threw = false;
      try {
        ok = body();
      } catch (...) {
        threw = true;
      }
      {
        std::lock_guard<std::mutex> g(attemptMutex_);
        attemptOk_ = ok;
        attemptThrew_ = threw;
        attemptEndedAt_ = platform::TickMs();
        attemptDone_.store(true);
      }
      attemptEnded_.notify_all();
    });
    return true;
  } catch (...) {
    // No thread was started: the TODBC is free again.
    LogLine("Exception: ODBC Connect!");
    if (!attempt_.joinable()) {
      if (attemptOdbc_ != nullptr) attemptOdbc_->SetAttemptRunning(false);
      attemptOdbc_ = nullptr;
    }
    return false;
  }
}

bool TODBCConn::WaitAttempt(int ms) {
  std::unique_lock<std::mutex> g(attemptMutex_);
  if (ms < 0)
    attemptEnded_.wait(g, [this] { return attemptDone_.load(); });
  else
    attemptEnded_.wait_for(g, std::chrono::milliseconds(ms), [this] { return attemptDone_.load(); });
  return attemptDone_.load();
}

void TODBCConn::MoveOnFromLostHost() {
  const size_t count = ParseHostList(ServerHost).size();
  const int lost = attemptHost_.load();
  if (count > 1 && lost >= 0) nextHost_ = (static_cast<size_t>(lost) + 1) % count;
}

bool TODBCConn::AttemptsUntil(uint64_t deadline, bool keepStatements) {
  // Attempts follow each other until the wait is over: a proxy may still send the first
  // ones to the node that died until its health check has taken it out.
  keepStatements_ = keepStatements;
  bool result = false;
  int pauses = 0;
  for (;;) {
    if (!StartAttempt()) {
      keepStatements_ = false;
      LogLine("Could not connect to DataSource, check your setup...");
      Disconnect();
      return false;
    }
    const uint64_t now = platform::TickMs();
    if (!WaitAttempt(static_cast<int>(deadline > now ? deadline - now : 0))) {
      keepStatements_ = false;
      return false;  // the next Connect collects it
    }
    result = FinishAttempt();
    // The pause doubles (0.25, 0.5, 1, 2 s): a few attempts, not a flood of them in the log
    // when the whole database is down.
    const uint64_t pause = static_cast<uint64_t>(kReconnectPauseMs) << std::min(pauses++, 3);
    if (result || platform::TickMs() + pause >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
  }
  keepStatements_ = false;
  if (!result) Disconnect();
  return result;
}

bool TODBCConn::ReconnectAfterLoss(int waitMs) {
  std::lock_guard<std::mutex> guard(lock_);
  if (ODBC == nullptr || attempt_.joinable()) return false;
  bool result = false;
  try {
    LogLine("ODBC Connection 'Dead'!");
    metrics::TStatusStore::Instance().DatabaseConnected(false, "ODBC connection lost");
    // The statements of the unit of work in progress stay, with their rows; they set up new
    // handles on the new connection.
    const bool silent = ODBC->GaveUp();
    ODBC->DropConnectionKeepingStatements();
    MoveOnFromLostHost();
    // The first loss waits for a new connection (a node that died: the next one takes
    // over); while the database is known away the wait is short or none (LossWaitMs).
    result = AttemptsUntil(platform::TickMs() + static_cast<uint64_t>(LossWaitMs(waitMs)), true);
    if (!result) MarkLossUnrepaired(silent);
  } catch (...) {
    keepStatements_ = false;
    LogLine("EXCEPTION: ConnectToODBC!");
    result = ODBC != nullptr && ODBC->Connected();
  }
  metrics::TStatusStore::Instance().DatabaseConnected(result, result ? "" : "Could not connect to DataSource");
  return result;
}

bool TODBCConn::FinishAttempt() {
  JoinAttempt();
  bool result = attemptOk_;
  if (attemptThrew_) {
    LogLine("Exception: ODBC Connect!");
    result = false;
  }
  result = EndAttempt(result);
  const uint64_t now = platform::TickMs();
  // How long the attempt itself took (it may be collected much later).
  const uint64_t took = attemptEndedAt_ > attemptStarted_ ? attemptEndedAt_ - attemptStarted_ : 0;
  if (result) {
    slowFailures_ = 0;
    TOutageBoard::Instance().MarkBack(OutageKey(), attemptStarted_);
  } else if (took > static_cast<uint64_t>(std::max(AttemptWaitMs, 0))) {
    ++slowFailures_;
    nextAttemptAt_ = now + BackOffMs(slowFailures_);
    // An attempt that hung until the driver gave up: the host does not answer at all.
    if (took > static_cast<uint64_t>(kHungAttemptMs)) TOutageBoard::Instance().MarkAway(OutageKey(), TAway::Silent);
  } else {
    slowFailures_ = 0;
  }
  if (ODBC != nullptr && ODBC->Connected()) LogLine("Connected to DataSource!");
  if (!result) {
    LogLine("Could not connect to DataSource, check your setup...");
    DropConnection();
    return false;
  }
  const int host = attemptHost_.load();
  if (host >= 0) nextHost_ = static_cast<size_t>(host);
  // Writes whose link was lost before their outcome was known come first.
  if (ODBC != nullptr && ODBC->Guard().HasPending()) ODBC->Guard().ResolvePending();
  return result;
}

bool TODBCConn::BeginAttempt(bool readIniFile, const std::string& section, const std::string& database) {
  if (readIniFile) ReadIniParams(iniFileName_, section);
  if (!database.empty()) DataBase = database;
  EnsureODBC();
  if (ODBC == nullptr) return false;
  ODBC->ReconnectHook = [this](int waitMs) { return ReconnectAfterLoss(waitMs); };
  ODBC->OutageKey = OutageKey();
  if (MessLog != nullptr) {
    ODBC->MessLog = MessLog;
    if (!DataBase.empty())
      LogLine("Connecting to " + DataBase);
    else if (!User.empty())
      LogLine("Connecting as " + User);
  }
  return true;
}

std::function<bool()> TODBCConn::AttemptBody() {
  // The attempt works on copies: the owner may set new parameters meanwhile.
  attemptHost_.store(-1);
  std::vector<THostEntry> hosts = ParseHostList(ServerHost);
  const size_t first = hosts.empty() ? 0 : nextHost_ % hosts.size();
  return [this, odbc = ODBC, ping = Ping, host = ServerHost, timeout = pingTimeout_, log = MessLog,
          dataSource = DataSource, user = User, password = Password, database = DataBase,
          driver = Driver, custom = Custom, hosts = std::move(hosts), first] {
    if (hosts.size() <= 1) {
      const bool reachable = !ping || ping(host, timeout, log);
      if (!reachable) return false;
      const bool ok = odbc->ConnectToDataSource(dataSource, user, password, database, driver, custom);
      if (ok) attemptHost_.store(0);
      return ok;
    }
    // A list of servers: the first that answers, beginning where the owner asked.
    for (size_t k = 0; k < hosts.size(); ++k) {
      const size_t i = (first + k) % hosts.size();
      const THostEntry& entry = hosts[i];
      if (ping && !ping(entry.host, timeout, log)) {
        if (log != nullptr) log->Log("Database host " + entry.text + " does not answer");
        continue;
      }
      if (odbc->ConnectToDataSource(dataSource, user, password, database, driver,
                                    OptionsForHost(custom, host, entry))) {
        attemptHost_.store(static_cast<int>(i));
        if (log != nullptr) log->Log("Connected to database host " + entry.text);
        return true;
      }
      if (log != nullptr) log->Log("Database host " + entry.text + " refused the connection");
    }
    return false;
  };
}

bool TODBCConn::EndAttempt(bool ok) {
  if (ODBC != nullptr) ODBC->BindColumns = true;
  if (!ok) DropConnection();
  return ok;
}

bool TODBCConn::OpenConnection(bool readIniFile, const std::string& section,
                               const std::string& database) {
  if (!BeginAttempt(readIniFile, section, database)) {
    Disconnect();
    return false;
  }
  bool ok = false;
  try {
    ok = AttemptBody()();
  } catch (...) {
    EndAttempt(false);
    throw;
  }
  return EndAttempt(ok);
}

void TODBCConn::DropConnection() {
  if (keepStatements_ && ODBC != nullptr) {
    JoinAttempt();
    ODBC->DropConnectionKeepingStatements();
  } else {
    Disconnect();
  }
}

void TODBCConn::Disconnect() {
  JoinAttempt();
  if (ODBC != nullptr) {
    ODBC->DisconnectFromDataSource();
    if (ODBC->Connected()) LogLine("Problem Disconnecting from the DataSource!");
  }
  if (ownsODBC_) {
    if (SharedSlot() != nullptr) {
      if (ODBC == SharedSlot().get()) ODBC = nullptr;
      SharedSlot().reset();
    }
    ownsODBC_ = false;
  }
}

void TODBCConn::ReadIniParams(const std::string& fileName, const std::string& section) {
  if (!fileName.empty()) iniFileName_ = fileName;
  const std::string name = section.empty() ? "ODBC" : section;
  platform::TIniFile ini(iniFileName_);
  DataSource = ini.ReadString(name, "Host", "");
  DataBase = ini.ReadString(name, "DataBase", "mobiledata");
  User = ini.ReadString(name, "User", "");
  Password = ini.ReadString(name, "Key", "");
  Driver = ini.ReadString(name, "Driver", "SQL Native Client");
  Custom = ini.ReadString(name, "Custom", "");
}

}  // namespace tarn
