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
// The pages of the request arena: every fault inside them is a touch of a
// request that is not live (live pages are accessible).
void SetRequestArena(uintptr_t begin, size_t size);
// A pointer that a freed request's memory is filled with: following one
// faults in a page of its own, named as a touch of a freed request.
uintptr_t FreedRequestPoison();

}  // namespace host
