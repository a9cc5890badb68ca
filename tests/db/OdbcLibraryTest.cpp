#include <dlfcn.h>
#include <gtest/gtest.h>

#include "db/OdbcLibrary.h"

namespace {

// The driver manager is not made to be unloaded: its settings caches live in globals that it
// never frees, so every unload and reload at a server restart leaked them. Once loaded it
// stays, and a later load finds the same library.
TEST(OdbcLibrary, StaysLoadedAfterItsLastOwnerIsGone) {
  auto first = tarn::TOdbcLibrary::Load();
  if (!first) GTEST_SKIP() << "no ODBC driver manager installed";
  void* entry = reinterpret_cast<void*>(first->Api().SQLAllocHandle);
  first.reset();
  bool stillMapped = false;
  for (const std::string& name : tarn::TOdbcLibrary::CandidateNames()) {
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) continue;
    stillMapped = true;
    dlclose(handle);
  }
  EXPECT_TRUE(stillMapped);
  auto second = tarn::TOdbcLibrary::Load();
  ASSERT_TRUE(second);
  EXPECT_EQ(reinterpret_cast<void*>(second->Api().SQLAllocHandle), entry);
}

}  // namespace
