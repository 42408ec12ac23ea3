#include "cli.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "commands.h"
#include "json.h"

namespace vantor::tool::cli {
namespace {

using Level = Finding::Level;

// --- Words --------------------------------------------------------------

struct KnownResult {
  std::uint32_t code;
  const char* name;
  const char* words;
};

const KnownResult kResults[] = {
    {VX_SUCCESS, "VX_SUCCESS", "success"},
    {VX_INVALID_PARAMETER, "VX_INVALID_PARAMETER",
     "refused: an argument the library does not accept, or the token is not "
     "open or was unplugged"},
    {VX_COMM_ERROR, "VX_COMM_ERROR", "the exchange with the token failed"},
    {VX_DEVICE_BUSY, "VX_DEVICE_BUSY",
     "the token cannot be opened, or another program has it open"},
    {VX_BUFFER_TOO_SMALL, "VX_BUFFER_TOO_SMALL",
     "a buffer is too small (a token may have been plugged in meanwhile)"},
    {VX_PROTOCOL_MISMATCH, "VX_PROTOCOL_MISMATCH",
     "the token does not speak the protocol asked for"},
    {VX_WRONG_DEVICE_TYPE, "VX_WRONG_DEVICE_TYPE",
     "not available for the token's device type"},
    {VX_CROSSES_E2_BOUNDARY, "VX_CROSSES_E2_BOUNDARY",
     "the file would cross the boundary of the token's memory"},
    {VX_NOT_AT_ROOT, "VX_NOT_AT_ROOT", "the root is not the current directory"},
    {VX_NO_FILES_IN_ROOT, "VX_NO_FILES_IN_ROOT",
     "this token takes no files in its root directory"},
    {VX_SIZE_OUT_OF_RANGE, "VX_SIZE_OUT_OF_RANGE", "a size is out of range"},
    {VX_DIRECTORY_TOO_SMALL, "VX_DIRECTORY_TOO_SMALL",
     "the directory is too small"},
    {VX_DEV_PIN_NOT_RESTORED, "VX_DEV_PIN_NOT_RESTORED",
     "the developer PIN change failed part-way and could not be undone"},
    {VX_ROOT_NOT_REMOVED, "VX_ROOT_NOT_REMOVED",
     "the device id was not written and the new root could not be erased"},
    {VX_ATR_CHANGED, "VX_ATR_CHANGED",
     "the token's ATR changed its length after a reset"},
};

// Card status words the tokens answer.
const KnownResult kStatusWords[] = {
    {0x6A81, nullptr,
     "function not supported (a mode change needs version 2.3.0 or later; "
     "the card commands need a root directory)"},
    {0x6A82, nullptr, "file not found"},
    {0x6A84, nullptr, "not enough memory on the token"},
    {0x6A86, nullptr, "wrong parameters"},
    {0x6A88, nullptr, "key or PIN record not found"},
    {0x6A89, nullptr, "the file already exists"},
    {0x6982, nullptr, "security status not satisfied"},
    {0x6983, nullptr, "the PIN is blocked"},
    {0x6700, nullptr, "wrong length"},
    {0x6D00, nullptr, "instruction not supported"},
    {0x6E00, nullptr, "class not supported"},
};

bool IsStatusWord(std::uint32_t code) {
  return code >= 0x6000 && code <= 0x6FFF;
}

bool IsRunStatus(std::uint32_t code) {
  return code != VX_ATR_CHANGED && (code & 0xFF00FFFFu) == 0 && code != 0;
}

const char* ModeName(TargetMode mode) {
  return mode == TargetMode::kUsb ? "USB" : "HID";
}

struct CommandHelp;
const CommandHelp* FindCommand(const std::string& word);

}  // namespace

namespace internal {

std::string Format(const char* format, unsigned value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string HexBytes(const std::uint8_t* bytes, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += Format("%02X", bytes[i]);
  return text;
}

int Fail(const Options& options, Streams& io, const std::string& message,
         std::optional<std::uint32_t> code, int status) {
  io.err << "vantor: " << message;
  if (code) io.err << ": " << DescribeResult(*code);
  io.err << '\n';
  if (status == kExitUsage) {
    const bool known = !options.command.empty() && FindCommand(options.command);
    io.err << "Try 'vantor " << (known ? options.command + " " : "")
           << "--help'.\n";
  }
  if (options.json) {
    JsonWriter json;
    json.BeginObject().Key("error").BeginObject();
    json.Key("message").String(message);
    json.Key("status").Number(status);
    // The same keys for every error; null without a result code.
    for (const char* key : {"code", "hex", "name", "words"}) {
      json.Key(key);
      if (!code) {
        json.Null();
      } else if (key[0] == 'c') {
        json.Number(*code);
      } else {
        json.String(key[0] == 'h'   ? Format("0x%08X", *code)
                    : key[0] == 'n' ? ResultName(*code)
                                    : ResultWords(*code));
      }
    }
    json.EndObject().EndObject();
    io.out << json.Text() << '\n';
  }
  return status;
}

}  // namespace internal

namespace {

using internal::Fail;
using internal::Format;
using internal::HexBytes;
using internal::ParseWord;

// --- Help -----------------------------------------------------------------

struct CommandHelp {
  const char* name;
  const char* usage;
  const char* text;
  std::size_t minOperands, maxOperands;
  const char* needs;    // what a missing operand is
  const char* options;  // the command's own options, each followed by ' '
};

const CommandHelp kCommands[] = {
    {"list", "vantor list [--json] [--sim]",
     "Lists every attached token: its entry (give it to -d), mode (USB or\n"
     "HID, where this machine can tell), version, device id and ATR.\n",
     0, 0, "", ""},
    {"info", "vantor info [-d N] [--json] [--sim]",
     "Shows what is known of one token: what the listing gives and what its\n"
     "control codes give (device type, VM type, serial number, free space)\n"
     "where the library offers them.\n",
     0, 0, "", ""},
    {"mode", "vantor mode usb|hid [--wait [SECONDS]] [-d N] [--json] [--sim]",
     "Asks one token to switch to USB mode or HID mode; the new mode applies\n"
     "once the token has been unplugged and plugged in again. With --wait\n"
     "(default 30 seconds) it waits for that, with a countdown on a\n"
     "terminal, and checks by the token's device id that it came back in\n"
     "the asked mode: exit status 1 when it did not.\n",
     1, 1, "'usb' or 'hid' is needed", "--wait "},
    {"doctor", "vantor doctor [--json] [--sim]",
     "Checks what stands between you and a token on this machine and says\n"
     "what to run where something is missing. On Linux: hidraw nodes of\n"
     "vendor 0471 product 485e and their access, and the udev rule; on\n"
     "Windows: HID tokens and the driver's tokens. Then the library's own\n"
     "listing. Exit status 1 when something stands in the way.\n",
     0, 0, "", ""},
    {"mkdir",
     "vantor mkdir '\\'|ID [--size N] [--device-id HEX] [CARD OPTIONS]",
     "Makes a directory with its key file and default PINs. '\\' (or 'root')\n"
     "makes the root; --device-id (16 hexadecimal digits) then also writes\n"
     "the token's device id. A four-digit hexadecimal ID makes a\n"
     "subdirectory of the current directory (device type 0, at least 134\n"
     "bytes) or an application directory of the root (other device types,\n"
     "at least 988 bytes) of --size bytes.\n",
     1, 1, "a directory id ('\\' or four hexadecimal digits) is needed",
     "--size --device-id --path --pin --hex "},
    {"clear", "vantor clear PATH --yes [CARD OPTIONS]",
     "Erases the files of the directory at PATH and puts its default key\n"
     "file and PINs back. Clearing the root ('\\') removes everything on the\n"
     "token. Asks for --yes.\n",
     1, 1, "the path of the directory to clear is needed",
     "--yes --pin --hex "},
    {"pin", "vantor pin verify|change user|dev|key [--hex] [CARD OPTIONS]",
     "'verify' presents the user PIN (8 bytes) or the developer PIN (24\n"
     "bytes); 'change' changes one (current value, then the new one) or\n"
     "replaces the authentication key ('key': 8 or 16 bytes, new value\n"
     "only). The values are read from standard input, one per line, as\n"
     "text or, with --hex, as hexadecimal digits; on a terminal you are\n"
     "asked for them, they are not shown, and a new value is typed twice.\n",
     2, 2, "'verify' or 'change' and 'user', 'dev' or 'key' are needed",
     "--path --pin --hex "},
    {"put",
     "vantor put ID [FILE] [--type T] [--size N] [--offset N] [CARD OPTIONS]",
     "Creates file ID (four hexadecimal digits) in the current directory\n"
     "and writes FILE into it ('-': standard input). --type: data (the\n"
     "default), exe, exe-ex, rsa-public or rsa-private (a key source of 256\n"
     "or 704 bytes). --size defaults to what the content needs; --offset\n"
     "places the content in a data file. --allow-filler lets an executable\n"
     "file be moved past the token's memory boundary; --access-flag gives\n"
     "an executable file the alternative access bytes.\n",
     1, 2, "a file id is needed",
     "--type --size --offset --allow-filler --access-flag --path --pin "
     "--hex "},
    {"write", "vantor write ID FILE [--type T] [--offset N] [CARD OPTIONS]",
     "Writes FILE ('-': standard input) into the existing file ID of type\n"
     "--type (as for 'put'; default data) at --offset (default 0; data\n"
     "files only).\n",
     2, 2, "a file id and a file are needed",
     "--type --offset --path --pin --hex "},
    {"keypair", "vantor keypair PUBLIC-ID PRIVATE-ID [CARD OPTIONS]",
     "Creates two key files and has the token generate an RSA key pair\n"
     "into them.\n",
     2, 2, "two file ids are needed", "--path --pin --hex "},
    {"param", "vantor param N [CARD OPTIONS]",
     "Sets the current directory's parameter to N (1 to 64; not on device\n"
     "type 0).\n",
     1, 1, "a parameter (1 to 64) is needed", "--path --pin --hex "},
    {"run", "vantor run ID [--input HEX] [--by-id] [CARD OPTIONS]",
     "Runs the executable file ID with the input bytes given as hexadecimal\n"
     "digits and prints its output in hexadecimal. --by-id names the file\n"
     "in the command (version 2.3.0 on) and prints the whole answer.\n",
     1, 1, "a file id is needed", "--input --by-id --path --pin --hex "},
};

// The card options, each shown with the commands that take it.
const struct {
  const char* name;  // as in CommandHelp::options
  const char* text;
} kCardOptions[] = {
    {"--path",
     "  --path P         enter directory P first ('\\', '1A2B', "
     "'\\1A2B\\3C4D',\n"
     "                   ...); else the token's current directory\n"},
    {"--pin",
     "  --pin user|dev   present that PIN (of the directory entered) "
     "first;\n"
     "                   it is read from standard input before "
     "anything\n"
     "                   else the command reads there\n"},
    {"--hex",
     "  --hex            PINs and keys, --pin's value included, as\n"
     "                   hexadecimal digits\n"},
};

// The card options that `options` (a CommandHelp's list; null: all) holds.
void PrintCardOptions(std::ostream& out, const char* options) {
  std::string lines;
  for (const auto& option : kCardOptions) {
    if (options == nullptr ||
        std::strstr(options, (std::string(option.name) + ' ').c_str()) !=
            nullptr) {
      lines += option.text;
    }
  }
  if (!lines.empty()) out << "Card options:\n" << lines << '\n';
}

const char kCommonOptions[] =
    "Options:\n"
    "  -d, --device N   the token at entry N, or with device id N (16\n"
    "                   hexadecimal digits; see 'vantor list'); needed\n"
    "                   when several tokens are attached\n"
    "      --json       machine-readable output (errors too)\n"
    "      --sim        run on a simulated machine with one virtual token\n"
    "                   (with a root directory and default PINs)\n"
    "      --sim=FILE   the same, with a virtual token whose card lasts from\n"
    "                   run to run in FILE (a new token, without a root,\n"
    "                   when FILE does not exist)\n"
    "      --sim-version X.Y.Z, --sim-device-type 0|1|2\n"
    "                   the new virtual token's version (2.3.0) and device\n"
    "                   type (0)\n"
    "  -h, --help       this help\n"
    "      --version    the program's version\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 usage error.\n";

void PrintHelp(std::ostream& out, const std::string& command) {
  for (const CommandHelp& c : kCommands) {
    if (command == c.name) {
      out << "Usage: " << c.usage << "\n\n" << c.text << '\n';
      PrintCardOptions(out, c.options);
      out << kCommonOptions;
      return;
    }
  }
  out << "Usage: vantor [OPTIONS] COMMAND [ARGS]\n\n"
         "Lists Vantor tokens, switches them between USB mode and HID mode,\n"
         "checks what this machine needs to reach them, and works with the\n"
         "token's directories, PINs, files and programs.\n\nCommands:\n";
  for (const CommandHelp& c : kCommands) out << "  " << c.usage << '\n';
  out << "  vantor help [COMMAND]\n\n";
  PrintCardOptions(out, nullptr);
  out << kCommonOptions;
}

// --- Tokens ---------------------------------------------------------------

std::string Entries(const std::vector<VXContext>& contexts) {
  std::string text;
  for (const VXContext& c : contexts) {
    if (!text.empty()) text += ", ";
    text += std::to_string(c.dwIndex);
  }
  return text;
}

}  // namespace

namespace {

std::string DeviceIdOf(const VXContext& c) {
  return HexBytes(c.bDeviceId, sizeof c.bDeviceId);
}

}  // namespace

internal::Chosen internal::ChooseToken(const Options& options, Host& host,
                                       Streams& io) {
  Chosen chosen;
  chosen.listing = ListTokens(host.Api());
  const std::vector<VXContext>& contexts = chosen.listing.contexts;
  if (chosen.listing.result != VX_SUCCESS) {
    chosen.status =
        Fail(options, io, "cannot list the tokens", chosen.listing.result);
  } else if (contexts.empty()) {
    chosen.status = Fail(options, io, "no token is attached");
  } else if (options.deviceId) {
    const auto found = std::find_if(
        contexts.begin(), contexts.end(),
        [&](const VXContext& c) { return DeviceIdOf(c) == *options.deviceId; });
    if (found == contexts.end()) {
      std::string ids;
      for (const VXContext& c : contexts) {
        ids += (ids.empty() ? "" : ", ") + DeviceIdOf(c);
      }
      chosen.status = Fail(options, io,
                           "no token with device id " + *options.deviceId +
                               "; attached: " + ids);
    }
    chosen.index = static_cast<std::size_t>(found - contexts.begin());
  } else if (options.device) {
    const auto found = std::find_if(
        contexts.begin(), contexts.end(),
        [&](const VXContext& c) { return c.dwIndex == *options.device; });
    if (found == contexts.end()) {
      chosen.status =
          Fail(options, io,
               "no token at entry " + std::to_string(*options.device) +
                   "; attached: " + Entries(contexts));
    }
    chosen.index = static_cast<std::size_t>(found - contexts.begin());
  } else if (contexts.size() > 1) {
    chosen.status = Fail(
        options, io,
        std::to_string(contexts.size()) + " tokens are attached (entries " +
            Entries(contexts) + "): choose one with -d N (entry or device id)",
        std::nullopt, kExitUsage);
  }
  return chosen;
}

namespace {

using internal::ChooseToken;
using internal::Chosen;

std::string Atr(const VXContext& c) {
  return HexBytes(c.bAtr, std::min<std::size_t>(c.dwAtrLength, sizeof c.bAtr));
}

void TokenJson(JsonWriter& json, const VXContext& c,
               std::optional<TargetMode> mode) {
  json.Key("entry").Number(c.dwIndex);
  json.Key("mode");
  if (mode) {
    json.String(ModeName(*mode));
  } else {
    json.Null();
  }
  json.Key("version").String(VersionText(c.dwVersion));
  json.Key("deviceId").String(DeviceIdOf(c));
  json.Key("atr").String(Atr(c));
}

// --- list -----------------------------------------------------------------

int List(const Options& options, Host& host, Streams& io) {
  const Listing listing = ListTokens(host.Api());
  if (listing.result != VX_SUCCESS) {
    return Fail(options, io, "cannot list the tokens", listing.result);
  }
  const auto modes = host.Modes(listing.contexts);
  if (options.json) {
    JsonWriter json;
    json.BeginObject().Key("tokens").BeginArray();
    for (std::size_t i = 0; i < listing.contexts.size(); ++i) {
      json.BeginObject();
      TokenJson(json, listing.contexts[i], modes[i]);
      json.EndObject();
    }
    json.EndArray().EndObject();
    io.out << json.Text() << '\n';
    return kExitOk;
  }
  if (listing.contexts.empty()) {
    io.out << "No token is attached.\n";
    return kExitOk;
  }
  char line[256];
  std::snprintf(line, sizeof line, "%-6s %-5s %-8s %-17s %s\n", "ENTRY", "MODE",
                "VERSION", "DEVICE ID", "ATR");
  io.out << line;
  for (std::size_t i = 0; i < listing.contexts.size(); ++i) {
    const VXContext& c = listing.contexts[i];
    std::snprintf(line, sizeof line, "%-6u %-5s %-8s %-17s %s\n",
                  static_cast<unsigned>(c.dwIndex),
                  modes[i] ? ModeName(*modes[i]) : "?",
                  VersionText(c.dwVersion).c_str(), DeviceIdOf(c).c_str(),
                  Atr(c).c_str());
    io.out << line;
  }
  return kExitOk;
}

// --- info -----------------------------------------------------------------

// A value that a control code reads from the token.
struct CardField {
  const char* key;    // JSON key
  const char* label;  // shown to people
  std::uint32_t code;
  std::string (*decode)(const std::uint8_t* bytes, std::uint32_t length);
  bool number;  // a JSON number, else a string
};

std::string DecodeByte(const std::uint8_t* bytes, std::uint32_t length) {
  return length >= 1 ? std::to_string(bytes[0]) : std::string();
}

std::string DecodeHex(const std::uint8_t* bytes, std::uint32_t length) {
  return HexBytes(bytes, length);
}

std::string DecodeBytesFree(const std::uint8_t* bytes, std::uint32_t length) {
  // Low byte first.
  return length >= 2 ? std::to_string(bytes[0] | bytes[1] << 8) : std::string();
}

const CardField kCardFields[] = {
    {"deviceType", "Device type", VX_GET_DEVICE_TYPE, DecodeByte, true},
    {"vmType", "VM type", VX_GET_VM_TYPE, DecodeByte, true},
    {"serialNumber", "Serial number", VX_GET_SERIAL_NUMBER, DecodeHex, false},
    {"freeSpace", "Free space (bytes)", VX_GET_FREE_SPACE, DecodeBytesFree,
     true},
};

struct FieldValue {
  std::uint32_t result = VX_SUCCESS;
  std::string value;
};

int Info(const Options& options, Host& host, Streams& io) {
  Chosen chosen = ChooseToken(options, host, io);
  if (chosen.status != kExitOk) return chosen.status;
  VXContext& token = chosen.listing.contexts[chosen.index];
  const std::optional<TargetMode> mode =
      host.Modes(chosen.listing.contexts)[chosen.index];

  TokenApi& api = host.Api();
  const std::uint32_t opened = api.OpenDevice(&token);
  if (opened != VX_SUCCESS) {
    return Fail(
        options, io,
        "cannot open the token at entry " + std::to_string(token.dwIndex),
        opened);
  }
  std::vector<FieldValue> values;
  for (const CardField& field : kCardFields) {
    std::uint8_t output[64] = {};
    std::uint32_t returned = 0;
    FieldValue v;
    v.result = api.Control(&token, field.code, nullptr, 0, output,
                           sizeof output, &returned);
    if (v.result == VX_SUCCESS) {
      v.value = field.decode(output,
                             std::min<std::uint32_t>(returned, sizeof output));
    }
    values.push_back(v);
  }
  api.CloseDevice(&token);

  if (options.json) {
    JsonWriter json;
    json.BeginObject();
    TokenJson(json, token, mode);
    json.Key("atrLength").Number(token.dwAtrLength);
    for (std::size_t i = 0; i < values.size(); ++i) {
      json.Key(kCardFields[i].key);
      if (values[i].result != VX_SUCCESS || values[i].value.empty()) {
        json.Null();
      } else if (kCardFields[i].number) {
        json.Number(static_cast<std::uint32_t>(std::stoul(values[i].value)));
      } else {
        json.String(values[i].value);
      }
    }
    json.Key("unavailable").BeginObject();
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (values[i].result == VX_SUCCESS) continue;
      json.Key(kCardFields[i].key).BeginObject();
      json.Key("code").Number(values[i].result);
      json.Key("hex").String(Format("0x%08X", values[i].result));
      json.Key("name").String(ResultName(values[i].result));
      json.EndObject();
    }
    json.EndObject().EndObject();
    io.out << json.Text() << '\n';
    return kExitOk;
  }
  auto row = [&io](const char* label, const std::string& value) {
    char line[64];
    std::snprintf(line, sizeof line, "%-20s", label);
    io.out << line << value << '\n';
  };
  row("Entry", std::to_string(token.dwIndex));
  row("Mode", mode ? ModeName(*mode) : "unknown on this machine");
  row("Version", VersionText(token.dwVersion));
  row("Device id", DeviceIdOf(token));
  row("ATR", Atr(token) + " (" + std::to_string(token.dwAtrLength) + " bytes)");
  for (std::size_t i = 0; i < values.size(); ++i) {
    row(kCardFields[i].label, values[i].result == VX_SUCCESS
                                  ? values[i].value
                                  : "not available (" +
                                        Format("0x%08X ", values[i].result) +
                                        ResultName(values[i].result) + ")");
  }
  return kExitOk;
}

// --- mode -----------------------------------------------------------------

struct WaitOutcome {
  bool back = false;               // the token came back
  std::optional<TargetMode> mode;  // in this mode, where it can be told
  std::uint32_t entry = 0;         // at this entry
};

// Waits until the token with `deviceId` has left and come back, or was
// seen in `asked` mode after being in another one.
WaitOutcome WaitForReplug(Host& host, Streams& io, const std::string& deviceId,
                          std::optional<TargetMode> before, TargetMode asked,
                          int seconds) {
  WaitOutcome outcome;
  const std::int64_t deadline = host.NowMs() + std::int64_t{seconds} * 1000;
  bool left = false;
  long shown = -1;
  io.err << "Unplug the token and plug it in again (waiting up to " << seconds
         << " s).\n";
  for (;;) {
    const Listing listing = ListTokens(host.Api());
    std::optional<std::size_t> found;
    for (std::size_t i = 0; i < listing.contexts.size(); ++i) {
      if (DeviceIdOf(listing.contexts[i]) == deviceId) found = i;
    }
    if (found) {
      const auto mode = host.Modes(listing.contexts)[*found];
      // A mode changes only at a re-plug: seen in the asked mode after
      // another one, the token was re-plugged between two listings.
      const bool switched =
          before && *before != asked && mode && *mode == asked;
      if (left || switched) {
        outcome.back = true;
        outcome.mode = mode;
        outcome.entry = listing.contexts[*found].dwIndex;
        break;
      }
    } else if (!left && listing.result == VX_SUCCESS) {
      left = true;
      if (io.terminal) io.err << '\r';
      // On a terminal the spaces cover the rest of the countdown's line.
      io.err << "The token is unplugged; plug it in again."
             << (io.terminal ? "        \n" : "\n");
      shown = -1;
    }
    const std::int64_t now = host.NowMs();
    if (now >= deadline) break;
    const long remaining = static_cast<long>((deadline - now + 999) / 1000);
    if (io.terminal && remaining != shown) {
      io.err << '\r'
             << (left ? "Waiting for the token to come back: "
                      : "Waiting for the token to be unplugged: ")
             << remaining << " s " << std::flush;
      shown = remaining;
    }
    host.SleepMs(kPollMs);
  }
  if (io.terminal && shown >= 0) io.err << '\n';
  return outcome;
}

int Mode(const Options& options, Host& host, Streams& io) {
  Chosen chosen = ChooseToken(options, host, io);
  if (chosen.status != kExitOk) return chosen.status;
  VXContext& token = chosen.listing.contexts[chosen.index];
  const TargetMode asked = *options.mode;
  const std::string deviceId = DeviceIdOf(token);
  const std::optional<TargetMode> before =
      host.Modes(chosen.listing.contexts)[chosen.index];
  const std::string entry = std::to_string(token.dwIndex);

  TokenApi& api = host.Api();
  std::uint32_t result = api.OpenDevice(&token);
  if (result != VX_SUCCESS) {
    return Fail(options, io, "cannot open the token at entry " + entry, result);
  }
  result = RequestMode(api, token, asked);
  api.CloseDevice(&token);
  if (result != VX_SUCCESS) {
    return Fail(options, io,
                std::string("the token at entry ") + entry +
                    " refused the change to " + ModeName(asked) + " mode",
                result);
  }
  host.ModeRequested(token);

  WaitOutcome waited;
  if (options.waitSeconds) {
    waited =
        WaitForReplug(host, io, deviceId, before, asked, *options.waitSeconds);
    if (!waited.back) {
      std::string message = "the token did not come back within " +
                            std::to_string(*options.waitSeconds) + " s";
      if (asked == TargetMode::kUsb && host.MachineName() == "Linux") {
        message +=
            " (in USB mode it needs the vendor driver, which Linux "
            "does not have: Linux does not see it)";
      }
      return Fail(options, io, message);
    }
    if (!waited.mode || *waited.mode != asked) {
      return Fail(
          options, io,
          std::string("the token came back at entry ") +
              std::to_string(waited.entry) + " in " +
              (waited.mode ? std::string(ModeName(*waited.mode)) +
                                 " mode, not " + ModeName(asked) + " mode"
                           : std::string("a mode this machine cannot "
                                         "tell")));
    }
  }

  if (options.json) {
    JsonWriter json;
    json.BeginObject();
    json.Key("entry").Number(token.dwIndex);
    json.Key("deviceId").String(deviceId);
    json.Key("requested").String(ModeName(asked));
    json.Key("waited").Bool(options.waitSeconds.has_value());
    // Without --wait the token's mode after the re-plug is not known yet.
    if (options.waitSeconds) {
      json.Key("mode").String(ModeName(*waited.mode));
      json.Key("entryAfter").Number(waited.entry);
    } else {
      json.Key("mode").Null().Key("entryAfter").Null();
    }
    json.EndObject();
    io.out << json.Text() << '\n';
  } else if (options.waitSeconds) {
    io.out << "The token " << deviceId << " is back in " << ModeName(asked)
           << " mode at entry " << waited.entry << ".\n";
  } else {
    io.out << "The token at entry " << entry << " (device id " << deviceId
           << ") switches to " << ModeName(asked)
           << " mode when it is unplugged and plugged in again.\n";
  }
  return kExitOk;
}

// --- doctor ---------------------------------------------------------------

const char* LevelName(Level level) {
  switch (level) {
    case Level::kOk:
      return "ok";
    case Level::kWarn:
      return "warn";
    case Level::kFail:
      return "FAIL";
  }
  return "?";
}

Finding LibraryFinding(Host& host) {
  Finding f;
  f.name = "library";
  const Listing listing = ListTokens(host.Api());
  if (listing.result != VX_SUCCESS) {
    f.level = Level::kFail;
    f.detail = "the listing fails: " + DescribeResult(listing.result);
  } else if (listing.contexts.empty()) {
    f.level = Level::kFail;
    f.detail = "the library lists no token";
    f.fix = "plug a token in, and mend what the checks above find";
  } else {
    f.detail = "the library lists " + std::to_string(listing.contexts.size()) +
               (listing.contexts.size() == 1 ? " token (entry "
                                             : " tokens (entries ") +
               Entries(listing.contexts) + ")";
  }
  return f;
}

int Doctor(const Options& options, Host& host, Streams& io) {
  std::vector<Finding> findings = host.Checks();
  findings.push_back(LibraryFinding(host));
  const bool failed =
      std::any_of(findings.begin(), findings.end(),
                  [](const Finding& f) { return f.level == Level::kFail; });
  if (options.json) {
    JsonWriter json;
    json.BeginObject();
    json.Key("machine").String(host.MachineName());
    json.Key("ok").Bool(!failed);
    json.Key("checks").BeginArray();
    for (const Finding& f : findings) {
      json.BeginObject();
      json.Key("name").String(f.name);
      json.Key("status").String(f.level == Level::kOk     ? "ok"
                                : f.level == Level::kWarn ? "warn"
                                                          : "fail");
      json.Key("detail").String(f.detail);
      json.Key("fix").String(f.fix);
      json.EndObject();
    }
    json.EndArray().EndObject();
    io.out << json.Text() << '\n';
  } else {
    io.out << "Checks on this machine (" << host.MachineName() << "):\n";
    for (const Finding& f : findings) {
      char head[32];
      std::snprintf(head, sizeof head, "  %-5s ", LevelName(f.level));
      io.out << head << f.name << ": " << f.detail << '\n';
      if (!f.fix.empty()) io.out << "        fix: " << f.fix << '\n';
    }
    io.out << (failed ? "Something stands between you and a token.\n"
                      : "Nothing stands between you and a token.\n");
  }
  return failed ? kExitFailed : kExitOk;
}

// --- Parsing --------------------------------------------------------------

bool ParseNumber(const std::string& text, long max, long* value) {
  if (text.empty() || text.size() > 9) return false;
  long v = 0;
  for (const char ch : text) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + (ch - '0');
  }
  if (v > max) return false;
  *value = v;
  return true;
}

const CommandHelp* FindCommand(const std::string& word) {
  for (const CommandHelp& c : kCommands) {
    if (word == c.name) return &c;
  }
  return nullptr;
}

bool IsCommand(const std::string& word) {
  return word == "help" || FindCommand(word) != nullptr;
}

bool HasOption(const CommandHelp& command, const std::string& option) {
  const std::string options = command.options;
  return options.find(option + ' ') != std::string::npos;
}

bool IsCommandOption(const std::string& option) {
  return std::any_of(
      std::begin(kCommands), std::end(kCommands),
      [&](const CommandHelp& c) { return HasOption(c, option); });
}

// "'mkdir', 'put'": the commands that take `option`.
std::string CommandsWith(const std::string& option) {
  std::string names;
  for (const CommandHelp& c : kCommands) {
    if (!HasOption(c, option)) continue;
    names += (names.empty() ? "'" : ", '") + std::string(c.name) + "'";
  }
  return names;
}

std::optional<std::uint32_t> FileTypeOf(const std::string& name) {
  const struct {
    const char* name;
    std::uint32_t type;
  } kTypes[] = {{"data", VX_TYPE_DATA},
                {"exe", VX_TYPE_EXE},
                {"exe-ex", VX_TYPE_EXE_EX},
                {"rsa-public", VX_TYPE_RSA_PUBLIC},
                {"rsa-private", VX_TYPE_RSA_PRIVATE}};
  for (const auto& t : kTypes) {
    if (name == t.name) return t.type;
  }
  return std::nullopt;
}

}  // namespace

