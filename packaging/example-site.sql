-- The example site of a fresh package installation: one loop on COM1 named "example-site"
-- (the registry file's computer name) with one entry card reader, a lot and one staff card.
INSERT INTO loop (id, name, enabled, port, rfmodem) VALUES (1, 'example-site', 1, 1, 0);
INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'Car park', 0, 100);
INSERT INTO device (id, loop_id, addr_ess, name, msg_id, dir_ection, open_pulse, device_type, lot_id)
  VALUES (101, 1, 1, 'Entry 1', 1, 1, 5, 0, 1);
INSERT INTO messages (id, idle, gateup, accepted, not_on_file, access, inac_tive, passback, max_group, not_on_path)
  VALUES (1, 'Welcome', 'Gate held open', 'Welcome %f', 'Card %c unknown', 'No access now',
          'Card %c expired', 'Passback %f', 'Group full %f', 'Wrong way %f');
INSERT INTO card_type (id, name, access_level_id, no_expiry_flg, first_use_flg, days, pathway_id, msg_id)
  VALUES (1, 'Staff', 1, 1, 0, 0, 0, 0);
INSERT INTO card (number, type_id, group_id, first_name, last_name) VALUES (1001, 1, 0, 'Example', 'Card');
INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, day_8, day_9,
  start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', '00:00:00');
INSERT INTO a_l_range_device (a_l_range_id, device_id) VALUES (1, 101);
INSERT INTO settings (reset_vtsql, auto_reset, soft_group, soft_path, soft_pb, stup_pbrst) VALUES (0, 0, 0, 0, 0, 0);
