// Looks into and drives the windows of another Win32 program from outside,
// for the tests under Wine. Prints JSON (one object per command) or plain
// lines on stdout; exit code 0 on success, 1 when the window did not appear
// in time or the command failed, 2 on bad usage.
//
//   inspector.exe [--timeout MS] list
//   inspector.exe [--timeout MS] wait TITLE [MIN_ENTRIES]  (window there, list filled)
//   inspector.exe [--timeout MS] dump TITLE
//   inspector.exe [--timeout MS] click TITLE TEXT|#INDEX   (posts BM_CLICK)
//   inspector.exe [--timeout MS] select TITLE ENTRY|#INDEX|none
//   inspector.exe [--timeout MS] settext TITLE TEXT        (the first edit field)
//   inspector.exe [--timeout MS] drop TITLE                (opens the drop-down list)
//   inspector.exe [--timeout MS] close TITLE               (posts WM_CLOSE)
//   inspector.exe [--timeout MS] msgbox TITLE [--keep|--cancel]  (any dialog: prints it,
//                                                          presses OK, nothing or Cancel)
//   inspector.exe [--timeout MS] filedialog TITLE [NAME]  (the open-file dialog: prints it;
//                                                          with NAME types it and presses Open)
//   inspector.exe [--timeout MS] wait-gone TITLE
//   inspector.exe handles PID                   (how many handles that process has open)
//   inspector.exe [--timeout MS] holdfile PATH  (opens it without sharing, prints {"held": ...},
//                                                keeps it until stdin ends or the timeout passes)
#include <windows.h>
// commctrl.h builds on windows.h.
#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

DWORD TimeoutMs = 30000;
// A hung target must not hang the inspector: every query has a bound.
constexpr UINT QueryTimeoutMs = 10000;
// How often a wait looks again; the waits themselves end on what they see.
constexpr DWORD PollMs = 20;

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length,
                      nullptr, nullptr);
  return out;
}

std::wstring Wide(const char* text) {
  int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (length <= 1) return {};
  std::wstring out(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), length);
  out.resize(static_cast<std::size_t>(length) - 1);
  return out;
}

std::string Json(const std::wstring& text) {
  std::string utf8 = Utf8(text);
  std::string out = "\"";
  for (char ch : utf8) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

bool Query(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  DWORD_PTR answer = 0;
  if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, QueryTimeoutMs, &answer)) {
    return false;
  }
  result = static_cast<LRESULT>(answer);
  return true;
}

LRESULT QueryOr(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT fallback) {
  LRESULT result = 0;
  return Query(window, message, wParam, lParam, result) ? result : fallback;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

std::wstring TextOf(HWND window) {
  LRESULT length = QueryOr(window, WM_GETTEXTLENGTH, 0, 0, 0);
  if (length <= 0) return {};
  std::vector<wchar_t> text(static_cast<std::size_t>(length) + 1, L'\0');
  LRESULT got = QueryOr(window, WM_GETTEXT, static_cast<WPARAM>(length) + 1,
                        reinterpret_cast<LPARAM>(text.data()), 0);
  return std::wstring(text.data(), static_cast<std::size_t>(got > 0 ? got : 0));
}

bool IsClass(HWND window, const wchar_t* name) {
  return lstrcmpiW(ClassOf(window).c_str(), name) == 0;
}

std::vector<std::wstring> ComboEntries(HWND combo) {
  std::vector<std::wstring> entries;
  LRESULT count = QueryOr(combo, CB_GETCOUNT, 0, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    WPARAM index = static_cast<WPARAM>(i);
    LRESULT length = QueryOr(combo, CB_GETLBTEXTLEN, index, 0, CB_ERR);
    if (length == CB_ERR) {
      entries.emplace_back();
      continue;
    }
    std::vector<wchar_t> text(static_cast<std::size_t>(length) + 1, L'\0');
    LRESULT got =
        QueryOr(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()), CB_ERR);
    entries.emplace_back(text.data(), static_cast<std::size_t>(got == CB_ERR ? 0 : got));
  }
  return entries;
}

