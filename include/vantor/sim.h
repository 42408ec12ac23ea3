// vantor_sim: a simulated machine with virtual Vantor tokens.
//
// Link `vantor_sim` to run the Vantor token library against virtual tokens
// instead of real hardware: create a Machine, Install() it before the first
// library call, plug tokens in and out, inject faults, and read what crossed
// the platform boundary (the wire log) and what the tokens did.
//
//   vantor::sim::Machine machine;            // Windows XP, nothing attached
//   machine.Install();                       // the library now sees it
//   auto token = machine.Plug({});           // one token in HID mode, v2.3.0
//   ... call VXListDevices / VXOpenDevice / VXControl ...
//   machine.Replug(token);                   // a pending mode change applies
//
// Threads: every member may be called from any thread. Plug, Unplug and
// Replug deliver the device-change broadcasts to the windows registered for
// them before they return (as a sent message is delivered on Windows), and
// never wait longer than a few seconds for a window whose thread does not
// pump messages.
//
// Lifetime: a Machine must outlive every library call made while it is
// installed. Close what you opened before destroying it; the destructor
// ends the threads created through it (their message loops receive
// WM_QUIT), then uninstalls it if it is still current.
//
// What a virtual token does:
// - Control request 2: answers its ATR (TokenConfig::atr, the bytes given
//   to SetAtr, or DefaultAtr(version, deviceId)), carrying the device id
//   of the card's file 3F04 while the root holds it (see "The card").
// - Control request 7 with the single data byte 00 or AA: the mode change
//   to USB mode (00) or HID mode (AA). It is kept as the pending mode and
//   takes effect at the next Replug; the answer is empty. Any other data
//   changes nothing (empty answer).
// - Control requests 4 and 5: answer the two bytes 90 00. Control request
//   6: answers its data echoed back. Any other control request: an empty
//   answer.
// - SetControlAnswer replaces the answer to one request code (2 and 7
//   included); the request still does what it does (7 still records the
//   mode change).
// - Every APDU: answered by the token's card (below).
// Each request replaces the answer waiting to be fetched; a fetch (HID
// report 1, driver read) takes it, so a second fetch finds nothing (HID:
// length 0; driver: 0 bytes). The single-call driver exchange answers at
// once.
//
// What the machine checks as Windows and the token would:
// - HID: HidD_SetFeature needs one of the token's reports with exactly its
//   size (ids 20..1 of sizes 8, 16, ... 240, 258, and 0x80 of 258), and
//   HidD_GetFeature report 1 with 258 bytes; anything else is refused with
//   ERROR_INVALID_PARAMETER and reaches no token. A report whose length
//   byte does not fit the report is refused with ERROR_GEN_FAILURE.
// - Driver: the I/O control codes 0x220028 (single call), 0x22000C
//   (write), 0x220010 (read, whose header must name the kind of request it
//   fetches) and 0x220024 (ATR); a malformed header or an input size that
//   does not match its wLength gives ERROR_INVALID_PARAMETER. The driver
//   codes on a HID handle, and the HID calls on a driver handle, give
//   ERROR_INVALID_FUNCTION.
// - A token with a latency (TokenConfig::latency, SetLatency) takes that
//   long for each HID feature call and driver call on its handles, one at a
//   time per token; calls to other tokens and the machine's other members
//   go on meanwhile.
// - A token that stops answering accepts HID reports but every HID read
//   fails with ERROR_SEM_TIMEOUT (121); its driver calls fail with
//   ERROR_GEN_FAILURE (31). Injected driver read failures give
//   ERROR_GEN_FAILURE too.
// - After Unplug, handles opened before stay open (close them) but every
//   call on them fails with ERROR_DEVICE_NOT_CONNECTED, also after a
//   re-plug.
// - Handle values are small multiples of 4; a new handle takes the lowest
//   value free, so a closed handle's value soon names another open.
// - A thread has no message queue until its first RegisterClassExA,
//   CreateWindowExA, GetMessageA or PostQuitMessage; until then
//   PostThreadMessageA to it fails with ERROR_INVALID_THREAD_ID (1444).
// - Enumeration lists devices in plug order (a re-plugged token comes
//   last), each device's interfaces in order: a foreign HID device with
//   several interfaces makes the interface index (SetupDiEnumDeviceInterfaces)
//   and the device index (SetupDiEnumDeviceInfo) of later devices differ.
//   Windows NT 4 lists no device interfaces and has no "hid.dll"; there the
//   driver's tokens are reached by their DOS device names.
//
// The card: each token carries a card that answers the command APDUs of
// the Vantor card language (ISO 7816-4 style: CLA INS P1 P2 P3 data,
// answered by data and the status word SW1 SW2).
// - State kept across re-plugs: an optional root directory (3F00) over the
//   memory region [memoryStart, memoryEnd); directories (DF, at most two
//   levels below the root) and files (EF) as a tree, children in creation
//   order; each DF has its own region, an allocation cursor, a parameter
//   byte and a finished flag; each EF its type, four access bytes, size and
//   content (zero-filled at creation); a key file (type 05) holds PIN and
//   key records with try counters instead of content.
// - State reset at every plug-in: the current DF is the root, there is no
//   current EF and no PIN is verified.
// - Memory: a file costs 14 bytes plus its size at the current DF's cursor
//   (a key file of size s1 s2 holds s1 records of s2 bytes); a DF of size s
//   costs 14 + s and owns those s bytes. Too little room: 6A 84 and nothing
//   changes.
// - Checks, in order: fewer than 5 bytes: 67 00; unknown INS (or 34 below
//   version 2.3.0): 6D 00; CLA not 00 for A4 B0 D6 20, not 80 for the
//   others: 6E 00; a command with data not exactly 5 + P3 bytes, or a read
//   (CA, B0) other than 5 bytes or 6 ending in 00: 67 00; P1 P2 unknown:
//   6A 86; P3 not fitting the command's layout: 67 00; no root: 6A 81
//   (6A 82 for a select).
// - Commands: 80 CA read device data (P1 06 device byte on version 2.0.0,
//   07 on later ones, 02 serial, 08 token free space, 03 free space of the
//   current DF, 09 E2 address = current DF cursor, 04 current path; values
//   above 0xFFFF read as 0xFFFF); 00 A4 select (P1 00 a DF: 3F00 or a child
//   of the current DF; P1 02 an EF of the current DF, answering id, access,
//   size, 00, type, size); 80 E0 create (00 00 the root, 01 00 a DF,
//   02 t an EF of type t, 00 01 finish the current DF); 80 0E erase the
//   current DF (the root: everything); 00 B0 / 00 D6 read / update binary
//   (P1 bit 8: short id P1 & 1F at offset P2, which becomes the current
//   EF; else the current EF at offset P1 P2; at most 253 bytes read; no
//   current EF 69 86, key file 69 81, past the end 6B 00); 80 34 00 00
//   update by id; 00 20 verify and 80 5E 01 change a PIN (P2 AA, BB, CC,
//   DD: wrong 63 Cx with x tries left, blocked 69 83, no record 6A 88);
//   80 D4 00 / 01 install / replace a record (tries from the low four bits
//   of record byte 6, 0 and F meaning 15); 80 3A 03 set the DF parameter;
//   80 CE 00 01 generate a (not real) RSA key pair into a type 06 and a
//   type 07 file; 80 32 and 80 34 00 01 run an executable file (type 08 or
//   0A) with a CardProgram (default: echo with status 00), answering the
//   status byte (32 only), at most 252 (253) output bytes and 90 00.
//   Access and control bytes are stored, not enforced.
// - Refusals of the commands: creating an id present in the current DF (or
//   3F00, or a second root) 6A 89, a DF a third level below the root
//   69 85, an unknown file type 6A 86; a record without a key file 6A 82,
//   with its id present 6A 89, in a full key file 6A 84, replacing an
//   absent id 6A 88; a key pair's or executable's file absent 6A 82, of
//   the wrong type 69 81.
// - ATR: while the root holds file 3F04, control request 2 and the
//   driver's ATR code answer the base ATR (TokenConfig::atr, SetAtr or
//   DefaultAtr) with historical bytes 7..14 replaced by the first 8 bytes of
//   3F04 (a base ATR with fewer than 15 historical bytes is first extended
//   to 15 with zero bytes, and a TCK, if any, is recomputed; a base ATR
//   that does not parse is answered unchanged). Erasing the root restores
//   the base ATR.
//
// Ids of unknown tokens are ignored by every member (Token returns a
// default state).
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

