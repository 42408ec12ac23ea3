#include "os/portable/device_sets.h"

#include <cstring>
#include <utility>

namespace os {
namespace {

constexpr DWORD kRegMultiSz = 7;
constexpr DWORD kInterfaceActive = 1;  // SPINT_ACTIVE

}  // namespace

bool SameGuid(const GUID& a, const GUID& b) {
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

std::string MultiString(const std::vector<std::string>& texts) {
  std::string list;
  for (const std::string& text : texts) {
    list += text;
    list.push_back('\0');
  }
  list.push_back('\0');
  return list;
}

void DeviceSetTable::Add(HDEVINFO handle, const GUID& interfaceClass,
                         std::vector<DeviceRecord> devices) {
  Set& set = sets_[reinterpret_cast<std::uintptr_t>(handle)];
  set = Set{interfaceClass, std::move(devices), {}, {}};
  for (std::size_t d = 0; d < set.devices.size(); ++d) {
    const DeviceRecord& device = set.devices[d];
    set.firstInterface.push_back(set.interfaces.size());
    for (std::size_t n = 0; n <= device.morePaths.size(); ++n) {
      set.interfaces.push_back(Interface{d, n});
    }
  }
}

bool DeviceSetTable::Remove(HDEVINFO handle) {
  return sets_.erase(reinterpret_cast<std::uintptr_t>(handle)) != 0;
}

const DeviceSetTable::Set* DeviceSetTable::Find(HDEVINFO set) const {
  auto it = sets_.find(reinterpret_cast<std::uintptr_t>(set));
  return it == sets_.end() ? nullptr : &it->second;
}

const DeviceRecord* DeviceSetTable::Member(const Set& set, ULONG_PTR reserved) {
  if (reserved == 0 || reserved > set.devices.size()) return nullptr;
  return &set.devices[reserved - 1];
}

const DeviceSetTable::Interface* DeviceSetTable::InterfaceOf(
    const Set& set, ULONG_PTR reserved) {
  if (reserved == 0 || reserved > set.interfaces.size()) return nullptr;
  return &set.interfaces[reserved - 1];
}

void DeviceSetTable::FillDeviceInfo(const DeviceRecord& device,
                                    ULONG_PTR reserved, PSP_DEVINFO_DATA info) {
  info->ClassGuid = device.setupClass;
  info->DevInst = device.devInst;
  info->Reserved = reserved;
}

DWORD DeviceSetTable::EnumDeviceInfo(HDEVINFO set, DWORD index,
                                     PSP_DEVINFO_DATA info) const {
  const Set* s = Find(set);
  if (s == nullptr) return ERROR_INVALID_HANDLE;
  if (info == nullptr) return ERROR_INVALID_PARAMETER;
  if (info->cbSize != sizeof(SP_DEVINFO_DATA)) return ERROR_INVALID_USER_BUFFER;
  if (index >= s->devices.size()) return ERROR_NO_MORE_ITEMS;
  FillDeviceInfo(s->devices[index], static_cast<ULONG_PTR>(index) + 1, info);
  return 0;
}

DWORD DeviceSetTable::GetDeviceRegistryProperty(HDEVINFO set,
                                                PSP_DEVINFO_DATA info,
                                                DWORD property, PDWORD regType,
                                                PBYTE buffer, DWORD bufferSize,
                                                PDWORD requiredSize) const {
  const Set* s = Find(set);
  if (s == nullptr) return ERROR_INVALID_HANDLE;
  if (info == nullptr) return ERROR_INVALID_PARAMETER;
  if (info->cbSize != sizeof(SP_DEVINFO_DATA)) return ERROR_INVALID_USER_BUFFER;
  const DeviceRecord* device = Member(*s, info->Reserved);
  if (device == nullptr) return ERROR_INVALID_PARAMETER;
  const auto needed = static_cast<DWORD>(device->hardwareIds.size());
  if (property != SPDRP_HARDWAREID || needed == 0) {
    return ERROR_INVALID_DATA;  // the device has no such property
  }
  // The type and the size are reported to a size query as well.
  if (regType != nullptr) *regType = kRegMultiSz;
  if (requiredSize != nullptr) *requiredSize = needed;
  if (buffer == nullptr && bufferSize != 0) return ERROR_INVALID_USER_BUFFER;
  if (buffer == nullptr || bufferSize < needed) {
    return ERROR_INSUFFICIENT_BUFFER;
  }
  // A multi-string: its terminators are among the bytes copied.
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result): terminators copied
  std::memcpy(buffer, device->hardwareIds.data(), needed);
  return 0;
}

DWORD DeviceSetTable::EnumDeviceInterfaces(
    HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* classGuid, DWORD index,
    PSP_DEVICE_INTERFACE_DATA data, std::optional<DWORD> failingIndex) const {
  const Set* s = Find(set);
  if (s == nullptr) return ERROR_INVALID_HANDLE;
  if (data == nullptr || classGuid == nullptr) return ERROR_INVALID_PARAMETER;
  if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
      (info != nullptr && info->cbSize != sizeof(SP_DEVINFO_DATA))) {
    return ERROR_INVALID_USER_BUFFER;
  }
  if (failingIndex && index == *failingIndex) return ERROR_GEN_FAILURE;
  if (!SameGuid(*classGuid, s->interfaceClass)) return ERROR_NO_MORE_ITEMS;
  std::size_t found = index;  // in the set's interfaces
  if (info != nullptr) {
    // The interfaces of one device of the set.
    const DeviceRecord* device = Member(*s, info->Reserved);
    if (device == nullptr) return ERROR_INVALID_PARAMETER;
    if (index > device->morePaths.size()) return ERROR_NO_MORE_ITEMS;
    found = s->firstInterface[info->Reserved - 1] + index;
  } else if (index >= s->interfaces.size()) {
    return ERROR_NO_MORE_ITEMS;
  }
  data->InterfaceClassGuid = s->interfaceClass;
  data->Flags = kInterfaceActive;
  data->Reserved = found + 1;
  return 0;
}