struct FindState {
  std::wstring title;
  const wchar_t* className;  // nullptr: any
  HWND found;
};

BOOL CALLBACK FindTopLevel(HWND window, LPARAM parameter) {
  auto* state = reinterpret_cast<FindState*>(parameter);
  if (!IsWindowVisible(window)) return TRUE;
  if (state->className != nullptr && !IsClass(window, state->className)) return TRUE;
  wchar_t title[512] = {};
  GetWindowTextW(window, title, 512);
  if (state->title == title) {
    state->found = window;
    return FALSE;
  }
  return TRUE;
}

HWND FindWindowByTitle(const std::wstring& title, const wchar_t* className) {
  FindState state{title, className, nullptr};
  EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&state));
  return state.found;
}

HWND WaitForWindow(const std::wstring& title, const wchar_t* className) {
  DWORD start = GetTickCount();
  for (;;) {
    HWND window = FindWindowByTitle(title, className);
    if (window != nullptr) return window;
    if (GetTickCount() - start >= TimeoutMs) return nullptr;
    Sleep(PollMs);
  }
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    children.push_back(child);
  }
  return children;
}

HWND FocusOf(HWND window) {
  GUITHREADINFO info;
  ZeroMemory(&info, sizeof info);
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) return nullptr;
  return info.hwndFocus;
}

std::string RectJson(const RECT& rect) {
  char text[128];
  std::snprintf(text, sizeof text, "{\"x\": %ld, \"y\": %ld, \"width\": %ld, \"height\": %ld}",
                rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
  return text;
}

std::string Hex(LONG_PTR value) {
  char text[32];
  std::snprintf(text, sizeof text, "\"0x%08lx\"", static_cast<unsigned long>(value));
  return text;
}

int FontHeight(int stockFont) {
  HDC screen = GetDC(nullptr);
  HGDIOBJ previous = SelectObject(screen, GetStockObject(stockFont));
  TEXTMETRICW metrics;
  ZeroMemory(&metrics, sizeof metrics);
  GetTextMetricsW(screen, &metrics);
  SelectObject(screen, previous);
  ReleaseDC(nullptr, screen);
  return static_cast<int>(metrics.tmHeight);
}

HWND ReportMissing(const char* title) {
  std::printf("{\"error\": \"no window titled %s\"}\n", title);
  return nullptr;
}

int Dump(HWND window) {
  RECT client;
  RECT outer;
  GetClientRect(window, &client);
  GetWindowRect(window, &outer);
  HWND focus = FocusOf(window);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  std::string out = "{";
  out += "\"class\": " + Json(ClassOf(window));
  out += ", \"title\": " + Json(TextOf(window));
  out += ", \"pid\": " + std::to_string(pid);
  out += ", \"client\": " + RectJson(client);
  out += ", \"outer\": " + RectJson(outer);
  out += ", \"style\": " + Hex(GetWindowLongPtrW(window, GWL_STYLE));
  out += ", \"exstyle\": " + Hex(GetWindowLongPtrW(window, GWL_EXSTYLE));
  // Class data and WM_GETFONT do not cross processes under Wine; the font
  // shows in the list's item height, which follows the font's height.
  out += ", \"font_heights\": {\"default_gui\": " + std::to_string(FontHeight(DEFAULT_GUI_FONT)) +
         ", \"system\": " + std::to_string(FontHeight(SYSTEM_FONT)) + "}";
  out += ", \"button_face\": " + std::to_string(GetSysColor(COLOR_BTNFACE));
  out += ", \"foreground\": ";
  out += GetForegroundWindow() == window ? "true" : "false";
  out += ", \"focus_is_window\": ";
  out += focus == window ? "true" : "false";
  out += ", \"screen\": {\"width\": " + std::to_string(GetSystemMetrics(SM_CXSCREEN)) +
         ", \"height\": " + std::to_string(GetSystemMetrics(SM_CYSCREEN)) + "}";
  out += ", \"children\": [";
  bool first = true;
  for (HWND child : Children(window)) {
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
    std::wstring className = ClassOf(child);
    out += first ? "\n  {" : ",\n  {";
    first = false;
    out += "\"class\": " + Json(className);
    out += ", \"id\": " + std::to_string(GetDlgCtrlID(child));
    out += ", \"rect\": " + RectJson(rect);
    out += ", \"style\": " + Hex(GetWindowLongPtrW(child, GWL_STYLE));
    out += ", \"exstyle\": " + Hex(GetWindowLongPtrW(child, GWL_EXSTYLE));
    out += ", \"enabled\": ";
    out += IsWindowEnabled(child) ? "true" : "false";
    out += ", \"focused\": ";
    out += focus == child ? "true" : "false";
    if (lstrcmpiW(className.c_str(), WC_COMBOBOXW) == 0) {
      out += ", \"entries\": [";
      bool firstEntry = true;
      for (const std::wstring& entry : ComboEntries(child)) {
        out += (firstEntry ? "" : ", ") + Json(entry);
        firstEntry = false;
      }
      out += "], \"item_height\": " + std::to_string(QueryOr(child, CB_GETITEMHEIGHT, 0, 0, -1));
      out += ", \"selection\": " + std::to_string(QueryOr(child, CB_GETCURSEL, 0, 0, CB_ERR));
      out += ", \"dropped\": ";
      out += QueryOr(child, CB_GETDROPPEDSTATE, 0, 0, 0) ? "true" : "false";
      RECT dropped;
      if (QueryOr(child, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped), 0)) {
        out += ", \"dropped_rect\": " + RectJson(dropped);
      }
      out += ", \"text\": " + Json(TextOf(child));
    } else if (lstrcmpiW(className.c_str(), PROGRESS_CLASSW) == 0) {
      out += ", \"position\": " + std::to_string(QueryOr(child, PBM_GETPOS, 0, 0, -1));
      out += ", \"range_low\": " + std::to_string(QueryOr(child, PBM_GETRANGE, TRUE, 0, -1));
      out += ", \"range_high\": " + std::to_string(QueryOr(child, PBM_GETRANGE, FALSE, 0, -1));
    } else {
      out += ", \"text\": " + Json(TextOf(child));
      if (lstrcmpiW(className.c_str(), WC_EDITW) == 0) {
        out += ", \"limit\": " + std::to_string(QueryOr(child, EM_GETLIMITTEXT, 0, 0, -1));
      }
    }
    out += "}";
  }
  out += "\n]}\n";
  std::fputs(out.c_str(), stdout);
  return 0;
}