// The operating system as the library sees it.
enum class OsVersion {
  WindowsNt4,   // NT family 4.0: tokens only through the driver, by DOS names
  Windows98,    // Windows 98/Me family (4.10): no monitor thread
  Windows2000,  // NT 5.0
  WindowsXp,    // NT 5.1 and later (the default)
};

// How a virtual token is attached.
enum class TokenMode {
  Hid,  // HID mode: a HID device answering feature reports
  Usb,  // USB mode: reached through the vendor driver's interface class
};

// Identifies a virtual token of one Machine. Stays valid while unplugged.
using TokenId = int;

// What a virtual token is when it is plugged in.
struct TokenConfig {
  TokenMode mode = TokenMode::Hid;
  // Version word of the default ATR (historical bytes 1 and 2).
  std::uint16_t version = 0x0230;
  // Device id placed in historical bytes 7..14 of the default ATR.
  std::array<std::uint8_t, 8> deviceId{1, 2, 3, 4, 5, 6, 7, 8};
  // When set, the token's base ATR is exactly these bytes instead of the
  // default ATR (any bytes at all, malformed ones included); the card's
  // file 3F04 changes what it answers (see "The card").
  std::optional<std::vector<std::uint8_t>> atr;
  // First hardware id reported in HID mode.
  std::string hardwareId = "HID\\VID_0471&PID_485E&REV_0100";
  // When set, the device path in both modes instead of the generated one
  // ("\\?\hid#vid_0471&pid_485e#..." in HID mode,
  // "\\?\usb#vid_0471&pid_485d#..." in USB mode).
  std::optional<std::string> path;
  // DOS device name in USB mode (listed by QueryDosDeviceA; "\\.\" and the
  // name open the token). Empty: "Kelvra2-<token id>".
  std::string dosName;
  // How long each HID feature call and driver call to the token takes.
  std::chrono::microseconds latency{0};
  // The card's device-and-VM-type byte (high four bits: device type 0, 8 or
  // C; low four: VM type), answered to 80 CA 07 (80 CA 06 on 2.0.0).
  std::uint8_t deviceByte = 0x00;
  // The card's serial number, answered to 80 CA 02.
  std::array<std::uint8_t, 8> serial{0x56, 0x58, 0x00, 0x00,
                                     0x00, 0x00, 0x00, 0x01};
  // The card's memory region [memoryStart, memoryEnd) of E2 addresses.
  std::uint32_t memoryStart = 0x0400;
  std::uint32_t memoryEnd = 0xFC00;
  // Records the card's APDU log keeps (a ring: the oldest are dropped).
  std::size_t apduLogSize = 4096;
};

