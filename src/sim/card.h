// The card of a virtual token: the token side of the Vantor card command
// language. It keeps the file tree, the memory accounting, the key records
// and the volatile selection state, and answers one command APDU at a time
// (see "The card" in docs/virtual-token.md).
//
// Files: card.cpp (dispatch, checks, device data, inspection, events),
// card_files.cpp (tree, memory, select, create, erase, binary read and
// update), card_keys.cpp (PIN and key records, key pairs, execution).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vantor/sim.h"

namespace vantor::sim::detail {

// What one command did to the card, for the event log. Plain data: the
// card fills it without allocating; Text() formats it when it is logged.
struct CardEffect {
  enum class Kind : std::uint8_t {
    None,
    CreatedRoot,
    CreatedDirectory,
    CreatedFile,
    Finished,
    ErasedDirectory,
    ErasedRoot,
    Wrote,
    PinVerified,
    PinWrong,
    PinBlocked,
    PinChanged,
    RecordInstalled,
    RecordReplaced,
    ParameterSet,
    KeyPairGenerated,
    Executed,
    Injected,
  };
  Kind kind = Kind::None;
  std::uint16_t id = 0;   // the file, directory or second file involved
  std::uint16_t id2 = 0;  // the second file of a key pair
  std::uint8_t byte = 0;  // file type, PIN P2, parameter, run status, INS
  std::uint32_t size = 0;
  std::uint32_t offset = 0;
  std::array<std::uint8_t, 3> record{};  // key record id
  int tries = 0;

  std::string Text() const;
};

class Card {
 public:
  // The largest answer Run writes (data and status word).
  static constexpr std::size_t kMaxAnswer = 255;

  explicit Card(const TokenConfig& config);
  ~Card();
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  // Power-on: the root (if any) current, no current EF, nothing verified.
  void Reset();

  // Runs one command APDU; writes the answer (at most kMaxAnswer bytes) to
  // `out` and its length to `outLength`.
  CardEffect Run(const std::uint8_t* apdu, std::size_t length,
                 std::uint8_t* out, std::size_t& outLength);

  CardState Snapshot() const;
  void SetCursor(std::uint32_t address);
  void SetProgram(std::uint16_t fileId, CardProgram program);

  // The first 8 bytes of the root's file 3F04 (zero-filled), when it
  // exists.
  bool AtrFile(std::array<std::uint8_t, 8>& bytes) const;

 private:
  struct Key {
    std::array<std::uint8_t, 3> id{};
    std::array<std::uint8_t, 4> control{};
    std::array<std::uint8_t, 16> value{};
    std::uint8_t valueLength = 0;
    int tries = 0;
    int maxTries = 0;
    bool verified = false;
  };
  struct Node {
    std::uint16_t id = 0;
    bool directory = false;
    std::uint8_t type = 0;
    std::array<std::uint8_t, 4> access{};
    std::uint32_t size = 0;
    std::uint32_t address = 0;
    std::vector<std::uint8_t> content;
    std::vector<Key> keys;
    std::size_t keyCapacity = 0;
    // Directories.
    Node* parent = nullptr;
    int depth = 0;  // the root 0, its DFs 1, theirs 2
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    std::uint32_t cursor = 0;
    std::uint8_t parameter = 0;
    bool finished = false;
    std::vector<std::unique_ptr<Node>> children;
  };
  // The answer being built.
  struct Reply {
    std::uint8_t* bytes;
    std::size_t length = 0;
    void Put(std::uint8_t b) { bytes[length++] = b; }
    void Put(const std::uint8_t* data, std::size_t n);
    void Put16(std::uint32_t value);  // high byte first, above 0xFFFF: FFFF
    void Sw(std::uint16_t sw) {
      Put(static_cast<std::uint8_t>(sw >> 8));
      Put(static_cast<std::uint8_t>(sw & 0xFF));
    }
  };
  // One decoded command.
  struct Apdu {
    std::uint8_t cla, ins, p1, p2, p3;
    const std::uint8_t* data;  // P3 bytes for commands with data
  };

  // card.cpp
  void Dispatch(const Apdu& a, Reply& r, CardEffect& e);
  void ReadDeviceData(const Apdu& a, Reply& r);
  static void Snap(const Node& node, CardState::File& file);

  // card_files.cpp
  static Node* Child(const Node* df, std::uint16_t id);
  static Node* KeyFile(const Node* df);
  static void ClearVerified(Node& node);
  void Select(const Apdu& a, Reply& r);
  void Create(const Apdu& a, Reply& r, CardEffect& e);
  void MakeRoot(const Apdu& a, Reply& r, CardEffect& e);
  void MakeDirectory(const Apdu& a, Reply& r, CardEffect& e);
  void MakeFile(const Apdu& a, Reply& r, CardEffect& e);
  void Erase(const Apdu& a, Reply& r, CardEffect& e);
  void Binary(const Apdu& a, Reply& r, CardEffect& e);
  void WriteById(const Apdu& a, Reply& r, CardEffect& e);
  static void Access(Node& file, bool write, std::uint32_t offset,
                     const std::uint8_t* data, std::size_t n, Reply& r,
                     CardEffect& e);

  // card_keys.cpp
  Key* PinRecord(std::uint8_t p2, Reply& r);
  bool CheckPin(Key& key, std::uint8_t p2, const std::uint8_t* pin, Reply& r,
                CardEffect& e);
  void Verify(const Apdu& a, Reply& r, CardEffect& e);
  void ChangePin(const Apdu& a, Reply& r, CardEffect& e);
  void PutRecord(const Apdu& a, Reply& r, CardEffect& e);
  void SetParameter(const Apdu& a, Reply& r, CardEffect& e);
  void GenerateKeyPair(const Apdu& a, Reply& r, CardEffect& e);
  void Execute(std::uint16_t id, const std::uint8_t* input, std::size_t n,
               bool withStatus, Reply& r, CardEffect& e);

  const std::uint16_t version_;
  const std::uint8_t device_byte_;
  const std::array<std::uint8_t, 8> serial_;
  const std::uint32_t memory_start_;
  const std::uint32_t memory_end_;

  std::unique_ptr<Node> root_;
  std::array<std::uint8_t, 8> root_bytes_{};
  Node* df_ = nullptr;           // current DF (null only without a root)
  Node* ef_ = nullptr;           // current EF, a child of df_
  std::uint32_t key_pairs_ = 0;  // key pairs generated so far
  std::map<std::uint16_t, CardProgram> programs_;
  std::vector<std::uint8_t> program_input_;
  std::vector<std::uint8_t> program_output_;
};

}  // namespace vantor::sim::detail
