// The machines the command-line program runs on: this one (NativeHost) and
// a simulated one with one virtual token (SimHost).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "vantor/sim.h"

namespace vantor::tool::cli {

// The tokens attached to this machine, through the library's native system;
// what the machine shows of them, through `probe`.
class NativeHost final : public Host {
 public:
  explicit NativeHost(os::Probe& probe = os::NativeProbe()) : probe_(probe) {}

  TokenApi& Api() override { return api_; }
  std::string MachineName() const override;
  std::vector<std::optional<TargetMode>> Modes(
      const std::vector<VXContext>& tokens) override;
  std::vector<Finding> Checks() override;
  std::int64_t NowMs() override;
  void SleepMs(int milliseconds) override;

 private:
  VxTokenApi api_;
  os::Probe& probe_;
};

// Makes the root directory (with its default PINs) on the first listed
// token through the library, as `vantor mkdir \` does.
std::uint32_t MakeRootOnFirstToken(TokenApi& api);

// A simulated machine (Windows XP as the library sees it) with one virtual
// token in HID mode (of `token`'s version and device type), as the demo
// window has. After a mode change it plays
// the user: it unplugs the token kUnplugAfterMs later and plugs it in again
// (in its new mode) kReplugAfterMs after the change. With `realTime` false
// its clock is virtual: a pause only moves the clock on.
class SimHost final : public Host {
 public:
  static constexpr std::int64_t kUnplugAfterMs = 300;
  static constexpr std::int64_t kReplugAfterMs = 800;

  explicit SimHost(bool realTime = true, bool plugToken = true,
                   const sim::TokenConfig& token = {});

  sim::Machine& Machine() { return machine_; }
  // Makes the root directory on the plugged token, so that the card
  // commands have a file system to work in.
  std::uint32_t MakeRoot() { return MakeRootOnFirstToken(api_); }

  TokenApi& Api() override { return api_; }
  std::string MachineName() const override { return "simulated machine"; }
  std::vector<std::optional<TargetMode>> Modes(
      const std::vector<VXContext>& tokens) override;
  std::vector<Finding> Checks() override;
  std::int64_t NowMs() override;
  void SleepMs(int milliseconds) override;
  void ModeRequested(const VXContext& token) override;

 private:
  std::optional<sim::TokenId> TokenOf(const VXContext& context) const;
  void PlayUser();

  sim::Machine machine_;
  VxTokenApi api_;
  bool real_time_;
  std::int64_t virtual_ms_ = 0;
  // The token being re-plugged, and when its change was accepted.
  std::optional<sim::TokenId> replugging_;
  std::int64_t requested_ms_ = 0;
  bool unplugged_ = false;
};

}  // namespace vantor::tool::cli
