#include "platform/CommandLine.h"

#include "util/Strings.h"

namespace tarn::platform {
namespace {

// "--Install", "-install", "/INSTALL" and "install" are one switch.
std::string SwitchName(const std::string& arg) {
  std::string_view s(arg);
  if (s.substr(0, 2) == "--") s.remove_prefix(2);
  else if (!s.empty() && (s[0] == '-' || s[0] == '/')) s.remove_prefix(1);
  return UpperCase(s);
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& out, std::string& error) {
  CommandLine cmd;
  bool haveAction = false;
  auto setAction = [&](CommandAction a, const std::string& arg) {
    if (haveAction) {
      error = "Only one action may be given: \"" + arg + "\" follows another";
      return false;
    }
    haveAction = true;
    cmd.action = a;
    return true;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string name = SwitchName(arg);
    bool ok = true;
    if (name == "INSTALL") ok = setAction(CommandAction::Install, arg);
    else if (name == "UNINSTALL") ok = setAction(CommandAction::Uninstall, arg);
    else if (name == "SILENT") cmd.silent = true;
    else if (name == "HELP" || name == "H" || name == "?") ok = setAction(CommandAction::Help, arg);
    else if (name == "VERSION") ok = setAction(CommandAction::Version, arg);
    else if (name == "CHECK") ok = setAction(CommandAction::Check, arg);
    else if (name == "SCRAMBLE") {
      ok = setAction(CommandAction::Scramble, arg);
      if (ok) {
        if (i + 1 >= args.size()) {
          error = "SCRAMBLE needs the text to scramble";
          return false;
        }
        cmd.scrambleText = args[++i];
      }
    } else {
      error = "Unknown switch \"" + arg + "\" (try --help)";
      return false;
    }
    if (!ok) return false;
  }
  out = cmd;
  error.clear();
  return true;
}

bool ParseCommandLine(int argc, const char* const* argv, CommandLine& out, std::string& error) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
  return ParseCommandLine(args, out, error);
}

std::string UsageText(const std::string& programName) {
  return "Usage: " + programName +
         " [switch]\n"
         "  (no switch)          run the service in the foreground until SIGTERM or SIGINT\n"
         "  INSTALL [SILENT]     install and enable the systemd unit TARNCard.service\n"
         "  UNINSTALL [SILENT]   disable and remove the systemd unit\n"
         "  SCRAMBLE <text>      print the stored form of a password for the registry file\n"
         "  CHECK                read the configuration, print it and exit\n"
         "  VERSION              print the version\n"
         "  HELP                 print this text\n"
         "Switches may be written bare or with a leading /, - or --, in any letter case.\n";
}

}  // namespace tarn::platform
