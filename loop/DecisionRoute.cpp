#include "loop/DecisionRoute.h"

#include "access/OfflineStore.h"
#include "loop/TLoop.h"

namespace tarn {

TDecisionRoute::TDecisionRoute(TLoop& loop, std::optional<TCountAt> count) : fromCopy_(loop.FromCopy()) {
  if (fromCopy_) {
    source_ = &loop.Offline->Source();
    writer_ = &loop.Offline->OfflineWriter();
    return;
  }
  parts_ = DecisionPartsFor(*loop.DB, count);
  source_ = parts_.source.get();
  writer_ = parts_.writer.get();
  // The copy follows the site's own decisions, so that an outage starts from them.
  if (loop.Offline != nullptr && loop.Offline->HasCopy()) {
    following_ = loop.Offline->FollowingWriter(*parts_.writer);
    writer_ = following_.get();
  }
}

TDecisionRoute::~TDecisionRoute() = default;

}  // namespace tarn
