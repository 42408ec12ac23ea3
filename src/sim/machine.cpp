#include <memory>
#include <utility>

#include "os/system.h"
#include "sim/sim_system.h"
#include "vantor/sim.h"

namespace vantor::sim {

struct Machine::Impl {
  std::unique_ptr<detail::SimSystem> system;
};

Machine::Machine(OsVersion version) : impl_(std::make_unique<Impl>()) {
  impl_->system = std::make_unique<detail::SimSystem>(version);
}

Machine::~Machine() {
  // The threads created through the machine may still be calling it: end
  // them while it is still installed, then uninstall it.
  impl_->system->Shutdown();
  Uninstall();
}

void Machine::Install() {
  detail::SimSystem::SetInstalled(impl_->system.get());
  os::SetCurrentSystem(impl_->system.get());
}

void Machine::Uninstall() {
  detail::SimSystem::ClearInstalled(impl_->system.get());
  if (&os::Sys() == impl_->system.get()) os::SetCurrentSystem(nullptr);
}

OsVersion Machine::Version() const { return impl_->system->Version(); }

TokenId Machine::Plug(const TokenConfig& config) {
  return impl_->system->Plug(config);
}

void Machine::PlugForeignHid(const std::string& hardwareId, int interfaces) {
  impl_->system->PlugForeignHid(hardwareId, interfaces);
}

void Machine::Unplug(TokenId token) { impl_->system->Unplug(token); }

void Machine::Replug(TokenId token) { impl_->system->Replug(token); }

TokenState Machine::Token(TokenId token) const {
  return impl_->system->Token(token);
}

std::vector<TokenId> Machine::Tokens() const { return impl_->system->Tokens(); }

void Machine::SetAtr(TokenId token, const std::vector<std::uint8_t>& atr) {
  impl_->system->SetAtr(token, atr);
}

void Machine::SetPath(TokenId token, const std::string& path) {
  impl_->system->SetPath(token, path);
}

void Machine::SetLatency(TokenId token, std::chrono::microseconds latency) {
  impl_->system->SetLatency(token, latency);
}

void Machine::SetControlAnswer(TokenId token, std::uint16_t code,
                               const std::vector<std::uint8_t>& answer) {
  impl_->system->SetControlAnswer(token, code, answer);
}

void Machine::ClearControlAnswer(TokenId token, std::uint16_t code) {
  impl_->system->SetControlAnswer(token, code, std::nullopt);
}

void Machine::SetFaults(TokenId token, const TokenFaults& faults) {
  impl_->system->SetFaults(token, faults);
}

TokenFaults Machine::GetFaults(TokenId token) const {
  return impl_->system->GetFaults(token);
}

void Machine::SetFaults(const MachineFaults& faults) {
  impl_->system->SetFaults(faults);
}

MachineFaults Machine::GetFaults() const { return impl_->system->GetFaults(); }

std::vector<WireRecord> Machine::Wire() const { return impl_->system->Wire(); }

void Machine::ClearWire() { impl_->system->ClearWire(); }

void Machine::SetWireLog(bool enabled) { impl_->system->SetWireLog(enabled); }

std::vector<CallRecord> Machine::Calls() const {
  std::vector<CallRecord> result;
  for (os::CallRecord& call : impl_->system->Calls().Records()) {
    result.push_back(CallRecord{std::move(call.name), std::move(call.arguments),
                                std::move(call.result), call.ok, call.error});
  }
  return result;
}

void Machine::ClearCalls() { impl_->system->Calls().Clear(); }

void Machine::SetCallLog(bool enabled) {
  impl_->system->Calls().SetEnabled(enabled);
}

void Machine::SetLogLimit(std::size_t records) {
  impl_->system->SetLogLimit(records);
}

std::vector<std::string> Machine::Events() const {
  return impl_->system->Events();
}

void Machine::ClearEvents() { impl_->system->ClearEvents(); }

MachineCounters Machine::Counters() const { return impl_->system->Counters(); }

CardState Machine::Card(TokenId token) const {
  return impl_->system->Card(token);
}

ApduLog Machine::Apdus(TokenId token) const {
  return impl_->system->Apdus(token);
}

void Machine::ClearApdus(TokenId token) { impl_->system->ClearApdus(token); }

void Machine::InjectAnswer(TokenId token, const InjectedAnswer& injected) {
  impl_->system->InjectAnswer(token, injected);
}

void Machine::ClearInjectedAnswers(TokenId token) {
  impl_->system->ClearInjectedAnswers(token);
}

void Machine::SetProgram(TokenId token, std::uint16_t fileId,
                         CardProgram program) {
  impl_->system->SetProgram(token, fileId, std::move(program));
}

void Machine::SetCardCursor(TokenId token, std::uint32_t address) {
  impl_->system->SetCardCursor(token, address);
}

std::vector<WindowInfo> Machine::Windows() const {
  std::vector<WindowInfo> result;
  for (const auto& w : impl_->system->Windows()) {
    WindowInfo info;
    info.className = w.className;
    info.title = w.title;
    info.visible = w.visible;
    result.push_back(std::move(info));
  }
  return result;
}

}  // namespace vantor::sim
