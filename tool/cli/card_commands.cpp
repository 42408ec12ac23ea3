// The card subcommands: directories, PINs and keys, files and programs on
// one token. Each opens the chosen token, enters --path and presents --pin
// when asked, makes its one call and closes the token again.
#include <algorithm>
#include <fstream>
#include <functional>
#include <istream>
#include <string>
#include <vector>

#include "commands.h"
#include "json.h"
#include "secret.h"

namespace vantor::tool::cli::internal {
namespace {

using Bytes = std::vector<std::uint8_t>;

// What a successful command shows: a line for people and its fields for
// --json.
struct Done {
  std::string line;
  std::function<void(JsonWriter&)> fields;
};

// An open token, closed when it goes.
class Card {
 public:
  Card(TokenApi& api, const VXContext& token) : api_(api), token_(token) {}
  ~Card() {
    if (open_) api_.CloseDevice(&token_);
  }
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  std::uint32_t Open() {
    const std::uint32_t result = api_.OpenDevice(&token_);
    open_ = result == VX_SUCCESS;
    return result;
  }
  VXContext* Token() { return &token_; }
  TokenApi& Api() { return api_; }

 private:
  TokenApi& api_;
  VXContext token_;
  bool open_ = false;
};

// The secrets a command reads: their names and lengths.
struct SecretKind {
  std::uint32_t kind;
  const char* name;
  std::size_t length, otherLength;  // otherLength: 0, or a second length
  const char* lengthText;
};

const SecretKind& KindOf(std::uint32_t kind) {
  static const SecretKind kKinds[] = {
      {VX_USER_PIN, "user PIN", 8, 0, "8 bytes"},
      {VX_DEV_PIN, "developer PIN", 24, 0, "24 bytes"},
      {VX_AUTH_KEY, "authentication key", 8, 16, "8 or 16 bytes"},
  };
  for (const SecretKind& k : kKinds) {
    if (k.kind == kind) return k;
  }
  return kKinds[2];
}

const char* SecretName(std::uint32_t kind) { return KindOf(kind).name; }

// Hexadecimal digits (characters of `text`) as bytes into `bytes`; false
// for anything else.
template <typename Text, typename Out>
bool ParseHexInto(const Text& text, Out* bytes) {
  if (text.size() % 2 != 0) return false;
  bytes->clear();
  bytes->reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int value = 0;
    for (std::size_t k = i; k < i + 2; ++k) {
      const char ch = static_cast<char>(text[k]);
      int digit = -1;
      if (ch >= '0' && ch <= '9') digit = ch - '0';
      if (ch >= 'a' && ch <= 'f') digit = ch - 'a' + 10;
      if (ch >= 'A' && ch <= 'F') digit = ch - 'A' + 10;
      if (digit < 0) return false;
      value = value * 16 + digit;
    }
    bytes->push_back(static_cast<std::uint8_t>(value));
  }
  return true;
}

// Hexadecimal digits as bytes; nullopt for anything else.
std::optional<Bytes> ParseHex(const std::string& text) {
  Bytes bytes;
  if (!ParseHexInto(text, &bytes)) return std::nullopt;
  return bytes;
}

bool IsFileId(const std::string& id) {
  return id.size() == 4 && ParseHex(id).has_value();
}

// One line of `in` without its end, as std::getline reads it: false when
// the input ends before any character. Read into wiped memory, not into a
// string, whose short-string buffer would keep the characters.
bool ReadSecretLine(std::istream& in, SecretBytes* line) {
  line->clear();
  line->reserve(64);
  for (int c = in.get(); c != std::istream::traits_type::eof(); c = in.get()) {
    if (c == '\n') return true;
    line->push_back(static_cast<std::uint8_t>(c));
  }
  if (line->empty()) return false;
  in.clear(in.rdstate() & ~std::ios::failbit);  // only the end was reached
  return true;
}

// One secret of `kind` from standard input: a line of text or, with --hex,
// of hexadecimal digits. On a terminal the user is asked for it and the
// terminal does not show it. Empty and `error` set on failure. Its memory,
// and the line's, is wiped when it goes.
SecretBytes ReadSecret(const Options& options, Streams& io,
                       const std::string& what, std::uint32_t kind,
                       std::string* error) {
  SecretBytes line;
  if (io.in == nullptr) {
    *error = "cannot read the " + what + ": no standard input";
    return {};
  }
  if (io.inTerminal) {
    io.err << what << ": " << std::flush;
    if (io.echo != nullptr) io.echo(false);
  }
  const bool read = ReadSecretLine(*io.in, &line);
  if (io.inTerminal) {
    if (io.echo != nullptr) io.echo(true);
    io.err << '\n';
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!read) {
    *error = "no " + what + " on standard input";
    return {};
  }
  SecretBytes bytes;
  if (!options.hex) {
    bytes.swap(line);
  } else if (!ParseHexInto(line, &bytes)) {
    *error = "the " + what + " is not hexadecimal digits";
    return {};
  }
  const SecretKind& shape = KindOf(kind);
  const bool other =
      shape.otherLength != 0 && bytes.size() == shape.otherLength;
  if (bytes.size() != shape.length && !other) {
    *error = "the " + what + " is " + shape.lengthText + ", not " +
             std::to_string(bytes.size());
    return {};
  }
  return bytes;
}

// The content of a file to store ("-": standard input), at most one byte
// more than a file can hold so that a larger one is seen.
bool ReadContent(const std::string& name, Streams& io, Bytes* content,
                 std::string* error) {
  const std::size_t limit = VX_MAX_FILE_SIZE + 1;
  std::ifstream file;
  std::istream* in = io.in;
  if (name != "-") {
    file.open(name, std::ios::binary);
    in = &file;
  }
  if (in == nullptr || !*in) {
    *error = "cannot read '" + name + "'";
    return false;
  }
  content->clear();
  char buffer[4096];
  while (content->size() < limit && *in) {
    in->read(buffer, static_cast<std::streamsize>(
                         std::min(sizeof buffer, limit - content->size())));
    content->insert(content->end(), buffer, buffer + in->gcount());
  }
  if (in->bad()) {
    *error = "cannot read '" + name + "'";
    return false;
  }
  return true;
}

// The sizes the token's key files take, and what an extended executable
// file needs beside its code.
constexpr std::uint32_t kRsaPublicFileSize = 136;
constexpr std::uint32_t kRsaPrivateFileSize = 330;
constexpr std::uint32_t kExeExOverhead = 126;

// What a command asks before the token is opened, and the call it makes.
struct Plan {
  std::string error;  // a usage error
  SecretBytes pin;    // --pin's value
  std::function<std::uint32_t(Card&, Done&)> call;
  std::string failure;  // what failed, when the call fails
};

std::uint32_t Control(Card& card, std::uint32_t code, std::uint8_t* output,
                      std::uint32_t size) {
  std::uint32_t returned = 0;
  return card.Api().Control(card.Token(), code, nullptr, 0, output, size,
                            &returned);
}

void PlanMkdir(const Options& o, Streams&, Plan& plan) {
  const std::string id = o.operands[0];
  const bool root = id == "\\" || id == "root";
  VXROOTINFO info{sizeof(VXROOTINFO), {}};
  if (o.deviceId) {
    const std::optional<Bytes> bytes = ParseHex(*o.deviceId);
    if (!root) {
      plan.error = "--device-id is written with the root only";
    } else if (!bytes || bytes->size() != sizeof info.bDeviceId) {
      plan.error =
          "--device-id: 16 hexadecimal digits, not '" + *o.deviceId + "'";
    } else {
      std::copy(bytes->begin(), bytes->end(), info.bDeviceId);
    }
  }
  if (!root && !o.size) plan.error = "mkdir: --size is needed";
  const bool withId = o.deviceId.has_value();
  const std::uint32_t size = o.size.value_or(0);
  plan.failure = root ? "cannot make the root" : "cannot make directory " + id;
  plan.call = [id, root, withId, size, info](Card& card, Done& done) {
    std::uint32_t kind = VX_ROOT_DIRECTORY;
    std::uint8_t type = 0;
    if (!root) {
      // Device type 0 keeps subdirectories, the others applications.
      const std::uint32_t result = Control(card, VX_GET_DEVICE_TYPE, &type, 1);
      if (result != VX_SUCCESS) return result;
      kind = type == 0 ? VX_SUB_DIRECTORY : VX_APP_DIRECTORY;
    }
    const char* text = root ? "\\" : id.c_str();
    const std::uint32_t result =
        withId ? VXMakeDirectoryEx(card.Token(), text, size, kind, &info)
               : VXMakeDirectory(card.Token(), text, size, kind);
    const char* kindName = root                       ? "root"
                           : kind == VX_SUB_DIRECTORY ? "subdirectory"
                                                      : "application directory";
    done.line = root ? std::string("Made the root directory")
                     : "Made " + std::string(kindName) + " " + id + " of " +
                           std::to_string(size) + " bytes";
    if (withId) {
      done.line += " and wrote device id " + HexBytes(info.bDeviceId, 8);
    }
    done.line += '.';
    done.fields = [=](JsonWriter& json) {
      json.Key("directory").String(root ? "\\" : id);
      json.Key("kind").String(kindName);
      if (!root) json.Key("size").Number(size);
      if (withId) json.Key("deviceId").String(HexBytes(info.bDeviceId, 8));
    };
    return result;
  };
}

void PlanClear(const Options& o, Streams&, Plan& plan) {
  const std::string path = o.operands[0];
  if (!o.yes) {
    plan.error = "clear erases the files of " +
                 (path == "\\" ? std::string("the whole token") : path) +
                 ": add --yes";
  }
  plan.failure = "cannot clear " + path;
  plan.call = [path](Card& card, Done& done) {
    std::uint32_t result = VXEnterDirectory(card.Token(), path.c_str());
    if (result == VX_SUCCESS) result = VXClearDirectory(card.Token(), 0);
    done.line = path == "\\" ? "Cleared the token: it has no root now."
                             : "Cleared directory " + path + ".";
    done.fields = [path](JsonWriter& json) {
      json.Key("cleared").String(path);
    };
    return result;
  };
}

void PlanPin(const Options& o, Streams& io, Plan& plan) {
  const std::string action = o.operands[0];
  const std::string which = o.operands[1];
  std::uint32_t kind = 0;
  if (which == "user") kind = VX_USER_PIN;
  if (which == "dev") kind = VX_DEV_PIN;
  if (which == "key") kind = VX_AUTH_KEY;
  if (action != "verify" && action != "change") {
    plan.error = "pin: 'verify' or 'change', not '" + action + "'";
    return;
  }
  if (kind == 0 || (action == "verify" && kind == VX_AUTH_KEY)) {
    plan.error = "pin " + action + ": 'user', 'dev'" +
                 (action == "change" ? ", 'key'" : "") + ", not '" + which +
                 "'";
    return;
  }
  const std::string name = SecretName(kind);
  SecretBytes current, next;
  if (action == "verify" || kind != VX_AUTH_KEY) {
    current = ReadSecret(o, io, action == "verify" ? name : "Current " + name,
                         kind, &plan.error);
    if (!plan.error.empty()) return;
  }
  if (action == "change") {
    next = ReadSecret(o, io, "New " + name, kind, &plan.error);
    if (!plan.error.empty()) return;
  }
  plan.failure = action == "verify" ? "the token refused the " + name
                                    : "cannot change the " + name;
  plan.call = [=](Card& card, Done& done) {
    const std::uint32_t result =
        action == "verify"
            ? VXPresentPin(card.Token(), current.data(),
                           static_cast<std::uint32_t>(current.size()), kind)
            : VXSetPinOrKey(
                  card.Token(), current.empty() ? nullptr : current.data(),
                  static_cast<std::uint32_t>(current.size()), next.data(),
                  static_cast<std::uint32_t>(next.size()), kind);
    done.line =
        "The " + name + (action == "verify" ? " is right." : " is changed.");
    done.fields = [=](JsonWriter& json) {
      json.Key(action == "verify" ? "verified" : "changed").String(which);
    };
    return result;
  };
}

// put and write: a file's content into the token.
void PlanStore(const Options& o, Streams& io, Plan& plan) {
  const bool create = o.command == "put";
  const std::string id = o.operands[0];
  if (!IsFileId(id)) {
    plan.error =
        o.command + ": a file id is four hexadecimal digits, not '" + id + "'";
    return;
  }
  Bytes content;
  const bool hasContent = o.operands.size() > 1;
  if (hasContent && !ReadContent(o.operands[1], io, &content, &plan.error)) {
    return;
  }
  const std::uint32_t type = o.fileType.value_or(VX_TYPE_DATA);
  const std::uint32_t offset = o.offset.value_or(0);
  const auto length = static_cast<std::uint32_t>(content.size());
  if (create && !hasContent && !o.size) {
    plan.error = "put: --size is needed without a FILE";
    return;
  }
  // The size a new file needs for its content (an impossible sum is left
  // for the library to refuse).
  auto size = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(std::uint64_t{offset} + length, 0xFFFFFFFFu));
  if (type == VX_TYPE_RSA_PUBLIC) size = kRsaPublicFileSize;
  if (type == VX_TYPE_RSA_PRIVATE) size = kRsaPrivateFileSize;
  if (type == VX_TYPE_EXE_EX) size = length + kExeExOverhead;
  size = create ? o.size.value_or(size) : 0;
  std::uint32_t flags = create ? VX_FILE_CREATE : VX_FILE_UPDATE;
  if (o.allowFiller) flags |= VX_EXE_ALLOW_FILLER;
  if (o.accessFlag) flags |= VX_EXE_ACCESS_FLAG;
  plan.failure = (create ? "cannot create file " : "cannot write file ") + id;
  plan.call = [=](Card& card, Done& done) {
    std::uint32_t count = 0;
    const std::uint32_t result = VXStoreFile(
        card.Token(), id.c_str(), offset, hasContent ? content.data() : nullptr,
        length, size, &count, flags, type);
    done.line = (create ? "Created file " + id + " of " + std::to_string(size) +
                              " bytes; wrote "
                        : "Wrote file " + id + ": ") +
                std::to_string(count) + " bytes.";
    done.fields = [=](JsonWriter& json) {
      json.Key("file").String(id);
      if (create) json.Key("size").Number(size);
      json.Key("written").Number(count);
    };
    return result;
  };
}

