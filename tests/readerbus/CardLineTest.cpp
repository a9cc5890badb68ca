// The loop component's line set-up: its options reach the driver at the open and again at
// every reopen of a lost line, and what the driver refuses (or an adapter's slow timer) is
// said once, however often the line comes back.
#include <gtest/gtest.h>

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/MainLoop.h"
#include "readerbus/SerialPort.h"
#include "readerbus/TCard.h"
#include "support/FakeSystemTree.h"
#include "support/RecordingChannel.h"
#include "support/ScratchDir.h"

using namespace tarn;
using namespace tarn::readerbus;
using tarn::testing::TRecordingChannel;

namespace {

constexpr uint32_t kWait = 10000;

class CardLine : public ::testing::Test {
 protected:
  void SetUp() override {
    card.SetFirstReader(1);
    card.SetLastReader(2);
    card.OnLineNote = [this](const std::string& text) { Keep(notes, text); };
    card.OnLineDetail = [this](const std::string& text) { Keep(details, text); };
  }
  void TearDown() override { card.Close(); }
  void Keep(std::vector<std::string>& to, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    to.push_back(text);
  }
  // Notes (or details) that start with `prefix`.
  size_t Count(const std::vector<std::string>& from, const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<size_t>(
        std::count_if(from.begin(), from.end(), [&](const std::string& n) { return n.rfind(prefix, 0) == 0; }));
  }
  bool Run(const std::function<bool()>& pred) { return main.RunUntil(pred, kWait); }

  platform::TMainLoop main;
  TCard card;
  std::mutex mutex;
  std::vector<std::string> notes, details;
};

TEST_F(CardLine, OptionsReachTheDriverAtEveryOpenAndReopenAndAreSaidOnce) {
  tarn::testing::TFakeSystemTree tree(tarn::testing::ScratchDir("readerbus"));
  tree.Device("ttyUSB0", 16);
  tree.SerialLink("by-id", "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB0");

  // Every open makes a new adapter whose driver takes the low-latency flag but keeps its
  // 16 ms timer, and refuses nothing else.
  std::mutex openMutex;
  std::vector<std::vector<unsigned long>> requestsPerOpen;
  std::vector<serial_rs485> rs485PerOpen;
  TRecordingChannel* latest = nullptr;
  std::vector<std::string> pathsOpened;
  card.SetSystemRoot(tree.Root().string());
  card.SetLineOptions(TLineOptions{4, true, 3, 4});
  card.SetLineOpener([&](const std::string& path, uint32_t baud, std::string*) -> std::unique_ptr<TByteChannel> {
    EXPECT_EQ(baud, 9600u);
    auto line = std::make_unique<TRecordingChannel>();
    std::lock_guard<std::mutex> lock(openMutex);
    pathsOpened.push_back(path);
    latest = line.get();
    return line;
  });
  auto opens = [&] {
    std::lock_guard<std::mutex> lock(openMutex);
    return pathsOpened.size();
  };
  auto takeRequests = [&] {
    std::lock_guard<std::mutex> lock(openMutex);
    requestsPerOpen.push_back(latest->Requests());
    rs485PerOpen.push_back(latest->Rs485());
  };

  const std::string port = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  ASSERT_TRUE(card.OpenDevice(port)) << card.OpenError();
  takeRequests();
  {
    std::lock_guard<std::mutex> lock(openMutex);
    latest->Unplug();
  }
  ASSERT_TRUE(Run([&] { return card.LinesReopened() == 1; }));
  takeRequests();
  card.Close();

  ASSERT_EQ(opens(), 2u);
  EXPECT_EQ(pathsOpened, (std::vector<std::string>{port, port}));
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(requestsPerOpen[i], (std::vector<unsigned long>{TIOCGSERIAL, TIOCSSERIAL, TIOCSRS485}));
    EXPECT_EQ(rs485PerOpen[i].flags & (SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND),
              static_cast<uint32_t>(SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND));
    EXPECT_EQ(rs485PerOpen[i].delay_rts_before_send, 3u);
    EXPECT_EQ(rs485PerOpen[i].delay_rts_after_send, 4u);
  }
  // Both opens found the 16 ms timer: one warning, naming the file behind the by-id link.
  EXPECT_EQ(Count(notes, "WARNING: Serial line " + port + ": the adapter holds received bytes up to 16 ms"), 1u);
  EXPECT_EQ(Count(notes, "WARNING: "), 1u);
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_NE(std::find_if(notes.begin(), notes.end(),
                           [](const std::string& n) {
                             return n.find("echo 1 > /sys/class/tty/ttyUSB0/device/latency_timer") != std::string::npos;
                           }),
              notes.end());
  }
  EXPECT_EQ(Count(notes, "ERROR: "), 0u);
  EXPECT_EQ(Count(details, ""), 0u);
}

// A pseudo-terminal refuses both requests. Its refusals are said once, at the first open,
// not again when the line is lost and found again at the same path.
TEST_F(CardLine, PseudoTerminalRefusalsAreSaidOnceAcrossReopens) {
  const auto dir = tarn::testing::ScratchDir("readerbus");
  const std::string link = (dir / "lane").string();
  auto newLine = [&](std::unique_ptr<TFdChannel>& master) {
    std::string slave, error;
    master = std::make_unique<TFdChannel>(OpenPtyMaster(slave, &error));
    ASSERT_GE(master->Fd(), 0) << error;
    const std::string tmp = link + ".new";
    std::filesystem::remove(tmp);
    std::filesystem::create_symlink(slave, tmp);
    std::filesystem::rename(tmp, link);
  };
  std::unique_ptr<TFdChannel> master;
  newLine(master);
  card.SetLineOptions(TLineOptions{3, true, 0, 0});
  ASSERT_TRUE(card.OpenDevice(link)) << card.OpenError();
  master.reset();  // the far side goes away: hang-up
  ASSERT_TRUE(Run([&] { return card.LinesLost() == 1; }));
  newLine(master);
  ASSERT_TRUE(Run([&] { return card.LinesReopened() == 1; }));
  card.Close();

  EXPECT_EQ(Count(notes, "ERROR: Serial line " + link + " cannot be put in RS-485 mode (COM3 RS485=1): the driver "
                         "has no such setting."),
            1u);
  EXPECT_EQ(Count(notes, "ERROR: "), 1u);
  EXPECT_EQ(Count(notes, "WARNING: "), 0u);  // no latency timer on a pseudo-terminal
  EXPECT_EQ(Count(details, "Serial line " + link + " does not take the low-latency request (the driver has no such "
                           "setting)"),
            1u);
  EXPECT_EQ(Count(details, ""), 1u);
}

}  // namespace
