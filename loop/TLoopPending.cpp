// Placeholders for the periodic operations of the loop until their own units land; each
// does nothing. Delete this file when they do.
#include "loop/TLoop.h"

namespace tarn {

void TLoop::UpdateOutputs() {}
bool TLoop::ForceGateState(int, bool) { return false; }
void TLoop::SyncReaderTime() {}

}  // namespace tarn
