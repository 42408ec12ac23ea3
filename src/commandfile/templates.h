// The command templates: the constant bytes of every command APDU the card
// command layer sends. An operation copies its row into a Command and writes
// the variable bytes (identifiers, offsets, sizes, values) at their
// positions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantor::commandfile {

// One row per command variant. R: commands that read data; E: commands
// sent through ExchangeApdu.
enum class Row : std::uint8_t {
  R1DeviceType200,    // 80 CA 06 00 01 00
  R2DeviceType,       // 80 CA 07 00 01 00
  R3SerialNumber,     // 80 CA 02 00 08 00
  R4FreeSpace,        // 80 CA 08 00 02 00
  R5DirFreeSpace,     // 80 CA 03 00 02 00
  R6CurrentPath,      // 80 CA 04 00 06 00
  R7E2Address,        // 80 CA 09 00 02 00
  R8AppListCount,     // 00 B0 9E 00 01 00
  R9FileInfo,         // 00 A4 02 00 02 i1 i2
  R10Execute,         // 80 32 i1 i2 n [n]
  R11ExecuteById,     // 80 34 00 01 n+2 i1 i2 [n]
  E1AppListCreate,    // 80 E0 02 00 08 00 1E 0F DF 00 00 02 00
  E2AppListZero,      // 00 D6 9E 00 01 00
  E3AppListCount,     // 00 D6 9E 00 01 c+1
  E4AppListEntry,     // 00 D6 9E 2c+1 02 i1 i2
  E5CreateRoot,       // 80 E0 00 00 11 [8] DF DF 00 1E 3F 00 00 00 00
  E6CreateDir,        // 80 E0 01 00 0D i1 i2 DF DF 80 1E s1 s2 i1 i2 00 00 00
  E7CreateFile,       // 80 E0 02 t 08 i1 i2 a1 a2 a3 a4 s1 s2
  E8FinishDir,        // 80 E0 00 01 00
  E9SelectRoot,       // 00 A4 00 00 02 3F 00
  E10SelectDir,       // 00 A4 00 00 02 i1 i2
  E11SelectFile,      // 00 A4 02 00 02 i1 i2
  E12EraseDir,        // 80 0E 00 00 00
  E13VerifyPin,       // 00 20 00 p 08 [8]
  E14ChangePin,       // 80 5E 01 p 10 [8] [8]
  E15AuthKey1Short,   // 80 D4 01 00 0F 00 00 01 0F DF 00 0F [8]
  E16AuthKey1Long,    // 80 D4 01 00 17 00 00 01 0F DF 01 0F [16]
  E17AuthKeyShort,    // 80 D4 01 00 0F 02 00 00 0F DF 60 0F [8]
  E18AuthKeyLong,     // 80 D4 01 00 17 02 00 00 0F DF 61 0F [16]
  E19DevPin1,         // 80 D4 00 00 0F BB 00 05 0F 79 70 0F "24681357"
  E20DevPin2,         // 80 D4 00 00 0F CC 00 05 79 AC A0 0F "24681357"
  E21DevPin3,         // 80 D4 00 00 0F DD 00 05 AC DF D0 FF "24681357"
  E22UserPin,         // 80 D4 00 00 0F AA 00 05 0F 68 60 0F "24681357"
  E23InternalKey,     // 80 D4 00 00 0F 00 00 01 0F DF 00 0F "24681357"
  E24ExternalKey,     // 80 D4 00 00 0F 02 00 00 0F DF 60 0F "24681357"
  E25KeyFile,         // 80 E0 02 05 08 3F 01 F0 00 00 00 05 18
  E26ControlFile,     // 80 E0 02 0B 08 3F 02 68 DF 40 40 03 48
  E27AtrFile,         // 80 E0 02 04 08 3F 04 68 DF 00 00 00 08
  E28FillerFile,      // 80 E0 02 00 08 3F 03 0F 0F 00 00 s1 s2
  E29DirParameter,    // 80 3A 03 00 01 v
  E30RsaPublicFile,   // 80 E0 02 06 08 p1 p2 68 DF 68 68 00 88
  E31RsaPrivateFile,  // 80 E0 02 07 08 q1 q2 F0 DF 68 68 01 4A
  E32RsaGenerate,     // 80 CE 00 01 04 p1 p2 q1 q2
  E33UpdateBinary,    // 00 D6 o1 o2 n [n]
  E34UpdateById,      // 80 34 00 00 n+5 i1 i2 o1 o2 n [n]
  kCount,
};

// A row's constant bytes: the header and the data bytes that never change
// (variable bytes are 00 here and written by the operation). `size` is the
// length of the complete command (the reading rows are sent with it; the
// others send 5 + P3 bytes).
struct Template {
  std::uint8_t size;
  std::uint8_t bytes[24];
};

const Template& TemplateOf(Row row);

// The path the token reports while the root is the current directory.
inline constexpr std::uint8_t kRootPath[6] = {0x3F, 0x00, 0, 0, 0, 0};
// The root's identifier, and the ATR file's.
inline constexpr std::uint8_t kRootId[2] = {0x3F, 0x00};
inline constexpr std::uint8_t kAtrFileId[2] = {0x3F, 0x04};

}  // namespace vantor::commandfile
