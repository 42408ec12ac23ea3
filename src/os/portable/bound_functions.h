// The functions that the portable systems (the simulated machine, the Linux
// system) hand out by name from "hid.dll", "setupapi.dll" and "user32.dll".
//
// A function bound by name is a plain pointer and cannot carry the system
// that handed it out: each one asks `Target` for the system to forward to at
// the time of the call, and fails with ERROR_INVALID_FUNCTION when there is
// none (a binding kept after its system went away).
#pragma once

#include <cstring>

#include "os/portable/portable_system.h"

namespace os {

// The modules whose functions a portable system binds by name.
enum class BoundModule { Hid, SetupApi, User32 };

template <PortableSystem* (*Target)()>
class BoundFunctions {
 public:
  // The function `name` of `module`; null when the module has none.
  static FARPROC Find(BoundModule module, const char* name) {
    struct Export {
      BoundModule module;
      const char* name;
      FARPROC address;
    };
    static const Export kExports[] = {
        {BoundModule::Hid, "HidD_GetHidGuid", Far(&GetHidGuid)},
        {BoundModule::Hid, "HidD_GetFeature", Far(&GetFeature)},
        {BoundModule::Hid, "HidD_SetFeature", Far(&SetFeature)},
        {BoundModule::Hid, "HidD_GetAttributes", Far(&GetAttributes)},
        {BoundModule::SetupApi, "SetupDiEnumDeviceInterfaces",
         Far(&EnumDeviceInterfaces)},
        {BoundModule::SetupApi, "SetupDiGetDeviceInterfaceDetailA",
         Far(&GetDeviceInterfaceDetail)},
        {BoundModule::User32, "RegisterDeviceNotificationA",
         Far(&RegisterNotification)},
        {BoundModule::User32, "UnregisterDeviceNotification",
         Far(&UnregisterNotification)},
    };
    if (name == nullptr) return nullptr;
    for (const Export& e : kExports) {
      if (e.module == module && std::strcmp(e.name, name) == 0) {
        return e.address;
      }
    }
    return nullptr;
  }

 private:
  template <typename F>
  static FARPROC Far(F function) {
    // Through void(*)(): the one function pointer type that converts to any
    // other without a warning.
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
  }

  template <typename R>
  static R NoTarget(R result) {
    Sys().SetLastError(ERROR_INVALID_FUNCTION);
    return result;
  }

  static void WINAPI GetHidGuid(LPGUID guid) {
    if (PortableSystem* s = Target()) {
      s->HidD_GetHidGuid(guid);
    } else {
      NoTarget(0);
    }
  }
  static BOOLEAN WINAPI GetFeature(HANDLE device, PVOID report, ULONG length) {
    PortableSystem* s = Target();
    return s != nullptr ? s->HidD_GetFeature(device, report, length)
                        : NoTarget<BOOLEAN>(0);
  }
  static BOOLEAN WINAPI SetFeature(HANDLE device, PVOID report, ULONG length) {
    PortableSystem* s = Target();
    return s != nullptr ? s->HidD_SetFeature(device, report, length)
                        : NoTarget<BOOLEAN>(0);
  }
  static BOOLEAN WINAPI GetAttributes(HANDLE device,
                                      HidAttributes* attributes) {
    PortableSystem* s = Target();
    return s != nullptr ? s->HidD_GetAttributes(device, attributes)
                        : NoTarget<BOOLEAN>(0);
  }
  static BOOL WINAPI EnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info,
                                          const GUID* classGuid, DWORD index,
                                          PSP_DEVICE_INTERFACE_DATA data) {
    PortableSystem* s = Target();
    return s != nullptr ? s->SetupDiEnumDeviceInterfaces(set, info, classGuid,
                                                         index, data)
                        : NoTarget<BOOL>(0);
  }
  static BOOL WINAPI GetDeviceInterfaceDetail(
      HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
      PDWORD requiredSize, PSP_DEVINFO_DATA info) {
    PortableSystem* s = Target();
    return s != nullptr ? s->SetupDiGetDeviceInterfaceDetailA(
                              set, data, detail, detailSize, requiredSize, info)
                        : NoTarget<BOOL>(0);
  }
  static HDEVNOTIFY WINAPI RegisterNotification(HANDLE recipient, LPVOID filter,
                                                DWORD flags) {
    PortableSystem* s = Target();
    return s != nullptr
               ? s->RegisterDeviceNotificationA(recipient, filter, flags)
               : NoTarget<HDEVNOTIFY>(nullptr);
  }
  static BOOL WINAPI UnregisterNotification(HDEVNOTIFY notification) {
    PortableSystem* s = Target();
    return s != nullptr ? s->UnregisterDeviceNotification(notification)
                        : NoTarget<BOOL>(0);
  }
};

}  // namespace os
