// Reader bus benchmarks against tarncard-sim on pseudo-terminals.
//   readerbus_bench pollrate [devices=48] [seconds=10]
//   readerbus_bench adapter  [devices=48] [seconds=10] [baud=9600]
//   readerbus_bench cpu      [seconds=60] [loops=4] [devices=48] [baud=9600]
//   readerbus_bench latency  [samples=200] [baud=9600] [devices=48]
//   readerbus_bench pressure [seconds=600] [loops=4] [devices=48] [baud=9600]
// Prints its figures; docs/performance.md records them.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/MainLoop.h"
#include "platform/Tick.h"
#include "readerbus/Frame.h"
#include "readerbus/TCard.h"

using namespace tarn;

namespace {

double CpuSeconds(const rusage& r) {
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

double SelfCpu() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return CpuSeconds(r);
}

double ProcessCpu(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t close = s.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  size_t pos = close + 2;
  while (pos < s.size()) {
    size_t sp = s.find(' ', pos);
    fields.push_back(s.substr(pos, sp - pos));
    if (sp == std::string::npos) break;
    pos = sp + 1;
  }
  if (fields.size() < 13) return 0;
  double ticks = std::atof(fields[11].c_str()) + std::atof(fields[12].c_str());  // utime, stime
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The simulator as a child process: stdin for commands, stdout lines collected.
class Sim {
 public:
  explicit Sim(std::vector<std::string> args) {
    std::string exe = std::string(TARNCARD_BINARY_DIR) + "/tarncard-sim";
    args.insert(args.begin(), {exe, "--json"});
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    int fd = out[0];
    reader_ = std::thread([this, fd] {
      std::string pending;
      char buf[8192];
      for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buf, static_cast<size_t>(n));
        size_t nl;
        std::lock_guard<std::mutex> lock(mutex_);
        while ((nl = pending.find('\n')) != std::string::npos) {
          lines_.push_back(pending.substr(0, nl));
          pending.erase(0, nl + 1);
        }
        cv_.notify_all();
      }
      close(fd);
      std::lock_guard<std::mutex> lock(mutex_);
      eof_ = true;
      cv_.notify_all();
    });
    std::string ready = WaitLine([](const std::string& l) { return l.find("\"ready\"") != std::string::npos; }, 10000);
    size_t p = ready.find("\"pty\":\"");
    if (p != std::string::npos) pty_ = ready.substr(p + 7, ready.find('"', p + 7) - p - 7);
  }
  ~Sim() {
    if (stdin_ >= 0) close(stdin_);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
  }
  const std::string& Pty() const { return pty_; }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  pid_t Pid() const { return pid_; }
  void Send(const std::string& line) {
    std::string l = line + "\n";
    if (write(stdin_, l.data(), l.size()) < 0) std::perror("write");
  }
  std::string WaitLine(const std::function<bool(const std::string&)>& pred, int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      for (; next_ < lines_.size(); ++next_)
        if (pred(lines_[next_])) return lines_[next_++];
      if (eof_ || cv_.wait_until(lock, end) == std::cv_status::timeout) {
        for (; next_ < lines_.size(); ++next_)
          if (pred(lines_[next_])) return lines_[next_++];
        return "";
      }
    }
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  std::string pty_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
  size_t next_ = 0;
  bool eof_ = false;
  std::thread reader_;
};

long long JsonMicros(const std::string& l) {
  size_t p = l.find("\"us\":");
  return p == std::string::npos ? -1 : std::atoll(l.c_str() + p + 5);
}

int Arg(int argc, char** argv, int index, int def) { return argc > index ? std::atoi(argv[index]) : def; }

