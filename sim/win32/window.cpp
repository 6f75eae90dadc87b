// The window manager: windows with owners, parents and z-order, enabling,
// texts, and message dispatch to dialog procedures and combo boxes.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/win32/sync.h"
#include "sim/win32/dialog_script.h"
#include "sim/win32/paths.h"
#include "sim/win32/window_manager.h"

namespace sim {

namespace {

[[noreturn]] void BugCheck(const char* what, HWND window) {
  std::fprintf(stderr, "*** sim bug check: window manager: %s (window %p)\n", what, static_cast<void*>(window));
  std::abort();
}

}  // namespace

WindowManager& WindowManager::Get() {
  static WindowManager manager;
  return manager;
}

Window* WindowManager::FindLocked(HWND window) const {
  auto it = windows_.find(reinterpret_cast<std::uintptr_t>(window));
  return it == windows_.end() ? nullptr : const_cast<Window*>(&it->second);
}

std::vector<HWND>* WindowManager::SiblingsLocked(const Window& window) {
  if (window.parent == nullptr) return &top_level_;
  Window* parent = FindLocked(window.parent);
  if (parent == nullptr) BugCheck("child window without its parent", window.handle);
  return &parent->children;
}

const std::vector<HWND>* WindowManager::SiblingsLocked(const Window& window) const {
  return const_cast<WindowManager*>(this)->SiblingsLocked(window);
}

DWORD WindowManager::Create(const Window& prototype, HWND* out) {
  *out = nullptr;
  std::lock_guard lock(mutex_);
  Window window = prototype;
  const bool child = (window.style & WS_CHILD) != 0;
  HWND link = child ? window.parent : window.owner;
  if (link != nullptr && FindLocked(link) == nullptr) return ERROR_INVALID_WINDOW_HANDLE;
  if (child && link == nullptr) return ERROR_INVALID_PARAMETER;
  if (!child && link != nullptr) {
    // The owner of a top-level window is always a top-level window.
    while (FindLocked(link)->parent != nullptr) link = FindLocked(link)->parent;
    window.owner = link;
    window.parent = nullptr;
  }
  if (child) window.owner = nullptr;
  window.handle = reinterpret_cast<HWND>(next_);
  next_ += 2;
  window.thread = std::this_thread::get_id();
  window.children.clear();
  const HWND handle = window.handle;
  windows_[reinterpret_cast<std::uintptr_t>(handle)] = std::move(window);
  std::vector<HWND>* siblings = SiblingsLocked(*FindLocked(handle));
  // Controls of a dialog keep template order from the top down.
  if (child)
    siblings->push_back(handle);
  else
    siblings->insert(siblings->begin(), handle);
  *out = handle;
  return 0;
}

void WindowManager::CollectDestroyLocked(HWND window, std::vector<HWND>* order) const {
  // Owned windows and children go before the window itself.
  for (const auto& [key, w] : windows_)
    if (w.owner == window) CollectDestroyLocked(w.handle, order);
  for (HWND child : FindLocked(window)->children) CollectDestroyLocked(child, order);
  order->push_back(window);
}

DWORD WindowManager::Destroy(HWND window) {
  std::vector<HWND> order;
  std::vector<std::pair<HWND, DLGPROC>> procedures;
  {
    std::lock_guard lock(mutex_);
    Window* w = FindLocked(window);
    if (w == nullptr) return ERROR_INVALID_WINDOW_HANDLE;
    // Only the thread that made a window may destroy it.
    if (w->thread != std::this_thread::get_id()) return ERROR_ACCESS_DENIED;
    CollectDestroyLocked(window, &order);
    for (HWND h : order)
      if (Window* d = FindLocked(h); d->procedure != nullptr) procedures.emplace_back(h, d->procedure);
  }
  for (const auto& [h, procedure] : procedures) procedure(h, WM_DESTROY, 0, 0);
  std::lock_guard lock(mutex_);
  for (HWND h : order) {
    Window* w = FindLocked(h);
    if (w == nullptr) continue;
    if (w->image != nullptr) DeleteObject(w->image);
    std::vector<HWND>* siblings = SiblingsLocked(*w);
    std::erase(*siblings, h);
    windows_.erase(reinterpret_cast<std::uintptr_t>(h));
  }
  return 0;
}

bool WindowManager::Exists(HWND window) const {
  std::lock_guard lock(mutex_);
  return FindLocked(window) != nullptr;
}

bool WindowManager::Snapshot(HWND window, Window* out) const {
  std::lock_guard lock(mutex_);
  const Window* w = FindLocked(window);
  if (w == nullptr) return false;
  *out = *w;
  return true;
}

HWND WindowManager::Relative(HWND window, UINT command) const {
  std::lock_guard lock(mutex_);
  const Window* w = FindLocked(window);
  if (w == nullptr) return nullptr;
  const std::vector<HWND>& siblings = *SiblingsLocked(*w);
  const auto at = std::find(siblings.begin(), siblings.end(), window);
  switch (command) {
    case GW_HWNDFIRST:
      return siblings.front();
    case GW_HWNDLAST:
      return siblings.back();
    case GW_HWNDNEXT:
      return at + 1 == siblings.end() ? nullptr : *(at + 1);
    case GW_HWNDPREV:
      return at == siblings.begin() ? nullptr : *(at - 1);
    case GW_OWNER:
      return w->owner;
    case GW_CHILD:
      return w->children.empty() ? nullptr : w->children.front();
    case GW_ENABLEDPOPUP:
      for (HWND h : top_level_) {
        const Window* popup = FindLocked(h);
        if (popup->owner == window && (popup->style & WS_POPUP) && (popup->style & WS_VISIBLE) &&
            !(popup->style & WS_DISABLED))
          return h;
      }
      return nullptr;
    default:
      return nullptr;
  }
}

HWND WindowManager::ChildById(HWND parent, int id) const {
  std::lock_guard lock(mutex_);
  const Window* w = FindLocked(parent);
  if (w == nullptr) return nullptr;
  for (HWND child : w->children)
    if (FindLocked(child)->id == id) return child;
  return nullptr;
}

std::vector<HWND> WindowManager::Children(HWND parent) const {
  std::lock_guard lock(mutex_);
  const Window* w = FindLocked(parent);
  return w == nullptr ? std::vector<HWND>{} : w->children;
}

std::vector<std::string> WindowManager::OpenWindows() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> open;
  for (HWND h : top_level_) {
    const Window* w = FindLocked(h);
    open.push_back("window " + w->window_class + " \"" + w->text + "\"");
  }
  return open;
}

