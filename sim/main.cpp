// tarncard-sim: emulated reader-loop devices on a pseudo-terminal (or a given serial
// device). Answers the host's frames as the devices would, takes operator commands on
// stdin, and prints every frame the host sends, decoded (or as JSON lines with --json).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "readerbus/Frame.h"
#include "readerbus/LineControl.h"
#include "readerbus/SerialPort.h"
#include "readerbus/DeviceEmulator.h"
#include "util/Strings.h"

using namespace tarn;
using namespace tarn::readerbus;

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

struct Options {
  bool json = false;
  bool quiet = false;
  bool noPolls = false;
  bool powerUp = true;
  bool timestamps = false;
  uint32_t baud = 0;  // 0: answer at once
  uint32_t replyHoldMs = 0;  // every answer held this long before it goes out
  std::string device;
  std::string ptyFile;
  std::string link;
  std::vector<std::string> devices;
};

void Usage() {
  std::puts(
      "usage: tarncard-sim [options] [ADDR[-ADDR][:KIND[:clock]] ...]\n"
      "  KIND: reader (default) dispenser exit counter input printer\n"
      "  --device PATH     use this serial device instead of a new pseudo-terminal\n"
      "  --pty-file PATH   write the pty path (one line) to PATH\n"
      "  --link PATH       make PATH a symbolic link to the pty\n"
      "  --baud N          pace answers like a line at N bits/s\n"
      "  --reply-hold MS   hold every answer MS ms before sending it (a USB adapter's\n"
      "                    latency timer; 0..1000)\n"
      "  --json            one JSON object per line\n"
      "  --no-polls        do not print idle polls and their ACKs\n"
      "  --quiet           print nothing but errors\n"
      "  --no-powerup      devices do not answer P/p to their first poll\n"
      "  --timestamps      JSON lines carry \"us\": the monotonic clock in microseconds\n"
      "Commands on stdin: see docs/simulator.md");
}

std::string JsonText(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out + "\"";
}

