// The device table: start-up, refresh, ATR parsing, opening and closing.
#include <algorithm>
#include <cstring>

#include "device/device.h"
#include "device/internal.h"

namespace vantor::device {

SlotEntry g_DeviceTable[kTableEntries];

const GUID DriverInterfaceGuid = {
    0x171638F7,
    0x1EAD,
    0x4873,
    {0xBA, 0x98, 0xC9, 0x66, 0xAB, 0xCF, 0x01, 0x42}};
const char kHidHardwareIdPrefix[] = "HID\\Vid_0471&Pid_485e";

namespace {

// The table is free from the start, whoever runs first.
const bool kTableStartsFree = (InitDeviceTable(), true);

bool IsUsed(const SlotEntry& entry) { return entry.dwKind != SLOT_FREE; }

// Whether a path item of the list has the text `path`, ignoring case.
bool ListHasPath(PathList list, DWORD count, const char* path) {
  for (DWORD i = 0; list != nullptr && i < count && list[i] != nullptr; ++i) {
    if (detail::CompareNoCase(PathText(list[i]), path) == 0) return true;
  }
  return false;
}

SlotEntry* EntryWithPath(std::int32_t kind, const char* path) {
  for (int i = 0; i < kUsableEntries; ++i) {
    SlotEntry& entry = g_DeviceTable[i];
    if (entry.dwKind == kind &&
        detail::CompareNoCase(entry.szPath, path) == 0) {
      return &entry;
    }
  }
  return nullptr;
}

SlotEntry* LowestFreeEntry() {
  for (int i = 0; i < kUsableEntries; ++i) {
    if (!IsUsed(g_DeviceTable[i])) return &g_DeviceTable[i];
  }
  return nullptr;
}

void ReadEntryAtr(SlotEntry& entry) {
  std::uint8_t atr[256];
  std::uint8_t length = 255;
  if (ReadAtr(entry, atr, &length) == 0) {
    entry.bAtrLength = std::min<std::uint8_t>(length, kMaxAtrBytes);
    std::memcpy(entry.bAtr, atr, entry.bAtrLength);
    ParseAtr(entry.bAtr, entry.bAtrLength, &entry.AtrInfo);
  } else if (entry.hDevice == INVALID_HANDLE_VALUE) {
    entry.dwKind = SLOT_FREE;
  }
}

}  // namespace

std::recursive_mutex& DeviceTableLock() {
  static std::recursive_mutex lock;
  return lock;
}

void InitDeviceTable() {
  std::lock_guard guard(DeviceTableLock());
  for (SlotEntry& entry : g_DeviceTable) entry.dwKind = SLOT_FREE;
}

void RefreshDeviceTable() {
  std::lock_guard guard(DeviceTableLock());

  GUID hidClass{};
  GetHidClassGuid(&hidClass);
  PathList list = nullptr;
  DWORD count = kUsableEntries;
  if (ListDevicePaths(hidClass, kHidHardwareIdPrefix, &list, &count) != 0) {
    UpdateSlotsOfKind(list, count, SLOT_HID);
    FreePathList(list);
  }

  list = nullptr;
  count = kUsableEntries;
  if (ListDevicePaths(DriverInterfaceGuid, nullptr, &list, &count) != 0) {
    UpdateSlotsOfKind(list, count, SLOT_DRIVER);
    FreePathList(list);
  }
}

int UpdateSlotsOfKind(PathList list, DWORD count, std::int32_t kind) {
  std::lock_guard guard(DeviceTableLock());
  int result = 0;

  // Drop the entries whose token is gone.
  for (int i = 0; i < kUsableEntries; ++i) {
    SlotEntry& entry = g_DeviceTable[i];
    if (entry.dwKind == kind && !ListHasPath(list, count, entry.szPath)) {
      ReleaseRemovedEntry(entry);
    }
  }

  // Give each new path the lowest free entry.
  for (DWORD i = 0; list != nullptr && i < count && list[i] != nullptr; ++i) {
    const char* path = PathText(list[i]);
    if (EntryWithPath(kind, path) != nullptr) continue;
    SlotEntry* entry = LowestFreeEntry();
    if (entry == nullptr) {
      result = -1;
      break;
    }
    *entry = SlotEntry{};
    entry->dwKind = kind;
    entry->hDevice = INVALID_HANDLE_VALUE;
    entry->dwOpenCount = 0;
    std::strncpy(entry->szPath, path, kMaxPathChars);
    entry->szPath[kMaxPathChars] = '\0';
  }

  // Read every listed token's ATR.
  for (int i = 0; i < kUsableEntries; ++i) {
    SlotEntry& entry = g_DeviceTable[i];
    if (entry.dwKind == kind) ReadEntryAtr(entry);
  }
  return result;
}

int ParseAtr(const std::uint8_t* atr, std::uint32_t atrLength, AtrInfo* info) {
  if (atr == nullptr || info == nullptr || atrLength < 1 || atr[0] != 0x3B) {
    return -1;
  }
  AtrInfo parsed{};
  std::uint32_t historical = 0;  // K, from T0
  std::uint32_t pos = 2;         // first byte after T0
  if (atrLength >= 2) {
    std::uint8_t format = atr[1];
    historical = format & 0x0Fu;
    // Step over the interface bytes that each format byte announces.
    for (;;) {
      for (const unsigned bit : {0x10u, 0x20u, 0x40u}) {
        if ((format & bit) != 0) ++pos;
      }
      if ((format & 0x80) == 0) break;
      if (pos >= atrLength) break;  // TD announced past the end
      format = atr[pos++];
    }
  } else {
    pos = atrLength;
  }

  const std::uint32_t available = pos < atrLength ? atrLength - pos : 0;
  const std::uint32_t present = std::min(historical, available);
  auto h = [&](std::uint32_t i) -> std::uint8_t {
    return i < present ? atr[pos + i] : std::uint8_t{0};
  };
  parsed.bHist0 = h(0);
  parsed.wVersion = static_cast<std::uint16_t>(h(1) << 8 | h(2));
  parsed.bHist3 = h(3);
  parsed.wHist45 = static_cast<std::uint16_t>(h(4) << 8 | h(5));
  parsed.bHist6 = h(6);
  if (present > 7) {
    const std::uint32_t stored =
        std::min<std::uint32_t>(present - 7, sizeof(parsed.bDeviceId));
    std::memcpy(parsed.bDeviceId, atr + pos + 7, stored);
    parsed.bDeviceIdLength = static_cast<std::uint8_t>(stored);
  }
  *info = parsed;
  return 0;
}

int OpenDevicePath(const char* path, DWORD shareMode, HANDLE* handle) {
  *handle = os::Sys().CreateFileA(path, GENERIC_READ | GENERIC_WRITE, shareMode,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  return *handle != INVALID_HANDLE_VALUE && *handle != nullptr ? 1 : 0;
}

BOOL CloseDeviceHandle(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return 0;
  return os::Sys().CloseHandle(handle);
}

int OpenSlot(SlotEntry& entry, DWORD shareMode) {
  std::lock_guard guard(DeviceTableLock());
  if (!IsUsed(entry)) return 0;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (OpenDevicePath(entry.szPath, shareMode, &handle) == 0) return 0;
  entry.hDevice = handle;
  return 1;
}

BOOL CloseSlot(SlotEntry& entry) {
  std::lock_guard guard(DeviceTableLock());
  return CloseDeviceHandle(entry.hDevice);
}

namespace detail {

bool QueryVersion(OSVERSIONINFOA* info) {
  *info = OSVERSIONINFOA{};
  info->dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
  return os::Sys().GetVersionExA(info) != 0;
}

bool IsNt4() {
  OSVERSIONINFOA version;
  return QueryVersion(&version) &&
         version.dwPlatformId == VER_PLATFORM_WIN32_NT &&
         version.dwMajorVersion == 4;
}

namespace {
unsigned char Lower(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}
}  // namespace

int CompareNoCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const unsigned char x = Lower(*a);
    const unsigned char y = Lower(*b);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
}

bool EqualNoCase(const char* a, const char* b, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

}  // namespace detail
}  // namespace vantor::device
