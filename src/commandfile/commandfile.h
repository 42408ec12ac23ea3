// The card command layer: builds command APDUs from the template table,
// sends them through the connection layer and turns status words into
// result codes. It keeps no state: every operation builds its command in a
// buffer of its own and passes the caller's context to SlotTransmit.
//
// Results: VX_SUCCESS, a library code (VX_INVALID_PARAMETER a bad argument
// or device version, VX_COMM_ERROR a transport failure or an answer too
// short for what the command reads, VX_BUFFER_TOO_SMALL an output too
// small), or the card's status word SW1 * 256 + SW2.
#pragma once

#include <cstdint>

#include "commandfile/templates.h"
#include "vantor/vantor_types.h"

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

 protected:
  // Sets all its bytes to zero where the compiler cannot leave it out.
  void Wipe();

 private:
  std::uint8_t bytes_[256];
  std::uint32_t row_size_;
};

// A command that carries a PIN or key: its bytes are wiped when it goes out
// of scope. Other commands carry nothing secret and are not wiped.
class SecretCommand : public Command {
 public:
  explicit SecretCommand(Row row) : Command(row) {}
  ~SecretCommand() { Wipe(); }
  SecretCommand(const SecretCommand&) = delete;
  SecretCommand& operator=(const SecretCommand&) = delete;
};

// A response: data bytes, then SW1 SW2.
struct Response {
  static constexpr std::uint32_t kCapacity = 400;
  std::uint8_t bytes[kCapacity];
  std::uint32_t length;
  std::uint32_t DataLength() const { return length - 2; }
};

// Sends `command` (5 + P3 bytes) and returns VX_SUCCESS on 90 00, else the
// status word; SlotTransmit's failures unchanged; an answer without a
// status word gives VX_COMM_ERROR. Response data is discarded.
std::uint32_t ExchangeApdu(const VXContext* context, const Command& command);

