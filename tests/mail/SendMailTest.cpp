#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mail/SendMail.h"
#include "support/SmtpSink.h"

namespace tarn {
namespace {

using tarn::test::ClosedPort;
using tarn::test::SmtpSink;

namespace fs = std::filesystem;

// The header block of a received message (envelope lines excluded).
std::string HeadersOf(const std::string& received) {
  const size_t start = received.find("\r\n\r\n");
  const size_t end = received.find("\r\n\r\n", start + 4);
  return received.substr(start + 4, end == std::string::npos ? std::string::npos : end - start - 4);
}

// A listening socket that nobody accepts on: shows whether a client tried to connect.
class Witness {
 public:
  Witness() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 4);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Witness() { close(fd_); }
  Witness(const Witness&) = delete;
  Witness& operator=(const Witness&) = delete;
  int Port() const { return port_; }
  bool Connected() const {
    const int c = accept(fd_, nullptr, nullptr);
    if (c >= 0) close(c);
    return c >= 0;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

fs::path TestFolder(const std::string& name) {
  return fs::path(TARNCARD_BINARY_DIR) / "test-output" / "mail" / name;
}

class SendMailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    sink_ = std::make_unique<SmtpSink>(TestFolder(info->name()));
    ASSERT_GT(sink_->Port(), 0) << "the loopback SMTP server did not start";
  }
  std::unique_ptr<SmtpSink> sink_;
};

TEST_F(SendMailTest, CardEventReachesEveryRecipientWithTheSystemsHeaders) {
  std::string status;
  SendMail("", "127.0.0.1", sink_->Port(), "gate@site", "a@x, b@y", "audit@z", "Card Event",
           "Card: 1001, Name: John, Device: Entry 1", "", status);
  EXPECT_EQ("Sent", status);
  const auto mails = sink_->WaitForMessages(1);
  ASSERT_EQ(1u, mails.size());
  const std::string& m = mails[0];
  EXPECT_NE(std::string::npos, m.find("MAIL FROM: <gate@site>\r\n"));
  EXPECT_NE(std::string::npos, m.find("RCPT TO: <a@x>\r\nRCPT TO: <b@y>\r\nRCPT TO: <audit@z>\r\n"));
  const std::string headers = HeadersOf(m);
  EXPECT_NE(std::string::npos, headers.find("From: \"Automated Systems\" <gate@site>\r\n"));
  EXPECT_NE(std::string::npos, headers.find("Reply-To: gate@site\r\n"));
  EXPECT_NE(std::string::npos, headers.find("To: a@x, b@y\r\n"));
  EXPECT_NE(std::string::npos, headers.find("Subject: Card Event\r\n"));
  EXPECT_NE(std::string::npos, headers.find("X-Priority: 3\r\n"));
  // Blind copies travel in the envelope only.
  EXPECT_EQ(std::string::npos, headers.find("audit@z"));
  EXPECT_EQ(std::string::npos, headers.find("Bcc"));
  EXPECT_NE(std::string::npos, m.find("\r\n\r\nCard: 1001, Name: John, Device: Entry 1\r\n"));
}

TEST_F(SendMailTest, EmptyBodyAndSuccessiveMessagesAreSent) {
  std::string status;
  SendMail("", "127.0.0.1", sink_->Port(), "gate@site", "a@x", "", "Card Event", "", "", status);
  EXPECT_EQ("Sent", status);
  SendMail("", "127.0.0.1", sink_->Port(), "gate@site", "\"b@y\"", "", "Second", "x", "", status);
  EXPECT_EQ("Sent", status);
  const auto mails = sink_->WaitForMessages(2);
  ASSERT_EQ(2u, mails.size());
  EXPECT_NE(std::string::npos, HeadersOf(mails[0]).find("Subject: Card Event"));
  EXPECT_NE(std::string::npos, mails[1].find("RCPT TO: <b@y>"));
}

TEST_F(SendMailTest, LineBreaksInHeaderValuesCannotAddHeaders) {
  std::string status;
  SendMail("", "127.0.0.1", sink_->Port(), "gate@site\r\n", "a@x", "",
           "Card Event\r\nBcc: victim@w\nX-Injected: 1", "body", "", status);
  EXPECT_EQ("Sent", status);
  const auto mails = sink_->WaitForMessages(1);
  ASSERT_EQ(1u, mails.size());
  const std::string headers = HeadersOf(mails[0]);
  EXPECT_EQ(std::string::npos, headers.find("\r\nBcc:"));
  EXPECT_EQ(std::string::npos, headers.find("\nX-Injected"));
  EXPECT_NE(std::string::npos, headers.find("From: \"Automated Systems\" <gate@site>\r\n"));
  EXPECT_EQ(std::string::npos, mails[0].find("RCPT TO: <victim@w>"));
  EXPECT_NE(std::string::npos, headers.find("Subject: Card EventBcc: victim@wX-Injected: 1\r\n"));
}

TEST_F(SendMailTest, TextThatIsNotAsciiTravelsAsUtf8) {
  std::string status;
  const std::string name = "Jos\xC3\xA9 N\xC3\xBA\xC3\xB1" "ez";
  SendMail("", "127.0.0.1", sink_->Port(), "gate@site", "a@x", "", "Card Event Zo\xC3\xAB",
           "Card: 1001, Name: " + name + ", Device: Entry 1", "", status);
  EXPECT_EQ("Sent", status);
  const auto mails = sink_->WaitForMessages(1);
  ASSERT_EQ(1u, mails.size());
  const std::string headers = HeadersOf(mails[0]);
  EXPECT_NE(std::string::npos, headers.find("Content-Type: text/plain; charset=utf-8\r\n")) << headers;
  // "Card Event Zoë" as one encoded word; the body carries the bytes as they are.
  EXPECT_NE(std::string::npos, headers.find("Subject: =?UTF-8?B?Q2FyZCBFdmVudCBab8Or?=\r\n")) << headers;
  EXPECT_NE(std::string::npos, mails[0].find("Name: " + name + ", Device"));
}

TEST_F(SendMailTest, AttachmentGoesInlineInAMixedMessageAndIsDeleted) {
  const fs::path file = TestFolder("attachment-source") / "report.txt";
  fs::create_directories(file.parent_path());
  { std::ofstream(file) << "lot report line\n"; }
  std::string status;
  SendMail("", "127.0.0.1", sink_->Port(), "gate@site", "a@x", "", "Report", "See the file", file.string(),
           status);
  EXPECT_EQ("Sent", status);
  const auto mails = sink_->WaitForMessages(1);
  ASSERT_EQ(1u, mails.size());
  const std::string& m = mails[0];
  EXPECT_NE(std::string::npos, HeadersOf(m).find("Content-Type: multipart/mixed"));
  EXPECT_NE(std::string::npos, m.find("See the file"));
  EXPECT_NE(std::string::npos, m.find("Content-Disposition: inline; filename=\"report.txt\""));
  EXPECT_NE(std::string::npos, m.find("bG90IHJlcG9ydCBsaW5lCg=="));  // the file, base64
  EXPECT_FALSE(fs::exists(file));
}

TEST(SendMail, NobodyToSendToMakesNoConnection) {
  Witness witness;
  for (const char* list : {"", " , ,, ", "\"\""}) {
    std::string status = "unchanged";
    SendMail("", "127.0.0.1", witness.Port(), "gate@site", list, "audit@z", "Card Event", "x", "", status);
    EXPECT_EQ("No one to send to!", status) << list;
  }
  EXPECT_FALSE(witness.Connected());
}

TEST(SendMail, RefusedConnectionReportsTheError) {
  std::string status;
  SendMail("", "127.0.0.1", ClosedPort(), "gate@site", "a@x", "", "Card Event", "x", "", status);
  EXPECT_NE("Sent", status);
  EXPECT_FALSE(status.empty());
  EXPECT_NE(std::string::npos, status.find("onnect")) << status;
}

}  // namespace
}  // namespace tarn
