// The window manager's state: every window with its owner, parent, z-order
// and control contents, and the dialogs among them.
//
// Top-level windows form one z-order list, each window's children another,
// topmost first; a new window goes on top of its list. Windows belong to the
// thread that created them. Dialog procedures run without the manager's lock,
// so they may call back into it.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/dialog.h"
#include "platform/win32/resource.h"

namespace sim {

// The private class of host windows made with CreateHostWindow.
inline constexpr const char* kHostWindowClass = "OraHostWindow";
inline constexpr const char* kDialogClass = "#32770";

struct Window {
  HWND handle = nullptr;
  std::string window_class;
  std::string text;
  DWORD style = 0;
  DWORD ex_style = 0;
  HWND owner = nullptr;   // top-level windows only
  HWND parent = nullptr;  // child windows only
  int id = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
  std::thread::id thread;
  std::vector<HWND> children;  // z-order, topmost first

  // Combo boxes.
  std::vector<std::string> items;
  std::vector<LPARAM> item_data;
  int selection = -1;
  // Static pictures.
  HBITMAP image = nullptr;

  // Dialogs made by the dialog manager; a dialog may have no procedure.
  bool is_dialog = false;
  DLGPROC procedure = nullptr;
  bool ended = false;
  INT_PTR result = 0;
};

class WindowManager {
 public:
  static WindowManager& Get();

  // The Win32 calls, each returning a Win32 error (0 on success).
  DWORD Create(const Window& prototype, HWND* out);
  DWORD Destroy(HWND window);

  bool Exists(HWND window) const;
  // A copy of the window's state, false when it does not exist.
  bool Snapshot(HWND window, Window* out) const;
  // Runs `edit` on the window under the lock; false when it does not exist.
  template <typename F>
  bool Edit(HWND window, F edit) {
    std::lock_guard lock(mutex_);
    Window* w = FindLocked(window);
    if (w == nullptr) return false;
    edit(*w);
    return true;
  }
  HWND Relative(HWND window, UINT command) const;
  HWND ChildById(HWND parent, int id) const;
  // Children in z-order, topmost first.
  std::vector<HWND> Children(HWND parent) const;

  // Windows still alive, for leak reports.
  std::vector<std::string> OpenWindows() const;
  // A new machine: every window is forgotten, without messages.
  void Reset();

 private:
  Window* FindLocked(HWND window) const;
  std::vector<HWND>* SiblingsLocked(const Window& window);
  const std::vector<HWND>* SiblingsLocked(const Window& window) const;
  void CollectDestroyLocked(HWND window, std::vector<HWND>* order) const;

  mutable std::recursive_mutex mutex_;
  std::map<std::uintptr_t, Window> windows_;
  std::vector<HWND> top_level_;
  std::uintptr_t next_ = 0x0001'0010;
};

}  // namespace sim
