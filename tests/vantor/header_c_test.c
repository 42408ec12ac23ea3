/* Compiles the public header as C11 and checks the record layout, the
 * constants and the C linkage of the calls. */
#include <stddef.h>
#include <stdio.h>

#include "vantor/vantor.h"

static int failures = 0;

#define CHECK(expr)                                              \
  do {                                                           \
    if (!(expr)) {                                               \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #expr); \
      ++failures;                                                \
    }                                                            \
  } while (0)

_Static_assert(sizeof(VXContext) == 92, "VXContext is 23 words");
_Static_assert(sizeof(VXOpenInfo) == 8, "VXOpenInfo is 2 words");
_Static_assert(sizeof(VXROOTINFO) == 12, "VXROOTINFO is 12 bytes");

int main(void) {
  CHECK(offsetof(VXContext, dwIndex) == 0);
  CHECK(offsetof(VXContext, dwVersion) == 4);
  CHECK(offsetof(VXContext, hDevice) == 8);
  CHECK(offsetof(VXContext, dwReserved1) == 12);
  CHECK(offsetof(VXContext, dwProtocols) == 16);
  CHECK(offsetof(VXContext, dwReserved2) == 20);
  CHECK(offsetof(VXContext, bAtr) == 24);
  CHECK(offsetof(VXContext, bDeviceId) == 80);
  CHECK(offsetof(VXContext, dwAtrLength) == 88);
  CHECK(offsetof(VXOpenInfo, dwShareMode) == 4);
  CHECK(offsetof(VXROOTINFO, bDeviceId) == 4);

  CHECK(VX_SUCCESS == 0);
  CHECK(VX_INVALID_PARAMETER == 2);
  CHECK(VX_BUFFER_TOO_SMALL == 17);
  CHECK(VX_DIRECTORY_TOO_SMALL == 516);
  CHECK(VX_ATR_CHANGED == 0xFFFFFFFFu);
  CHECK(VX_SET_DEVICE_MODE == 7);
  CHECK(VX_CONTROL_TYPE_4_DATA == 40);
  CHECK(VX_GET_FILE_INFO == 50);
  CHECK(VX_ROOT_DIRECTORY == 0xAB && VX_APP_DIRECTORY == 0xAD);
  CHECK(VX_USER_PIN == 0xA1 && VX_DEV_PIN == 0xA2 && VX_AUTH_KEY == 0xA3);
  CHECK(VX_DEV_PIN_NOT_RESTORED == 517 && VX_ROOT_NOT_REMOVED == 518);

  /* The calls link from C under their plain names; refused arguments are
   * answered without touching a device. */
  {
    uint32_t(VXAPI * list)(VXContext*, uint32_t*) = VXListDevices;
    uint32_t(VXAPI * open_ex)(VXContext*, const VXOpenInfo*) = VXOpenDeviceEx;
    VXContext context = {0};
    context.hDevice = 0xFFFFFFFFu;
    CHECK(list(NULL, NULL) == VX_INVALID_PARAMETER);
    CHECK(VXOpenDevice(NULL) == VX_INVALID_PARAMETER);
    CHECK(open_ex(&context, NULL) == VX_INVALID_PARAMETER);
    CHECK(VXCloseDevice(&context) == VX_INVALID_PARAMETER);
    CHECK(VXControl(&context, VX_SET_DEVICE_MODE, NULL, 0, NULL, 0, NULL) ==
          VX_INVALID_PARAMETER);
    CHECK(VXMakeDirectory(&context, "\\", 0, VX_ROOT_DIRECTORY) ==
          VX_INVALID_PARAMETER);
    CHECK(VXMakeDirectoryEx(&context, "\\", 0, VX_ROOT_DIRECTORY, NULL) ==
          VX_INVALID_PARAMETER);
    CHECK(VXEnterDirectory(&context, "\\") == VX_INVALID_PARAMETER);
    CHECK(VXClearDirectory(&context, 0) == VX_INVALID_PARAMETER);
    CHECK(VXPresentPin(&context, NULL, 8, VX_USER_PIN) == VX_INVALID_PARAMETER);
    CHECK(VXSetPinOrKey(&context, NULL, 0, NULL, 8, VX_AUTH_KEY) ==
          VX_INVALID_PARAMETER);
    CHECK(VXStoreFile(&context, "1A2B", 0, NULL, 0, 16, NULL, VX_FILE_CREATE,
                      VX_TYPE_DATA) == VX_INVALID_PARAMETER);
    CHECK(VXExecute(&context, "1A2B", NULL, 0, NULL, 0, NULL) ==
          VX_INVALID_PARAMETER);
    CHECK(VXExecuteEx(&context, "1A2B", VX_EXECUTE_BY_ID, NULL, 0, NULL, 0,
                      NULL) == VX_INVALID_PARAMETER);
  }

  if (failures == 0) {
    printf("header: all checks passed\n");
  }
  return failures == 0 ? 0 : 1;
}
