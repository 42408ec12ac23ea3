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

}  // namespace os
