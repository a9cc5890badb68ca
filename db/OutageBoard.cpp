#include "db/OutageBoard.h"

namespace tarn {

TOutageBoard& TOutageBoard::Instance() {
  static TOutageBoard board;
  return board;
}

void TOutageBoard::MarkAway(const std::string& key) {
  std::lock_guard<std::mutex> guard(mutex_);
  away_.insert(key);
  count_.store(away_.size());
}

void TOutageBoard::MarkBack(const std::string& key) {
  if (count_.load() == 0) return;
  std::lock_guard<std::mutex> guard(mutex_);
  away_.erase(key);
  count_.store(away_.size());
}

bool TOutageBoard::Away(const std::string& key) const {
  if (count_.load() == 0) return false;
  std::lock_guard<std::mutex> guard(mutex_);
  return away_.count(key) != 0;
}

void TOutageBoard::Clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  away_.clear();
  count_.store(0);
}

}  // namespace tarn
