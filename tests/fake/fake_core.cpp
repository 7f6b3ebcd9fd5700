// The fake's shared state, log, hooks, names and virtual clock.
#include <algorithm>
#include <utility>

#include "fake_state.h"

namespace fake {
namespace detail {

State& TheState() {
  static State state;
  return state;
}

std::mutex& TheMutex() {
  static std::mutex mutex;
  return mutex;
}

void Emit(Lock& lock, const std::string& entry) {
  State& s = TheState();
  if (s.logKept) {
    s.log.push_back(entry);
  }
  std::function<void(const std::string&)> hook = s.hook;
  lock.unlock();
  if (hook) {
    hook(entry);
  }
}

void Misuse(State& s, std::string what) { s.misuses.push_back(std::move(what)); }

std::string NameOf(State& s, GuiHandle handle) {
  if (handle == nullptr) {
    return "none";
  }
  if (s.handleNamer) {
    std::string name = s.handleNamer(handle);
    if (!name.empty()) {
      return name;
    }
  }
  for (std::size_t i = 0; i < s.windows.size(); ++i) {
    if (s.windows[i].handle == handle) {
      return "Window" + std::to_string(i + 1);
    }
  }
  for (std::size_t i = 0; i < s.controls.size(); ++i) {
    if (s.controls[i].handle == handle) {
      return "Control" + std::to_string(i + 1);
    }
  }
  return "unknown";
}

std::string NameOf(State& s, void (*procedure)()) {
  if (s.procedureNamer) {
    std::string name = s.procedureNamer(procedure);
    if (!name.empty()) {
      return name;
    }
  }
  for (std::size_t i = 0; i < s.threads.size(); ++i) {
    if (s.threads[i].procedure == procedure) {
      return "Procedure" + std::to_string(i + 1);
    }
  }
  return "Procedure";
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

void* NewHandle(State& s) {
  // Never dereferenced by the program: distinct, non-null, stable until reset.
  s.handleCells.emplace_back('\0');
  return &s.handleCells.back();
}

}  // namespace detail

using namespace detail;

Bytes ToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

void ResetFake() {
  JoinThreads();
  Lock lock = Locked();
  TheState() = State{};
}

std::int64_t Now() {
  Lock lock = Locked();
  return TheState().now;
}

std::vector<std::string> Log() {
  Lock lock = Locked();
  return TheState().log;
}

void ClearLog() {
  Lock lock = Locked();
  TheState().log.clear();
}

namespace {
std::string_view FirstWord(std::string_view entry) {
  return entry.substr(0, std::min(entry.find(' '), entry.size()));
}
}  // namespace

std::vector<std::string> LogOf(std::initializer_list<std::string_view> words) {
  Lock lock = Locked();
  std::vector<std::string> out;
  for (const std::string& entry : TheState().log) {
    std::string_view first = FirstWord(entry);
    if (std::find(words.begin(), words.end(), first) != words.end()) {
      out.push_back(entry);
    }
  }
  return out;
}

std::size_t LogCount(std::string_view word) {
  Lock lock = Locked();
  const auto& log = TheState().log;
  return static_cast<std::size_t>(std::count_if(
      log.begin(), log.end(), [&](const std::string& e) { return FirstWord(e) == word; }));
}

void SetCallHook(std::function<void(const std::string&)> hook) {
  Lock lock = Locked();
  TheState().hook = std::move(hook);
}

void SetHandleNamer(std::function<std::string(GuiHandle)> namer) {
  Lock lock = Locked();
  TheState().handleNamer = std::move(namer);
}

void SetProcedureNamer(std::function<std::string(void (*)())> namer) {
  Lock lock = Locked();
  TheState().procedureNamer = std::move(namer);
}

void SetLogKept(bool kept) {
  Lock lock = Locked();
  TheState().logKept = kept;
}

std::vector<std::string> Misuses() {
  Lock lock = Locked();
  return TheState().misuses;
}

}  // namespace fake
