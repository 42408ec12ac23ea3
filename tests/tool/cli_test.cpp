// The command-line program over the real token library on the simulated
// machine: every subcommand's output, errors and exit statuses, the wait
// for a re-plug, and the checks of `doctor`.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "hosts.h"
#include "json.h"
#include "sim/sim_system.h"

namespace vantor::tool::cli {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

struct Result {
  int status;
  std::string out, err;
};

Result RunCli(Host& host, const std::vector<std::string>& args,
              bool terminal = false, const std::string& input = "",
              bool typed = false) {
  std::istringstream in(input);
  std::ostringstream out, err;
  Streams io{out, err, terminal};
  io.in = &in;
  io.inTerminal = typed;
  const int status = Run(ParseArgs(args), host, io);
  return {status, out.str(), err.str()};
}

// Machine set-ups of the cases.
void NoToken(sim::Machine&) {}
void OneToken(sim::Machine& m) { m.Plug({}); }
void TwoTokens(sim::Machine& m) {
  m.Plug({});
  sim::TokenConfig usb;
  usb.mode = sim::TokenMode::Usb;
  usb.deviceId = {9, 9, 9, 9, 9, 9, 9, 9};
  m.Plug(usb);
}
// Both tokens in HID mode; the first has a root.
void TwoTokensWithRoot(sim::Machine& m) {
  m.Plug({});
  VxTokenApi api;
  ASSERT_EQ(MakeRootOnFirstToken(api), VX_SUCCESS);
  sim::TokenConfig other;
  other.deviceId = {9, 9, 9, 9, 9, 9, 9, 9};
  m.Plug(other);
}
void OldToken(sim::Machine& m) {
  sim::TokenConfig config;
  config.version = 0x0220;
  m.Plug(config);
}
// Tokens held open exclusively while a case runs.
std::vector<VXContext> g_held;

void BusyToken(sim::Machine& m) {
  m.Plug({});
  VxTokenApi api;
  const Listing listing = ListTokens(api);
  g_held = listing.contexts;
  const VXOpenInfo exclusive{8, 0};
  ASSERT_EQ(VXOpenDeviceEx(&g_held[0], &exclusive), VX_SUCCESS);
}
// A token in USB mode whose driver exchanges fail.
void MuteToken(sim::Machine& m) {
  sim::TokenConfig config;
  config.mode = sim::TokenMode::Usb;
  const sim::TokenId token = m.Plug(config);
  sim::TokenFaults faults;
  faults.refuseSingleCall = true;
  faults.driverReadFailures = 10;
  sim::detail::SystemOf(m).SetFaults(token, faults);
}

// A token with a root directory, a data file 1234 ("hello") and an
// executable file 5678 (the virtual token's programs echo their input).
void FilesToken(sim::Machine& m) {
  m.Plug({});
  VxTokenApi api;
  ASSERT_EQ(MakeRootOnFirstToken(api), VX_SUCCESS);
  Listing listing = ListTokens(api);
  VXContext& c = listing.contexts.at(0);
  ASSERT_EQ(VXOpenDevice(&c), VX_SUCCESS);
  const std::uint8_t hello[] = {'h', 'e', 'l', 'l', 'o'};
  ASSERT_EQ(VXStoreFile(&c, "1234", 0, hello, 5, 5, nullptr, VX_FILE_CREATE,
                        VX_TYPE_DATA),
            VX_SUCCESS);
  ASSERT_EQ(VXStoreFile(&c, "5678", 0, hello, 5, 5, nullptr, VX_FILE_CREATE,
                        VX_TYPE_EXE),
            VX_SUCCESS);
  VXCloseDevice(&c);
}

// The root's child `id`, or null.
std::optional<sim::CardState::File> RootFile(sim::Machine& m,
                                             std::uint16_t id) {
  const sim::CardState card = m.Card(m.Tokens().front());
  if (!card.root) return std::nullopt;
  for (const auto& f : card.root->children) {
    if (f.id == id) return f;
  }
  return std::nullopt;
}

std::string Text(const std::vector<std::uint8_t>& bytes) {
  return {bytes.begin(), bytes.end()};
}

// What the token holds after a card command.
void HasNoRoot(sim::Machine& m) { EXPECT_FALSE(m.Card(m.Tokens()[0]).root); }
void HasDirectory(sim::Machine& m) {
  const auto dir = RootFile(m, 0x1A2B);
  ASSERT_TRUE(dir);
  EXPECT_TRUE(dir->directory);
  EXPECT_EQ(dir->size, 200u);
}
void HasHeylo(sim::Machine& m) {
  const auto file = RootFile(m, 0x1234);
  ASSERT_TRUE(file);
  EXPECT_EQ(Text(file->content), "heylo");
}
void HasNewFile(sim::Machine& m) {
  const auto file = RootFile(m, 0x4321);
  ASSERT_TRUE(file);
  EXPECT_EQ(Text(file->content), std::string(3, '\0') + "abc");
}
void HasKeyPair(sim::Machine& m) {
  EXPECT_TRUE(RootFile(m, 0x1111));
  EXPECT_TRUE(RootFile(m, 0x2222));
}
void HasNewUserPin(sim::Machine& m) {
  const auto keys = RootFile(m, 0x3F01);
  ASSERT_TRUE(keys);
  bool found = false;
  for (const auto& key : keys->keys) {
    if (key.id[0] == 0xAA) found = Text(key.value) == "12345678";
  }
  EXPECT_TRUE(found);
}
void TypeOneRoot(sim::Machine& m) {
  sim::TokenConfig config;
  config.deviceByte = 0x80;
  m.Plug(config);
  VxTokenApi api;
  ASSERT_EQ(MakeRootOnFirstToken(api), VX_SUCCESS);
}
// With an application directory 1A2B.
void TypeOneApp(sim::Machine& m) {
  TypeOneRoot(m);
  VxTokenApi api;
  Listing listing = ListTokens(api);
  VXContext& c = listing.contexts.at(0);
  ASSERT_EQ(VXOpenDevice(&c), VX_SUCCESS);
  EXPECT_EQ(VXMakeDirectory(&c, "1A2B", 1024, VX_APP_DIRECTORY), VX_SUCCESS);
  VXCloseDevice(&c);
}
// Directory 1A2B under the root on a token of `version`, and the token
// left in the root.
template <std::uint16_t version>
void DirectoryOn(sim::Machine& m) {
  sim::TokenConfig config;
  config.version = version;
  m.Plug(config);
  VxTokenApi api;
  ASSERT_EQ(MakeRootOnFirstToken(api), VX_SUCCESS);
  Listing listing = ListTokens(api);
  VXContext& c = listing.contexts.at(0);
  ASSERT_EQ(VXOpenDevice(&c), VX_SUCCESS);
  EXPECT_EQ(VXMakeDirectory(&c, "1A2B", 400, VX_SUB_DIRECTORY), VX_SUCCESS);
  EXPECT_EQ(VXEnterDirectory(&c, "\\"), VX_SUCCESS);
  VXCloseDevice(&c);
}
void HasSubdirectory(sim::Machine& m) {
  const auto dir = RootFile(m, 0x1A2B);
  ASSERT_TRUE(dir);
  ASSERT_EQ(dir->children.size(), 2u) << "key file and 3C4D";
  EXPECT_EQ(dir->children[1].id, 0x3C4D);
  EXPECT_FALSE(RootFile(m, 0x3C4D));
}
// The developer PIN's first part in directory `dir` (the root: 0) has
// lost one try; in the other directory it has all of them.
void DevPinTried(sim::Machine& m, std::uint16_t dir, std::uint16_t other) {
  const sim::CardState card = m.Card(m.Tokens().front());
  ASSERT_TRUE(card.root);
  auto tries = [&](std::uint16_t id) {
    const sim::CardState::File* d = &*card.root;
    for (const auto& f : card.root->children) {
      if (id != 0 && f.id == id) d = &f;
    }
    for (const auto& f : d->children) {
      for (const auto& key : f.keys) {
        if (key.id[0] == 0xBB) return key.tries;
      }
    }
    return -1;
  };
  EXPECT_EQ(tries(dir) + 1, tries(other));
}
void TriedIn1A2B(sim::Machine& m) { DevPinTried(m, 0x1A2B, 0); }
// After `setup`, the token answers the next command with INS `ins` with
// `sw`.
template <void (*setup)(sim::Machine&), std::uint8_t ins, std::uint16_t sw>
void Failing(sim::Machine& m) {
  setup(m);
  sim::InjectedAnswer answer;
  answer.ins = ins;
  answer.answer = {static_cast<std::uint8_t>(sw >> 8),
                   static_cast<std::uint8_t>(sw & 0xFF)};
  m.InjectAnswer(m.Tokens().front(), answer);
}
// A 256-byte public key source whose exponent has a byte in front of its
// last four.
const std::string kWideExponent = std::string(128, 'm') +
                                  std::string(72, '\0') + "\x01" +
                                  std::string(55, '\0');

void HasParameter(sim::Machine& m) {
  const auto dir = RootFile(m, 0x1A2B);
  ASSERT_TRUE(dir);
  EXPECT_EQ(dir->parameter, 8);
}

struct CliCase {
  const char* name;
  void (*setup)(sim::Machine&);
  std::vector<std::string> args;
  int status;
  const char* out;                         // expected in standard output
  const char* err;                         // expected in standard error
  const char* input = "";                  // standard input
  void (*check)(sim::Machine&) = nullptr;  // the token afterwards
  bool typed = false;                      // standard input is a terminal
  const char* notErr = nullptr;            // not in standard error
  std::size_t inputLength = 0;  // of `input`, when it holds NUL bytes
};

class CliTest : public ::testing::TestWithParam<CliCase> {};

TEST_P(CliTest, OutputAndExitStatus) {
  const CliCase& c = GetParam();
  SimHost host(/*realTime=*/false, /*plugToken=*/false);
  c.setup(host.Machine());
  const std::string input =
      c.inputLength != 0 ? std::string(c.input, c.inputLength) : c.input;
  const Result r = RunCli(host, c.args, false, input, c.typed);
  if (c.check != nullptr) c.check(host.Machine());
  for (VXContext& held : g_held) VXCloseDevice(&held);
  g_held.clear();
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  EXPECT_THAT(r.out, HasSubstr(c.out));
  EXPECT_THAT(r.err, HasSubstr(c.err));
  if (c.notErr != nullptr) {
    EXPECT_THAT(r.err, Not(HasSubstr(c.notErr)));
  }
  // Success writes nothing that looks like an error.
  if (c.status == kExitOk) {
    EXPECT_EQ(r.err.find("vantor: "), std::string::npos) << r.err;
  }
  // Every token opened was closed again.
  EXPECT_EQ(sim::detail::SystemOf(host.Machine()).Counters().openFileHandles,
            0);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(All, CliTest, ::testing::Values(
    // Usage errors.
    CliCase{"NoCommand", NoToken, {}, 2, "", "no command given"},
    CliCase{"UnknownCommand", NoToken, {"frob"}, 2, "", "unknown command 'frob'"},
    CliCase{"UnknownOption", NoToken, {"list", "-x"}, 2, "", "unknown option '-x'"},
    CliCase{"ExtraOperand", NoToken, {"list", "all"}, 2, "", "unexpected 'all'"},
    CliCase{"ModeWithoutMode", OneToken, {"mode"}, 2, "", "'usb' or 'hid' is needed"},
    CliCase{"ModeBadMode", OneToken, {"mode", "fast"}, 2, "", "not 'fast'"},
    CliCase{"DeviceWithoutEntry", OneToken, {"info", "-d"}, 2, "", "-d needs"},
    CliCase{"DeviceNotANumber", OneToken, {"info", "-d", "x"}, 2, "",
            "-d: a token entry (0 to 126) or device id (16 hexadecimal digits), not 'x'"},
    CliCase{"DeviceTooLarge", OneToken, {"info", "--device=127"}, 2, "", "not '127'"},
    CliCase{"WaitZero", OneToken, {"mode", "usb", "--wait=0"}, 2, "", "not a number of seconds"},
    CliCase{"WaitOnList", OneToken, {"list", "--wait"}, 2, "", "--wait belongs to 'mode'"},
    CliCase{"ListTakesNoDevice", OneToken, {"list", "-d", "0"}, 2, "",
            "-d belongs to 'info', 'mode' and the card commands; 'list' takes every token"},
    CliCase{"HintNamesTheCommand", NoToken, {"put", "12"}, 2, "", "Try 'vantor put --help'."},
    CliCase{"OperandsAfterDashes", FilesToken, {"put", "4321", "--", "-notes.txt"}, 1, "",
            "cannot read '-notes.txt': No such file or directory"},
    CliCase{"HelpOnUnknown", NoToken, {"help", "frob"}, 2, "", "unknown command"},
    CliCase{"UsageErrorAsJson", NoToken, {"frob", "--json"}, 2,
            "{\"error\":{\"message\":\"unknown command 'frob'\",\"status\":2,\"code\":null,"
            "\"hex\":null,\"name\":null,\"words\":null}}", ""},
    CliCase{"VersionAsJson", NoToken, {"--version", "--json"}, 0, "{\"version\":\"1.", ""},
    // Help on every subcommand.
    CliCase{"Help", NoToken, {"--help"}, 0, "Usage: vantor [OPTIONS] COMMAND", ""},
    CliCase{"HelpList", NoToken, {"list", "--help"}, 0, "Usage: vantor list", ""},
    CliCase{"HelpInfo", NoToken, {"help", "info"}, 0, "Usage: vantor info", ""},
    CliCase{"HelpMode", NoToken, {"mode", "-h"}, 0, "Usage: vantor mode usb|hid", ""},
    CliCase{"HelpDoctor", NoToken, {"doctor", "--help"}, 0, "Usage: vantor doctor", ""},
    CliCase{"HelpNamesVersion", NoToken, {"--help"}, 0, "      --version    the program's", ""},
    CliCase{"HelpClearOwnOptions", NoToken, {"clear", "--help"}, 0,
            "Card options:\n  --pin user|dev", ""},
    CliCase{"Version", NoToken, {"--version"}, 0, "vantor 1.", ""},
    // list
    CliCase{"ListNone", NoToken, {"list"}, 0, "No token is attached.", ""},
    CliCase{"ListNoneJson", NoToken, {"list", "--json"}, 0, "{\"tokens\":[]}", ""},
    CliCase{"ListOne", OneToken, {"list"}, 0,
            "0      HID   2.3.0    0102030405060708  "
            "3BDF000000560230000000000102030405060708", ""},
    CliCase{"ListTwoJson", TwoTokens, {"--json", "list"}, 0,
            "\"mode\":\"USB\",\"version\":\"2.3.0\",\"deviceId\":\"0909090909090909\"", ""},
    // info
    CliCase{"InfoNone", NoToken, {"info"}, 1, "", "no token is attached"},
    CliCase{"InfoTwoNeedsDevice", TwoTokens, {"info"}, 2, "",
            "2 tokens are attached (entries 0, 1): choose one with -d N"},
    CliCase{"InfoAbsentEntry", TwoTokens, {"info", "-d", "5"}, 1, "",
            "no token at entry 5; attached: 0, 1"},
    CliCase{"InfoChosen", TwoTokens, {"info", "-d", "1"}, 0,
            "Device id           0909090909090909", ""},
    CliCase{"InfoChosenGlued", TwoTokens, {"info", "-d1"}, 0,
            "Device id           0909090909090909", ""},
    CliCase{"InfoChosenById", TwoTokens, {"info", "-d", "0909090909090909"}, 0,
            "Entry               1", ""},
    CliCase{"InfoNoSuchId", TwoTokens, {"info", "--device=0a0b0c0d0e0f0001"}, 1, "",
            "no token with device id 0A0B0C0D0E0F0001; attached: 0102030405060708, "
            "0909090909090909"},
    CliCase{"PutChosenById", TwoTokensWithRoot, {"put", "4321", "-", "-d",
            "0102030405060708"}, 0, "Created file 4321", "", "abc"},
    CliCase{"InfoBusy", BusyToken, {"info"}, 1, "",
            "cannot open the token at entry 0: 0x00000005 (VX_DEVICE_BUSY"},
    CliCase{"InfoBusyJson", BusyToken, {"info", "--json"}, 1,
            "\"code\":5,\"hex\":\"0x00000005\",\"name\":\"VX_DEVICE_BUSY\"", ""},
    CliCase{"InfoJson", OneToken, {"info", "--json"}, 0,
            "\"entry\":0,\"mode\":\"HID\",\"version\":\"2.3.0\"", ""},
    CliCase{"InfoJsonNumbers", OneToken, {"info", "--json"}, 0,
            "\"deviceType\":0,\"vmType\":0,\"serialNumber\":\"5658000000000001\","
            "\"freeSpace\":63488", ""},
    CliCase{"InfoJsonUnavailable", TypeOneRoot, {"info", "--json"}, 0,
            "\"freeSpace\":null,\"unavailable\":{\"freeSpace\":{\"code\":32", ""},
    // mode
    CliCase{"ModeNone", NoToken, {"mode", "usb"}, 1, "", "no token is attached"},
    CliCase{"ModeTwoNeedsDevice", TwoTokens, {"mode", "hid"}, 2, "", "choose one with -d N"},
    CliCase{"ModeJsonWithoutWait", OneToken, {"mode", "usb", "--json"}, 0,
            "\"waited\":false,\"mode\":null,\"entryAfter\":null}", ""},
    CliCase{"ModeRequested", OneToken, {"mode", "usb"}, 0,
            "switches to USB mode when it is unplugged and plugged in again", ""},
    CliCase{"ModeOldToken", OldToken, {"mode", "usb"}, 1, "",
            "refused the change to USB mode: 0x00006A81 (card status 6A81: "
            "function not supported (a mode change needs version 2.3.0"},
    CliCase{"ModeBusy", BusyToken, {"mode", "hid"}, 1, "", "0x00000005"},
    CliCase{"ModeMute", MuteToken, {"mode", "usb"}, 1, "", "0x00000003 (VX_COMM_ERROR"},
    CliCase{"ModeWaits", OneToken, {"mode", "usb", "--wait", "5"}, 0,
            "The token 0102030405060708 is back in USB mode at entry 0.",
            "The token is unplugged; plug it in again.\n"},
    CliCase{"ModeWaitsJson", TwoTokens, {"mode", "hid", "-d", "1", "--wait", "--json"}, 0,
            "{\"entry\":1,\"deviceId\":\"0909090909090909\",\"requested\":\"HID\","
            "\"waited\":true,\"mode\":\"HID\",\"entryAfter\":", ""},
    // doctor
    CliCase{"DoctorNone", NoToken, {"doctor"}, 1,
            "FAIL  library: the library lists no token", ""},
    CliCase{"DoctorOne", OneToken, {"doctor"}, 0,
            "ok    library: the library lists 1 token (entry 0)", ""},
    CliCase{"DoctorJson", TwoTokens, {"doctor", "--json"}, 0,
            "\"machine\":\"simulated machine\",\"ok\":true", ""},
    // Card commands: usage errors (nothing is opened).
    CliCase{"MkdirNoId", FilesToken, {"mkdir"}, 2, "", "mkdir: a directory id"},
    CliCase{"MkdirNoSize", FilesToken, {"mkdir", "1A2B"}, 2, "", "--size is needed"},
    CliCase{"MkdirIdNotRoot", FilesToken, {"mkdir", "1A2B", "--size", "200",
            "--device-id", "0011223344556677"}, 2, "", "with the root only"},
    CliCase{"MkdirShortId", FilesToken, {"mkdir", "root", "--device-id", "0011"}, 2, "",
            "16 hexadecimal digits, not '0011'"},
    CliCase{"ClearNeedsYes", FilesToken, {"clear", "\\"}, 2, "",
            "clear erases the files of the whole token: add --yes"},
    CliCase{"PinBadAction", FilesToken, {"pin", "show", "user"}, 2, "", "'verify' or 'change'"},
    CliCase{"PinVerifyKey", FilesToken, {"pin", "verify", "key"}, 2, "", "not 'key'"},
    CliCase{"PinNoInput", FilesToken, {"pin", "verify", "user"}, 1, "",
            "no user PIN on standard input"},
    CliCase{"PinShort", FilesToken, {"pin", "verify", "user"}, 1, "",
            "the user PIN is 8 bytes, not 3", "123\n"},
    CliCase{"PinEmpty", FilesToken, {"pin", "verify", "dev"}, 1, "",
            "the developer PIN is 24 bytes, not 0", "\n"},
    CliCase{"PinNotHex", FilesToken, {"pin", "change", "key", "--hex"}, 1, "",
            "not hexadecimal digits", "00112233445566zz\n"},
    CliCase{"PinOnList", FilesToken, {"list", "--pin", "dev"}, 2, "", "--pin belongs to 'mkdir'"},
    CliCase{"PutBadId", FilesToken, {"put", "12"}, 2, "", "four hexadecimal digits, not '12'"},
    CliCase{"PutNoSize", FilesToken, {"put", "4321"}, 2, "", "--size is needed without a FILE"},
    CliCase{"PutNoFile", FilesToken, {"put", "4321", "/no/such/file"}, 1, "",
            "cannot read '/no/such/file': No such file or directory"},
    CliCase{"PutFolder", FilesToken, {"put", "4321", ".", "--pin", "dev"}, 1, "",
            "cannot read '.': ", "", nullptr, true, "Developer PIN"},
    CliCase{"PutBadType", FilesToken, {"put", "4321", "--type", "zip"}, 2, "", "not 'zip'"},
    CliCase{"ParamRange", FilesToken, {"param", "65"}, 2, "", "1 to 64, not '65'"},
    CliCase{"RunBadInput", FilesToken, {"run", "5678", "--input", "0"}, 2, "",
            "--input: hexadecimal digits"},
    // Arguments the program checks itself, before any PIN is asked for.
    CliCase{"MkdirThreeDigits", FilesToken, {"mkdir", "1A2", "--size", "200", "--pin", "dev"},
            2, "", "mkdir: a directory id is four hexadecimal digits, not '1A2'", "",
            nullptr, true, "Developer PIN"},
    CliCase{"MkdirReserved", FilesToken, {"mkdir", "3f00", "--size", "200"}, 2, "",
            "mkdir: 3f00 is the root's id; choose another id"},
    CliCase{"MkdirSmall", FilesToken, {"mkdir", "1A2B", "--size", "133"}, 2, "",
            "mkdir: --size: 134 to 65535 bytes"},
    CliCase{"MkdirLarge", FilesToken, {"mkdir", "1A2B", "--size", "65536"}, 2, "",
            "not 65536"},
    CliCase{"MkdirAppSmall", TypeOneRoot, {"mkdir", "1A2B", "--size", "987", "--pin", "dev"},
            2, "", "an application directory (device type 1) takes at least 988 bytes, "
            "not 987", "246813572468135724681357\n", nullptr, false, "refused"},
    CliCase{"MkdirAppBelowRoot", TypeOneApp, {"mkdir", "3C4D", "--size", "1000", "--path",
            "\\1A2B"}, 2, "", "application directories (device type 1) are made in the root"},
    CliCase{"PutReserved", FilesToken, {"put", "3F01", "-"}, 2, "",
            "put: 3F01 is the key file's id", "abc"},
    CliCase{"WriteReserved", FilesToken, {"write", "001e", "-"}, 2, "",
            "write: 001e is the application list's id", "abc"},
    CliCase{"KeypairReserved", FilesToken, {"keypair", "1111", "3F04"}, 2, "",
            "keypair: 3F04 is the ATR file's id"},
    CliCase{"KeypairOneId", FilesToken, {"keypair", "1111", "1111"}, 2, "",
            "need two ids, not 1111 twice"},
    CliCase{"PathMalformed", FilesToken, {"put", "4321", "-", "--path", "1A2"}, 2, "",
            "--path: '1A2' is not a directory path (for example", "abc"},
    CliCase{"PathTooDeep", FilesToken, {"write", "1234", "-", "--path", "\\1A2B3C4D5E6F"}, 2,
            "", "is not a directory path", "abc"},
    CliCase{"ClearMalformed", FilesToken, {"clear", "1A2B3C4D", "--yes"}, 2, "",
            "clear: '1A2B3C4D' is not a directory path"},
    CliCase{"PutEmpty", FilesToken, {"put", "4321", "-"}, 2, "",
            "put: standard input is empty: give --size N"},
    CliCase{"WriteEmpty", FilesToken, {"write", "1234", "-"}, 2, "",
            "write: standard input is empty: nothing to write"},
    CliCase{"PutTooSmall", FilesToken, {"put", "4321", "-", "--size", "2"}, 2, "",
            "put: --size: 2 bytes do not hold 3 bytes at offset 0", "abc"},
    CliCase{"PutFileTooLarge", FilesToken, {"put", "4321", "--size", "32768"}, 2, "",
            "put: --size: at most 32767 bytes (0x7FFF), not 32768"},
    CliCase{"PutPastEnd", FilesToken, {"put", "4321", "-", "--offset", "32767"}, 2, "",
            "(3 bytes) at --offset 32767 ends beyond 32767 bytes", "abc"},
    CliCase{"OffsetOfExe", FilesToken, {"put", "4321", "-", "--type", "exe", "--offset", "2"},
            2, "", "put: --offset: only data files (--type data)", "abc"},
    CliCase{"RsaSourceShort", FilesToken, {"put", "4321", "-", "--type", "rsa-public"}, 2, "",
            "an rsa-public key source is 256 bytes, not 3", "abc"},
    CliCase{"RsaWideExponent", FilesToken, {"write", "4321", "-", "--type", "rsa-public"}, 2,
            "", "the token keeps a 4-byte exponent; byte 200 is 0x01", kWideExponent.c_str(),
            nullptr, false, nullptr, 256},
    CliCase{"RunInputLong", FilesToken, {"run", "5678", "--input", std::string(502, 'A')}, 2,
            "", "run: --input: at most 250 bytes, not 251"},
    CliCase{"RunByIdInputLong", FilesToken, {"run", "5678", "--by-id", "--input",
            std::string(498, 'A')}, 2, "", "at most 248 bytes with --by-id, not 249"},
    CliCase{"SizeNotNumber", FilesToken, {"put", "4321", "--size", "0xZ"}, 2, "",
            "not a number for --size"},
    // Card commands: the token refuses.
    CliCase{"NoRoot", OneToken, {"put", "4321", "-"}, 1, "",
            "cannot create file 4321: 0x00006A81", "abc"},
    CliCase{"WrongPin", FilesToken, {"pin", "verify", "user"}, 1, "",
            "the token refused the user PIN: 0x000063C", "00000000\n"},
    CliCase{"WrongPinFirst", FilesToken, {"param", "8", "--pin", "dev"}, 1, "",
            "the token refused the developer PIN", "000000000000000000000000\n"},
    CliCase{"NoSuchPath", FilesToken, {"write", "1234", "-", "--path", "9999"}, 1, "",
            "cannot enter directory 9999: 0x00006A82", "x"},
    CliCase{"ParamOnTypeZero", FilesToken, {"param", "8"}, 1, "",
            "cannot set the parameter: 0x00000020 (VX_WRONG_DEVICE_TYPE"},
    CliCase{"RunMissing", FilesToken, {"run", "9999", "--json"}, 1,
            "\"name\":\"card status 6A82\"", "cannot run file 9999"},
    // Card commands that succeed, and what the token holds afterwards.
    CliCase{"MkdirRoot", OneToken, {"mkdir", "\\", "--device-id", "0011223344556677"}, 0,
            "Made the root directory and wrote device id 0011223344556677.", ""},
    CliCase{"MkdirSub", FilesToken, {"mkdir", "1A2B", "--size", "200", "--json"}, 0,
            "{\"entry\":0,\"directory\":\"1A2B\",\"kind\":\"subdirectory\",\"size\":200}",
            "", "", HasDirectory},
    CliCase{"MkdirApp", TypeOneRoot, {"mkdir", "1A2B", "--size", "0x400"}, 0,
            "Made application directory 1A2B of 1024 bytes.", ""},
    CliCase{"Clear", FilesToken, {"clear", "\\", "--yes"}, 0,
            "Cleared the token: it has no root now.", "", "", HasNoRoot},
    CliCase{"VerifyDev", FilesToken, {"pin", "verify", "dev"}, 0,
            "The developer PIN is right.", "", "246813572468135724681357\r\n"},
    CliCase{"VerifyAtEnd", FilesToken, {"pin", "verify", "user"}, 0,
            "The user PIN is right.", "", "24681357"},
    CliCase{"ChangeUser", FilesToken, {"pin", "change", "user", "--hex", "--json"}, 0,
            "{\"entry\":0,\"changed\":\"user\"}", "",
            "3234363831333537\n3132333435363738\n", HasNewUserPin},
    CliCase{"Write", FilesToken, {"write", "1234", "-", "--offset", "1", "--path", "\\",
            "--pin", "dev"}, 0, "Wrote file 1234: 2 bytes.", "",
            "246813572468135724681357\ney", HasHeylo},
    CliCase{"Put", FilesToken, {"put", "4321", "-", "--offset", "3"}, 0,
            "Created file 4321 of 6 bytes; wrote 3 bytes.", "", "abc", HasNewFile},
    CliCase{"Keypair", FilesToken, {"keypair", "1111", "2222", "--json"}, 0,
            "\"publicKey\":\"1111\",\"privateKey\":\"2222\",\"written\":466", "",
            "", HasKeyPair},
    CliCase{"Param", TypeOneApp, {"param", "8", "--path", "\\1A2B"}, 0,
            "Set the directory's parameter to 8.", "", "", HasParameter},
    CliCase{"Run", FilesToken, {"run", "5678", "--input", "0A0B0c"}, 0, "0A0B0C\n", ""},
    CliCase{"RunLongest", FilesToken, {"run", "5678", "--input", std::string(500, 'A')}, 0,
            "AAAAAAAA", ""},
    // The directory is entered before the PIN is presented: a wrong PIN
    // costs a try of the directory named, not of the current one.
    CliCase{"ClearPinInPath", DirectoryOn<0x0230>, {"clear", "\\1A2B", "--yes", "--pin",
            "dev"}, 1, "", "the token refused the developer PIN: 0x000063C",
            "000000000000000000000000\n", TriedIn1A2B},
    CliCase{"WritePinInPath", DirectoryOn<0x0230>, {"write", "1234", "-", "--path",
            "\\1A2B", "--pin", "dev"}, 1, "", "the token refused the developer PIN",
            "000000000000000000000000\nabc", TriedIn1A2B},
    // A subdirectory goes where --path says on every version (on 2.0.0
    // reading the device type selects the root).
    CliCase{"MkdirPath200", DirectoryOn<0x0200>, {"mkdir", "3C4D", "--size", "200",
            "--path", "\\1A2B"}, 0, "Made subdirectory 3C4D", "", "", HasSubdirectory},
    CliCase{"MkdirPath210", DirectoryOn<0x0210>, {"mkdir", "3C4D", "--size", "200",
            "--path", "\\1A2B"}, 0, "Made subdirectory 3C4D", "", "", HasSubdirectory},
    CliCase{"MkdirPath230", DirectoryOn<0x0230>, {"mkdir", "3C4D", "--size", "200",
            "--path", "\\1A2B"}, 0, "Made subdirectory 3C4D", "", "", HasSubdirectory},
    // A new PIN is typed twice on a terminal; the two must agree.
    CliCase{"ChangeTyped", FilesToken, {"pin", "change", "user"}, 0, "The user PIN is changed.",
            "New user PIN again: ", "24681357\n12345678\n12345678\n", HasNewUserPin, true},
    CliCase{"ChangeNoNewPin", FilesToken, {"pin", "change", "dev"}, 1, "",
            "no new developer PIN on standard input", "246813572468135724681357\n"},
    CliCase{"ChangeTypedDiffers", FilesToken, {"pin", "change", "user"}, 1, "",
            "the two new user PINs differ; nothing was changed",
            "24681357\n12345678\n12345679\n", nullptr, true},
    // Made, but not finished: the message says so and what mends it.
    CliCase{"MkdirHalfMade", Failing<FilesToken, 0xD4, 0x6A84>, {"mkdir", "2222", "--size",
            "200", "--path", "\\"}, 1, "", "directory 2222 was created but not finished (its "
            "key file or PINs are missing; 'vantor clear \\2222 --yes' puts them in place): "
            "0x00006A84"},
    CliCase{"MkdirNotMade", Failing<FilesToken, 0xE0, 0x6A84>, {"mkdir", "2222", "--size",
            "200"}, 1, "", "cannot make directory 2222: 0x00006A84"},
    CliCase{"RootHalfMade", Failing<OneToken, 0xD4, 0x6A84>, {"mkdir", "\\"}, 1, "",
            "the root was created but not finished ('vantor clear '\\' --yes' removes it): "
            "0x00006A84"},
    CliCase{"PutHalfMade", Failing<FilesToken, 0xD6, 0x6581>, {"put", "4321", "-"}, 1, "",
            "file 4321 was created but its content was not written ('vantor write 4321 -' "
            "writes it): 0x00006581", "abc"},
    CliCase{"PutExists", Failing<FilesToken, 0xD6, 0x6581>, {"put", "1234", "-"}, 1, "",
            "cannot create file 1234: 0x00006A89", "abc"}),
    [](const ::testing::TestParamInfo<CliCase>& param) {
      return std::string(param.param.name);
    });
// clang-format on

// A host that lists through the simulated machine but tells the modes as
// a test wants, and re-plugs nothing.
class StillHost final : public Host {
 public:
  StillHost() : sim_(false, true) {}
  TokenApi& Api() override { return sim_.Api(); }
  std::string MachineName() const override { return machine; }
  std::vector<std::optional<TargetMode>> Modes(
      const std::vector<VXContext>& tokens) override {
    if (realModes) return sim_.Modes(tokens);
    return std::vector<std::optional<TargetMode>>(tokens.size(), mode);
  }
  std::vector<Finding> Checks() override { return {}; }
  std::int64_t NowMs() override { return now; }
  void SleepMs(int ms) override {
    now += ms;
    if (atMs >= 0 && now >= atMs) {
      atMs = -1;
      action(sim_.Machine());
    }
  }

  SimHost sim_;
  std::string machine = "Linux";
  std::optional<TargetMode> mode = TargetMode::kHid;
  bool realModes = false;  // the simulated tokens' own modes
  std::int64_t now = 0;
  std::int64_t atMs = -1;  // when `action` runs
  std::function<void(sim::Machine&)> action;
};

TEST(ModeWaitTest, TimesOutWhenTheTokenStays) {
  StillHost host;
  const Result r = RunCli(host, {"mode", "usb", "--wait", "3"});
  EXPECT_EQ(r.status, kExitFailed);
  EXPECT_THAT(r.err, HasSubstr("did not come back within 3 s (in USB mode it "
                               "needs the vendor driver"));
  EXPECT_GE(host.now, 3000);
  EXPECT_LE(host.now, 3000 + kPollMs);
}

// Unplugs the token 300 ms from now and plugs it in again 300 ms later.
void ScheduleReplug(StillHost& host) {
  host.atMs = host.now + 300;
  host.action = [&host](sim::Machine& m) {
    m.Unplug(m.Tokens().front());
    host.atMs = host.now + 300;
    host.action = [](sim::Machine& again) {
      again.Replug(again.Tokens().front());
    };
  };
}

TEST(ModeWaitTest, TokenBackInAnotherModeFails) {
  StillHost host;  // every token shows in HID mode
  host.machine = "Windows";
  ScheduleReplug(host);
  Result r = RunCli(host, {"mode", "usb", "--wait", "5"});
  EXPECT_EQ(r.status, kExitFailed);
  EXPECT_THAT(r.err,
              HasSubstr("came back at entry 0 in HID mode, not USB mode"));

  host.mode.reset();  // a machine that cannot tell
  ScheduleReplug(host);
  r = RunCli(host, {"mode", "usb", "--wait", "5"});
  EXPECT_EQ(r.status, kExitFailed);
  EXPECT_THAT(r.err, HasSubstr("in a mode this machine cannot tell"));
}

TEST(ModeWaitTest, ReplugBetweenTwoListingsIsSeenByTheMode) {
  // Unplugged and back between two listings: only a changed mode shows it.
  StillHost host;
  host.realModes = true;
  host.atMs = 500;
  host.action = [](sim::Machine& m) { m.Replug(m.Tokens().front()); };
  Result r = RunCli(host, {"mode", "usb", "--wait", "2"});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_THAT(r.out, HasSubstr("is back in USB mode"));
  EXPECT_LT(host.now, 1000);

  // Already in the asked mode before: no proof of a re-plug.
  host.atMs = host.now + 500;
  host.action = [](sim::Machine& m) { m.Replug(m.Tokens().front()); };
  r = RunCli(host, {"mode", "usb", "--wait", "2"});
  EXPECT_EQ(r.status, kExitFailed);
  EXPECT_THAT(r.err, HasSubstr("did not come back within 2 s"));
}

TEST(ModeWaitTest, CountsDownOnATerminalOnly) {
  for (const bool terminal : {true, false}) {
    SimHost host(false);
    const Result r = RunCli(host, {"mode", "hid", "--wait", "9"}, terminal);
    EXPECT_EQ(r.status, kExitOk);
    EXPECT_THAT(r.err, HasSubstr("Unplug the token and plug it in again "
                                 "(waiting up to 9 s)."));
    EXPECT_THAT(r.err, HasSubstr("The token is unplugged; plug it in again."));
    EXPECT_EQ(r.err.find("Waiting for the token to be unplugged: 9 s") !=
                  std::string::npos,
              terminal);
    EXPECT_EQ(r.err.find("Waiting for the token to come back: 9 s") !=
                  std::string::npos,
              terminal);
  }
}

TEST(ParseArgsTest, OptionsStandAnywhere) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--sim", "--json", "-d", "3", "mode", "hid", "--wait"},
           {"mode", "--device", "3", "hid", "--wait", "--json", "--sim"},
           {"mode", "hid", "--device=3", "--sim", "--wait=30", "--json"}}) {
    const Parsed p = ParseArgs(args);
    EXPECT_EQ(p.error, "");
    EXPECT_EQ(p.options.command, "mode");
    EXPECT_TRUE(p.options.sim);
    EXPECT_TRUE(p.options.json);
    EXPECT_EQ(p.options.device, 3u);
    EXPECT_EQ(p.options.mode, TargetMode::kHid);
    EXPECT_EQ(p.options.waitSeconds, kDefaultWaitSeconds);
  }
}