void PlanKeypair(const Options& o, Streams&, Plan& plan) {
  const std::string pub = o.operands[0];
  const std::string priv = o.operands[1];
  if (!IsFileId(pub) || !IsFileId(priv)) {
    plan.error = "keypair: file ids are four hexadecimal digits";
    return;
  }
  plan.failure = "cannot make the key pair " + pub + " " + priv;
  plan.call = [pub, priv](Card& card, Done& done) {
    std::uint32_t count = 0;
    const std::uint32_t result =
        VXStoreFile(card.Token(), (pub + priv).c_str(), 0, nullptr, 0, 0,
                    &count, VX_FILE_RSA_PAIR, 0);
    done.line = "Made an RSA key pair in files " + pub + " (public) and " +
                priv + " (private).";
    done.fields = [=](JsonWriter& json) {
      json.Key("publicKey").String(pub);
      json.Key("privateKey").String(priv);
      json.Key("written").Number(count);
    };
    return result;
  };
}

void PlanParam(const Options& o, Streams&, Plan& plan) {
  const std::optional<std::uint32_t> parsed = ParseWord(o.operands[0]);
  const std::uint32_t value = parsed.value_or(0);
  if (value < 1 || value > 64) {
    plan.error = "param: 1 to 64, not '" + o.operands[0] + "'";
    return;
  }
  plan.failure = "cannot set the parameter";
  plan.call = [value](Card& card, Done& done) {
    const std::uint32_t result =
        VXStoreFile(card.Token(), nullptr, 0, nullptr, 0, value, nullptr,
                    VX_FILE_SET_PARAM, 0);
    done.line =
        "Set the directory's parameter to " + std::to_string(value) + ".";
    done.fields = [value](JsonWriter& json) {
      json.Key("parameter").Number(value);
    };
    return result;
  };
}

