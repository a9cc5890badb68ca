#pragma once
// A made-up /dev and /sys under a test folder, as udev and the kernel lay them out for USB
// serial adapters: device nodes (plain files here), /dev/serial/by-id and by-path links
// (relative, as udev makes them) and each adapter's latency_timer file.
#include <filesystem>
#include <fstream>
#include <string>

namespace tarn::testing {

class TFakeSystemTree {
 public:
  explicit TFakeSystemTree(std::filesystem::path root) : root_(std::move(root)) {
    std::filesystem::create_directories(root_ / "dev/serial/by-id");
    std::filesystem::create_directories(root_ / "dev/serial/by-path");
  }
  const std::filesystem::path& Root() const { return root_; }

  // /dev/<name>, and its latency timer when ms >= 0.
  void Device(const std::string& name, int latencyMs = -1) {
    std::ofstream(root_ / "dev" / name) << "";
    if (latencyMs >= 0) SetLatency(name, std::to_string(latencyMs));
  }
  void SetLatency(const std::string& name, const std::string& text) {
    const auto dir = root_ / "sys/class/tty" / name / "device";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "latency_timer", std::ios::trunc) << text << "\n";
  }
  std::string Latency(const std::string& name) const {
    std::ifstream in(root_ / "sys/class/tty" / name / "device/latency_timer");
    std::string text;
    std::getline(in, text);
    return text;
  }
  // /dev/serial/<folder>/<link> -> ../../<device>
  void SerialLink(const std::string& folder, const std::string& link, const std::string& device) {
    std::filesystem::create_symlink("../../" + device, root_ / "dev/serial" / folder / link);
  }
  // Any link under the root, with the target as written (absolute targets name the system's paths).
  void Link(const std::string& at, const std::string& target) {
    std::filesystem::create_directories((root_ / at).parent_path());
    std::filesystem::create_symlink(target, root_ / at);
  }

 private:
  std::filesystem::path root_;
};

}  // namespace tarn::testing