DWORD DeviceSetTable::GetDeviceInterfaceDetail(
    HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
    PDWORD requiredSize, PSP_DEVINFO_DATA info) const {
  constexpr std::size_t kPathOffset =
      offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  const Set* s = Find(set);
  if (s == nullptr) return ERROR_INVALID_HANDLE;
  if (data == nullptr) return ERROR_INVALID_PARAMETER;
  if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return ERROR_INVALID_USER_BUFFER;
  }
  const Interface* found = InterfaceOf(*s, data->Reserved);
  if (found == nullptr) return ERROR_INVALID_PARAMETER;
  const DeviceRecord& device = s->devices[found->device];
  const std::string& path =
      found->number == 0 ? device.path : device.morePaths[found->number - 1];
  const auto needed = static_cast<DWORD>(kPathOffset + path.size() + 1);
  if (requiredSize != nullptr) *requiredSize = needed;
  if (detail == nullptr) {
    // Without a record, only a size query (a zero size) is well formed.
    return detailSize != 0 ? ERROR_INVALID_USER_BUFFER
                           : ERROR_INSUFFICIENT_BUFFER;
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
      detailSize < kPathOffset + 1) {
    return ERROR_INVALID_USER_BUFFER;
  }
  if (detailSize < needed) return ERROR_INSUFFICIENT_BUFFER;
  if (info != nullptr && info->cbSize != sizeof(SP_DEVINFO_DATA)) {
    return ERROR_INVALID_USER_BUFFER;
  }
  // The path goes at the record's path offset, past its declared end.
  std::memcpy(reinterpret_cast<char*>(detail) + kPathOffset, path.c_str(),
              path.size() + 1);
  if (info != nullptr) {
    FillDeviceInfo(device, found->device + 1, info);
  }
  return 0;
}

}  // namespace os
