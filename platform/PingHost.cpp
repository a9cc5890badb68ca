#include "platform/PingHost.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/icmp6.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>
#include <stdexcept>

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

#if !defined(__SANITIZE_THREAD__)
// A name lookup that has not answered within this limit counts as a name that does not
// resolve: a resolver that hangs must not hold the connection attempt.
constexpr int kLookupLimitMs = 2000;

// Lookups given up on while the resolver still works on them; freed once it has finished.
struct Lookup {
  std::string host;
  addrinfo hints{};
  gaicb request{};
};
std::mutex abandonedMutex;
std::vector<std::unique_ptr<Lookup>> abandoned;

void SweepAbandoned() {
  std::lock_guard<std::mutex> guard(abandonedMutex);
  for (auto it = abandoned.begin(); it != abandoned.end();) {
    if (::gai_error(&(*it)->request) == EAI_INPROGRESS) {
      ++it;
      continue;
    }
    if ((*it)->request.ar_result != nullptr) ::freeaddrinfo((*it)->request.ar_result);
    it = abandoned.erase(it);
  }
}
#endif

// The first IPv4 or IPv6 address of a lookup's answer.
std::optional<sockaddr_storage> FirstAddress(const addrinfo* found) {
  if (found == nullptr || found->ai_addrlen > sizeof(sockaddr_storage) ||
      (found->ai_family != AF_INET && found->ai_family != AF_INET6))
    return std::nullopt;
  sockaddr_storage target{};
  std::memcpy(&target, found->ai_addr, found->ai_addrlen);
  return target;
}

// A lookup in place, without a time limit; with AI_NUMERICHOST it never asks a resolver.
std::optional<sockaddr_storage> LookUpInPlace(const std::string& address, int flags) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_RAW;
  hints.ai_flags = flags;
  addrinfo* found = nullptr;
  if (::getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0) return std::nullopt;
  std::optional<sockaddr_storage> result = FirstAddress(found);
  ::freeaddrinfo(found);
  return result;
}

// The first address of `address` (IPv4 or IPv6), or nothing when the name does not resolve
// within the limit.
std::optional<sockaddr_storage> Resolve(const std::string& address) {
  // An address written as such (127.0.0.1, ::1) needs no resolver at all.
  if (std::optional<sockaddr_storage> numeric = LookUpInPlace(address, AI_NUMERICHOST)) return numeric;
#if defined(__SANITIZE_THREAD__)
  // The thread checker cannot follow the asynchronous resolver's own threads (the test
  // programs crash in it): its builds look names up in place, without the time limit.
  return LookUpInPlace(address, 0);
#else
  SweepAbandoned();
  auto lookup = std::make_unique<Lookup>();
  lookup->host = address;
  lookup->hints.ai_family = AF_UNSPEC;
  lookup->hints.ai_socktype = SOCK_RAW;
  lookup->request.ar_name = lookup->host.c_str();
  lookup->request.ar_request = &lookup->hints;
  gaicb* list[1] = {&lookup->request};
  if (::getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) return std::nullopt;
  const uint64_t deadline = platform::TickMs() + kLookupLimitMs;
  while (::gai_error(&lookup->request) == EAI_INPROGRESS) {
    const uint64_t now = platform::TickMs();
    if (now >= deadline) break;
    const uint64_t left = deadline - now;
    timespec wait{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000L};
    ::gai_suspend(list, 1, &wait);
  }
  if (::gai_error(&lookup->request) == EAI_INPROGRESS && ::gai_cancel(&lookup->request) != EAI_CANCELED) {
    std::lock_guard<std::mutex> guard(abandonedMutex);
    abandoned.push_back(std::move(lookup));
    return std::nullopt;
  }
  std::optional<sockaddr_storage> result =
      ::gai_error(&lookup->request) == 0 ? FirstAddress(lookup->request.ar_result) : std::nullopt;
  if (lookup->request.ar_result != nullptr) ::freeaddrinfo(lookup->request.ar_result);
  return result;
#endif
}

bool SameHost(const sockaddr_storage& a, const sockaddr_storage& b) {
  if (a.ss_family != b.ss_family) return false;
  if (a.ss_family == AF_INET)
    return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
  return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr,
                     &reinterpret_cast<const sockaddr_in6&>(b).sin6_addr, sizeof(in6_addr)) == 0;
}

Echo EchoOnce(const Socket& sock, bool raw, const sockaddr_storage& target, uint16_t id, uint16_t seq,
              int timeoutMs) {
  const bool v6 = target.ss_family == AF_INET6;
  // ICMP and ICMPv6 echo headers share their layout: type, code, checksum, id, sequence.
  std::array<uint8_t, sizeof(icmphdr) + kPayload> packet{};
  auto* header = reinterpret_cast<icmphdr*>(packet.data());
  header->type = v6 ? ICMP6_ECHO_REQUEST : ICMP_ECHO;
  header->code = 0;
  header->un.echo.id = htons(id);
  header->un.echo.sequence = htons(seq);
  for (size_t i = 0; i < kPayload; ++i) packet[sizeof(icmphdr) + i] = static_cast<uint8_t>('a' + i);
  // The kernel computes the ICMPv6 checksum (it covers the IPv6 addresses).
  if (!v6) header->checksum = htons(Checksum(packet.data(), packet.size()));

  const socklen_t targetLength = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  if (::sendto(sock.fd(), packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&target),
               targetLength) < 0) {
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
    sockaddr_storage from{};
    socklen_t fromLength = sizeof(from);
    const ssize_t n = ::recvfrom(sock.fd(), reply.data(), reply.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return Echo::NoReply;
    }
    size_t offset = 0;
    // A raw IPv4 socket delivers the IP header too; an IPv6 one does not.
    if (raw && !v6) {
      if (static_cast<size_t>(n) < sizeof(iphdr)) continue;
      offset = static_cast<size_t>(reinterpret_cast<const iphdr*>(reply.data())->ihl) * 4;
    }
    if (static_cast<size_t>(n) < offset + sizeof(icmphdr)) continue;
    const auto* answer = reinterpret_cast<const icmphdr*>(reply.data() + offset);
    if (answer->type != (v6 ? ICMP6_ECHO_REPLY : ICMP_ECHOREPLY)) continue;
    if (ntohs(answer->un.echo.sequence) != seq) continue;
    // A raw socket sees every echo reply of the machine: keep only our own.
    if (raw && (ntohs(answer->un.echo.id) != id || !SameHost(from, target))) continue;
    return Echo::Reply;
  }
}

}  // namespace

bool PingHost(const std::string& address, int timeoutMs, const TPingNote& note) {
  if (address.size() <= 6 || timeoutMs <= 0) return true;
  if (note) note("Pinging - " + address);
  bool result = false;
  try {
    const std::optional<sockaddr_storage> resolved = Resolve(address);
    if (!resolved) {
      // A name that does not resolve is an unreachable host like any other.
      if (note) note("Ping FAIL");
      return false;
    }
    const sockaddr_storage& target = *resolved;
    const int family = target.ss_family;
    const int protocol = family == AF_INET6 ? static_cast<int>(IPPROTO_ICMPV6) : static_cast<int>(IPPROTO_ICMP);
    bool raw = false;
    int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
      fd = ::socket(family, SOCK_RAW | SOCK_CLOEXEC, protocol);
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
    if (note) note(std::string("Ping Exception - ") + e.what());
    result = false;
  }
  if (note) note(result ? "Ping OK" : "Ping FAIL");
  return result;
}

}  // namespace tarn
