#pragma once
// Readiness and watchdog messages to systemd ("READY=1", "STOPPING=1", "WATCHDOG=1",
// "STATUS=..."), sent as one datagram to $NOTIFY_SOCKET: a socket path, or an abstract
// name written "@name". Without the variable (not started by systemd) nothing is sent.
// Thread-safe; never throws.
#include <cstdint>
#include <string>

namespace tarn::platform {

// Returns true when the message was sent; false when there is no socket or it failed. Never
// blocks on a receiver that does not read: "WATCHDOG=1" is then dropped (others are still
// queued), any other state is tried again for up to a second.
bool SdNotify(const std::string& state) noexcept;

// The interval at which "WATCHDOG=1" must reach systemd (half of $WATCHDOG_USEC, in ms),
// or 0 when no watchdog is asked for this process ($WATCHDOG_PID names another).
uint64_t SdWatchdogIntervalMs() noexcept;

}  // namespace tarn::platform
