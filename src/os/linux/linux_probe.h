// What Linux shows of the tokens: hidraw nodes of vendor 0471, product 485e
// (from sysfs) with their access, and the udev rules that name them.
#pragma once

#include <string>

#include "os/probe.h"

namespace os {

class LinuxProbe final : public Probe {
 public:
  // Reads the tree below `root` ("" for this machine).
  explicit LinuxProbe(std::string root) : root_(std::move(root)) {}

  LinuxFacts GatherLinux() override;
  WindowsFacts GatherWindows() override { return {}; }

 private:
  std::string root_;
};

}  // namespace os
