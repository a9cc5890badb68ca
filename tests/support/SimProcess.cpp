#include "support/SimProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>

#include "platform/Tick.h"

namespace tarn::testing {

std::string TSimProcess::BinaryPath() {
  const char* dir = std::getenv("TARNCARD_BUILD_DIR");
#ifdef TARNCARD_BINARY_DIR
  std::string build = dir ? dir : TARNCARD_BINARY_DIR;
#else
  std::string build = dir ? dir : ".";
#endif
  return build + "/tarncard-sim";
}

TSimProcess::TSimProcess(const std::vector<std::string>& args) {
  static std::atomic<int> serial{0};
  const char* dir = std::getenv("TARNCARD_BUILD_DIR");
#ifdef TARNCARD_BINARY_DIR
  std::string build = dir ? dir : TARNCARD_BINARY_DIR;
#else
  std::string build = dir ? dir : "/tmp";
#endif
  ptyFile_ = build + "/sim-pty-" + std::to_string(::getpid()) + "-" + std::to_string(serial++) + ".txt";
  ::unlink(ptyFile_.c_str());

  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return;
  }
  std::vector<std::string> argv_s = {BinaryPath(), "--json", "--pty-file", ptyFile_};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argv_s) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  stdin_ = in[1];
  if (pid_ < 0) {
    ::close(out[0]);
    return;
  }
  int readFd = out[0];
  reader_ = std::thread([this, readFd] { ReadOutput(readFd); });
  auto ready = WaitFor([](const std::string& l) { return l.find("\"t\":\"ready\"") != std::string::npos; }, 10000);
  if (ready) pty_ = JsonString(*ready, "pty");
}

TSimProcess::~TSimProcess() {
  if (stdin_ >= 0) ::close(stdin_);
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    uint64_t end = platform::TickMs() + 5000;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (platform::TickMs() > end) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      platform::SleepMs(5);
    }
  }
  if (reader_.joinable()) reader_.join();
  ::unlink(ptyFile_.c_str());
}

void TSimProcess::ReadOutput(int fd) {
  std::string pending;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    std::lock_guard<std::mutex> lock(mutex_);
    while ((nl = pending.find('\n')) != std::string::npos) {
      lines_.push_back(pending.substr(0, nl));
      pending.erase(0, nl + 1);
    }
    changed_.notify_all();
  }
  ::close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  eof_ = true;
  changed_.notify_all();
}

void TSimProcess::Send(const std::string& line) {
  std::string l = line + "\n";
  size_t done = 0;
  while (stdin_ >= 0 && done < l.size()) {
    ssize_t n = ::write(stdin_, l.data() + done, l.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

std::optional<std::string> TSimProcess::WaitFor(const std::function<bool(const std::string&)>& pred, int timeoutMs,
                                                size_t from) {
  std::unique_lock<std::mutex> lock(mutex_);
  size_t next = from;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    for (; next < lines_.size(); ++next)
      if (pred(lines_[next])) return lines_[next];
    if (eof_) return std::nullopt;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      for (; next < lines_.size(); ++next)
        if (pred(lines_[next])) return lines_[next];
      return std::nullopt;
    }
  }
}

std::vector<std::string> TSimProcess::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

size_t TSimProcess::LineCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_.size();
}

std::string JsonString(const std::string& line, const std::string& field) {
  std::string key = "\"" + field + "\":\"";
  size_t pos = line.find(key);
  if (pos == std::string::npos) return "";
  std::string out;
  for (size_t i = pos + key.size(); i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') break;
    if (c == '\\' && i + 1 < line.size()) {
      char e = line[++i];
      if (e == 'u' && i + 4 < line.size()) {
        out.push_back(static_cast<char>(std::stoi(line.substr(i + 1, 4), nullptr, 16)));
        i += 4;
      } else {
        out.push_back(e);
      }
      continue;
    }
    out.push_back(c);
  }
  return out;
}

long JsonInt(const std::string& line, const std::string& field) {
  std::string key = "\"" + field + "\":";
  size_t pos = line.find(key);
  if (pos == std::string::npos) return -1;
  return std::strtol(line.c_str() + pos + key.size(), nullptr, 10);
}

}  // namespace tarn::testing
