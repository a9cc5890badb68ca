#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "log/TMessLog.h"
#include "support/TestDatabase.h"
#include "db/TODBCConn.h"

namespace tarn::test {
namespace {

class PingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = TestOutputDir("logs") + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
    std::error_code ec;
    std::filesystem::remove(path_, ec);
    log_ = std::make_unique<TMessLog>(path_, false, false, false, true);
  }
  std::string Text() {
    log_->Log("");
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string path_;
  std::unique_ptr<TMessLog> log_;
};

TEST_F(PingTest, LoopbackAnswers) {
  EXPECT_TRUE(PingHostLogged("127.0.0.1", 700, log_.get()));
  const std::string text = Text();
  const size_t pinging = text.find(" - Pinging - 127.0.0.1\r\n");
  const size_t ok = text.find(" - Ping OK\r\n");
  ASSERT_NE(pinging, std::string::npos) << text;
  ASSERT_NE(ok, std::string::npos) << text;
  EXPECT_LT(pinging, ok);
  EXPECT_TRUE(PingHostLogged("localhost", 700, nullptr));
}

TEST_F(PingTest, ShortNamesAndNoTimeoutAreNotChecked) {
  EXPECT_TRUE(PingHostLogged("abcdef", 700, log_.get()));
  EXPECT_TRUE(PingHostLogged("", 700, log_.get()));
  EXPECT_TRUE(PingHostLogged("no.such.host.invalid", 0, log_.get()));
  EXPECT_TRUE(PingHostLogged("no.such.host.invalid", -5, log_.get()));
  EXPECT_EQ(Text().find("Ping"), std::string::npos);
}

TEST_F(PingTest, NameThatCannotBeResolvedIsAPlainFailure) {
  // A label longer than 63 characters is refused by the resolver before any query is sent.
  const std::string name = std::string(70, 'x') + ".invalid";
  EXPECT_FALSE(PingHostLogged(name, 700, log_.get()));
  const std::string text = Text();
  EXPECT_NE(text.find(" - Pinging - " + name + "\r\n"), std::string::npos);
  EXPECT_EQ(text.find("Ping Exception"), std::string::npos) << text;
  EXPECT_NE(text.find(" - Ping FAIL\r\n"), std::string::npos) << text;
}

TEST_F(PingTest, IPv6LoopbackAnswersAnEchoOverICMPv6) {
  // The long form of ::1 (the short one is too short to be pinged at all).
  EXPECT_TRUE(PingHostLogged("0:0:0:0:0:0:0:1", 700, log_.get()));
  const std::string text = Text();
  EXPECT_NE(text.find(" - Pinging - 0:0:0:0:0:0:0:1\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" - Ping OK\r\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace tarn::test
