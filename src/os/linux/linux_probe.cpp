// What Linux shows of the tokens, read from sysfs, /dev and the udev rule
// folders below a root.
#include "os/linux/linux_probe.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <utility>

namespace os {
namespace {

namespace fs = std::filesystem;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
    return static_cast<char>(std::tolower(c));
  });
  return text;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Rule files in `folder` that name the tokens' vendor and product.
std::vector<std::string> RulesIn(const std::string& root,
                                 const std::string& folder) {
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(root + folder, error)) {
    if (entry.path().extension() != ".rules") continue;
    const std::string text = Lower(ReadFile(entry.path()));
    if (text.find("0471") != std::string::npos &&
        text.find("485e") != std::string::npos) {
      found.push_back(folder + "/" + entry.path().filename().string());
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace

LinuxFacts LinuxProbe::GatherLinux() {
  const std::string& root = root_;
  LinuxFacts facts;
  std::error_code error;
  std::vector<std::string> names;
  for (const auto& entry :
       fs::directory_iterator(root + "/sys/class/hidraw", error)) {
    const std::string uevent = Lower(ReadFile(entry.path() / "device/uevent"));
    if (uevent.find("hid_id=0003:00000471:0000485e") != std::string::npos) {
      names.push_back(entry.path().filename().string());
    }
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string device = "/dev/" + name;
    facts.nodes.push_back(
        {device, access((root + device).c_str(), R_OK | W_OK) == 0});
  }

  // The folders udev reads, the same folder seen twice once (/lib is
  // /usr/lib on merged systems).
  std::set<std::string> seen;
  for (const char* folder : {"/etc/udev/rules.d", "/run/udev/rules.d",
                             "/usr/lib/udev/rules.d", "/lib/udev/rules.d"}) {
    const std::string real =
        fs::weakly_canonical(root + folder, error).string();
    if (!seen.insert(real).second) continue;
    for (const std::string& rule : RulesIn(root, folder)) {
      facts.rules.push_back(rule);
    }
  }
  // Where `cmake --install` puts it by default, which udev does not read.
  facts.unreadRules = RulesIn(root, "/usr/local/lib/udev/rules.d");
  return facts;
}

// The native probe of a Linux build.
Probe& NativeProbe() {
  static LinuxProbe probe("");
  return probe;
}

}  // namespace os