void Emit(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

bool ParseDeviceArg(const std::string& arg, TEmulator& emu) {
  std::vector<std::string> parts = Split(arg, ':');
  std::vector<std::string> range = Split(parts[0], '-');
  auto lo = TryStrToInt(range[0]);
  auto hi = range.size() > 1 ? TryStrToInt(range[1]) : lo;
  if (!lo || !hi || *lo < 1 || *hi > 48 || *lo > *hi || range.size() > 2) return false;
  DeviceKind kind = DeviceKind::Reader;
  if (parts.size() > 1 && !ParseKind(parts[1], kind)) return false;
  bool clock = parts.size() > 2 && SameText(parts[2], "clock");
  if (parts.size() > 2 && !clock) return false;
  for (int a = *lo; a <= *hi; ++a) emu.Add(a, kind, clock);
  return true;
}

long long MonotonicMicros() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void SleepMicros(long us) {
  if (us <= 0) return;
  timespec ts{us / 1000000, (us % 1000000) * 1000};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR && !g_stop) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "tarncard-sim: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      out = argv[++i];
    };
    if (a == "--json") opt.json = true;
    else if (a == "--quiet") opt.quiet = true;
    else if (a == "--no-polls") opt.noPolls = true;
    else if (a == "--no-powerup") opt.powerUp = false;
    else if (a == "--timestamps") opt.timestamps = true;
    else if (a == "--device") value(opt.device);
    else if (a == "--pty-file") value(opt.ptyFile);
    else if (a == "--link") value(opt.link);
    else if (a == "--baud") {
      std::string v;
      value(v);
      auto n = TryStrToInt(v);
      if (!n || *n <= 0) {
        std::fprintf(stderr, "tarncard-sim: bad baud rate '%s'\n", v.c_str());
        return 2;
      }
      opt.baud = static_cast<uint32_t>(*n);
    } else if (a == "--reply-hold") {
      std::string v;
      value(v);
      auto n = TryStrToInt(v);
      if (!n || *n < 0 || *n > 1000) {
        std::fprintf(stderr, "tarncard-sim: bad reply hold '%s' (0..1000 ms)\n", v.c_str());
        return 2;
      }
      opt.replyHoldMs = static_cast<uint32_t>(*n);
    } else if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "tarncard-sim: unknown option %s\n", a.c_str());
      return 2;
    } else {
      opt.devices.push_back(a);
    }
  }

  TEmulator emu;
  emu.SetPowerUpReplies(opt.powerUp);
  for (const std::string& s : opt.devices)
    if (!ParseDeviceArg(s, emu)) {
      std::fprintf(stderr, "tarncard-sim: bad device '%s' (ADDR[-ADDR][:KIND[:clock]])\n", s.c_str());
      return 2;
    }

  std::unique_ptr<readerbus::TFdChannel> line;
  std::unique_ptr<readerbus::TFdChannel> slaveHold;  // keeps the pty alive between host opens
  std::string path;
  std::string error;
  if (!opt.device.empty()) {
    line = readerbus::OpenSerialDevice(opt.device, opt.baud ? opt.baud : 9600, &error);
    // A real adapter on this side too: it should pass the host's frames on at once.
    if (line) readerbus::ApplyLineOptions(*line, readerbus::TLineOptions{});
    path = opt.device;
  } else {
    int master = readerbus::OpenPtyMaster(path, &error);
    if (master >= 0) {
      line = std::make_unique<readerbus::TFdChannel>(master);
      int hold = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (hold >= 0) slaveHold = std::make_unique<readerbus::TFdChannel>(hold);
    }
  }
  if (!line) {
    std::fprintf(stderr, "tarncard-sim: %s\n", error.c_str());
    return 1;
  }
  if (!opt.ptyFile.empty()) {
    std::string tmp = opt.ptyFile + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f || std::fprintf(f, "%s\n", path.c_str()) < 0 || std::fclose(f) != 0 ||
        std::rename(tmp.c_str(), opt.ptyFile.c_str()) != 0) {
      std::fprintf(stderr, "tarncard-sim: cannot write %s\n", opt.ptyFile.c_str());
      return 1;
    }
  }
  if (!opt.link.empty()) {
    ::unlink(opt.link.c_str());
    if (::symlink(path.c_str(), opt.link.c_str()) != 0) {
      std::fprintf(stderr, "tarncard-sim: cannot link %s: %s\n", opt.link.c_str(), std::strerror(errno));
      return 1;
    }
  }

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (opt.json) Emit("{\"t\":\"ready\",\"pty\":" + JsonText(path) + "}");
  else if (!opt.quiet) Emit("tarncard-sim: devices on " + path);

  auto stamp = [&]() -> std::string {
    return opt.timestamps ? "\"us\":" + std::to_string(MonotonicMicros()) + "," : std::string();
  };
  readerbus::TFrameDecoder decoder;
  std::string stdinBuf;
  bool stdinOpen = true;
  bool quit = false;
  uint8_t buf[4096];
  while (!g_stop && !quit) {
    pollfd fds[2] = {{line->Fd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    int r = ::poll(fds, stdinOpen ? 2 : 1, 1000);
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (stdinOpen && (fds[1].revents & (POLLIN | POLLHUP))) {
      ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
      if (n <= 0) {
        stdinOpen = false;
      } else {
        stdinBuf.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
        size_t nl;
        while ((nl = stdinBuf.find('\n')) != std::string::npos) {
          std::string cmd = stdinBuf.substr(0, nl);
          stdinBuf.erase(0, nl + 1);
          std::string err = emu.Command(cmd, quit);
          if (!err.empty()) {
            if (opt.json) Emit("{\"t\":\"error\",\"text\":" + JsonText(err) + "}");
            else std::fprintf(stderr, "tarncard-sim: %s\n", err.c_str());
          } else if (opt.json && !Trim(cmd).empty()) {
            Emit("{\"t\":\"ok\",\"cmd\":" + JsonText(Trim(cmd)) + "}");
          }
        }
      }
    }
    if (fds[0].revents & POLLIN) {
      long n = line->Read(buf, sizeof buf);
      for (long i = 0; i < n; ++i) {
        if (!decoder.Feed(buf[i])) continue;
        const THostFrame& f = decoder.Frame();
        TAnswer ans = emu.Answer(f);
        bool idle = (f.letter == 'C' && f.data.empty()) || f.letter == 'R' || f.letter == 'I';
        bool show = !opt.quiet && !(opt.noPolls && idle && (ans.replyType == "ACK" || ans.replyType.empty()));
        if (show) {
          if (opt.json)
            Emit("{\"t\":\"frame\"," + stamp() + "\"addr\":" + std::to_string(f.address) + ",\"cmd\":" +
                 JsonText(std::string(1, f.letter)) + ",\"data\":" + JsonText(f.data) +
                 ",\"ok\":" + (f.checkOk ? "true" : "false") + ",\"start\":" + (f.start == kENQ ? "\"ENQ\"" : "\"STX\"") +
                 ",\"text\":" + JsonText(TEmulator::Describe(f)) + "}");
          else
            Emit(TEmulator::Describe(f));
        }
        if (ans.bytes.empty()) continue;
        if (opt.baud) {
          // The host's frame and our answer each take 10 bits a byte on a real line.
          long bits = static_cast<long>(f.length + ans.bytes.size()) * 10;
          SleepMicros(bits * 1000000L / static_cast<long>(opt.baud));
        }
        // An adapter collects what the device sent and passes it on when its latency timer
        // runs out: the whole answer arrives that much later. Held here at full length, the
        // worst case of a real adapter, whose timer may already be running.
        if (opt.replyHoldMs) SleepMicros(static_cast<long>(opt.replyHoldMs) * 1000L);
        // The host sends a frame only when it is done with the previous one: when more of
        // its bytes are already here, it gave up waiting for this answer. A device answering
        // that late collides with the next exchange on a real line; answering anyway would
        // put every later answer one frame behind its poll.
        pollfd more{line->Fd(), POLLIN, 0};
        if (i + 1 < n || ::poll(&more, 1, 0) > 0) {
          if (opt.json && !opt.quiet) Emit("{\"t\":\"late\"," + stamp() + "\"addr\":" + std::to_string(f.address) + "}");
          else if (!opt.quiet) Emit("  (answer from " + std::to_string(f.address) + " dropped: the host has moved on)");
          continue;
        }
        line->Write(reinterpret_cast<const uint8_t*>(ans.bytes.data()), ans.bytes.size());
        if (show && ans.replyType != "ACK") {
          if (opt.json)
            Emit("{\"t\":\"reply\"," + stamp() + "\"addr\":" + std::to_string(f.address) + ",\"type\":" + JsonText(ans.replyType) +
                 ",\"data\":" + JsonText(ans.replyData) + ",\"badcheck\":" + (ans.badCheck ? "true" : "false") +
                 ",\"noise\":" + (ans.noise ? "true" : "false") + "}");
          else
            Emit("  reply from " + std::to_string(f.address) + ": " + ans.replyType + " '" + ans.replyData + "'" +
                 (ans.badCheck ? " (bad check byte)" : "") + (ans.noise ? " (after noise)" : ""));
        } else if (show && !opt.noPolls) {
          if (opt.json) Emit("{\"t\":\"ack\",\"addr\":" + std::to_string(f.address) + "}");
          else Emit("  ACK from " + std::to_string(f.address));
        }
      }
    } else if (fds[0].revents & (POLLHUP | POLLERR)) {
      // No host has the line open (only possible without the slave hold): wait for one.
      SleepMicros(20000);
    }
  }
  if (!opt.link.empty()) ::unlink(opt.link.c_str());
  if (!opt.ptyFile.empty()) ::unlink(opt.ptyFile.c_str());
  return 0;
}
