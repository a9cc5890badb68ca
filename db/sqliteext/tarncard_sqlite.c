/* SQLite extension with the scalar functions the ODBC escapes {fn now()} and {fn curdate()}
 * reach SQLite as: now() gives the local date-time "YYYY-MM-DD HH:MM:SS", curdate() the local
 * date "YYYY-MM-DD". Loaded by the SQLite3 ODBC driver through LoadExt= in the connect
 * options. */
#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT1

#include <time.h>

static void local_time_text(sqlite3_context* ctx, const char* pattern) {
  time_t now = time(NULL);
  struct tm parts;
  char text[32];
  if (localtime_r(&now, &parts) == NULL || strftime(text, sizeof text, pattern, &parts) == 0) {
    sqlite3_result_error(ctx, "local time unavailable", -1);
    return;
  }
  sqlite3_result_text(ctx, text, -1, SQLITE_TRANSIENT);
}

static void now_func(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  (void)argc;
  (void)argv;
  local_time_text(ctx, "%Y-%m-%d %H:%M:%S");
}

static void curdate_func(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  (void)argc;
  (void)argv;
  local_time_text(ctx, "%Y-%m-%d");
}

#ifdef _WIN32
__declspec(dllexport)
#endif
int sqlite3_tarncardsqlite_init(sqlite3* db, char** error, const sqlite3_api_routines* api) {
  (void)error;
  SQLITE_EXTENSION_INIT2(api);
  int rc = sqlite3_create_function(db, "now", 0, SQLITE_UTF8, NULL, now_func, NULL, NULL);
  if (rc == SQLITE_OK)
    rc = sqlite3_create_function(db, "curdate", 0, SQLITE_UTF8, NULL, curdate_func, NULL, NULL);
  return rc;
}

int sqlite3_extension_init(sqlite3* db, char** error, const sqlite3_api_routines* api) {
  return sqlite3_tarncardsqlite_init(db, error, api);
}
