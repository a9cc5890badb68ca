// `tarncard scramble TEXT`: the printed line is what the registry file must hold, so it has
// to come back as TEXT when the service reads it; a text that cannot come back is refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/TRegistryEx.h"
#include "service/TTARNCard.h"
#include "util/Strings.h"

namespace {

int RunTarncard(std::vector<std::string> args, std::string& out, std::string& err) {
  args.insert(args.begin(), "tarncard");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  int rc = tarn::ServiceMain(static_cast<int>(args.size()), argv.data());
  out = ::testing::internal::GetCapturedStdout();
  err = ::testing::internal::GetCapturedStderr();
  return rc;
}

TEST(ScrambleCommand, PrintedFormUnscramblesToTheTextAndUnstorableTextIsRefused) {
  std::string out, err;
  for (const char* text : {"kolbex", "pass word 12!", "a\\b\"c"}) {
    ASSERT_EQ(RunTarncard({"scramble", text}, out, err), 0) << text;
    ASSERT_FALSE(out.empty());
    ASSERT_EQ(out.back(), '\n');
    EXPECT_EQ(tarn::Unscramble(out.substr(0, out.size() - 1)), text);
    EXPECT_TRUE(err.empty());
  }

  // Characters outside the table would be printed as they are and never come back.
  for (const char* text : {"a^b", "caf\xc3\xa9", "x~", "tab\there"}) {
    EXPECT_EQ(RunTarncard({"--SCRAMBLE", text}, out, err), 1) << text;
    EXPECT_TRUE(out.empty()) << text;
    EXPECT_NE(err.find("cannot be scrambled"), std::string::npos) << err;
  }

  // The switch without its text is a usage error.
  EXPECT_EQ(RunTarncard({"scramble"}, out, err), 2);
  EXPECT_NE(err.find("SCRAMBLE needs the text to scramble"), std::string::npos) << err;
}

}  // namespace
