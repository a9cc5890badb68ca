#pragma once
// TOdbcLibrary: the driver manager bound at run time, and the one place through which every
// call into it goes. The library is opened by name ($TARNCARD_ODBC_LIBRARY when set, else
// "libodbc.so.2", then "libodbc.so"); all 41 entry points the database layer may need are
// resolved by name, and a library that lacks any of them is refused.
// Each TODBC owns one TOdbcLibrary. The library itself stays mapped once loaded, also after
// its last owner is gone: the driver manager keeps caches in globals that it never frees, so
// unloading and loading it again at every server restart would leak them.
// Immutable after Load; safe to call from any thread.
#include <sql.h>
#include <sqlext.h>

#include <memory>
#include <string>
#include <vector>

namespace tarn {

struct TOdbcEntryPoints {
  SQLRETURN (*SQLAllocHandle)(SQLSMALLINT, SQLHANDLE, SQLHANDLE*);
  SQLRETURN (*SQLGetEnvAttr)(SQLHENV, SQLINTEGER, SQLPOINTER, SQLINTEGER, SQLINTEGER*);
  SQLRETURN (*SQLSetEnvAttr)(SQLHENV, SQLINTEGER, SQLPOINTER, SQLINTEGER);
  SQLRETURN (*SQLDrivers)(SQLHENV, SQLUSMALLINT, SQLCHAR*, SQLSMALLINT, SQLSMALLINT*, SQLCHAR*,
                          SQLSMALLINT, SQLSMALLINT*);
  SQLRETURN (*SQLDataSources)(SQLHENV, SQLUSMALLINT, SQLCHAR*, SQLSMALLINT, SQLSMALLINT*,
                              SQLCHAR*, SQLSMALLINT, SQLSMALLINT*);
  SQLRETURN (*SQLGetConnectAttr)(SQLHDBC, SQLINTEGER, SQLPOINTER, SQLINTEGER, SQLINTEGER*);
  SQLRETURN (*SQLSetConnectAttr)(SQLHDBC, SQLINTEGER, SQLPOINTER, SQLINTEGER);
  SQLRETURN (*SQLConnect)(SQLHDBC, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT, SQLCHAR*,
                          SQLSMALLINT);
  SQLRETURN (*SQLDriverConnect)(SQLHDBC, SQLHWND, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT,
                                SQLSMALLINT*, SQLUSMALLINT);
  SQLRETURN (*SQLBrowseConnect)(SQLHDBC, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT,
                                SQLSMALLINT*);
  SQLRETURN (*SQLGetInfo)(SQLHDBC, SQLUSMALLINT, SQLPOINTER, SQLSMALLINT, SQLSMALLINT*);
  SQLRETURN (*SQLGetStmtAttr)(SQLHSTMT, SQLINTEGER, SQLPOINTER, SQLINTEGER, SQLINTEGER*);
  SQLRETURN (*SQLSetStmtAttr)(SQLHSTMT, SQLINTEGER, SQLPOINTER, SQLINTEGER);
  SQLRETURN (*SQLTables)(SQLHSTMT, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT, SQLCHAR*,
                         SQLSMALLINT, SQLCHAR*, SQLSMALLINT);
  SQLRETURN (*SQLStatistics)(SQLHSTMT, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT, SQLCHAR*,
                             SQLSMALLINT, SQLUSMALLINT, SQLUSMALLINT);
  SQLRETURN (*SQLPrimaryKeys)(SQLHSTMT, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT, SQLCHAR*,
                              SQLSMALLINT);
  SQLRETURN (*SQLForeignKeys)(SQLHSTMT, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT, SQLCHAR*,
                              SQLSMALLINT, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT, SQLCHAR*,
                              SQLSMALLINT);
  SQLRETURN (*SQLExecDirect)(SQLHSTMT, SQLCHAR*, SQLINTEGER);
  SQLRETURN (*SQLPrepare)(SQLHSTMT, SQLCHAR*, SQLINTEGER);
  SQLRETURN (*SQLExecute)(SQLHSTMT);
  SQLRETURN (*SQLEndTran)(SQLSMALLINT, SQLHANDLE, SQLSMALLINT);
  SQLRETURN (*SQLNumResultCols)(SQLHSTMT, SQLSMALLINT*);
  SQLRETURN (*SQLRowCount)(SQLHSTMT, SQLLEN*);
  SQLRETURN (*SQLFetch)(SQLHSTMT);
  SQLRETURN (*SQLFetchScroll)(SQLHSTMT, SQLSMALLINT, SQLLEN);
  SQLRETURN (*SQLGetData)(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLPOINTER, SQLLEN, SQLLEN*);
  SQLRETURN (*SQLDescribeCol)(SQLHSTMT, SQLUSMALLINT, SQLCHAR*, SQLSMALLINT, SQLSMALLINT*,
                              SQLSMALLINT*, SQLULEN*, SQLSMALLINT*, SQLSMALLINT*);
  SQLRETURN (*SQLColAttribute)(SQLHSTMT, SQLUSMALLINT, SQLUSMALLINT, SQLPOINTER, SQLSMALLINT,
                               SQLSMALLINT*, SQLLEN*);
  SQLRETURN (*SQLColumns)(SQLHSTMT, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT, SQLCHAR*,
                          SQLSMALLINT, SQLCHAR*, SQLSMALLINT);
  SQLRETURN (*SQLSpecialColumns)(SQLHSTMT, SQLUSMALLINT, SQLCHAR*, SQLSMALLINT, SQLCHAR*,
                                 SQLSMALLINT, SQLCHAR*, SQLSMALLINT, SQLUSMALLINT, SQLUSMALLINT);
  SQLRETURN (*SQLBindCol)(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLPOINTER, SQLLEN, SQLLEN*);
  SQLRETURN (*SQLBindParameter)(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLSMALLINT, SQLSMALLINT,
                                SQLULEN, SQLSMALLINT, SQLPOINTER, SQLLEN, SQLLEN*);
  SQLRETURN (*SQLSetPos)(SQLHSTMT, SQLSETPOSIROW, SQLUSMALLINT, SQLUSMALLINT);
  SQLRETURN (*SQLPutData)(SQLHSTMT, SQLPOINTER, SQLLEN);
  SQLRETURN (*SQLCloseCursor)(SQLHSTMT);
  SQLRETURN (*SQLDisconnect)(SQLHDBC);
  SQLRETURN (*SQLFreeHandle)(SQLSMALLINT, SQLHANDLE);
  SQLRETURN (*SQLFreeStmt)(SQLHSTMT, SQLUSMALLINT);
  SQLRETURN (*SQLGetDiagField)(SQLSMALLINT, SQLHANDLE, SQLSMALLINT, SQLSMALLINT, SQLPOINTER,
                               SQLSMALLINT, SQLSMALLINT*);
  SQLRETURN (*SQLGetDiagRec)(SQLSMALLINT, SQLHANDLE, SQLSMALLINT, SQLCHAR*, SQLINTEGER*,
                             SQLCHAR*, SQLSMALLINT, SQLSMALLINT*);
  SQLRETURN (*SQLCancel)(SQLHSTMT);
  SQLRETURN (*SQLMoreResults)(SQLHSTMT);
};

class TOdbcLibrary {
 public:
  // Opens and binds the driver manager; nullptr when the library or any entry point is
  // missing (the library is closed again then).
  static std::unique_ptr<TOdbcLibrary> Load();
  // A table of entry points that is no loaded library (tests replace the driver manager).
  static std::unique_ptr<TOdbcLibrary> FromEntryPoints(const TOdbcEntryPoints& api);
  // The library names tried, in order.
  static std::vector<std::string> CandidateNames();
  // The entry-point names, in binding order (41 of them).
  static const std::vector<std::string>& EntryPointNames();

  ~TOdbcLibrary();
  TOdbcLibrary(const TOdbcLibrary&) = delete;
  TOdbcLibrary& operator=(const TOdbcLibrary&) = delete;

  const TOdbcEntryPoints& Api() const { return api_; }

 private:
  TOdbcLibrary() = default;
  void* module_ = nullptr;
  TOdbcEntryPoints api_{};
};

inline bool SqlSucceeded(SQLRETURN code) {
  return code == SQL_SUCCESS || code == SQL_SUCCESS_WITH_INFO;
}

}  // namespace tarn
