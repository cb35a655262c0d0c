// Verifier stops and reports.
#include "verifier.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "explore.h"
#include "world.h"

namespace host {

std::string Hex(const void* pointer) {
  char text[32];
  std::snprintf(text, sizeof(text), "%p", pointer);
  return text;
}

std::string Hex(unsigned long long value) {
  char text[32];
  std::snprintf(text, sizeof(text), "0x%llX", value);
  return text;
}

std::string TagText(unsigned int tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = (char)((tag >> (8 * i)) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return "'" + text + "'";
}

static std::string Line(std::string_view kind, std::string_view rule, std::string_view routine,
                        const void* object, std::string_view detail) {
  std::string line(kind);
  line += ": ";
  line += rule;
  line += " [";
  line += routine;
  line += ", ";
  line += object ? Hex(object) : std::string("-");
  line += "]";
  if (!detail.empty()) {
    line += ": ";
    line += detail;
  }
  return line;
}

void Violation(std::string_view rule, std::string_view routine, const void* object, std::string_view detail) {
  std::string line = Line("VERIFIER", rule, routine, object, detail);
  std::fprintf(stderr, "%s\n", line.c_str());
  explore::RunViolationHook();
  std::fflush(stderr);
  std::abort();
}

void Report(std::string_view rule, std::string_view routine, const void* object, std::string_view detail) {
  std::string line = Line("VERIFIER REPORT", rule, routine, object, detail);
  World* world = World::CurrentOrNull();
  if (world == nullptr) {
    std::fprintf(stderr, "%s\n", line.c_str());
    return;
  }
  std::lock_guard<host::WorldLock> lock(world->mu);
  world->reports.push_back(line);
}

}  // namespace host