HWND FindChild(HWND window, const char* which) {
  std::vector<HWND> children = Children(window);
  if (which[0] == '#') {
    std::size_t index = std::strtoul(which + 1, nullptr, 10);
    return index < children.size() ? children[index] : nullptr;
  }
  std::wstring text = Wide(which);
  for (HWND child : children) {
    if (TextOf(child) == text) return child;
  }
  return nullptr;
}

HWND FirstChildOfClass(HWND window, const wchar_t* className) {
  for (HWND child : Children(window)) {
    if (IsClass(child, className)) return child;
  }
  return nullptr;
}

int Click(HWND window, const char* which) {
  HWND control = FindChild(window, which);
  if (control == nullptr) {
    std::printf("{\"error\": \"no control %s\"}\n", which);
    return 1;
  }
  // Posted, not sent: a click may start something modal in the target.
  PostMessageW(control, BM_CLICK, 0, 0);
  std::printf("{\"clicked\": %s}\n", Json(TextOf(control)).c_str());
  return 0;
}

int Select(HWND window, const char* entry) {
  HWND combo = FirstChildOfClass(window, WC_COMBOBOXW);
  if (combo == nullptr) {
    std::printf("{\"error\": \"no drop-down list\"}\n");
    return 1;
  }
  LRESULT index = -1;
  if (entry[0] == '#') {
    index = std::strtol(entry + 1, nullptr, 10);
  } else if (std::string(entry) != "none") {
    std::vector<std::wstring> entries = ComboEntries(combo);
    std::wstring wanted = Wide(entry);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (entries[i] == wanted) index = static_cast<LRESULT>(i);
    }
    if (index < 0) {
      std::printf("{\"error\": \"no entry %s\"}\n", entry);
      return 1;
    }
  }
  QueryOr(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0, CB_ERR);
  std::printf("{\"selection\": %ld}\n",
              static_cast<long>(QueryOr(combo, CB_GETCURSEL, 0, 0, CB_ERR)));
  return 0;
}

