#pragma once
// The end-to-end fixture: a fresh database (SQLite or MariaDB) holding the site of
// support/ServiceSite.h, and site computers that run the real service against it.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "support/ServiceSite.h"
#include "support/TestDatabase.h"
#include "util/DateTime.h"
#include "util/Format.h"
#include "util/Strings.h"

namespace tarn::test {

class E2ETest : public BackendTest {
 protected:
  // Generous bounds: the machine running the tests may be busy.
  static constexpr int kStart = 40000;
  static constexpr int kFrame = 15000;
  // The gate schedule and the heartbeat run about every 6 seconds.
  static constexpr int kSchedule = 25000;

  std::string Prefix() const override { return "tarn_e2e"; }

  void SetUp() override {
    BackendTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    std::string failed;
    ASSERT_TRUE(::tarn::testing::LoadSite(Db(), &failed)) << failed;
  }

  // A site computer named `name` with its home under the build folder.
  std::unique_ptr<::tarn::testing::TSiteComputer> Computer(const std::string& name) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string test = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : test)
      if (c == '/') c = '_';
    return std::make_unique<::tarn::testing::TSiteComputer>(TestOutputDir("e2e/" + test) + "/" + name,
                                                            Db().Params(), name);
  }

  long QueryInt(const std::string& sql) {
    return static_cast<long>(std::lround(StrToFloatDef(Db().QueryText(sql), -999999)));
  }
  // Waits until the query's first value equals `expected`.
  bool WaitValue(const std::string& sql, long expected, int timeoutMs = kFrame) {
    return ::tarn::testing::WaitFor([&] { return QueryInt(sql) == expected; }, timeoutMs);
  }
};

// A two-year-cycle ticket barcode (10 digits) issued at `when` at `lane`.
inline std::string CycleBarcode(TDateTime when, int lane) {
  const int year = DecodeDateTime(when).year;
  const int even = year % 2 == 0 ? year : year - 1;
  const auto seconds = static_cast<int64_t>(std::llround((when - EncodeDate(even, 1, 1)) * 86400.0));
  return Format("%.8d%.2d", seconds + 20000000, lane);
}

}  // namespace tarn::test
