/*
 * Vantor token client library: the records and result codes.
 *
 * The vocabulary that every layer of the library shares: the caller's
 * records (device context, open options, root options) and the result codes
 * that every call returns. The public calls themselves are declared in
 * vantor.h, which includes this header.
 */
#ifndef VANTOR_VANTOR_TYPES_H_
#define VANTOR_VANTOR_TYPES_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
#define VX_SUCCESS 0u
#define VX_INVALID_PARAMETER 2u
#define VX_COMM_ERROR 3u
#define VX_DEVICE_BUSY 5u
#define VX_BUFFER_TOO_SMALL 17u
#define VX_PROTOCOL_MISMATCH 20u
#define VX_WRONG_DEVICE_TYPE 32u
#define VX_CROSSES_E2_BOUNDARY 33u
#define VX_NOT_AT_ROOT 513u
#define VX_NO_FILES_IN_ROOT 514u
#define VX_SIZE_OUT_OF_RANGE 515u
#define VX_DIRECTORY_TOO_SMALL 516u
/* A developer-PIN change failed at its second or third part and setting the
 * parts already changed back failed too: the PIN is left partly changed. */
#define VX_DEV_PIN_NOT_RESTORED 517u
/* Root creation with a device id failed, and erasing the new root again
 * failed too: the root is still on the token. */
#define VX_ROOT_NOT_REMOVED 518u
#define VX_ATR_CHANGED 0xFFFFFFFFu

/* NOLINTBEGIN(modernize-use-using): a C header too, where records are
 * typedefs. */

/* Names one listed token. Filled by VXListDevices; opened, used and closed
 * by the other calls. */
typedef struct VXContext {
  uint32_t dwIndex;     /* the token's entry in the device table, 0..126 */
  uint32_t dwVersion;   /* version, one hexadecimal digit per byte:
                           2.3.0 is 0x00020300 */
  uint32_t hDevice;     /* open device; 0xFFFFFFFF while not open */
  uint32_t dwReserved1; /* 2 after listing; while open, the connections
                           this context holds */
  uint32_t dwProtocols; /* protocols an open accepts; must include 4 */
  uint32_t dwReserved2; /* 24000 after listing; while open, the serial
                           number of the device's opening */
  uint8_t bAtr[56];     /* the token's ATR, dwAtrLength bytes valid */
  uint8_t bDeviceId[8]; /* device identifier from the ATR */
  uint32_t dwAtrLength; /* valid bytes in bAtr, 1..56 for a listed token */
} VXContext;

/* Options of VXOpenDeviceEx. */
typedef struct VXOpenInfo {
  uint32_t dwSize;      /* must be 8 */
  uint32_t dwShareMode; /* 0 exclusive, 1 shared */
} VXOpenInfo;

/* Options of root directory creation. */
typedef struct VXROOTINFO {
  uint32_t dwSize;      /* must be 12 */
  uint8_t bDeviceId[8]; /* the device identifier to write into the token */
} VXROOTINFO;

/* NOLINTEND(modernize-use-using) */

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VANTOR_VANTOR_TYPES_H_ */
