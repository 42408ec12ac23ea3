// The simulated machine's side of the tokens' cards: running APDUs with
// their log and events, and the inspection and injection members.
#include <mutex>
#include <utility>

#include "sim/sim_system.h"

namespace vantor::sim::detail {

void SimSystem::CommandLocked(Device& device, const std::uint8_t* apdu,
                              std::size_t length) {
  VirtualToken& token = *device.token;
  // The log and the events allocate: they are written only while the wire
  // log is on, so that exchanges allocate nothing with it off.
  const CardEffect effect =
      token.Command(apdu, length, device.answer, wire_enabled_);
  if (wire_enabled_ && effect.kind != CardEffect::Kind::None) {
    TokenEventLocked(token, effect.Text().c_str());
  }
}

CardState SimSystem::Card(TokenId token) const {
  std::lock_guard<std::mutex> lock(Mutex());
  const Device* device = TokenDeviceLocked(token);
  return device != nullptr ? device->token->GetCard().Snapshot() : CardState{};
}

ApduLog SimSystem::Apdus(TokenId token) const {
  std::lock_guard<std::mutex> lock(Mutex());
  const Device* device = TokenDeviceLocked(token);
  return device != nullptr ? device->token->ApduRecords() : ApduLog{};
}

void SimSystem::ClearApdus(TokenId token) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (Device* device = TokenDeviceLocked(token)) device->token->ClearApdus();
}

void SimSystem::InjectAnswer(TokenId token, const InjectedAnswer& injected) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (Device* device = TokenDeviceLocked(token)) {
    device->token->Inject(injected);
  }
}

void SimSystem::ClearInjectedAnswers(TokenId token) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (Device* device = TokenDeviceLocked(token)) {
    device->token->ClearInjections();
  }
}

void SimSystem::SetProgram(TokenId token, std::uint16_t fileId,
                           CardProgram program) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (Device* device = TokenDeviceLocked(token)) {
    device->token->GetCard().SetProgram(fileId, std::move(program));
  }
}

void SimSystem::SetCardCursor(TokenId token, std::uint32_t address) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (Device* device = TokenDeviceLocked(token)) {
    device->token->GetCard().SetCursor(address);
  }
}

}  // namespace vantor::sim::detail
