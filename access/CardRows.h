#pragma once
// The rows a card decision reads, as plain values. A row source (RowSource.h) fills them;
// the decision (CardValidation.h, CardProcessing.h) reads nothing else.
//
// Each field holds what the row's column gave when it was read: a missing column or an empty
// value reads as 0, false or empty text, a missing date-time column as the day it was read.
// A row that does not exist is an empty std::optional. Plain values: copy them, compare
// them, hand them to any thread.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/DateTime.h"

namespace tarn {

// A card number, kept whole from the reader's text to the SQL text so that long numbers are
// matched, stored and shown digit for digit (a double holds only 15 to 16 of them).
using CardNumber = int64_t;

// `device`, the reading device (keyed by loop and address).
struct TDeviceRow {
  int id = 0;
  int direction = 0;  // dir_ection: 1 entry, 2 exit, 3 no passback bookkeeping, 0 none
  int noPath = 0;     // no_path: the device is outside every pathway when non-zero
  std::string name;
  bool debitFlag = false;  // the device charges debit cards
  double openPulse = 0;
  bool specialOut = false;
  int msgId = 0;
  bool operator==(const TDeviceRow&) const = default;
};

// The first `settings` row.
struct TSettingsRow {
  bool softGroup = false;
  bool softPath = false;
  bool softPassback = false;
  int passbackMinutes = 0;  // stup_pbrst
  bool operator==(const TSettingsRow&) const = default;
};

// A validity period, kept by the card or, with global_expiry, by its card type.
struct TPeriodRow {
  bool dateSet = false;
  TDateTime start = 0;
  TDateTime expiry = 0;
  TDateTime prevStart = 0;
  TDateTime prevExpiry = 0;
  bool operator==(const TPeriodRow&) const = default;
};

// `card`. A row that was looked for and not found reads as this value default-constructed.
struct TCardRow {
  std::string numberText;            // the number column as the driver gives its text
  std::optional<CardNumber> number;  // that text as a whole number, when stored exactly
  int typeId = 0;
  std::string typeIdText;
  int groupId = 0;
  int inGate = 0;
  int inLot = 0;
  TDateTime transDt = 0;
  int debitLeft = 0;
  TDateTime debitDate = 0;
  TDateTime debitResetDate = 0;
  TPeriodRow period;
  std::string firstName;
  std::string lastName;
  int spaceNo = 0;
  std::array<std::string, 4> misc;
  std::string street;
  bool operator==(const TCardRow&) const = default;
};

// `card_type`.
struct TCardTypeRow {
  int id = 0;
  int accessLevelId = 0;
  int days = 0;
  bool globalExpiry = false;
  bool firstUse = false;
  bool debit = false;
  bool debitReset = false;
  int debitTimeLimit = 0;  // minutes
  bool debitTimeLimitFlag = false;
  bool noExpiry = false;
  int pathwayId = 0;
  bool ignorePassback = false;
  int uses = 0;
  int msgId = 0;
  TPeriodRow period;  // read when the type keeps one period for all its cards
  bool operator==(const TCardTypeRow&) const = default;
};

// One `a_l_range` row of the card type's access level, with its day columns day_1..day_9
// (day[0] is day_1) and whether `a_l_range_device` links it to the reading device.
struct TAccessRangeRow {
  int id = 0;
  std::array<bool, 9> day{};
  TDateTime start = 0;  // time of day
  TDateTime end = 0;
  bool atDevice = false;
  bool operator==(const TAccessRangeRow&) const = default;
};

// One `pathway_ft` leg of the card type's pathway.
struct TPathwayLegRow {
  int fromDevice = 0;
  int toDevice = 0;
  int timeLimit = 0;  // minutes
  bool operator==(const TPathwayLegRow&) const = default;
};

// `card_pool`.
struct TCardPoolRow {
  int id = 0;
  int maxInLot = 0;
  int curInLot = 0;
  bool operator==(const TCardPoolRow&) const = default;
};

// A `messages` row: one template per access result without the soft bit (0 accepted ...
// 6 not in path).
struct TMessagesRow {
  std::array<std::string, 7> templates;
  bool operator==(const TMessagesRow&) const = default;
};

// `spots`.
struct TSpotRow {
  int floor = 0;
  bool operator==(const TSpotRow&) const = default;
};

// Everything one card read is decided and answered from. Which rows are there follows the
// decision's own order: no card type without a card on file, no ranges, legs or pool
// without a card type.
struct TCardRows {
  std::optional<TDeviceRow> device;
  std::optional<TSettingsRow> settings;
  std::optional<TCardRow> card;
  std::optional<TCardTypeRow> type;
  int holidayTab = 0;  // tab_num of the read's date in `holiday`, 0 when none
  std::vector<TAccessRangeRow> ranges;
  std::vector<TPathwayLegRow> legs;  // in the order the database gave them
  // Read only when the decision comes to the group maximum: a pooled card at an entry that
  // passed the rules before it (PoolDecides).
  std::optional<TCardPoolRow> pool;
  // The answer: the message set (the card type's, else the device's, else set 1) and the
  // floor of the card's space at a special-output device.
  std::optional<TMessagesRow> messages;
  std::optional<TSpotRow> spot;
  bool operator==(const TCardRows&) const = default;
};

// Which rows a card read needs.
struct TCardRowsKey {
  int loopId = 0;
  int address = 0;
  // None: the reader's text is no card number any card can have; only the device and its
  // message set are read.
  std::optional<CardNumber> card;
  TDateTime when = 0;  // the read's moment: its date picks the holiday
  // False: only the rows of the answer (device, card, card type, message set).
  bool decision = true;
  // False: none of the answer's rows (message set, spot): a stored read is not answered.
  bool answer = true;
};

}  // namespace tarn