std::string ResultName(std::uint32_t code) {
  for (const KnownResult& r : kResults) {
    if (r.code == code) return r.name;
  }
  if (IsStatusWord(code)) return Format("card status %04X", code);
  if (IsRunStatus(code)) return Format("run status %u", code >> 16);
  return "unknown result";
}

std::string ResultWords(std::uint32_t code) {
  for (const KnownResult& r : kResults) {
    if (r.code == code) return r.words;
  }
  for (const KnownResult& r : kStatusWords) {
    if (r.code == code) return r.words;
  }
  if (IsStatusWord(code)) {
    if ((code & 0xFFF0u) == 0x63C0u) {
      return Format("wrong PIN, %u tries left", code & 0xFu);
    }
    return "the token refused the command";
  }
  if (IsRunStatus(code)) return "the program on the token ended with an error";
  return "not a code this program knows";
}

std::string DescribeResult(std::uint32_t code) {
  return Format("0x%08X", code) + " (" + ResultName(code) + ": " +
         ResultWords(code) + ")";
}

std::string VersionText(std::uint32_t version) {
  std::string text;
  if ((version >> 24 & 0xFu) != 0) text = Format("%u.", version >> 24 & 0xFu);
  return text + Format("%u.", version >> 16 & 0xFu) +
         Format("%u.", version >> 8 & 0xFu) + Format("%u", version & 0xFu);
}