// The default ATR that a token with this version and device id reports:
// 3B DF 00 00 00 (TA1, TC1, TD1) then 15 historical bytes
// 56 <version hi> <version lo> 00 00 00 00 <device id 8 bytes>.
std::vector<std::uint8_t> DefaultAtr(std::uint16_t version,
                                     const std::array<std::uint8_t, 8>& id);

// The next `count` calls of a kind fail with the last error `error`.
struct CountedFailure {
  int count = 0;
  std::uint32_t error = 31;  // ERROR_GEN_FAILURE
};

// Faults injected into one token. Counters count down as they are used.
struct TokenFaults {
  int hidReadTimeouts = 0;        // next HID answer reads fail with error 121
  CountedFailure hidReadError;    // then the next ones fail with this error
  int driverReadFailures = 0;     // next driver reads (0x220010) fail
  bool refuseSingleCall = false;  // the driver refuses code 0x220028
  bool atrCodeFails = false;      // the driver refuses code 0x220024
  int openFailures = 0;           // next opens of the token fail
  bool stopsAnswering = false;    // HID reads time out (121) and driver
                                  // calls fail, for as long as it is set
  // The next answer read from the token, exactly as given (used once; the
  // token's own answer is dropped): for a HID answer report the bytes after
  // the report id (the length byte and the rest, cut or zero-padded to the
  // report), for the driver's single call or read the output bytes (cut to
  // the output buffer) with `rawReturned` as the count the driver claims
  // (the bytes written when unset).
  std::optional<std::vector<std::uint8_t>> rawAnswer;
  std::optional<std::uint32_t> rawReturned;
};

