#include "db/OdbcLibrary.h"

#include <dlfcn.h>

#include <cstdlib>

namespace tarn {

std::vector<std::string> TOdbcLibrary::CandidateNames() {
  const char* own = std::getenv("TARNCARD_ODBC_LIBRARY");
  if (own != nullptr && *own != '\0') return {own};
  return {"libodbc.so.2", "libodbc.so"};
}

const std::vector<std::string>& TOdbcLibrary::EntryPointNames() {
  static const std::vector<std::string> names = {
      "SQLAllocHandle",   "SQLGetEnvAttr",    "SQLSetEnvAttr",   "SQLDrivers",
      "SQLDataSources",   "SQLGetConnectAttr", "SQLSetConnectAttr", "SQLConnect",
      "SQLDriverConnect", "SQLBrowseConnect", "SQLGetInfo",      "SQLGetStmtAttr",
      "SQLSetStmtAttr",   "SQLTables",        "SQLStatistics",   "SQLPrimaryKeys",
      "SQLForeignKeys",   "SQLExecDirect",    "SQLPrepare",      "SQLExecute",
      "SQLEndTran",       "SQLNumResultCols", "SQLRowCount",     "SQLFetch",
      "SQLFetchScroll",   "SQLGetData",       "SQLDescribeCol",  "SQLColAttribute",
      "SQLColumns",       "SQLSpecialColumns", "SQLBindCol",     "SQLBindParameter",
      "SQLSetPos",        "SQLPutData",       "SQLCloseCursor",  "SQLDisconnect",
      "SQLFreeHandle",    "SQLFreeStmt",      "SQLGetDiagField", "SQLGetDiagRec",
      "SQLCancel",        "SQLMoreResults"};
  return names;
}

namespace {

template <class F>
bool Bind(void* module, const char* name, F& slot) {
  void* address = dlsym(module, name);
  if (address == nullptr) return false;
  slot = reinterpret_cast<F>(address);
  return true;
}

}  // namespace

std::unique_ptr<TOdbcLibrary> TOdbcLibrary::Load() {
  void* module = nullptr;
  for (const std::string& name : CandidateNames()) {
    // The driver manager stays mapped once loaded: it keeps its settings caches in globals
    // that it never frees, so unloading it with the last owner and loading it again at the
    // next server start would leak them on every restart.
    module = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (module != nullptr) break;
  }
  if (module == nullptr) return nullptr;
  std::unique_ptr<TOdbcLibrary> lib(new TOdbcLibrary());
  lib->module_ = module;  // closed by the destructor on every failure below
  TOdbcEntryPoints& a = lib->api_;
  const bool all =
      Bind(module, "SQLAllocHandle", a.SQLAllocHandle) &&
      Bind(module, "SQLGetEnvAttr", a.SQLGetEnvAttr) &&
      Bind(module, "SQLSetEnvAttr", a.SQLSetEnvAttr) &&
      Bind(module, "SQLDrivers", a.SQLDrivers) &&
      Bind(module, "SQLDataSources", a.SQLDataSources) &&
      Bind(module, "SQLGetConnectAttr", a.SQLGetConnectAttr) &&
      Bind(module, "SQLSetConnectAttr", a.SQLSetConnectAttr) &&
      Bind(module, "SQLConnect", a.SQLConnect) &&
      Bind(module, "SQLDriverConnect", a.SQLDriverConnect) &&
      Bind(module, "SQLBrowseConnect", a.SQLBrowseConnect) &&
      Bind(module, "SQLGetInfo", a.SQLGetInfo) &&
      Bind(module, "SQLGetStmtAttr", a.SQLGetStmtAttr) &&
      Bind(module, "SQLSetStmtAttr", a.SQLSetStmtAttr) &&
      Bind(module, "SQLTables", a.SQLTables) &&
      Bind(module, "SQLStatistics", a.SQLStatistics) &&
      Bind(module, "SQLPrimaryKeys", a.SQLPrimaryKeys) &&
      Bind(module, "SQLForeignKeys", a.SQLForeignKeys) &&
      Bind(module, "SQLExecDirect", a.SQLExecDirect) &&
      Bind(module, "SQLPrepare", a.SQLPrepare) &&
      Bind(module, "SQLExecute", a.SQLExecute) &&
      Bind(module, "SQLEndTran", a.SQLEndTran) &&
      Bind(module, "SQLNumResultCols", a.SQLNumResultCols) &&
      Bind(module, "SQLRowCount", a.SQLRowCount) &&
      Bind(module, "SQLFetch", a.SQLFetch) &&
      Bind(module, "SQLFetchScroll", a.SQLFetchScroll) &&
      Bind(module, "SQLGetData", a.SQLGetData) &&
      Bind(module, "SQLDescribeCol", a.SQLDescribeCol) &&
      Bind(module, "SQLColAttribute", a.SQLColAttribute) &&
      Bind(module, "SQLColumns", a.SQLColumns) &&
      Bind(module, "SQLSpecialColumns", a.SQLSpecialColumns) &&
      Bind(module, "SQLBindCol", a.SQLBindCol) &&
      Bind(module, "SQLBindParameter", a.SQLBindParameter) &&
      Bind(module, "SQLSetPos", a.SQLSetPos) &&
      Bind(module, "SQLPutData", a.SQLPutData) &&
      Bind(module, "SQLCloseCursor", a.SQLCloseCursor) &&
      Bind(module, "SQLDisconnect", a.SQLDisconnect) &&
      Bind(module, "SQLFreeHandle", a.SQLFreeHandle) &&
      Bind(module, "SQLFreeStmt", a.SQLFreeStmt) &&
      Bind(module, "SQLGetDiagField", a.SQLGetDiagField) &&
      Bind(module, "SQLGetDiagRec", a.SQLGetDiagRec) &&
      Bind(module, "SQLCancel", a.SQLCancel) &&
      Bind(module, "SQLMoreResults", a.SQLMoreResults);
  if (!all) return nullptr;
  return lib;
}

std::unique_ptr<TOdbcLibrary> TOdbcLibrary::FromEntryPoints(const TOdbcEntryPoints& api) {
  std::unique_ptr<TOdbcLibrary> lib(new TOdbcLibrary());
  lib->api_ = api;
  return lib;
}

TOdbcLibrary::~TOdbcLibrary() {
  if (module_ != nullptr) dlclose(module_);
}

}  // namespace tarn
