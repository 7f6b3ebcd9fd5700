// Another process holding something (a file, a port) for the lock tests: the
// child acts, reports whether that worked, and keeps what it opened until
// released. Its end is awaited in any case, so no child outlives its test.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

class HoldingChild {
 public:
  // Forks a child that runs act() (returning bool) and then holds.
  template <typename Act>
  explicit HoldingChild(Act act) {
    if (pipe(ready_) != 0 || pipe(release_) != 0) {
      return;  // not started; the destructor closes what was made
    }
    pid_ = fork();
    if (pid_ == 0) {
      close(ready_[0]);
      close(release_[1]);
      char opened = act() ? '1' : '0';
      (void)!write(ready_[1], &opened, 1);
      char ignored;
      (void)!read(release_[0], &ignored, 1);
      _exit(0);
    }
    CloseEnd(ready_[1]);
    CloseEnd(release_[0]);
  }
  ~HoldingChild() {
    Release();
    CloseEnd(ready_[0]);
    CloseEnd(ready_[1]);
    CloseEnd(release_[0]);
  }
  HoldingChild(const HoldingChild&) = delete;
  HoldingChild& operator=(const HoldingChild&) = delete;

  bool Started() const { return pid_ > 0; }

  // 1 if the child's act worked, 0 if not, -1 if it never said.
  int Report() {
    char opened = 0;
    if (read(ready_[0], &opened, 1) != 1) {
      return -1;
    }
    return opened == '1' ? 1 : 0;
  }

  // Lets the child end; true once it has.
  bool Release() {
    CloseEnd(release_[1]);
    if (pid_ <= 0) {
      return false;
    }
    int status = 0;
    bool ended = waitpid(pid_, &status, 0) == pid_;
    pid_ = -1;
    return ended;
  }

 private:
  static void CloseEnd(int& fd) {
    if (fd >= 0) {
      close(fd);
      fd = -1;
    }
  }

  int ready_[2] = {-1, -1};
  int release_[2] = {-1, -1};
  pid_t pid_ = -1;
};