// Faults injected into the machine.
struct MachineFaults {
  bool hidLibraryMissing = false;  // LoadLibraryA("hid.dll") fails
  // A function that GetProcAddress will not bind (for example
  // "HidD_GetFeature" or "SetupDiEnumDeviceInterfaces"); empty for none.
  std::string unboundFunction;
  int allocationFailuresAfter = -1;  // LocalAlloc fails after this many more
                                     // successful allocations (-1: never)
  bool classDevsFails = false;       // SetupDiGetClassDevsA fails
  int enumerationFailsAt = -1;  // SetupDiEnumDeviceInterfaces fails at this
                                // index with a generic error (-1: never)
  bool dosDeviceQueryFails = false;  // QueryDosDeviceA fails
  int threadCreationFailures = 0;    // next CreateThread calls fail (error 8)
  int windowCreationFailures = 0;    // next CreateWindowExA calls fail (8)
};

// One request as it crossed the platform boundary.
struct WireRecord {
  enum class Kind {
    HidSetFeature,    // `data` is the report as sent (id in byte 0)
    HidGetFeature,    // `data` is the report as returned
    DeviceIoControl,  // `data` is the input buffer, `output` what came back
  };
  Kind kind = Kind::HidSetFeature;
  TokenId token = -1;          // the token addressed (-1: none found)
  std::uint32_t code = 0;      // I/O control code (DeviceIoControl only)
  std::uint8_t reportId = 0;   // report id (HID only)
  std::uint32_t size = 0;      // report size or input size as given
  std::uint32_t capacity = 0;  // output capacity (DeviceIoControl only)
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> output;
  bool ok = false;          // the call's result
  std::uint32_t error = 0;  // the last error it set when it failed
};

// One platform call as the library made it (the call log). Logged: the
// device setup calls (SetupDiGetClassDevsA, SetupDiEnumDeviceInterfaces,
// SetupDiEnumDeviceInfo, SetupDiGetDeviceRegistryPropertyA,
// SetupDiGetDeviceInterfaceDetailA, SetupDiDestroyDeviceInfoList),
// CreateFileA, CloseHandle, CreateThread, PostThreadMessageA and the
// monitor's window calls (RegisterClassExA, CreateWindowExA,
// RegisterDeviceNotificationA, UnregisterDeviceNotification, DestroyWindow,
// UnregisterClassA).
struct CallRecord {
  std::string name;  // "CreateFileA"
  // "name=value" pairs joined by ", ", in the call's order: numbers in
  // hexadecimal ("0x1f") but indices and sizes in decimal, classes as
  // "{4d1e55b2-f16f-11cf-88cb-001111000030}", texts as they are ("null"
  // for none), a window class given by atom as "#<atom>", device and
  // interface records of a set by their index in the set. For example
  // "path=\\?\hid#..., access=0xc0000000, share=0x1, disposition=3,
  // flags=0x0"; CreateThread shows "flags=..., threadId=<id it wrote>".
  std::string arguments;
  // What it returned, in hexadecimal ("0x104", "0x1", "0x0"), or
  // "INVALID_HANDLE_VALUE".
  std::string result;
  bool ok = false;          // it succeeded
  std::uint32_t error = 0;  // the last error it set when it failed
};

// A virtual token's state, for inspection.
struct TokenState {
  TokenMode mode = TokenMode::Hid;
  std::optional<TokenMode> pendingMode;  // applied at the next re-plug
  bool plugged = false;
  std::string path;               // device path while plugged
  std::vector<std::uint8_t> atr;  // the ATR it answers now
  int openHandles = 0;
  int controlRequests = 0;  // control requests answered
  int apdus = 0;            // APDUs answered
};

