// IRQL: one level per thread, raised and lowered in matching pairs.
#include <vector>

#include "world.h"

namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local std::vector<KIRQL> t_raisedFrom;
}  // namespace

extern "C" {

KIRQL KeGetCurrentIrql(VOID) { return t_irql; }

KIRQL KfRaiseIrql(KIRQL NewIrql) {
  if (NewIrql < t_irql) {
    host::Violation(host::rule::kRaiseLower, "KeRaiseIrql", nullptr,
                    "from " + std::to_string(t_irql) + " to " + std::to_string(NewIrql));
  }
  KIRQL old = t_irql;
  t_raisedFrom.push_back(old);
  t_irql = NewIrql;
  return old;
}

VOID KeLowerIrql(KIRQL NewIrql) {
  if (NewIrql > t_irql || t_raisedFrom.empty() || t_raisedFrom.back() != NewIrql) {
    host::Violation(host::rule::kLowerHigher, "KeLowerIrql", nullptr,
                    "from " + std::to_string(t_irql) + " to " + std::to_string(NewIrql));
  }
  t_raisedFrom.pop_back();
  t_irql = NewIrql;
}

VOID HostPagedCode(const char* Routine) {
  if (t_irql > APC_LEVEL) {
    host::Violation(host::rule::kPagedCodeRaised, Routine, nullptr, "IRQL " + std::to_string(t_irql));
  }
}

}  // extern "C"

namespace host {

IrqlScope::IrqlScope(KIRQL level) { old_ = KfRaiseIrql(level); }
IrqlScope::~IrqlScope() { KeLowerIrql(old_); }

void RequireIrql(KIRQL max, const char* routine, const void* object) {
  if (t_irql > max) {
    Violation(rule::kIrqlTooHigh, routine, object,
              "IRQL " + std::to_string(t_irql) + ", allowed up to " + std::to_string(max));
  }
}

}  // namespace host
