// The card command layer: builds command APDUs from the template table,
// sends them through the connection layer and turns status words into
// result codes. It keeps no state: every operation builds its command in a
// buffer of its own and passes the caller's context to SlotTransmit.
//
// Results: VX_SUCCESS, a library code (2 a bad argument or device version,
// 3 a transport failure or an answer too short for what the command reads,
// 17 an output too small), or the card's status word SW1 * 256 + SW2.
#pragma once

#include <cstdint>

#include "commandfile/templates.h"
#include "os/win_types.h"
#include "vantor/vantor_types.h"

// The Windows headers define GetFreeSpace as a macro of their own; the
// operation of that name here is this layer's.
#ifdef GetFreeSpace
#undef GetFreeSpace
#endif

namespace vantor::commandfile {

// Status words the layer looks at.
inline constexpr std::uint32_t kSwSuccess = 0x9000;
inline constexpr std::uint32_t kSwNoRoot = 0x6A81;
inline constexpr std::uint32_t kSwFileNotFound = 0x6A82;
inline constexpr std::uint32_t kSwNotEnoughMemory = 0x6A84;

// A command being built: a copy of its row, then the variable bytes.
class Command {
 public:
  explicit Command(Row row);
  Command& Byte(std::uint32_t position, std::uint8_t value);
  // A 16-bit value, high byte first.
  Command& Word(std::uint32_t position, std::uint32_t value);
  Command& Bytes(std::uint32_t position, const std::uint8_t* data,
                 std::uint32_t length);
  const std::uint8_t* Data() const { return bytes_; }
  // Bytes an exchange sends: the header and P3 data bytes.
  std::uint32_t ExchangeLength() const { return 5u + bytes_[4]; }
  // Bytes a reading command of a fixed row sends: the row's own size.
  std::uint32_t RowLength() const { return row_size_; }

 private:
  std::uint8_t bytes_[256];
  std::uint32_t row_size_;
};

// A response: data bytes, then SW1 SW2.
struct Response {
  static constexpr std::uint32_t kCapacity = 400;
  std::uint8_t bytes[kCapacity];
  std::uint32_t length;
  const std::uint8_t* DataBytes() const { return bytes; }
  std::uint32_t DataLength() const { return length - 2; }
};

// Sends `command` (5 + P3 bytes) and returns 0 on 90 00, else the status
// word; SlotTransmit's failures unchanged; an answer without a status word
// gives 3. Response data is discarded.
std::uint32_t ExchangeApdu(const VXContext* context, const Command& command);

// The pattern of every reading command: sends `length` bytes of `command`
// and returns 0 with the answer in `response` when it ends in 90 00 and
// holds at least `minData` data bytes. A status word other than 90 00 is
// returned; an answer with no status word, or with fewer data bytes than
// the operation reads, gives 3. Outputs are the caller's to fill on 0 only.
std::uint32_t ReadCommand(const VXContext* context, const Command& command,
                          std::uint32_t length, std::uint32_t minData,
                          Response* response);

// The value 0..15 of a hexadecimal digit; -1 for any other character.
int HexDigitValue(char c);
// Converts the first `count` characters of `text` into bytes, skipping
// backslashes: the number of complete bytes written, or -1 when the text is
// shorter than `count`, holds a character that is no hexadecimal digit, or
// would need more than `capacity` bytes. Nothing is written past
// `capacity`.
int ParseHexText(std::uint8_t* out, std::uint32_t capacity, const char* text,
                 std::uint32_t count);
// 1 when `text` is a file identifier text of 4 or 8 characters none of
// whose halves is a reserved identifier; 0 otherwise.
int IsUsableFileId(const char* text);

// --- Device information ---------------------------------------------------

// The device type: the raw byte on 2.0.0; later, 1 for 8x, 2 for Cx, else
// the high four bits.
std::uint32_t GetDeviceType(const VXContext* context, std::uint8_t* out);
std::uint32_t GetSerialNumber(const VXContext* context, std::uint8_t* out,
                              std::uint32_t size, std::uint32_t* outLength);
std::uint32_t GetVmType(const VXContext* context, std::uint8_t* out,
                        std::uint32_t size, std::uint32_t* outLength);
// 16-bit values delivered low byte first.
std::uint32_t GetFreeSpace(const VXContext* context, std::uint8_t* out,
                           std::uint32_t size, std::uint32_t* outLength);
std::uint32_t GetDirFreeSpace(const VXContext* context, std::uint8_t* out,
                              std::uint32_t size, std::uint32_t* outLength);
std::uint32_t GetE2Address(const VXContext* context, std::uint16_t* address);
// Selects the file and delivers its 6-byte information record: identifier
// (16-bit, low byte first), type, one byte left as it was, size (16-bit,
// low byte first).
std::uint32_t GetFileInfo(const VXContext* context, const std::uint8_t id[2],
                          std::uint8_t* out, std::uint32_t size,
                          std::uint32_t* outLength);

// --- The file system ------------------------------------------------------

// 0 at the root, 2 in another directory.
std::uint32_t CheckAtRoot(const VXContext* context);
// 0 with `exists` 1 or (on 6A 81) 0.
std::uint32_t QueryRootExists(const VXContext* context, std::uint32_t* exists);

enum FileKind : std::uint8_t { kRootDir = 0, kDirectory = 1, kFile = 2 };
// File types of kind kFile, and the access flag of executable files.
inline constexpr std::uint8_t kTypeRsaPublic = 6;
inline constexpr std::uint8_t kTypeRsaPrivate = 7;
inline constexpr std::uint8_t kTypeExe = 8;
inline constexpr std::uint8_t kTypeData = 9;
inline constexpr std::uint8_t kTypeExeEx = 11;
inline constexpr std::uint32_t kExeAccessFlag = 0x100;
std::uint32_t CreateCardFile(const VXContext* context, const std::uint8_t id[2],
                             std::uint32_t size, std::uint8_t kind,
                             std::uint8_t type, std::uint32_t accessFlag);
std::uint32_t FinishDirectory(const VXContext* context);
// Mode 0: the root; mode 1: the directory `id` of the current one.
std::uint32_t SelectDirectory(const VXContext* context,
                              const std::uint8_t id[2], std::uint8_t mode);
std::uint32_t SelectFile(const VXContext* context, const std::uint8_t id[2]);
std::uint32_t EraseCurrentDir(const VXContext* context);
std::uint32_t CreateAppListFile(const VXContext* context);
// Entries the application list holds.
inline constexpr std::uint32_t kMaxAppListEntries = 128;
// A full list is refused with 6A 84 (not enough memory) and left as it is.
std::uint32_t AddToAppList(const VXContext* context, const std::uint8_t id[2]);
// Fills memory from `address` up to 0x8000; on success adds
// 0x8000 - address to `total`.
std::uint32_t CreateFillerFile(const VXContext* context, std::uint16_t address,
                               std::uint32_t* total);
std::uint32_t SetDirParameter(const VXContext* context, std::uint8_t value,
                              std::uint32_t* done);
std::uint32_t CreateAtrFile(const VXContext* context);

}  // namespace vantor::commandfile
