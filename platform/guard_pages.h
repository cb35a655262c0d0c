// Addresses that no kernel code may touch: the simulated user address space
// and the memory of freed requests. A touch raises SIGSEGV, which the
// handler turns into a verifier stop that names the address.
#pragma once

#include <cstddef>
#include <cstdint>

namespace host {

void InstallGuardPageHandler();
void SetUserRange(uintptr_t begin, size_t size);
// Remembers [begin, begin + size) as a freed request; returns a slot that
// ForgetFreedRange gives back when the memory is really released.
int RememberFreedRange(uintptr_t begin, size_t size);
void ForgetFreedRange(int slot);

}  // namespace host
