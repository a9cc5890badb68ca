#pragma once
// TDecisionRoute: where one decision of a loop reads its rows and sends its writes. Online
// that is the loop's connection (DecisionPartsFor: one request for the rows and one for the
// writes where the server takes compound statements, else TOdbcRowSource, TOdbcWriter); with offline decisions on, the
// plans go to the local copy as well. While the loop decides from the copy (TLoop::FromCopy)
// the rows come from the copy and the writes go to the journal and the copy.
//
// Made for one decision on the main thread and dropped with it.
#include <memory>
#include <optional>

#include "access/OneRequest.h"
#include "access/RowSource.h"

namespace tarn {

class TLoop;

class TDecisionRoute {
 public:
  // `count`: where the decision counts its passage; online with one-request parts, the count
  // goes with the decision's writes (Count()->carried).
  explicit TDecisionRoute(TLoop& loop, std::optional<TCountAt> count = std::nullopt);
  ~TDecisionRoute();
  TDecisionRoute(const TDecisionRoute&) = delete;
  TDecisionRoute& operator=(const TDecisionRoute&) = delete;

  TRowSource& Source() { return *source_; }
  TDecisionWriter& Writer() { return *writer_; }
  bool FromCopy() const { return fromCopy_; }
  const std::shared_ptr<TSharedCount>& Count() const { return parts_.count; }

 private:
  bool fromCopy_ = false;
  TDecisionParts parts_;
  std::unique_ptr<TDecisionWriter> following_;
  TRowSource* source_ = nullptr;
  TDecisionWriter* writer_ = nullptr;
};

}  // namespace tarn
