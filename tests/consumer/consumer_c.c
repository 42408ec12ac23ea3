/* Lists the tokens of this machine through the installed shared library,
 * from C: exit status 0 when the listing answers as it should. */
#include <stdio.h>
#include <vantor/vantor.h>

int main(void) {
  uint32_t length = 0;
  const uint32_t result = VXListDevices(NULL, &length);
  printf("consumer_c: listing gave %u, %u bytes\n", (unsigned)result,
         (unsigned)length);
  if (VXListDevices(NULL, NULL) != VX_INVALID_PARAMETER) return 1;
  return (result == VX_SUCCESS && length == 0) ||
                 (result == VX_BUFFER_TOO_SMALL && length % 92 == 0)
             ? 0
             : 1;
}
