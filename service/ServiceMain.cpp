// Program entry: command-line switches, then the service in the foreground until SIGTERM
// or SIGINT. The main thread runs the timers and every device event; a signal only asks
// the main loop to end, and the shut-down runs on the main thread afterwards.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>

#include "config/TRegistryEx.h"
#include "db/AbandonedWorkers.h"
#include "log/TMessLog.h"
#include "platform/CommandLine.h"
#include "platform/FileSafety.h"
#include "platform/Home.h"
#include "platform/MainLoop.h"
#include "platform/Signals.h"
#include "platform/SystemdUnit.h"
#include "service/SiteCheck.h"
#include "service/StatusServer.h"
#include "metrics/StatusStore.h"
#include "service/TTARNCard.h"
#include "util/DateTime.h"
#include "util/Strings.h"
#include "util/Version.h"

namespace tarn {

namespace {

// Says a line about the status page on standard error; under systemd in the journal's form
// of the log's own lines (priority, time stamp), so the journal ranks it like them.
// Like the log's lines, the text is escaped: a value of the settings file cannot start a
// journal line of its own.
void SayOnStderr(std::ostream& err, int priority, const std::string& text) {
  if (TMessLog::StderrIsJournal())
    err << "<" << priority << ">" << TMessLog::TimeStamp(Now()) << " - " << EscapeLogText(text) << "\n";
  else
    err << EscapeLogText(text) << "\n";
}

// The status server of the settings file's [Status] section; null when it is off or the
// address cannot be bound (said on `err`: the service runs on without it).
std::unique_ptr<status::TStatusServer> StartStatusServer(std::ostream& err) {
  const status::TStatusConfig config = status::ReadStatusConfig(platform::SettingsFilePath());
  if (config.listen.empty()) return nullptr;
  status::TListenAddress address;
  std::string error;
  if (!status::ParseListen(config.listen, address, error)) {
    SayOnStderr(err, 4, "Status page: Listen=" + config.listen + " is not valid (" + error + "); the page is off");
    return nullptr;
  }
  auto server =
      std::make_unique<status::TStatusServer>(metrics::TStatusStore::Instance(), config.token, config.hosts);
  if (!server->Start(address)) {
    SayOnStderr(err, 4, "Status page: cannot listen on " + config.listen + " (" + server->Error() + "); the page is off");
    return nullptr;
  }
  SayOnStderr(err, 6, "Status page on http://" + config.listen + "/");
  return server;
}

}  // namespace

int ServiceMain(int argc, char** argv) {
  platform::CommandLine cmd;
  std::string error;
  std::string program = argc > 0 ? argv[0] : "tarncard";
  if (!platform::ParseCommandLine(argc, argv, cmd, error)) {
    std::cerr << program << ": " << error << "\n" << platform::UsageText(program);
    return 2;
  }
  try {
    switch (cmd.action) {
      case platform::CommandAction::Help:
        std::cout << platform::UsageText(program);
        return 0;
      case platform::CommandAction::Version:
        std::cout << TTARNCard::kDisplayName << " " << TARNCARD_VERSION_TEXT << "\n";
        return 0;
      case platform::CommandAction::Install:
        return platform::InstallUnit(cmd.silent);
      case platform::CommandAction::Uninstall:
        return platform::UninstallUnit(cmd.silent);
      case platform::CommandAction::Scramble:
        // A character outside the table would not come back when the service reads the
        // value: refuse rather than print a password that can never work.
        if (!CanScramble(cmd.scrambleText)) {
          std::cerr << program << ": the text cannot be scrambled: it holds a character outside "
                       "the scramble table (^ ` { | ~, a control or a non-ASCII character)\n";
          return 1;
        }
        std::cout << Scramble(cmd.scrambleText) << "\n";
        return 0;
      case platform::CommandAction::Check:
        return RunSiteCheck(std::cout);
      case platform::CommandAction::Run:
        break;
    }
    // Root writes alive.txt, the log and the settings file: not where another user could
    // have planted a link or could rewrite the settings.
    if (::geteuid() == 0) {
      if (const auto findings = platform::WritableByOthers(platform::CurrentLayout(), 0); !findings.empty()) {
        for (const std::string& line : Split(platform::RootRefusalText(findings), '\n'))
          SayOnStderr(std::cerr, 2, line);
        return 1;
      }
    }
    platform::TMainLoop loop;
    // Signals are blocked before any other thread starts, and handled by asking the main
    // loop to end.
    platform::TSignalWatcher signals([&loop](int) { loop.Quit(); });
    // The status page runs for the whole process, across server restarts, on threads of
    // its own (started after the signals are blocked).
    metrics::TStatusStore::Instance().SetService(TTARNCard::ReadComputerName(), TARNCARD_VERSION_TEXT, Now());
    auto statusServer = StartStatusServer(std::cerr);
    TTARNCard service(loop);
    service.ServiceExecute();
    loop.Run();
    service.ServiceStop();
    if (statusServer) statusServer->Stop();
    // A call given up on a database that stopped answering ends by itself within the
    // driver's time-outs; the process waits for it a few seconds at most, then ends without
    // it (and without tearing down what the driver still uses under it).
    if (!TAbandonedWorkers::Instance().WaitAll(TAbandonedWorkers::kExitWaitMs)) {
      SayOnStderr(std::cerr, 4, "A database call was still waiting for its server; the service ends without it");
      std::fflush(nullptr);
      std::_Exit(0);
    }
    return 0;
  } catch (const std::exception& e) {
    std::cerr << program << ": " << EscapeLogText(e.what()) << "\n";
    return 1;
  }
}

}  // namespace tarn
