// Threads, sleeping and the end of the process on Linux.
#include "platform/thread.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::atomic<int> Runs{0};
void CountRun() { Runs.fetch_add(1); }

[[noreturn]] void SpinForever() {
  for (;;) {
    SleepMilliseconds(1);
  }
}

TEST(Threads, StartThreadRunsTheProcedureDetached) {
  ThreadsInitialize();
  ThreadHandle first = StartThread(CountRun);
  ThreadHandle second = StartThread(CountRun);
  EXPECT_NE(first, nullptr);
  EXPECT_NE(second, nullptr);
  EXPECT_NE(first, second);
  ReleaseThread(first);  // neither waits for nor stops it
  ReleaseThread(second);
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (Runs.load() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(Runs.load(), 2);
}

TEST(Threads, SleepLastsAtLeastItsTime) {
  auto start = std::chrono::steady_clock::now();
  SleepMilliseconds(50);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < 10; ++i) {
    SleepMilliseconds(1);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, 10ms);
}

TEST(Threads, EndProcessEndsAtOnceWithItsCodeAndFlushesStdio) {
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    StartThread(SpinForever);  // still running when the process ends
    std::fputs("buffered", stdout);
    EndProcess(7);
  }
  close(out[1]);
  std::string printed;
  char chunk[64];
  ssize_t n = 0;
  while ((n = read(out[0], chunk, sizeof chunk)) > 0) {
    printed.append(chunk, static_cast<std::size_t>(n));
  }
  close(out[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
  EXPECT_EQ(printed, "buffered");
}

}  // namespace
