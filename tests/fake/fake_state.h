// Internal to tests/fake: the one state behind every fake module.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fake_platform.h"

namespace fake::detail {

struct Scheduled {
  std::int64_t at;
  Bytes bytes;
};
struct Reaction {
  std::uint64_t afterWritten;
  std::int64_t delay;
  Bytes bytes;
  bool fired;
};

// Guarded by TheMutex(). A default State is the fake just after ResetFake.
struct State {
  std::int64_t now = 0;
  std::vector<std::string> log;
  std::function<void(const std::string&)> hook;
  std::function<std::string(GuiHandle)> handleNamer;
  std::function<std::string(void (*)())> procedureNamer;
  std::vector<std::string> misuses;

  // serial
  std::map<std::string, PortKind> ports;
  std::int64_t openTime = 0;
  std::uint64_t writtenThisSession = 0;
  std::vector<PortOpen> portOpens;
  std::deque<std::uint8_t> input;  // arrived, not read
  std::vector<Scheduled> pending;  // not arrived yet, sorted by time
  Bytes deviceAtOpen;
  std::vector<Scheduled> deviceTimed;  // at = ms after open
  std::vector<Reaction> reactions;
  OutputQueue outputBehaviour;
  std::int64_t drainMark = 0;
  std::vector<PortWrite> writes;
  std::vector<PortRead> reads;

  // files
  std::map<std::string, Bytes> files;
  std::set<std::string> directories;
  std::set<std::string> heldFiles;
  std::string filePath;
  Bytes fileBytes;
  std::size_t filePosition = 0;
  std::vector<FileOpen> fileOpens;
  std::size_t fileBytesRead = 0;

  // GUI
  std::vector<WindowRecord> windows;
  std::vector<ControlRecord> controls;
  std::deque<WindowEvent> events;
  std::vector<MessageRecord> messages;
  std::string dialogAnswer;
  std::vector<FileDialogRecord> dialogs;

  // threads
  std::vector<ThreadRecord> threads;
  std::vector<std::thread> realThreads;
  std::deque<char> handleCells;  // a handle is the address of one cell

  // the small ones last, to keep the struct tight
  std::uint32_t outputQueued = 0;
  std::optional<std::uint32_t> readLimit;
  int outputPollsLeft = 0;
  int portCloses = 0;
  int overreads = 0;
  int fileCloses = 0;
  bool portOpen = false;
  bool statusFails = false;
  bool fileOpen = false;
  bool foreground = true;
  bool startFails = false;
  bool logKept = true;
};

State& TheState();
std::mutex& TheMutex();

using Lock = std::unique_lock<std::mutex>;
inline Lock Locked() { return Lock(TheMutex()); }

// Appends entry to the log, unlocks, then runs the call hook.
void Emit(Lock& lock, const std::string& entry);
void Misuse(State& s, std::string what);  // with the lock held

std::string NameOf(State& s, GuiHandle handle);  // lock held; the namer runs under it
std::string NameOf(State& s, void (*procedure)());
std::string Quoted(const std::string& text);
void* NewHandle(State& s);

// Delivers the device bytes due by now (lock held).
void DeliverDue(State& s);

}  // namespace fake::detail
