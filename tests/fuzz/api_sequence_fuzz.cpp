// Fuzz target: sequences of public calls on a simulated machine, with
// tokens unplugged and plugged in again between them. The first input byte
// chooses the system and a token to start from: a fresh one, or one already
// set up (a directory with programs and files, a cursor near the 0x8000
// boundary, an application directory), so that the fuzzer spends its time
// past the set-up. Each later byte is one step (list, open, open
// exclusively, close, a control request, a card call, unplug, re-plug, plug
// a new token) on one of four contexts or tokens; a card-call step takes
// the next byte too, which chooses among the directory, PIN, file and run
// calls and may make the token's next answer to a command a fault. Every
// call must give a result its documentation allows, a closed context must
// read as closed, and once every context is closed nothing may be left: no
// device handle, no monitor user, no monitor thread.
//
// Built as a libFuzzer target with clang (-fsanitize=fuzzer), and otherwise
// with replay_main.cpp as a program that replays a corpus.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <thread>
#include <vector>

#include "device/testing.h"
#include "fuzz_rig.h"
#include "sim/testing.h"
#include "vantor/vantor.h"

namespace {

namespace sim = vantor::sim;

using vantor::fuzz::Check;

bool OneOf(std::uint32_t result, std::initializer_list<std::uint32_t> codes) {
  for (std::uint32_t code : codes) {
    if (code == result) return true;
  }
  return false;
}

bool IsStatusWord(std::uint32_t result) {
  return result >= 0x6000 && result <= 0x6FFF;
}

constexpr std::uint32_t kCodes[] = {VX_RESET_DEVICE,
                                    VX_CONTROL_TYPE_4,
                                    VX_SET_DEVICE_MODE,
                                    VX_CONTROL_TYPE_8,
                                    VX_CONTROL_TYPE_4_DATA,
                                    VX_GET_DEVICE_TYPE,
                                    VX_GET_SERIAL_NUMBER,
                                    VX_GET_VM_TYPE,
                                    VX_GET_FREE_SPACE,
                                    VX_GET_DIRECTORY_FREE_SPACE,
                                    3};

// A run status (V * 0x10000), one of the library's own codes, or a card
// status word.
bool IsCardCallResult(std::uint32_t result) {
  return OneOf(result, {0, 2, 3, 17, 32, 33, 513, 514, 515, 516, 517, 518}) ||
         IsStatusWord(result) ||
         ((result & 0xFFFFu) == 0 && (result >> 16) <= 0xFFu);
}

constexpr char kDevPin[] = "246813572468135724681357";
constexpr char kUserPin[] = "24681357";
constexpr char kOtherDevPin[] = "135724681357246813572468";

const std::uint8_t* Bytes(const char* text) {
  return reinterpret_cast<const std::uint8_t*>(text);
}

// Token states a run can start from.
enum class Start { kFresh, kPrograms, kBoundary, kApplication };

struct Run {
  Run(sim::OsVersion version, Start start) : machine(version) {
    machine.Install();
    machine.SetWireLog(false);
    vantor::device::InitDeviceTable();
    for (VXContext& context : contexts) context.hDevice = 0xFFFFFFFFu;
    sim::TokenConfig config;
    switch (start) {
      case Start::kFresh:
        tokens.push_back(machine.Plug(config));
        return;
      case Start::kPrograms:
        config.mode = sim::TokenMode::Usb;
        break;
      case Start::kBoundary:
        // The root's cursor starts a little below 0x8000. Windows NT 4 has
        // no HID class: there the token is in USB mode.
        config.version = 0x0215;
        config.memoryStart = 0x7C00;
        if (version == sim::OsVersion::WindowsNt4) {
          config.mode = sim::TokenMode::Usb;
        }
        break;
      case Start::kApplication:
        config.mode = sim::TokenMode::Usb;
        config.deviceByte = 0x85;
        break;
    }
    tokens.push_back(machine.Plug(config));
    SetUp(start);
  }

