#pragma once
// Elapsed time: a 64-bit monotonic millisecond clock that never wraps, and sleeping.
// Thread-safe.
#include <cstdint>

namespace tarn::platform {

uint64_t TickMs();
void SleepMs(uint32_t ms);

}  // namespace tarn::platform
