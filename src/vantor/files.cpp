// VXStoreFile: creating and writing files of the current directory, RSA key
// file pairs and the directory parameter. Every argument is checked before
// a command reaches the token, then that the context still holds its
// connection; only then does the call read the device type, place any
// filler file, create and write.
#include <cstring>

#include "commandfile/commandfile.h"
#include "vantor/context.h"
#include "vantor/vantor.h"

namespace vantor::api {
namespace {

namespace cmd = vantor::commandfile;

constexpr std::uint32_t kAccessMask = 0x0F00;
constexpr std::uint32_t kFillerMask = 0xF000;
constexpr std::uint32_t kExeExOverhead = VX_EXE_EX_OVERHEAD;
static_assert(VX_RSA_PUBLIC_SOURCE_SIZE == cmd::kRsaPublicSourceLength &&
              VX_RSA_PRIVATE_SOURCE_SIZE == cmd::kRsaPrivateSourceLength &&
              VX_RSA_PUBLIC_FILE_SIZE == cmd::kRsaPublicRecordLength &&
              VX_RSA_PRIVATE_FILE_SIZE == cmd::kRsaPrivateRecordLength);
constexpr std::uint32_t kMaxParameter = 64;
// Both key files of a pair.
constexpr std::uint32_t kRsaPairBytes =
    cmd::kRsaPublicRecordLength + cmd::kRsaPrivateRecordLength;
// The memory boundary an executable file must not cross on versions after
// 2.0.0 and before 2.3.0, and the bytes each file costs beyond its size.
constexpr std::uint32_t kE2Boundary = 0x8000;
constexpr std::uint32_t kFileOverhead = 14;

// A checked request: what the card commands need.
struct Request {
  std::uint32_t operation = 0;
  std::uint8_t type = 0;
  std::uint8_t ids[4] = {};  // the file; a key pair: public, then private
  const std::uint8_t* data = nullptr;  // the data, or `record`
  std::uint32_t length = 0;
  std::uint8_t record[cmd::kRsaPrivateRecordLength] = {};
};

bool IsKeyType(std::uint8_t type) {
  return type == cmd::kTypeRsaPublic || type == cmd::kTypeRsaPrivate;
}

bool IsExeType(std::uint8_t type) {
  return type == cmd::kTypeExe || type == cmd::kTypeExeEx;
}

// `digits` hexadecimal digits without a backslash, naming no reserved file.
bool ParseFileIds(const char* text, std::uint32_t digits, std::uint8_t* ids) {
  return text != nullptr && strnlen(text, digits + 1) == digits &&
         std::strchr(text, '\\') == nullptr && cmd::IsUsableFileId(text) &&
         cmd::ParseHexText(ids, digits / 2, text, digits) ==
             static_cast<int>(digits / 2);
}

// A key file's data is its key source, stored as the key record.
std::uint32_t TakeData(const std::uint8_t* data, std::uint32_t length,
                       Request& request) {
  request.data = data;
  request.length = length;
  if (data == nullptr || !IsKeyType(request.type)) return VX_SUCCESS;
  request.data = request.record;
  return cmd::BuildRsaKeyRecord(data, request.record, &request.length,
                                request.type);
}

std::uint32_t CheckCreate(const VXContext& context, const char* id,
                          std::uint32_t offset, const std::uint8_t* data,
                          std::uint32_t length, std::uint32_t fileSize,
                          std::uint32_t flags, Request& request) {
  const std::uint8_t type = request.type;
  if (type == 0 || fileSize == 0 || offset > fileSize ||
      (data == nullptr && length != 0) ||
      (!IsKeyType(type) && std::uint64_t{offset} + length > fileSize) ||
      !ParseFileIds(id, 4, request.ids)) {
    return VX_INVALID_PARAMETER;
  }
  switch (type) {
    case cmd::kTypeRsaPublic:
    case cmd::kTypeRsaPrivate: {
      const bool isPublic = type == cmd::kTypeRsaPublic;
      const std::uint32_t source =
          isPublic ? cmd::kRsaPublicSourceLength : cmd::kRsaPrivateSourceLength;
      const std::uint32_t record =
          isPublic ? cmd::kRsaPublicRecordLength : cmd::kRsaPrivateRecordLength;
      if ((data != nullptr && length != source) || fileSize < record ||
          offset != 0) {
        return VX_INVALID_PARAMETER;
      }
      break;
    }
    case cmd::kTypeExe:
      if (offset != 0 || (context.dwVersion == kVersion200 &&
                          (flags & kFillerMask) == VX_EXE_ALLOW_FILLER)) {
        return VX_INVALID_PARAMETER;
      }
      break;
    case cmd::kTypeData:
      break;
    case cmd::kTypeExeEx:
      if (offset != 0 || std::uint64_t{length} + kExeExOverhead > fileSize ||
          context.dwVersion < kVersion230) {
        return VX_INVALID_PARAMETER;
      }
      break;
    default:
      return VX_INVALID_PARAMETER;
  }
  const std::uint32_t access = flags & kAccessMask;
  if (IsExeType(type) && access != 0 && access != VX_EXE_ACCESS_FLAG) {
    return VX_INVALID_PARAMETER;
  }
  return TakeData(data, length, request);
}

std::uint32_t CheckUpdate(const VXContext& context, const char* id,
                          std::uint32_t offset, const std::uint8_t* data,
                          std::uint32_t length, std::uint32_t fileSize,
                          Request& request) {
  const std::uint8_t type = request.type;
  const bool sourceShaped =
      (type != cmd::kTypeRsaPublic || length == cmd::kRsaPublicSourceLength) &&
      (type != cmd::kTypeRsaPrivate || length == cmd::kRsaPrivateSourceLength);
  if ((type != cmd::kTypeData && offset != 0) ||
      (type == cmd::kTypeExeEx && context.dwVersion < kVersion230) ||
      type == 0 || data == nullptr || length == 0 || fileSize != 0 ||
      !sourceShaped || !ParseFileIds(id, 4, request.ids)) {
    return VX_INVALID_PARAMETER;
  }
  return TakeData(data, length, request);
}

// The checks that need no token, by operation.
std::uint32_t CheckRequest(const VXContext& context, const char* id,
                           std::uint32_t offset, const std::uint8_t* data,
                           std::uint32_t length, std::uint32_t fileSize,
                           std::uint32_t flags, Request& request) {
  switch (request.operation) {
    case VX_FILE_CREATE:
      return CheckCreate(context, id, offset, data, length, fileSize, flags,
                         request);
    case VX_FILE_UPDATE:
      return CheckUpdate(context, id, offset, data, length, fileSize, request);
    case VX_FILE_RSA_PAIR:
      return data == nullptr && fileSize == 0 && length == 0 && offset == 0 &&
                     request.type == 0 && ParseFileIds(id, 8, request.ids)
                 ? VX_SUCCESS
                 : VX_INVALID_PARAMETER;
    case VX_FILE_SET_PARAM:
      return id == nullptr && data == nullptr && offset == 0 && length == 0 &&
                     fileSize >= 1 && fileSize <= kMaxParameter &&
                     request.type == 0
                 ? VX_SUCCESS
                 : VX_INVALID_PARAMETER;
    default:
      return VX_INVALID_PARAMETER;
  }
}

// Device types 1 and 2 keep no files in the root; an extended executable
// file needs device type 0.
std::uint32_t CheckPlace(const VXContext& context, const Request& request,
                         std::uint8_t* deviceType) {
  std::uint32_t result = cmd::GetDeviceType(&context, deviceType);
  if (result != VX_SUCCESS) return result;
  if (*deviceType == 1 || *deviceType == 2) {
    result = cmd::CheckAtRoot(&context);
    if (result == VX_SUCCESS) return VX_NO_FILES_IN_ROOT;
    // CheckAtRoot gives VX_INVALID_PARAMETER for another directory;
    // anything else failed.
    if (result != VX_INVALID_PARAMETER) return result;
  }
  if (*deviceType != 0 && request.type == cmd::kTypeExeEx) {
    return VX_INVALID_PARAMETER;
  }
  return VX_SUCCESS;
}

// An executable file that would cross the boundary starts at it instead,
// behind a filler file, when the flags allow one.
std::uint32_t PlaceBeforeBoundary(const VXContext& context,
                                  std::uint32_t fileSize, std::uint32_t flags,
                                  std::uint32_t* total) {
  std::uint16_t address = 0;
  const std::uint32_t result = cmd::GetE2Address(&context, &address);
  if (result != VX_SUCCESS) return result;
  if (address > kE2Boundary - kFileOverhead - 1 ||
      address + kFileOverhead + fileSize < kE2Boundary) {
    return VX_SUCCESS;
  }
  if ((flags & kFillerMask) != VX_EXE_ALLOW_FILLER) {
    return VX_CROSSES_E2_BOUNDARY;
  }
  return cmd::CreateFillerFile(&context, address, total);
}

// Selects the file and writes the data in chunks from `offset` on.
std::uint32_t WriteData(const VXContext& context, const Request& request,
                        std::uint32_t offset, std::uint32_t* total) {
  const std::uint32_t result = cmd::SelectFile(&context, request.ids);
  if (result != VX_SUCCESS) return result;
  const std::uint32_t chunks = request.length / cmd::kChunkLength;
  const std::uint32_t rest = request.length % cmd::kChunkLength;
  const auto at = static_cast<std::uint16_t>(offset);  // at most 0x7FFF
  if (request.type == cmd::kTypeExeEx) {
    return cmd::UpdateBinaryById(&context, request.ids, at, request.data,
                                 chunks, rest, total);
  }
  return cmd::UpdateBinary(&context, at, request.data, chunks, rest, total);
}

std::uint32_t CreateAndWrite(const VXContext& context, const Request& request,
                             std::uint32_t offset, std::uint32_t fileSize,
                             std::uint32_t flags, std::uint32_t* total) {
  std::uint32_t result = VX_SUCCESS;
  if (request.type == cmd::kTypeExe && context.dwVersion > kVersion200 &&
      context.dwVersion < kVersion230) {
    result = PlaceBeforeBoundary(context, fileSize, flags, total);
    if (result != VX_SUCCESS) return result;
  }
  result = cmd::CreateCardFile(&context, request.ids, fileSize, cmd::kFile,
                               request.type, flags & kAccessMask);
  if (result != VX_SUCCESS || request.data == nullptr) return result;
  return WriteData(context, request, offset, total);
}

std::uint32_t StoreFile(const VXContext* context, const char* id,
                        std::uint32_t offset, const std::uint8_t* data,
                        std::uint32_t length, std::uint32_t fileSize,
                        std::uint32_t* count, std::uint32_t flags,
                        std::uint32_t fileType) {
  if (!IsContextValid(context)) return VX_INVALID_PARAMETER;
  // Summed in 64 bits: a 32-bit sum could wrap below the limit.
  if (fileSize > VX_MAX_FILE_SIZE ||
      std::uint64_t{offset} + length > VX_MAX_FILE_SIZE) {
    return VX_SIZE_OUT_OF_RANGE;
  }
  Request request;
  request.operation = flags & 0xFF;
  request.type = static_cast<std::uint8_t>(fileType & 0xFF);
  std::uint32_t result = CheckRequest(*context, id, offset, data, length,
                                      fileSize, flags, request);
  if (result != VX_SUCCESS) return result;
  if ((result = CheckConnected(context)) != VX_SUCCESS) return result;
  std::uint8_t deviceType = 0;
  if ((result = CheckPlace(*context, request, &deviceType)) != VX_SUCCESS) {
    return result;
  }
  std::uint32_t total = 0;
  switch (request.operation) {
    case VX_FILE_CREATE:
      result =
          CreateAndWrite(*context, request, offset, fileSize, flags, &total);
      break;
    case VX_FILE_UPDATE:
      result = WriteData(*context, request, offset, &total);
      break;
    case VX_FILE_RSA_PAIR:
      result =
          cmd::CreateRsaKeyPairFiles(context, request.ids, request.ids + 2);
      total = kRsaPairBytes;
      break;
    default:  // VX_FILE_SET_PARAM
      if (deviceType == 0) return VX_WRONG_DEVICE_TYPE;
      result = cmd::SetDirParameter(
          context, static_cast<std::uint8_t>(fileSize), &total);
      break;
  }
  if (result == VX_SUCCESS && count != nullptr) *count = total;
  return result;
}

}  // namespace
}  // namespace vantor::api

using vantor::api::GuardedOn;

extern "C" {

VX_EXPORT uint32_t VXAPI VXStoreFile(VXContext* context, const char* id,
                                     uint32_t offset, const uint8_t* data,
                                     uint32_t dataLength, uint32_t fileSize,
                                     uint32_t* count, uint32_t flags,
                                     uint32_t fileType) {
  return GuardedOn(context, [&] {
    return vantor::api::StoreFile(context, id, offset, data, dataLength,
                                  fileSize, count, flags, fileType);
  });
}

}  // extern "C"
