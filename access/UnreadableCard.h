#pragma once
// A card read whose data is no card number at all (a reader's garbage, "nan", an empty
// reply): it is refused as not on file without any card being looked up, and recorded like
// any unknown card, as card 0.
#include <string>

namespace tarn {

class TODBC;

// Appends the trans row of a refused unreadable read at the device of `loopId`/`address`
// (its id and name from its device row): card 0, error code 1, "Not On File". Returns the
// device's name.
std::string RecordUnreadableCard(TODBC& db, int address, int loopId);

}  // namespace tarn
