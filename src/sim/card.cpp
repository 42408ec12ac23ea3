// The card: the checks every APDU passes, the dispatch to the commands,
// the device data reads (80 CA), inspection and the event texts.
#include "sim/card.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace vantor::sim::detail {

namespace {

// The CLA an instruction needs, or -1 for an unknown instruction.
int ClaOf(std::uint8_t ins) {
  switch (ins) {
    case 0xA4:
    case 0xB0:
    case 0xD6:
    case 0x20:
      return 0x00;
    case 0xCA:
    case 0xE0:
    case 0x0E:
    case 0x5E:
    case 0xD4:
    case 0x3A:
    case 0xCE:
    case 0x32:
    case 0x34:
      return 0x80;
    default:
      return -1;
  }
}

std::string Hex4(std::uint16_t id) {
  char text[8];
  std::snprintf(text, sizeof(text), "%04X", static_cast<unsigned>(id));
  return text;
}

std::string Hex2(std::uint8_t b) {
  char text[4];
  std::snprintf(text, sizeof(text), "%02X", static_cast<unsigned>(b));
  return text;
}

}  // namespace

void Card::Reply::Put(const std::uint8_t* data, std::size_t n) {
  if (n != 0) std::memcpy(bytes + length, data, n);
  length += n;
}

void Card::Reply::Put16(std::uint32_t value) {
  const std::uint32_t v = std::min<std::uint32_t>(value, 0xFFFF);
  Put(static_cast<std::uint8_t>(v >> 8));
  Put(static_cast<std::uint8_t>(v & 0xFF));
}

Card::Card(const TokenConfig& config)
    : version_(config.version),
      device_byte_(config.deviceByte),
      serial_(config.serial),
      memory_start_(config.memoryStart),
      memory_end_(std::max(config.memoryStart, config.memoryEnd)) {}

Card::~Card() = default;

void Card::Reset() {
  df_ = root_.get();
  ef_ = nullptr;
  if (root_) ClearVerified(*root_);
}

CardEffect Card::Run(const std::uint8_t* apdu, std::size_t length,
                     // The reply writes through it (Reply::bytes).
                     // NOLINTNEXTLINE(readability-non-const-parameter)
                     std::uint8_t* out, std::size_t& outLength) {
  Reply r{out};
  CardEffect e;
  if (length < 5) {
    r.Sw(0x6700);
  } else {
    const Apdu a{apdu[0], apdu[1], apdu[2], apdu[3], apdu[4], apdu + 5};
    int cla = ClaOf(a.ins);
    if (a.ins == 0x34 && version_ < 0x0230) cla = -1;
    const bool read = a.ins == 0xCA || a.ins == 0xB0;
    if (cla < 0) {
      r.Sw(0x6D00);
    } else if (a.cla != cla) {
      r.Sw(0x6E00);
    } else if (read ? !(length == 5 || (length == 6 && apdu[5] == 0))
                    : length != 5u + a.p3) {
      r.Sw(0x6700);
    } else {
      Dispatch(a, r, e);
    }
  }
  outLength = r.length;
  return e;
}

void Card::Dispatch(const Apdu& a, Reply& r, CardEffect& e) {
  switch (a.ins) {
    case 0xCA:
      ReadDeviceData(a, r);
      return;
    case 0xA4:
      Select(a, r);
      return;
    case 0xE0:
      Create(a, r, e);
      return;
    case 0x0E:
      Erase(a, r, e);
      return;
    case 0xB0:
    case 0xD6:
      Binary(a, r, e);
      return;
    case 0x20:
      Verify(a, r, e);
      return;
    case 0x5E:
      ChangePin(a, r, e);
      return;
    case 0xD4:
      PutRecord(a, r, e);
      return;
    case 0x3A:
      SetParameter(a, r, e);
      return;
    case 0xCE:
      GenerateKeyPair(a, r, e);
      return;
    case 0x32:
      if (!root_) return r.Sw(0x6A81);
      Execute(static_cast<std::uint16_t>(a.p1 << 8 | a.p2), a.data, a.p3, true,
              r, e);
      return;
    case 0x34:
      if (a.p1 == 0x00 && a.p2 == 0x00) return WriteById(a, r, e);
      if (a.p1 != 0x00 || a.p2 != 0x01) return r.Sw(0x6A86);
      if (a.p3 < 2) return r.Sw(0x6700);
      if (!root_) return r.Sw(0x6A81);
      Execute(static_cast<std::uint16_t>(a.data[0] << 8 | a.data[1]),
              a.data + 2, a.p3 - 2u, false, r, e);
      return;
    default:
      r.Sw(0x6D00);
  }
}