  // Builds the start state through the public calls on contexts[0], which
  // stays open.
  void SetUp(Start start) {
    List();
    VXContext& c = contexts[0];
    const VXROOTINFO info{sizeof(VXROOTINFO), {1, 2, 3, 4, 5, 6, 7, 8}};
    Check(VXOpenDevice(&c) == 0 &&
              VXMakeDirectoryEx(&c, "\\", 0, VX_ROOT_DIRECTORY, &info) == 0,
          "set-up: root");
    if (start == Start::kBoundary) return;
    const bool app = start == Start::kApplication;
    Check(VXMakeDirectory(&c, "1A2B", 4000,
                          app ? VX_APP_DIRECTORY : VX_SUB_DIRECTORY) == 0 &&
              VXPresentPin(&c, Bytes(kDevPin), 24, VX_DEV_PIN) == 0,
          "set-up: directory");
    if (app) return;
    const std::uint8_t data[16] = {1, 2, 3, 4};
    Check(VXStoreFile(&c, "0101", 0, data, 16, 64, nullptr, VX_FILE_CREATE,
                      VX_TYPE_EXE) == 0 &&
              VXStoreFile(&c, "0102", 0, data, 16, 200, nullptr, VX_FILE_CREATE,
                          VX_TYPE_EXE_EX) == 0 &&
              VXStoreFile(&c, "0103", 0, nullptr, 0, 300, nullptr,
                          VX_FILE_CREATE, VX_TYPE_DATA) == 0,
          "set-up: files");
  }

  void List() {
    std::uint32_t length = sizeof(listed);
    const std::uint32_t result = VXListDevices(listed, &length);
    Check(OneOf(result, {VX_SUCCESS, VX_BUFFER_TOO_SMALL}), "list result");
    Check(length % sizeof(VXContext) == 0, "list length");
    if (result != VX_SUCCESS) return;
    // Contexts of this listing replace the closed ones; open ones are kept,
    // so that every open context can be closed at the end.
    const auto count = static_cast<std::uint32_t>(length / sizeof(VXContext));
    for (std::uint32_t i = 0; i < count && i < 4; ++i) {
      if (contexts[i].hDevice == 0xFFFFFFFFu) contexts[i] = listed[i];
    }
  }

  void Step(std::uint8_t byte) {
    const std::uint32_t which = (byte >> 4) & 3u;
    VXContext& context = contexts[which];
    const std::uint32_t before = context.hDevice;
    switch (byte & 0x0F) {
      case 0:
      case 1:
        List();
        break;
      case 2: {
        const std::uint32_t result = VXOpenDevice(&context);
        Check(OneOf(result, {0, 2, 3, 5, 20}), "open result");
        Check(result == 0 || context.hDevice == before, "failed open");
        break;
      }
      case 3: {
        const VXOpenInfo info{sizeof(VXOpenInfo), 0};
        const std::uint32_t result = VXOpenDeviceEx(&context, &info);
        Check(OneOf(result, {0, 2, 3, 5, 20}), "exclusive open result");
        break;
      }
      case 4:
      case 5: {
        const std::uint32_t result = VXCloseDevice(&context);
        Check(OneOf(result, {0, 2}), "close result");
        break;
      }
      case 6:
      case 7: {
        std::uint8_t block[256] = {0xAA};
        std::uint32_t returned = 0;
        const std::uint32_t code = kCodes[(byte >> 6) % std::size(kCodes)];
        const std::uint32_t result = VXControl(&context, code, block, 1, block,
                                               sizeof(block), &returned);
        Check(OneOf(result, {0, 2, 3, 17, 32, VX_ATR_CHANGED}) ||
                  IsStatusWord(result),
              "control result");
        Check(result != 0 || returned <= sizeof(block), "control length");
        break;
      }
      case 8: {
        const std::uint32_t result =
            VXMakeDirectory(&context, "\\", 0, VX_ROOT_DIRECTORY);
        Check(OneOf(result, {0, 2, 3}) || IsStatusWord(result), "mkdir");
        break;
      }
      case 9: {
        const std::uint8_t pin[8] = {'2', '4', '6', '8', '1', '3', '5', '7'};
        const std::uint32_t result =
            VXPresentPin(&context, pin, sizeof(pin), VX_USER_PIN);
        Check(OneOf(result, {0, 2, 3}) || IsStatusWord(result), "PIN");
        break;
      }
      case 10:
      case 11:
        machine.Unplug(tokens[which % tokens.size()]);
        break;
      case 12:
      case 13:
        machine.Replug(tokens[which % tokens.size()]);
        break;
      case 14:
        if (tokens.size() < 3) {
          sim::TokenConfig config;
          config.mode =
              (byte & 0x10) ? sim::TokenMode::Usb : sim::TokenMode::Hid;
          tokens.push_back(machine.Plug(config));
        }
        break;
      default:
        break;
    }
  }

