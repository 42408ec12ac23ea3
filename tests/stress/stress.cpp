// Stress program: several threads, each with a token of its own, list,
// open, exchange and close in a loop while another thread unplugs and
// re-plugs random tokens; a card call (serial number) runs on every cycle.
// Writers share tokens of their own (two a token, each on a context of its
// own): each cycle enters the token's work directory, presents the user PIN
// and writes its own file with its own byte pattern, checking beforehand
// what the token holds in it; a lister lists all along. Every result must
// be one its call documents, no writer's bytes may reach another's file or
// another directory, and at the end nothing may be left open. Meant for
// ThreadSanitizer (preset tsan).
//
//   stress [CYCLES [THREADS [WRITERS]]]
//     (default 2000 cycles per thread, 4 threads, 4 writers; at most 8
//     threads and 6 writers)
//
// Prints the calls per result, the re-plugs and the cross-writes; exit
// status 1 on a finding.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "device/testing.h"
#include "sim/testing.h"
#include "vantor/vantor.h"

namespace {

namespace sim = vantor::sim;

std::atomic<int> g_findings{0};
std::mutex g_resultsMutex;
std::map<std::string, int> g_results;

void Expect(const char* call, std::uint32_t result,
            std::initializer_list<std::uint32_t> codes) {
  bool documented = false;
  for (std::uint32_t code : codes) documented |= code == result;
  {
    std::lock_guard<std::mutex> lock(g_resultsMutex);
    ++g_results[std::string(call) + " " + std::to_string(result)];
  }
  if (!documented && g_findings.fetch_add(1) < 10) {
    std::fprintf(stderr, "stress: %s returned %u (0x%X)\n", call, result,
                 result);
  }
}

// One caller: finds its token by device id in each listing.
void Caller(int id, int cycles) {
  std::vector<VXContext> contexts(8);
  for (int cycle = 0; cycle < cycles; ++cycle) {
    std::uint32_t length =
        static_cast<std::uint32_t>(contexts.size() * sizeof(VXContext));
    const std::uint32_t listed = VXListDevices(contexts.data(), &length);
    Expect("list", listed, {VX_SUCCESS});
    if (listed != VX_SUCCESS) continue;
    VXContext* mine = nullptr;
    for (std::size_t i = 0; i < length / sizeof(VXContext); ++i) {
      if (contexts[i].bDeviceId[0] == static_cast<std::uint8_t>(id + 1)) {
        mine = &contexts[i];
      }
    }
    if (mine == nullptr) continue;  // unplugged right now
    const std::uint32_t opened = VXOpenDevice(mine);
    Expect("open", opened, {VX_SUCCESS, VX_INVALID_PARAMETER, VX_DEVICE_BUSY});
    if (opened != VX_SUCCESS) continue;
    std::uint8_t out[16];
    std::uint32_t returned = 0;
    Expect("control",
           VXControl(mine, VX_CONTROL_TYPE_4, nullptr, 0, out, sizeof(out),
                     &returned),
           {VX_SUCCESS, VX_INVALID_PARAMETER, VX_COMM_ERROR});
    Expect("serial",
           VXControl(mine, VX_GET_SERIAL_NUMBER, nullptr, 0, out, sizeof(out),
                     &returned),
           {VX_SUCCESS, VX_INVALID_PARAMETER, VX_COMM_ERROR});
    Expect("close", VXCloseDevice(mine), {VX_SUCCESS, VX_INVALID_PARAMETER});
  }
}

// --- Writers on shared tokens ------------------------------------------------

// Every writer works in its token's directory 2000 under 1000 under the
// root, entered by one of the path forms that name it.
constexpr std::uint16_t kOuterDirectory = 0x1000;
constexpr std::uint16_t kWorkDirectory = 0x2000;
constexpr const char* kWorkPaths[] = {"\\10002000", "1000\\2000",
                                      "\\1000\\2000", "1000\\2000\\"};
// Writer w's file is 5000 + w: three writes of at most 203 bytes each.
constexpr std::uint16_t kFirstFile = 0x5000;
constexpr std::uint32_t kFileSize = 600;
constexpr int kWritersPerToken = 2;
constexpr int kMaxWriters = 6;  // the tag below has 3 bits, 0 for none
// The user PIN that new security files hold.
constexpr std::uint8_t kUserPin[] = {'2', '4', '6', '8', '1', '3', '5', '7'};
// A card call refused because of the card's state: the file exists.
constexpr std::uint32_t kFileExists = 0x6A89;

// Writer w's byte at offset i: its tag w + 1 in the high 3 bits, the
// offset's low 5 bits below, so that both a foreign byte and one of its
// own at the wrong place show.
std::uint8_t PatternByte(int writer, std::uint32_t offset) {
  const auto tag = static_cast<std::uint32_t>(writer + 1);
  return static_cast<std::uint8_t>((tag << 5) | (offset & 0x1F));
}

std::vector<std::uint8_t> Pattern(int writer) {
  std::vector<std::uint8_t> bytes(kFileSize);
  for (std::uint32_t i = 0; i < kFileSize; ++i)
    bytes[i] = PatternByte(writer, i);
  return bytes;
}

std::string FileId(int writer) {
  char text[16];
  std::snprintf(text, sizeof(text), "%04X",
                static_cast<unsigned>(kFirstFile + writer));
  return text;
}

// Cross-writes seen: bytes in a writer's file that are not its own at their
// place (zero bytes, never written, aside), and bytes written into the
// decoys, the files with the writers' ids in the root and in 1000.
std::atomic<long long> g_crossBytes{0};
std::atomic<int> g_crossChecks{0};
std::atomic<long long> g_wrongDirectoryBytes{0};

const sim::CardState::File* Child(const sim::CardState::File& directory,
                                  std::uint16_t id) {
  for (const auto& child : directory.children) {
    if (child.id == id) return &child;
  }
  return nullptr;
}

const sim::CardState::File* WorkDirectory(const sim::CardState& card) {
  if (!card.root) return nullptr;
  const sim::CardState::File* outer = Child(*card.root, kOuterDirectory);
  return outer == nullptr ? nullptr : Child(*outer, kWorkDirectory);
}

// The bytes of `file` that are not writer `writer`'s at their place.
long long ForeignBytes(const sim::CardState::File& file, int writer) {
  long long foreign = 0;
  for (std::uint32_t i = 0; i < file.content.size(); ++i) {
    const std::uint8_t byte = file.content[i];
    foreign += byte != 0 && byte != PatternByte(writer, i);
  }
  return foreign;
}

void CountCrossBytes(long long bytes) {
  if (bytes == 0) return;
  g_crossBytes.fetch_add(bytes);
  g_crossChecks.fetch_add(1);
}

// Checks writer `writer`'s file in the work directory as the token holds it;
// false when the file is not there.
bool CheckOwnFile(const sim::TestMachine& machine, sim::TokenId token,
                  int writer) {
  const sim::CardState card = machine.Card(token);
  const sim::CardState::File* work = WorkDirectory(card);
  const sim::CardState::File* file =
      work == nullptr
          ? nullptr
          : Child(*work, static_cast<std::uint16_t>(kFirstFile + writer));
  if (file != nullptr) CountCrossBytes(ForeignBytes(*file, writer));
  return file != nullptr;
}

bool IsWriterFile(const sim::CardState::File& file, int writers) {
  return !file.directory && file.id >= kFirstFile &&
         file.id < kFirstFile + writers;
}

// Counts the written bytes of the decoys of `directory` and below, the work
// directory aside.
void CountDecoyBytes(const sim::CardState::File& directory, int writers) {
  for (const auto& child : directory.children) {
    if (child.directory && child.id != kWorkDirectory) {
      CountDecoyBytes(child, writers);
    } else if (IsWriterFile(child, writers)) {
      for (const std::uint8_t byte : child.content) {
        g_wrongDirectoryBytes.fetch_add(byte != 0);
      }
    }
  }
}

// At the end: every writer file of the token, and the decoys.
void CheckToken(const sim::TestMachine& machine, sim::TokenId token,
                int writers) {
  const sim::CardState card = machine.Card(token);
  if (card.root) CountDecoyBytes(*card.root, writers);
  const sim::CardState::File* work = WorkDirectory(card);
  if (work == nullptr) return;
  for (const auto& file : work->children) {
    if (IsWriterFile(file, writers)) {
      CountCrossBytes(ForeignBytes(file, file.id - kFirstFile));
    }
  }
}

// The listed context of the token whose device id starts with `deviceByte`,
// or null when it is not attached right now.
VXContext* Find(std::vector<VXContext>& contexts, std::uint8_t deviceByte) {
  std::uint32_t length =
      static_cast<std::uint32_t>(contexts.size() * sizeof(VXContext));
  const std::uint32_t listed = VXListDevices(contexts.data(), &length);
  Expect("list", listed, {VX_SUCCESS});
  if (listed != VX_SUCCESS) return nullptr;
  for (std::size_t i = 0; i < length / sizeof(VXContext); ++i) {
    if (contexts[i].bDeviceId[0] == deviceByte) return &contexts[i];
  }
  return nullptr;
}

// Zero-filled files with the writers' ids in the current directory: a write
// meant for the work directory that lands here shows in them, and a create
// meant for it is refused here.
bool MakeDecoys(VXContext* token, int writers) {
  for (int writer = 0; writer < writers; ++writer) {
    if (VXStoreFile(token, FileId(writer).c_str(), 0, nullptr, 0, kFileSize,
                    nullptr, VX_FILE_CREATE, VX_TYPE_DATA) != VX_SUCCESS) {
      return false;
    }
  }
  return true;
}

// Gives a writers' token its root, 1000 and the work directory, and the
// decoys, through the library before the threads start.
bool PrepareToken(std::uint8_t deviceByte, int writers) {
  std::vector<VXContext> contexts(16);
  VXContext* token = Find(contexts, deviceByte);
  if (token == nullptr || VXOpenDevice(token) != VX_SUCCESS) return false;
  const bool made =
      VXMakeDirectory(token, "\\", 0, VX_ROOT_DIRECTORY) == VX_SUCCESS &&
      MakeDecoys(token, writers) &&
      VXMakeDirectory(token, "1000", 0x3000, VX_SUB_DIRECTORY) == VX_SUCCESS &&
      MakeDecoys(token, writers) &&
      VXMakeDirectory(token, "2000", 0x2000, VX_SUB_DIRECTORY) == VX_SUCCESS;
  return VXCloseDevice(token) == VX_SUCCESS && made;
}

// The card results a writer's call may give: a context gone stale or a
// token gone mid-call, besides success; and 6A 82 (not found): a listed
// context names its table entry, and a re-plug between the writer's
// listing and its open may have given that entry to the other writers'
// token, whose work directory lacks this writer's file. Bytes that land in
// a wrong file or directory are still counted as cross-writes.
constexpr std::uint32_t kNotFound = 0x6A82;
constexpr std::initializer_list<std::uint32_t> kCardResults = {
    VX_SUCCESS, VX_INVALID_PARAMETER, VX_COMM_ERROR, kNotFound};

struct WriterTask {
  const sim::TestMachine* machine;
  sim::TokenId token;
  std::uint8_t deviceByte;
  int writer;
  int cycles;
};

// One cycle's card calls on writer `task.writer`'s open context: enters the
// work directory (writing nothing when that fails), presents the user PIN,
// and creates its file until the token holds it there (`created`), then
// rewrites it whole, checking it before each rewrite.
void WriteOnce(const WriterTask& task, VXContext* mine, int cycle,
               const std::vector<std::uint8_t>& pattern, const std::string& id,
               bool& created) {
  const std::uint32_t entered = VXEnterDirectory(
      mine,
      kWorkPaths[static_cast<std::size_t>(cycle) % std::size(kWorkPaths)]);
  Expect("enter", entered, kCardResults);
  if (entered != VX_SUCCESS) return;
  Expect("pin", VXPresentPin(mine, kUserPin, sizeof(kUserPin), VX_USER_PIN),
         kCardResults);
  std::uint32_t written = 0;
  if (!created) {
    Expect("store create",
           VXStoreFile(mine, id.c_str(), 0, pattern.data(), kFileSize,
                       kFileSize, &written, VX_FILE_CREATE, VX_TYPE_DATA),
           {VX_SUCCESS, VX_INVALID_PARAMETER, VX_COMM_ERROR, kFileExists});
    // Exists: an earlier create went through before its token went away.
    created = CheckOwnFile(*task.machine, task.token, task.writer);
    return;
  }
  CheckOwnFile(*task.machine, task.token, task.writer);
  Expect("store update",
         VXStoreFile(mine, id.c_str(), 0, pattern.data(), kFileSize, 0,
                     &written, VX_FILE_UPDATE, VX_TYPE_DATA),
         kCardResults);
}

// One writer: opens its token shared, on a context of its own, for every
// cycle's card calls.
void Writer(const WriterTask& task) {
  const std::vector<std::uint8_t> pattern = Pattern(task.writer);
  const std::string id = FileId(task.writer);
  std::vector<VXContext> contexts(16);
  bool created = false;
  for (int cycle = 0; cycle < task.cycles; ++cycle) {
    VXContext* mine = Find(contexts, task.deviceByte);
    if (mine == nullptr) continue;
    const std::uint32_t opened = VXOpenDevice(mine);
    Expect("open", opened, {VX_SUCCESS, VX_INVALID_PARAMETER, VX_DEVICE_BUSY});
    if (opened != VX_SUCCESS) continue;
    WriteOnce(task, mine, cycle, pattern, id, created);
    Expect("close", VXCloseDevice(mine), {VX_SUCCESS, VX_INVALID_PARAMETER});
  }
}

// Lists all along, resting up to 1 ms between listings.
void Lister(const std::atomic<bool>& done) {
  std::mt19937 random(54321);
  std::vector<VXContext> contexts(16);
  while (!done.load()) {
    std::uint32_t length =
        static_cast<std::uint32_t>(contexts.size() * sizeof(VXContext));
    Expect("lister list", VXListDevices(contexts.data(), &length),
           {VX_SUCCESS});
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 1000));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int cycles = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int threads = argc > 2 ? std::atoi(argv[2]) : 4;
  const int writers = argc > 3 ? std::atoi(argv[3]) : 4;
  if (cycles <= 0 || threads <= 0 || threads > 8 || writers < 0 ||
      writers > kMaxWriters) {
    std::fprintf(stderr,
                 "usage: stress [CYCLES [THREADS (1-8) [WRITERS "
                 "(0-6)]]]\n");
    return 2;
  }
  sim::TestMachine machine;
  machine.Install();
  machine.SetLogLimit(256);
  machine.SetWireLog(false);
  std::vector<sim::TokenId> tokens;
  for (int i = 0; i < threads; ++i) {
    sim::TokenConfig config;
    config.mode = i % 2 == 0 ? sim::TokenMode::Usb : sim::TokenMode::Hid;
    config.deviceId[0] = static_cast<std::uint8_t>(i + 1);
    tokens.push_back(machine.Plug(config));
  }
  // The writers' tokens, HID and USB in turn, marked 0x40 + their index.
  std::vector<sim::TokenId> writerTokens;
  for (int i = 0; i * kWritersPerToken < writers; ++i) {
    sim::TokenConfig config;
    config.mode = i % 2 == 0 ? sim::TokenMode::Hid : sim::TokenMode::Usb;
    config.deviceId[0] = static_cast<std::uint8_t>(0x40 + i);
    writerTokens.push_back(machine.Plug(config));
    tokens.push_back(writerTokens.back());
    if (!PrepareToken(config.deviceId[0], writers)) {
      std::fprintf(stderr, "stress: cannot prepare writers' token %d\n", i);
      return 2;
    }
  }

