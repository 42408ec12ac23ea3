// Discovery: the device paths of attached tokens, through the device setup
// interface (HID tokens by hardware id, driver tokens by interface class) or,
// on Windows NT 4, through the DOS device names.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "device/device.h"
#include "device/internal.h"

namespace vantor::device {
namespace {

// At most this many interfaces of a class are examined, matching or not.
constexpr DWORD kMaxInterfaces = 127;
// Characters of the DOS device name buffer.
constexpr DWORD kDosNameChars = 32768;
// Tries of a hardware-id read that keeps asking for a larger buffer.
constexpr int kHardwareIdReads = 8;
constexpr char kLegacyNamePrefix[] = "KELVRA2";
constexpr char kLegacyPathPrefix[] = "\\\\.\\";
constexpr std::size_t kPathOffset =
    offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

char* MutablePathText(PathItem* item) {
  return reinterpret_cast<char*>(item) + kPathOffset;
}

// SetupDiEnumDeviceInterfaces and SetupDiGetDeviceInterfaceDetailA, bound by
// name once for the current system.
struct SetupFunctions {
  std::uint64_t generation;
  os::PFN_SetupDiEnumDeviceInterfaces enumInterfaces;
  os::PFN_SetupDiGetDeviceInterfaceDetailA getDetail;
};
SetupFunctions g_setup{};

const SetupFunctions* BindSetupFunctions() {
  const std::uint64_t generation = os::SystemGeneration();
  const bool bound =
      g_setup.enumInterfaces != nullptr && g_setup.getDetail != nullptr;
  if (!bound || g_setup.generation != generation) {
    os::System& sys = os::Sys();
    g_setup = SetupFunctions{generation, nullptr, nullptr};
    // The library's own device-setup calls keep SETUPAPI.DLL loaded.
    HMODULE setupApi = sys.GetModuleHandleA("SETUPAPI.DLL");
    if (setupApi != nullptr) {
      g_setup.enumInterfaces =
          detail::BindAs<os::PFN_SetupDiEnumDeviceInterfaces>(
              sys.GetProcAddress(setupApi, "SetupDiEnumDeviceInterfaces"));
      g_setup.getDetail =
          detail::BindAs<os::PFN_SetupDiGetDeviceInterfaceDetailA>(
              sys.GetProcAddress(setupApi, "SetupDiGetDeviceInterfaceDetailA"));
    }
  }
  if (g_setup.enumInterfaces == nullptr || g_setup.getDetail == nullptr) {
    return nullptr;
  }
  return &g_setup;
}

enum class Step { kTake, kSkip, kFail };

// Whether the first hardware id of the device at `index` of the set begins
// with `prefix`, ignoring case. kFail when a buffer cannot be allocated.
Step MatchHardwareId(HDEVINFO set, DWORD index, const char* prefix) {
  os::System& sys = os::Sys();
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(SP_DEVINFO_DATA);
  if (sys.SetupDiEnumDeviceInfo(set, index, &device) == 0) return Step::kSkip;

  BYTE* buffer = nullptr;
  DWORD size = 0;
  bool read = false;
  for (int i = 0; i < kHardwareIdReads; ++i) {
    DWORD required = 0;
    if (sys.SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                              nullptr, buffer, size,
                                              &required) != 0) {
      read = true;
      break;
    }
    if (sys.GetLastError() != ERROR_INSUFFICIENT_BUFFER || required == 0) {
      break;
    }
    if (buffer != nullptr) sys.LocalFree(buffer);
    buffer = static_cast<BYTE*>(sys.LocalAlloc(LMEM_ZEROINIT, required));
    if (buffer == nullptr) return Step::kFail;
    size = required;
  }
  if (buffer == nullptr) return Step::kSkip;

  const std::size_t length = std::strlen(prefix);
  const bool match = read && size >= length &&
                     detail::EqualNoCase(reinterpret_cast<const char*>(buffer),
                                         prefix, length);
  sys.LocalFree(buffer);
  return match ? Step::kTake : Step::kSkip;
}

// Reads the device path of an interface into a new path item. An interface
// whose detail cannot be read, or whose path is longer than an entry holds,
// is skipped; only an allocation that fails fails the enumeration.
Step ReadInterfacePath(HDEVINFO set, const SetupFunctions& setup,
                       SP_DEVICE_INTERFACE_DATA& interfaceData,
                       PathItem** out) {
  os::System& sys = os::Sys();
  DWORD required = 0;
  setup.getDetail(set, &interfaceData, nullptr, 0, &required, nullptr);
  if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return Step::kSkip;

  auto* item = static_cast<PathItem*>(sys.LocalAlloc(LMEM_ZEROINIT, required));
  if (item == nullptr) return Step::kFail;
  item->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  DWORD written = 0;
  if (setup.getDetail(set, &interfaceData, item, required, &written, nullptr) ==
      0) {
    sys.LocalFree(item);
    return Step::kSkip;
  }
  const std::size_t room = required - kPathOffset;
  const std::size_t length = strnlen(PathText(item), room);
  if (length == room || length > static_cast<std::size_t>(kMaxPathChars)) {
    sys.LocalFree(item);
    return Step::kSkip;
  }
  *out = item;
  return Step::kTake;
}

PathList MakePathList(DWORD capacity) {
  const SIZE_T bytes = (SIZE_T{capacity} + 1) * sizeof(PathItem*);
  return static_cast<PathList>(os::Sys().LocalAlloc(LMEM_ZEROINIT, bytes));
}

}  // namespace

