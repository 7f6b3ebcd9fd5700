// platform/gui.h as records: a window, its controls, an event queue the test
// fills, message boxes and file dialogs that return at once.
#include <algorithm>

#include "fake_state.h"

namespace fake {
namespace detail {

namespace {

ControlRecord* FindControl(State& s, GuiHandle handle) {
  for (ControlRecord& c : s.controls) {
    if (c.handle == handle) {
      return &c;
    }
  }
  return nullptr;
}

const char* KindName(ControlKind kind) {
  switch (kind) {
    case ControlKind::DropDownList:
      return "DropDownList";
    case ControlKind::TextField:
      return "TextField";
    case ControlKind::PushButton:
      return "PushButton";
    case ControlKind::ProgressBar:
      return "ProgressBar";
  }
  return "?";
}

const char* EventKindName(WindowEventKind kind) {
  switch (kind) {
    case WindowEventKind::None:
      return "None";
    case WindowEventKind::Close:
      return "Close";
    case WindowEventKind::Control:
      return "Control";
    case WindowEventKind::Menu:
      return "Menu";
    case WindowEventKind::Other:
      return "Other";
  }
  return "?";
}

std::string ControlText(const ControlRecord& c) {
  if (c.kind == ControlKind::DropDownList) {
    return c.selected >= 0 && static_cast<std::size_t>(c.selected) < c.entries.size()
               ? c.entries[static_cast<std::size_t>(c.selected)]
               : std::string();
  }
  return c.text;
}

}  // namespace

}  // namespace detail

using namespace detail;

std::vector<WindowRecord> Windows() {
  Lock lock = Locked();
  return TheState().windows;
}
std::vector<ControlRecord> Controls() {
  Lock lock = Locked();
  return TheState().controls;
}
ControlRecord Control(GuiHandle control) {
  Lock lock = Locked();
  ControlRecord* c = FindControl(TheState(), control);
  return c != nullptr ? *c : ControlRecord{};
}

void Select(GuiHandle list, int index) {
  Lock lock = Locked();
  if (ControlRecord* c = FindControl(TheState(), list)) {
    c->selected = index;
  }
}
void SelectText(GuiHandle list, const std::string& entry) {
  Lock lock = Locked();
  if (ControlRecord* c = FindControl(TheState(), list)) {
    auto it = std::find(c->entries.begin(), c->entries.end(), entry);
    if (it == c->entries.end()) {
      c->entries.push_back(entry);
      it = c->entries.end() - 1;
    }
    c->selected = static_cast<int>(it - c->entries.begin());
  }
}
void SetText(GuiHandle control, const std::string& text) {
  Lock lock = Locked();
  if (ControlRecord* c = FindControl(TheState(), control)) {
    c->text = text;
  }
}
void SetForeground(bool mainWindowIsForeground) {
  Lock lock = Locked();
  TheState().foreground = mainWindowIsForeground;
}
void QueueEvent(const WindowEvent& event) {
  Lock lock = Locked();
  TheState().events.push_back(event);
}
std::size_t EventsQueued() {
  Lock lock = Locked();
  return TheState().events.size();
}
std::vector<MessageRecord> Messages() {
  Lock lock = Locked();
  return TheState().messages;
}
void SetFileDialogAnswer(const std::string& path) {
  Lock lock = Locked();
  TheState().dialogAnswer = path;
}
std::vector<FileDialogRecord> FileDialogs() {
  Lock lock = Locked();
  return TheState().dialogs;
}

}  // namespace fake

using namespace fake;
using namespace fake::detail;

void GuiInitialize() {
  Lock lock = Locked();
  Emit(lock, "GuiInitialize");
}

GuiHandle GuiCreateMainWindow(const std::string& title, int x, int y, int clientWidth,
                              int clientHeight) {
  Lock lock = Locked();
  State& s = TheState();
  GuiHandle handle = NewHandle(s);
  s.windows.push_back(WindowRecord{handle, title, x, y, clientWidth, clientHeight, false});
  Emit(lock, "GuiCreateMainWindow " + Quoted(title) + " " + std::to_string(x) + " " +
                 std::to_string(y) + " " + std::to_string(clientWidth) + " " +
                 std::to_string(clientHeight));
  return handle;
}

GuiHandle GuiCreateControl(GuiHandle window, ControlKind kind, int x, int y, int width, int height,
                           const std::string& text) {
  Lock lock = Locked();
  State& s = TheState();
  if (std::none_of(s.windows.begin(), s.windows.end(),
                   [&](const WindowRecord& w) { return w.handle == window; })) {
    Misuse(s, "GuiCreateControl on an unknown window");
  }
  GuiHandle handle = NewHandle(s);
  s.controls.push_back(
      ControlRecord{handle, window, kind, x, y, width, height, text, text, {}, -1, true, 0, {}});
  Emit(lock, "GuiCreateControl " + NameOf(s, window) + " " + KindName(kind) + " " +
                 std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(width) + " " +
                 std::to_string(height) + " " + Quoted(text));
  return handle;
}