int SetEditText(HWND window, const char* text) {
  HWND edit = FirstChildOfClass(window, WC_EDITW);
  if (edit == nullptr) {
    std::printf("{\"error\": \"no edit field\"}\n");
    return 1;
  }
  std::wstring wide = Wide(text);
  QueryOr(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()), 0);
  std::printf("{\"text\": %s}\n", Json(TextOf(edit)).c_str());
  return 0;
}

int MessageBoxCommand(HWND box, bool press, int button) {
  HWND textControl = nullptr;
  HWND iconControl = nullptr;
  std::string buttons = "[";
  HWND okButton = nullptr;
  for (HWND child : Children(box)) {
    if (IsClass(child, WC_STATICW)) {
      LONG_PTR style = GetWindowLongPtrW(child, GWL_STYLE);
      if ((style & SS_TYPEMASK) == SS_ICON) {
        iconControl = child;
      } else if (textControl == nullptr) {
        textControl = child;
      }
    } else if (IsClass(child, WC_BUTTONW) && IsWindowVisible(child)) {
      buttons += (buttons.size() > 1 ? ", " : "") + Json(TextOf(child));
      if (GetDlgCtrlID(child) == IDOK) okButton = child;
    }
  }
  buttons += "]";
  // Wine keeps an icon slot in every box; a box without an icon lays its
  // text over that slot instead of beside it.
  bool hasIcon = false;
  if (iconControl != nullptr && textControl != nullptr && IsWindowVisible(iconControl)) {
    RECT icon;
    RECT text;
    GetWindowRect(iconControl, &icon);
    GetWindowRect(textControl, &text);
    hasIcon = text.left >= icon.right;
  }
  HWND owner = GetWindow(box, GW_OWNER);
  std::printf(
      "{\"title\": %s, \"text\": %s, \"buttons\": %s, \"icon\": %s, \"owner\": %s, "
      "\"foreground\": %s}\n",
      Json(TextOf(box)).c_str(), Json(textControl != nullptr ? TextOf(textControl) : L"").c_str(),
      buttons.c_str(), hasIcon ? "true" : "false",
      owner != nullptr ? Json(TextOf(owner)).c_str() : "null",
      GetForegroundWindow() == box ? "true" : "false");
  std::fflush(stdout);
  if (press) {
    HWND pressed = button == IDOK ? okButton : GetDlgItem(box, button);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(pressed));
  }
  return 0;
}

// The open-file dialog's own controls, by the ids of the Explorer-style template.
constexpr int FileNameCombo = 1148;  // cmb13, with an edit inside
constexpr int FileNameEdit = 1152;   // edt1, in templates without the combo
constexpr int FileTypeCombo = 1136;  // cmb1
constexpr int ReadOnlyBox = 1040;    // chx1
constexpr int LookInCombo = 1137;    // cmb2

HWND FileNameBox(HWND dialog) {
  HWND combo = GetDlgItem(dialog, FileNameCombo);
  if (combo != nullptr) {
    HWND edit = FindWindowExW(combo, nullptr, WC_EDITW, nullptr);
    if (edit == nullptr) {
      // A ComboBoxEx keeps the combo box, and the edit, one level further in.
      HWND inner = FindWindowExW(combo, nullptr, WC_COMBOBOXW, nullptr);
      if (inner != nullptr) edit = FindWindowExW(inner, nullptr, WC_EDITW, nullptr);
    }
    return edit != nullptr ? edit : combo;
  }
  return GetDlgItem(dialog, FileNameEdit);
}

BOOL CALLBACK FindListView(HWND window, LPARAM parameter) {
  if (IsClass(window, WC_LISTVIEWW)) {
    *reinterpret_cast<HWND*>(parameter) = window;
    return FALSE;
  }
  return TRUE;
}

