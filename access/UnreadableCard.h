#pragma once
// A card read whose data is no card number at all (a reader's garbage, "nan", an empty
// reply): it is refused as not on file without any card being looked up, and recorded like
// any unknown card, as card 0. A pure function of the device row and the moment; thread-safe.
#include <optional>

#include "access/CardProcessing.h"
#include "access/CardRows.h"
#include "util/DateTime.h"

namespace tarn {

// The plan of writes of a refused unreadable read at `device` (its id and name; none when
// the device has no row): the trans row alone, card 0, error code 1, "Not On File".
TCardWrites UnreadableCardWrites(const std::optional<TDeviceRow>& device, TDateTime when);

}  // namespace tarn
