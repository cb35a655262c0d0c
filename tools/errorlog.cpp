// Prints the system error log's entries of the driver's device in words,
// from a file the scan program or the raw command tool wrote (--error-log).
//
//   stillscsi_errorlog FILE
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "scsi_text.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: stillscsi_errorlog FILE\n";
    return 3;
  }
  std::ifstream file(argv[1]);
  nlohmann::json log = nlohmann::json::parse(file, nullptr, false);
  if (log.is_discarded() || !log.contains("entries")) {
    std::cerr << argv[1] << ": not an error log\n";
    return 2;
  }
  std::cout << log.value("device", std::string("device")) << ": " << log["entries"].size() << " entries\n";
  for (const auto& text : log["entries"]) {
    std::vector<uint8_t> bytes;
    std::string hex = text.get<std::string>();
    for (size_t i = 0; i + 1 < hex.size(); i += 3) bytes.push_back((uint8_t)std::stoul(hex.substr(i, 2), nullptr, 16));
    std::cout << "  " << tools::ErrorLogEntryText(bytes) << "\n";
  }
  return 0;
}