void PlanRun(const Options& o, Streams&, Plan& plan) {
  const std::string id = o.operands[0];
  const std::optional<Bytes> input = ParseHex(o.input.value_or(""));
  if (!IsFileId(id)) {
    plan.error = "run: a file id is four hexadecimal digits, not '" + id + "'";
    return;
  }
  if (!input) {
    plan.error = "--input: hexadecimal digits, not '" + *o.input + "'";
    return;
  }
  const std::uint32_t mode = o.byId ? VX_EXECUTE_BY_ID : VX_EXECUTE_BASIC;
  plan.failure = "cannot run file " + id;
  plan.call = [id, mode, input](Card& card, Done& done) {
    std::uint8_t output[256] = {};
    std::uint32_t length = 0;
    const std::uint32_t result =
        VXExecuteEx(card.Token(), id.c_str(), mode,
                    input->empty() ? nullptr : input->data(),
                    static_cast<std::uint32_t>(input->size()), output,
                    sizeof output, &length);
    const std::string hex =
        HexBytes(output, std::min<std::size_t>(length, sizeof output));
    done.line = hex;
    done.fields = [id, hex, length](JsonWriter& json) {
      json.Key("file").String(id);
      json.Key("output").String(hex);
      json.Key("length").Number(length);
    };
    return result;
  };
}

}  // namespace