WindowEvent GuiNextEvent() {
  Lock lock = Locked();
  State& s = TheState();
  WindowEvent event;
  event.kind = WindowEventKind::Close;
  if (!s.events.empty()) {
    event = s.events.front();
    s.events.pop_front();
  }
  std::string entry = std::string("GuiNextEvent ") + EventKindName(event.kind);
  if (event.kind == WindowEventKind::Control) {
    entry += " " + NameOf(s, event.control) + " " + std::to_string(event.type);
  }
  Emit(lock, entry);
  return event;
}

void GuiAppendListEntry(GuiHandle list, const std::string& entry) {
  Lock lock = Locked();
  State& s = TheState();
  ControlRecord* c = FindControl(s, list);
  if (c == nullptr || c->kind != ControlKind::DropDownList) {
    Misuse(s, "GuiAppendListEntry on something that is no drop-down list");
  } else {
    c->entries.push_back(entry);
  }
  Emit(lock, "GuiAppendListEntry " + NameOf(s, list) + " " + entry);
}

std::string GuiGetText(GuiHandle control) {
  Lock lock = Locked();
  State& s = TheState();
  std::string text;
  if (ControlRecord* c = FindControl(s, control)) {
    text = ControlText(*c);
  } else {
    Misuse(s, "GuiGetText on an unknown control");
  }
  Emit(lock, "GuiGetText " + NameOf(s, control) + " -> " + Quoted(text));
  return text;
}

void GuiSetText(GuiHandle control, const std::string& text) {
  Lock lock = Locked();
  State& s = TheState();
  ControlRecord* c = FindControl(s, control);
  if (c == nullptr || c->kind == ControlKind::DropDownList) {
    Misuse(s, "GuiSetText on an unknown control or a drop-down list");
  } else {
    c->text = text;
  }
  Emit(lock, "GuiSetText " + NameOf(s, control) + " " + Quoted(text));
}

void GuiSetProgress(GuiHandle bar, int position) {
  Lock lock = Locked();
  State& s = TheState();
  ControlRecord* c = FindControl(s, bar);
  if (c == nullptr || c->kind != ControlKind::ProgressBar) {
    Misuse(s, "GuiSetProgress on something that is no progress bar");
  } else {
    if (position < 0 || position > 100) {
      Misuse(s, "GuiSetProgress out of 0..100: " + std::to_string(position));
    }
    c->position = position;
    c->progress.push_back(ProgressSet{position, s.now});
  }
  Emit(lock, "GuiSetProgress " + NameOf(s, bar) + " " + std::to_string(position));
}

void GuiEnableControl(GuiHandle control, bool enabled) {
  Lock lock = Locked();
  State& s = TheState();
  if (ControlRecord* c = FindControl(s, control)) {
    c->enabled = enabled;
  } else {
    Misuse(s, "GuiEnableControl on an unknown control");
  }
  Emit(lock, "GuiEnable " + NameOf(s, control) + " " + (enabled ? "1" : "0"));
}

bool GuiIsForegroundWindow(GuiHandle window) {
  Lock lock = Locked();
  State& s = TheState();
  bool foreground = s.foreground && !s.windows.empty() && s.windows.front().handle == window &&
                    !s.windows.front().destroyed;
  Emit(lock, "GuiIsForegroundWindow " + NameOf(s, window) + " -> " + (foreground ? "1" : "0"));
  return foreground;
}

void GuiShowMessage(GuiHandle owner, const std::string& title, const std::string& text) {
  Lock lock = Locked();
  State& s = TheState();
  s.messages.push_back(MessageRecord{owner, title, text, s.now});
  Emit(lock, "GuiShowMessage " + NameOf(s, owner) + " " + Quoted(title) + " " + Quoted(text));
}

std::string GuiChooseOpenFile(GuiHandle owner, const std::string& title, const std::string& filter,
                              int filterIndex) {
  Lock lock = Locked();
  State& s = TheState();
  s.dialogs.push_back(FileDialogRecord{owner, title, filter, filterIndex});
  std::string answer = s.dialogAnswer;
  Emit(lock, "GuiChooseOpenFile " + NameOf(s, owner) + " " + Quoted(title) + " " + Quoted(filter) +
                 " " + std::to_string(filterIndex) + " -> " + Quoted(answer));
  return answer;
}

void GuiDestroyWindow(GuiHandle window) {
  Lock lock = Locked();
  State& s = TheState();
  auto w = std::find_if(s.windows.begin(), s.windows.end(),
                        [&](const WindowRecord& r) { return r.handle == window; });
  if (w == s.windows.end() || w->destroyed) {
    Misuse(s, "GuiDestroyWindow on an unknown or destroyed window");
  } else {
    w->destroyed = true;
  }
  Emit(lock, "GuiDestroyWindow " + NameOf(s, window));
}