// The names the dialog lists in its current folder. A list view's item text
// does not cross processes by itself, so the request and its buffer are
// placed in the dialog's process.
std::string ListedNames(HWND dialog) {
  HWND list = nullptr;
  EnumChildWindows(dialog, FindListView, reinterpret_cast<LPARAM>(&list));
  if (list == nullptr) return "null";
  DWORD pid = 0;
  GetWindowThreadProcessId(list, &pid);
  HANDLE process =
      OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (process == nullptr) return "null";
  constexpr int TextLength = 520;
  SIZE_T size = sizeof(LVITEMW) + TextLength * sizeof(wchar_t);
  auto* remote = static_cast<char*>(
      VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  std::string names = "[";
  LRESULT count = remote != nullptr ? QueryOr(list, LVM_GETITEMCOUNT, 0, 0, 0) : 0;
  for (LRESULT i = 0; i < count; ++i) {
    LVITEMW item;
    ZeroMemory(&item, sizeof item);
    item.mask = LVIF_TEXT;
    item.iItem = static_cast<int>(i);
    item.pszText = reinterpret_cast<LPWSTR>(remote + sizeof(LVITEMW));
    item.cchTextMax = TextLength;
    wchar_t text[TextLength] = {};
    if (!WriteProcessMemory(process, remote, &item, sizeof item, nullptr)) break;
    LRESULT got = QueryOr(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(i),
                          reinterpret_cast<LPARAM>(remote), 0);
    ReadProcessMemory(process, remote + sizeof(LVITEMW), text, sizeof text - sizeof(wchar_t),
                      nullptr);
    names +=
        (i > 0 ? ", " : "") + Json(std::wstring(text, static_cast<std::size_t>(got > 0 ? got : 0)));
  }
  if (remote != nullptr) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  CloseHandle(process);
  return names + "]";
}

// Prints the dialog's state; with a name, types it into the file-name box and
// presses Open, as a user would.
int FileDialogCommand(HWND dialog, const char* name) {
  HWND nameBox = FileNameBox(dialog);
  HWND types = GetDlgItem(dialog, FileTypeCombo);
  HWND readOnly = GetDlgItem(dialog, ReadOnlyBox);
  HWND lookIn = GetDlgItem(dialog, LookInCombo);
  HWND openButton = GetDlgItem(dialog, IDOK);
  if (nameBox == nullptr || openButton == nullptr) {
    std::printf("{\"error\": \"no file-name box or Open button\"}\n");
    return 1;
  }
  std::string filters = "[";
  if (types != nullptr) {
    for (const std::wstring& entry : ComboEntries(types)) {
      filters += (filters.size() > 1 ? ", " : "") + Json(entry);
    }
  }
  filters += "]";
  HWND owner = GetWindow(dialog, GW_OWNER);
  std::printf(
      "{\"title\": %s, \"owner\": %s, \"name\": %s, \"filters\": %s, \"filter_selection\": %ld, "
      "\"read_only_shown\": %s, \"look_in\": %s, \"listed\": %s, \"open\": %s}\n",
      Json(TextOf(dialog)).c_str(), owner != nullptr ? Json(TextOf(owner)).c_str() : "null",
      Json(TextOf(nameBox)).c_str(), filters.c_str(),
      static_cast<long>(types != nullptr ? QueryOr(types, CB_GETCURSEL, 0, 0, CB_ERR) : CB_ERR),
      readOnly != nullptr && IsWindowVisible(readOnly) ? "true" : "false",
      Json(lookIn != nullptr ? TextOf(lookIn) : L"").c_str(), ListedNames(dialog).c_str(),
      Json(TextOf(openButton)).c_str());
  std::fflush(stdout);
  if (name == nullptr) return 0;
  std::wstring wide = Wide(name);
  QueryOr(nameBox, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()), 0);
  // Posted: pressing Open may close the dialog or open a warning box.
  PostMessageW(openButton, BM_CLICK, 0, 0);
  return 0;
}