// The pattern of every reading command: sends `length` bytes of `command`
// and returns VX_SUCCESS with the answer in `response` when it ends in
// 90 00 and holds at least `minData` data bytes. A status word other than
// 90 00 is returned; an answer with no status word, or with fewer data
// bytes than the operation reads, gives VX_COMM_ERROR. Outputs are the
// caller's to fill on success only.
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
std::uint32_t GetTokenFreeSpace(const VXContext* context, std::uint8_t* out,
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

// VX_SUCCESS at the root, VX_INVALID_PARAMETER in another directory.
std::uint32_t CheckAtRoot(const VXContext* context);
// VX_SUCCESS with `exists` 1 or (on 6A 81) 0.
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
// The entry is written before the count is raised, so a failed write leaves
// the counted list as it was.
std::uint32_t AddToAppList(const VXContext* context, const std::uint8_t id[2]);
// Fills memory from `address` up to 0x8000; on success adds
// 0x8000 - address to `total`.
std::uint32_t CreateFillerFile(const VXContext* context, std::uint16_t address,
                               std::uint32_t* total);
std::uint32_t SetDirParameter(const VXContext* context, std::uint8_t value,
                              std::uint32_t* done);
std::uint32_t CreateAtrFile(const VXContext* context);

// --- PINs and keys ----------------------------------------------------------

// PIN kinds, as the public calls pass them.
inline constexpr std::uint32_t kUserPinKind = 0xA1;
inline constexpr std::uint32_t kDevPinKind = 0xA2;
inline constexpr std::uint32_t kAuthKeyKind = 0xA3;
inline constexpr std::uint32_t kUserPinLength = 8;
inline constexpr std::uint32_t kDevPinLength = 24;

// Presents a PIN of the current directory: the developer PIN (kind 0xA2, 24
// bytes) part by part, stopping at the first part refused; any other kind
// the 8-byte user PIN.
std::uint32_t VerifyPin(const VXContext* context, const std::uint8_t* value,
                        std::uint32_t kind);
std::uint32_t ChangeUserPin(const VXContext* context,
                            const std::uint8_t* current,
                            const std::uint8_t* next);
// Changes the developer PIN part by part. When part 2 or 3 fails, the parts
// already changed are set back and the part's failure is returned; when
// setting them back fails too, VX_DEV_PIN_NOT_RESTORED.
std::uint32_t ChangeDevPin(const VXContext* context,
                           const std::uint8_t* current,
                           const std::uint8_t* next);
// Sets the first `parts` (1 or 2) developer PIN parts from `next` back to
// `current`.
std::uint32_t RestoreDevPinParts(const VXContext* context,
                                 const std::uint8_t* current,
                                 const std::uint8_t* next, std::uint32_t parts);
// Replaces the internal (device type 1) or the external authentication key
// with an 8- or 16-byte key; other lengths give VX_INVALID_PARAMETER.
std::uint32_t UpdateAuthKey(const VXContext* context, const std::uint8_t* key,
                            std::uint32_t length, std::uint8_t deviceType);
std::uint32_t CreateKeyFile(const VXContext* context);
std::uint32_t CreateControlFile(const VXContext* context);
std::uint32_t InstallDevPins(const VXContext* context);
std::uint32_t InstallUserPin(const VXContext* context);
std::uint32_t InstallInternalAuthKey(const VXContext* context);
std::uint32_t InstallExternalAuthKey(const VXContext* context);
// The security files of a directory on device type 0.
std::uint32_t InstallSecurityFiles(const VXContext* context);
// The root's security files on other device types.
std::uint32_t InstallRootSecurityFiles(const VXContext* context,
                                       std::uint8_t deviceType);
// Another directory's security files on other device types.
std::uint32_t InstallDirSecurityFiles(const VXContext* context);
// Creates the two key files and has the token generate a key pair into them.
std::uint32_t CreateRsaKeyPairFiles(const VXContext* context,
                                    const std::uint8_t publicId[2],
                                    const std::uint8_t privateId[2]);

// --- Writing files and the device id ----------------------------------------

// File data per write command.
inline constexpr std::uint32_t kChunkLength = 203;
inline constexpr std::uint32_t kDeviceIdLength = 8;

// Writes `chunks` full chunks and then `remainder` bytes (below 203) into
// the selected file from `offset` on. `written` (not null) grows by each
// accepted command's bytes and is set to 0 when one fails. A write whose
// end would pass 0xFFFF is refused with VX_INVALID_PARAMETER before
// anything is sent.
std::uint32_t UpdateBinary(const VXContext* context, std::uint16_t offset,
                           const std::uint8_t* data, std::uint32_t chunks,
                           std::uint32_t remainder, std::uint32_t* written);
// The same into the file `id` of the current directory, named in each
// command (no selection needed).
std::uint32_t UpdateBinaryById(const VXContext* context,
                               const std::uint8_t id[2], std::uint16_t offset,
                               const std::uint8_t* data, std::uint32_t chunks,
                               std::uint32_t remainder, std::uint32_t* written);
// Writes the 8-byte device id into the root's ATR file (creating it when
// missing), resets the token and takes the context's device id from the new
// ATR; `atrLength` receives the new ATR's length. VX_ATR_CHANGED, with the
// context's device id left as it was, when that length differs from the
// context's.
std::uint32_t SetDeviceId(VXContext* context, const std::uint8_t* id,
                          std::uint32_t count, std::uint32_t* atrLength);

// --- RSA key records and executing files ------------------------------------

// A public key source: the modulus (128 bytes) and a 128-byte exponent
// field, both big-endian; a private key source: 384 unread bytes, then p,
// q, d mod (p-1), d mod (q-1) and q^-1 mod p, 64 bytes each.
inline constexpr std::uint32_t kRsaPublicSourceLength = 256;
inline constexpr std::uint32_t kRsaPrivateSourceLength = 704;
// The tagged records the key files hold, and their files' sizes.
inline constexpr std::uint32_t kRsaPublicRecordLength = 136;
inline constexpr std::uint32_t kRsaPrivateRecordLength = 330;
// Lays out the key source of a file of `type` (6 or 7) as its record in
// `record` (room for kRsaPrivateRecordLength bytes) and sets
// `recordLength`. VX_INVALID_PARAMETER for another type, or for a public
// exponent longer than the record's 4 bytes; nothing is written then.
std::uint32_t BuildRsaKeyRecord(const std::uint8_t* source,
                                std::uint8_t* record,
                                std::uint32_t* recordLength, std::uint8_t type);

// Input limits of the two execute commands: both carry at most 250 data
// bytes, of which the extended form spends 2 on the file identifier.
inline constexpr std::uint32_t kMaxExecuteInput = 250;
inline constexpr std::uint32_t kMaxExecuteByIdInput = 248;
// Runs the file `id` (80 32) on `length` input bytes. The answer's first
// data byte is the run status: 0 delivers the bytes after it to `output`,
// V other than 0 gives V * 0x10000 with `outLength` 0 and nothing copied.
// An output larger than `size` gives VX_BUFFER_TOO_SMALL with `outLength`
// set to its length. An answer without a status byte gives VX_COMM_ERROR.
// Input longer than 250 bytes, or a null input, output or length where
// bytes are due, gives VX_INVALID_PARAMETER unsent.
std::uint32_t ExecuteFile(const VXContext* context, const std::uint8_t id[2],
                          const std::uint8_t* input, std::uint32_t length,
                          std::uint8_t* output, std::uint32_t size,
                          std::uint32_t* outLength);
// The same with the identifier in the command data (80 34 00 01, version
// 2.3.0 on, input at most 248 bytes): all answer data is output.
std::uint32_t ExecuteFileExtended(const VXContext* context,
                                  const std::uint8_t id[2],
                                  const std::uint8_t* input,
                                  std::uint32_t length, std::uint8_t* output,
                                  std::uint32_t size, std::uint32_t* outLength);

}  // namespace vantor::commandfile
