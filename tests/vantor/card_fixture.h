// A virtual token opened through the public calls, with its card's APDU log
// as hexadecimal text, for the tests of the card-command calls.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "commandfile/commandfile.h"
#include "fixture.h"
#include "hex_bytes.h"

namespace vantor::testing {

// Hex text without its spaces, as Hex() writes it.
inline std::string Packed(const std::string& text) {
  return Hex(HexBytes(text));
}

class CardTest : public MachineTest,
                 public ::testing::WithParamInterface<TokenMode> {
 protected:
  // Plugs a token of `version` whose card answers `deviceByte` to the
  // device-type read, and opens it.
  VXContext Open(std::uint16_t version, std::uint8_t deviceByte,
                 std::optional<std::vector<std::uint8_t>> atr = {}) {
    TokenConfig config = Token(GetParam(), version);
    config.deviceByte = deviceByte;
    config.atr = std::move(atr);
    token_ = machine().Plug(config);
    return OpenFirst();
  }
  // The commands the card answered since the last Clear, as packed hex.
  std::vector<std::string> Sent() {
    std::vector<std::string> out;
    for (const auto& record : machine().Apdus(token_).records) {
      out.push_back(Hex(record.command));
    }
    return out;
  }
  void Clear() { machine().ClearApdus(token_); }
  sim::CardState Card() { return machine().Card(token_); }
  void Inject(std::uint8_t ins, std::uint8_t p2, const char* answer,
              int nth = 1) {
    sim::InjectedAnswer injected;
    injected.ins = ins;
    injected.p2 = p2;
    injected.nth = nth;
    injected.answer = HexBytes(answer);
    machine().InjectAnswer(token_, injected);
  }

  sim::TokenId token_ = 0;
};

// Packs every text of a list of expected commands.
inline std::vector<std::string> PackedAll(std::vector<std::string> texts) {
  for (std::string& text : texts) text = Packed(text);
  return texts;
}

// --- Cards with a root, for the file and execute calls ----------------------

class RootCardTest : public CardTest {
 protected:
  // Open() on a card given a root (and directory 1001 as the current one
  // when `inDirectory`) through the command layer; the log starts empty.
  VXContext OpenRoot(std::uint16_t version = 0x0230,
                     std::uint8_t deviceByte = 0x00, bool inDirectory = false) {
    namespace cmd = commandfile;
    VXContext context = Open(version, deviceByte);
    EXPECT_EQ(cmd::CreateCardFile(&context, nullptr, 0, cmd::kRootDir, 0, 0),
              VX_SUCCESS);
    const std::uint8_t dir[2] = {0x10, 0x01};
    if (inDirectory) {
      EXPECT_EQ(
          cmd::CreateCardFile(&context, dir, 0x2000, cmd::kDirectory, 0, 0),
          VX_SUCCESS);
      EXPECT_EQ(cmd::SelectDirectory(&context, dir, 1), VX_SUCCESS);
    }
    Clear();
    return context;
  }
  // The file `id` anywhere on the card, or null; valid until the next call.
  const sim::CardState::File* Find(std::uint16_t id) {
    state_ = Card();
    return state_.root ? Find(*state_.root, id) : nullptr;
  }

 private:
  static const sim::CardState::File* Find(const sim::CardState::File& dir,
                                          std::uint16_t id) {
    for (const auto& child : dir.children) {
      if (child.id == id) return &child;
      if (const auto* found = Find(child, id)) return found;
    }
    return nullptr;
  }
  sim::CardState state_;
};

}  // namespace vantor::testing
