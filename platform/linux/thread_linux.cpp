// Threads, sleeping and the end of the process on Linux.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "platform/thread.h"

namespace {
// Handles only name a thread: a non-null token, nothing to free.
std::atomic<std::uintptr_t> NextThreadToken{1};
}  // namespace

void ThreadsInitialize() {}

ThreadHandle StartThread(void (*procedure)()) {
  if (procedure == nullptr) {
    return nullptr;
  }
  try {
    std::thread(procedure).detach();
  } catch (...) {  // std::system_error: no thread could be made
    return nullptr;
  }
  // A token, never dereferenced, so the cast costs no optimisation.
  return reinterpret_cast<ThreadHandle>(  // NOLINT(performance-no-int-to-ptr)
      NextThreadToken.fetch_add(1));
}

void ReleaseThread(ThreadHandle thread) { (void)thread; }

// Linux timers already have sub-millisecond resolution; the 1 ms resolution
// the Windows build requests at the first sleep has no counterpart here.
void SleepMilliseconds(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void EndProcess(int exitCode) {
  // Whatever stdio holds goes out; then the process ends at once: no static
  // destructor or atexit handler runs while other threads still use them.
  std::fflush(nullptr);
  _exit(exitCode);
}
