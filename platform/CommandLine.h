#pragma once
// The service executable's command line. Switches are matched without regard to letter
// case, bare or with a leading "/", "-" or "--":
//   (none)             run the service in the foreground
//   INSTALL [SILENT]   write and enable the systemd unit
//   UNINSTALL [SILENT] disable and remove it
//   HELP (also -h, ?)  print the usage
//   VERSION            print the version
//   SCRAMBLE <text>    print the stored (scrambled) form of a password
//   CHECK              read the configuration, report it and exit
// Pure functions; thread-safe.
#include <string>
#include <vector>

namespace tarn::platform {

enum class CommandAction { Run, Install, Uninstall, Help, Version, Scramble, Check };

struct CommandLine {
  CommandAction action = CommandAction::Run;
  bool silent = false;
  std::string scrambleText;  // CommandAction::Scramble only
};

// Parses the arguments after the program name. Returns false with a one-line message in
// `error` for an unknown switch, a second action, or SCRAMBLE without its text.
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& out, std::string& error);
// The same over main()'s arguments (argv[0] is the program).
bool ParseCommandLine(int argc, const char* const* argv, CommandLine& out, std::string& error);

// The usage text printed by HELP and after a command-line error.
std::string UsageText(const std::string& programName);

}  // namespace tarn::platform
