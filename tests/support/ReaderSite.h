#pragma once
// The rows of a one-lot card site, for the tests that run the real service against a
// MariaDB database: message set 1 ("Hello %f" on acceptance), card type 1 with access at
// every hour of every day on the devices the test names, the settings row, lot 1 with room
// for 1000, and plain cards ('A', 'B') of type 1. Each test gives its own loops and devices.
#include <string>
#include <vector>

namespace tarn::testing {

// `loops`, `devices` and `accessDevices` are VALUES lists of the `loop` (id, name, enabled,
// port, rfmodem), device (id, loop_id, addr_ess, name, msg_id, dir_ection, open_pulse,
// device_type, lot_id) and a_l_range_device (a_l_range_id, device_id) rows.
inline std::vector<std::string> ReaderSiteRows(const std::string& loops, const std::string& devices,
                                               const std::string& accessDevices) {
  return {
      "INSERT INTO `loop` (id, name, enabled, port, rfmodem) VALUES " + loops,
      "INSERT INTO device (id, loop_id, addr_ess, name, msg_id, dir_ection, open_pulse, device_type, lot_id) "
      "VALUES " + devices,
      "INSERT INTO messages (id, idle, gateup, accepted, not_on_file, access, inac_tive, passback, max_group, "
      "not_on_path) VALUES (1, 'Idle', 'Up', 'Hello %f', 'No card %c', 'No access', 'Inactive', 'PB', 'Group', "
      "'Path')",
      "INSERT INTO card_type (id, name, access_level_id, no_expiry_flg, msg_id) VALUES (1, 'Plain', 1, 1, 0)",
      "INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, day_8, day_9, "
      "start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', '00:00:00')",
      "INSERT INTO a_l_range_device (a_l_range_id, device_id) VALUES " + accessDevices,
      "INSERT INTO settings (soft_group, soft_path, soft_pb, stup_pbrst) VALUES (0, 0, 0, 0)",
      "INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'Lot', 0, 1000)",
  };
}

// One INSERT of the plain cards first..last.
inline std::string PlainCards(int first, int last) {
  std::string sql = "INSERT INTO card (number, type_id, first_name, last_name, space_no, in_lot) VALUES ";
  for (int n = first; n <= last; ++n)
    sql += (n > first ? ", (" : "(") + std::to_string(n) + ", 1, 'A', 'B', 0, 0)";
  return sql;
}

}  // namespace tarn::testing