BOOL CALLBACK ListTopLevel(HWND window, LPARAM) {
  // The caption as stored: asking a window that does not answer would stall.
  wchar_t title[512] = {};
  GetWindowTextW(window, title, 512);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  RECT rect;
  GetWindowRect(window, &rect);
  std::printf("{\"class\": %s, \"title\": %s, \"visible\": %s, \"pid\": %lu, \"rect\": %s}\n",
              Json(ClassOf(window)).c_str(), Json(title).c_str(),
              IsWindowVisible(window) ? "true" : "false", static_cast<unsigned long>(pid),
              RectJson(rect).c_str());
  return TRUE;
}

// Seconds since 1970 from the wall clock, for comparing with the test's own.
double UnixTimeNow() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  ULARGE_INTEGER ticks;
  ticks.LowPart = now.dwLowDateTime;
  ticks.HighPart = now.dwHighDateTime;
  return static_cast<double>(ticks.QuadPart - 116444736000000000ULL) / 1e7;
}

int WaitFilled(HWND window, long minEntries) {
  DWORD start = GetTickCount();
  HWND combo = FirstChildOfClass(window, WC_COMBOBOXW);
  for (;;) {
    if (combo == nullptr) combo = FirstChildOfClass(window, WC_COMBOBOXW);
    LRESULT count = combo != nullptr ? QueryOr(combo, CB_GETCOUNT, 0, 0, 0) : 0;
    if (combo != nullptr && count >= minEntries) {
      std::printf("{\"entries\": %ld, \"at\": %.6f}\n", static_cast<long>(count), UnixTimeNow());
      return 0;
    }
    if (GetTickCount() - start >= TimeoutMs) {
      std::printf("{\"error\": \"list not filled\", \"entries\": %ld}\n", static_cast<long>(count));
      return 1;
    }
    Sleep(PollMs);
  }
}

DWORD WINAPI DrainInput(LPVOID) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  char buffer[256];
  DWORD got = 0;
  while (input != INVALID_HANDLE_VALUE && input != nullptr &&
         ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) {
  }
  return 0;
}

// Opens path without sharing, as another program holding it would, and keeps
// it open until the test closes our stdin (or the timeout, so that a test that
// died cannot leave it held).
int Hold(const std::wstring& path, DWORD access) {
  HANDLE handle = CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    std::printf("{\"error\": \"cannot open\", \"code\": %lu}\n", GetLastError());
    return 1;
  }
  std::printf("{\"held\": %s}\n", Json(path).c_str());
  std::fflush(stdout);
  HANDLE reader = CreateThread(nullptr, 0, DrainInput, nullptr, 0, nullptr);
  if (reader != nullptr) {
    WaitForSingleObject(reader, TimeoutMs);
    CloseHandle(reader);
  }
  CloseHandle(handle);
  std::printf("{\"released\": true}\n");
  return 0;
}

// One entry of the system handle table (class 16). The first field is the
// owner's process id; Windows keeps it in the low 16 bits.
struct HandleTableEntry {
  ULONG owner;
  UCHAR type;
  UCHAR flags;
  USHORT value;
  PVOID object;
  ULONG access;
};
using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

// Counted from the system handle table: GetProcessHandleCount answers 0 under Wine.
int HandleCount(DWORD pid) {
  auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return 1;
  constexpr ULONG SystemHandleInformation = 16;
  constexpr LONG InfoLengthMismatch = static_cast<LONG>(0xC0000004);
  std::vector<unsigned char> buffer(1 << 16);
  LONG status = 0;
  for (int attempt = 0; attempt < 16; ++attempt) {
    ULONG needed = 0;
    status =
        query(SystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status != InfoLengthMismatch) break;
    buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 4096));
  }
  if (status != 0) {
    std::printf("{\"error\": \"no handle table\", \"status\": \"0x%08lx\"}\n",
                static_cast<unsigned long>(status));
    return 1;
  }
  ULONG total = *reinterpret_cast<ULONG*>(buffer.data());
  // The entries start at the first pointer-aligned offset after the count.
  auto* entries = reinterpret_cast<HandleTableEntry*>(buffer.data() + sizeof(PVOID));
  unsigned long count = 0;
  for (ULONG i = 0; i < total; ++i) {
    if ((entries[i].owner & 0xFFFF) == (pid & 0xFFFF)) ++count;
  }
  std::printf("{\"handles\": %lu, \"all\": %lu}\n", count, static_cast<unsigned long>(total));
  return 0;
}

