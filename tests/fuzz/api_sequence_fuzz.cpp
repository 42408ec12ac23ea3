// Fuzz target: sequences of public calls on a simulated machine, with
// tokens unplugged and plugged in again between them. Each input byte is
// one step (list, open, open exclusively, close, a control request, a card
// call, unplug, re-plug, plug a new token) on one of four contexts or
// tokens. Every call must give a result its documentation allows, a closed
// context must read as closed, and once every context is closed nothing may
// be left: no device handle, no monitor user, no monitor thread.
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

#include "device/device.h"
#include "vantor/sim.h"
#include "vantor/vantor.h"

namespace {

namespace sim = vantor::sim;

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
  }
}

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

struct Run {
  explicit Run(sim::OsVersion version) : machine(version) {
    machine.Install();
    machine.SetWireLog(false);
    vantor::device::InitDeviceTable();
    tokens.push_back(machine.Plug({}));
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

  // Closes every context until it refuses, then checks that nothing of
  // the connections is left.
  void Finish() {
    for (VXContext& context : contexts) {
      for (int i = 0; i < 8 && VXCloseDevice(&context) == VX_SUCCESS; ++i) {
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

  sim::Machine machine;
  std::vector<sim::TokenId> tokens;
  VXContext listed[4] = {};
  VXContext contexts[4] = {};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) return 0;
  constexpr sim::OsVersion kVersions[] = {
      sim::OsVersion::WindowsXp, sim::OsVersion::Windows98,
      sim::OsVersion::WindowsNt4, sim::OsVersion::Windows2000};
  Run run(kVersions[data[0] % 4]);
  for (VXContext& context : run.contexts) context.hDevice = 0xFFFFFFFFu;
  if (size > 64) size = 64;
  for (std::size_t i = 1; i < size; ++i) run.Step(data[i]);
  run.Finish();
  return 0;
}