int PollRate(int devices, int seconds) {
  platform::TMainLoop main;
  for (uint32_t baud : {0u, 9600u}) {
    std::vector<std::string> args = {"--quiet", "--no-powerup", "1-" + std::to_string(devices)};
    if (baud) args.insert(args.begin(), {"--baud", std::to_string(baud)});
    Sim sim(args);
    readerbus::TCard card;
    card.SetLastReader(devices);
    if (!card.OpenDevice(sim.Pty())) {
      std::fprintf(stderr, "open %s: %s\n", sim.Pty().c_str(), card.OpenError().c_str());
      return 1;
    }
    main.RunUntil([] { return false; }, 1000);  // settle: first exchanges, events
    uint64_t n0 = card.Exchanges();
    uint64_t t0 = platform::TickMs();
    double c0 = SelfCpu(), s0 = ProcessCpu(sim.Pid());
    main.RunUntil([] { return false; }, static_cast<uint32_t>(seconds) * 1000);
    double secs = static_cast<double>(platform::TickMs() - t0) / 1000.0;
    double rate = static_cast<double>(card.Exchanges() - n0) / secs;
    double hostCpu = (SelfCpu() - c0) / secs * 100, simCpu = (ProcessCpu(sim.Pid()) - s0) / secs * 100;
    card.Close();
    double perExchangeMs = 1000.0 / rate;
    if (baud == 0) {
      std::printf("pollrate unpaced: %d devices, %.1f s: %.0f exchanges/s, %.3f ms per exchange "
                  "(host %.0f%% of a core, simulator %.0f%%)\n",
                  devices, secs, rate, perExchangeMs, hostCpu, simCpu);
    } else {
      double line = 6.0 * 10.0 * 1000.0 / baud;  // C poll (5 bytes) + ACK (1 byte)
      std::printf("pollrate at %u baud: %.1f exchanges/s (line bound %.1f/s = %.2f ms each), "
                  "%.3f ms per exchange, software adds %.3f ms (host %.1f%% of a core)\n",
                  baud, rate, 1000.0 / line, line, perExchangeMs, perExchangeMs - line, hostCpu);
    }
  }
  return 0;
}

struct RateFigures {
  double exchangesPerSecond = 0;
  double msPerExchange = 0;
  double hostCpuPercent = 0;
};

// One loop polling `devices` idle devices of the simulator, which paces its answers at
// `baud` (0: not at all) and holds each one `holdMs` (an adapter's latency timer).
bool MeasurePollRate(platform::TMainLoop& main, int devices, int seconds, uint32_t baud, int holdMs, RateFigures& out) {
  std::vector<std::string> args = {"--quiet", "--no-powerup", "1-" + std::to_string(devices)};
  if (baud) args.insert(args.begin(), {"--baud", std::to_string(baud)});
  if (holdMs) args.insert(args.begin(), {"--reply-hold", std::to_string(holdMs)});
  Sim sim(args);
  readerbus::TCard card;
  card.SetLastReader(devices);
  if (baud) card.SetBaud(baud);
  if (!card.OpenDevice(sim.Pty())) {
    std::fprintf(stderr, "open %s: %s\n", sim.Pty().c_str(), card.OpenError().c_str());
    return false;
  }
  main.RunUntil([] { return false; }, 1000);  // settle: first exchanges, events
  const uint64_t n0 = card.Exchanges();
  const uint64_t t0 = platform::TickMs();
  const double c0 = SelfCpu();
  main.RunUntil([] { return false; }, static_cast<uint32_t>(seconds) * 1000);
  const double secs = static_cast<double>(platform::TickMs() - t0) / 1000.0;
  out.exchangesPerSecond = static_cast<double>(card.Exchanges() - n0) / secs;
  out.msPerExchange = 1000.0 / out.exchangesPerSecond;
  out.hostCpuPercent = (SelfCpu() - c0) / secs * 100;
  card.Close();
  return true;
}

// The same loop behind an adapter that holds every reply for its latency timer: 1 ms (the
// package's udev rule, or the low-latency request taken) against 16 ms (the driver's default).
int AdapterHold(int devices, int seconds, int baud) {
  platform::TMainLoop main;
  std::printf("adapter latency timer, one loop of %d idle devices at %d baud, %d s each:\n", devices, baud, seconds);
  std::printf("  %-14s %14s %16s %18s %10s\n", "reply held", "exchanges/s", "ms per exchange", "round of the loop",
              "host CPU");
  for (int hold : {0, 1, 16}) {
    RateFigures f;
    if (!MeasurePollRate(main, devices, seconds, static_cast<uint32_t>(baud), hold, f)) return 1;
    std::printf("  %-14s %14.1f %16.2f %16.0f ms %9.1f%%\n", (std::to_string(hold) + " ms").c_str(),
                f.exchangesPerSecond, f.msPerExchange, f.msPerExchange * devices, f.hostCpuPercent);
  }
  return 0;
}

