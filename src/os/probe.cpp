#include "os/probe.h"

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

}  // namespace os
