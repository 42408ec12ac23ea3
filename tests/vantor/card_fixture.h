// A machine with one open virtual token whose card has a root (and, when
// asked, a directory made current), for tests of the calls that work on
// the card: the APDUs the card answered, and its files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "commandfile/commandfile.h"
#include "fixture.h"

namespace vantor::testing {

using Bytes = std::vector<std::uint8_t>;

class CardTest : public MachineTest {
 protected:
  // Plugs a token, opens it and creates the root (and directory 1001 as
  // the current one when `inDirectory`), then clears the APDU log.
  VXContext OpenCard(std::uint16_t version = 0x0230,
                     std::uint8_t deviceByte = 0x00, bool inDirectory = false,
                     TokenMode mode = TokenMode::Hid) {
    TokenConfig config = Token(mode, version);
    config.deviceByte = deviceByte;
    token_ = machine().Plug(config);
    VXContext context = OpenFirst();
    namespace cmd = commandfile;
    EXPECT_EQ(cmd::CreateCardFile(&context, nullptr, 0, cmd::kRootDir, 0, 0),
              VX_SUCCESS);
    if (inDirectory) {
      const std::uint8_t dir[2] = {0x10, 0x01};
      EXPECT_EQ(
          cmd::CreateCardFile(&context, dir, 0x2000, cmd::kDirectory, 0, 0),
          VX_SUCCESS);
      EXPECT_EQ(cmd::SelectDirectory(&context, dir, 1), VX_SUCCESS);
    }
    machine().ClearApdus(token_);
    return context;
  }

  std::vector<Bytes> Commands() {
    std::vector<Bytes> out;
    for (const auto& record : machine().Apdus(token_).records) {
      out.push_back(record.command);
    }
    return out;
  }

  // The file `id` anywhere in the card's tree, or null.
  const sim::CardState::File* Find(std::uint16_t id) {
    state_ = machine().Card(token_);
    return state_.root ? Find(*state_.root, id) : nullptr;
  }

  sim::TokenId token_ = 0;

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