  // A card call chosen by `byte`: the call in its low four bits, the
  // context in bits 4-5, a variant in bits 6-7.
  void CardCall(std::uint8_t byte) {
    VXContext& c = contexts[(byte >> 4) & 3u];
    const std::uint32_t variant = byte >> 6;
    std::uint8_t data[256] = {0x5A, 0x01, 0x02};
    std::uint8_t out[256];
    std::uint32_t length = 0;
    std::uint32_t result = 0;
    switch (byte & 0x0F) {
      case 0: {
        const char* paths[] = {"\\", "1A2B", "\\1A2B", "\\1A2B\\0101"};
        result = VXEnterDirectory(&c, paths[variant]);
        break;
      }
      case 1:
        result =
            variant & 1
                ? VXPresentPin(&c, Bytes(kUserPin), 8, VX_USER_PIN)
                : VXPresentPin(&c, Bytes(variant & 2 ? kOtherDevPin : kDevPin),
                               24, VX_DEV_PIN);
        break;
      case 2:
        // A developer-PIN change (and back): a fault injected into a later
        // part makes the call set the changed parts back.
        result = variant & 1
                     ? VXSetPinOrKey(&c, Bytes(kOtherDevPin), 24,
                                     Bytes(kDevPin), 24, VX_DEV_PIN)
                     : VXSetPinOrKey(&c, Bytes(kDevPin), 24,
                                     Bytes(kOtherDevPin), 24, VX_DEV_PIN);
        break;
      case 3:
        result = variant & 1
                     ? VXSetPinOrKey(&c, nullptr, 0, Bytes(kDevPin),
                                     8 + 8 * (variant >> 1), VX_AUTH_KEY)
                     : VXSetPinOrKey(&c, Bytes(kUserPin), 8, Bytes(kUserPin), 8,
                                     VX_USER_PIN);
        break;
      case 4: {
        // An executable file, with or without a filler in front of it.
        const std::uint32_t sizes[] = {64, 600, 2000, 200};
        result = VXStoreFile(
            &c, variant & 1 ? "0201" : "0202", 0, data, 32, sizes[variant],
            &length, VX_FILE_CREATE | (variant & 2 ? 0 : 0x2000u), VX_TYPE_EXE);
        break;
      }
      case 5:
        result = VXStoreFile(&c, "0203", 0, data, 40u * variant, 250, &length,
                             VX_FILE_CREATE, VX_TYPE_EXE_EX);
        break;
      case 6: {
        const char* ids[] = {"0101", "0102", "0103", "0203"};
        const std::uint32_t types[] = {VX_TYPE_EXE, VX_TYPE_EXE_EX,
                                       VX_TYPE_DATA, VX_TYPE_EXE_EX};
        result = VXStoreFile(&c, ids[variant], variant == 2 ? 100 : 0, data,
                             16 + 60 * variant, 0, &length, VX_FILE_UPDATE,
                             types[variant]);
        break;
      }
      case 7:
        result = VXStoreFile(&c, "0104", variant * 40, data, 220, 300, &length,
                             VX_FILE_CREATE, VX_TYPE_DATA);
        break;
      case 8:
        result =
            VXExecute(&c, variant & 1 ? "0101" : "0201", data, variant * 80,
                      out, variant & 2 ? 4 : sizeof(out), &length);
        break;
      case 9:
        result = VXExecuteEx(&c, variant & 1 ? "0102" : "0203",
                             VX_EXECUTE_BY_ID, data, variant * 80, out,
                             variant & 2 ? 4 : sizeof(out), &length);
        break;
      case 10:
        result = VXStoreFile(&c, variant & 1 ? "02040205" : "02060207", 0,
                             nullptr, 0, 0, &length, VX_FILE_RSA_PAIR, 0);
        break;
      case 11:
        result = VXStoreFile(&c, nullptr, 0, nullptr, 0, 1 + variant * 20,
                             &length, VX_FILE_SET_PARAM, 0);
        break;
      case 12: {
        const std::uint32_t kinds[] = {VX_SUB_DIRECTORY, VX_APP_DIRECTORY,
                                       VX_SUB_DIRECTORY, VX_APP_DIRECTORY};
        result = VXMakeDirectory(&c, variant < 2 ? "3C4D" : "5E6F",
                                 variant < 2 ? 1000 : 200, kinds[variant]);
        break;
      }
      case 13:
        result = VXClearDirectory(&c, 0);
        break;
      case 14:
        Inject((byte >> 4) & 3u, variant);
        return;
      default: {
        const char input[] = "0101";
        result = VXControl(
            &c, variant & 1 ? VX_GET_FILE_INFO : VX_GET_DIRECTORY_FREE_SPACE,
            Bytes(input), 4, out, 16, &length);
        break;
      }
    }
    Check(IsCardCallResult(result), "card call result");
  }

