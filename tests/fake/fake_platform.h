// Scripting and inspection of the fake platform (tests/fake): a scripted
// implementation of platform/gui.h, serial.h, file.h and thread.h with
// virtual time. Nothing here sleeps for real: SleepMilliseconds advances the
// virtual clock and delivers whatever the scripted device sends by then.
//
// Every platform call is logged as one line ("DevicePortOpen COM3 9600 8N1
// none 16 16 -> 1", "GuiEnable PortList 0", "Sleep 1"), across all modules, in
// call order. Handles and thread procedures appear under the names the
// namers give them (tests/unit names them after the program's globals).
//
// The fake is safe to call from several threads (one lock), but its time is
// one virtual clock for the whole process. Hooks run outside the lock.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"
#include "platform/gui.h"
#include "platform/serial.h"
#include "platform/thread.h"

namespace fake {

using Bytes = std::vector<std::uint8_t>;
Bytes ToBytes(std::string_view text);

// ---------------------------------------------------------------- whole fake

// Back to an empty machine: no ports, no files, no window, clock 0, log and
// records empty, hooks and namers cleared. Joins threads started with
// RunThreadConcurrently first.
void ResetFake();

std::int64_t Now();  // virtual milliseconds since ResetFake

std::vector<std::string> Log();
void ClearLog();
// The entries whose first word is one of words, in order.
std::vector<std::string> LogOf(std::initializer_list<std::string_view> words);
// Entries whose first word is word.
std::size_t LogCount(std::string_view word);

// Called after every platform call with its log entry, on the calling thread,
// outside the fake's lock: it may call into the fake (or the program), and
// it may throw (StopThread ends ProgressDisplayLoop).
void SetCallHook(std::function<void(const std::string& entry)> hook);

// false: entries still reach the call hook but are not kept, so that a run of
// millions of polls (a fuzzer's) costs no memory. true after ResetFake.
void SetLogKept(bool kept);

// Thrown by tests from a hook to break out of a procedure that never returns.
struct StopThread {};
// Thrown by EndProcess.
struct ProcessEnded {
  int exitCode;
};

// Names in the log; an empty answer keeps the default ("Window1", "Control3",
// "Procedure1", "none" for nullptr).
void SetHandleNamer(std::function<std::string(GuiHandle)> namer);
void SetProcedureNamer(std::function<std::string(void (*)())> namer);

// Calls the program made that break a platform contract (a read or count on a
// closed port, a file read with no file open, ...), with a description each.
std::vector<std::string> Misuses();

// ---------------------------------------------------------------- serial

enum class PortKind {
  Present,          // opens
  HeldElsewhere,    // exists, another program has it open
  RefusesSettings,  // exists, opens, but the driver refuses the line settings
};
void AddPort(const std::string& name, PortKind kind = PortKind::Present);

struct PortOpen {
  std::string name;
  std::uint32_t baudRate;
  Parity parity;
  int dataBits;
  StopBits stopBits;
  Handshake handshake;
  std::uint32_t inputQueueSize;
  std::uint32_t outputQueueSize;
  bool succeeded;
  std::int64_t time;
};
std::vector<PortOpen> PortOpens();  // every attempt, in order
int PortCloses();                   // closes that closed an open port
bool PortIsOpen();                  // the fake's own view, not logged

// The scripted device. It answers on every port session (a successful open
// starts one; times are virtual). A session starts with an empty input queue.
void DeviceSendAtOpen(std::string_view bytes);  // already waiting when the open returns
void DeviceSendAt(std::int64_t msAfterOpen, std::string_view bytes);
// Once the host has written at least bytesWritten bytes in this session, the
// device makes bytes available delayMs after the write that got there.
void DeviceReplyAfterWritten(std::uint64_t bytesWritten, std::int64_t delayMs,
                             std::string_view bytes);

struct PortWrite {
  std::int64_t time;
  Bytes bytes;
};
std::vector<PortWrite> PortWrites();  // every write, all sessions
Bytes BytesWritten();                 // all written bytes, concatenated
struct PortRead {
  std::int64_t time;
  std::uint32_t asked;
  Bytes got;
};
std::vector<PortRead> PortReads();
// A read touches all count bytes of its buffer (leaving them as they were),
// as a driver may fill them all, so a sanitizer catches a buffer too short.
// Reads that asked for more than was waiting. The program only reads what it
// knows is waiting, so the unit fixture fails a test on any of them. Such a
// read returns what is there.
int Overreads();
std::uint32_t InputWaiting();  // bytes arrived by now and not read, not logged

// The driver's output queue, for the writes from now on (queued bytes of an
// earlier write follow the new behaviour too).
struct OutputQueue {
  enum Mode {
    Immediate,   // every write has left at once: the count is always 0
    AfterPolls,  // after each write the count shows the queued bytes for `polls` queries, then 0
    Never,       // nothing ever leaves
    Rate,        // one byte leaves every `msPerByte` virtual ms
  };
  Mode mode = Immediate;
  int polls = 0;
  int msPerByte = 0;
  std::uint32_t extraPerWrite = 0;  // added to the count at each write (a large count)
};
void SetOutputQueue(const OutputQueue& behaviour);
// The status query fails (adapter unplugged): both counts answer 0.
void SetStatusQueryFails(bool fails);
// Every read returns at most limit bytes (a read cut short); nullopt: no limit.
void SetReadLimit(std::optional<std::uint32_t> limit);

// ---------------------------------------------------------------- files

void AddFile(const std::string& path, Bytes bytes);
void AddDirectory(const std::string& path);
void SetFileHeld(const std::string& path, bool held);  // another program has it open
struct FileOpen {
  std::string path;
  bool succeeded;
};
std::vector<FileOpen> FileOpens();
int FileCloses();             // closes that closed an open file
bool FileIsOpen();            // not logged
std::size_t FileBytesRead();  // FirmwareFileReadByte calls on an open file

// ---------------------------------------------------------------- GUI

struct WindowRecord {
  GuiHandle handle;
  std::string title;
  int x, y, clientWidth, clientHeight;
  bool destroyed;
};
std::vector<WindowRecord> Windows();

struct ProgressSet {
  int position;
  std::int64_t time;
};
struct ControlRecord {
  GuiHandle handle;
  GuiHandle window;
  ControlKind kind;
  int x, y, width, height;
  std::string initialText;
  std::string text;                  // field text, caption
  std::vector<std::string> entries;  // drop-down list
  int selected;                      // drop-down: -1 none
  bool enabled;
  int position;                       // progress bar
  std::vector<ProgressSet> progress;  // every GuiSetProgress
};
std::vector<ControlRecord> Controls();  // in creation order
ControlRecord Control(GuiHandle control);

// The user's side, not logged.
void Select(GuiHandle list, int index);                     // -1: no selection
void SelectText(GuiHandle list, const std::string& entry);  // appends it if missing
void SetText(GuiHandle control, const std::string& text);
void SetForeground(bool mainWindowIsForeground);  // true after ResetFake

// GuiNextEvent takes them in order; an empty queue answers Close.
void QueueEvent(const WindowEvent& event);
std::size_t EventsQueued();

struct MessageRecord {
  GuiHandle owner;
  std::string title;
  std::string text;
  std::int64_t time;
};
std::vector<MessageRecord> Messages();  // GuiShowMessage returns at once

void SetFileDialogAnswer(const std::string& path);  // "" (cancel) after ResetFake
struct FileDialogRecord {
  GuiHandle owner;
  std::string title;
  std::string filter;
  int filterIndex;
};
std::vector<FileDialogRecord> FileDialogs();

// ---------------------------------------------------------------- threads

struct ThreadRecord {
  ThreadHandle handle;  // nullptr when the start was made to fail
  void (*procedure)();
  int releases;
  bool ran;
};
std::vector<ThreadRecord> Threads();  // every StartThread, in order
// StartThread only records; these run a recorded thread's procedure. A
// StopThread thrown out of it ends the run quietly.
void RunThread(std::size_t index);              // on the calling thread, to its end
void RunThreadConcurrently(std::size_t index);  // on a real thread
void JoinThreads();                             // waits for the real threads
void SetStartThreadFails(bool fails);           // StartThread returns nullptr

}  // namespace fake
