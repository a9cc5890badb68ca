// Test programs keep the ODBC drivers loaded for their whole run. The driver manager unloads
// a driver when its last connection closes, and whatever the driver never freed then shows
// in the leak checker without a module name, where no suppression can name it. Loaded
// once more here and never unloaded, the drivers' own leaks carry their library's name
// (see scripts/sanitizers/lsan.supp).
#include <dlfcn.h>
#include <glob.h>

#include <initializer_list>

namespace {

struct KeepDrivers {
  KeepDrivers() {
    for (const char* pattern : {"/usr/lib/*/odbc/libsqlite3odbc*.so", "/usr/lib/*/odbc/libmaodbc.so"}) {
      glob_t found{};
      if (glob(pattern, 0, nullptr, &found) == 0)
        for (size_t i = 0; i < found.gl_pathc; ++i) dlopen(found.gl_pathv[i], RTLD_NOW | RTLD_NODELETE);
      globfree(&found);
    }
  }
};

const KeepDrivers keepDrivers;

}  // namespace
