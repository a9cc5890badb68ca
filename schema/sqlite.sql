-- TARNCard reference schema for SQLite (through the SQLite3 ODBC driver).
-- Declared types decide the column kinds the service reads: DATE, TIME and DATETIME give date,
-- time-of-day and date-time columns; INTEGER flags and counts; NUMERIC(20,2) card numbers (whole numbers kept exact);
-- VARCHAR(n) texts.

CREATE TABLE loop (
  id INTEGER PRIMARY KEY,
  name VARCHAR(50),
  enabled INTEGER DEFAULT 0,
  port INTEGER DEFAULT 0,
  rfmodem INTEGER DEFAULT 0,
  lastupdate DATETIME
);

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
  fire_flag INTEGER DEFAULT 0,
  gate_up INTEGER DEFAULT 0,
  ptr_paper INTEGER DEFAULT 0,
  ptr_hdwr INTEGER DEFAULT 0,
  ptr_fail INTEGER DEFAULT 0,
  ptr_stat INTEGER DEFAULT 0,
  ptr_paper2 INTEGER DEFAULT 0,
  ptr_hdwr2 INTEGER DEFAULT 0,
  ptr_fail2 INTEGER DEFAULT 0,
  ptr_stat2 INTEGER DEFAULT 0,
  device_type INTEGER DEFAULT 0,
  special_out INTEGER DEFAULT 0,
  soft_seen INTEGER
);

CREATE TABLE messages (
  id INTEGER PRIMARY KEY,
  idle VARCHAR(64),
  gateup VARCHAR(64),
  accepted VARCHAR(64),
  not_on_file VARCHAR(64),
  access VARCHAR(64),
  inac_tive VARCHAR(64),
  passback VARCHAR(64),
  max_group VARCHAR(64),
  not_on_path VARCHAR(64)
);

CREATE TABLE card (
  number NUMERIC(20,2) PRIMARY KEY,
  card_type INTEGER DEFAULT 0,
  type_id INTEGER DEFAULT 0,
  group_id INTEGER DEFAULT 0,
  in_gate INTEGER DEFAULT -1,
  in_lot INTEGER DEFAULT 0,
  trans_dt DATETIME,
  debit_left INTEGER DEFAULT 0,
  debit_date DATETIME,
  debit_reset_date DATETIME,
  date_set INTEGER DEFAULT 0,
  start_dt DATETIME,
  exp_iry DATETIME,
  prev_strt DATETIME,
  prev_exp DATETIME,
  first_name VARCHAR(50),
  last_name VARCHAR(50),
  space_no INTEGER DEFAULT 0,
  misc_1 VARCHAR(50),
  misc_2 VARCHAR(50),
  misc_3 VARCHAR(50),
  misc_4 VARCHAR(50),
  str_eet VARCHAR(50)
);

CREATE TABLE card_type (
  id INTEGER PRIMARY KEY,
  name VARCHAR(50),
  access_level_id INTEGER DEFAULT 0,
  days INTEGER DEFAULT 0,
  global_expiry INTEGER DEFAULT 0,
  first_use_flg INTEGER DEFAULT 0,
  debit_flg INTEGER DEFAULT 0,
  debit_reset_flag INTEGER DEFAULT 0,
  debit_time_limit INTEGER DEFAULT 0,
  debit_time_limit_flg INTEGER DEFAULT 0,
  no_expiry_flg INTEGER DEFAULT 0,
  pathway_id INTEGER DEFAULT 0,
  ignore_passback INTEGER DEFAULT 0,
  msg_id INTEGER DEFAULT 0,
  uses INTEGER DEFAULT 0,
  date_set INTEGER DEFAULT 0,
  start_dt DATETIME,
  exp_iry DATETIME,
  prev_strt DATETIME,
  prev_exp DATETIME
);

