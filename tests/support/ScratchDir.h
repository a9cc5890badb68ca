#pragma once
// A fresh, empty folder under the build folder for one test, whatever $HOME is.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace tarn::testing {

inline std::filesystem::path ScratchDir(const std::string& group) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = group;
  if (info) name += std::string("/") + info->test_suite_name() + "." + info->name();
  std::filesystem::path dir = std::filesystem::path(TARNCARD_BINARY_DIR) / "test-scratch" / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

}  // namespace tarn::testing