TEST(ResultWordsTest, NamesAndWords) {
  const struct {
    std::uint32_t code;
    const char* text;
  } cases[] = {
      {0, "0x00000000 (VX_SUCCESS: success)"},
      {2, "0x00000002 (VX_INVALID_PARAMETER: refused"},
      {17, "0x00000011 (VX_BUFFER_TOO_SMALL: "},
      {0xFFFFFFFF, "0xFFFFFFFF (VX_ATR_CHANGED: "},
      {0x6A82, "0x00006A82 (card status 6A82: file not found)"},
      {0x63C2, "0x000063C2 (card status 63C2: wrong PIN, 2 tries left)"},
      {0x6F00, "0x00006F00 (card status 6F00: the token refused the command)"},
      {0x30000, "0x00030000 (run status 3: the program on the token ended"},
      {0x1234567, "0x01234567 (unknown result: not a code this program knows)"},
  };
  for (const auto& c : cases) {
    EXPECT_THAT(DescribeResult(c.code), ::testing::StartsWith(c.text));
  }
  EXPECT_EQ(VersionText(0x00020300), "2.3.0");
  EXPECT_EQ(VersionText(0x01020304), "1.2.3.4");
}

TEST(JsonWriterTest, NestsAndEscapes) {
  JsonWriter json;
  json.BeginObject().Key("a\"b").BeginArray().String("x\\y\n\t").Number(-5);
  json.Bool(true).Null().BeginObject().EndObject().EndArray();
  json.Key("c").String("设备").EndObject();
  EXPECT_EQ(
      json.Text(),
      "{\"a\\\"b\":[\"x\\\\y\\n\\u0009\",-5,true,null,{}],\"c\":\"设备\"}");
}

