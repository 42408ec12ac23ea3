// What the machine shows of the tokens outside the library: the device nodes
// and udev rules of Linux, the HID and driver devices of Windows. Programs
// ask it to tell a user what stands between them and a token, and which
// mode the attached tokens are in.
//
// Plain records and one small interface, free of any platform header: the
// Linux and Windows probes stand beside the systems of their platform, and
// the simulated machine answers as the Windows machine it simulates.
#pragma once

#include <string>
#include <vector>

namespace os {

struct HidrawNode {
  std::string device;       // "/dev/hidraw3"
  bool accessible = false;  // readable and writable by this user
};

struct LinuxFacts {
  std::vector<HidrawNode> nodes;   // hidraw nodes of vendor 0471, product 485e
  std::vector<std::string> rules;  // udev rules that udev reads and name them
  std::vector<std::string> unreadRules;  // rules where udev does not look
};

struct WindowsFacts {
  int hidTokens = 0;     // HID devices with the tokens' hardware id
  int driverTokens = 0;  // devices of the driver's interface class
};

class Probe {
 public:
  virtual ~Probe() = default;
  // What Linux shows; nothing on another system.
  virtual LinuxFacts GatherLinux() = 0;
  // What Windows shows; nothing on another system.
  virtual WindowsFacts GatherWindows() = 0;
};

// The probe of this build's operating system (one that finds nothing where
// the build has none).
Probe& NativeProbe();

// The probe of the current system: the system itself when it answers
// probes (the simulated machine), otherwise NativeProbe().
Probe& CurrentProbe();

}  // namespace os
