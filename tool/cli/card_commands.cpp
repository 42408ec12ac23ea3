// The card subcommands: directories, PINs and keys, files and programs on
// one token. Each checks its arguments, opens the chosen token, enters
// --path (and the directory it names itself), presents --pin when asked,
// makes its one call and closes the token again.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
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

  // The device type, when the command read it before entering --path.
  std::uint8_t deviceType = 0;

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

// What a reserved file id stands for, or null for an id free to use.
const char* ReservedUse(const std::string& id) {
  static const struct {
    const char* id;
    const char* use;
  } kReserved[] = {
      {"3F00", "the root's id"},
      {"3F01", "the key file's id"},
      {"3F02", "the control file's id"},
      {"3F03", "the filler file's id"},
      {"3F04", "the ATR file's id"},
      {"001E", "the application list's id"},
      {"0015", "reserved"},
      {"0016", "reserved"},
      {"0018", "reserved"},
      {"0000", "reserved"},
  };
  std::string upper = id;
  for (char& ch : upper) {
    if (ch >= 'a' && ch <= 'f') ch = static_cast<char>(ch - 'a' + 'A');
  }
  for (const auto& r : kReserved) {
    if (upper == r.id) return r.use;
  }
  return nullptr;
}

// Why `id` cannot name a new or written file or directory (`what`: "a file
// id"), or empty when it can.
std::string IdProblem(const std::string& command, const std::string& what,
                      const std::string& id) {
  if (!IsFileId(id)) {
    return command + ": " + what + " is four hexadecimal digits, not '" + id +
           "'";
  }
  if (const char* use = ReservedUse(id)) {
    return command + ": " + id + " is " + use + "; choose another id";
  }
  return {};
}

// Whether the token's directories can be entered by `path`, as
// VXEnterDirectory takes it: '\' (the root); four digits (a directory of
// the current one); or one or two four-digit ids from the root, with a
// backslash in front, or at the end, or between the two ids.
bool IsPathText(const std::string& path) {
  const std::size_t length = path.size();
  if (length == 1) return path == "\\";
  if (length != 4 && length != 5 && length != 9 && length != 10) return false;
  std::string rest = path;
  if (rest.front() == '\\') {
    rest.erase(0, 1);
  } else if (rest.back() == '\\') {
    rest.pop_back();
  }
  if (rest.size() == 9 && rest[4] == '\\') rest.erase(4, 1);
  return (rest.size() == 4 || rest.size() == 8) && ParseHex(rest).has_value();
}