TEST(LinuxFindingsTest, LevelsAndFixes) {
  using Level = Finding::Level;
  const struct {
    LinuxFacts facts;
    Level hidraw, rule;
  } cases[] = {
      {{{}, {}, {}}, Level::kFail, Level::kWarn},
      {{{{"/dev/hidraw1", true}}, {}, {}}, Level::kOk, Level::kWarn},
      {{{{"/dev/hidraw1", false}}, {}, {}}, Level::kFail, Level::kFail},
      {{{{"/dev/hidraw1", true}}, {"/etc/udev/rules.d/70-vantor.rules"}, {}},
       Level::kOk,
       Level::kOk},
  };
  for (const auto& c : cases) {
    const std::vector<Finding> f = LinuxFindings(c.facts);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].level, c.hidraw) << f[0].detail;
    EXPECT_EQ(f[1].level, c.rule) << f[1].detail;
    EXPECT_EQ(f[1].fix.empty(), c.rule == Level::kOk);
    if (c.rule != Level::kOk) {
      EXPECT_THAT(f[1].fix, HasSubstr("ATTRS{idVendor}==\"0471\""));
      EXPECT_THAT(f[1].fix, HasSubstr("udevadm trigger"));
    }
  }
  LinuxFacts unread;
  unread.unreadRules = {"/usr/local/lib/udev/rules.d/70-vantor.rules"};
  EXPECT_THAT(LinuxFindings(unread)[1].detail,
              HasSubstr("70-vantor.rules is in a folder that udev does not "
                        "read"));
}

