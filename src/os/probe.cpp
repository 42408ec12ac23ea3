#include "os/probe.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "os/system.h"

namespace os {

#ifndef VANTOR_HAVE_NATIVE_PROBE
namespace {

// The probe of a build that has no real system: it finds nothing.
class NoProbe final : public Probe {
 public:
  LinuxFacts GatherLinux() override { return {}; }
  WindowsFacts GatherWindows() override { return {}; }
};

}  // namespace

Probe& NativeProbe() {
  static NoProbe probe;
  return probe;
}
#endif

Probe& CurrentProbe() {
  if (auto* probe = dynamic_cast<Probe*>(&Sys())) return *probe;
  return NativeProbe();
}

bool IsTerminal(int fd) {
#ifdef _WIN32
  return _isatty(fd) != 0;
#else
  return isatty(fd) != 0;
#endif
}

}  // namespace os
