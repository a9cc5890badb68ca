#pragma once
// TDecisionRoute: where one decision of a loop reads its rows and sends its writes. Online
// that is the loop's connection (TOdbcRowSource, TOdbcWriter); with offline decisions on, the
// plans go to the local copy as well. While the loop decides from the copy (TLoop::FromCopy)
// the rows come from the copy and the writes go to the journal and the copy.
//
// Made for one decision on the main thread and dropped with it.
#include <memory>

#include "access/RowSource.h"

namespace tarn {

class TLoop;
class TOdbcRowSource;
class TOdbcWriter;

class TDecisionRoute {
 public:
  explicit TDecisionRoute(TLoop& loop);
  ~TDecisionRoute();
  TDecisionRoute(const TDecisionRoute&) = delete;
  TDecisionRoute& operator=(const TDecisionRoute&) = delete;

  TRowSource& Source() { return *source_; }
  TDecisionWriter& Writer() { return *writer_; }
  bool FromCopy() const { return fromCopy_; }

 private:
  bool fromCopy_ = false;
  std::unique_ptr<TOdbcRowSource> odbcSource_;
  std::unique_ptr<TOdbcWriter> odbcWriter_;
  std::unique_ptr<TDecisionWriter> following_;
  TRowSource* source_ = nullptr;
  TDecisionWriter* writer_ = nullptr;
};

}  // namespace tarn
