// The device table: start-up, refresh, ATR parsing, opening and closing.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "device/device.h"
#include "device/internal.h"
#include "device/testing.h"

namespace vantor::device {
namespace {

struct TableStorage {
  SlotEntry entries[kTableEntries];
};

// Every entry free, fixed when the program is loaded: nothing to run first.
constexpr TableStorage FreeTable() {
  TableStorage table{};
  for (SlotEntry& entry : table.entries) entry.dwKind = SLOT_FREE;
  return table;
}

bool IsUsed(const SlotEntry& entry) { return entry.dwKind != SLOT_FREE; }

unsigned char Lower(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}

// A hash of a path that ignores letter case, so equal paths in any case
// meet in the same bucket. Eight characters at a time, with bit 0x20 set in
// each (which folds the letters' cases together; other characters that it
// folds together only share a bucket, and the paths are compared anyway).
std::uint32_t PathHash(const char* path) {
  constexpr std::uint64_t kFold = 0x2020202020202020ull;
  const std::size_t length = std::strlen(path);
  std::uint64_t hash = length;
  std::size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, path + i, sizeof(word));
    hash = (hash ^ (word | kFold)) * 0x9E3779B97F4A7C15ull;
  }
  std::uint64_t tail = 0;
  std::memcpy(&tail, path + i, length - i);
  hash = (hash ^ (tail | kFold)) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::uint32_t>(hash >> 32);
}

// The paths of one kind, found by hash: a refresh merges n paths into the
// table in time proportional to n.
class PathIndex {
 public:
  // Room for `count` paths at a load of at most one half.
  explicit PathIndex(std::uint32_t count) {
    while (mask_ + 1 < 2 * count) mask_ = mask_ * 2 + 1;
    std::fill_n(slots_.begin(), mask_ + 1, kEmpty);
  }
  void Add(std::uint32_t hash, int value) {
    for (std::uint32_t i = hash;; ++i) {
      Slot& slot = slots_[i & mask_];
      if (slot.value < 0) {
        slot = Slot{hash, value};
        return;
      }
    }
  }
  // The first value whose hash is `hash` and for which `same` holds, or -1.
  template <typename Same>
  int Find(std::uint32_t hash, Same same) const {
    for (std::uint32_t i = hash;; ++i) {
      const Slot& slot = slots_[i & mask_];
      if (slot.value < 0) return -1;
      if (slot.hash == hash && same(slot.value)) return slot.value;
    }
  }

 private:
  struct Slot {
    std::uint32_t hash;
    int value;
  };
  static constexpr std::uint32_t kMaxSlots = 512;  // twice 2 * 127, rounded
  static constexpr Slot kEmpty{0, -1};
  std::uint32_t mask_ = 15;
  std::array<Slot, kMaxSlots> slots_;
};

bool SamePath(const char* a, const char* b) {
  return std::strcmp(a, b) == 0 || detail::CompareNoCase(a, b) == 0;
}

// Gives the entry to a new token of `kind` at `path`.
void TakeEntry(SlotEntry& entry, std::int32_t kind, const char* path,
               std::uint32_t hash) {
  const std::uint32_t generation = entry.dwGeneration + 1;
  detail::WithdrawOpening(static_cast<std::uint32_t>(&entry - g_DeviceTable));
  entry = SlotEntry{};
  entry.dwKind = kind;
  entry.hDevice = INVALID_HANDLE_VALUE;
  entry.dwOpenCount = 0;
  entry.dwGeneration = generation;
  std::strncpy(entry.szPath, path, kMaxPathChars);
  entry.szPath[kMaxPathChars] = '\0';
  entry.dwPathHash = hash;
}

// The refresh's ATR reads run without the table lock, one refresh at a time.
std::recursive_mutex& RefreshLock() {
  static std::recursive_mutex lock;
  return lock;
}

// One entry whose ATR a refresh reads.
struct AtrTarget {
  int index;
  std::uint32_t generation;
  std::int32_t kind;
  HANDLE open;  // the entry's open handle, or -1
  char path[kMaxPathChars + 1];
};
AtrTarget g_targets[kUsableEntries];  // guarded by RefreshLock()

void StoreAtr(SlotEntry& entry, const std::uint8_t* atr, std::uint8_t length) {
  length = std::min<std::uint8_t>(length, kMaxAtrBytes);
  // Most refreshes read the ATR they read before: nothing to parse again.
  if (length == entry.bAtrLength && std::memcmp(entry.bAtr, atr, length) == 0) {
    return;
  }
  entry.bAtrLength = length;
  std::memcpy(entry.bAtr, atr, entry.bAtrLength);
  ParseAtr(entry.bAtr, entry.bAtrLength, &entry.AtrInfo);
}

// True while the entry still holds the target's token, with the device
// state the target saw. The caller holds the table lock.
bool StillTarget(const AtrTarget& target) {
  const SlotEntry& entry = g_DeviceTable[target.index];
  return entry.dwGeneration == target.generation &&
         entry.dwKind == target.kind && entry.hDevice == target.open;
}