void WindowManager::Reset() {
  std::lock_guard lock(mutex_);
  windows_.clear();
  top_level_.clear();
}

HWND CreateHostWindow(const char* title, HWND owner, DWORD style) {
  return CreateWindowExA(0, kHostWindowClass, title, style, 0, 0, 640, 480, owner, nullptr, nullptr, nullptr);
}

}  // namespace sim

namespace {

using sim::Window;
using sim::WindowManager;

template <typename T>
T Fail(DWORD error, T result) {
  SetLastError(error);
  return result;
}

// Copies text as WM_GETTEXT does: at most max - 1 characters, terminated.
LRESULT CopyText(const std::string& text, WPARAM max, LPARAM buffer) {
  if (max == 0 || buffer == 0) return 0;
  const size_t copied = std::min(text.size(), static_cast<size_t>(max - 1));
  std::memcpy(reinterpret_cast<char*>(buffer), text.data(), copied);
  reinterpret_cast<char*>(buffer)[copied] = 0;
  return static_cast<LRESULT>(copied);
}

bool EqualsIgnoreCase(const std::string& a, const char* b) { return sim::FileSystem::EqualsIgnoreCase(a, b); }

bool IsClass(const Window& w, const char* name) { return EqualsIgnoreCase(w.window_class, name); }

// The classes CreateWindowExA knows: the predefined controls, dialogs and
// the simulated host's windows. Nothing registers classes here.
bool KnownClassName(const char* name) {
  for (const char* known :
       {"Button", "Edit", "Static", "ListBox", "ScrollBar", "ComboBox", sim::kDialogClass, sim::kHostWindowClass})
    if (sim::FileSystem::EqualsIgnoreCase(name, known)) return true;
  return false;
}

LRESULT ComboMessage(Window& w, UINT msg, WPARAM wParam, LPARAM lParam) {
  const auto count = static_cast<int>(w.items.size());
  const int index = static_cast<int>(static_cast<LONG_PTR>(wParam));
  switch (msg) {
    case CB_ADDSTRING:
    case CB_INSERTSTRING: {
      if (lParam == 0) return CB_ERR;
      const int at = msg == CB_ADDSTRING || index == -1 ? count : index;
      if (at < 0 || at > count) return CB_ERR;
      w.items.insert(w.items.begin() + at, reinterpret_cast<const char*>(lParam));
      w.item_data.insert(w.item_data.begin() + at, 0);
      if (w.selection >= at) ++w.selection;
      return at;
    }
    case CB_DELETESTRING:
      if (index < 0 || index >= count) return CB_ERR;
      w.items.erase(w.items.begin() + index);
      w.item_data.erase(w.item_data.begin() + index);
      if (w.selection == index)
        w.selection = -1;
      else if (w.selection > index)
        --w.selection;
      return count - 1;
    case CB_GETCOUNT:
      return count;
    case CB_GETCURSEL:
      return w.selection < 0 ? CB_ERR : w.selection;
    case CB_SETCURSEL:
      // -1 or an index past the end clears the selection.
      if (index < 0 || index >= count) {
        w.selection = -1;
        return CB_ERR;
      }
      w.selection = index;
      return index;
    case CB_GETLBTEXT:
      // The caller's buffer must hold the whole item (CB_GETLBTEXTLEN + 1).
      if (index < 0 || index >= count || lParam == 0) return CB_ERR;
      std::memcpy(reinterpret_cast<char*>(lParam), w.items[index].c_str(), w.items[index].size() + 1);
      return static_cast<LRESULT>(w.items[index].size());
    case CB_GETLBTEXTLEN:
      if (index < 0 || index >= count) return CB_ERR;
      return static_cast<LRESULT>(w.items[index].size());
    case CB_RESETCONTENT:
      w.items.clear();
      w.item_data.clear();
      w.selection = -1;
      return CB_OKAY;
    case CB_FINDSTRINGEXACT: {
      if (lParam == 0 || count == 0) return CB_ERR;
      const int start = index < 0 || index >= count ? -1 : index;
      for (int step = 1; step <= count; ++step) {
        const int at = (start + step) % count;
        if (EqualsIgnoreCase(w.items[at], reinterpret_cast<const char*>(lParam))) return at;
      }
      return CB_ERR;
    }
    case CB_GETITEMDATA:
      if (index < 0 || index >= count) return CB_ERR;
      return w.item_data[index];
    case CB_SETITEMDATA:
      if (index < 0 || index >= count) return CB_ERR;
      w.item_data[index] = lParam;
      return CB_OKAY;
    default:
      return 0;
  }
}

// What every window does with a message no procedure handled.
LRESULT DefaultMessage(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  bool found = WindowManager::Get().Edit(hWnd, [&](Window& w) {
    switch (msg) {
      case WM_SETTEXT:
        w.text = lParam ? reinterpret_cast<const char*>(lParam) : "";
        result = TRUE;
        break;
      case WM_GETTEXT:
        result = CopyText(w.text, wParam, lParam);
        break;
      case WM_GETTEXTLENGTH:
        result = static_cast<LRESULT>(w.text.size());
        break;
      default:
        if (IsClass(w, "ComboBox")) result = ComboMessage(w, msg, wParam, lParam);
        break;
    }
  });
  if (!found) return Fail<LRESULT>(ERROR_INVALID_WINDOW_HANDLE, 0);
  return result;
}

}  // namespace

