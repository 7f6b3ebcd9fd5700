// platform/thread.h: threads are recorded, not started (the test runs them);
// sleeping advances the virtual clock; EndProcess throws.
#include <algorithm>

#include "fake_state.h"

namespace fake {

using namespace detail;

std::vector<ThreadRecord> Threads() {
  Lock lock = Locked();
  return TheState().threads;
}

namespace {
void (*TakeProcedure(std::size_t index))() {
  Lock lock = Locked();
  State& s = TheState();
  if (index >= s.threads.size()) {
    Misuse(s, "test error: no recorded thread " + std::to_string(index));
    return nullptr;
  }
  s.threads[index].ran = true;
  return s.threads[index].procedure;
}

void RunQuietly(void (*procedure)()) {
  try {
    procedure();
  } catch (const StopThread&) {
  }
}
}  // namespace

void RunThread(std::size_t index) {
  if (auto procedure = TakeProcedure(index)) {
    RunQuietly(procedure);
  }
}

void RunThreadConcurrently(std::size_t index) {
  if (auto procedure = TakeProcedure(index)) {
    Lock lock = Locked();
    TheState().realThreads.emplace_back(RunQuietly, procedure);
  }
}

void JoinThreads() {
  std::vector<std::thread> threads;
  {
    Lock lock = Locked();
    threads.swap(TheState().realThreads);
  }
  for (std::thread& t : threads) {
    t.join();
  }
}

void SetStartThreadFails(bool fails) {
  Lock lock = Locked();
  TheState().startFails = fails;
}

}  // namespace fake

using namespace fake;
using namespace fake::detail;

void ThreadsInitialize() {
  Lock lock = Locked();
  Emit(lock, "ThreadsInitialize");
}

ThreadHandle StartThread(void (*procedure)()) {
  Lock lock = Locked();
  State& s = TheState();
  ThreadHandle handle = s.startFails ? nullptr : NewHandle(s);
  s.threads.push_back(ThreadRecord{handle, procedure, 0, false});
  Emit(lock, "StartThread " + NameOf(s, procedure) + (handle == nullptr ? " -> failed" : ""));
  return handle;
}

void ReleaseThread(ThreadHandle thread) {
  Lock lock = Locked();
  State& s = TheState();
  auto t = std::find_if(s.threads.begin(), s.threads.end(),
                        [&](const ThreadRecord& r) { return r.handle == thread; });
  std::string name = "unknown";
  if (thread == nullptr || t == s.threads.end()) {
    Misuse(s, "ReleaseThread on an unknown handle");
  } else {
    ++t->releases;
    name = NameOf(s, t->procedure);
  }
  Emit(lock, "ReleaseThread " + name);
}

void SleepMilliseconds(std::uint32_t milliseconds) {
  Lock lock = Locked();
  State& s = TheState();
  s.now += milliseconds;
  DeliverDue(s);
  bool concurrent = !s.realThreads.empty();
  Emit(lock, "Sleep " + std::to_string(milliseconds));
  if (concurrent) {
    std::this_thread::yield();
  }
}

void EndProcess(int exitCode) {
  Lock lock = Locked();
  Emit(lock, "EndProcess " + std::to_string(exitCode));
  throw ProcessEnded{exitCode};
}
