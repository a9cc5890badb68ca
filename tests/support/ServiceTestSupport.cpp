#include "support/ServiceTestSupport.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <fstream>
#include <sstream>
#include <thread>

namespace tarn::testing {

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> ReadLogLines(const std::filesystem::path& home) {
  std::vector<std::string> lines;
  std::error_code ec;
  std::vector<std::filesystem::path> files;
  for (auto& e : std::filesystem::directory_iterator(home / "log", ec))
    if (e.path().filename().string().rfind("vtsql", 0) == 0) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (auto& f : files) {
    std::string text = ReadFile(f);
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find("\r\n", pos);
      if (end == std::string::npos) {
        lines.push_back(text.substr(pos));
        break;
      }
      lines.push_back(text.substr(pos, end - pos));
      pos = end + 2;
    }
  }
  return lines;
}

std::vector<std::string> Messages(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (auto& l : lines) out.push_back(l.size() >= 24 ? l.substr(24) : l);
  return out;
}

bool WaitFor(const std::function<bool()>& pred, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= end) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env) {
  pid_ = fork();
  if (pid_ == 0) {
    for (auto& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
  }
}

void ChildProcess::Signal(int sig) {
  if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

bool ChildProcess::Wait(int timeoutMs, int& status) {
  bool ok = WaitFor(
      [&] {
        if (reaped_) return true;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) reaped_ = true;
        return reaped_;
      },
      timeoutMs);
  return ok;
}

}  // namespace tarn::testing