TEST(WindowsFindingsTest, ModesFromTheCounts) {
  const struct {
    WindowsFacts facts;
    std::size_t listed;
    std::optional<TargetMode> mode;
    bool fails;
  } cases[] = {
      {{2, 0}, 2, TargetMode::kHid, false},
      {{0, 1}, 1, TargetMode::kUsb, false},
      {{1, 1}, 2, std::nullopt, false},
      {{1, 0}, 2, std::nullopt, false},
      {{0, 0}, 0, std::nullopt, true},
  };
  for (const auto& c : cases) {
    const auto modes = ModesFromCounts(c.facts, c.listed);
    EXPECT_EQ(modes.size(), c.listed);
    for (const auto& mode : modes) EXPECT_EQ(mode, c.mode);
    const std::vector<Finding> f = WindowsFindings(c.facts);
    EXPECT_EQ(f.back().level == Finding::Level::kFail, c.fails);
  }
}

// The simulated machine answers the probe as Windows shows its devices: a
// sweep over the tokens plugged in each mode, beside a token plugged out
// again and a foreign HID device, neither of which counts. The counts agree
// with the host's own modes and with what `doctor` says.
TEST(SimProbeTest, CountsTheTokensOfEachMode) {
  for (int hid = 0; hid <= 2; ++hid) {
    for (int usb = 0; usb <= 2; ++usb) {
      SCOPED_TRACE(std::to_string(hid) + " HID, " + std::to_string(usb) +
                   " USB");
      SimHost host(false, false);
      sim::Machine& m = host.Machine();
      m.PlugForeignHid("HID\\VID_046D&PID_C52B&REV_1200");
      m.Unplug(m.Plug({}));
      for (int i = 0; i < hid + usb; ++i) {
        sim::TokenConfig config;
        config.mode = i < hid ? sim::TokenMode::Hid : sim::TokenMode::Usb;
        config.deviceId[0] = static_cast<std::uint8_t>(0x10 + i);
        m.Plug(config);
      }
      const WindowsFacts facts = os::CurrentProbe().GatherWindows();
      EXPECT_EQ(facts.hidTokens, hid);
      EXPECT_EQ(facts.driverTokens, usb);

      const Listing listing = ListTokens(host.Api());
      ASSERT_EQ(listing.contexts.size(), static_cast<std::size_t>(hid + usb));
      if (hid == 0 || usb == 0) {
        EXPECT_EQ(ModesFromCounts(facts, listing.contexts.size()),
                  host.Modes(listing.contexts));
      }
      EXPECT_THAT(host.Checks().at(0).detail,
                  ::testing::StartsWith(std::to_string(hid + usb) +
                                        " virtual token(s)"));
      EXPECT_EQ(WindowsFindings(facts).back().level == Finding::Level::kFail,
                hid + usb == 0);
    }
  }
}

}  // namespace
}  // namespace vantor::tool::cli
