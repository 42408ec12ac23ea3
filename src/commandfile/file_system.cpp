// Commands that shape the token's file system: the root, directories and
// files, selection, erasing, the application list, the filler file and the
// directory parameter.
#include <cstring>

#include "commandfile/commandfile.h"
#include "common/atr.h"

namespace vantor::commandfile {
namespace {

// "Q8Q8Q8Q8": the root's creation value from version 2.3.0 on.
constexpr std::uint8_t kRootValue230[8] = {'Q', '8', 'Q', '8',
                                           'Q', '8', 'Q', '8'};
// The application list file: count at offset 0, entry k at 2k + 1.
constexpr std::uint32_t kAppListOffsetByte = 3;  // P2 of E4

bool BelowVersion200(const VXContext* context) {
  return context == nullptr || context->dwVersion < common::kVersion200;
}

// P2 and the access bytes of a file of `type`; false for a type or access
// flag that is refused.
bool FileTypeBytes(std::uint8_t type, std::uint32_t accessFlag,
                   std::uint8_t* p2, std::uint8_t access[4]) {
  const bool executable = type == kTypeExe || type == kTypeExeEx;
  if (executable && accessFlag != 0 && accessFlag != kExeAccessFlag) {
    return false;
  }
  const bool exeAccess = executable && accessFlag == kExeAccessFlag;
  struct Entry {
    std::uint8_t type, p2, access[4];
  };
  static constexpr Entry kTypes[] = {
      {kTypeRsaPublic, 0x06, {0x68, 0xDF, 0x68, 0x68}},
      {kTypeRsaPrivate, 0x07, {0xF0, 0xDF, 0x68, 0x68}},
      {kTypeExe, 0x08, {0x00, 0xDF, 0x68, 0x68}},
      {kTypeData, 0x09, {0x00, 0xDF, 0x00, 0x68}},
      {kTypeExeEx, 0x0A, {0x00, 0xDF, 0x68, 0x68}},
  };
  for (const Entry& entry : kTypes) {
    if (entry.type != type) continue;
    *p2 = entry.p2;
    std::memcpy(access, entry.access, 4);
    if (exeAccess) access[3] = 0xF0;
    return true;
  }
  return false;
}

}  // namespace

std::uint32_t CheckAtRoot(const VXContext* context) {
  const Command command(Row::R6CurrentPath);
  Response response;
  const std::uint32_t result =
      ReadCommand(context, command, command.RowLength(), 6, &response);
  if (result != VX_SUCCESS) return result;
  return std::memcmp(response.bytes, kRootPath, sizeof(kRootPath)) == 0
             ? VX_SUCCESS
             : VX_INVALID_PARAMETER;
}

std::uint32_t QueryRootExists(const VXContext* context, std::uint32_t* exists) {
  const Command command(Row::R6CurrentPath);
  Response response;
  const std::uint32_t result =
      ReadCommand(context, command, command.RowLength(), 0, &response);
  if (result == VX_SUCCESS || result == kSwNoRoot) {
    *exists = result == VX_SUCCESS ? 1 : 0;
    return VX_SUCCESS;
  }
  return result;
}

std::uint32_t CreateCardFile(const VXContext* context, const std::uint8_t id[2],
                             std::uint32_t size, std::uint8_t kind,
                             std::uint8_t type, std::uint32_t accessFlag) {
  switch (kind) {
    case kRootDir: {
      if (BelowVersion200(context)) return VX_INVALID_PARAMETER;
      Command command(Row::E5CreateRoot);
      if (context->dwVersion >= common::kVersion230) {
        command.Bytes(5, kRootValue230, sizeof(kRootValue230));
      }
      return ExchangeApdu(context, command);
    }
    case kDirectory: {
      Command command(Row::E6CreateDir);
      command.Bytes(5, id, 2).Word(11, size & 0xFFFF).Bytes(13, id, 2);
      return ExchangeApdu(context, command);
    }
    case kFile: {
      std::uint8_t p2 = 0;
      std::uint8_t access[4];
      if (!FileTypeBytes(type, accessFlag, &p2, access)) {
        return VX_INVALID_PARAMETER;
      }
      Command command(Row::E7CreateFile);
      command.Byte(3, p2)
          .Bytes(5, id, 2)
          .Bytes(7, access, 4)
          .Word(11, size & 0xFFFF);
      return ExchangeApdu(context, command);
    }
    default:
      return VX_INVALID_PARAMETER;
  }
}

std::uint32_t FinishDirectory(const VXContext* context) {
  return ExchangeApdu(context, Command(Row::E8FinishDir));
}

std::uint32_t SelectDirectory(const VXContext* context,
                              const std::uint8_t id[2], std::uint8_t mode) {
  if (mode == 0) return ExchangeApdu(context, Command(Row::E9SelectRoot));
  if (mode != 1) return VX_INVALID_PARAMETER;
  Command command(Row::E10SelectDir);
  command.Bytes(5, id, 2);
  return ExchangeApdu(context, command);
}

std::uint32_t SelectFile(const VXContext* context, const std::uint8_t id[2]) {
  Command command(Row::E11SelectFile);
  command.Bytes(5, id, 2);
  return ExchangeApdu(context, command);
}

std::uint32_t EraseCurrentDir(const VXContext* context) {
  return ExchangeApdu(context, Command(Row::E12EraseDir));
}

std::uint32_t CreateAppListFile(const VXContext* context) {
  if (BelowVersion200(context)) return VX_INVALID_PARAMETER;
  if (context->dwVersion >= common::kVersion230) return VX_SUCCESS;
  const std::uint32_t result =
      ExchangeApdu(context, Command(Row::E1AppListCreate));
  if (result != VX_SUCCESS) return result;
  return ExchangeApdu(context, Command(Row::E2AppListZero));
}

std::uint32_t AddToAppList(const VXContext* context, const std::uint8_t id[2]) {
  if (BelowVersion200(context)) return VX_INVALID_PARAMETER;
  if (context->dwVersion >= common::kVersion230) return VX_SUCCESS;
  const Command read(Row::R8AppListCount);
  Response response;
  std::uint32_t result =
      ReadCommand(context, read, read.RowLength(), 1, &response);
  if (result != VX_SUCCESS) return result;
  const std::uint32_t count = response.bytes[0];
  // The entry's offset travels in one byte: 128 entries fill the list.
  if (count >= kMaxAppListEntries) return kSwNotEnoughMemory;
  // The entry first, then the count that takes it in: a failed write leaves
  // the list as it was.
  Command entry(Row::E4AppListEntry);
  entry.Byte(kAppListOffsetByte, static_cast<std::uint8_t>(2 * count + 1))
      .Bytes(5, id, 2);
  result = ExchangeApdu(context, entry);
  if (result != VX_SUCCESS) return result;
  Command raise(Row::E3AppListCount);
  raise.Byte(5, static_cast<std::uint8_t>(count + 1));
  return ExchangeApdu(context, raise);
}

std::uint32_t CreateFillerFile(const VXContext* context, std::uint16_t address,
                               std::uint32_t* total) {
  const auto size = static_cast<std::uint16_t>(0x8000 - address - 14);
  Command command(Row::E28FillerFile);
  command.Word(11, size);
  const std::uint32_t result = ExchangeApdu(context, command);
  if (result == VX_SUCCESS) *total += 0x8000u - address;
  return result;
}

std::uint32_t SetDirParameter(const VXContext* context, std::uint8_t value,
                              std::uint32_t* done) {
  *done = 0;
  Command command(Row::E29DirParameter);
  command.Byte(5, value);
  const std::uint32_t result = ExchangeApdu(context, command);
  if (result == VX_SUCCESS) *done = 1;
  return result;
}

std::uint32_t CreateAtrFile(const VXContext* context) {
  return ExchangeApdu(context, Command(Row::E27AtrFile));
}

}  // namespace vantor::commandfile