// Counters of the machine, for leak and cost checks.
struct MachineCounters {
  int openFileHandles = 0;     // device handles open now
  int opens = 0;               // successful CreateFileA calls so far
  int closes = 0;              // successful CloseHandle calls on device handles
  int allocations = 0;         // successful LocalAlloc calls so far
  int liveAllocations = 0;     // LocalAlloc blocks not yet freed
  int threadsRunning = 0;      // threads created through the machine, running
  int windows = 0;             // windows that exist now
  int notifications = 0;       // device notifications registered now
  int transportCalls = 0;      // HidD_SetFeature, HidD_GetFeature and
                               // DeviceIoControl calls so far
  int loadedLibraries = 0;     // LoadLibraryA references not yet freed
  int deviceSets = 0;          // SetupDiGetClassDevsA sets not yet destroyed
  long long wireDropped = 0;   // wire records dropped over the log limit
  long long callsDropped = 0;  // call records dropped over the log limit
};

// A token's card, for inspection (Machine::Card).
struct CardState {
  // A PIN or key record of a key file.
  struct Key {
    std::array<std::uint8_t, 3> id{};       // AA 00 05 user PIN, BB/CC/DD
                                            // 00 05 developer PIN parts,
                                            // 00 00 01 / 02 00 00 keys
    std::array<std::uint8_t, 4> control{};  // record bytes 3..6
    std::vector<std::uint8_t> value;        // 8 or 16 bytes
    int tries = 0;                          // left before it blocks
    int maxTries = 0;                       // what a right PIN restores
    bool verified = false;                  // presented since plug-in
  };
  // A directory (DF) or a file (EF).
  struct File {
    std::uint16_t id = 0;
    bool directory = false;
    std::uint8_t type = 0;                 // EF: P2 of its create command
    std::array<std::uint8_t, 4> access{};  // as created (DF: data 2..5)
    std::uint32_t size = 0;             // as created (s1 s2; root: its region)
    std::uint32_t address = 0;          // E2 address where it was placed
    std::vector<std::uint8_t> content;  // EF other than a key file
    std::vector<Key> keys;              // key file (type 05)
    // Directory only: its region [start, end), allocation cursor,
    // parameter (80 3A), finished flag (80 E0 00 01) and children.
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    std::uint32_t cursor = 0;
    std::uint8_t parameter = 0;
    bool finished = false;
    std::vector<File> children;
  };
  std::optional<File> root;                 // absent until 80 E0 00 00
  std::array<std::uint8_t, 8> rootBytes{};  // the 8 bytes of root creation
  // The current DF as the path of ids from the root (3F00 first); empty
  // when there is no root.
  std::vector<std::uint16_t> currentDirectory;
  std::optional<std::uint16_t> currentFile;  // an EF of the current DF
};

// The APDUs a token's card answered, oldest first (Machine::Apdus).
struct ApduLog {
  struct Record {
    std::vector<std::uint8_t> command;
    std::vector<std::uint8_t> answer;  // data and status word
    bool injected = false;             // an InjectedAnswer answered it
  };
  std::vector<Record> records;
  std::uint64_t dropped = 0;  // oldest records dropped since the last clear
};

// An answer the card gives instead of running a command
// (Machine::InjectAnswer): the `nth` command from now whose INS is `ins`
// (and whose P1, P2 are `p1`, `p2` when set) is answered with exactly
// `answer` (any bytes: a status word, a too-short answer, 90 00 without
// data) and changes nothing on the card.
struct InjectedAnswer {
  std::uint8_t ins = 0;
  std::optional<std::uint8_t> p1;
  std::optional<std::uint8_t> p2;
  int nth = 1;
  std::vector<std::uint8_t> answer;
};

// The program of an executable file: from its input it writes its output
// and returns the run's status byte. It runs inside the machine: it must
// not call the Machine.
using CardProgram = std::function<std::uint8_t(
    const std::vector<std::uint8_t>& input, std::vector<std::uint8_t>& output)>;

// A window that exists on the machine, for inspection.
struct WindowInfo {
  std::string className;
  std::string title;
  bool visible = false;
};

