// The virtual token's card: the checks on every APDU, each command's status
// words, and the card's state afterwards (tree, memory accounting, cursors,
// try counters, ATR), driven through HID feature reports and the driver as
// the device layer sends them; and the card's test surface (APDU log,
// injected answers, programs, cursor, events).
#include <cstring>
#include <string>
#include <vector>

#include "hex_bytes.h"
#include "sim_test_support.h"

namespace {

using simtest::Bytes;
using simtest::Open;
using vantor::sim::CardState;
using vantor::sim::InjectedAnswer;
using vantor::sim::TokenConfig;
using vantor::sim::TokenId;
using vantor::sim::TokenMode;

Bytes X(const std::string& text) { return vantor::testing::HexBytes(text); }

// Commands as the library sends them.
const std::string kPin = "3234363831333537";  // "24681357"
const std::string kRoot =
    "80E0000011 5138513851385138 DFDF001E3F00000000";              // E5
const std::string kKeyFile = "80E0020508 3F01 F0000000 0518";      // E25
const std::string kDevPin1 = "80D400000F BB0005 0F79700F" + kPin;  // E19
const std::string kDevPin2 = "80D400000F CC0005 79ACA00F" + kPin;  // E20
const std::string kDevPin3 = "80D400000F DD0005 ACDFD0FF" + kPin;  // E21
const std::string kUserPin = "80D400000F AA0005 0F68600F" + kPin;  // E22
const std::string kExtKey = "80D400000F 020000 0FDF600F" + kPin;   // E24
const std::string kFinish = "80E0000100";                          // E8
const std::string kOk = "9000";

struct Step {
  std::string apdu;
  std::string answer;
};

class SimCard : public simtest::MachineTest {
 protected:
  TokenId PlugCard(TokenConfig config = {}) {
    if (handle_ != nullptr) sys().CloseHandle(handle_);
    token_ = machine().Plug(config);
    handle_ = Open(machine().Token(token_).path);
    return token_;
  }
  ~SimCard() override {
    if (handle_ != nullptr) sys().CloseHandle(handle_);
  }

  // One APDU in the smallest HID report that holds it; the answer from
  // report 1.
  Bytes Send(const Bytes& apdu) {
    std::uint8_t id = 1;
    for (std::uint8_t candidate = 20; candidate >= 2; --candidate) {
      const std::size_t size = candidate >= 13 ? 8u * (21u - candidate)
                                               : 80u + 16u * (12u - candidate);
      if (size >= apdu.size() + 2) {
        id = candidate;
        break;
      }
    }
    const std::size_t size = id == 1    ? 258
                             : id >= 13 ? 8u * (21u - id)
                                        : 80u + 16u * (12u - id);
    Bytes report(size, 0);
    report[0] = id;
    report[1] = static_cast<std::uint8_t>(apdu.size());
    std::copy(apdu.begin(), apdu.end(), report.begin() + 2);
    EXPECT_TRUE(b_.setFeature(handle_, report.data(),
                              static_cast<ULONG>(report.size())));
    std::uint8_t answer[258] = {1};
    EXPECT_TRUE(b_.getFeature(handle_, answer, sizeof(answer)));
    return Bytes(answer + 2, answer + 2 + answer[1]);
  }
  Bytes Send(const std::string& apdu) { return Send(X(apdu)); }

  void Run(const std::vector<Step>& steps) {
    for (const Step& step : steps) {
      SCOPED_TRACE(step.apdu);
      EXPECT_EQ(Send(step.apdu), X(step.answer));
    }
  }

  // The root and its security files as the library makes them for device
  // type 2, then the ATR file.
  void MakeRoot() {
    Run({{kRoot, kOk},
         {kKeyFile, kOk},
         {kDevPin1, kOk},
         {kDevPin2, kOk},
         {kDevPin3, kOk},
         {kExtKey, kOk},
         {"80E0020008 001E 0FDF0000 0200", kOk},  // E1
         {"00D69E000100", kOk},                   // E2
         {kFinish, kOk}});
  }

  CardState Card() { return machine().Card(token_); }

