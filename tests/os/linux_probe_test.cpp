// What the Linux probe finds in a made-up sysfs, /dev and udev tree.
#ifdef __linux__

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "os/linux/linux_probe.h"

namespace os {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class LinuxProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vantor-probe-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  void Write(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(root_ + path).parent_path());
    std::ofstream(root_ + path) << text;
  }
  // A hidraw node with the HID id of its device, and its /dev entry.
  void Node(const std::string& name, const std::string& hidId) {
    Write("/sys/class/hidraw/" + name + "/device/uevent",
          "DRIVER=hid-generic\nHID_ID=" + hidId + "\nHID_NAME=x\n");
    Write("/dev/" + name, "");
  }

  std::string root_;
};

TEST_F(LinuxProbeTest, FindsTheTokensNodesAndRules) {
  Node("hidraw0", "0003:0000046D:0000C52B");  // a mouse
  Node("hidraw2", "0003:00000471:0000485E");
  Node("hidraw1", "0003:00000471:0000485e");
  Write("/etc/udev/rules.d/70-vantor.rules",
        "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"0471\", "
        "ATTRS{idProduct}==\"485E\", TAG+=\"uaccess\"\n");
  Write("/etc/udev/rules.d/60-other.rules", "ATTRS{idVendor}==\"0471\"\n");
  Write("/usr/local/lib/udev/rules.d/70-vantor.rules", "0471 485e");
  fs::create_directories(root_ + "/usr/lib/udev/rules.d");
  fs::create_directory_symlink("usr/lib", root_ + "/lib");
  Write("/usr/lib/udev/rules.d/71-vantor.rules", "0471 485e");

  const LinuxFacts facts = LinuxProbe(root_).GatherLinux();
  ASSERT_EQ(facts.nodes.size(), 2u);
  EXPECT_EQ(facts.nodes[0].device, "/dev/hidraw1");
  EXPECT_EQ(facts.nodes[1].device, "/dev/hidraw2");
  // The merged /lib is read once.
  EXPECT_THAT(facts.rules,
              ElementsAre("/etc/udev/rules.d/70-vantor.rules",
                          "/usr/lib/udev/rules.d/71-vantor.rules"));
  EXPECT_THAT(facts.unreadRules,
              ElementsAre("/usr/local/lib/udev/rules.d/70-vantor.rules"));
}

TEST_F(LinuxProbeTest, NodeWithoutDeviceFileIsNotAccessible) {
  Write("/sys/class/hidraw/hidraw4/device/uevent",
        "HID_ID=0003:00000471:0000485E\n");
  const LinuxFacts facts = LinuxProbe(root_).GatherLinux();
  ASSERT_EQ(facts.nodes.size(), 1u);
  EXPECT_FALSE(facts.nodes[0].accessible);
  EXPECT_THAT(facts.rules, IsEmpty());
}

TEST_F(LinuxProbeTest, EmptyMachineShowsNothing) {
  const LinuxFacts facts = LinuxProbe(root_).GatherLinux();
  EXPECT_THAT(facts.nodes, IsEmpty());
  EXPECT_THAT(facts.rules, IsEmpty());
  EXPECT_THAT(facts.unreadRules, IsEmpty());
}

}  // namespace
}  // namespace os

#endif  // __linux__