extern "C" LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  Window w;
  if (!WindowManager::Get().Snapshot(hWnd, &w)) return Fail<LRESULT>(ERROR_INVALID_WINDOW_HANDLE, 0);
  if (!w.is_dialog) return DefaultMessage(hWnd, Msg, wParam, lParam);
  // A dialog procedure sees the message first; FALSE asks for the default.
  const INT_PTR handled = w.procedure ? w.procedure(hWnd, Msg, wParam, lParam) : FALSE;
  if (Msg == WM_INITDIALOG) return handled;
  if (handled) return 0;
  if (Msg == WM_CLOSE) {
    // The dialog's close is its Cancel command, unless Cancel is disabled.
    HWND cancel = WindowManager::Get().ChildById(hWnd, IDCANCEL);
    Window button;
    if (cancel != nullptr && WindowManager::Get().Snapshot(cancel, &button) && (button.style & WS_DISABLED)) return 0;
    return SendMessageA(hWnd, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(IDCANCEL), BN_CLICKED),
                        reinterpret_cast<LPARAM>(cancel));
  }
  return DefaultMessage(hWnd, Msg, wParam, lParam);
}

extern "C" HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle, int X,
                                       int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                                       HINSTANCE hInstance, LPVOID lpParam) {
  (void)hInstance;
  (void)lpParam;
  if (lpClassName == nullptr || IS_INTRESOURCE(lpClassName) || !KnownClassName(lpClassName))
    return Fail<HWND>(ERROR_CANNOT_FIND_WND_CLASS, nullptr);
  Window prototype;
  prototype.window_class = lpClassName;
  prototype.text = lpWindowName ? lpWindowName : "";
  prototype.style = dwStyle;
  prototype.ex_style = dwExStyle;
  prototype.x = X;
  prototype.y = Y;
  prototype.cx = nWidth;
  prototype.cy = nHeight;
  if (dwStyle & WS_CHILD) {
    prototype.parent = hWndParent;
    // A child's menu argument is its control id.
    prototype.id = static_cast<int>(reinterpret_cast<ULONG_PTR>(hMenu));
  } else {
    prototype.owner = hWndParent;
  }
  HWND window = nullptr;
  if (const DWORD error = WindowManager::Get().Create(prototype, &window); error != 0)
    return Fail<HWND>(error == ERROR_INVALID_PARAMETER ? ERROR_TLW_WITH_WSCHILD : error, nullptr);
  return window;
}

