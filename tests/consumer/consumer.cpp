// An application's test against a virtual token, through the installed
// library and the simulated machine's public header only: it lists the
// token, makes a root and stores a file, checks what the card holds, has
// the token refuse a write, and pulls the token out. Exit status 0 when
// every step gives what the headers promise.
#include <vantor/sim.h>
#include <vantor/vantor.h>

#include <cstdio>
#include <vector>

namespace {

int g_failures = 0;

void Expect(bool condition, const char* step) {
  if (!condition) {
    std::printf("consumer: %s failed\n", step);
    ++g_failures;
  }
}

}  // namespace

int main() {
  vantor::sim::Machine machine;
  machine.Install();
  const vantor::sim::TokenId token = machine.Plug({});

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
  Expect(tokens[0].dwVersion == 0x00020300, "the version");

  VXContext& context = tokens[0];
  const unsigned char hello[] = {'h', 'e', 'l', 'l', 'o'};
  Expect(VXOpenDevice(&context) == VX_SUCCESS, "the open");
  Expect(VXMakeDirectory(&context, "\\", 0, VX_ROOT_DIRECTORY) == VX_SUCCESS,
         "the root");
  Expect(VXStoreFile(&context, "1234", 0, hello, 5, 16, nullptr, VX_FILE_CREATE,
                     VX_TYPE_DATA) == VX_SUCCESS,
         "the file");
  const vantor::sim::CardState card = machine.Card(token);
  bool stored = false;
  for (const auto& file : card.root->children) {
    stored |= file.id == 0x1234 && file.content.size() == 16 &&
              file.content[0] == 'h' && file.content[4] == 'o';
  }
  Expect(stored, "the file's content on the card");

  // The token refuses the next write: its status word is the result.
  machine.InjectAnswer(token, {0xD6, {}, {}, 1, {0x6A, 0x84}});
  Expect(VXStoreFile(&context, "1234", 0, hello, 5, 0, nullptr, VX_FILE_UPDATE,
                     VX_TYPE_DATA) == 0x6A84,
         "the refused write");

  machine.Unplug(token);
  Expect(VXStoreFile(&context, "1234", 0, hello, 5, 0, nullptr, VX_FILE_UPDATE,
                     VX_TYPE_DATA) == VX_INVALID_PARAMETER,
         "a write to a pulled token");
  Expect(VXCloseDevice(&context) == VX_INVALID_PARAMETER,
         "the close of a pulled token's context");
  return g_failures == 0 ? 0 : 1;
}
