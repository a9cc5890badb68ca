#pragma once
// PingHost: the reachability check of the database host before a connection attempt. Sends
// one ICMP echo request with a 24-byte payload (datagram ICMP socket, else a raw socket) and
// waits up to `timeoutMs` for the reply. True when the host answered, or when the check is
// skipped (an address of 6 characters or fewer, or a time-out of 0 or less). Writes
// "Pinging - <address>", then "Ping OK" or "Ping FAIL" (and "Ping Exception - <why>" when
// the check itself fails) through `note` when given, in that order and as they happen, so
// the caller's log shows how long the wait took. Any thread; blocks for up to three time-outs.
#include <functional>
#include <string>

namespace tarn {

using TPingNote = std::function<void(const std::string& line)>;

bool PingHost(const std::string& address, int timeoutMs, const TPingNote& note = {});

}  // namespace tarn