// What a refresh learnt of one target.
enum class AtrRead { kRead, kUnreadable, kGone, kSkipped };

// Reads the ATR of an entry that no connection holds, over a temporary
// handle, under the entry's hold (so that no open runs beside it). An
// entry opened meanwhile is left to its connection.
AtrRead ReadClosedTarget(const AtrTarget& target, std::uint8_t* atr,
                         std::uint8_t* length) {
  HoldGuard hold(static_cast<std::uint32_t>(target.index));
  {
    std::lock_guard guard(DeviceTableLock());
    if (!StillTarget(target)) return AtrRead::kSkipped;
  }
  const bool read = detail::ReadAtrAt(target.path, target.kind, atr, length);
  // An empty ATR is no ATR: the token is treated as unreadable.
  return read && *length != 0 ? AtrRead::kRead : AtrRead::kUnreadable;
}

// An open entry keeps the ATR it had and is never reset: its connection's
// card state (current directory, presented PINs) belongs to the caller.
// Whether its handle still reaches a device (a token unplugged and plugged
// in again at the same path) is asked without disturbing the token: the
// HID stack's attributes of the device, or the driver's ATR code, which
// resets nothing. Where neither answers, the connection's next exchange
// finds the device gone. A token held by a call is not asked at all.
AtrRead CheckOpenTarget(const AtrTarget& target) {
  const detail::HidFunctions* hid =
      target.kind == SLOT_HID ? detail::BoundHidFunctions() : nullptr;
  if (target.kind == SLOT_HID && (hid == nullptr || !hid->getAttributes)) {
    return AtrRead::kSkipped;
  }
  const auto index = static_cast<std::uint32_t>(target.index);
  if (!TryAcquireHold(index)) return AtrRead::kSkipped;
  const HoldGuard hold(index, std::adopt_lock);
  {
    std::lock_guard guard(DeviceTableLock());
    if (!StillTarget(target)) return AtrRead::kSkipped;
  }
  if (hid != nullptr) {
    os::HidAttributes attributes{};
    attributes.Size = sizeof(attributes);
    if (hid->getAttributes(target.open, &attributes) != 0) {
      return AtrRead::kSkipped;
    }
  } else {
    std::uint8_t atr[256];
    DWORD returned = 0;
    if (os::Sys().DeviceIoControl(target.open, IOCTL_VX_GET_ATR, nullptr, 0,
                                  atr, sizeof(atr), &returned, nullptr) != 0) {
      return AtrRead::kSkipped;
    }
  }
  return IsDeviceGoneError(os::Sys().GetLastError()) ? AtrRead::kGone
                                                     : AtrRead::kSkipped;
}

// Reads the ATR of every target and applies what it read to entries that
// still hold the same token. An open entry whose device is found gone is
// released and taken again for the token now at its path, which is then
// read like a new one.
void ReadTargetAtrs(int count) {
  for (int t = 0; t < count; ++t) {
    AtrTarget& target = g_targets[t];
    std::uint8_t atr[256];
    std::uint8_t length = 255;
    const AtrRead read = target.open != INVALID_HANDLE_VALUE
                             ? CheckOpenTarget(target)
                             : ReadClosedTarget(target, atr, &length);
    if (read == AtrRead::kSkipped) continue;

    std::lock_guard guard(DeviceTableLock());
    if (!StillTarget(target)) continue;  // changed meanwhile
    SlotEntry& entry = g_DeviceTable[target.index];
    if (read == AtrRead::kRead) {
      StoreAtr(entry, atr, length);
    } else if (read == AtrRead::kGone) {
      // The token was unplugged and plugged in again at the same path: its
      // connections are lost, and the token now there is a new one.
      ReleaseRemovedEntry(entry);
      TakeEntry(entry, target.kind, target.path, PathHash(target.path));
      target.generation = entry.dwGeneration;
      target.open = INVALID_HANDLE_VALUE;
      --t;  // read it again, as a new entry
    } else {
      ReleaseRemovedEntry(entry);
    }
  }
}

}  // namespace

// Constant-initialised: free before any code of the process runs.
namespace {
constinit TableStorage g_table = FreeTable();
}  // namespace
SlotEntry (&g_DeviceTable)[kTableEntries] = g_table.entries;

const GUID DriverInterfaceGuid = os::kDriverInterfaceClassGuid;
const char kHidHardwareIdPrefix[] = "HID\\Vid_0471&Pid_485e";

std::recursive_mutex& DeviceTableLock() {
  static std::recursive_mutex lock;
  return lock;
}

void InitDeviceTable() {
  std::lock_guard refresh(RefreshLock());
  std::lock_guard guard(DeviceTableLock());
  detail::CloseHeldHandles();
  detail::WithdrawAllOpenings();
  g_table = FreeTable();
}