std::string PathProblem(const std::string& what, const std::string& path) {
  if (IsPathText(path)) return {};
  return what + ": '" + path +
         "' is not a directory path (for example '\\', '1A2B', '\\1A2B' or "
         "'\\1A2B\\3C4D')";
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

// What a command asks before the token is opened, and the call it makes.
struct Plan {
  // What is wrong before the token is opened, and the exit status: a usage
  // error, or a failure (an unreadable file, a secret of the wrong length).
  std::string error;
  int errorStatus = kExitUsage;
  bool pinRead = false;
  SecretBytes pin;  // --pin's value
  // A directory the command names itself (clear's PATH), entered after
  // --path and before --pin is presented, so the PIN goes to that
  // directory.
  std::string enter;
  // The device type is read before --path is entered: on version 2.0.0 the
  // read selects the root. `typeCheck` then refuses what the type rules out
  // (empty: nothing), before any PIN is presented.
  bool readsDeviceType = false;
  std::function<std::string(std::uint8_t type)> typeCheck;
  // What a failure part-way may leave on the token, and what to say then.
  enum class Leftover { kNone, kDirectory, kFile };
  Leftover leftover = Leftover::kNone;
  std::string fileId;    // kFile: the file's id
  std::string leftText;  // the message's addition
  std::function<std::uint32_t(Card&, Done&)> call;
  std::string failure;  // what failed, when the call fails
};

// Keeps the first problem found.
void Refuse(Plan& plan, const std::string& message, int status = kExitUsage) {
  if (plan.error.empty() && !message.empty()) {
    plan.error = message;
    plan.errorStatus = status;
  }
}

// `what` with its first letter in capitals, as a prompt begins.
std::string Capitalized(std::string what) {
  if (!what.empty() && what[0] >= 'a' && what[0] <= 'z') {
    what[0] = static_cast<char>(what[0] - 'a' + 'A');
  }
  return what;
}

// One secret of `kind` (`what`: "user PIN") from standard input: a line of
// text or, with --hex, of hexadecimal digits. On a terminal the user is
// asked for it and the terminal does not show it. Empty and `error` set on
// failure. Its memory, and the line's, is wiped when it goes.
SecretBytes ReadSecret(const Options& options, Streams& io,
                       const std::string& what, std::uint32_t kind,
                       std::string* error) {
  SecretBytes line;
  if (io.in == nullptr) {
    *error = "cannot read the " + what + ": no standard input";
    return {};
  }
  if (io.inTerminal) {
    io.err << Capitalized(what) << ": " << std::flush;
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
    *error = "the " + what + " is not hexadecimal digits (--hex)";
    return {};
  }
  const SecretKind& shape = KindOf(kind);
  const bool other =
      shape.otherLength != 0 && bytes.size() == shape.otherLength;
  if (bytes.size() != shape.length && !other) {
    *error = "the " + what + " is " + shape.lengthText + ", not " +
             std::to_string(bytes.size());
    if (options.hex) *error += " (--hex: two digits a byte)";
    return {};
  }
  return bytes;
}

// Reads --pin's value, once, before anything else the command reads from
// standard input. False when it failed (the plan says why).
bool ReadPin(const Options& o, Streams& io, Plan& plan) {
  if (!plan.error.empty()) return false;
  if (!o.pin || plan.pinRead) return true;
  plan.pinRead = true;
  std::string error;
  plan.pin = ReadSecret(o, io, SecretName(*o.pin), *o.pin, &error);
  Refuse(plan, error, kExitFailed);
  return plan.error.empty();
}

// The content of a file to store ("-": standard input), at most one byte
// more than a file can hold so that a larger one is seen. The system's
// reason when it cannot be read.
bool ReadContent(const std::string& name, Streams& io, Bytes* content,
                 Plan& plan) {
  const std::size_t limit = VX_MAX_FILE_SIZE + 1;
  content->clear();
  char buffer[4096];
  if (name == "-") {
    if (io.in == nullptr) {
      Refuse(plan, "cannot read standard input", kExitFailed);
      return false;
    }
    while (content->size() < limit && *io.in) {
      io.in->read(buffer, static_cast<std::streamsize>(std::min(
                              sizeof buffer, limit - content->size())));
      content->insert(content->end(), buffer, buffer + io.in->gcount());
    }
    if (io.in->bad()) {
      Refuse(plan, "cannot read standard input", kExitFailed);
      return false;
    }
    return true;
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
      std::fopen(name.c_str(), "rb"), std::fclose);
  if (!file) {
    Refuse(plan, "cannot read '" + name + "': " + std::strerror(errno),
           kExitFailed);
    return false;
  }
  while (content->size() < limit) {
    const std::size_t got =
        std::fread(buffer, 1, std::min(sizeof buffer, limit - content->size()),
                   file.get());
    content->insert(content->end(), buffer, buffer + got);
    if (got == 0) break;
  }
  if (std::ferror(file.get()) != 0) {
    Refuse(plan, "cannot read '" + name + "': " + std::strerror(errno),
           kExitFailed);
    return false;
  }
  return true;
}

// The sizes the token's key files take, what an extended executable file
// needs beside its code, and the key sources of the two key file types.
constexpr std::uint32_t kRsaPublicFileSize = VX_RSA_PUBLIC_FILE_SIZE;
constexpr std::uint32_t kRsaPrivateFileSize = VX_RSA_PRIVATE_FILE_SIZE;
constexpr std::uint32_t kExeExOverhead = VX_EXE_EX_OVERHEAD;
constexpr std::size_t kRsaPublicSource = VX_RSA_PUBLIC_SOURCE_SIZE;
constexpr std::size_t kRsaPrivateSource = VX_RSA_PRIVATE_SOURCE_SIZE;
// The smallest directories, and the largest.
constexpr std::uint32_t kMinSubDirectory = 134;
constexpr std::uint32_t kMinAppDirectory = 988;
constexpr std::uint32_t kMaxDirectory = 0xFFFF;

std::uint32_t Control(Card& card, std::uint32_t code, std::uint8_t* output,
                      std::uint32_t size) {
  std::uint32_t returned = 0;
  return card.Api().Control(card.Token(), code, nullptr, 0, output, size,
                            &returned);
}

// The directory that --path names at the root ("\\" or "\\1A2B"), or empty
// when it is relative or absent.
std::string RootedPath(const std::optional<std::string>& path) {
  if (!path) return {};
  if (*path == "\\") return *path;
  if (path->size() == 5) {
    const std::string id =
        path->front() == '\\' ? path->substr(1, 4) : path->substr(0, 4);
    return "\\" + id;
  }
  return {};
}

void PlanMkdir(const Options& o, Streams& io, Plan& plan) {
  const std::string id = o.operands[0];
  const bool root = id == "\\" || id == "root";
  VXROOTINFO info{sizeof(VXROOTINFO), {}};
  if (!root) Refuse(plan, IdProblem("mkdir", "a directory id", id));
  if (o.newDeviceId) {
    const std::optional<Bytes> bytes = ParseHex(*o.newDeviceId);
    if (!root) {
      Refuse(plan, "--device-id is written with the root only");
    } else if (!bytes || bytes->size() != sizeof info.bDeviceId) {
      Refuse(plan, "--device-id: 16 hexadecimal digits, not '" +
                       *o.newDeviceId + "'");
    } else {
      std::copy(bytes->begin(), bytes->end(), info.bDeviceId);
    }
  }
  const std::uint32_t size = o.size.value_or(0);
  if (!root && !o.size) Refuse(plan, "mkdir: --size is needed");
  if (!root && o.size && (size < kMinSubDirectory || size > kMaxDirectory)) {
    Refuse(plan, "mkdir: --size: " + std::to_string(kMinSubDirectory) + " to " +
                     std::to_string(kMaxDirectory) +
                     " bytes (an application directory at least " +
                     std::to_string(kMinAppDirectory) + "), not " +
                     std::to_string(size));
  }
  if (!ReadPin(o, io, plan)) return;
  const bool withId = o.newDeviceId.has_value();
  plan.failure = root ? "cannot make the root" : "cannot make directory " + id;
  plan.readsDeviceType = !root;
  const bool atRoot = !o.path || *o.path == "\\";
  plan.typeCheck = [size, atRoot](std::uint8_t type) -> std::string {
    if (type == 0) return {};
    if (!atRoot) {
      return "mkdir: application directories (device type " +
             std::to_string(type) +
             ") are made in the root: leave out --path or give --path '\\'";
    }
    if (size < kMinAppDirectory) {
      return "mkdir: --size: an application directory (device type " +
             std::to_string(type) + ") takes at least " +
             std::to_string(kMinAppDirectory) + " bytes, not " +
             std::to_string(size);
    }
    return {};
  };
  plan.leftover = Plan::Leftover::kDirectory;
  if (root) {
    plan.leftText =
        "the root was created but not finished ('vantor clear '\\' --yes' "
        "removes it)";
  } else {
    const std::string parent = RootedPath(o.path);
    const std::string path =
        parent.empty() ? id : (parent == "\\" ? "" : parent) + "\\" + id;
    plan.leftText = "directory " + id +
                    " was created but not finished (its key file or PINs "
                    "are missing; 'vantor clear " +
                    path + " --yes' puts them in place)";
  }
  plan.call = [id, root, withId, size, info](Card& card, Done& done) {
    // Device type 0 keeps subdirectories, the others applications.
    const std::uint32_t kind = root                   ? VX_ROOT_DIRECTORY
                               : card.deviceType == 0 ? VX_SUB_DIRECTORY
                                                      : VX_APP_DIRECTORY;
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

void PlanClear(const Options& o, Streams& io, Plan& plan) {
  const std::string path = o.operands[0];
  Refuse(plan, PathProblem("clear", path));
  if (!o.yes) {
    Refuse(plan, "clear erases the files of " +
                     (path == "\\" ? std::string("the whole token") : path) +
                     ": add --yes");
  }
  if (!ReadPin(o, io, plan)) return;
  plan.enter = path;
  plan.failure = "cannot clear " + path;
  plan.call = [path](Card& card, Done& done) {
    done.line = path == "\\" ? "Cleared the token: it has no root now."
                             : "Cleared directory " + path + ".";
    done.fields = [path](JsonWriter& json) {
      json.Key("cleared").String(path);
    };
    return VXClearDirectory(card.Token(), 0);
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
    Refuse(plan, "pin: 'verify' or 'change', not '" + action + "'");
    return;
  }
  if (kind == 0 || (action == "verify" && kind == VX_AUTH_KEY)) {
    Refuse(plan, "pin " + action + ": 'user', 'dev'" +
                     (action == "change" ? ", 'key'" : "") + ", not '" + which +
                     "'");
    return;
  }
  if (!ReadPin(o, io, plan)) return;
  const std::string name = SecretName(kind);
  std::string error;
  SecretBytes current, next;
  if (action == "verify" || kind != VX_AUTH_KEY) {
    current = ReadSecret(o, io, action == "verify" ? name : "current " + name,
                         kind, &error);
  }
  if (action == "change" && error.empty()) {
    next = ReadSecret(o, io, "new " + name, kind, &error);
    // A typing error in a value nobody can see would set a PIN nobody
    // knows: on a terminal the new value is typed twice.
    if (io.inTerminal && error.empty()) {
      const SecretBytes again =
          ReadSecret(o, io, "new " + name + " again", kind, &error);
      if (error.empty() && again != next) {
        error = "the two new " + name + "s differ; nothing was changed";
      }
    }
  }
  Refuse(plan, error, kExitFailed);
  if (!plan.error.empty()) return;
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

// What is wrong with `content` (from `source`) as a file of `type` at
// `offset` in a file of `size` bytes (0: the size it needs), or empty.
std::string ContentProblem(const Options& o, const std::string& source,
                           const Bytes& content, std::uint32_t type,
                           std::uint32_t offset) {
  const std::string command = o.command + ": ";
  const std::string what =
      source == "-" ? "standard input" : "'" + source + "'";
  const std::size_t length = content.size();
  if (length > VX_MAX_FILE_SIZE) {
    return command + what + " is larger than 32767 bytes, the largest file";
  }
  if (offset + length > VX_MAX_FILE_SIZE) {
    return command + what + " (" + std::to_string(length) +
           " bytes) at --offset " + std::to_string(offset) +
           " ends beyond 32767 bytes, the largest file";
  }
  if (length == 0) {
    return command + what + " is empty" +
           (o.command == "put"
                ? ": give --size N, without a FILE, for an empty file"
                : ": nothing to write");
  }
  if (type == VX_TYPE_RSA_PUBLIC || type == VX_TYPE_RSA_PRIVATE) {
    const bool pub = type == VX_TYPE_RSA_PUBLIC;
    const std::size_t needed = pub ? kRsaPublicSource : kRsaPrivateSource;
    if (length != needed) {
      return command + "an " + (pub ? "rsa-public" : "rsa-private") +
             " key source is " + std::to_string(needed) + " bytes, not " +
             std::to_string(length) + " (" + what + ")";
    }
    // Bytes 128 to 255: the exponent, right-aligned; the token keeps its
    // last four bytes only.
    for (std::size_t i = 128; pub && i < 252; ++i) {
      if (content[i] != 0) {
        std::string problem = command;
        problem += "the exponent (bytes 128 to 255 of " + what;
        problem += ") must fit in its last 4 bytes, as the token keeps a ";
        problem += "4-byte exponent; byte " + std::to_string(i);
        problem += " is " + Format("0x%02X", content[i]);
        return problem;
      }
    }
  }
  return {};
}

// What is wrong with --size for the content, or empty.
std::string SizeProblem(std::uint32_t size, std::uint32_t type,
                        std::uint32_t offset, std::size_t length) {
  const std::string prefix = "put: --size: ";
  const std::string bytes = std::to_string(size) + " bytes";
  if (size == 0) return prefix + "a file has at least 1 byte";
  if (size > VX_MAX_FILE_SIZE) {
    return prefix + "at most 32767 bytes (0x7FFF), not " + std::to_string(size);
  }
  if (type == VX_TYPE_RSA_PUBLIC && size < kRsaPublicFileSize) {
    return prefix + "an rsa-public key file takes at least 136 bytes, not " +
           std::to_string(size);
  }
  if (type == VX_TYPE_RSA_PRIVATE && size < kRsaPrivateFileSize) {
    return prefix + "an rsa-private key file takes at least 330 bytes, not " +
           std::to_string(size);
  }
  if (type == VX_TYPE_EXE_EX && length + kExeExOverhead > size) {
    return prefix + bytes + " do not hold " + std::to_string(length) +
           " bytes of code and the 126 an exe-ex file needs beside them";
  }
  if ((type == VX_TYPE_DATA || type == VX_TYPE_EXE) && offset + length > size) {
    return prefix + bytes + " do not hold " + std::to_string(length) +
           " bytes at offset " + std::to_string(offset);
  }
  return {};
}

// put and write: a file's content into the token.
void PlanStore(const Options& o, Streams& io, Plan& plan) {
  const bool create = o.command == "put";
  const std::string id = o.operands[0];
  const std::uint32_t type = o.fileType.value_or(VX_TYPE_DATA);
  const std::uint32_t offset = o.offset.value_or(0);
  Refuse(plan, IdProblem(o.command, "a file id", id));
  if (o.offset && *o.offset != 0 && type != VX_TYPE_DATA) {
    Refuse(plan, o.command +
                     ": --offset: only data files (--type data) are written "
                     "at an offset");
  }
  if (offset > VX_MAX_FILE_SIZE) {
    Refuse(plan, o.command + ": --offset: at most 32767, not " +
                     std::to_string(offset));
  }
  const bool hasContent = o.operands.size() > 1;
  const std::string source = hasContent ? o.operands[1] : "";
  if (create && !hasContent && !o.size) {
    Refuse(plan, "put: --size is needed without a FILE");
  }
  if (create && o.size) {
    Refuse(plan, SizeProblem(*o.size, type, offset, 0));
  }
  if (!plan.error.empty()) return;
  // A named file is read, and found missing, before any PIN is asked for;
  // standard input holds --pin's value first.
  Bytes content;
  if (hasContent && source != "-" && !ReadContent(source, io, &content, plan)) {
    return;
  }
  if (!ReadPin(o, io, plan)) return;
  if (source == "-" && !ReadContent(source, io, &content, plan)) return;
  const auto length = static_cast<std::uint32_t>(content.size());
  if (hasContent) {
    Refuse(plan, ContentProblem(o, source, content, type, offset));
    if (create && o.size) {
      Refuse(plan, SizeProblem(*o.size, type, offset, content.size()));
    }
  }
  if (!plan.error.empty()) return;
  // The size a new file needs for its content.
  std::uint32_t size = offset + length;
  if (type == VX_TYPE_RSA_PUBLIC) size = kRsaPublicFileSize;
  if (type == VX_TYPE_RSA_PRIVATE) size = kRsaPrivateFileSize;
  if (type == VX_TYPE_EXE_EX) size = length + kExeExOverhead;
  size = create ? o.size.value_or(size) : 0;
  std::uint32_t flags = create ? VX_FILE_CREATE : VX_FILE_UPDATE;
  if (o.allowFiller) flags |= VX_EXE_ALLOW_FILLER;
  if (o.accessFlag) flags |= VX_EXE_ACCESS_FLAG;
  plan.failure = (create ? "cannot create file " : "cannot write file ") + id;
  if (create && hasContent) {
    plan.leftover = Plan::Leftover::kFile;
    plan.fileId = id;
    plan.leftText = "file " + id +
                    " was created but its content was not written ('vantor "
                    "write " +
                    id + " " + source + "' writes it)";
  }
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

void PlanKeypair(const Options& o, Streams& io, Plan& plan) {
  const std::string pub = o.operands[0];
  const std::string priv = o.operands[1];
  Refuse(plan, IdProblem("keypair", "a file id", pub));
  Refuse(plan, IdProblem("keypair", "a file id", priv));
  if (plan.error.empty() && ParseHex(pub) == ParseHex(priv)) {
    Refuse(plan,
           "keypair: the two key files need two ids, not " + pub + " twice");
  }
  if (!ReadPin(o, io, plan)) return;
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

void PlanParam(const Options& o, Streams& io, Plan& plan) {
  const std::optional<std::uint32_t> parsed = ParseWord(o.operands[0]);
  const std::uint32_t value = parsed.value_or(0);
  if (value < 1 || value > 64) {
    Refuse(plan, "param: 1 to 64, not '" + o.operands[0] + "'");
  }
  if (!ReadPin(o, io, plan)) return;
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

void PlanRun(const Options& o, Streams& io, Plan& plan) {
  const std::string id = o.operands[0];
  const std::optional<Bytes> input = ParseHex(o.input.value_or(""));
  if (!IsFileId(id)) {
    Refuse(plan, "run: a file id is four hexadecimal digits, not '" + id + "'");
  } else if (!input) {
    Refuse(plan, "run: --input: hexadecimal digits, not '" + *o.input + "'");
  } else {
    const std::size_t most =
        o.byId ? VX_EXECUTE_BY_ID_MAX_INPUT : VX_EXECUTE_MAX_INPUT;
    if (input->size() > most) {
      Refuse(plan, "run: --input: at most " + std::to_string(most) + " bytes" +
                       (o.byId ? " with --by-id" : "") + ", not " +
                       std::to_string(input->size()));
    }
  }
  if (!ReadPin(o, io, plan)) return;
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

// The free space of the current directory; nullopt without one (no root).
std::optional<std::uint32_t> DirectoryFreeSpace(Card& card) {
  std::uint8_t bytes[2] = {};
  if (Control(card, VX_GET_DIRECTORY_FREE_SPACE, bytes, 2) != VX_SUCCESS) {
    return std::nullopt;
  }
  return bytes[0] | bytes[1] << 8;  // low byte first
}

// Whether the failed call left what it was making on the token: whatever
// it created took memory of the current directory (or made a root where
// there was none), and a file is found by its id.
bool LeftBehind(Card& card, const Plan& plan,
                const std::optional<std::uint32_t>& freeBefore) {
  if (DirectoryFreeSpace(card) == freeBefore) return false;
  if (plan.leftover != Plan::Leftover::kFile) return true;
  std::uint8_t info[6] = {};
  std::uint32_t returned = 0;
  return card.Api().Control(
             card.Token(), VX_GET_FILE_INFO,
             reinterpret_cast<const std::uint8_t*>(plan.fileId.c_str()), 4,
             info, sizeof info, &returned) == VX_SUCCESS;
}

}  // namespace

bool IsCardCommand(const std::string& command) {
  return FindCardCommand(command) != nullptr;
}

int RunCardCommand(const Options& o, Host& host, Streams& io) {
  Plan plan;
  if (o.path) Refuse(plan, PathProblem("--path", *o.path));
  // Everything the program can check itself is checked before the token is
  // opened and before any PIN is asked for.
  if (plan.error.empty()) FindCardCommand(o.command)->plan(o, io, plan);
  ReadPin(o, io, plan);
  if (!plan.error.empty()) {
    return Fail(o, io, plan.error, std::nullopt, plan.errorStatus);
  }

  Chosen chosen = ChooseToken(o, host, io);
  if (chosen.status != kExitOk) return chosen.status;
  Card card(host.Api(), chosen.listing.contexts[chosen.index]);
  const std::string entry = std::to_string(card.Token()->dwIndex);
  std::uint32_t result = card.Open();
  if (result != VX_SUCCESS) {
    return Fail(o, io, "cannot open the token at entry " + entry, result);
  }
  if (plan.readsDeviceType) {
    result = Control(card, VX_GET_DEVICE_TYPE, &card.deviceType, 1);
    if (result != VX_SUCCESS) {
      return Fail(o, io, "cannot read the device type", result);
    }
    const std::string refused =
        plan.typeCheck ? plan.typeCheck(card.deviceType) : std::string();
    if (!refused.empty()) {
      return Fail(o, io, refused, std::nullopt, kExitUsage);
    }
  }
  // The directories first, then the PIN: a PIN is presented to the
  // directory the command works in, whose tries it counts.
  for (const std::string& path : {o.path.value_or(""), plan.enter}) {
    if (path.empty()) continue;
    result = VXEnterDirectory(card.Token(), path.c_str());
    if (result != VX_SUCCESS) {
      return Fail(o, io, "cannot enter directory " + path, result);
    }
  }
  if (o.pin &&
      (result = VXPresentPin(card.Token(), plan.pin.data(),
                             static_cast<std::uint32_t>(plan.pin.size()),
                             *o.pin)) != VX_SUCCESS) {
    return Fail(o, io,
                std::string("the token refused the ") + SecretName(*o.pin),
                result);
  }
  std::optional<std::uint32_t> freeBefore;
  if (plan.leftover != Plan::Leftover::kNone) {
    freeBefore = DirectoryFreeSpace(card);
  }
  Done done;
  result = plan.call(card, done);
  if (result != VX_SUCCESS) {
    const bool left = plan.leftover != Plan::Leftover::kNone &&
                      LeftBehind(card, plan, freeBefore);
    return Fail(o, io, left ? plan.leftText : plan.failure, result);
  }
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