extern "C" BOOL WINAPI DestroyWindow(HWND hWnd) {
  const DWORD error = WindowManager::Get().Destroy(hWnd);
  return error == 0 ? TRUE : Fail<BOOL>(error, FALSE);
}

extern "C" HWND WINAPI GetWindow(HWND hWnd, UINT uCmd) {
  if (!WindowManager::Get().Exists(hWnd)) return Fail<HWND>(ERROR_INVALID_WINDOW_HANDLE, nullptr);
  if (uCmd > GW_ENABLEDPOPUP) return Fail<HWND>(ERROR_INVALID_GW_COMMAND, nullptr);
  return WindowManager::Get().Relative(hWnd, uCmd);
}

// A child's parent, or a popup's owner; an overlapped window has neither.
extern "C" HWND WINAPI GetParent(HWND hWnd) {
  Window w;
  if (!WindowManager::Get().Snapshot(hWnd, &w)) return Fail<HWND>(ERROR_INVALID_WINDOW_HANDLE, nullptr);
  if (w.style & WS_CHILD) return w.parent;
  return (w.style & WS_POPUP) ? w.owner : nullptr;
}

extern "C" BOOL WINAPI IsWindow(HWND hWnd) { return WindowManager::Get().Exists(hWnd) ? TRUE : FALSE; }

extern "C" BOOL WINAPI IsWindowEnabled(HWND hWnd) {
  Window w;
  if (!WindowManager::Get().Snapshot(hWnd, &w)) return Fail<BOOL>(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  return (w.style & WS_DISABLED) ? FALSE : TRUE;
}

// Nonzero when the window was disabled before the call.
extern "C" BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable) {
  BOOL was_disabled = FALSE;
  const bool found = WindowManager::Get().Edit(hWnd, [&](Window& w) {
    was_disabled = (w.style & WS_DISABLED) ? TRUE : FALSE;
    if (bEnable)
      w.style &= ~WS_DISABLED;
    else
      w.style |= WS_DISABLED;
  });
  if (!found) return Fail<BOOL>(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  return was_disabled;
}

extern "C" BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString) {
  if (!WindowManager::Get().Exists(hWnd)) return Fail<BOOL>(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  return static_cast<BOOL>(SendMessageA(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)));
}

extern "C" int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
  if (!WindowManager::Get().Exists(hWnd)) return Fail<int>(ERROR_INVALID_WINDOW_HANDLE, 0);
  if (lpString == nullptr || nMaxCount <= 0) return 0;
  return static_cast<int>(
      SendMessageA(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount), reinterpret_cast<LPARAM>(lpString)));
}

extern "C" int WINAPI GetDlgCtrlID(HWND hWnd) {
  Window w;
  if (!WindowManager::Get().Snapshot(hWnd, &w)) return Fail<int>(ERROR_INVALID_WINDOW_HANDLE, 0);
  return (w.style & WS_CHILD) ? w.id : 0;
}

extern "C" HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
  if (!WindowManager::Get().Exists(hDlg)) return Fail<HWND>(ERROR_INVALID_WINDOW_HANDLE, nullptr);
  HWND item = WindowManager::Get().ChildById(hDlg, nIDDlgItem);
  return item != nullptr ? item : Fail<HWND>(ERROR_CONTROL_ID_NOT_FOUND, nullptr);
}

extern "C" LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
  HWND item = GetDlgItem(hDlg, nIDDlgItem);
  return item == nullptr ? 0 : SendMessageA(item, Msg, wParam, lParam);
}

extern "C" BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString) {
  HWND item = GetDlgItem(hDlg, nIDDlgItem);
  return item == nullptr ? FALSE : SetWindowTextA(item, lpString);
}

extern "C" UINT WINAPI GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax) {
  if (lpString != nullptr && cchMax > 0) lpString[0] = 0;
  HWND item = GetDlgItem(hDlg, nIDDlgItem);
  return item == nullptr ? 0 : static_cast<UINT>(GetWindowTextA(item, lpString, cchMax));
}