void RefreshDeviceTable() {
  std::lock_guard refresh(RefreshLock());
  GUID hidClass{};
  GetHidClassGuid(&hidClass);
  struct Kind {
    const GUID* classGuid;
    const char* prefix;
    std::int32_t kind;
  };
  const Kind kinds[] = {{&hidClass, kHidHardwareIdPrefix, SLOT_HID},
                        {&DriverInterfaceGuid, nullptr, SLOT_DRIVER}};
  for (const Kind& kind : kinds) {
    PathList list = nullptr;
    DWORD count = kUsableEntries;
    if (ListDevicePaths(*kind.classGuid, kind.prefix, &list, &count)) {
      // Released however the update ends.
      struct Free {
        PathList list;
        ~Free() { FreePathList(list); }
      } free{list};
      UpdateSlotsOfKind(list, count, kind.kind);
    }
  }
}

bool UpdateSlotsOfKind(PathList list, DWORD count, std::int32_t kind) {
  std::lock_guard refresh(RefreshLock());
  bool placed = true;
  int targets = 0;
  {
    std::lock_guard guard(DeviceTableLock());
    DWORD items = 0;
    while (list != nullptr && items < count && list[items] != nullptr) ++items;
    items = std::min<DWORD>(items, 2 * kUsableEntries);

    // Drop the entries whose token is gone; note which paths they keep.
    std::uint32_t hashes[2 * kUsableEntries];
    bool kept[2 * kUsableEntries] = {};
    PathIndex listed(items);
    for (DWORD i = 0; i < items; ++i) {
      hashes[i] = PathHash(PathText(list[i]));
      listed.Add(hashes[i], static_cast<int>(i));
    }
    for (int i = 0; i < kUsableEntries; ++i) {
      SlotEntry& entry = g_DeviceTable[i];
      if (entry.dwKind != kind) continue;
      const int item = listed.Find(entry.dwPathHash, [&](int v) {
        return SamePath(PathText(list[v]), entry.szPath);
      });
      if (item < 0) {
        ReleaseRemovedEntry(entry);
      } else {
        kept[item] = true;
      }
    }

    // Give each new path the lowest free entry; a path listed twice gets
    // one entry.
    PathIndex added(items);
    int nextFree = 0;
    for (DWORD i = 0; i < items; ++i) {
      if (kept[i]) continue;
      const char* path = PathText(list[i]);
      if (added.Find(hashes[i], [&](int v) {
            return SamePath(g_DeviceTable[v].szPath, path);
          }) >= 0) {
        continue;
      }
      while (nextFree < kUsableEntries && IsUsed(g_DeviceTable[nextFree])) {
        ++nextFree;
      }
      if (nextFree == kUsableEntries) {
        placed = false;
        break;
      }
      TakeEntry(g_DeviceTable[nextFree], kind, path, hashes[i]);
      added.Add(hashes[i], nextFree);
    }

    // Every entry of the kind has its ATR read, after the lock is released.
    for (int i = 0; i < kUsableEntries; ++i) {
      SlotEntry& entry = g_DeviceTable[i];
      if (entry.dwKind != kind) continue;
      AtrTarget& target = g_targets[targets++];
      target.index = i;
      target.generation = entry.dwGeneration;
      target.kind = kind;
      target.open = entry.hDevice;
      std::memcpy(target.path, entry.szPath, sizeof(target.path));
    }
  }
  ReadTargetAtrs(targets);
  return placed;
}

bool ParseAtr(const std::uint8_t* atr, std::uint32_t atrLength, AtrInfo* info) {
  if (atr == nullptr || info == nullptr || atrLength < 1 || atr[0] != 0x3B) {
    return false;
  }
  common::ParseAtrFields(atr, atrLength, info);
  return true;
}

bool OpenDevicePath(const char* path, DWORD shareMode, HANDLE* handle) {
  *handle = os::Sys().CreateFileA(path, GENERIC_READ | GENERIC_WRITE, shareMode,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  return *handle != INVALID_HANDLE_VALUE && *handle != nullptr;
}

BOOL CloseDeviceHandle(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return 0;
  return os::Sys().CloseHandle(handle);
}

bool OpenSlot(SlotEntry& entry, DWORD shareMode) {
  std::lock_guard guard(DeviceTableLock());
  if (!IsUsed(entry)) return false;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (!OpenDevicePath(entry.szPath, shareMode, &handle)) return false;
  entry.hDevice = handle;
  return true;
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

int CompareNoCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const unsigned char x = Lower(*a);
    const unsigned char y = Lower(*b);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
}

bool EqualNoCase(const char* a, const char* b, std::size_t length) {
  // Eight characters at a time while they last. Words may differ only in the
  // case bit (0x20), and only where that bit turns a letter into its other
  // case.
  constexpr std::uint64_t kCaseBits = 0x2020202020202020ull;
  std::size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a + i, sizeof(x));
    std::memcpy(&y, b + i, sizeof(y));
    std::uint64_t diff = x ^ y;
    if ((diff & ~kCaseBits) != 0) return false;
    for (; diff != 0; diff &= diff - 1) {
      const int shift = std::countr_zero(diff) & ~7;  // the byte's first bit
      const auto c = static_cast<unsigned char>((x >> shift) | 0x20u);
      if (c < 'a' || c > 'z') return false;
    }
  }
  for (; i < length; ++i) {
    if (a[i] != b[i] && Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

}  // namespace detail
}  // namespace vantor::device
