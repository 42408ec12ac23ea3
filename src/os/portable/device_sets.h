// Device information sets for systems that answer the device setup calls
// themselves (the simulated machine, the Linux system).
//
// SetupDiGetClassDevsA takes a snapshot: the system lists the devices of one
// interface class that it has now, and the set keeps that list until it is
// destroyed, whatever comes or goes meanwhile. Every device of a set has
// one or more interfaces of the set's class; interfaces are enumerated
// device after device, so a device with several makes the interface index
// and the device index of later devices differ. The calls over a set check
// their records as Windows does:
// - a null record is ERROR_INVALID_PARAMETER, a record whose cbSize is not
//   this build's size is ERROR_INVALID_USER_BUFFER;
// - a device or interface record that names no member of the set is
//   ERROR_INVALID_PARAMETER; enumerating past the end is ERROR_NO_MORE_ITEMS;
// - the hardware id property and the interface detail report the size they
//   need and answer ERROR_INSUFFICIENT_BUFFER to a smaller buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "os/win_types.h"

namespace os {

// The HID interface class, {4D1E55B2-F16F-11CF-88CB-001111000030}.
inline constexpr GUID kHidInterfaceClassGuid = {
    0x4D1E55B2,
    0xF16F,
    0x11CF,
    {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// The device setup class of HID devices,
// {745A17A0-74D3-11D0-B6FE-00A0C90F57DA}.
inline constexpr GUID kHidSetupClassGuid = {
    0x745A17A0,
    0x74D3,
    0x11D0,
    {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};

bool SameGuid(const GUID& a, const GUID& b);

// The REG_MULTI_SZ form of `texts`: each zero-terminated, and an empty text
// at the end.
std::string MultiString(const std::vector<std::string>& texts);

// One device of a set and its interface, as the set's calls report them.
struct DeviceRecord {
  std::string path;         // the path of its (first) interface
  std::string hardwareIds;  // SPDRP_HARDWAREID; empty: no such property
  GUID setupClass{};        // SP_DEVINFO_DATA::ClassGuid
  DWORD devInst = 0;        // SP_DEVINFO_DATA::DevInst
  std::vector<std::string> morePaths;  // its further interfaces, in order
};

// The sets of one system by handle. It takes no lock: the system guards it
// with its own mutex. Each call answers 0 on success or the error that the
// system sets as the last error before failing.
class DeviceSetTable {
 public:
  // Adds the set `handle`, a new handle of the system, listing `devices` of
  // `interfaceClass` in order.
  void Add(HDEVINFO handle, const GUID& interfaceClass,
           std::vector<DeviceRecord> devices);
  // Removes a set; false when `handle` is none.
  bool Remove(HDEVINFO handle);
  std::size_t Count() const { return sets_.size(); }

  DWORD EnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA info) const;
  DWORD GetDeviceRegistryProperty(HDEVINFO set, PSP_DEVINFO_DATA info,
                                  DWORD property, PDWORD regType, PBYTE buffer,
                                  DWORD bufferSize, PDWORD requiredSize) const;
  // `failingIndex`, when given, is an index whose enumeration fails with
  // ERROR_GEN_FAILURE once the records have passed their checks.
  DWORD EnumDeviceInterfaces(
      HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* classGuid, DWORD index,
      PSP_DEVICE_INTERFACE_DATA data,
      std::optional<DWORD> failingIndex = std::nullopt) const;
  DWORD GetDeviceInterfaceDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                 DWORD detailSize, PDWORD requiredSize,
                                 PSP_DEVINFO_DATA info) const;

 private:
  // An interface of a set: its device's index and its own among the
  // device's interfaces.
  struct Interface {
    std::size_t device = 0;
    std::size_t number = 0;
  };
  struct Set {
    GUID interfaceClass{};
    std::vector<DeviceRecord> devices;
    std::vector<Interface> interfaces;        // device after device
    std::vector<std::size_t> firstInterface;  // by device
  };

  const Set* Find(HDEVINFO set) const;
  // The device that a device record's Reserved word (index + 1) names, or
  // null.
  static const DeviceRecord* Member(const Set& set, ULONG_PTR reserved);
  // The interface that an interface record's Reserved word (index + 1)
  // names, or null.
  static const Interface* InterfaceOf(const Set& set, ULONG_PTR reserved);
  static void FillDeviceInfo(const DeviceRecord& device, ULONG_PTR reserved,
                             PSP_DEVINFO_DATA info);

  std::map<std::uintptr_t, Set> sets_;
};

}  // namespace os
