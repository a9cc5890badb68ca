#include "access/UnreadableCard.h"

#include "access/CardValidation.h"

namespace tarn {

TCardWrites UnreadableCardWrites(const std::optional<TDeviceRow>& device, TDateTime when) {
  TCardWrites w;
  TTransRow& t = w.trans;
  t.cardNo = CardNumberText(0);
  t.when = when;
  t.errorCode = kNotOnFile;
  t.errorDesc = ResultText(kNotOnFile);
  if (device) {
    t.deviceId = device->id;
    t.deviceName = device->name;
  }
  return w;
}

}  // namespace tarn