CREATE TABLE card_pool (
  id INTEGER PRIMARY KEY,
  name VARCHAR(50),
  max_inlot INTEGER DEFAULT 0,
  cur_inlot INTEGER DEFAULT 0
);

CREATE TABLE a_l_range (
  id INTEGER PRIMARY KEY,
  access_level_id INTEGER,
  day_1 INTEGER DEFAULT 0,
  day_2 INTEGER DEFAULT 0,
  day_3 INTEGER DEFAULT 0,
  day_4 INTEGER DEFAULT 0,
  day_5 INTEGER DEFAULT 0,
  day_6 INTEGER DEFAULT 0,
  day_7 INTEGER DEFAULT 0,
  day_8 INTEGER DEFAULT 0,
  day_9 INTEGER DEFAULT 0,
  start_time TIME,
  end_time TIME
);

CREATE TABLE a_l_range_device (
  a_l_range_id INTEGER,
  device_id INTEGER
);

CREATE TABLE pathway_ft (
  pathway_id INTEGER,
  from_device INTEGER,
  to_device INTEGER,
  time_limit INTEGER DEFAULT 0
);

CREATE TABLE holiday (
  holi_day DATE,
  tab_num INTEGER DEFAULT 0
);

CREATE TABLE settings (
  reset_vtsql INTEGER DEFAULT 0,
  auto_reset INTEGER DEFAULT 0,
  auto_reset_group INTEGER DEFAULT 0,
  auto_reset_pathway INTEGER DEFAULT 0,
  reset_time TIME,
  auto_now INTEGER DEFAULT 0,
  auto_now_grp INTEGER DEFAULT 0,
  soft_group INTEGER DEFAULT 0,
  soft_path INTEGER DEFAULT 0,
  soft_pb INTEGER DEFAULT 0,
  stup_pbrst INTEGER DEFAULT 0
);

CREATE TABLE lot (
  id INTEGER PRIMARY KEY,
  name VARCHAR(50),
  lot_count INTEGER DEFAULT 0,
  max_capacity INTEGER DEFAULT 0,
  auto_r_count INTEGER DEFAULT 0,
  auto_r_time TIME,
  reset_amt INTEGER DEFAULT 0,
  cnt_reset_flag INTEGER DEFAULT 0,
  cnt_reset_time TIME,
  cnt_reset_amt INTEGER DEFAULT 0
);

CREATE TABLE counters (
  id INTEGER PRIMARY KEY,
  lot_id INTEGER
);

CREATE TABLE counter_item (
  device_id INTEGER,
  input INTEGER,
  cntr_id INTEGER,
  chg_lot INTEGER DEFAULT 0
);

CREATE TABLE trans (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  card_no NUMERIC(20,2),
  dat_e DATETIME,
  device_id INTEGER,
  error_code INTEGER,
  error_desc VARCHAR(50),
  cardno NUMERIC(20,2),
  device_name VARCHAR(50),
  first_name VARCHAR(50),
  last_name VARCHAR(50),
  mem_flag INTEGER DEFAULT 0
);

CREATE TABLE tickinv (
  barcode VARCHAR(30),
  ticket INTEGER,
  issuerid INTEGER,
  status INTEGER DEFAULT 0,
  security INTEGER DEFAULT 0,
  in_date DATETIME,
  out_date DATETIME,
  l_date DATETIME,
  takerid INTEGER,
  online INTEGER,
  tran_id INTEGER
);
CREATE INDEX tickinv_barcode ON tickinv (barcode);

CREATE TABLE spots (
  number INTEGER PRIMARY KEY,
  floor INTEGER
);

CREATE TABLE gateoc (
  id INTEGER PRIMARY KEY,
  device_id INTEGER,
  dayofweek INTEGER,
  start_time TIME,
  end_time TIME
);

-- One row per write decided offline and applied since (the replay's exactly-once key).
CREATE TABLE offline_applied (
  entry VARCHAR(64) NOT NULL PRIMARY KEY,
  made DATETIME NOT NULL
);
