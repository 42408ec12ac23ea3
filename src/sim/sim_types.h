// The records of the simulated machine's inner doors (src/sim/testing.h):
// faults at the level of Windows calls, the wire and call logs, the
// machine's counters and windows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vantor/sim.h"

namespace vantor::sim {

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

// Kinds of platform call that a CallFault can fail.
enum class CallKind {
  Allocation,      // LocalAlloc
  Open,            // CreateFileA
  Transport,       // HidD_SetFeature, HidD_GetFeature, DeviceIoControl
  ThreadCreation,  // CreateThread
  WindowCreation,  // CreateWindowExA
  Notification,    // RegisterDeviceNotificationA
};
inline constexpr int kCallKinds = 6;

// Fails the call of `kind` with index `index` (counted from 0 since the
// fault was set), or with `fromThenOn` every call of that kind from it on,
// with the last error `error`. The call changes nothing else.
struct CallFault {
  CallKind kind = CallKind::Allocation;
  int index = 0;
  bool fromThenOn = false;
  std::uint32_t error = 31;  // ERROR_GEN_FAILURE
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

// A window that exists on the machine, for inspection.
struct WindowInfo {
  std::string className;
  std::string title;
  bool visible = false;
};

}  // namespace vantor::sim
