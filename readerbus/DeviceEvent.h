#pragma once
// The device events of a reader loop. The poll thread (TPoll) posts them as replies come
// in and devices go off or on line, the event thread (TProcessInfo) carries them to the
// main thread in its ring, and the loop component (TCard) raises the handler of each.
// The numbers are the ones the event ring has always stored; 0 marks an empty slot.
#include <cstdint>

namespace tarn::readerbus {

enum class TDeviceEvent : int32_t {
  None = 0,
  Counter = 1,       // reply R with data other than the last reading: OnCounter(reader, value)
  Input = 2,         // reply I: OnInput(reader, value)
  DiscCode = 3,      // reply D: OnDiscCode(reader, value)
  Deposit = 4,       // reply Z: OnDeposit(reader, value)
  BarCode = 5,       // reply #: OnBarCode(reader, value)
  Data = 6,          // reply C, a card or a dispenser's record: OnData(reader, value)
  InputOn = 7,       // reply L, an input reported '2': OnInputOn(reader, board, input)
  InputOff = 8,      // reply L, an input reported '1': OnInputOff(reader, board, input)
  ButtonUp = 9,      // reply K with state '1': OnButtonUp(reader, value)
  ButtonDown = 10,   // reply K, any other state: OnButtonDown(reader, value)
  OffLine = 11,      // the device stopped answering: OnError(reader)
  OnLine = 12,       // the device answers (again): OnErrorEx(reader, comstat)
  PowerUp = 13,      // the device answers (again), or replied P or p: OnPowerUp(reader)
  EscrowLever = 14,  // reply E: OnEscrowLever(reader)
  CashBox = 15,      // reply U: OnCashBox(reader)
  CommStatus = 16,   // a frame was written: OnCommStatus(reader, comstat)
  Printer = 17,      // reply J: OnPrinter(reader, value)
  Memory = 18,       // reply M, a read the device stored: OnMemory(reader, value)
};

// One past the highest event number.
constexpr int32_t kDeviceEventCount = 19;

// Whether `event` is one that a handler can be raised for (not None, not out of range).
constexpr bool IsDeviceEvent(TDeviceEvent event) {
  return static_cast<int32_t>(event) > 0 && static_cast<int32_t>(event) < kDeviceEventCount;
}

}  // namespace tarn::readerbus