void Card::ReadDeviceData(const Apdu& a, Reply& r) {
  if (a.p2 != 0) return r.Sw(0x6A86);
  std::uint8_t length = 0;
  bool needsRoot = false;
  switch (a.p1) {
    case 0x06:  // the device byte, raw, on 2.0.0
      if (version_ > 0x0200) return r.Sw(0x6A86);
      length = 1;
      break;
    case 0x07:  // the device and VM type after 2.0.0
      if (version_ <= 0x0200) return r.Sw(0x6A86);
      length = 1;
      break;
    case 0x02:
      length = 8;
      break;
    case 0x08:
      length = 2;
      break;
    case 0x03:
    case 0x09:
      length = 2;
      needsRoot = true;
      break;
    case 0x04:
      length = 6;
      needsRoot = true;
      break;
    default:
      return r.Sw(0x6A86);
  }
  if (a.p3 != length) return r.Sw(0x6700);
  if (needsRoot && !root_) return r.Sw(0x6A81);
  switch (a.p1) {
    case 0x06:
    case 0x07:
      r.Put(device_byte_);
      break;
    case 0x02:
      r.Put(serial_.data(), serial_.size());
      break;
    case 0x08:
      r.Put16(
          root_ ? (root_->cursor < root_->end ? root_->end - root_->cursor : 0)
                : memory_end_ - memory_start_);
      break;
    case 0x03:
      r.Put16(df_->cursor < df_->end ? df_->end - df_->cursor : 0);
      break;
    case 0x09:
      r.Put16(df_->cursor);
      break;
    case 0x04: {
      std::uint16_t path[3] = {0x3F00, 0, 0};
      for (const Node* n = df_; n != nullptr && n->depth > 0; n = n->parent) {
        path[n->depth] = n->id;
      }
      for (std::uint16_t id : path) r.Put16(id);
      break;
    }
    default:
      break;
  }
  r.Sw(0x9000);
}

void Card::SetCursor(std::uint32_t address) {
  if (df_ == nullptr) return;
  df_->cursor = std::clamp(address, df_->start, df_->end);
}

void Card::SetProgram(std::uint16_t fileId, CardProgram program) {
  if (program) {
    programs_[fileId] = std::move(program);
  } else {
    programs_.erase(fileId);
  }
}

bool Card::AtrFile(std::array<std::uint8_t, 8>& bytes) const {
  if (!root_) return false;
  const Node* file = Child(root_.get(), 0x3F04);
  if (file == nullptr || file->directory) return false;
  bytes.fill(0);
  std::copy_n(file->content.begin(),
              std::min<std::size_t>(file->content.size(), bytes.size()),
              bytes.begin());
  return true;
}

void Card::Snap(const Node& node, CardState::File& file) {
  file.id = node.id;
  file.directory = node.directory;
  file.type = node.type;
  file.access = node.access;
  file.size = node.size;
  file.address = node.address;
  file.content = node.content;
  for (const Key& key : node.keys) {
    CardState::Key k;
    k.id = key.id;
    k.control = key.control;
    k.value.assign(key.value.begin(), key.value.begin() + key.valueLength);
    k.tries = key.tries;
    k.maxTries = key.maxTries;
    k.verified = key.verified;
    file.keys.push_back(std::move(k));
  }
  file.start = node.start;
  file.end = node.end;
  file.cursor = node.cursor;
  file.parameter = node.parameter;
  file.finished = node.finished;
  for (const auto& child : node.children) {
    file.children.emplace_back();
    Snap(*child, file.children.back());
  }
}

CardState Card::Snapshot() const {
  CardState state;
  state.rootBytes = root_bytes_;
  if (!root_) return state;
  CardState::File root;
  Snap(*root_, root);
  state.root = std::move(root);
  std::vector<std::uint16_t> path;
  for (const Node* n = df_; n != nullptr; n = n->parent) path.push_back(n->id);
  state.currentDirectory.assign(path.rbegin(), path.rend());
  if (ef_ != nullptr) state.currentFile = ef_->id;
  return state;
}

std::string CardEffect::Text() const {
  const std::string file = Hex4(id);
  switch (kind) {
    case Kind::None:
      return std::string();
    case Kind::CreatedRoot:
      return "created the root directory 3F00, " + std::to_string(size) +
             " bytes";
    case Kind::CreatedDirectory:
      return "created directory " + file + ", " + std::to_string(size) +
             " bytes";
    case Kind::CreatedFile:
      return "created file " + file + ", type " + Hex2(byte) + ", " +
             std::to_string(size) + " bytes";
    case Kind::Finished:
      return "finished directory " + file;
    case Kind::ErasedDirectory:
      return "erased directory " + file;
    case Kind::ErasedRoot:
      return "erased the root directory and everything in it";
    case Kind::Wrote:
      return "wrote " + std::to_string(size) + " bytes to file " + file +
             " at offset " + std::to_string(offset);
    case Kind::PinVerified:
      return "PIN " + Hex2(byte) + " verified";
    case Kind::PinWrong:
      return "wrong PIN " + Hex2(byte) + ", " + std::to_string(tries) +
             (tries == 1 ? " try left" : " tries left");
    case Kind::PinBlocked:
      return "PIN " + Hex2(byte) + " is blocked";
    case Kind::PinChanged:
      return "PIN " + Hex2(byte) + " changed";
    case Kind::RecordInstalled:
    case Kind::RecordReplaced:
      return std::string(kind == Kind::RecordInstalled ? "installed"
                                                       : "replaced") +
             " key record " + Hex2(record[0]) + " " + Hex2(record[1]) + " " +
             Hex2(record[2]) + " in directory " + file;
    case Kind::ParameterSet:
      return "set the parameter of directory " + file + " to " + Hex2(byte);
    case Kind::KeyPairGenerated:
      return "generated a key pair into files " + file + " and " + Hex4(id2);
    case Kind::Executed:
      return "ran file " + file + " on " + std::to_string(offset) +
             " input bytes: status " + Hex2(byte) + ", " +
             std::to_string(size) + " output bytes";
    case Kind::Injected:
      return "answered INS " + Hex2(byte) + " with an injected answer";
  }
  return std::string();
}

}  // namespace vantor::sim::detail