int Usage() {
  std::fputs(
      "usage: inspector.exe [--timeout MS] list|wait|dump|click|select|settext|drop|"
      "close|msgbox|filedialog|wait-gone|holdfile|handles ...\n",
      stderr);
  return 2;
}

}  // namespace

int main() {
  // The arguments in UTF-8 from the wide command line: argv comes in the ANSI
  // code page, which cannot carry a Cyrillic path.
  int argc = 0;
  LPWSTR* wideArgs = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (wideArgs == nullptr) return Usage();
  std::vector<std::string> utf8Args;
  std::vector<char*> argPointers;
  utf8Args.reserve(static_cast<std::size_t>(argc));
  argPointers.reserve(static_cast<std::size_t>(argc) + 1);
  for (int i = 0; i < argc; ++i) utf8Args.push_back(Utf8(wideArgs[i]));
  LocalFree(wideArgs);
  for (std::string& arg : utf8Args) argPointers.push_back(arg.data());
  argPointers.push_back(nullptr);
  char** argv = argPointers.data();
  int next = 1;
  if (next + 1 < argc && std::string(argv[next]) == "--timeout") {
    TimeoutMs = static_cast<DWORD>(std::strtoul(argv[next + 1], nullptr, 10));
    next += 2;
  }
  if (next >= argc) return Usage();
  std::string command = argv[next++];
  int rest = argc - next;
  char** args = argv + next;

  if (command == "list") {
    EnumWindows(ListTopLevel, 0);
    return 0;
  }
  if (rest < 1) return Usage();
  std::wstring title = Wide(args[0]);

  if (command == "holdfile") return Hold(title, GENERIC_READ);
  if (command == "handles") return HandleCount(std::strtoul(args[0], nullptr, 10));

  if (command == "wait-gone") {
    DWORD start = GetTickCount();
    while (FindWindowByTitle(title, nullptr) != nullptr) {
      if (GetTickCount() - start >= TimeoutMs) {
        std::printf("{\"error\": \"still there\"}\n");
        return 1;
      }
      Sleep(PollMs);
    }
    std::printf("{\"gone\": true}\n");
    return 0;
  }
  if (command == "msgbox") {
    HWND box = WaitForWindow(title, L"#32770");
    if (box == nullptr) {
      ReportMissing(args[0]);
      return 1;
    }
    std::string option = rest >= 2 ? args[1] : "";
    return MessageBoxCommand(box, option != "--keep", option == "--cancel" ? IDCANCEL : IDOK);
  }
  if (command == "filedialog") {
    HWND dialog = WaitForWindow(title, L"#32770");
    if (dialog == nullptr) {
      ReportMissing(args[0]);
      return 1;
    }
    return FileDialogCommand(dialog, rest >= 2 ? args[1] : nullptr);
  }

  HWND window = WaitForWindow(title, nullptr);
  if (window == nullptr) {
    ReportMissing(args[0]);
    return 1;
  }
  if (command == "wait") {
    return WaitFilled(window, rest >= 2 ? std::strtol(args[1], nullptr, 10) : 0);
  }
  if (command == "dump") return Dump(window);
  if (command == "close") {
    PostMessageW(window, WM_CLOSE, 0, 0);
    std::printf("{\"closed\": true}\n");
    return 0;
  }
  if (command == "drop") {
    HWND combo = FirstChildOfClass(window, WC_COMBOBOXW);
    if (combo == nullptr) return 1;
    PostMessageW(combo, CB_SHOWDROPDOWN, TRUE, 0);
    std::printf("{\"dropped\": true}\n");
    return 0;
  }
  if (rest < 2) return Usage();
  if (command == "click") return Click(window, args[1]);
  if (command == "select") return Select(window, args[1]);
  if (command == "settext") return SetEditText(window, args[1]);
  return Usage();
}
