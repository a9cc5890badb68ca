// Placeholders for the card, ticket and periodic operations of the loop until their own
// units land; each does nothing. Delete this file when they do.
#include "loop/TLoop.h"

namespace tarn {

void TLoop::CardData(int, const std::string&) {}
void TLoop::MemoryData(int, const std::string&) {}
void TLoop::BarcodeEvent(int, const std::string&) {}
void TLoop::CardRead(int, const std::string&) {}
void TLoop::MemoryCard(int, const std::string&) {}
std::string TLoop::ReaderMessage(int, int, double) { return ""; }
bool TLoop::SpecialOutput(int, int, int) { return false; }
void TLoop::CheckExitTicket(int, const std::string&) {}
void TLoop::RecordIssuedTicket(int, const std::string&) {}
void TLoop::UpdateOutputs() {}
bool TLoop::ForceGateState(int, bool) { return false; }
void TLoop::SyncReaderTime() {}

}  // namespace tarn
