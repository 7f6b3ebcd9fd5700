// Thin interface to the desktop GUI toolkit. Texts are UTF-8 here; the
// backend converts to the toolkit's own form (UTF-16 on Windows).
//
// Every operation may be called from any thread and has taken effect when it
// returns (a text read returns the control's current text).
#pragma once

#include <string>

using GuiHandle = void*;  // a window or control; nullptr is "none"

enum class ControlKind {
  DropDownList,  // offers its entries only; the user cannot type into it
  TextField,     // one line, sunken edge, scrolls horizontally, no length limit
  PushButton,    // never a default button
  ProgressBar,   // horizontal, range 0 to 100, never takes the focus
};

enum class WindowEventKind {
  None,     // nothing pending
  Close,    // close request for the main window (close box, Alt+F4, system menu)
  Control,  // a control raised an event: see control and type
  Menu,     // a menu command
  Other,
};

struct WindowEvent {
  WindowEventKind kind = WindowEventKind::None;
  GuiHandle control = nullptr;  // for Control events
  int type = 0;                 // for Control events: the toolkit's event type, a click is 0
};

// Main thread, once, before anything else of the GUI: toolkit, visual styles,
// default GUI font, and the single-threaded apartment the file dialog needs.
void GuiInitialize();

// Creates the main window with the given client size at (x, y), centres it on
// the primary screen by its outer size, shows and activates it.
GuiHandle GuiCreateMainWindow(const std::string& title, int x, int y, int clientWidth,
                              int clientHeight);

// Creates a control at client coordinates, enabled, with the default GUI font.
GuiHandle GuiCreateControl(GuiHandle window, ControlKind kind, int x, int y, int width, int height,
                           const std::string& text);

// Blocks until the next window event (the event loop does not spin while
// idle), while still serving control calls made from other threads.
WindowEvent GuiNextEvent();

void GuiAppendListEntry(GuiHandle list, const std::string& entry);  // selection unchanged
std::string GuiGetText(GuiHandle control);  // drop-down: the selected entry, "" if none
void GuiSetText(GuiHandle control, const std::string& text);
void GuiSetProgress(GuiHandle bar, int position);
void GuiEnableControl(GuiHandle control, bool enabled);

bool GuiIsForegroundWindow(GuiHandle window);

// Message box with a title, a text, one OK button and no icon. Blocks the
// calling thread until dismissed; owner nullptr means no owner. Never called
// on the main thread: the window stays live while the box is up.
void GuiShowMessage(GuiHandle owner, const std::string& title, const std::string& text);

// Modal open-file dialog on the main thread. filter is "description|pattern|..."
// pairs; filterIndex picks the first pair shown. Returns the full path chosen,
// or "" on cancel, close or error. Leaves the current directory unchanged.
std::string GuiChooseOpenFile(GuiHandle owner, const std::string& title, const std::string& filter,
                              int filterIndex);

void GuiDestroyWindow(GuiHandle window);
