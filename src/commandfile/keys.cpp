// PIN and key commands: presenting and changing the PINs of the current
// directory's key file, replacing the authentication key, and installing the
// security files of a new or emptied directory.
#include <initializer_list>

#include "commandfile/commandfile.h"

namespace vantor::commandfile {
namespace {

constexpr std::uint32_t kPartLength = 8;
// P2 of the developer PIN's three parts, and of the user PIN.
constexpr std::uint8_t kDevPinParts[3] = {0xBB, 0xCC, 0xDD};
constexpr std::uint8_t kUserPin = 0xAA;

std::uint32_t Verify(const VXContext* context, std::uint8_t reference,
                     const std::uint8_t* value) {
  SecretCommand command(Row::E13VerifyPin);
  command.Byte(3, reference).Bytes(5, value, kPartLength);
  return ExchangeApdu(context, command);
}

// Presents `current` and sets `next`: E13, then E14.
std::uint32_t Change(const VXContext* context, std::uint8_t reference,
                     const std::uint8_t* current, const std::uint8_t* next) {
  const std::uint32_t result = Verify(context, reference, current);
  if (result != VX_SUCCESS) return result;
  SecretCommand command(Row::E14ChangePin);
  command.Byte(3, reference)
      .Bytes(5, current, kPartLength)
      .Bytes(5 + kPartLength, next, kPartLength);
  return ExchangeApdu(context, command);
}

// Runs the rows in order and stops at the first failure.
template <std::size_t N>
std::uint32_t Sequence(const VXContext* context, const Row (&rows)[N]) {
  for (Row row : rows) {
    const std::uint32_t result = ExchangeApdu(context, Command(row));
    if (result != VX_SUCCESS) return result;
  }
  return VX_SUCCESS;
}

using Step = std::uint32_t (*)(const VXContext*);

// Runs the steps in order and stops at the first failure.
std::uint32_t Steps(const VXContext* context,
                    std::initializer_list<Step> steps) {
  for (Step step : steps) {
    const std::uint32_t result = step(context);
    if (result != VX_SUCCESS) return result;
  }
  return VX_SUCCESS;
}

}  // namespace

std::uint32_t VerifyPin(const VXContext* context, const std::uint8_t* value,
                        std::uint32_t kind) {
  if (kind != kDevPinKind) return Verify(context, kUserPin, value);
  for (std::size_t part = 0; part < 3; ++part) {
    const std::uint32_t result =
        Verify(context, kDevPinParts[part], value + kPartLength * part);
    if (result != VX_SUCCESS) return result;
  }
  return VX_SUCCESS;
}

std::uint32_t ChangeUserPin(const VXContext* context,
                            const std::uint8_t* current,
                            const std::uint8_t* next) {
  return Change(context, kUserPin, current, next);
}

std::uint32_t ChangeDevPin(const VXContext* context,
                           const std::uint8_t* current,
                           const std::uint8_t* next) {
  for (std::uint32_t part = 0; part < 3; ++part) {
    const std::uint32_t offset = kPartLength * part;
    const std::uint32_t result =
        Change(context, kDevPinParts[part], current + offset, next + offset);
    if (result == VX_SUCCESS) continue;
    if (part == 0) return result;
    // Parts already changed are set back, so the PIN stays whole. A restore
    // that fails leaves parts changed: that gets its own code, never the
    // part's failure alone.
    return RestoreDevPinParts(context, current, next, part) == VX_SUCCESS
               ? result
               : VX_DEV_PIN_NOT_RESTORED;
  }
  return VX_SUCCESS;
}

std::uint32_t RestoreDevPinParts(const VXContext* context,
                                 const std::uint8_t* current,
                                 const std::uint8_t* next,
                                 std::uint32_t parts) {
  if (parts > 2) return VX_INVALID_PARAMETER;
  for (std::uint32_t part = 0; part < parts; ++part) {
    const std::uint32_t offset = kPartLength * part;
    const std::uint32_t result =
        Change(context, kDevPinParts[part], next + offset, current + offset);
    if (result != VX_SUCCESS) return result;
  }
  return VX_SUCCESS;
}

std::uint32_t UpdateAuthKey(const VXContext* context, const std::uint8_t* key,
                            std::uint32_t length, std::uint8_t deviceType) {
  if (length != 8 && length != 16) return VX_INVALID_PARAMETER;
  const bool internal = deviceType == 1;
  const Row row =
      internal ? (length == 8 ? Row::E15AuthKey1Short : Row::E16AuthKey1Long)
               : (length == 8 ? Row::E17AuthKeyShort : Row::E18AuthKeyLong);
  SecretCommand command(row);
  command.Bytes(12, key, length);
  return ExchangeApdu(context, command);
}

std::uint32_t CreateKeyFile(const VXContext* context) {
  return ExchangeApdu(context, Command(Row::E25KeyFile));
}

std::uint32_t CreateControlFile(const VXContext* context) {
  return ExchangeApdu(context, Command(Row::E26ControlFile));
}

std::uint32_t InstallDevPins(const VXContext* context) {
  static constexpr Row kRows[] = {Row::E19DevPin1, Row::E20DevPin2,
                                  Row::E21DevPin3};
  return Sequence(context, kRows);
}

std::uint32_t InstallUserPin(const VXContext* context) {
  return ExchangeApdu(context, Command(Row::E22UserPin));
}

std::uint32_t InstallInternalAuthKey(const VXContext* context) {
  return ExchangeApdu(context, Command(Row::E23InternalKey));
}

std::uint32_t InstallExternalAuthKey(const VXContext* context) {
  return ExchangeApdu(context, Command(Row::E24ExternalKey));
}

std::uint32_t InstallSecurityFiles(const VXContext* context) {
  return Steps(context, {CreateKeyFile, InstallUserPin, InstallDevPins});
}

std::uint32_t InstallRootSecurityFiles(const VXContext* context,
                                       std::uint8_t deviceType) {
  const std::uint32_t result = Steps(context, {CreateKeyFile, InstallDevPins});
  if (result != VX_SUCCESS) return result;
  return deviceType == 1
             ? Steps(context, {InstallUserPin, InstallInternalAuthKey})
             : InstallExternalAuthKey(context);
}

std::uint32_t InstallDirSecurityFiles(const VXContext* context) {
  return Steps(context, {CreateKeyFile, InstallDevPins, CreateControlFile});
}

std::uint32_t CreateRsaKeyPairFiles(const VXContext* context,
                                    const std::uint8_t publicId[2],
                                    const std::uint8_t privateId[2]) {
  Command publicFile(Row::E30RsaPublicFile);
  publicFile.Bytes(5, publicId, 2);
  std::uint32_t result = ExchangeApdu(context, publicFile);
  if (result != VX_SUCCESS) return result;
  Command privateFile(Row::E31RsaPrivateFile);
  privateFile.Bytes(5, privateId, 2);
  if ((result = ExchangeApdu(context, privateFile)) != VX_SUCCESS) {
    return result;
  }
  Command generate(Row::E32RsaGenerate);
  generate.Bytes(5, publicId, 2).Bytes(7, privateId, 2);
  return ExchangeApdu(context, generate);
}

}  // namespace vantor::commandfile
