-- Old shapes of device and tickinv, before the loop set-up upgrades them.
-- Load after dropping those two tables of the reference schema.

DROP TABLE device;

CREATE TABLE device (
  id INTEGER PRIMARY KEY,
  loop_id INTEGER,
  addr_ess INTEGER,
  name VARCHAR(50),
  msg_id INTEGER DEFAULT 1,
  dir_ection INTEGER DEFAULT 0,
  no_path INTEGER DEFAULT 0,
  debit_flag INTEGER DEFAULT 0,
  open_pulse INTEGER DEFAULT 0,
  perm_open INTEGER DEFAULT 0,
  open_flag INTEGER DEFAULT 0,
  lot_id INTEGER DEFAULT 0,
  count1 INTEGER DEFAULT 0,
  count2 INTEGER DEFAULT 0,
  count3 INTEGER DEFAULT 0,
  count4 INTEGER DEFAULT 0,
  count5 INTEGER DEFAULT 0,
  count_soft INTEGER DEFAULT 0,
  lf_output INTEGER DEFAULT 0,
  lf_output_flag INTEGER DEFAULT 0,
  lf_enabled INTEGER DEFAULT 0,
  lf_sign INTEGER DEFAULT 0,
  lf_sign_flag INTEGER DEFAULT 0,
  remote_user VARCHAR(50),
  remote_ip VARCHAR(50),
  online_flag INTEGER DEFAULT 0,
  door_input INTEGER DEFAULT 0,
  ajar_timer INTEGER DEFAULT 0,
  ajar_output INTEGER DEFAULT 0,
  fire_input INTEGER DEFAULT 0,
  door_ajar INTEGER DEFAULT 0,
  alarm_ack INTEGER DEFAULT 0,
  fire_flag INTEGER DEFAULT 0
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

DROP TABLE tickinv;

CREATE TABLE tickinv (
  barcode VARCHAR(30),
  ticket INTEGER,
  issuerid INTEGER,
  issuername VARCHAR(50),
  status INTEGER DEFAULT 0,
  security INTEGER DEFAULT 0,
  in_date DATETIME,
  out_date DATETIME,
  l_date DATETIME
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
