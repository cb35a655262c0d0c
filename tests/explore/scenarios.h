// The explorer's scenarios: a few threads each (application threads, the
// port's completion threads, the Plug and Play manager's thread), small
// enough that every schedule within the preemption bound can be run.
#pragma once

#include <string>
#include <vector>

#include "explore.h"

struct Scenario {
  std::string name;
  std::string what;
  int bound = 2;           // the bound the test command uses
  bool expectFailure = false;  // a known race, kept to show the explorer finds it
  host::explore::TrialFactory factory;
};

std::vector<Scenario> DriverScenarios();
std::vector<Scenario> KnownRaces();
// Faults the explorer found that are not mended yet: listed, not run by the
// test command.
std::vector<Scenario> OpenFaults();