int Cpu(int seconds, int loops, int devices, int baud) {
  platform::TMainLoop main;
  std::vector<std::unique_ptr<Sim>> sims;
  std::vector<std::unique_ptr<readerbus::TCard>> cards;
  for (int i = 0; i < loops; ++i) {
    sims.push_back(std::make_unique<Sim>(std::vector<std::string>{
        "--quiet", "--no-powerup", "--baud", std::to_string(baud), "1-" + std::to_string(devices)}));
    auto card = std::make_unique<readerbus::TCard>();
    card->SetLastReader(devices);
    card->SetBaud(static_cast<uint32_t>(baud));
    card->OnError = [](int16_t) {};
    card->OnPowerUp = [](int16_t) {};
    if (!card->OpenDevice(sims.back()->Pty())) {
      std::fprintf(stderr, "open: %s\n", card->OpenError().c_str());
      return 1;
    }
    cards.push_back(std::move(card));
  }
  main.RunUntil([] { return false; }, 2000);  // first round of every address
  uint64_t n0 = 0;
  for (auto& c : cards) n0 += c->Exchanges();
  double c0 = SelfCpu();
  uint64_t t0 = platform::TickMs();
  main.RunUntil([] { return false; }, static_cast<uint32_t>(seconds) * 1000);
  double secs = static_cast<double>(platform::TickMs() - t0) / 1000.0;
  double cpu = SelfCpu() - c0;
  uint64_t n = 0;
  for (auto& c : cards) n += c->Exchanges();
  double simCpu = 0;
  for (auto& s : sims) simCpu += ProcessCpu(s->Pid());
  for (auto& c : cards) c->Close();
  std::printf("cpu: %d loops x %d idle devices at %d baud, %.1f s: host %.3f s CPU = %.2f%% of one core; "
              "%.0f exchanges/s in all; simulators %.1f s CPU in their lifetime\n",
              loops, devices, baud, secs, cpu, cpu / secs * 100, static_cast<double>(n - n0) / secs, simCpu);
  return 0;
}

int Latency(int samples, int baud, int devices) {
  platform::TMainLoop main;
  std::vector<std::string> args = {"--no-polls", "--no-powerup", "--timestamps", "1-" + std::to_string(devices)};
  if (baud) args.insert(args.begin(), {"--baud", std::to_string(baud)});
  Sim sim(args);
  readerbus::TCard card;
  card.SetLastReader(devices);
  card.SetBaud(baud ? static_cast<uint32_t>(baud) : 9600);
  card.OnData = [&](int16_t r, std::string) { card.GateOpenMsg(r, true, "Thank you...", 7); };
  if (!card.OpenDevice(sim.Pty())) return 1;
  main.RunUntil([] { return false; }, 1500);
  std::vector<double> ms;
  unsigned seed = 12345;
  for (int i = 0; i < samples; ++i) {
    seed = seed * 1103515245u + 12345u;
    int addr = 1 + static_cast<int>((seed >> 16) % static_cast<unsigned>(devices));
    std::string a = std::to_string(addr);
    sim.Send("card " + a + " " + std::to_string(100000 + i));
    std::string reply, gate;
    bool ok = main.RunUntil([&] {
      if (reply.empty())
        reply = sim.WaitLine([&](const std::string& l) {
          return l.find("\"t\":\"reply\"") != std::string::npos && l.find("\"addr\":" + a + ",") != std::string::npos;
        }, 0);
      if (!reply.empty() && gate.empty())
        gate = sim.WaitLine([&](const std::string& l) {
          return l.find("\"cmd\":\"G\"") != std::string::npos && l.find("\"addr\":" + a + ",") != std::string::npos;
        }, 0);
      return !gate.empty();
    }, 10000);
    if (!ok) {
      std::fprintf(stderr, "sample %d timed out\n", i);
      continue;
    }
    ms.push_back(static_cast<double>(JsonMicros(gate) - JsonMicros(reply)) / 1000.0);
    if (std::getenv("BENCH_VERBOSE") && ms.back() > 100) {
      std::fprintf(stderr, "slow %.1f ms:\n", ms.back());
      for (const auto& l : sim.Lines())
        if (JsonMicros(l) >= JsonMicros(reply) && JsonMicros(l) <= JsonMicros(gate)) std::fprintf(stderr, "  %s\n", l.c_str());
    }
  }
  card.Close();
  if (ms.empty()) return 1;
  std::sort(ms.begin(), ms.end());
  auto pct = [&](double p) { return ms[std::min(ms.size() - 1, static_cast<size_t>(p * static_cast<double>(ms.size())))]; };
  std::printf("latency card reply -> G frame at the device, %d devices, %s: %zu samples, p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
              devices, baud ? (std::to_string(baud) + " baud").c_str() : "unpaced", ms.size(), pct(0.5), pct(0.99),
              ms.back());
  return 0;
}

