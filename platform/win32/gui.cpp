#include "platform/gui.h"

#include <windows.h>
// The other Win32 headers build on windows.h.
#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>

#include <deque>
#include <vector>

#include "platform/win32/text.h"

namespace {

const wchar_t MainWindowClass[] = L"FirmwareUpdaterMainWindow";
constexpr DWORD MainWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;

// Control IDs stay clear of IDOK (1) and IDCANCEL (2): the dialog manager
// sends those for Enter and Escape, which must not click a button.
constexpr int FirstControlId = 100;
// How far the port list drops: room for about ten entries below the box.
constexpr int DropDownListHeight = 200;

HWND MainWindowHandle = nullptr;
HFONT DefaultGuiFont = nullptr;
int NextControlId = FirstControlId;
HWND SavedFocus = nullptr;

// Events raised by the window procedure, handed out one at a time. Only the
// main thread runs the window procedure and GuiNextEvent, so no lock.
std::deque<WindowEvent> PendingEvents;

LRESULT CALLBACK MainWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
      // Not destroyed here: the program decides, and ends right after.
      PendingEvents.push_back({WindowEventKind::Close, nullptr, 0});
      return 0;
    case WM_COMMAND:
      if (lParam != 0) {
        PendingEvents.push_back(
            {WindowEventKind::Control, reinterpret_cast<GuiHandle>(lParam), HIWORD(wParam)});
      } else {
        PendingEvents.push_back({WindowEventKind::Menu, nullptr, LOWORD(wParam)});
      }
      return 0;
    case WM_ACTIVATE:
      // Give the focus back to the control that had it, as a dialog does.
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        SavedFocus = (focus != nullptr && IsChild(window, focus)) ? focus : nullptr;
      } else if (SavedFocus != nullptr && IsWindowEnabled(SavedFocus)) {
        SetFocus(SavedFocus);
        return 0;
      }
      break;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

std::wstring WindowText(HWND window) {
  int length = GetWindowTextLengthW(window);
  if (length <= 0) {
    return {};
  }
  std::vector<wchar_t> text(static_cast<std::size_t>(length) + 1, L'\0');
  int got = GetWindowTextW(window, text.data(), length + 1);
  return std::wstring(text.data(), static_cast<std::size_t>(got > 0 ? got : 0));
}

std::wstring ComboSelectionText(HWND combo) {
  LRESULT selection = SendMessageW(combo, CB_GETCURSEL, 0, 0);
  if (selection == CB_ERR) {
    return {};
  }
  WPARAM index = static_cast<WPARAM>(selection);
  LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, index, 0);
  if (length == CB_ERR || length <= 0) {
    return {};
  }
  std::vector<wchar_t> text(static_cast<std::size_t>(length) + 1, L'\0');
  LRESULT got = SendMessageW(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()));
  if (got == CB_ERR) {
    return {};
  }
  return std::wstring(text.data(), static_cast<std::size_t>(got));
}

bool IsComboBox(HWND control) {
  wchar_t className[32] = {};
  GetClassNameW(control, className, 32);
  return lstrcmpiW(className, WC_COMBOBOXW) == 0;
}

int WindowHeight(HWND window) {
  RECT box;
  GetWindowRect(window, &box);
  return static_cast<int>(box.bottom - box.top);
}

// The closed box of a drop-down list takes its height from the font; shrink
// or grow its selection field until the closed box is height pixels. The
// field's reported and requested heights differ by a toolkit-specific margin,
// so correct by what the box measures, a few rounds at most.
void SetClosedComboHeight(HWND combo, int height) {
  LRESULT field = SendMessageW(combo, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
  if (field == CB_ERR) {
    return;
  }
  for (int round = 0; round < 4; ++round) {
    int excess = WindowHeight(combo) - height;
    if (excess == 0 || field - excess <= 0) {
      return;
    }
    field -= excess;
    SendMessageW(combo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field);
  }
}

void AppendFilterText(std::wstring& out, const std::string& filter) {
  // "desc|pattern|desc|pattern|" -> "desc\0pattern\0desc\0pattern\0\0"
  std::wstring wide = WideFromUtf8(filter);
  for (wchar_t c : wide) {
    out.push_back(c == L'|' ? L'\0' : c);
  }
  if (out.empty() || out.back() != L'\0') {
    out.push_back(L'\0');
  }
  out.push_back(L'\0');
}

}  // namespace

void GuiInitialize() {
  INITCOMMONCONTROLSEX controls;
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS;
  InitCommonControlsEx(&controls);
  // The open-file dialog needs a single-threaded apartment; never left.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  DefaultGuiFont = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));

  WNDCLASSEXW windowClass;
  ZeroMemory(&windowClass, sizeof windowClass);
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = MainWindowProcedure;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = MainWindowClass;
  RegisterClassExW(&windowClass);
}

