#include "util/PingHost.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "log/TMessLog.h"
#include "platform/Tick.h"

namespace tarn {

namespace {

constexpr size_t kPayload = 24;

enum class Echo { Reply, NoReply, Empty };

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

uint16_t Checksum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < length; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  if (length % 2 != 0) sum += static_cast<uint32_t>(data[length - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum & 0xFFFF);
}

in_addr Resolve(const std::string& address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(address.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr)
    throw std::runtime_error("cannot resolve host " + address + ": " + ::gai_strerror(rc));
  const in_addr result = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  ::freeaddrinfo(found);
  return result;
}

Echo EchoOnce(const Socket& sock, bool raw, const in_addr& target, uint16_t id, uint16_t seq,
              int timeoutMs) {
  std::array<uint8_t, sizeof(icmphdr) + kPayload> packet{};
  auto* header = reinterpret_cast<icmphdr*>(packet.data());
  header->type = ICMP_ECHO;
  header->code = 0;
  header->un.echo.id = htons(id);
  header->un.echo.sequence = htons(seq);
  for (size_t i = 0; i < kPayload; ++i) packet[sizeof(icmphdr) + i] = static_cast<uint8_t>('a' + i);
  header->checksum = htons(Checksum(packet.data(), packet.size()));

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr = target;
  if (::sendto(sock.fd(), packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to),
               sizeof(to)) < 0) {
    // A full send queue gives no answer at all: worth another attempt. Anything else means
    // the host cannot be reached from here.
    if (errno == EAGAIN || errno == ENOBUFS || errno == EINTR) return Echo::Empty;
    return Echo::NoReply;
  }

  const uint64_t deadline = platform::TickMs() + static_cast<uint64_t>(timeoutMs);
  std::array<uint8_t, 1500> reply{};
  while (true) {
    const uint64_t now = platform::TickMs();
    if (now >= deadline) return Echo::NoReply;
    pollfd p{sock.fd(), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(deadline - now));
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("poll failed: ") + std::strerror(errno));
    }
    if (ready == 0) return Echo::NoReply;
    sockaddr_in from{};
    socklen_t fromLength = sizeof(from);
    const ssize_t n = ::recvfrom(sock.fd(), reply.data(), reply.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return Echo::NoReply;
    }
    size_t offset = 0;
    if (raw) {
      if (static_cast<size_t>(n) < sizeof(iphdr)) continue;
      offset = static_cast<size_t>(reinterpret_cast<const iphdr*>(reply.data())->ihl) * 4;
    }
    if (static_cast<size_t>(n) < offset + sizeof(icmphdr)) continue;
    const auto* answer = reinterpret_cast<const icmphdr*>(reply.data() + offset);
    if (answer->type != ICMP_ECHOREPLY) continue;
    if (ntohs(answer->un.echo.sequence) != seq) continue;
    // A raw socket sees every echo reply of the machine: keep only our own.
    if (raw && (ntohs(answer->un.echo.id) != id || from.sin_addr.s_addr != target.s_addr)) continue;
    return Echo::Reply;
  }
}

}  // namespace

bool PingHost(const std::string& address, int timeoutMs, TMessLog* log) {
  if (address.size() <= 6 || timeoutMs <= 0) return true;
  if (log != nullptr) log->Log("Pinging - " + address);
  bool result = false;
  try {
    const in_addr target = Resolve(address);
    bool raw = false;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) {
      fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
      raw = true;
    }
    if (fd < 0)
      throw std::runtime_error(std::string("cannot create an ICMP socket: ") + std::strerror(errno));
    Socket sock(fd);
    static std::atomic<uint16_t> sequence{0};
    const uint16_t id = static_cast<uint16_t>(::getpid() & 0xFFFF);
    for (int attempt = 0; attempt < 3; ++attempt) {
      const Echo echo = EchoOnce(sock, raw, target, id, ++sequence, timeoutMs);
      if (echo == Echo::Empty) continue;
      result = echo == Echo::Reply;
      break;
    }
  } catch (const std::exception& e) {
    if (log != nullptr) log->LogFmt("Ping Exception - %s", e.what());
    result = false;
  }
  if (log != nullptr) log->Log(result ? "Ping OK" : "Ping FAIL");
  return result;
}

}  // namespace tarn
