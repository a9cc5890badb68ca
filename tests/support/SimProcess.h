#pragma once
// Runs build/tarncard-sim as a child process for end-to-end tests: JSON output, the pty
// path read from --pty-file, operator commands written to its stdin. The process is
// stopped (SIGTERM, then SIGKILL) and reaped by the destructor.
#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tarn::testing {

class TSimProcess {
 public:
  // args: device specs and options after "--json --pty-file <file>".
  explicit TSimProcess(const std::vector<std::string>& args);
  ~TSimProcess();
  TSimProcess(const TSimProcess&) = delete;
  TSimProcess& operator=(const TSimProcess&) = delete;

  bool Started() const { return !pty_.empty(); }
  const std::string& PtyPath() const { return pty_; }
  // Writes one command line to the simulator's stdin.
  void Send(const std::string& line);
  // Waits up to timeoutMs for an output line (after position `from`) for which pred holds.
  std::optional<std::string> WaitFor(const std::function<bool(const std::string&)>& pred, int timeoutMs,
                                     size_t from = 0);
  // Lines printed so far.
  std::vector<std::string> Lines() const;
  size_t LineCount() const;

  static std::string BinaryPath();

 private:
  void ReadOutput(int fd);

  pid_t pid_ = -1;
  int stdin_ = -1;
  std::string pty_;
  std::string ptyFile_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool eof_ = false;
  std::thread reader_;
};

// The string value of a field of a flat JSON object line ("" when absent).
std::string JsonString(const std::string& line, const std::string& field);
// The integer value of a field (-1 when absent).
long JsonInt(const std::string& line, const std::string& field);

}  // namespace tarn::testing
