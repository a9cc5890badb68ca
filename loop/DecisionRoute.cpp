#include "loop/DecisionRoute.h"

#include "access/OdbcRowSource.h"
#include "access/OdbcWriter.h"
#include "access/OfflineStore.h"
#include "loop/TLoop.h"

namespace tarn {

TDecisionRoute::TDecisionRoute(TLoop& loop) : fromCopy_(loop.FromCopy()) {
  if (fromCopy_) {
    source_ = &loop.Offline->Source();
    writer_ = &loop.Offline->OfflineWriter();
    return;
  }
  odbcSource_ = std::make_unique<TOdbcRowSource>(*loop.DB);
  odbcWriter_ = std::make_unique<TOdbcWriter>(*loop.DB);
  source_ = odbcSource_.get();
  writer_ = odbcWriter_.get();
  // The copy follows the site's own decisions, so that an outage starts from them.
  if (loop.Offline != nullptr && loop.Offline->HasCopy()) {
    following_ = loop.Offline->FollowingWriter(*odbcWriter_);
    writer_ = following_.get();
  }
}

TDecisionRoute::~TDecisionRoute() = default;

}  // namespace tarn
