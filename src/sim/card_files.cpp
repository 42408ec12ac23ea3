// The card's file tree and memory: select, create, finish, erase, and
// binary read and update (by the current EF, a short id or an id).
#include <algorithm>
#include <cstring>

#include "sim/card.h"

namespace vantor::sim::detail {

namespace {

constexpr std::uint32_t kFileOverhead = 14;  // header bytes of every file
constexpr std::uint16_t kRootId = 0x3F00;
constexpr std::size_t kMaxRead = 253;  // data and status word fit 255 bytes

std::uint16_t Id(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

bool KnownFileType(std::uint8_t type) {
  switch (type) {
    case 0x00:
    case 0x04:
    case 0x05:
    case 0x06:
    case 0x07:
    case 0x08:
    case 0x09:
    case 0x0A:
    case 0x0B:
      return true;
    default:
      return false;
  }
}

}  // namespace

Card::Node* Card::Child(const Node* df, std::uint16_t id) {
  if (df == nullptr) return nullptr;
  for (const auto& child : df->children) {
    if (child->id == id) return child.get();
  }
  return nullptr;
}

Card::Node* Card::KeyFile(const Node* df) {
  if (df == nullptr) return nullptr;
  for (const auto& child : df->children) {
    if (!child->directory && child->type == 0x05) return child.get();
  }
  return nullptr;
}

void Card::ClearVerified(Node& node) {
  for (Key& key : node.keys) key.verified = false;
  for (auto& child : node.children) ClearVerified(*child);
}

void Card::Select(const Apdu& a, Reply& r) {
  if ((a.p1 != 0x00 && a.p1 != 0x02) || a.p2 != 0x00) return r.Sw(0x6A86);
  if (a.p3 != 2) return r.Sw(0x6700);
  if (!root_) return r.Sw(0x6A82);
  const std::uint16_t id = Id(a.data);
  if (a.p1 == 0x00) {  // a directory
    Node* df = id == kRootId ? root_.get() : Child(df_, id);
    if (df == nullptr || !df->directory) return r.Sw(0x6A82);
    df_ = df;
    ef_ = nullptr;
    return r.Sw(0x9000);
  }
  Node* ef = Child(df_, id);  // a file of the current directory
  if (ef == nullptr || ef->directory) return r.Sw(0x6A82);
  ef_ = ef;
  r.Put16(ef->id);
  r.Put(ef->access.data(), ef->access.size());
  r.Put16(ef->size);
  r.Put(0x00);
  r.Put(ef->type);
  r.Put16(ef->size);
  r.Sw(0x9000);
}

void Card::Create(const Apdu& a, Reply& r, CardEffect& e) {
  if (a.p1 == 0x00 && a.p2 == 0x00) return MakeRoot(a, r, e);
  if (a.p1 == 0x01 && a.p2 == 0x00) return MakeDirectory(a, r, e);
  if (a.p1 == 0x02) return MakeFile(a, r, e);
  if (a.p1 != 0x00 || a.p2 != 0x01) return r.Sw(0x6A86);
  // 80 E0 00 01: finish the current directory.
  if (a.p3 != 0) return r.Sw(0x6700);
  if (!root_) return r.Sw(0x6A81);
  df_->finished = true;
  e.kind = CardEffect::Kind::Finished;
  e.id = df_->id;
  r.Sw(0x9000);
}

void Card::MakeRoot(const Apdu& a, Reply& r, CardEffect& e) {
  // 8 bytes, then DF DF 00 1E 3F 00 00 00 00.
  if (a.p3 != 0x11) return r.Sw(0x6700);
  if (root_) return r.Sw(0x6A89);
  auto root = std::make_unique<Node>();
  root->id = kRootId;
  root->directory = true;
  std::copy_n(a.data + 8, 4, root->access.begin());
  root->size = memory_end_ - memory_start_;
  root->address = memory_start_;
  root->start = memory_start_;
  root->end = memory_end_;
  root->cursor = memory_start_;
  std::copy_n(a.data, 8, root_bytes_.begin());
  root_ = std::move(root);
  df_ = root_.get();
  ef_ = nullptr;
  e.kind = CardEffect::Kind::CreatedRoot;
  e.id = kRootId;
  e.size = root_->size;
  r.Sw(0x9000);
}

void Card::MakeDirectory(const Apdu& a, Reply& r, CardEffect& e) {
  // i1 i2 DF DF 80 1E s1 s2 i1 i2 00 00 00.
  if (a.p3 != 0x0D) return r.Sw(0x6700);
  if (!root_) return r.Sw(0x6A81);
  const std::uint16_t id = Id(a.data);
  const std::uint32_t size = Id(a.data + 6);
  if (id == kRootId || Child(df_, id) != nullptr) return r.Sw(0x6A89);
  if (df_->depth >= 2) return r.Sw(0x6985);
  const std::uint32_t cost = kFileOverhead + size;
  if (df_->cursor > df_->end || df_->end - df_->cursor < cost) {
    return r.Sw(0x6A84);
  }
  auto dir = std::make_unique<Node>();
  dir->id = id;
  dir->directory = true;
  std::copy_n(a.data + 2, 4, dir->access.begin());
  dir->size = size;
  dir->address = df_->cursor;
  dir->parent = df_;
  dir->depth = df_->depth + 1;
  dir->start = df_->cursor + kFileOverhead;
  dir->end = dir->start + size;
  dir->cursor = dir->start;
  df_->cursor += cost;
  df_->children.push_back(std::move(dir));
  e.kind = CardEffect::Kind::CreatedDirectory;
  e.id = id;
  e.size = size;
  r.Sw(0x9000);
}

void Card::MakeFile(const Apdu& a, Reply& r, CardEffect& e) {
  // i1 i2 a1 a2 a3 a4 s1 s2, the type in P2.
  if (!KnownFileType(a.p2)) return r.Sw(0x6A86);
  if (a.p3 != 0x08) return r.Sw(0x6700);
  if (!root_) return r.Sw(0x6A81);
  const std::uint16_t id = Id(a.data);
  const std::uint32_t size = Id(a.data + 6);
  if (id == kRootId || Child(df_, id) != nullptr) return r.Sw(0x6A89);
  // A key file of size s1 s2 holds s1 records of s2 bytes.
  const bool keyFile = a.p2 == 0x05;
  const std::uint32_t bytes =
      keyFile ? std::uint32_t{a.data[6]} * a.data[7] : size;
  const std::uint32_t cost = kFileOverhead + bytes;
  if (df_->cursor > df_->end || df_->end - df_->cursor < cost) {
    return r.Sw(0x6A84);
  }
  auto file = std::make_unique<Node>();
  file->id = id;
  file->type = a.p2;
  std::copy_n(a.data + 2, 4, file->access.begin());
  file->size = size;
  file->address = df_->cursor;
  file->parent = df_;
  if (keyFile) {
    file->keyCapacity = a.data[6];
    file->keys.reserve(file->keyCapacity);
  } else {
    file->content.assign(size, 0);
  }
  df_->cursor += cost;
  df_->children.push_back(std::move(file));
  e.kind = CardEffect::Kind::CreatedFile;
  e.id = id;
  e.byte = a.p2;
  e.size = size;
  r.Sw(0x9000);
}

void Card::Erase(const Apdu& a, Reply& r, CardEffect& e) {
  if (a.p1 != 0x00 || a.p2 != 0x00) return r.Sw(0x6A86);
  if (a.p3 != 0) return r.Sw(0x6700);
  if (!root_) return r.Sw(0x6A81);
  e.id = df_->id;
  ef_ = nullptr;
  if (df_ == root_.get()) {
    root_.reset();
    root_bytes_.fill(0);
    df_ = nullptr;
    e.kind = CardEffect::Kind::ErasedRoot;
    return r.Sw(0x9000);
  }
  df_->children.clear();
  df_->cursor = df_->start;
  df_->parameter = 0;
  df_->finished = false;
  e.kind = CardEffect::Kind::ErasedDirectory;
  r.Sw(0x9000);
}

void Card::Access(Node& file, bool write, std::uint32_t offset,
                  const std::uint8_t* data, std::size_t n, Reply& r,
                  CardEffect& e) {
  if (file.type == 0x05) return r.Sw(0x6981);
  if (offset > file.content.size() || n > file.content.size() - offset) {
    return r.Sw(0x6B00);
  }
  if (write) {
    if (n != 0) std::memcpy(file.content.data() + offset, data, n);
    e.kind = CardEffect::Kind::Wrote;
    e.id = file.id;
    e.offset = offset;
    e.size = static_cast<std::uint32_t>(n);
  } else {
    r.Put(file.content.data() + offset, n);
  }
  r.Sw(0x9000);
}

void Card::Binary(const Apdu& a, Reply& r, CardEffect& e) {
  const bool write = a.ins == 0xD6;
  if ((a.p1 & 0x80) != 0 && (a.p1 & 0x60) != 0) return r.Sw(0x6A86);
  if (write ? a.p3 == 0 : a.p3 > kMaxRead) return r.Sw(0x6700);
  if (!root_) return r.Sw(0x6A81);
  Node* file = ef_;
  std::uint32_t offset = static_cast<std::uint32_t>(a.p1 << 8 | a.p2);
  if ((a.p1 & 0x80) != 0) {  // short id P1 & 1F, offset P2
    file = Child(df_, static_cast<std::uint16_t>(a.p1 & 0x1F));
    if (file == nullptr || file->directory) return r.Sw(0x6A82);
    offset = a.p2;
    if (file->type != 0x05) ef_ = file;  // selected, as ISO 7816-4 has it
  } else if (file == nullptr) {
    return r.Sw(0x6986);
  }
  Access(*file, write, offset, write ? a.data : nullptr, a.p3, r, e);
}

void Card::WriteById(const Apdu& a, Reply& r, CardEffect& e) {
  // i1 i2 o1 o2 n [n]
  if (a.p3 < 5 || a.p3 != 5u + a.data[4]) return r.Sw(0x6700);
  if (!root_) return r.Sw(0x6A81);
  Node* file = Child(df_, Id(a.data));
  if (file == nullptr || file->directory) return r.Sw(0x6A82);
  Access(*file, true, Id(a.data + 2), a.data + 5, a.data[4], r, e);
}

}  // namespace vantor::sim::detail
