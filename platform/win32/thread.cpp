#include "platform/thread.h"

#include <windows.h>
// timeapi.h builds on windows.h.
#include <timeapi.h>

#include <atomic>

namespace {

std::atomic<bool> TimerResolutionRequested{false};

DWORD WINAPI ThreadEntry(LPVOID parameter) {
  reinterpret_cast<void (*)()>(parameter)();
  return 0;
}

}  // namespace

void ThreadsInitialize() {}

ThreadHandle StartThread(void (*procedure)()) {
  return CreateThread(nullptr, 0, ThreadEntry, reinterpret_cast<LPVOID>(procedure), 0, nullptr);
}

void ReleaseThread(ThreadHandle thread) {
  if (thread != nullptr) {
    CloseHandle(thread);
  }
}

void SleepMilliseconds(std::uint32_t milliseconds) {
  // 1 ms resolution for the rest of the process, so the 1 ms polls last 1 ms
  // rather than a whole scheduler tick.
  if (!TimerResolutionRequested.exchange(true)) {
    timeBeginPeriod(1);
  }
  Sleep(milliseconds);
}

void EndProcess(int exitCode) { ExitProcess(static_cast<UINT>(exitCode)); }