GuiHandle GuiCreateMainWindow(const std::string& title, int x, int y, int clientWidth,
                              int clientHeight) {
  RECT frame = {0, 0, clientWidth, clientHeight};
  AdjustWindowRect(&frame, MainWindowStyle, FALSE);
  int outerWidth = static_cast<int>(frame.right - frame.left);
  int outerHeight = static_cast<int>(frame.bottom - frame.top);

  HWND window = CreateWindowExW(0, MainWindowClass, WideFromUtf8(title).c_str(), MainWindowStyle, x,
                                y, outerWidth, outerHeight, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
  if (window == nullptr) {
    return nullptr;
  }
  int freeWidth = GetSystemMetrics(SM_CXSCREEN) - outerWidth;
  int freeHeight = GetSystemMetrics(SM_CYSCREEN) - outerHeight;
  SetWindowPos(window, nullptr, freeWidth > 0 ? freeWidth / 2 : 0,
               freeHeight > 0 ? freeHeight / 2 : 0, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  MainWindowHandle = window;
  ShowWindow(window, SW_SHOW);
  SetForegroundWindow(window);
  UpdateWindow(window);
  // No control has the focus at start: the window itself holds it.
  SetFocus(window);
  return window;
}

GuiHandle GuiCreateControl(GuiHandle window, ControlKind kind, int x, int y, int width, int height,
                           const std::string& text) {
  const wchar_t* className = WC_BUTTONW;
  DWORD style = WS_CHILD | WS_VISIBLE;
  DWORD exStyle = 0;
  int createHeight = height;
  switch (kind) {
    case ControlKind::DropDownList:
      className = WC_COMBOBOXW;
      style |= WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST;
      // A combo box's height is that of the dropped list; the closed box is
      // sized below.
      createHeight = height + DropDownListHeight;
      break;
    case ControlKind::TextField:
      className = WC_EDITW;
      style |= WS_TABSTOP | ES_AUTOHSCROLL;
      exStyle = WS_EX_CLIENTEDGE;
      break;
    case ControlKind::PushButton:
      className = WC_BUTTONW;
      style |= WS_TABSTOP | BS_PUSHBUTTON;
      break;
    case ControlKind::ProgressBar:
      className = PROGRESS_CLASSW;
      break;
  }
  HWND control = CreateWindowExW(exStyle, className, WideFromUtf8(text).c_str(), style, x, y, width,
                                 createHeight, static_cast<HWND>(window),
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(NextControlId++)),
                                 GetModuleHandleW(nullptr), nullptr);
  if (control == nullptr) {
    return nullptr;
  }
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(DefaultGuiFont), TRUE);
  switch (kind) {
    case ControlKind::DropDownList:
      SetClosedComboHeight(control, height);
      break;
    case ControlKind::TextField:
      SendMessageW(control, EM_SETLIMITTEXT, 0, 0);
      break;
    case ControlKind::ProgressBar:
      SendMessageW(control, PBM_SETRANGE32, 0, 100);
      SendMessageW(control, PBM_SETPOS, 0, 0);
      break;
    case ControlKind::PushButton:
      break;
  }
  return control;
}

WindowEvent GuiNextEvent() {
  if (PendingEvents.empty()) {
    // Blocks until a message is posted; control calls sent from the other
    // threads are served inside the wait.
    MSG message;
    BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0 || got == -1) {
      // WM_QUIT or a broken queue: nothing more will come, so end the loop.
      return {WindowEventKind::Close, nullptr, 0};
    }
    if (MainWindowHandle == nullptr || !IsDialogMessageW(MainWindowHandle, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  if (PendingEvents.empty()) {
    return {};
  }
  WindowEvent event = PendingEvents.front();
  PendingEvents.pop_front();
  return event;
}

void GuiAppendListEntry(GuiHandle list, const std::string& entry) {
  SendMessageW(static_cast<HWND>(list), CB_ADDSTRING, 0,
               reinterpret_cast<LPARAM>(WideFromUtf8(entry).c_str()));
}

std::string GuiGetText(GuiHandle control) {
  HWND handle = static_cast<HWND>(control);
  return Utf8FromWide(IsComboBox(handle) ? ComboSelectionText(handle) : WindowText(handle));
}

void GuiSetText(GuiHandle control, const std::string& text) {
  SetWindowTextW(static_cast<HWND>(control), WideFromUtf8(text).c_str());
}

void GuiSetProgress(GuiHandle bar, int position) {
  SendMessageW(static_cast<HWND>(bar), PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void GuiEnableControl(GuiHandle control, bool enabled) {
  EnableWindow(static_cast<HWND>(control), enabled ? TRUE : FALSE);
}

bool GuiIsForegroundWindow(GuiHandle window) {
  return window != nullptr && GetForegroundWindow() == static_cast<HWND>(window);
}

void GuiShowMessage(GuiHandle owner, const std::string& title, const std::string& text) {
  MessageBoxW(static_cast<HWND>(owner), WideFromUtf8(text).c_str(), WideFromUtf8(title).c_str(),
              MB_OK);
}

std::string GuiChooseOpenFile(GuiHandle owner, const std::string& title, const std::string& filter,
                              int filterIndex) {
  std::wstring filterText;
  AppendFilterText(filterText, filter);
  std::wstring titleText = WideFromUtf8(title);
  wchar_t path[MAX_PATH] = {};

  OPENFILENAMEW dialog;
  ZeroMemory(&dialog, sizeof dialog);
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = static_cast<HWND>(owner);
  dialog.lpstrFilter = filterText.c_str();
  // Windows counts filters from 1; 0 would pick the custom filter.
  dialog.nFilterIndex = static_cast<DWORD>(filterIndex) + 1;
  dialog.lpstrFile = path;
  dialog.nMaxFile = MAX_PATH;
  dialog.lpstrTitle = titleText.c_str();
  dialog.Flags = OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_EXPLORER;
  if (!GetOpenFileNameW(&dialog)) {
    return {};
  }
  return Utf8FromWide(path);
}

void GuiDestroyWindow(GuiHandle window) {
  if (window != nullptr) {
    DestroyWindow(static_cast<HWND>(window));
  }
  if (window == MainWindowHandle) {
    MainWindowHandle = nullptr;
  }
}
