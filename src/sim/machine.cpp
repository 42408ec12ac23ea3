#include <memory>
#include <utility>

#include "os/system.h"
#include "sim/sim_system.h"
#include "sim/testing.h"
#include "vantor/sim.h"

namespace vantor::sim {

Machine::Machine(OsVersion version)
    : system_(std::make_unique<detail::SimSystem>(version)) {}

Machine::~Machine() {
  // The threads created through the machine may still be calling it: end
  // them while it is still installed, then uninstall it.
  system_->Shutdown();
  Uninstall();
}

detail::SimSystem& detail::SystemOf(const Machine& machine) {
  return *machine.system_;
}

void Machine::Install() {
  detail::SimSystem::SetInstalled(system_.get());
  os::SetCurrentSystem(system_.get());
}

void Machine::Uninstall() {
  detail::SimSystem::ClearInstalled(system_.get());
  if (&os::Sys() == system_.get()) os::SetCurrentSystem(nullptr);
}

TokenId Machine::Plug(const TokenConfig& config) {
  return system_->Plug(config);
}

void Machine::PlugForeignHid(const std::string& hardwareId, int interfaces) {
  system_->PlugForeignHid(hardwareId, interfaces);
}

void Machine::Unplug(TokenId token) { system_->Unplug(token); }

void Machine::Replug(TokenId token) { system_->Replug(token); }

TokenState Machine::Token(TokenId token) const { return system_->Token(token); }

std::vector<TokenId> Machine::Tokens() const { return system_->Tokens(); }

void Machine::SetLatency(TokenId token, std::chrono::microseconds latency) {
  system_->SetLatency(token, latency);
}

void Machine::SetStopsAnswering(TokenId token, bool stopped) {
  TokenFaults faults = system_->GetFaults(token);
  faults.stopsAnswering = stopped;
  system_->SetFaults(token, faults);
}

void Machine::SetAtr(TokenId token, const std::vector<std::uint8_t>& atr) {
  system_->SetAtr(token, atr);
}

CardState Machine::Card(TokenId token) const { return system_->Card(token); }

ApduLog Machine::Apdus(TokenId token) const { return system_->Apdus(token); }

void Machine::ClearApdus(TokenId token) { system_->ClearApdus(token); }

void Machine::InjectAnswer(TokenId token, const InjectedAnswer& injected) {
  system_->InjectAnswer(token, injected);
}

void Machine::ClearInjectedAnswers(TokenId token) {
  system_->ClearInjectedAnswers(token);
}

void Machine::SetProgram(TokenId token, std::uint16_t fileId,
                         CardProgram program) {
  system_->SetProgram(token, fileId, std::move(program));
}

std::vector<std::string> Machine::Events() const { return system_->Events(); }

void Machine::ClearEvents() { system_->ClearEvents(); }

std::vector<CallRecord> TestMachine::Calls() const {
  std::vector<CallRecord> result;
  for (os::CallRecord& call : detail::SystemOf(*this).Calls().Records()) {
    result.push_back(CallRecord{std::move(call.name), std::move(call.arguments),
                                std::move(call.result), call.ok, call.error});
  }
  return result;
}

void TestMachine::ClearCalls() { detail::SystemOf(*this).Calls().Clear(); }

void TestMachine::SetCallLog(bool enabled) {
  detail::SystemOf(*this).Calls().SetEnabled(enabled);
}

std::vector<WindowInfo> TestMachine::Windows() const {
  std::vector<WindowInfo> result;
  for (const auto& w : detail::SystemOf(*this).Windows()) {
    WindowInfo info;
    info.className = w.className;
    info.title = w.title;
    info.visible = w.visible;
    result.push_back(std::move(info));
  }
  return result;
}

}  // namespace vantor::sim
