// vantor_sim: a simulated machine with virtual Vantor tokens, for testing
// an application against the Vantor token library without hardware.
//
//   vantor::sim::Machine machine;          // nothing attached yet
//   machine.Install();                     // the library now talks to it
//   auto token = machine.Plug({});         // a token in HID mode, v2.3.0
//   ... VXListDevices, VXOpenDevice, VXMakeDirectory, VXStoreFile ...
//   machine.Card(token);                   // what the card now holds
//   machine.InjectAnswer(token, {0xD6, {}, {}, 1, {0x6A, 0x84}});
//                                          // the next write finds no room
//   machine.Unplug(token);                 // pulled out: calls give 2
//   machine.Replug(token);                 // back, with its card as it was
//
// A Machine must outlive every library call made while it is installed;
// close what you opened before destroying it. Every member may be called
// from any thread; unknown token ids are ignored.
//
// A virtual token answers a reset with its ATR, takes mode changes (they
// apply at the next Replug), and answers APDUs with its card: directories,
// files, PINs, keys and programs that last across re-plugs; a plug-in or a
// reset returns it to its root with no PIN presented. docs/virtual-token.md
// gives every command and status word.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vantor::sim {

enum class OsVersion {  // the system the library sees
  WindowsNt4,           // NT 4.0: tokens only through the driver
  Windows98,            // Windows 98/Me: no removal monitor
  Windows2000,          // NT 5.0
  WindowsXp,            // NT 5.1 and later (the default)
};

enum class TokenMode { Hid, Usb };  // HID mode, or USB mode (the driver)

using TokenId = int;  // a token of one Machine, also while unplugged

// What a virtual token is when it is plugged in.
struct TokenConfig {
  TokenMode mode = TokenMode::Hid;
  std::uint16_t version = 0x0230;  // 2.3.0; 0x0200 is 2.0.0
  // Device id in the default ATR (until the card's 3F04 holds another).
  std::array<std::uint8_t, 8> deviceId{1, 2, 3, 4, 5, 6, 7, 8};
  // The base ATR instead of DefaultAtr(version, deviceId): any bytes.
  std::optional<std::vector<std::uint8_t>> atr;
  // Device type in the high four bits (0, 8 for type 1, C for type 2),
  // VM type in the low four.
  std::uint8_t deviceByte = 0x00;
  std::array<std::uint8_t, 8> serial{0x56, 0x58, 0, 0, 0, 0, 0, 0x01};
  // The card's memory [memoryStart, memoryEnd): where files are placed.
  std::uint32_t memoryStart = 0x0400, memoryEnd = 0xFC00;
  // How long each exchange with the token takes (a slow token).
  std::chrono::microseconds latency{0};
  std::size_t apduLogSize = 4096;  // APDUs the log keeps (the latest)
  // How the system names the token; unset or empty: generated.
  std::string hardwareId = "HID\\VID_0471&PID_485E&REV_0100";
  std::optional<std::string> path;
  std::string dosName;
};

// 3B DF 00 00 00, then 56 <version> 00 00 00 00 <device id>.
std::vector<std::uint8_t> DefaultAtr(std::uint16_t version,
                                     const std::array<std::uint8_t, 8>& id);

// A virtual token's state.
struct TokenState {
  TokenMode mode = TokenMode::Hid;
  std::optional<TokenMode> pendingMode;  // applied at the next re-plug
  bool plugged = false;
  std::string path;               // device path while plugged
  std::vector<std::uint8_t> atr;  // the ATR it answers now
  int openHandles = 0, controlRequests = 0, apdus = 0;  // answered
};

