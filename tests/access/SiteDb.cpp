#include "SiteDb.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "util/Strings.h"

namespace tarn::testing {
namespace fs = std::filesystem;

namespace {

const char* const kTables[] = {
    "CREATE TABLE settings (id INTEGER, soft_group INTEGER, soft_path INTEGER, soft_pb INTEGER, "
    "stup_pbrst INTEGER)",
    "CREATE TABLE device (id INTEGER, loop_id INTEGER, addr_ess INTEGER, name VARCHAR(40), dir_ection INTEGER, "
    "no_path INTEGER, debit_flag INTEGER, open_pulse DECIMAL(10,2), special_out INTEGER)",
    "CREATE TABLE holiday (holi_day DATE, tab_num INTEGER)",
    "CREATE TABLE a_l_range (id INTEGER, access_level_id INTEGER, day_1 INTEGER, day_2 INTEGER, day_3 INTEGER, "
    "day_4 INTEGER, day_5 INTEGER, day_6 INTEGER, day_7 INTEGER, day_8 INTEGER, day_9 INTEGER, start_time TIME, "
    "end_time TIME)",
    "CREATE TABLE a_l_range_device (a_l_range_id INTEGER, device_id INTEGER)",
    "CREATE TABLE card_type (id INTEGER, access_level_id INTEGER, days INTEGER, global_expiry INTEGER, "
    "first_use_flg INTEGER, debit_flg INTEGER, debit_reset_flag INTEGER, debit_time_limit INTEGER, "
    "debit_time_limit_flg INTEGER, no_expiry_flg INTEGER, pathway_id INTEGER, ignore_passback INTEGER, "
    "uses INTEGER, date_set INTEGER, start_dt DATETIME, exp_iry DATETIME, prev_strt DATETIME, prev_exp DATETIME)",
    "CREATE TABLE card (number DECIMAL(20,2), type_id INTEGER, group_id INTEGER, in_gate INTEGER, in_lot INTEGER, "
    "trans_dt DATETIME, debit_left INTEGER, debit_date DATETIME, debit_reset_date DATETIME, date_set INTEGER, "
    "start_dt DATETIME, exp_iry DATETIME, prev_strt DATETIME, prev_exp DATETIME, first_name VARCHAR(40), "
    "last_name VARCHAR(40), space_no INTEGER, misc_1 VARCHAR(40), misc_2 VARCHAR(40), misc_3 VARCHAR(40), "
    "misc_4 VARCHAR(40), str_eet VARCHAR(40))",
    "CREATE TABLE card_pool (id INTEGER, max_inlot INTEGER, cur_inlot INTEGER)",
    "CREATE TABLE pathway_ft (pathway_id INTEGER, from_device INTEGER, to_device INTEGER, time_limit INTEGER)",
    "CREATE TABLE trans (card_no DECIMAL(20,2), dat_e DATETIME, device_id INTEGER, error_code INTEGER, "
    "error_desc VARCHAR(40), cardno DECIMAL(20,2), device_name VARCHAR(40), first_name VARCHAR(40), "
    "last_name VARCHAR(40), mem_flag INTEGER)",
};

}  // namespace

std::string EngineName(Engine e) { return e == Engine::SQLite ? "SQLite" : "MariaDB"; }

SiteDb::SiteDb(Engine engine, const std::string& name) {
  const fs::path folder = fs::path(TARNCARD_BINARY_DIR) / "test-output" / "access";
  fs::create_directories(folder);
  logPath_ = (folder / (name + "-" + EngineName(engine) + ".log")).string();
  fs::remove(logPath_);
  log_ = std::make_unique<TMessLog>(logPath_, false, false, false, true);
  db_ = std::make_unique<TODBC>();
  db_->MessLog = log_.get();
  db_->ReportErrors = true;
  db_->BindColumns = true;
  if (engine == Engine::SQLite) {
    const fs::path file = folder / (name + ".sqlite");
    fs::remove(file);
    ready_ = db_->ConnectToDataSource("", "", "", file.string(), "SQLite3", "");
    if (!ready_) skipReason_ = "SQLite3 ODBC connection failed";
  } else {
    const char* port = std::getenv("TARNCARD_TEST_MARIADB_PORT");
    if (!port || !*port) {
      skipReason_ = "TARNCARD_TEST_MARIADB_PORT not set";
      return;
    }
    const std::string options = std::string("SERVER=127.0.0.1;PORT=") + port;
    const std::string database = "tarn_acc_" + LowerCase(name);
    {
      TODBC admin;
      admin.MessLog = log_.get();
      admin.ReportErrors = true;
      admin.BindColumns = true;
      if (!admin.ConnectToDataSource("", "tarn", "tarn", "", "MariaDB Unicode", options)) {
        skipReason_ = "MariaDB connection failed";
        return;
      }
      TODBCStatement st(&admin);
      st.ExecSQL("DROP DATABASE IF EXISTS " + database);
      st.ExecSQL("CREATE DATABASE " + database);
    }
    ready_ = db_->ConnectToDataSource("", "tarn", "tarn", database, "MariaDB Unicode", options);
    if (!ready_) skipReason_ = "MariaDB database connection failed";
  }
  if (!ready_) return;
  for (const char* t : kTables) Exec(t);
}

SiteDb::~SiteDb() {
  if (db_) db_->DisconnectFromDataSource();
}

std::string SiteDb::LogText() const {
  log_->Log("");
  std::ifstream in(logPath_, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void SiteDb::Exec(const std::string& sql) {
  TODBCStatement st(db_.get());
  EXPECT_TRUE(st.ExecSQL(sql)) << sql;
}

std::string SiteDb::Text(const std::string& sql) {
  TODBCStatement st(db_.get());
  if (!st.ExecSQL(sql)) return "";
  return st.FieldByIndexAsString(0);
}

int SiteDb::Int(const std::string& sql) {
  TODBCStatement st(db_.get());
  if (!st.ExecSQL(sql)) return -999;
  return StrToIntDef(st.FieldByIndexAsString(0), -998);
}

double SiteDb::Float(const std::string& sql) {
  TODBCStatement st(db_.get());
  if (!st.ExecSQL(sql)) return -999;
  return StrToFloatDef(st.FieldByIndexAsString(0), -998);
}

}  // namespace tarn::testing
