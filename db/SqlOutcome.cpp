#include "db/SqlOutcome.h"

namespace tarn {

const TDiagRecord& TSqlOutcome::diag() const {
  static const TDiagRecord kNone;
  return records_.empty() ? kNone : records_.front();
}

const char* TSqlOutcome::KindName(TKind kind) {
  switch (kind) {
    case TKind::Row: return "row";
    case TKind::NoRow: return "no row";
    case TKind::Done: return "done";
    case TKind::AppliedEarlier: return "applied earlier";
    case TKind::Conflict: return "conflict";
    case TKind::LinkLost: return "link lost";
    case TKind::Failed: return "failed";
  }
  return "?";
}

std::string TSqlOutcome::ToString() const {
  std::string text = KindName(kind_);
  for (size_t i = 0; i < records_.size(); ++i) text += (i == 0 ? ": " : "; ") + records_[i].ToString();
  return text;
}

}  // namespace tarn
