#pragma once
// A loopback SMTP server (tests/mail/smtp_sink.py, on aiosmtpd) in a child process that
// files every message it receives as FOLDER/mail-N.txt, and a port that refuses connections.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tarn::test {

class SmtpSink {
 public:
  explicit SmtpSink(const std::filesystem::path& folder) : folder_(folder) {
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    int in[2], out[2];
    if (pipe(in) != 0) return;
    if (pipe(out) != 0) {
      close(in[0]);
      close(in[1]);
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      const std::string script = std::string(TARNCARD_SOURCE_DIR) + "/tests/mail/smtp_sink.py";
      execl("/usr/bin/python3", "python3", script.c_str(), folder_.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    // The server prints its port once it listens.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{stdout_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[64];
      const ssize_t n = read(stdout_, buf, sizeof buf);
      if (n <= 0) break;
      line.append(buf, static_cast<size_t>(n));
    }
    port_ = std::atoi(line.c_str());
  }
  ~SmtpSink() {
    if (stdin_ >= 0) close(stdin_);  // end of stdin stops the server
    if (pid_ > 0) {
      int st = 0;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (waitpid(pid_, &st, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
          kill(pid_, SIGKILL);
          waitpid(pid_, &st, 0);
          break;
        }
        pollfd none{-1, 0, 0};
        poll(&none, 0, 20);
      }
    }
    if (stdout_ >= 0) close(stdout_);
  }
  SmtpSink(const SmtpSink&) = delete;
  SmtpSink& operator=(const SmtpSink&) = delete;

  int Port() const { return port_; }
  int Count() const {
    int n = 0;
    while (std::filesystem::exists(File(n + 1))) ++n;
    return n;
  }
  // Message number n (from 1) once it has been filed, waiting up to 20 s; "" when it never is.
  std::string WaitMessage(int n) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!std::filesystem::exists(File(n)) && std::chrono::steady_clock::now() < deadline) {
      pollfd none{-1, 0, 0};
      poll(&none, 0, 20);
    }
    return Read(File(n));
  }
  // Waits (bounded) until `count` messages have been filed and returns all filed so far.
  std::vector<std::string> WaitForMessages(size_t count) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::vector<std::string> out;
    while (true) {
      out.clear();
      for (int i = 1; std::filesystem::exists(File(i)); ++i) out.push_back(Read(File(i)));
      if (out.size() >= count || std::chrono::steady_clock::now() >= deadline) break;
      pollfd none{-1, 0, 0};
      poll(&none, 0, 20);
    }
    return out;
  }

 private:
  static std::string Read(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::filesystem::path File(int n) const { return folder_ / ("mail-" + std::to_string(n) + ".txt"); }
  std::filesystem::path folder_;
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int port_ = 0;
};

// A loopback port with no listener (bound, then closed): connecting to it is refused.
inline int ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

}  // namespace tarn::test
