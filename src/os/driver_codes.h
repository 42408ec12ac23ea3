// The vendor driver's I/O control codes, as the driver defines them:
// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS).
// The device layer sends them; a system behind the seam that plays the
// driver answers them.
#pragma once

#include "os/win_types.h"

namespace os {

inline constexpr DWORD IOCTL_VX_WRITE = 0x22000C;     // function 3
inline constexpr DWORD IOCTL_VX_READ = 0x220010;      // function 4
inline constexpr DWORD IOCTL_VX_GET_ATR = 0x220024;   // function 9
inline constexpr DWORD IOCTL_VX_TRANSFER = 0x220028;  // function 10

// The driver's device interface class {171638F7-1EAD-4873-BA98-C966ABCF0142}.
inline constexpr GUID kDriverInterfaceClassGuid = {
    0x171638F7,
    0x1EAD,
    0x4873,
    {0xBA, 0x98, 0xC9, 0x66, 0xAB, 0xCF, 0x01, 0x42}};

}  // namespace os