namespace {

bool IsDeviceIdText(const std::string& text) {
  return text.size() == 16 &&
         std::all_of(text.begin(), text.end(), [](char ch) {
           return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') ||
                  (ch >= 'A' && ch <= 'F');
         });
}

std::optional<std::uint16_t> SimVersionOf(const std::string& text) {
  // "2.3.0": one decimal digit each, as the token's version word holds them.
  if (text.size() != 5 || text[1] != '.' || text[3] != '.' || text[0] != '2') {
    return std::nullopt;
  }
  for (const std::size_t i : {std::size_t{2}, std::size_t{4}}) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  }
  return static_cast<std::uint16_t>(0x0200 | (text[2] - '0') << 4 |
                                    (text[4] - '0'));
}

}  // namespace

Parsed ParseArgs(const std::vector<std::string>& args) {
  Parsed parsed;
  Options& o = parsed.options;
  std::vector<std::string> words;
  std::vector<std::size_t> at;    // where each word stands in `args`
  std::vector<std::string> used;  // options that belong to some commands
  auto error = [&parsed](std::string message) {
    if (parsed.error.empty()) parsed.error = std::move(message);
  };
  bool optionsEnded = false;  // after "--", every word is an operand
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsEnded || a == "--") {
      if (optionsEnded) {
        words.push_back(a);
        at.push_back(i);
      }
      optionsEnded = true;
      continue;
    }
    const std::string name = a.substr(0, a.find('='));
    // The value of an option that takes one: "--name=V" or "--name V".
    std::string value;
    auto take = [&]() {
      if (a.size() > name.size()) {
        value = a.substr(name.size() + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        error(a + " needs a value");
        return false;
      }
      return true;
    };
    if (name != "-d" && name != "--device" && name.rfind("--", 0) == 0 &&
        IsCommandOption(name)) {
      used.push_back(name);
    }
    if (a == "--json") {
      o.json = true;
    } else if (a == "--sim") {
      o.sim = true;
    } else if (name == "--sim" && a.size() > name.size()) {
      o.sim = true;
      o.simFile = a.substr(name.size() + 1);
      if (o.simFile->empty()) error("--sim=FILE: the file's name is empty");
    } else if (name == "--sim-version") {
      if (!take()) continue;
      o.simVersion = SimVersionOf(value);
      if (!o.simVersion) {
        error("--sim-version: a version such as 2.0.0, 2.1.0 or 2.3.0, not '" +
              value + "'");
      }
    } else if (name == "--sim-device-type") {
      if (!take()) continue;
      if (value == "0" || value == "1" || value == "2") {
        o.simDeviceType = static_cast<std::uint8_t>(value[0] - '0');
      } else {
        error("--sim-device-type: 0, 1 or 2, not '" + value + "'");
      }
    } else if (a == "-h" || a == "--help") {
      o.help = true;
    } else if (a == "--version") {
      o.version = true;
    } else if (a == "--bash-completion") {
      o.bashCompletion = true;
    } else if (a == "-d" || name == "--device" ||
               (a.size() > 2 && a[0] == '-' && a[1] == 'd')) {
      if (a.size() > 2 && a[1] == 'd') {
        value = a.substr(2);  // -dN
      } else if (!take()) {
        continue;
      }
      long entry = 0;
      if (IsDeviceIdText(value)) {
        o.deviceId = value;
        for (char& ch : *o.deviceId) {
          if (ch >= 'a' && ch <= 'f') ch = static_cast<char>(ch - 'a' + 'A');
        }
      } else if (!ParseNumber(value, 126, &entry)) {
        error(
            "-d: a token entry (0 to 126) or device id (16 hexadecimal "
            "digits), not '" +
            value + "'");
      } else {
        o.device = static_cast<std::uint32_t>(entry);
      }
    } else if (name == "--wait") {
      long seconds = kDefaultWaitSeconds;
      if (a.size() > name.size()) {
        value = a.substr(name.size() + 1);
      } else if (i + 1 < args.size() && !args[i + 1].empty() &&
                 args[i + 1][0] >= '0' && args[i + 1][0] <= '9') {
        value = args[++i];
      }
      if (!value.empty() &&
          (!ParseNumber(value, 3600, &seconds) || seconds == 0)) {
        error("not a number of seconds (1 to 3600): '" + value + "'");
      }
      o.waitSeconds = static_cast<int>(seconds);
    } else if (name == "--size" || name == "--offset") {
      if (!take()) continue;
      const std::optional<std::uint32_t> number = ParseWord(value);
      if (!number) {
        std::string message = "not a number for ";
        message += name;
        message += ": '" + value + "'";
        error(message);
      }
      (name == "--size" ? o.size : o.offset) = number;
    } else if (name == "--pin") {
      if (!take()) continue;
      if (value == "user") {
        o.pin = VX_USER_PIN;
      } else if (value == "dev") {
        o.pin = VX_DEV_PIN;
      } else {
        error("--pin: 'user' or 'dev', not '" + value + "'");
      }
    } else if (name == "--type") {
      if (!take()) continue;
      o.fileType = FileTypeOf(value);
      if (!o.fileType) {
        error("--type: data, exe, exe-ex, rsa-public or rsa-private, not '" +
              value + "'");
      }
    } else if (name == "--path") {
      if (take()) o.path = value;
    } else if (name == "--device-id") {
      if (take()) o.newDeviceId = value;
    } else if (name == "--input") {
      if (take()) o.input = value;
    } else if (a == "--by-id") {
      o.byId = true;
    } else if (a == "--allow-filler") {
      o.allowFiller = true;
    } else if (a == "--access-flag") {
      o.accessFlag = true;
    } else if (a == "--hex") {
      o.hex = true;
    } else if (a == "--yes") {
      o.yes = true;
    } else if (a.size() > 1 && a[0] == '-') {
      error("unknown option '" + a + "'");
    } else {
      words.push_back(a);
      at.push_back(i);
    }
  }
  if ((o.simVersion || o.simDeviceType) && !o.sim) {
    error("--sim-version and --sim-device-type go with --sim");
  }

  if (words.empty()) {
    if (!o.help && !o.version && !o.bashCompletion) {
      error("no command given");
    }
    return parsed;
  }
  o.command = words[0];
  if (!IsCommand(o.command)) {
    error("unknown command '" + o.command + "'");
    return parsed;
  }
  if (o.command == "help") {
    o.help = true;
    o.command = words.size() > 1 ? words[1] : "";
    if (!o.command.empty() && !IsCommand(o.command)) {
      error("unknown command '" + o.command + "'");
    }
    return parsed;
  }
  const CommandHelp& command = *FindCommand(o.command);
  o.operands.assign(words.begin() + 1, words.end());
  parsed.operandAt.assign(at.begin() + 1, at.end());
  if ((o.device || o.deviceId) &&
      (o.command == "list" || o.command == "doctor")) {
    error("-d belongs to 'info', 'mode' and the card commands; '" + o.command +
          "' takes every token");
  }
  if (o.command == "mode" && !o.operands.empty()) {
    const std::string& word = o.operands[0];
    if (word == "usb" || word == "USB") {
      o.mode = TargetMode::kUsb;
    } else if (word == "hid" || word == "HID") {
      o.mode = TargetMode::kHid;
    } else {
      error("mode: 'usb' or 'hid', not '" + word + "'");
    }
  }
  if (o.operands.size() < command.minOperands && !o.help) {
    error(o.command + ": " + command.needs);
  }
  if (o.operands.size() > command.maxOperands) {
    error(o.command + ": unexpected '" + o.operands[command.maxOperands] + "'");
  }
  for (const std::string& option : used) {
    if (!HasOption(command, option))
      error(option + " belongs to " + CommandsWith(option));
  }
  return parsed;
}

