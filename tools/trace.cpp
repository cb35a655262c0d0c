#include "trace.h"

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "scsi_text.h"

namespace tools {

namespace {

double Microseconds(Device& device, std::chrono::steady_clock::time_point at) {
  return std::chrono::duration<double, std::micro>(at - device.Began()).count();
}

}  // namespace

bool WriteTrace(Device& device, const std::string& path) {
  nlohmann::json events = nlohmann::json::array();
  auto thread = [&](int tid, const char* name) {
    events.push_back({{"name", "thread_name"}, {"ph", "M"}, {"pid", 1}, {"tid", tid}, {"args", {{"name", name}}}});
  };
  thread(1, "application requests");
  thread(2, "SRBs at the port");
  for (const RequestRecord& request : device.Requests()) {
    events.push_back({{"name", request.what},
                      {"ph", "X"},
                      {"pid", 1},
                      {"tid", 1},
                      {"ts", Microseconds(device, request.began)},
                      {"dur", std::max(0.0, Microseconds(device, request.ended) - Microseconds(device, request.began))},
                      {"args", {{"status", StatusName(request.status)}, {"bytes", request.bytes}, {"srbs", request.srbs}}}});
  }
  std::vector<SrbRecord> srbs = device.Srbs();
  for (const SrbRecord& sent : srbs) {
    std::string name = sent.releaseQueue ? "release queue" : "CDB " + Hex(sent.cdb);
    double start = Microseconds(device, sent.arrived);
    double end = sent.completed ? Microseconds(device, sent.ended) : start;
    events.push_back({{"name", name},
                      {"ph", "X"},
                      {"pid", 1},
                      {"tid", 2},
                      {"ts", start},
                      {"dur", std::max(0.0, end - start)},
                      {"args",
                       {{"sequence", sent.sequence},
                        {"asked", sent.asked},
                        {"moved", sent.moved},
                        {"srb status", SrbStatusText(sent.srbStatus)}}}});
  }
  std::ofstream file(path);
  if (!file) return false;
  file << nlohmann::json{{"traceEvents", events}, {"displayTimeUnit", "ms"}}.dump(1) << "\n";
  return (bool)file;
}

std::string TraceSummary(Device& device) {
  std::map<std::string, std::pair<int, size_t>> byKind;  // requests and bytes
  for (const RequestRecord& request : device.Requests()) {
    auto& [count, bytes] = byKind[request.what];
    ++count;
    bytes += request.bytes;
  }
  std::map<uint32_t, int> chunkSizes;
  int releases = 0, failed = 0;
  std::vector<SrbRecord> srbs = device.Srbs();
  for (const SrbRecord& sent : srbs) {
    if (sent.releaseQueue) {
      ++releases;
      continue;
    }
    ++chunkSizes[sent.asked];
    failed += (sent.srbStatus & 0x3F) != SRB_STATUS_SUCCESS;
  }
  std::string text = "requests:\n";
  for (const auto& [what, counts] : byKind) {
    text += "  " + std::to_string(counts.first) + " x " + what + ", " + Count(counts.second, "byte", "bytes") + "\n";
  }
  std::optional<uint64_t> count = device.SrbCount();
  if (!count) return text + "SRBs at the port: not visible from here\n";
  text += "SRBs at the port (the last " + std::to_string(srbs.size()) + " of " + std::to_string(*count) +
          "): " + std::to_string(failed) + " failed, " + std::to_string(releases) + " queue releases\n";
  for (const auto& [size, count] : chunkSizes) {
    text += "  " + std::to_string(count) + " x " + Count(size, "byte", "bytes") + "\n";
  }
  return text;
}

}  // namespace tools
