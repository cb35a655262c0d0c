// Explores the interleavings of small scenarios: every schedule within a
// preemption bound, depth first, or schedules at random from a seed, or one
// schedule again from its replay string. Each schedule ends with the
// scenario's checks and the stand-in's audit; a failure prints the schedule
// and its replay string.
//
//   stillscsi_explore [--scenario NAME]... [--bound N] [--limit N]
//                     [--random N --seed S] [--replay STRING] [--list]
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "scenarios.h"

int main(int argc, char** argv) {
  CLI::App app{"Explores the interleavings of small scenarios of the driver."};
  std::vector<std::string> names;
  int bound = -1;
  size_t limit = 1000000;
  size_t random = 0;
  uint64_t seed = 1;
  std::string replay;
  bool list = false;
  app.add_option("-s,--scenario", names, "scenarios to explore (default: every scenario of the driver)");
  app.add_option("-b,--bound", bound, "preemptions per schedule (default: each scenario's own, 2)")
      ->check(CLI::Range(0, 10));
  app.add_option("--limit", limit, "stop after this many schedules")->capture_default_str();
  app.add_option("--random", random, "run this many random schedules instead, beyond any bound");
  app.add_option("--seed", seed, "the first random schedule's seed")->capture_default_str();
  app.add_option("--replay", replay, "run exactly this schedule of one scenario, with the places in the driver");
  app.add_flag("--list", list, "list the scenarios");
  CLI11_PARSE(app, argc, argv);

  std::vector<Scenario> all = DriverScenarios();
  for (Scenario& race : KnownRaces()) all.push_back(std::move(race));
  for (Scenario& fault : OpenFaults()) all.push_back(std::move(fault));
  if (list) {
    for (const Scenario& s : all) {
      std::printf("%-26s %s%s\n", s.name.c_str(), s.what.c_str(), s.expectFailure ? " (a known race)" : "");
    }
    return 0;
  }
  std::vector<const Scenario*> chosen;
  for (const Scenario& s : all) {
    bool named = std::find(names.begin(), names.end(), s.name) != names.end();
    if (named || (names.empty() && !s.expectFailure)) chosen.push_back(&s);
  }
  if (chosen.size() != (names.empty() ? chosen.size() : names.size())) {
    std::cerr << "stillscsi_explore: unknown scenario; --list names them\n";
    return 2;
  }
  if (!replay.empty() && chosen.size() != 1) {
    std::cerr << "stillscsi_explore: --replay needs exactly one --scenario\n";
    return 2;
  }

  bool failed = false;
  for (const Scenario* s : chosen) {
    int b = bound >= 0 ? bound : s->bound;
    host::explore::Result r;
    std::string how;
    if (!replay.empty()) {
      r = host::explore::Replay(s->factory, replay);
      how = "the schedule " + replay;
    } else if (random != 0) {
      r = host::explore::ExploreRandom(s->factory, seed, random);
      how = std::to_string(r.schedules) + " random schedules from seed " + std::to_string(seed);
    } else {
      r = host::explore::ExploreBounded(s->factory, b, limit);
      how = std::to_string(r.schedules) + " schedules within " + std::to_string(b) + " preemptions" +
            (r.complete ? ", all of them" : r.failed ? ", stopped at the first failure" : ", stopped at the limit");
    }
    std::printf("%s: %s, at most %zu choices and %zu kernel calls each, %.2f s: %s\n", s->name.c_str(), how.c_str(),
                r.longest, r.points, r.seconds, r.failed ? "FAILED" : "ok");
    if (!replay.empty() && !r.failed) std::printf("%s", r.report.c_str());
    if (r.failed) {
      failed = true;
      std::printf("%s", r.report.c_str());
      std::printf("replay: stillscsi_explore --scenario %s --replay %s\n", s->name.c_str(), r.replay.c_str());
    }
    std::fflush(stdout);
    // A deadlock leaves its threads parked for good: end here.
    if (r.deadlock) std::_Exit(1);
  }
  return failed ? 1 : 0;
}