std::string BashCompletion() {
  const std::string kChoice = "-d --device ";
  const std::string kCommon = "--json --sim --help";
  std::string names = "help";
  std::string cases;
  for (const CommandHelp& c : kCommands) {
    names += std::string(" ") + c.name;
    std::string words = c.options;
    // The words that stand for an operand.
    if (std::strcmp(c.name, "mode") == 0) words += "usb hid ";
    if (std::strcmp(c.name, "pin") == 0) words += "verify change user dev key ";
    // list and doctor take every token: no -d.
    const bool anyToken =
        std::strcmp(c.name, "list") == 0 || std::strcmp(c.name, "doctor") == 0;
    cases += std::string("    ") + c.name + ") words=\"" + words;
    cases += (anyToken ? "" : kChoice) + kCommon + "\" ;;\n";
  }
  return "# bash completion for vantor, made by `vantor --bash-completion`\n"
         "_vantor() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} prev=''\n"
         "  local command='' word words\n"
         "  [ \"$COMP_CWORD\" -gt 0 ] && prev=${COMP_WORDS[COMP_CWORD-1]}\n"
         "  for word in \"${COMP_WORDS[@]:1:COMP_CWORD-1}\"; do\n"
         "    case $word in " +
         [&] {
           std::string alternatives = names;
           std::replace(alternatives.begin(), alternatives.end(), ' ', '|');
           return alternatives;
         }() +
         ") command=$word; break ;; esac\n"
         "  done\n"
         "  case $prev in\n"
         "    --pin) words=\"user dev\" ;;\n"
         "    --type) words=\"data exe exe-ex rsa-public rsa-private\" ;;\n"
         "    --sim-device-type) words=\"0 1 2\" ;;\n"
         "    -d | --device | --size | --offset | --path | --device-id | "
         "--input | --wait | --sim-version) return ;;\n"
         "  esac\n"
         "  if [ -z \"$words\" ]; then\n"
         "    case $command in\n"
         "    '') words=\"" +
         names + " " + kChoice + kCommon + " --version\" ;;\n" +
         "    help) words=\"" + names + "\" ;;\n" + cases +
         "    esac\n"
         "  fi\n"
         "  mapfile -t COMPREPLY < <(compgen -W \"$words\" -- \"$cur\")\n"
         "}\n"
         "complete -o default -F _vantor vantor\n";
}

