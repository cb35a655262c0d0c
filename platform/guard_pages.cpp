// The SIGSEGV handler behind the guard pages. It only reads atomics and
// writes to stderr, both safe in a signal handler.
#include "guard_pages.h"

#include <signal.h>
#include <sys/mman.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace host {

namespace {

constexpr int kSlots = 4096;
std::atomic<uintptr_t> g_userBegin{0};
std::atomic<uintptr_t> g_userEnd{0};
std::atomic<uintptr_t> g_freedBegin[kSlots];
std::atomic<uintptr_t> g_freedEnd[kSlots];
std::atomic<int> g_nextSlot{0};
std::atomic<uintptr_t> g_arenaBegin{0};
std::atomic<uintptr_t> g_arenaEnd{0};
std::atomic<uintptr_t> g_poisonPage{0};
struct sigaction g_previous;

void WriteText(const char* text) {
  ssize_t ignored = write(2, text, strlen(text));
  (void)ignored;
}

void WriteHex(uintptr_t value) {
  char text[19] = "0x";
  for (int i = 0; i < 16; ++i) {
    int digit = (int)((value >> (60 - 4 * i)) & 0xF);
    text[2 + i] = (char)(digit < 10 ? '0' + digit : 'a' + digit - 10);
  }
  text[18] = '\0';
  WriteText(text);
}

void OnSegv(int signal, siginfo_t* info, void* context) {
  uintptr_t address = (uintptr_t)info->si_addr;
  const char* rule = nullptr;
  const char* how = "memory access";
  uintptr_t poison = g_poisonPage.load();
  if (address >= g_userBegin.load() && address < g_userEnd.load()) {
    rule = "user address touched from kernel mode";
  } else if (address >= g_arenaBegin.load() && address < g_arenaEnd.load()) {
    rule = "freed request touched";
  } else if (poison != 0 && address >= poison && address < poison + 4096) {
    rule = "freed request touched";
    how = "a pointer read from a freed request";
  } else {
    for (int i = 0; i < kSlots; ++i) {
      if (address >= g_freedBegin[i].load() && address < g_freedEnd[i].load()) {
        rule = "freed request touched";
        break;
      }
    }
  }
  if (rule != nullptr) {
    WriteText("VERIFIER: ");
    WriteText(rule);
    WriteText(" [");
    WriteText(how);
    WriteText(", ");
    WriteHex(address);
    WriteText("]\n");
    abort();
  }
  // Not one of ours: hand the fault to whoever handled it before.
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction != nullptr) {
      g_previous.sa_sigaction(signal, info, context);
      return;
    }
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(signal);
    return;
  }
  struct sigaction fallback;
  memset(&fallback, 0, sizeof(fallback));
  fallback.sa_handler = SIG_DFL;
  sigaction(SIGSEGV, &fallback, nullptr);
}

}  // namespace

void InstallGuardPageHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_sigaction = OnSegv;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &g_previous);
  });
}

void SetUserRange(uintptr_t begin, size_t size) {
  g_userBegin = begin;
  g_userEnd = begin + size;
}

int RememberFreedRange(uintptr_t begin, size_t size) {
  for (int attempt = 0; attempt < kSlots; ++attempt) {
    int slot = g_nextSlot.fetch_add(1) % kSlots;
    if (g_freedEnd[slot].load() == 0) {
      g_freedBegin[slot] = begin;
      g_freedEnd[slot] = begin + size;
      return slot;
    }
  }
  return -1;
}

void SetRequestArena(uintptr_t begin, size_t size) {
  g_arenaBegin = begin;
  g_arenaEnd = begin + size;
}

uintptr_t FreedRequestPoison() {
  static std::once_flag once;
  std::call_once(once, [] {
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page != MAP_FAILED) g_poisonPage = (uintptr_t)page;
  });
  // Inside the page, at an offset whose fields stay in the page for any
  // record a driver might think it points to.
  return g_poisonPage.load() + 0x100;
}

void ForgetFreedRange(int slot) {
  if (slot < 0) return;
  g_freedEnd[slot] = 0;
  g_freedBegin[slot] = 0;
}

}  // namespace host