// A token's card, for inspection (Machine::Card).
struct CardState {
  struct Key {                              // a PIN or key record of a key file
    std::array<std::uint8_t, 3> id{};       // AA 00 05 user PIN; BB, CC, DD
                                            // 00 05 developer PIN parts
    std::array<std::uint8_t, 4> control{};  // record bytes 3..6
    std::vector<std::uint8_t> value;        // 8 or 16 bytes
    int tries = 0;                          // left before it blocks
    int maxTries = 0;                       // what a right PIN restores
    bool verified = false;                  // presented since plug-in
  };
  struct File {  // a directory (DF) or a file (EF)
    std::uint16_t id = 0;
    bool directory = false;
    std::uint8_t type = 0;                 // EF: P2 of its create command
    std::array<std::uint8_t, 4> access{};  // as created (DF: data 2..5)
    std::uint32_t size = 0;             // as created (s1 s2; root: its region)
    std::uint32_t address = 0;          // E2 address where it was placed
    std::vector<std::uint8_t> content;  // EF other than a key file
    std::vector<Key> keys;              // key file (type 05)
    // Directory only: its region [start, end), cursor, parameter,
    // finished flag and children.
    std::uint32_t start = 0, end = 0, cursor = 0;
    std::uint8_t parameter = 0;
    bool finished = false;
    std::vector<File> children;
  };
  std::optional<File> root;                     // absent until 80 E0 00 00
  std::array<std::uint8_t, 8> rootBytes{};      // the 8 bytes of root creation
  std::vector<std::uint16_t> currentDirectory;  // ids from 3F00 on
  std::optional<std::uint16_t> currentFile;     // an EF of the current DF
};

// The APDUs a token's card answered, oldest first.
struct ApduLog {
  struct Record {
    std::vector<std::uint8_t> command;
    std::vector<std::uint8_t> answer;  // data and status word
    bool injected = false;             // an InjectedAnswer answered it
  };
  std::vector<Record> records;
  std::uint64_t dropped = 0;  // oldest records dropped since the last clear
};

// The `nth` command from now whose INS is `ins` (and P1, P2 when set) is
// answered with exactly `answer` (a status word, say) and changes nothing.
struct InjectedAnswer {
  std::uint8_t ins = 0;
  std::optional<std::uint8_t> p1;
  std::optional<std::uint8_t> p2;
  int nth = 1;
  std::vector<std::uint8_t> answer;
};

// An executable file's program: writes its output from its input and
// returns the run's status byte. It must not call the Machine.
using CardProgram = std::function<std::uint8_t(
    const std::vector<std::uint8_t>& input, std::vector<std::uint8_t>& output)>;

class Machine;
namespace detail {
class SimSystem;
// The simulated system behind a machine, for the library's own tests.
SimSystem& SystemOf(const Machine& machine);
}  // namespace detail

class Machine {
 public:
  explicit Machine(OsVersion version = OsVersion::WindowsXp);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Makes this machine the system the library talks to, or not.
  void Install();
  void Uninstall();

  TokenId Plug(const TokenConfig& config = {});
  // Attaches a HID device that is not a token (a mouse, say), with this
  // first hardware id and `interfaces` HID interfaces.
  void PlugForeignHid(const std::string& hardwareId, int interfaces = 1);
  void Unplug(TokenId token);  // open handles fail from now on
  void Replug(TokenId token);  // (again); a pending mode change applies
  TokenState Token(TokenId token) const;
  std::vector<TokenId> Tokens() const;

  // Faults named by what the token does.
  void SetLatency(TokenId token, std::chrono::microseconds latency);
  // While set, the token takes requests but never answers them.
  void SetStopsAnswering(TokenId token, bool stopped);
  // Replaces the base ATR the token answers from now on.
  void SetAtr(TokenId token, const std::vector<std::uint8_t>& atr);

  // The card: its state, the APDUs it answered (kept while logging is on,
  // as it is by default), answers injected in place of its own (several
  // count independently), and the programs its executable files run (in
  // any directory; an empty function restores the default echo).
  CardState Card(TokenId token) const;
  ApduLog Apdus(TokenId token) const;
  void ClearApdus(TokenId token);
  void InjectAnswer(TokenId token, const InjectedAnswer& injected);
  void ClearInjectedAnswers(TokenId token);
  void SetProgram(TokenId token, std::uint16_t fileId, CardProgram program);

  // What the tokens did, in plain words, one line each, oldest first.
  std::vector<std::string> Events() const;
  void ClearEvents();

 private:
  friend detail::SimSystem& detail::SystemOf(const Machine& machine);

  std::unique_ptr<detail::SimSystem> system_;
};

}  // namespace vantor::sim