int Run(const Parsed& parsed, Host& host, Streams io) {
  const Options& o = parsed.options;
  if (!parsed.error.empty()) {
    return Fail(o, io, parsed.error, std::nullopt, kExitUsage);
  }
  if (o.help) {
    PrintHelp(io.out, o.command);
    return kExitOk;
  }
  if (o.bashCompletion) {
    io.out << BashCompletion();
    return kExitOk;
  }
  if (o.version) {
    if (o.json) {
      JsonWriter json;
      json.BeginObject().Key("version").String(VANTOR_VERSION_TEXT);
      io.out << json.EndObject().Text() << '\n';
    } else {
      io.out << "vantor " << VANTOR_VERSION_TEXT << '\n';
    }
    return kExitOk;
  }
  if (internal::IsCardCommand(o.command)) {
    return internal::RunCardCommand(o, host, io);
  }
  if (o.command == "list") return List(o, host, io);
  if (o.command == "info") return Info(o, host, io);
  if (o.command == "mode") return Mode(o, host, io);
  return Doctor(o, host, io);
}

// --- Doctor's findings ----------------------------------------------------

namespace {

const char kRuleFix[] =
    "echo 'SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"0471\", "
    "ATTRS{idProduct}==\"485e\", TAG+=\"uaccess\"' | sudo tee "
    "/etc/udev/rules.d/70-vantor.rules && sudo udevadm control --reload && "
    "sudo udevadm trigger";

}  // namespace

