#include "trace.h"

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "scsi_text.h"

namespace tools {

namespace {

double Microseconds(Rig& rig, std::chrono::steady_clock::time_point at) {
  return std::chrono::duration<double, std::micro>(at - rig.Began()).count();
}

}  // namespace

bool WriteTrace(Rig& rig, const std::string& path) {
  nlohmann::json events = nlohmann::json::array();
  auto thread = [&](int tid, const char* name) {
    events.push_back({{"name", "thread_name"}, {"ph", "M"}, {"pid", 1}, {"tid", tid}, {"args", {{"name", name}}}});
  };
  thread(1, "application requests");
  thread(2, "SRBs at the port");
  for (const RequestRecord& request : rig.Requests()) {
    events.push_back({{"name", request.what},
                      {"ph", "X"},
                      {"pid", 1},
                      {"tid", 1},
                      {"ts", Microseconds(rig, request.began)},
                      {"dur", std::max(0.0, Microseconds(rig, request.ended) - Microseconds(rig, request.began))},
                      {"args", {{"status", StatusName(request.status)}, {"bytes", request.bytes}, {"srbs", request.srbs}}}});
  }
  for (const sim::SentSrb& sent : rig.Port().Srbs()) {
    bool release = sent.srb.Function == SRB_FUNCTION_RELEASE_QUEUE;
    std::string name = release ? "release queue" : "CDB " + Hex(std::span<const uint8_t>(sent.cdb.begin(), sent.cdb.size()));
    double start = Microseconds(rig, sent.arrivedAt);
    double end = sent.completed ? Microseconds(rig, sent.completedAt) : start;
    events.push_back({{"name", name},
                      {"ph", "X"},
                      {"pid", 1},
                      {"tid", 2},
                      {"ts", start},
                      {"dur", std::max(0.0, end - start)},
                      {"args",
                       {{"sequence", sent.sequence},
                        {"asked", sent.srb.DataTransferLength},
                        {"moved", sent.completedBytes},
                        {"srb status", SrbStatusText(sent.completedSrbStatus)}}}});
  }
  std::ofstream file(path);
  if (!file) return false;
  file << nlohmann::json{{"traceEvents", events}, {"displayTimeUnit", "ms"}}.dump(1) << "\n";
  return (bool)file;
}

std::string TraceSummary(Rig& rig) {
  std::map<std::string, std::pair<int, size_t>> byKind;  // requests and bytes
  for (const RequestRecord& request : rig.Requests()) {
    auto& [count, bytes] = byKind[request.what];
    ++count;
    bytes += request.bytes;
  }
  std::map<uint32_t, int> chunkSizes;
  int releases = 0, failed = 0;
  for (const sim::SentSrb& sent : rig.Port().Srbs()) {
    if (sent.srb.Function == SRB_FUNCTION_RELEASE_QUEUE) {
      ++releases;
      continue;
    }
    ++chunkSizes[sent.srb.DataTransferLength];
    failed += (sent.completedSrbStatus & 0x3F) != SRB_STATUS_SUCCESS;
  }
  std::string text = "requests:\n";
  for (const auto& [what, counts] : byKind) {
    text += "  " + std::to_string(counts.first) + " x " + what + ", " + std::to_string(counts.second) + " bytes\n";
  }
  text += "SRBs at the port (the last " + std::to_string(rig.Port().Srbs().size()) + " of " +
          std::to_string(rig.Port().SrbCount()) + "): " + std::to_string(failed) + " failed, " +
          std::to_string(releases) + " queue releases\n";
  for (const auto& [size, count] : chunkSizes) {
    text += "  " + std::to_string(count) + " x " + std::to_string(size) + " bytes\n";
  }
  return text;
}

}  // namespace tools