  std::atomic<bool> done{false};
  std::atomic<int> replugs{0};
  std::thread plugger([&] {
    std::mt19937 random(12345);
    while (!done.load()) {
      const sim::TokenId token = tokens[random() % tokens.size()];
      machine.Unplug(token);
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
      machine.Replug(token);
      replugs.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
    }
  });
  std::thread lister(Lister, std::cref(done));
  std::vector<std::thread> callers;
  for (int i = 0; i < threads; ++i) callers.emplace_back(Caller, i, cycles);
  for (int i = 0; i < writers; ++i) {
    const int token = i / kWritersPerToken;
    const WriterTask task{&machine,
                          writerTokens[static_cast<std::size_t>(token)],
                          static_cast<std::uint8_t>(0x40 + token), i, cycles};
    callers.emplace_back(Writer, task);
  }
  for (std::thread& caller : callers) caller.join();
  done.store(true);
  lister.join();
  plugger.join();
  for (const sim::TokenId token : writerTokens) {
    CheckToken(machine, token, writers);
  }

  // Nothing left: the monitor stops once the last device is closed.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (vantor::device::MonitorThreadRunning() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const sim::MachineCounters counters = machine.Counters();
  if (counters.openFileHandles != 0 || vantor::device::MonitorUsers() != 0 ||
      vantor::device::RetiredHandles() != 0 ||
      vantor::device::MonitorThreadRunning()) {
    std::fprintf(stderr, "stress: left open: %d handles, %d monitor users\n",
                 counters.openFileHandles, vantor::device::MonitorUsers());
    g_findings.fetch_add(1);
  }
  // Every cross-write is a finding: calls on shared contexts of one token
  // must not interleave their commands.
  if (g_crossBytes.load() != 0 || g_wrongDirectoryBytes.load() != 0) {
    std::fprintf(stderr, "stress: cross-writes between shared contexts\n");
    g_findings.fetch_add(1);
  }
  for (const auto& [what, calls] : g_results) {
    std::printf("%-24s %d\n", what.c_str(), calls);
  }
  std::printf("cycles %d x %d threads + %d writers, re-plugs %d, findings %d\n",
              cycles, threads, writers, replugs.load(), g_findings.load());
  std::printf(
      "cross-writes: %lld foreign bytes in %d checks, %lld bytes in a wrong "
      "directory\n",
      g_crossBytes.load(), g_crossChecks.load(), g_wrongDirectoryBytes.load());
  return g_findings.load() == 0 ? 0 : 1;
}