const char* PathText(const PathItem* item) {
  return reinterpret_cast<const char*>(item) + kPathOffset;
}

bool ListDevicePaths(const GUID& classGuid, const char* hardwareIdPrefix,
                     PathList* list, DWORD* count) {
  if (detail::IsNt4()) return EnumLegacyDevicePaths(classGuid, list, count);
  return EnumInterfacePaths(classGuid, hardwareIdPrefix, list, count);
}

bool EnumInterfacePaths(const GUID& classGuid, const char* hardwareIdPrefix,
                        PathList* list, DWORD* count) {
  std::lock_guard guard(DeviceTableLock());
  os::System& sys = os::Sys();
  const DWORD capacity = *count;
  *list = nullptr;
  *count = 0;

  // Without the enumeration functions nothing can be told about the
  // devices: the enumeration fails and the table is left as it is.
  const SetupFunctions* setup = BindSetupFunctions();
  if (setup == nullptr) return false;
  PathList paths = MakePathList(capacity);
  if (paths == nullptr) return false;
  HDEVINFO set = sys.SetupDiGetClassDevsA(
      &classGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE || set == nullptr) {
    FreePathList(paths);
    return false;
  }

  DWORD stored = 0;
  bool failed = false;
  for (DWORD index = 0; index < kMaxInterfaces && stored < capacity; ++index) {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    // Any failure, ERROR_NO_MORE_ITEMS or another, ends the enumeration.
    if (setup->enumInterfaces(set, nullptr, &classGuid, index,
                              &interfaceData) == 0) {
      break;
    }
    Step step = Step::kTake;
    if (hardwareIdPrefix != nullptr) {
      // The device record at the same index as the interface.
      step = MatchHardwareId(set, index, hardwareIdPrefix);
    }
    PathItem* item = nullptr;
    if (step == Step::kTake) {
      step = ReadInterfacePath(set, *setup, interfaceData, &item);
    }
    if (step == Step::kFail) {
      failed = true;
      break;
    }
    if (step == Step::kTake) paths[stored++] = item;
  }
  sys.SetupDiDestroyDeviceInfoList(set);

  if (failed) {
    FreePathList(paths);
    return false;
  }
  *list = paths;
  *count = stored;
  return true;
}

const char* LegacyNamePrefix(const GUID& classGuid) {
  return std::memcmp(&classGuid, &DriverInterfaceGuid, sizeof(GUID)) == 0
             ? kLegacyNamePrefix
             : nullptr;
}

bool EnumLegacyDevicePaths(const GUID& classGuid, PathList* list,
                           DWORD* count) {
  std::lock_guard guard(DeviceTableLock());
  os::System& sys = os::Sys();
  const DWORD capacity = *count;
  *list = nullptr;
  *count = 0;

  const char* prefix = LegacyNamePrefix(classGuid);
  if (prefix == nullptr) return false;
  PathList paths = MakePathList(capacity);
  if (paths == nullptr) return false;
  auto* names =
      static_cast<char*>(sys.LocalAlloc(LMEM_ZEROINIT, kDosNameChars));
  if (names == nullptr) {
    FreePathList(paths);
    return false;
  }
  DWORD chars = sys.QueryDosDeviceA(nullptr, names, kDosNameChars);
  if (chars == 0) {
    sys.LocalFree(names);
    FreePathList(paths);
    return false;
  }
  if (chars > kDosNameChars) chars = kDosNameChars;

  const std::size_t prefixLength = std::strlen(prefix);
  const std::size_t pathPrefixLength = std::strlen(kLegacyPathPrefix);
  DWORD stored = 0;
  bool failed = false;
  for (std::size_t pos = 0; pos < chars && stored < capacity;) {
    const char* name = names + pos;
    const std::size_t length = strnlen(name, chars - pos);
    if (length == 0) break;
    pos += length + 1;
    if (length < prefixLength ||
        !detail::EqualNoCase(name, prefix, prefixLength))
      continue;
    const std::size_t pathLength = pathPrefixLength + length;
    if (pathLength > static_cast<std::size_t>(kMaxPathChars)) continue;
    auto* item = static_cast<PathItem*>(
        sys.LocalAlloc(LMEM_ZEROINIT, kPathOffset + pathLength + 1));
    if (item == nullptr) {
      failed = true;
      break;
    }
    item->cbSize = static_cast<DWORD>(pathLength);
    char* text = MutablePathText(item);
    std::memcpy(text, kLegacyPathPrefix, pathPrefixLength);
    std::memcpy(text + pathPrefixLength, name, length);
    text[pathLength] = '\0';
    paths[stored++] = item;
  }
  sys.LocalFree(names);

  if (failed) {
    FreePathList(paths);
    return false;
  }
  *list = paths;
  *count = stored;
  return true;
}

bool FreePathList(PathList list) {
  if (list == nullptr) return false;
  os::System& sys = os::Sys();
  for (PathItem** item = list; *item != nullptr; ++item) sys.LocalFree(*item);
  sys.LocalFree(list);
  return true;
}

void GetHidClassGuid(GUID* guid) {
  std::lock_guard guard(DeviceTableLock());
  *guid = GUID{};
  if (detail::IsNt4()) return;
  const detail::HidFunctions* hid = detail::BindHidFunctions();
  if (hid != nullptr) hid->getHidGuid(guid);
}

}  // namespace vantor::device
