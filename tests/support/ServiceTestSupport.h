#pragma once
// Helpers for the service tests: reading the day log back, waiting on files, running the
// real executable as a child process.
#include <signal.h>
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tarn::testing {

// Every file's lines (CR LF stripped) of home/log/vtsql*.log, in file order.
std::vector<std::string> ReadLogLines(const std::filesystem::path& home);
std::string ReadFile(const std::filesystem::path& file);
// The message part of log lines ("hh:nn:ss.zzz dd/mm/yy - message").
std::vector<std::string> Messages(const std::vector<std::string>& lines);
// Polls every 20 ms until pred() holds or timeoutMs passes.
bool WaitFor(const std::function<bool()>& pred, int timeoutMs);

// A child process running a program of the build folder with extra environment variables.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  pid_t Pid() const { return pid_; }
  void Signal(int sig);
  // Waits for the exit; returns false when it did not end within timeoutMs.
  bool Wait(int timeoutMs, int& status);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

}  // namespace tarn::testing
