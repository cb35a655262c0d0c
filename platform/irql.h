// IRQL as the stand-in's own code raises and checks it.
#pragma once

#include "host_ddk.h"

namespace host {

// Raises the calling thread to Level for the scope, as the stand-in's own
// workers do before they complete a request.
class IrqlScope {
 public:
  explicit IrqlScope(KIRQL level);
  ~IrqlScope();
  IrqlScope(const IrqlScope&) = delete;
  IrqlScope& operator=(const IrqlScope&) = delete;

 private:
  KIRQL old_;
};

// Stops the test when the current IRQL is above Max.
void RequireIrql(KIRQL max, const char* routine, const void* object = nullptr);

}  // namespace host
