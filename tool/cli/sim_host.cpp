#include <chrono>
#include <thread>

#include "hosts.h"

namespace vantor::tool::cli {

std::uint32_t MakeRootOnFirstToken(TokenApi& api) {
  Listing listing = ListTokens(api);
  if (listing.result != VX_SUCCESS) return listing.result;
  if (listing.contexts.empty()) return VX_INVALID_PARAMETER;
  VXContext& token = listing.contexts.front();
  std::uint32_t result = api.OpenDevice(&token);
  if (result != VX_SUCCESS) return result;
  result = VXMakeDirectory(&token, "\\", 0, VX_ROOT_DIRECTORY);
  api.CloseDevice(&token);
  return result;
}

SimHost::SimHost(bool realTime, bool plugToken, const sim::TokenConfig& token)
    : real_time_(realTime) {
  machine_.Install();
  // A listing of the empty machine frees the library's table of the tokens
  // of any machine installed before.
  ListTokens(api_);
  if (plugToken) machine_.Plug(token);
}

std::optional<sim::TokenId> SimHost::TokenOf(const VXContext& context) const {
  // A listed token is the plugged virtual token with its ATR.
  const std::vector<std::uint8_t> atr(context.bAtr,
                                      context.bAtr + context.dwAtrLength);
  for (const sim::TokenId id : machine_.Tokens()) {
    const sim::TokenState state = machine_.Token(id);
    if (state.plugged && state.atr == atr) return id;
  }
  return std::nullopt;
}

std::vector<std::optional<TargetMode>> SimHost::Modes(
    const std::vector<VXContext>& tokens) {
  std::vector<std::optional<TargetMode>> modes;
  for (const VXContext& context : tokens) {
    const std::optional<sim::TokenId> id = TokenOf(context);
    std::optional<TargetMode> mode;
    if (id) {
      mode = machine_.Token(*id).mode == sim::TokenMode::Usb ? TargetMode::kUsb
                                                             : TargetMode::kHid;
    }
    modes.push_back(mode);
  }
  return modes;
}

std::vector<Finding> SimHost::Checks() {
  // The installed machine answers the probe as the Windows it simulates.
  const WindowsFacts facts = os::CurrentProbe().GatherWindows();
  const int plugged = facts.hidTokens + facts.driverTokens;
  return {{Finding::Level::kOk, "simulated machine",
           std::to_string(plugged) + " virtual token(s) plugged in", ""}};
}

std::int64_t SimHost::NowMs() {
  if (!real_time_) return virtual_ms_;
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SimHost::SleepMs(int milliseconds) {
  if (real_time_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  } else {
    virtual_ms_ += milliseconds;
  }
  PlayUser();
}

void SimHost::ModeRequested(const VXContext& token) {
  replugging_ = TokenOf(token);
  requested_ms_ = NowMs();
  unplugged_ = false;
}

void SimHost::PlayUser() {
  if (!replugging_) return;
  const std::int64_t since = NowMs() - requested_ms_;
  if (!unplugged_ && since >= kUnplugAfterMs) {
    machine_.Unplug(*replugging_);
    unplugged_ = true;
  }
  if (unplugged_ && since >= kReplugAfterMs) {
    machine_.Replug(*replugging_);
    replugging_.reset();
  }
}

}  // namespace vantor::tool::cli
