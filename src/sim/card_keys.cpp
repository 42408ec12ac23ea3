// The card's key records (verify and change PIN, install and replace), the
// directory parameter, key-pair generation and the execution of files.
#include <algorithm>
#include <cstring>

#include "sim/card.h"

namespace vantor::sim::detail {

namespace {

constexpr std::size_t kMaxOutput = 252;  // with the status byte: 253

bool IsPinP2(std::uint8_t p2) {
  return p2 == 0xAA || p2 == 0xBB || p2 == 0xCC || p2 == 0xDD;
}

std::uint16_t Id(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

// Deterministic filler bytes for generated keys (xorshift32).
struct Filler {
  std::uint32_t state;
  std::uint8_t Next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return static_cast<std::uint8_t>(state >> 24);
  }
};

// Writes `n` bytes of `record` into `content` from `at`, as far as they fit.
void Lay(std::vector<std::uint8_t>& content, std::size_t& at,
         const std::uint8_t* record, std::size_t n) {
  for (std::size_t i = 0; i < n && at < content.size(); ++i) {
    content[at++] = record[i];
  }
}

// A tagged component: tag, length, `length` filler bytes.
void LayComponent(std::vector<std::uint8_t>& content, std::size_t& at,
                  std::uint8_t tag, std::uint8_t length, Filler& filler,
                  bool topBitSet) {
  const std::uint8_t head[2] = {tag, length};
  Lay(content, at, head, 2);
  for (std::uint8_t i = 0; i < length; ++i) {
    std::uint8_t b = filler.Next();
    if (i == 0 && topBitSet) b |= 0x80;
    Lay(content, at, &b, 1);
  }
}

}  // namespace

Card::Key* Card::PinRecord(std::uint8_t p2, Reply& r) {
  Node* keyFile = KeyFile(df_);
  if (keyFile != nullptr) {
    for (Key& key : keyFile->keys) {
      if (key.id[0] == p2 && key.id[1] == 0x00 && key.id[2] == 0x05) {
        return &key;
      }
    }
  }
  r.Sw(0x6A88);
  return nullptr;
}

bool Card::CheckPin(Key& key, std::uint8_t p2, const std::uint8_t* pin,
                    Reply& r, CardEffect& e) {
  e.byte = p2;
  if (key.tries <= 0) {
    e.kind = CardEffect::Kind::PinBlocked;
    r.Sw(0x6983);
    return false;
  }
  if (key.valueLength == 8 && std::memcmp(key.value.data(), pin, 8) == 0) {
    key.tries = key.maxTries;
    key.verified = true;
    e.kind = CardEffect::Kind::PinVerified;
    return true;
  }
  --key.tries;
  key.verified = false;
  e.kind = CardEffect::Kind::PinWrong;
  e.tries = key.tries;
  r.Sw(static_cast<std::uint16_t>(0x63C0 | std::min(key.tries, 15)));
  return false;
}

void Card::Verify(const Apdu& a, Reply& r, CardEffect& e) {
  if (a.p1 != 0x00 || !IsPinP2(a.p2)) return r.Sw(0x6A86);
  if (a.p3 != 0x08) return r.Sw(0x6700);
  if (!root_) return r.Sw(0x6A81);
  Key* key = PinRecord(a.p2, r);
  if (key == nullptr) return;
  if (CheckPin(*key, a.p2, a.data, r, e)) r.Sw(0x9000);
}

void Card::ChangePin(const Apdu& a, Reply& r, CardEffect& e) {
  if (a.p1 != 0x01 || !IsPinP2(a.p2)) return r.Sw(0x6A86);
  if (a.p3 != 0x10) return r.Sw(0x6700);
  if (!root_) return r.Sw(0x6A81);
  Key* key = PinRecord(a.p2, r);
  if (key == nullptr) return;
  if (!CheckPin(*key, a.p2, a.data, r, e)) return;
  std::copy_n(a.data + 8, 8, key->value.begin());
  key->valueLength = 8;
  e.kind = CardEffect::Kind::PinChanged;
  r.Sw(0x9000);
}

void Card::PutRecord(const Apdu& a, Reply& r, CardEffect& e) {
  // id (3), control (4), value (8 or 16).
  const bool replace = a.p1 == 0x01;
  if ((a.p1 != 0x00 && a.p1 != 0x01) || a.p2 != 0x00) return r.Sw(0x6A86);
  if (a.p3 != 0x0F && !(replace && a.p3 == 0x17)) return r.Sw(0x6700);
  if (!root_) return r.Sw(0x6A81);
  Node* keyFile = KeyFile(df_);
  if (keyFile == nullptr) return r.Sw(0x6A82);
  Key* found = nullptr;
  for (Key& key : keyFile->keys) {
    if (std::equal(key.id.begin(), key.id.end(), a.data)) found = &key;
  }
  if (replace && found == nullptr) return r.Sw(0x6A88);
  if (!replace && found != nullptr) return r.Sw(0x6A89);
  if (!replace && keyFile->keys.size() >= keyFile->keyCapacity) {
    return r.Sw(0x6A84);
  }
  Key key;
  std::copy_n(a.data, 3, key.id.begin());
  std::copy_n(a.data + 3, 4, key.control.begin());
  key.valueLength = static_cast<std::uint8_t>(a.p3 - 7u);
  std::copy_n(a.data + 7, key.valueLength, key.value.begin());
  const int limit = key.control[3] & 0x0F;
  key.maxTries = limit == 0 || limit == 0x0F ? 15 : limit;
  key.tries = key.maxTries;
  if (replace) {
    *found = key;
  } else {
    keyFile->keys.push_back(key);  // within the reserved capacity
  }
  e.kind = replace ? CardEffect::Kind::RecordReplaced
                   : CardEffect::Kind::RecordInstalled;
  e.id = df_->id;
  e.record = key.id;
  r.Sw(0x9000);
}

void Card::SetParameter(const Apdu& a, Reply& r, CardEffect& e) {
  if (a.p1 != 0x03 || a.p2 != 0x00) return r.Sw(0x6A86);
  if (a.p3 != 0x01) return r.Sw(0x6700);
  if (!root_) return r.Sw(0x6A81);
  df_->parameter = a.data[0];
  e.kind = CardEffect::Kind::ParameterSet;
  e.id = df_->id;
  e.byte = a.data[0];
  r.Sw(0x9000);
}

void Card::GenerateKeyPair(const Apdu& a, Reply& r, CardEffect& e) {
  if (a.p1 != 0x00 || a.p2 != 0x01) return r.Sw(0x6A86);
  if (a.p3 != 0x04) return r.Sw(0x6700);
  if (!root_) return r.Sw(0x6A81);
  Node* pub = Child(df_, Id(a.data));
  Node* priv = Child(df_, Id(a.data + 2));
  if (pub == nullptr || pub->directory || priv == nullptr || priv->directory) {
    return r.Sw(0x6A82);
  }
  if (pub->type != 0x06 || priv->type != 0x07) return r.Sw(0x6981);
  // Of the shapes of the key records: 6E 80 modulus 65 04
  // exponent; 70, 71, 50, 51, 49 each with 40 and 64 bytes. Not real RSA.
  Filler filler{0x9E3779B9u ^ (std::uint32_t{pub->id} << 16 | priv->id) ^
                (++key_pairs_ * 0x85EBCA6Bu)};
  std::size_t at = 0;
  std::fill(pub->content.begin(), pub->content.end(), 0);
  LayComponent(pub->content, at, 0x6E, 0x80, filler, true);
  const std::uint8_t exponent[6] = {0x65, 0x04, 0x00, 0x01, 0x00, 0x01};
  Lay(pub->content, at, exponent, sizeof(exponent));
  at = 0;
  std::fill(priv->content.begin(), priv->content.end(), 0);
  static constexpr std::uint8_t kTags[] = {0x70, 0x71, 0x50, 0x51, 0x49};
  for (std::uint8_t tag : kTags) {
    LayComponent(priv->content, at, tag, 0x40, filler, tag == 0x70);
  }
  e.kind = CardEffect::Kind::KeyPairGenerated;
  e.id = pub->id;
  e.id2 = priv->id;
  r.Sw(0x9000);
}

void Card::Execute(std::uint16_t id, const std::uint8_t* input, std::size_t n,
                   bool withStatus, Reply& r, CardEffect& e) {
  Node* file = Child(df_, id);
  if (file == nullptr || file->directory) return r.Sw(0x6A82);
  if (file->type != 0x08 && file->type != 0x0A) return r.Sw(0x6981);
  const std::size_t limit = withStatus ? kMaxOutput : kMaxOutput + 1;
  std::uint8_t status = 0x00;
  const std::uint8_t* output = input;  // the default program echoes
  std::size_t length = n;
  auto program = programs_.find(id);
  if (program != programs_.end()) {
    program_input_.assign(input, input + n);
    program_output_.clear();
    status = program->second(program_input_, program_output_);
    output = program_output_.data();
    length = program_output_.size();
  }
  length = std::min(length, limit);
  if (withStatus) r.Put(status);
  r.Put(output, length);
  r.Sw(0x9000);
  e.kind = CardEffect::Kind::Executed;
  e.id = id;
  e.byte = status;
  e.offset = static_cast<std::uint32_t>(n);
  e.size = static_cast<std::uint32_t>(length);
}

}  // namespace vantor::sim::detail
