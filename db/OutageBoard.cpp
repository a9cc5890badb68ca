#include "db/OutageBoard.h"

#include <algorithm>

#include "platform/Tick.h"

namespace tarn {

TOutageBoard& TOutageBoard::Instance() {
  static TOutageBoard board;
  return board;
}

void TOutageBoard::MarkAway(const std::string& key, TAway how, uint64_t atMs) {
  if (how == TAway::No) return;
  std::lock_guard<std::mutex> guard(mutex_);
  TEntry& entry = away_[key];
  if (entry.how != TAway::Silent) entry.how = how;
  entry.at = std::max(entry.at, atMs);
  count_.store(away_.size());
}

void TOutageBoard::MarkAway(const std::string& key, TAway how) { MarkAway(key, how, platform::TickMs()); }

void TOutageBoard::MarkBack(const std::string& key, uint64_t seenAtMs) {
  if (count_.load() == 0) return;
  std::lock_guard<std::mutex> guard(mutex_);
  const auto it = away_.find(key);
  if (it == away_.end() || it->second.at > seenAtMs) return;
  away_.erase(it);
  count_.store(away_.size());
}

void TOutageBoard::MarkBack(const std::string& key) { MarkBack(key, platform::TickMs()); }

TAway TOutageBoard::Away(const std::string& key) const {
  if (count_.load() == 0) return TAway::No;
  std::lock_guard<std::mutex> guard(mutex_);
  const auto it = away_.find(key);
  return it == away_.end() ? TAway::No : it->second.how;
}

void TOutageBoard::Clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  away_.clear();
  count_.store(0);
}

}  // namespace tarn