  simtest::Bound b_ = simtest::BindAll();
  TokenId token_ = -1;
  HANDLE handle_ = nullptr;
};

const CardState::File* Find(const CardState::File& dir, std::uint16_t id) {
  for (const auto& child : dir.children) {
    if (child.id == id) return &child;
  }
  return nullptr;
}

TEST_F(SimCard, ChecksOnEveryApdu) {
  PlugCard();
  Run({
      {"00A400", "6700"},                         // fewer than 5 bytes
      {"0000000000", "6D00"},                     // unknown INS
      {"80A4000002 3F00", "6E00"},                // A4 needs CLA 00
      {"00CA020008", "6E00"},                     // CA needs CLA 80
      {"00A4000002 3F", "6700"},                  // shorter than 5 + P3
      {"00A4000003 3F0000", "6700"},              // P3 does not fit a select
      {"80CA020008 01", "6700"},                  // a read: 6 bytes end in 00
      {"80CA020004", "6700"},                     // Le does not fit the item
      {"80CA050001", "6A86"},                     // unknown item
      {"80CA020108", "6A86"},                     // P2 not 00
      {"00A4010002 3F00", "6A86"},                // unknown select mode
      {"80E0030000", "6A86"},                     // unknown create
      {"80E0020308 1234 00000000 0010", "6A86"},  // unknown file type
      // No root: 6A 81, 6A 82 for a select.
      {"00A4000002 3F00", "6A82"},
      {"00A4020002 3F01", "6A82"},
      {"80CA040006 00", "6A81"},
      {"80CA090002 00", "6A81"},
      {"80E0020908 1234 00DF0068 0010", "6A81"},
      {"80E001000C 1001DFDF801E04001001000000", "6700"},
      {"80E001000D 1001DFDF801E04001001000000", "6A81"},
      {kFinish, "6A81"},
      {"800E000000", "6A81"},
      {"00B0000001", "6A81"},
      {"0020 00AA 08" + kPin, "6A81"},
      {"80D400000F AA0005 0F68600F" + kPin, "6A81"},
      {"803A030001 0A", "6A81"},
      {"80CE000104 00010002", "6A81"},
      {"8032000100", "6A81"},
  });
  EXPECT_EQ(machine().Token(token_).apdus, 28);
  EXPECT_FALSE(Card().root.has_value());
}

TEST_F(SimCard, DeviceDataFollowsTheConfigurationAndVersion) {
  TokenConfig config;
  config.deviceByte = 0xC3;
  config.serial = {1, 2, 3, 4, 5, 6, 7, 8};
  PlugCard(config);
  Run({{"80CA070001 00", "C3 9000"},
       {"80CA060001 00", "6A86"},
       {"80CA020008 00", "0102030405060708 9000"},
       {"80CA080002 00", "F800 9000"},  // the whole region without a root
       {"80CA080002", "F800 9000"}});   // 5 bytes will do as well

  config.version = 0x0200;
  config.memoryStart = 0;
  config.memoryEnd = 0x20000;  // values above FFFF read as FFFF
  PlugCard(config);
  Run({{"80CA060001 00", "C3 9000"},
       {"80CA070001 00", "6A86"},
       {"80CA080002 00", "FFFF 9000"},
       // 80 34 is unknown below 2.3.0, in both forms.
       {"8034000006 0001 0000 01 AA", "6D00"},
       {"8034000102 0001", "6D00"}});
}

TEST_F(SimCard, RootDirectoryAndAtrFileAsTheLibraryMakesThem) {
  PlugCard();
  const Bytes baseAtr = machine().Token(token_).atr;
  MakeRoot();
  // SetDeviceId: select the root, look for 3F04, create it, select it,
  // write the id, read the ATR.
  Run({{"00A4000002 3F00", kOk},
       {"00A4020002 3F04", "6A82"},
       {"80E0020408 3F04 68DF0000 0008", kOk},  // E27
       {"00A4020002 3F04", "3F04 68DF0000 0008 00 04 0008 9000"},
       {"00D6000008 1122334455667788", kOk},
       {"80CA040006 00", "3F00 0000 0000 9000"},
       {kRoot, "6A89"}});
  Bytes atr = baseAtr;
  std::memcpy(atr.data() + 12, X("1122334455667788").data(), 8);
  EXPECT_EQ(machine().Token(token_).atr, atr);

  // Memory: every file costs 14 bytes and its size from 0400 on; the key
  // file 05 18 holds 5 records of 24 bytes.
  const CardState card = Card();
  ASSERT_TRUE(card.root.has_value());
  const CardState::File& root = *card.root;
  EXPECT_EQ(card.rootBytes,
            (std::array<std::uint8_t, 8>{0x51, 0x38, 0x51, 0x38, 0x51, 0x38,
                                         0x51, 0x38}));
  EXPECT_EQ(root.start, 0x0400u);
  EXPECT_EQ(root.end, 0xFC00u);
  EXPECT_TRUE(root.finished);
  ASSERT_EQ(root.children.size(), 3u);
  EXPECT_EQ(root.children[0].id, 0x3F01);
  EXPECT_EQ(root.children[0].size, 0x0518u);
  EXPECT_EQ(root.children[0].keys.size(), 4u);
  EXPECT_EQ(root.children[1].id, 0x001E);
  EXPECT_EQ(root.children[1].address, 0x0400u + 14 + 120);
  EXPECT_EQ(root.children[2].address, 0x0486u + 14 + 512);
  EXPECT_EQ(root.children[2].content, X("1122334455667788"));
  EXPECT_EQ(root.cursor, 0x0694u + 14 + 8);
  EXPECT_EQ(card.currentDirectory, (std::vector<std::uint16_t>{0x3F00}));
  EXPECT_EQ(card.currentFile, std::optional<std::uint16_t>(0x3F04));
  Run({{"80CA090002 00", "06AA 9000"},
       {"80CA030002 00", "F556 9000"},  // FC00 - 06AA
       {"80CA080002 00", "F556 9000"}});

  // A re-plug keeps the tree and the ATR, and forgets the selection.
  machine().Replug(token_);
  sys().CloseHandle(handle_);
  handle_ = Open(machine().Token(token_).path);
  EXPECT_EQ(machine().Token(token_).atr, atr);
  EXPECT_FALSE(Card().currentFile.has_value());
  ASSERT_TRUE(Card().root.has_value());

  // Erasing the root deletes everything and restores the base ATR.
  Run({{"800E000000", kOk},
       {"80CA040006 00", "6A81"},
       {"80CA080002 00", "F800 9000"}});
  EXPECT_EQ(machine().Token(token_).atr, baseAtr);
  EXPECT_FALSE(Card().root.has_value());
}

TEST_F(SimCard, AtrOfFewerHistoricalBytesIsExtendedAndItsCheckByteKept) {
  TokenConfig config;
  config.atr = X("3B 80 01 81");  // TD1 = T=1, no historical bytes, TCK
  PlugCard(config);
  MakeRoot();
  Run({{"80E0020408 3F04 68DF0000 0008", kOk},
       {"8034000000D 3F04 0000 08 0102030405060708", "6700"},
       {"803400000D 3F04 0000 08 0102030405060708", kOk}});
  Bytes atr = X("3B 8F 01 00000000000000 0102030405060708");
  std::uint8_t check = 0;
  for (std::size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
  atr.push_back(check);
  EXPECT_EQ(machine().Token(token_).atr, atr);
}

TEST_F(SimCard, DirectoriesSelectionPathsAndErase) {
  PlugCard();
  MakeRoot();
  Run({
      {"80E001000D 1001DFDF801E0400 1001000000", kOk},  // E6, size 0400
      {"80E001000D 1001DFDF801E0400 1001000000", "6A89"},
      {"80E001000D 3F00DFDF801E0400 3F00000000", "6A89"},
      {"80E001000D 001EDFDF801E0400 001E000000", "6A89"},  // an EF's id
      {"00A4000002 001E", "6A82"},                         // an EF
      {"00A4000002 2002", "6A82"},
      {"00A4000002 1001", kOk},
      {"80CA040006 00", "3F00 1001 0000 9000"},
      {"80CA090002 00", "06A2 9000"},  // its region starts after 14 bytes
      {"80CA030002 00", "0400 9000"},
      {"80E001000D 2002DFDF801E0100 2002000000", kOk},
      {"00A4000002 2002", kOk},
      {"80CA040006 00", "3F00 1001 2002 9000"},
      {"80E001000D 3003DFDF801E0010 3003000000", "6985"},  // third level
      {"00A4000002 1001", "6A82"},  // not a child of 2002
      {"00A4000002 3F00", kOk},
      {"00A4000002 1001", kOk},
      {kKeyFile, kOk},
      {"803A030001 0A", kOk},
      {"803A040001 0A", "6A86"},
      {kFinish, kOk},
  });
  CardState card = Card();
  const CardState::File* dir = Find(*card.root, 0x1001);
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(dir->address, 0x0694u);  // after the key and list files
  EXPECT_EQ(dir->start, 0x06A2u);
  EXPECT_EQ(dir->end, 0x0AA2u);
  EXPECT_EQ(dir->cursor, 0x06A2u + 14 + 0x100 + 14 + 120);
  EXPECT_EQ(dir->parameter, 0x0A);
  EXPECT_TRUE(dir->finished);
  EXPECT_EQ(dir->access, (std::array<std::uint8_t, 4>{0xDF, 0xDF, 0x80, 0x1E}));
  EXPECT_EQ(card.root->cursor, 0x0AA2u);

  // Erasing a directory drops its children and resets it; it stays current.
  Run({{"800E000000", kOk}, {"80CA040006 00", "3F00 1001 0000 9000"}});
  card = Card();
  dir = Find(*card.root, 0x1001);
  ASSERT_NE(dir, nullptr);
  EXPECT_TRUE(dir->children.empty());
  EXPECT_EQ(dir->cursor, dir->start);
  EXPECT_EQ(dir->parameter, 0);
  EXPECT_FALSE(dir->finished);
  EXPECT_EQ(card.root->cursor, 0x0AA2u);
}

TEST_F(SimCard, MemoryRunsOutAtTheBoundaryWithoutChangingAnything) {
  PlugCard();
  MakeRoot();
  Run({{"80E001000D 1001DFDF801E0040 1001000000", kOk},
       {"00A4000002 1001", kOk}});
  // 64 bytes: a file of 50 fits exactly, then nothing does.
  Run({{"80E0020908 0001 00DF0068 0033", "6A84"},
       {"80E0020908 0001 00DF0068 0032", kOk},
       {"80CA030002 00", "0000 9000"},
       {"80E0020908 0002 00DF0068 0000", "6A84"},
       {"80E001000D 2002DFDF801E0000 2002000000", "6A84"}});
  // A key file costs its records: 2 records of 24 bytes need 62 bytes.
  machine().SetCardCursor(token_, 0);  // kept within the region: its start
  Run({{"80CA030002 00", "0040 9000"},
       {"80E0020508 3F01 F0000000 021A", "6A84"},  // 14 + 52
       {"80E0020508 3F01 F0000000 0218", kOk},
       {"80CA030002 00", "0002 9000"}});
  // The root's free space as the library's filler sees it.
  Run({{"00A4000002 3F00", kOk}});
  machine().SetCardCursor(token_, 0x7000);
  Run({{"80CA090002 00", "7000 9000"},
       {"80E0020008 3F03 0F0F0000 0FF2", kOk},  // E28: up to 8000
       {"80CA090002 00", "8000 9000"},
       {"80CA080002 00", "7C00 9000"}});
  // The smallest application directory, 988 bytes, holds exactly its key
  // file and control file.
  Run({{"80E001000D 2002DFDF801E03DC 2002000000", kOk},
       {"00A4000002 2002", kOk},
       {kKeyFile, kOk},
       {"80E0020B08 3F02 68DF4040 0348", kOk},  // E26
       {"80CA030002 00", "0000 9000"},
       {"80D400000F BB0005 0F79700F" + kPin, kOk}});  // records cost nothing
  const CardState card = Card();
  const CardState::File* dir = Find(*card.root, 0x1001);
  ASSERT_NE(dir, nullptr);
  ASSERT_EQ(dir->children.size(), 2u);
  EXPECT_EQ(dir->children[0].size, 0x32u);
  EXPECT_EQ(dir->children[1].id, 0x3F01);
}

TEST_F(SimCard, BinaryReadAndUpdate) {
  PlugCard();
  MakeRoot();
  Run({
      {"00A4000002 3F00", kOk},
      {"00B0000001", "6986"},  // no current EF
      {"80E0020908 0005 00DF0068 0004", kOk},
      {"00B0850004 00", "00000000 9000"},  // short id 05 becomes current
      {"00D6000102 AABB", kOk},
      {"00B0000004", "00AABB00 9000"},
      {"00D6000302 CCDD", "6B00"},  // past the end: nothing written
      {"00B0000004", "00AABB00 9000"},
      {"00B0000005", "6B00"},
      {"00B0860001", "6A82"},  // short id absent
      {"00B0810001", "6A82"},
      {"00B0C10001", "6A86"},
      {"00D6000000", "6700"},
      {"00B00000FE", "6700"},  // the answer would not fit 255 bytes
      {"00A4020002 3F01", "3F01 F0000000 0518 00 05 0518 9000"},
      {"00B0000001", "6981"},  // a key file has no content
      {"00D69E000107", kOk},   // the application list's count
      {"00B09E000100", "07 9000"},
      {"8034000007 0005 0002 02 1122", kOk},
      {"8034000007 0006 0002 02 1122", "6A82"},
      {"8034000007 0005 0003 02 1122", "6B00"},
      {"8034000007 0005 0002 03 1122", "6700"},
      {"8034000202 0005", "6A86"},
  });
  const CardState card = Card();
  EXPECT_EQ(Find(*card.root, 0x0005)->content, X("00AA1122"));
  // Read by short id, the application list became the current EF.
  EXPECT_EQ(card.currentFile, std::optional<std::uint16_t>(0x001E));
}

TEST_F(SimCard, PinTriesBlockingAndChange) {
  PlugCard();
  MakeRoot();
  const std::string wrong = "3030303030303030";
  const std::string other = "3131313131313131";
  Run({
      {"0020 00AA 08" + kPin, "6A88"},  // no user PIN on device type 2
      {"0020 00BB 08" + kPin, kOk},
      {"0020 00EE 08" + kPin, "6A86"},
      {"0020 01BB 08" + kPin, "6A86"},
      {"0020 00BB 07" + kPin.substr(0, 14), "6700"},
      {"0020 00CC 08" + wrong, "63CE"},
      {"0020 00CC 08" + wrong, "63CD"},
      {"0020 00CC 08" + kPin, kOk},  // the right PIN resets the count
      {"0020 00CC 08" + wrong, "63CE"},
      {"805E 01DD 10" + kPin + other, kOk},
      {"0020 00DD 08" + kPin, "63CE"},
      {"0020 00DD 08" + other, kOk},
      {"805E 01DD 10" + wrong + kPin, "63CE"},  // same counter as verify
      {"805E 00DD 10" + other + kPin, "6A86"},
  });
  CardState card = Card();
  const auto& keys = card.root->children[0].keys;
  ASSERT_EQ(keys.size(), 4u);
  EXPECT_EQ(keys[0].id, (std::array<std::uint8_t, 3>{0xBB, 0x00, 0x05}));
  EXPECT_TRUE(keys[0].verified);
  EXPECT_EQ(keys[1].tries, 14);
  EXPECT_FALSE(keys[1].verified);
  EXPECT_EQ(keys[2].value, X(other));
  EXPECT_EQ(keys[2].tries, 14);
  EXPECT_EQ(keys[2].maxTries, 15);

  // Fourteen more wrong tries block CC; then the right PIN too gets 69 83.
  for (int left = 13; left >= 0; --left) {
    EXPECT_EQ(Send("0020 00CC 08" + wrong),
              (Bytes{0x63, static_cast<std::uint8_t>(0xC0 + left)}));
  }
  Run({{"0020 00CC 08" + kPin, "6983"},
       {"805E 01CC 10" + kPin + other, "6983"}});
  // A re-plug forgets what was verified, not the counters.
  machine().Replug(token_);
  sys().CloseHandle(handle_);
  handle_ = Open(machine().Token(token_).path);
  card = Card();
  EXPECT_FALSE(card.root->children[0].keys[0].verified);
  EXPECT_EQ(card.root->children[0].keys[1].tries, 0);
}

TEST_F(SimCard, KeyRecordsInstallAndReplace) {
  PlugCard();
  Run({{kRoot, kOk},
       {kUserPin, "6A82"},  // no key file yet
       {kKeyFile, kOk},
       {kUserPin, kOk},
       {kUserPin, "6A89"},
       {"80D400000F 000001 0FDF0003" + kPin, kOk},  // 3 tries
       {"80D4000017 000001 0FDF0003" + kPin + kPin, "6700"},
       {"80D4020017 000001 0FDF0003" + kPin + kPin, "6A86"},
       {kDevPin1, kOk},
       {kDevPin2, kOk},
       {kDevPin3, kOk},
       {kExtKey, "6A84"},  // five records: 05 18
       {"80D4010017 000001 0FDF010F" + kPin + kPin, kOk},  // E16
       {"80D401000F 020000 0FDF600F" + kPin, "6A88"}});
  const CardState card = Card();
  const auto& keys = card.root->children[0].keys;
  ASSERT_EQ(keys.size(), 5u);
  EXPECT_EQ(keys[1].id, (std::array<std::uint8_t, 3>{0x00, 0x00, 0x01}));
  EXPECT_EQ(keys[1].control,
            (std::array<std::uint8_t, 4>{0x0F, 0xDF, 0x01, 0x0F}));
  EXPECT_EQ(keys[1].value, X(kPin + kPin));
  EXPECT_EQ(keys[1].maxTries, 15);
}

TEST_F(SimCard, KeyPairAndExecution) {
  PlugCard();
  MakeRoot();
  Run({
      {"80E0020608 0011 68DF6868 0088", kOk},  // E30
      {"80E0020708 0012 F0DF6868 014A", kOk},  // E31
      {"80CE000104 00120011", "6981"},         // types swapped
      {"80CE000104 00110013", "6A82"},
      {"80CE000104 00110012", kOk},  // E32
      {"80E0020808 0021 00DF6868 0010", kOk},
      {"80E0020A08 0022 00DF6868 0010", kOk},
      {"8032002103 010203", "00 010203 9000"},  // echo, status 00
      {"8032001100", "6981"},
      {"8032002300", "6A82"},
      {"8034000105 0022 AABBCC", "AABBCC 9000"},  // no status byte
      {"8034000101 00", "6700"},
  });
  const CardState card = Card();
  const Bytes& pub = Find(*card.root, 0x0011)->content;
  const Bytes& priv = Find(*card.root, 0x0012)->content;
  ASSERT_EQ(pub.size(), 136u);
  EXPECT_EQ(pub[0], 0x6E);
  EXPECT_EQ(pub[1], 0x80);
  EXPECT_EQ(Bytes(pub.begin() + 130, pub.end()), X("6504 00010001"));
  ASSERT_EQ(priv.size(), 330u);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(priv[66 * i], (Bytes{0x70, 0x71, 0x50, 0x51, 0x49}[i]));
    EXPECT_EQ(priv[66 * i + 1], 0x40);
  }

  // An installed program: its status byte and output; long output is cut.
  machine().SetProgram(token_, 0x0021,
                       [](const Bytes& in, Bytes& out) -> std::uint8_t {
                         out.assign(300, static_cast<std::uint8_t>(in.size()));
                         return 0x05;
                       });
  Bytes answer = Send("8032002102 0102");
  ASSERT_EQ(answer.size(), 255u);
  EXPECT_EQ(answer[0], 0x05);
  EXPECT_EQ(answer[1], 0x02);
  EXPECT_EQ(Bytes(answer.end() - 2, answer.end()), X(kOk));
  answer = Send("8034000102 0021");
  ASSERT_EQ(answer.size(), 255u);
  EXPECT_EQ(answer[0], 0x00);
  machine().SetProgram(token_, 0x0021, nullptr);
  Run({{"8032002101 07", "00 07 9000"}});
}

TEST_F(SimCard, InjectedAnswersReplaceTheNthMatchingCommand) {
  PlugCard();
  InjectedAnswer injected;
  injected.ins = 0xCA;
  injected.answer = X("6F00");
  machine().InjectAnswer(token_, injected);
  injected.p1 = 0x02;
  injected.nth = 2;
  injected.answer = X("90");  // too short
  machine().InjectAnswer(token_, injected);
  injected.ins = 0xE0;
  injected.p1.reset();
  injected.nth = 1;
  injected.answer = X(kOk);  // 90 00, no data, nothing created
  machine().InjectAnswer(token_, injected);
  Run({{"80CA080002 00", "6F00"},
       {"80CA020008 00", "5658000000000001 9000"},
       {"80CA080002 00", "F800 9000"},
       {"80CA020008 00", "90"},
       {kRoot, kOk},
       {"80CA040006 00", "6A81"}});
  EXPECT_FALSE(Card().root.has_value());
  const auto log = machine().Apdus(token_);
  ASSERT_EQ(log.records.size(), 6u);
  EXPECT_TRUE(log.records[0].injected);
  EXPECT_FALSE(log.records[1].injected);
  EXPECT_TRUE(log.records[3].injected);
  EXPECT_EQ(log.records[3].command, X("80CA020008 00"));
  EXPECT_EQ(log.records[3].answer, X("90"));
}

TEST_F(SimCard, ApduLogIsABoundedRing) {
  TokenConfig config;
  config.apduLogSize = 3;
  PlugCard(config);
  for (const char* p1 : {"02", "08", "04", "05", "07"}) {
    Send(std::string("80CA") + p1 + "0001");
  }
  auto log = machine().Apdus(token_);
  ASSERT_EQ(log.records.size(), 3u);
  EXPECT_EQ(log.dropped, 2u);
  EXPECT_EQ(log.records[0].command, X("80CA040001"));
  EXPECT_EQ(log.records[0].answer, X("6700"));
  EXPECT_EQ(log.records[2].command, X("80CA070001"));
  EXPECT_EQ(log.records[2].answer, X("00 9000"));
  machine().ClearApdus(token_);
  log = machine().Apdus(token_);
  EXPECT_TRUE(log.records.empty());
  EXPECT_EQ(log.dropped, 0u);
}

TEST_F(SimCard, EventsTellWhatTheCardDid) {
  PlugCard();
  Send(kRoot);
  machine().ClearEvents();
  Run({{"80E0020908 1A2B 00DF0068 001E", kOk},
       {"00A4020002 1A2B", "1A2B 00DF0068 001E 00 09 001E 9000"},
       {"00D6000002 0102", kOk},
       {"800E000000", kOk}});
  EXPECT_EQ(machine().Events(),
            (std::vector<std::string>{
                "token 1: created file 1A2B, type 09, 30 bytes",
                "token 1: wrote 2 bytes to file 1A2B at offset 0",
                "token 1: erased the root directory and everything in it"}));
}

TEST_F(SimCard, DriverPathAnswersTheSameAndNothingAllocatesWithTheLogOff) {
  TokenConfig config;
  config.mode = TokenMode::Usb;
  PlugCard(config);
  auto request = [](const Bytes& apdu) {
    // The header, then the APDU (built in one go: growing a vector of 8
    // bytes by an insert trips a false bounds warning of the optimiser).
    Bytes in(8 + apdu.size(), 0x00);
    in[0] = 0x40;
    in[6] = static_cast<std::uint8_t>(apdu.size());
    std::copy(apdu.begin(), apdu.end(), in.begin() + 8);
    return in;
  };
  std::uint8_t out[300];
  DWORD returned = 0;
  auto call = [&](const Bytes& in) {
    return sys().DeviceIoControl(handle_, 0x220028,
                                 const_cast<std::uint8_t*>(in.data()),
                                 static_cast<DWORD>(in.size()), out,
                                 sizeof(out), &returned, nullptr) != 0;
  };
  auto transfer = [&](const std::string& apdu) {
    EXPECT_TRUE(call(request(X(apdu))));
    return Bytes(out, out + returned);
  };
  EXPECT_EQ(transfer(kRoot), X(kOk));
  EXPECT_EQ(transfer("80E0020908 0001 00DF0068 0010"), X(kOk));
  EXPECT_EQ(transfer("00A4020002 0001"),
            X("0001 00DF0068 0010 00 09 0010 9000"));
  EXPECT_EQ(machine().Apdus(token_).records.size(), 3u);

  // With the wire log off: no event, no APDU log record, no allocation.
  machine().SetWireLog(false);
  machine().ClearEvents();
  const Bytes requests[] = {
      request(X("00D6000004 01020304")), request(X("00B0000004 00")),
      request(X("00B0000011 00")), request(X("80CA090002 00"))};
  const long before = simtest::Allocations();
  for (int i = 0; i < 10; ++i) {
    for (const Bytes& in : requests) EXPECT_TRUE(call(in));
  }
  EXPECT_EQ(simtest::Allocations(), before);
  EXPECT_TRUE(machine().Events().empty());
  EXPECT_EQ(machine().Apdus(token_).records.size(), 3u);
  EXPECT_EQ(transfer("00B0000004 00"), X("01020304 9000"));
}

}  // namespace