// A 32-bit number, decimal or with 0x hexadecimal.
std::optional<std::uint32_t> ParseWord(const std::string& text) {
  const bool hex =
      text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 10) return std::nullopt;
  std::uint64_t value = 0;
  for (const char ch : digits) {
    int digit = -1;
    if (ch >= '0' && ch <= '9') digit = ch - '0';
    if (hex && ch >= 'a' && ch <= 'f') digit = ch - 'a' + 10;
    if (hex && ch >= 'A' && ch <= 'F') digit = ch - 'A' + 10;
    if (digit < 0) return std::nullopt;
    value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
  }
  if (value > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

namespace {

// Each card command and what it plans.
struct CardCommand {
  const char* name;
  void (*plan)(const Options&, Streams&, Plan&);
};

const CardCommand kCardCommands[] = {
    {"mkdir", PlanMkdir}, {"clear", PlanClear}, {"pin", PlanPin},
    {"put", PlanStore},   {"write", PlanStore}, {"keypair", PlanKeypair},
    {"param", PlanParam}, {"run", PlanRun},
};

const CardCommand* FindCardCommand(const std::string& name) {
  for (const CardCommand& c : kCardCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

}  // namespace

bool IsCardCommand(const std::string& command) {
  return FindCardCommand(command) != nullptr;
}

int RunCardCommand(const Options& o, Host& host, Streams& io) {
  Plan plan;
  // --pin's value comes first on standard input.
  if (o.pin) {
    plan.pin = ReadSecret(o, io, SecretName(*o.pin), *o.pin, &plan.error);
  }
  if (plan.error.empty()) FindCardCommand(o.command)->plan(o, io, plan);
  if (!plan.error.empty()) {
    return Fail(o, io, plan.error, std::nullopt, kExitUsage);
  }

  Chosen chosen = ChooseToken(o, host, io);
  if (chosen.status != kExitOk) return chosen.status;
  Card card(host.Api(), chosen.listing.contexts[chosen.index]);
  const std::string entry = std::to_string(card.Token()->dwIndex);
  std::uint32_t result = card.Open();
  if (result != VX_SUCCESS) {
    return Fail(o, io, "cannot open the token at entry " + entry, result);
  }
  if (o.path && (result = VXEnterDirectory(card.Token(), o.path->c_str())) !=
                    VX_SUCCESS) {
    return Fail(o, io, "cannot enter directory " + *o.path, result);
  }
  if (o.pin &&
      (result = VXPresentPin(card.Token(), plan.pin.data(),
                             static_cast<std::uint32_t>(plan.pin.size()),
                             *o.pin)) != VX_SUCCESS) {
    return Fail(o, io,
                std::string("the token refused the ") + SecretName(*o.pin),
                result);
  }
  Done done;
  result = plan.call(card, done);
  if (result != VX_SUCCESS) return Fail(o, io, plan.failure, result);
  if (o.json) {
    JsonWriter json;
    json.BeginObject().Key("entry").Number(card.Token()->dwIndex);
    done.fields(json);
    json.EndObject();
    io.out << json.Text() << '\n';
  } else {
    io.out << done.line << '\n';
  }
  return kExitOk;
}

}  // namespace vantor::tool::cli::internal