std::string JsonField(const std::string& l, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  size_t p = l.find(key);
  if (p == std::string::npos) return "";
  p += key.size();
  if (p < l.size() && l[p] == '"') {
    size_t e = l.find('"', p + 1);
    return l.substr(p + 1, e == std::string::npos ? std::string::npos : e - p - 1);
  }
  size_t e = l.find_first_of(",}", p);
  return l.substr(p, e == std::string::npos ? std::string::npos : e - p);
}

// Every reader of every loop presents a card every 10 s (staggered over the period), the
// main thread sends the time to every device once a minute and toggles the lot-full output
// and sign of every fourth device every 15 s. Each read gets a unique number; the handler
// records it and opens the gate, as the loop's card handler would after its decision.
int Pressure(int seconds, int loops, int devices, int baud) {
  platform::TMainLoop main;
  std::vector<std::unique_ptr<Sim>> sims;
  std::vector<std::unique_ptr<readerbus::TCard>> cards;
  std::map<std::string, int> delivered;  // card number -> deliveries
  uint64_t events = 0;
  for (int i = 0; i < loops; ++i) {
    sims.push_back(std::make_unique<Sim>(std::vector<std::string>{
        "--no-polls", "--no-powerup", "--timestamps", "--baud", std::to_string(baud), "1-" + std::to_string(devices)}));
    auto card = std::make_unique<readerbus::TCard>();
    readerbus::TCard* c = card.get();
    card->SetLastReader(devices);
    card->SetBaud(static_cast<uint32_t>(baud));
    card->OnError = [](int16_t) {};
    card->OnPowerUp = [](int16_t) {};
    card->OnData = [&, c](int16_t r, std::string v) {
      ++events;
      ++delivered[v];
      c->GateOpenMsg(r, true, "Thank you...", 7);
    };
    if (!card->OpenDevice(sims.back()->Pty())) {
      std::fprintf(stderr, "open: %s\n", card->OpenError().c_str());
      return 1;
    }
    cards.push_back(std::move(card));
  }
  main.RunUntil([] { return false; }, 2000);  // every address on line

  const uint64_t periodMs = 10000;
  const uint64_t t0 = platform::TickMs();
  const uint64_t end = t0 + static_cast<uint64_t>(seconds) * 1000;
  std::vector<std::string> presented;
  std::vector<uint64_t> nextCard(static_cast<size_t>(loops * devices));
  for (int l = 0; l < loops; ++l)
    for (int a = 1; a <= devices; ++a)
      nextCard[static_cast<size_t>(l * devices + a - 1)] =
          t0 + periodMs * static_cast<uint64_t>(a - 1) / static_cast<uint64_t>(devices) + static_cast<uint64_t>(l) * 37;
  uint64_t nextSync = t0 + 60000, nextLotFull = t0 + 15000;
  bool full = false;
  int round = 0;
  const double c0 = SelfCpu();
  while (platform::TickMs() < end) {
    const uint64_t now = platform::TickMs();
    for (int l = 0; l < loops; ++l)
      for (int a = 1; a <= devices; ++a) {
        uint64_t& due = nextCard[static_cast<size_t>(l * devices + a - 1)];
        if (now < due) continue;
        due += periodMs;
        const std::string number = std::to_string((l + 1) * 10000000 + a * 100000 + static_cast<int>(presented.size() % 100000));
        presented.push_back(number);
        sims[static_cast<size_t>(l)]->Send("card " + std::to_string(a) + " " + number);
      }
    if (now >= nextSync) {
      nextSync += 60000;
      const std::string time = readerbus::DeviceTimeText();
      for (auto& c : cards)
        for (int a = 1; a <= devices; ++a) c->SendDateTime(a, time);
    }
    if (now >= nextLotFull) {
      nextLotFull += 15000;
      full = !full;
      ++round;
      for (auto& c : cards)
        for (int a = 1; a <= devices; a += 4) {
          c->SetOutputs(a, full, 1);
          c->SendSignText(a, "\x14" "1\x0d\x16" + std::to_string(round % 100) + "\\1\\1");
        }
    }
    main.RunUntil([] { return false; }, 20);
  }
  const double cpu = SelfCpu() - c0;
  const double secs = static_cast<double>(platform::TickMs() - t0) / 1000.0;
  // No more cards: let the last reads through.
  main.RunUntil([&] { return events >= presented.size(); }, 30000);
  main.RunUntil([] { return false; }, 1000);

  uint64_t dropped = 0, exchanges = 0, strays = 0;
  for (auto& c : cards) {
    dropped += c->DroppedCommands();
    exchanges += c->Exchanges();
    strays += c->StrayReplies();
  }
  for (auto& c : cards) c->Close();
  uint64_t duplicates = 0, losses = 0;
  for (const auto& n : presented) {
    auto it = delivered.find(n);
    if (it == delivered.end()) ++losses;
    else if (it->second > 1) duplicates += static_cast<uint64_t>(it->second - 1);
  }
  // Card reply -> G frame at the device: from the first reply carrying a number to the next
  // G frame to that address; M frames counted per device.
  std::vector<double> ms;
  uint64_t mFrames = 0;
  for (auto& sim : sims) {
    std::map<std::string, long long> firstReply;
    std::map<long, std::vector<std::pair<long long, std::string>>> waiting;  // addr -> (us, number)
    for (const auto& l : sim->Lines()) {
      const std::string t = JsonField(l, "t");
      const long addr = std::atol(JsonField(l, "addr").c_str());
      if (t == "reply" && JsonField(l, "type") == "C") {
        const std::string number = JsonField(l, "data");
        if (firstReply.emplace(number, JsonMicros(l)).second) waiting[addr].emplace_back(JsonMicros(l), number);
      } else if (t == "frame" && JsonField(l, "cmd") == "G") {
        auto& w = waiting[addr];
        if (!w.empty()) {
          ms.push_back(static_cast<double>(JsonMicros(l) - w.front().first) / 1000.0);
          w.erase(w.begin());
        }
      } else if (t == "frame" && JsonField(l, "cmd") == "M") {
        ++mFrames;
      }
    }
  }
  std::sort(ms.begin(), ms.end());
  auto pct = [&](double p) {
    return ms.empty() ? 0.0 : ms[std::min(ms.size() - 1, static_cast<size_t>(p * static_cast<double>(ms.size())))];
  };
  std::printf("pressure: %d loops x %d devices at %d baud, %.0f s: reads presented %zu, events delivered %llu, "
              "duplicates %llu, losses %llu, commands dropped %llu, M frames %llu, exchanges %llu, stray replies %llu; "
              "card reply -> G frame p50 %.1f ms, p99 %.1f ms, max %.1f ms (%zu samples); host CPU %.1f%% of one core\n",
              loops, devices, baud, secs, presented.size(), static_cast<unsigned long long>(events),
              static_cast<unsigned long long>(duplicates), static_cast<unsigned long long>(losses),
              static_cast<unsigned long long>(dropped), static_cast<unsigned long long>(mFrames),
              static_cast<unsigned long long>(exchanges), static_cast<unsigned long long>(strays), pct(0.5), pct(0.99),
              ms.empty() ? 0.0 : ms.back(), ms.size(), cpu / secs * 100);
  return duplicates == 0 && losses == 0 && dropped == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "pollrate") return PollRate(Arg(argc, argv, 2, 48), Arg(argc, argv, 3, 10));
  if (mode == "adapter") return AdapterHold(Arg(argc, argv, 2, 48), Arg(argc, argv, 3, 10), Arg(argc, argv, 4, 9600));
  if (mode == "cpu") return Cpu(Arg(argc, argv, 2, 60), Arg(argc, argv, 3, 4), Arg(argc, argv, 4, 48), Arg(argc, argv, 5, 9600));
  if (mode == "latency") return Latency(Arg(argc, argv, 2, 200), Arg(argc, argv, 3, 9600), Arg(argc, argv, 4, 48));
  if (mode == "pressure")
    return Pressure(Arg(argc, argv, 2, 600), Arg(argc, argv, 3, 4), Arg(argc, argv, 4, 48), Arg(argc, argv, 5, 9600));
  std::fprintf(stderr,
               "usage: readerbus_bench pollrate [devices] [seconds]\n"
               "       readerbus_bench adapter [devices] [seconds] [baud]\n"
               "       readerbus_bench cpu [seconds] [loops] [devices] [baud]\n"
               "       readerbus_bench latency [samples] [baud] [devices]\n"
               "       readerbus_bench pressure [seconds] [loops] [devices] [baud]\n");
  return 2;
}