std::vector<Finding> LinuxFindings(const LinuxFacts& facts) {
  std::vector<Finding> findings;
  bool blocked = false;
  if (facts.nodes.empty()) {
    findings.push_back(
        {Level::kFail, "hidraw",
         "no hidraw node of vendor 0471 product 485e: no token in HID mode "
         "is attached",
         "plug the token in; a token in USB mode is not reachable on Linux "
         "(its driver exists for Windows only): switch it to HID mode with "
         "vantor-mode on Windows"});
  }
  for (const HidrawNode& node : facts.nodes) {
    if (node.accessible) {
      findings.push_back({Level::kOk, "hidraw",
                          node.device + " (vendor 0471 product 485e) is "
                                        "readable and writable",
                          ""});
    } else {
      blocked = true;
      findings.push_back({Level::kFail, "hidraw",
                          node.device + " (vendor 0471 product 485e) is not "
                                        "readable and writable by you",
                          std::string(kRuleFix) +
                              "; then unplug the token and plug it in again"});
    }
  }
  if (!facts.rules.empty()) {
    std::string found;
    for (const std::string& rule : facts.rules) {
      found += (found.empty() ? "" : ", ") + rule;
    }
    findings.push_back({Level::kOk, "udev rule", found, ""});
  } else {
    std::string detail =
        "no udev rule gives the tokens' hidraw nodes to the logged-in user";
    for (const std::string& rule : facts.unreadRules) {
      detail += "; " + rule + " is in a folder that udev does not read";
    }
    findings.push_back(
        {blocked ? Level::kFail : Level::kWarn, "udev rule", detail, kRuleFix});
  }
  return findings;
}