class Machine {
 public:
  explicit Machine(OsVersion version = OsVersion::WindowsXp);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Makes this machine the system the library talks to; Uninstall restores
  // the native system.
  void Install();
  void Uninstall();

  OsVersion Version() const;

  // Attaches a new virtual token and returns its id.
  TokenId Plug(const TokenConfig& config = {});
  // Attaches a foreign HID device with the given first hardware id and
  // `interfaces` HID interfaces (at least 1).
  void PlugForeignHid(const std::string& hardwareId, int interfaces = 1);
  // Detaches a token: its path disappears, its open handles fail from now
  // on, and windows registered for the driver's class receive
  // DBT_DEVICEREMOVECOMPLETE when it was in USB mode.
  void Unplug(TokenId token);
  // Attaches an unplugged token again (applying its pending mode), or
  // unplugs and re-attaches a plugged one.
  void Replug(TokenId token);

  TokenState Token(TokenId token) const;
  std::vector<TokenId> Tokens() const;

  // Replaces a token's base ATR (what it answers from now on, with the
  // card's device id while the root holds file 3F04).
  void SetAtr(TokenId token, const std::vector<std::uint8_t>& atr);
  // Changes a token's device path in both modes, at once when it is
  // plugged in (handles already open stay valid).
  void SetPath(TokenId token, const std::string& path);
  // Changes how long each exchange call to a token takes.
  void SetLatency(TokenId token, std::chrono::microseconds latency);
  // Makes a token answer control request `code` with exactly `answer`
  // (at most 1024 bytes; a HID read carries at most 255), or again as it
  // does by itself.
  void SetControlAnswer(TokenId token, std::uint16_t code,
                        const std::vector<std::uint8_t>& answer);
  void ClearControlAnswer(TokenId token, std::uint16_t code);

  // Faults to inject. Set replaces the whole set; counters in it count down
  // as the machine uses them, and Get shows what is left.
  void SetFaults(TokenId token, const TokenFaults& faults);
  TokenFaults GetFaults(TokenId token) const;
  void SetFaults(const MachineFaults& faults);
  MachineFaults GetFaults() const;

  // The wire log. Logging is on by default; with it off an exchange
  // allocates no memory inside the machine, so benchmarks can count the
  // library's own allocations. ClearWire also zeroes wireDropped.
  std::vector<WireRecord> Wire() const;
  void ClearWire();
  void SetWireLog(bool enabled);

  // The call log, off by default. ClearCalls also zeroes callsDropped.
  std::vector<CallRecord> Calls() const;
  void ClearCalls();
  void SetCallLog(bool enabled);

  // The wire log and the call log each keep their latest `records` records
  // (65536 by default) and count the older ones they drop (Counters).
  void SetLogLimit(std::size_t records);

  // What the tokens did, one line each in plain words ("token 1: mode
  // change to USB mode, takes effect at re-plug", "token 1: created file
  // 1A2B, type 09, 30 bytes"), oldest first. Exchanges write no events
  // while the wire log is off.
  std::vector<std::string> Events() const;
  void ClearEvents();

  MachineCounters Counters() const;
  std::vector<WindowInfo> Windows() const;

  // The token's card (see "The card" above).
  CardState Card(TokenId token) const;
  // The card's APDU log. It records only while the wire log is on, keeps
  // the last TokenConfig::apduLogSize records, and counts the dropped ones.
  ApduLog Apdus(TokenId token) const;
  void ClearApdus(TokenId token);
  // Queues an injected answer; several count independently, and when two
  // fall due on the same command the earlier one answers it and the other
  // the next matching command.
  void InjectAnswer(TokenId token, const InjectedAnswer& injected);
  // Drops the injected answers not yet given.
  void ClearInjectedAnswers(TokenId token);
  // Installs the program that executable files with this id run (in any
  // directory); an empty function restores the default echo.
  void SetProgram(TokenId token, std::uint16_t fileId, CardProgram program);
  // Moves the current DF's allocation cursor (kept within its region), to
  // reach memory boundaries quickly. Nothing happens without a root.
  void SetCardCursor(TokenId token, std::uint32_t address);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vantor::sim
