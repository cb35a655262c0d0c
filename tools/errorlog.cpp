// Prints the system error log's entries of the driver's device as an event
// viewer shows them, from a file the scan program wrote (--error-log):
// level, source, event ID, sequence number, message, device and address,
// the codes, the logged SRB and its sense in words, and the dump data.
//
//   stillscsi_errorlog FILE
//
// The file: {"device": NAME, "address": {"port": P, "path": P, "target": T,
// "lun": L}, "entries": [HEX, ...]}, each entry the bytes of one
// IO_ERROR_LOG_PACKET in hex; "device" and "address" may be missing.
//
// Exit code: 0 the log was read, 1 a usage error, 15 the file cannot be
// read or is not an error log. An entry that is cut short or not hex is
// reported with a warning and the rest are still printed.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "exit_codes.h"
#include "platform_names.h"
#include "scsi_text.h"
#include "version.h"

namespace {

// The bytes of an entry written as "01 02 ..."; nothing when the text is
// not that.
std::optional<std::vector<uint8_t>> Bytes(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < hex.size();) {
    if (hex[i] == ' ') {
      ++i;
      continue;
    }
    if (i + 1 >= hex.size() || !std::isxdigit((unsigned char)hex[i]) || !std::isxdigit((unsigned char)hex[i + 1])) {
      return std::nullopt;
    }
    bytes.push_back((uint8_t)std::stoul(hex.substr(i, 2), nullptr, 16));
    i += 2;
  }
  return bytes;
}

// "port 0, path 0, target 0, LUN 0" from the log's address; "" when it has
// none or it is not that.
std::string AddressText(const nlohmann::json& log) {
  if (!log.contains("address") || !log["address"].is_object()) return "";
  const nlohmann::json& address = log["address"];
  std::string text;
  for (const char* field : {"port", "path", "target", "lun"}) {
    if (!address.contains(field) || !address[field].is_number_unsigned()) return "";
    text += (text.empty() ? "" : ", ") + std::string(field == std::string("lun") ? "LUN" : field) + " " +
            std::to_string(address[field].get<unsigned>());
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Prints the driver's error-log entries in words, from a file written with --error-log."};
  app.set_version_flag("--version", STILLSCSI_TOOLS_VERSION);
  // Options start with a dash in every build; a path such as /tmp/x is a path.
  app.allow_windows_style_options(false);
  // Every option's default is shown in the help.
  app.option_defaults()->always_capture_default();
  std::string path;
  app.add_option("file", path, "the error log (JSON) to read")->required();
  app.footer(tools::kExitCodesHelp);
  int parsed = tools::Parse(app, argc, argv);
  if (parsed >= 0) return parsed;

  std::ifstream file(path);
  if (!file) {
    std::cerr << "stillscsi_errorlog: cannot read " << path << ": " << std::strerror(errno) << "\n";
    return tools::kExitFile;
  }
  nlohmann::json log = nlohmann::json::parse(file, nullptr, false);
  if (log.is_discarded() || !log.is_object() || !log.contains("entries") || !log["entries"].is_array()) {
    std::cerr << "stillscsi_errorlog: " << path << " is not an error log (JSON with an \"entries\" list)\n";
    return tools::kExitFile;
  }
  std::string device = log.contains("device") && log["device"].is_string() ? log["device"].get<std::string>() : "";
  std::string address = AddressText(log);
  size_t count = log["entries"].size();
  std::cout << (device.empty() ? "device" : device) << ": " << count << (count == 1 ? " entry" : " entries") << "\n";
  size_t index = 0;
  for (const auto& text : log["entries"]) {
    ++index;
    std::optional<std::vector<uint8_t>> bytes;
    if (text.is_string()) bytes = Bytes(text.get<std::string>());
    if (!bytes) {
      std::cout << "\nwarning: entry " << index << ": not an entry's bytes in hex\n";
      continue;
    }
    size_t dump = offsetof(IO_ERROR_LOG_PACKET, DumpData);
    if (bytes->size() < dump) {
      std::cout << "\nwarning: entry " << index << ": cut short: " << tools::Count(bytes->size(), "byte", "bytes")
                << ", an entry has at least "
                << dump << "\n";
      continue;
    }
    IO_ERROR_LOG_PACKET packet{};
    std::memcpy(&packet, bytes->data(), std::min(bytes->size(), sizeof(packet)));
    size_t whole = dump + packet.DumpDataSize;
    std::cout << "\nEvent " << index << "\n";
    if (bytes->size() < whole) {
      std::cout << "warning: entry " << index << ": cut short: " << bytes->size() << " of its " << whole
                << " bytes; the words it holds follow\n";
    }
    std::cout << tools::ErrorLogEventText(*bytes, device, address);
  }
  return 0;
}