std::vector<Finding> WindowsFindings(const WindowsFacts& facts) {
  std::vector<Finding> findings;
  findings.push_back(
      {facts.hidTokens > 0 ? Level::kOk : Level::kWarn, "HID tokens",
       std::to_string(facts.hidTokens) +
           " HID device(s) of vendor 0471 product 485e (no driver needed)",
       ""});
  findings.push_back(
      {facts.driverTokens > 0 ? Level::kOk : Level::kWarn, "driver tokens",
       std::to_string(facts.driverTokens) +
           " device(s) of the vendor driver's interface class (USB mode)",
       ""});
  if (facts.hidTokens + facts.driverTokens == 0) {
    findings.push_back({Level::kFail, "tokens",
                        "Windows shows no token in either mode",
                        "plug the token in; a token in USB mode needs the "
                        "vendor driver installed"});
  }
  return findings;
}

std::vector<std::optional<TargetMode>> ModesFromCounts(
    const WindowsFacts& facts, std::size_t listed) {
  std::optional<TargetMode> mode;
  const auto count = static_cast<int>(listed);
  if (facts.hidTokens == count && facts.driverTokens == 0) {
    mode = TargetMode::kHid;
  } else if (facts.driverTokens == count && facts.hidTokens == 0) {
    mode = TargetMode::kUsb;
  }
  return std::vector<std::optional<TargetMode>>(listed, mode);
}

}  // namespace vantor::tool::cli
