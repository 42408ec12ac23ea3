// The directory calls: making the root, subdirectories and application
// directories with their security files, entering a directory by a path,
// and clearing the current directory.
#include <cstring>

#include "commandfile/commandfile.h"
#include "vantor/context.h"
#include "vantor/vantor.h"

namespace vantor::api {
namespace {

namespace cmd = vantor::commandfile;

constexpr std::uint32_t kMinSubDirectorySize = 134;
constexpr std::uint32_t kMinAppDirectorySize = 988;
constexpr std::uint32_t kMaxDirectorySize = 0xFFFF;
// The parameter an application directory gets.
constexpr std::uint8_t kAppDirParameter = 10;
// The developer PIN that new security files hold.
constexpr char kDefaultDevPin[] = "246813572468135724681357";
static_assert(sizeof(kDefaultDevPin) - 1 == cmd::kDevPinLength);

// The path forms a directory can be entered by: X a hexadecimal digit.
constexpr const char* kPathForms[] = {
    "\\",         "XXXX",       "\\XXXX",       "XXXX\\",
    "\\XXXXXXXX", "XXXX\\XXXX", "\\XXXX\\XXXX", "XXXX\\XXXX\\",
};

bool MatchesForm(const char* path, std::size_t length, const char* form) {
  if (std::strlen(form) != length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    const bool digit = cmd::HexDigitValue(path[i]) >= 0;
    if (form[i] == 'X' ? !digit : path[i] != '\\') return false;
  }
  return true;
}

bool IsPathForm(const char* path, std::size_t length) {
  for (const char* form : kPathForms) {
    if (MatchesForm(path, length, form)) return true;
  }
  return false;
}

// Which security files a directory gets beyond those of device type 0.
enum class DirFiles { Root, Subdirectory, Application };

// The security files of a new or emptied directory, then its finish.
std::uint32_t InstallAndFinish(const VXContext& context,
                               std::uint8_t deviceType, DirFiles files) {
  std::uint32_t result = VX_SUCCESS;
  if (deviceType == 0) {
    result = cmd::InstallSecurityFiles(&context);
  } else if (files == DirFiles::Root) {
    result = cmd::InstallRootSecurityFiles(&context, deviceType);
    if (result == VX_SUCCESS) result = cmd::CreateAppListFile(&context);
  } else {
    result = cmd::InstallDirSecurityFiles(&context);
    if (result == VX_SUCCESS && files == DirFiles::Application) {
      std::uint32_t done = 0;
      result = cmd::SetDirParameter(&context, kAppDirParameter, &done);
    }
  }
  if (result != VX_SUCCESS) return result;
  return cmd::FinishDirectory(&context);
}

std::uint32_t MakeRoot(const VXContext& context, const char* id) {
  if (std::strcmp(id, "\\") != 0) return VX_INVALID_PARAMETER;
  std::uint32_t result = CheckConnected(&context);
  if (result != VX_SUCCESS) return result;
  result = cmd::CreateCardFile(&context, cmd::kRootId, 0, cmd::kRootDir, 0, 0);
  if (result != VX_SUCCESS) return result;
  std::uint8_t deviceType = 0;
  if ((result = cmd::GetDeviceType(&context, &deviceType)) != VX_SUCCESS) {
    return result;
  }
  return InstallAndFinish(context, deviceType, DirFiles::Root);
}

// A subdirectory or an application directory; the checks come in the order
// callers see their results (position, size, device type). The id text and
// the largest size give the same result as a device type that does not fit
// the kind, so they are checked before the device type is read: a refused
// request sends nothing past the position check.
std::uint32_t MakeChild(const VXContext& context, const char* id,
                        std::uint32_t size, std::uint32_t kind) {
  const bool app = kind == VX_APP_DIRECTORY;
  if (std::strncmp(id, "0000", 4) == 0) return VX_INVALID_PARAMETER;
  std::uint32_t result = CheckConnected(&context);
  if (result != VX_SUCCESS) return result;
  if (app && cmd::CheckAtRoot(&context) != VX_SUCCESS) return VX_NOT_AT_ROOT;
  if (size < (app ? kMinAppDirectorySize : kMinSubDirectorySize)) {
    return VX_DIRECTORY_TOO_SMALL;
  }
  std::uint8_t fileId[2];
  if (size > kMaxDirectorySize || std::strlen(id) != 4 ||
      std::strchr(id, '\\') != nullptr ||
      cmd::ParseHexText(fileId, sizeof(fileId), id, 4) != 2) {
    return VX_INVALID_PARAMETER;
  }
  std::uint8_t deviceType = 0;
  if ((result = cmd::GetDeviceType(&context, &deviceType)) != VX_SUCCESS) {
    return result;
  }
  if (app == (deviceType == 0)) return VX_INVALID_PARAMETER;
  result = cmd::CreateCardFile(&context, fileId, size, cmd::kDirectory, 0, 0);
  if (result != VX_SUCCESS) return result;
  if (app && (result = cmd::AddToAppList(&context, fileId)) != VX_SUCCESS) {
    return result;
  }
  if ((result = cmd::SelectDirectory(&context, fileId, 1)) != VX_SUCCESS) {
    return result;
  }
  return InstallAndFinish(context, deviceType,
                          app ? DirFiles::Application : DirFiles::Subdirectory);
}

std::uint32_t MakeDirectory(const VXContext* context, const char* id,
                            std::uint32_t size, std::uint32_t kind) {
  if (id == nullptr || !IsContextValid(context)) return VX_INVALID_PARAMETER;
  switch (kind) {
    case VX_ROOT_DIRECTORY:
      return MakeRoot(*context, id);
    case VX_SUB_DIRECTORY:
    case VX_APP_DIRECTORY:
      return MakeChild(*context, id, size, kind);
    default:
      return VX_INVALID_PARAMETER;
  }
}

std::uint32_t ClearDirectory(const VXContext* context, std::uint32_t reserved) {
  if (!IsContextValid(context) || reserved != 0) return VX_INVALID_PARAMETER;
  std::uint32_t result = CheckConnected(context);
  if (result != VX_SUCCESS) return result;
  result = cmd::EraseCurrentDir(context);
  if (result != VX_SUCCESS) return result;
  std::uint32_t rootExists = 0;
  if ((result = cmd::QueryRootExists(context, &rootExists)) != VX_SUCCESS) {
    return result;
  }
  if (rootExists == 0) return VX_SUCCESS;
  std::uint8_t deviceType = 0;
  if ((result = cmd::GetDeviceType(context, &deviceType)) != VX_SUCCESS) {
    return result;
  }
  // The root was erased whole; any other directory gets a subdirectory's
  // files again.
  return InstallAndFinish(*context, deviceType, DirFiles::Subdirectory);
}

// Erases a root that could not be given its device id. Success only when
// the token then reports no root.
bool RemoveRoot(const VXContext& context) {
  std::uint32_t rootExists = 1;
  return cmd::SelectDirectory(&context, cmd::kRootId, 0) == VX_SUCCESS &&
         cmd::EraseCurrentDir(&context) == VX_SUCCESS &&
         cmd::QueryRootExists(&context, &rootExists) == VX_SUCCESS &&
         rootExists == 0;
}

std::uint32_t MakeDirectoryEx(VXContext* context, const char* id,
                              std::uint32_t size, std::uint32_t kind,
                              const VXROOTINFO* rootInfo) {
  if (kind != VX_ROOT_DIRECTORY) return MakeDirectory(context, id, size, kind);
  if (!IsRootInfoValid(rootInfo)) return VX_INVALID_PARAMETER;
  std::uint32_t result = MakeDirectory(context, id, size, kind);
  if (result != VX_SUCCESS) return result;
  result = VXPresentPin(context,
                        reinterpret_cast<const std::uint8_t*>(kDefaultDevPin),
                        cmd::kDevPinLength, VX_DEV_PIN);
  if (result != VX_SUCCESS) return result;
  std::uint32_t atrLength = 0;
  result = VXControl(context, VX_SET_DEVICE_ID, rootInfo->bDeviceId,
                     sizeof(rootInfo->bDeviceId), nullptr, 0, &atrLength);
  if (result == VX_SUCCESS) return VX_SUCCESS;
  return RemoveRoot(*context) ? result : VX_ROOT_NOT_REMOVED;
}

std::uint32_t EnterDirectory(const VXContext* context, const char* path) {
  if (path == nullptr || !IsContextValid(context)) return VX_INVALID_PARAMETER;
  const std::size_t length = strnlen(path, 11);
  if (!IsPathForm(path, length)) return VX_INVALID_PARAMETER;
  std::uint8_t ids[4];
  const int bytes = cmd::ParseHexText(ids, sizeof(ids), path,
                                      static_cast<std::uint32_t>(length));
  if (bytes < 0) return VX_INVALID_PARAMETER;
  std::uint32_t result = CheckConnected(context);
  if (result != VX_SUCCESS) return result;
  // Four digits alone name a directory of the current one; every other
  // form starts at the root.
  if (length != 4) {
    result = cmd::SelectDirectory(context, cmd::kRootId, 0);
  }
  for (int at = 0; result == VX_SUCCESS && at < bytes; at += 2) {
    result = cmd::SelectDirectory(context, ids + at, 1);
  }
  return result;
}

}  // namespace
}  // namespace vantor::api

using vantor::api::GuardedOn;

extern "C" {

VX_EXPORT uint32_t VXAPI VXMakeDirectory(VXContext* context, const char* id,
                                         uint32_t size, uint32_t kind) {
  return GuardedOn(context, [&] {
    return vantor::api::MakeDirectory(context, id, size, kind);
  });
}

VX_EXPORT uint32_t VXAPI VXMakeDirectoryEx(VXContext* context, const char* id,
                                           uint32_t size, uint32_t kind,
                                           const VXROOTINFO* rootInfo) {
  return GuardedOn(context, [&] {
    return vantor::api::MakeDirectoryEx(context, id, size, kind, rootInfo);
  });
}

VX_EXPORT uint32_t VXAPI VXEnterDirectory(VXContext* context,
                                          const char* path) {
  return GuardedOn(context,
                   [&] { return vantor::api::EnterDirectory(context, path); });
}

VX_EXPORT uint32_t VXAPI VXClearDirectory(VXContext* context,
                                          uint32_t reserved) {
  return GuardedOn(
      context, [&] { return vantor::api::ClearDirectory(context, reserved); });
}

}  // extern "C"
