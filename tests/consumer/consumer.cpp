// Lists the tokens of a simulated machine with one virtual token through the
// installed library: exit status 0 when it finds exactly that token.
#include <vantor/sim.h>
#include <vantor/vantor.h>

#include <cstdio>
#include <vector>

int main() {
  vantor::sim::Machine machine;
  machine.Install();
  machine.Plug({});

  std::uint32_t length = 0;
  VXListDevices(nullptr, &length);
  std::vector<VXContext> tokens(length / sizeof(VXContext));
  const std::uint32_t result = VXListDevices(tokens.data(), &length);
  if (result != VX_SUCCESS || tokens.size() != 1) {
    std::printf("consumer: listing gave %u and %u bytes\n", result, length);
    return 1;
  }
  std::printf("consumer: 1 token, version %08X, device id %02X%02X...\n",
              tokens[0].dwVersion, tokens[0].bDeviceId[0],
              tokens[0].bDeviceId[1]);
  return tokens[0].dwVersion == 0x00020300 ? 0 : 1;
}
