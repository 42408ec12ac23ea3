// RSA key records: the tagged layouts that the key files of type 6 and 7
// hold, built from the caller's key sources.
#include <algorithm>
#include <cstring>

#include "commandfile/commandfile.h"

namespace vantor::commandfile {
namespace {

constexpr std::uint32_t kModulusLength = 128;
constexpr std::uint32_t kExponentField = 128;  // right-aligned in the source
constexpr std::uint32_t kExponentLength = 4;   // what the record keeps
constexpr std::uint32_t kPrivateSkipped = 384;
constexpr std::uint32_t kComponentLength = 64;
// Tags of p, q, d mod (p-1), d mod (q-1) and q^-1 mod p, in source order.
constexpr std::uint8_t kPrivateTags[] = {0x70, 0x71, 0x50, 0x51, 0x49};

// Writes tag, length and `length` value bytes at `at`; the next position.
std::uint8_t* Tagged(std::uint8_t* at, std::uint8_t tag,
                     const std::uint8_t* value, std::uint32_t length) {
  *at++ = tag;
  *at++ = static_cast<std::uint8_t>(length);
  std::memcpy(at, value, length);
  return at + length;
}

}  // namespace

std::uint32_t BuildRsaKeyRecord(const std::uint8_t* source,
                                std::uint8_t* record,
                                std::uint32_t* recordLength,
                                std::uint8_t type) {
  if (source == nullptr || record == nullptr || recordLength == nullptr) {
    return VX_INVALID_PARAMETER;
  }
  if (type == kTypeRsaPublic) {
    // The record keeps 4 exponent bytes: a longer exponent would be cut.
    const std::uint8_t* exponent = source + kModulusLength;
    const std::uint8_t* kept = exponent + kExponentField - kExponentLength;
    if (std::any_of(exponent, kept, [](std::uint8_t b) { return b != 0; })) {
      return VX_INVALID_PARAMETER;
    }
    std::uint8_t* at = Tagged(record, 0x6E, source, kModulusLength);
    Tagged(at, 0x65, kept, kExponentLength);
    *recordLength = kRsaPublicRecordLength;
    return VX_SUCCESS;
  }
  if (type == kTypeRsaPrivate) {
    std::uint8_t* at = record;
    const std::uint8_t* component = source + kPrivateSkipped;
    for (std::uint8_t tag : kPrivateTags) {
      at = Tagged(at, tag, component, kComponentLength);
      component += kComponentLength;
    }
    *recordLength = kRsaPrivateRecordLength;
    return VX_SUCCESS;
  }
  return VX_INVALID_PARAMETER;
}

}  // namespace vantor::commandfile
