#include "sim_file.h"

#include <fstream>
#include <sstream>

#include "commands.h"

namespace vantor::tool::cli {
namespace {

constexpr char kHeader[] = "vantor-sim 1";

std::string Hex(const std::string& bytes) {
  if (bytes.empty()) return "-";
  return internal::HexBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                            bytes.size());
}

bool Unhex(const std::string& text, std::string* bytes) {
  bytes->clear();
  if (text == "-") return true;
  if (text.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const std::optional<std::uint32_t> value =
        internal::ParseWord("0x" + text.substr(i, 2));
    if (!value) return false;
    bytes->push_back(static_cast<char>(*value));
  }
  return true;
}

}  // namespace

bool ReadSimFile(const std::string& path, SimFile* file, bool* exists,
                 std::string* error) {
  std::ifstream in(path, std::ios::binary);
  *exists = static_cast<bool>(in);
  if (!in) return true;
  const std::string bad = "--sim=" + path + ": not a virtual token's file";
  std::string line;
  if (!std::getline(in, line) || line != kHeader) {
    *error = bad + " (its first line is not '" + kHeader + "')";
    return false;
  }
  std::string word, version;
  int type = -1;
  if (!std::getline(in, line) ||
      !(std::istringstream(line) >> word >> version >> type) ||
      word != "token" || type < 0 || type > 2 ||
      !internal::ParseWord("0x" + version)) {
    *error = bad + " (no token line)";
    return false;
  }
  file->version =
      static_cast<std::uint16_t>(*internal::ParseWord("0x" + version));
  file->deviceType = static_cast<std::uint8_t>(type);
  for (int number = 3; std::getline(in, line); ++number) {
    std::istringstream words(line);
    SimRun run;
    std::string input;
    if (!(words >> word >> run.status >> input) || word != "run" ||
        !Unhex(input, &run.input)) {
      *error = bad + " (line " + std::to_string(number) + ")";
      return false;
    }
    while (words >> word) {
      run.args.emplace_back();
      if (!Unhex(word, &run.args.back())) {
        *error = bad + " (line " + std::to_string(number) + ")";
        return false;
      }
    }
    file->runs.push_back(std::move(run));
  }
  return true;
}

bool AppendSimRun(const std::string& path, const SimFile& file, bool create,
                  const SimRun& run, std::string* error) {
  std::ofstream out(path, create ? std::ios::binary | std::ios::trunc
                                 : std::ios::binary | std::ios::app);
  if (create) {
    out << kHeader << '\n'
        << "token " << internal::Format("%04X", file.version) << ' '
        << static_cast<int>(file.deviceType) << '\n';
  }
  out << "run " << run.status << ' ' << Hex(run.input);
  for (const std::string& arg : run.args) out << ' ' << Hex(arg);
  out << '\n';
  out.close();
  if (!out) {
    *error = "--sim=" + path + ": cannot save the virtual token's card";
    return false;
  }
  return true;
}

sim::TokenConfig SimTokenConfig(std::uint16_t version,
                                std::uint8_t deviceType) {
  sim::TokenConfig config;
  config.version = version;
  // Device types 1 and 2 are the high bits 8 and C of the device byte; a
  // 2.0.0 token answers the byte as it is.
  const std::uint8_t kBytes[] = {0x00, 0x80, 0xC0};
  config.deviceByte = version == 0x0200 ? deviceType : kBytes[deviceType % 3];
  return config;
}

bool ReplaySimRuns(const SimFile& file, Host& host, std::string* error) {
  for (std::size_t i = 0; i < file.runs.size(); ++i) {
    const SimRun& run = file.runs[i];
    std::istringstream in(run.input);
    std::ostringstream dropped;
    Streams io{dropped, dropped};
    io.in = &in;
    const int status = Run(ParseArgs(run.args), host, io);
    if (status != run.status) {
      std::string line;
      for (const std::string& arg : run.args) line += " " + arg;
      *error = "the virtual token's file does not replay: run " +
               std::to_string(i + 1) + " (vantor" + line + ") ended with " +
               std::to_string(status) + ", not " + std::to_string(run.status);
      return false;
    }
  }
  return true;
}

bool KeepsRun(const Parsed& parsed, int status) {
  const Options& o = parsed.options;
  return parsed.error.empty() && !o.help && !o.version &&
         internal::IsCardCommand(o.command) && status != kExitUsage;
}

}  // namespace vantor::tool::cli
