// Thin interface to threads, sleeping and the end of the process.
#pragma once

#include <cstdint>

using ThreadHandle = void*;

void ThreadsInitialize();

// Starts a thread on procedure; the handle only names it, nobody waits on it.
ThreadHandle StartThread(void (*procedure)());
void ReleaseThread(ThreadHandle thread);  // does not wait for or stop the thread

// The first sleep in the process sets a 1 ms timer resolution for its life.
void SleepMilliseconds(std::uint32_t milliseconds);

// Ends the process at once with exitCode, whatever other threads are doing.
[[noreturn]] void EndProcess(int exitCode);