  // The token's next answer to a command of a chosen kind is a fault: a
  // status word, or a bare 90 00 where data was due.
  // The command in `which`, its nth use from now in `variant`; the faults
  // take turns.
  void Inject(std::uint32_t which, std::uint32_t variant) {
    static const std::uint8_t kIns[] = {0x5E, 0xD6, 0xE0, 0x32,
                                        0x34, 0xA4, 0xCA, 0x20};
    static const std::vector<std::uint8_t> kAnswers[] = {
        {0x6A, 0x84}, {0x63, 0xC1}, {0x90, 0x00}, {0x6F, 0x00}};
    sim::InjectedAnswer injected;
    injected.ins = kIns[which + 4 * (injections & 1)];
    injected.nth = 1 + static_cast<int>(variant);
    injected.answer = kAnswers[injections % std::size(kAnswers)];
    ++injections;
    machine.InjectAnswer(tokens[0], injected);
  }

  // Closes every context until it refuses, then checks that nothing of
  // the connections is left.
  void Finish() {
    for (VXContext& context : contexts) {
      for (int i = 0; i < 64 && VXCloseDevice(&context) == VX_SUCCESS; ++i) {
      }
      Check(VXCloseDevice(&context) == VX_INVALID_PARAMETER, "closed");
    }
    Check(machine.Counters().openFileHandles == 0, "device handle left");
    Check(vantor::device::MonitorUsers() == 0, "monitor user left");
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (vantor::device::MonitorThreadRunning() ||
           machine.Counters().threadsRunning != 0) {
      Check(std::chrono::steady_clock::now() < deadline, "monitor left");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  sim::TestMachine machine;
  std::vector<sim::TokenId> tokens;
  VXContext listed[4] = {};
  VXContext contexts[4] = {};
  std::uint32_t injections = 0;  // faults injected so far
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) return 0;
  constexpr sim::OsVersion kVersions[] = {
      sim::OsVersion::WindowsXp, sim::OsVersion::Windows98,
      sim::OsVersion::WindowsNt4, sim::OsVersion::Windows2000};
  Run run(kVersions[data[0] % 4], static_cast<Start>((data[0] >> 2) & 3));
  if (size > 64) size = 64;
  for (std::size_t i = 1; i < size; ++i) {
    if ((data[i] & 0x0F) == 15 && i + 1 < size) {
      run.CardCall(data[++i]);
    } else {
      run.Step(data[i]);
    }
  }
  run.Finish();
  return 0;
}
