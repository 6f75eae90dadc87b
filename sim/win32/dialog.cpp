// The dialog manager: modal dialogs from a module's extended dialog template,
// driven by the machine's dialog input (a script, or a host's UI).
#include <cstdio>
#include <cstdlib>

#include "platform/win32/sync.h"
#include "sim/win32/dialog_script.h"
#include "sim/win32/dialog_template.h"
#include "sim/win32/paths.h"
#include "sim/win32/resources.h"
#include "sim/win32/window_manager.h"

namespace sim {

namespace {

std::mutex g_input_mutex;
std::shared_ptr<DialogInput> g_input;

[[noreturn]] void BugCheck(const std::string& what, HWND dialog) {
  std::fprintf(stderr, "*** sim bug check: dialog manager: %s (dialog %p)\n", what.c_str(), static_cast<void*>(dialog));
  std::abort();
}

// The default push button's id, else IDOK: what the Enter key commands.
int DefaultId(HWND dialog) {
  for (HWND child : WindowManager::Get().Children(dialog)) {
    Window w;
    if (WindowManager::Get().Snapshot(child, &w) && FileSystem::EqualsIgnoreCase(w.window_class, "Button") &&
        (w.style & 0xF) == BS_DEFPUSHBUTTON)
      return w.id;
  }
  return IDOK;
}

void Command(HWND dialog, int id, WORD code) {
  HWND control = WindowManager::Get().ChildById(dialog, id);
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), code), reinterpret_cast<LPARAM>(control));
}

void Perform(HWND dialog, const DialogAction& action) {
  Window control;
  const bool needs_control =
      action.kind == DialogAction::Kind::Click || action.kind == DialogAction::Kind::SelectComboItem;
  if (needs_control) {
    HWND item = WindowManager::Get().ChildById(dialog, action.control);
    if (item == nullptr || !WindowManager::Get().Snapshot(item, &control))
      BugCheck("the user's " + Describe(action) + " names no control of the dialog", dialog);
    // A disabled control takes no clicks and no keys.
    if (control.style & WS_DISABLED) return;
  }
  switch (action.kind) {
    case DialogAction::Kind::Click:
      Command(dialog, action.control, BN_CLICKED);
      break;
    case DialogAction::Kind::SelectComboItem:
      if (!FileSystem::EqualsIgnoreCase(control.window_class, "ComboBox") || action.index < 0 ||
          action.index >= static_cast<int>(control.items.size()))
        BugCheck("the user's " + Describe(action) + " names no item of a combo box", dialog);
      SendMessageA(control.handle, CB_SETCURSEL, static_cast<WPARAM>(action.index), 0);
      Command(dialog, action.control, CBN_SELCHANGE);
      break;
    case DialogAction::Kind::Enter:
      Command(dialog, DefaultId(dialog), BN_CLICKED);
      break;
    case DialogAction::Kind::Escape:
      Command(dialog, IDCANCEL, BN_CLICKED);
      break;
    case DialogAction::Kind::Close:
      SendMessageA(dialog, WM_CLOSE, 0, 0);
      break;
  }
}

// The first control that takes the focus: visible, enabled, a tab stop.
HWND FirstTabStop(HWND dialog) {
  for (HWND child : WindowManager::Get().Children(dialog)) {
    Window w;
    if (WindowManager::Get().Snapshot(child, &w) && (w.style & WS_TABSTOP) && (w.style & WS_VISIBLE) &&
        !(w.style & WS_DISABLED))
      return child;
  }
  return nullptr;
}

HWND CreateDialogWindow(HINSTANCE instance, const DialogTemplate& t, HWND owner, DLGPROC procedure, DWORD* error) {
  Window prototype;
  prototype.window_class = kDialogClass;
  prototype.text = t.title;
  prototype.style = t.style;
  prototype.ex_style = t.ex_style;
  prototype.x = t.x;
  prototype.y = t.y;
  prototype.cx = t.cx;
  prototype.cy = t.cy;
  prototype.owner = owner;
  HWND dialog = nullptr;
  *error = WindowManager::Get().Create(prototype, &dialog);
  if (*error != 0) return nullptr;
  for (const auto& item : t.items) {
    Window control;
    control.window_class = ClassName(item.window_class);
    control.style = item.style | WS_CHILD;
    control.ex_style = item.ex_style;
    control.parent = dialog;
    control.id = static_cast<int>(item.id);
    control.x = item.x;
    control.y = item.y;
    control.cx = item.cx;
    control.cy = item.cy;
    if (item.title.ordinal) {
      // A picture control names its bitmap by resource id.
      if (FileSystem::EqualsIgnoreCase(control.window_class, "Static") && (item.style & 0x1F) == SS_BITMAP)
        control.image = LoadBitmapA(instance, MAKEINTRESOURCEA(*item.title.ordinal));
    } else {
      control.text = item.title.text;
    }
    HWND handle = nullptr;
    if (WindowManager::Get().Create(control, &handle) != 0) BugCheck("a dialog control could not be made", dialog);
  }
  // The procedure is attached last: controls exist when it first runs.
  WindowManager::Get().Edit(dialog, [&](Window& w) {
    w.is_dialog = true;
    w.procedure = procedure;
  });
  return dialog;
}

}  // namespace

std::string Describe(const DialogAction& action) {
  switch (action.kind) {
    case DialogAction::Kind::Click:
      return "click on control " + std::to_string(action.control);
    case DialogAction::Kind::SelectComboItem:
      return "selection of item " + std::to_string(action.index) + " in control " + std::to_string(action.control);
    case DialogAction::Kind::Enter:
      return "Enter key";
    case DialogAction::Kind::Escape:
      return "Esc key";
    case DialogAction::Kind::Close:
      return "close";
  }
  return "action";
}

ScriptedDialogInput& ScriptedDialogInput::Then(DialogAction action) {
  std::lock_guard lock(mutex_);
  actions_.push_back(action);
  return *this;
}

std::optional<DialogAction> ScriptedDialogInput::NextAction(HWND dialog) {
  (void)dialog;
  std::lock_guard lock(mutex_);
  if (actions_.empty()) return std::nullopt;
  DialogAction action = actions_.front();
  actions_.pop_front();
  return action;
}

size_t ScriptedDialogInput::Remaining() const {
  std::lock_guard lock(mutex_);
  return actions_.size();
}

void SetDialogInput(std::shared_ptr<DialogInput> input) {
  std::lock_guard lock(g_input_mutex);
  g_input = std::move(input);
}

std::shared_ptr<DialogInput> GetDialogInput() {
  std::lock_guard lock(g_input_mutex);
  return g_input;
}

std::shared_ptr<ScriptedDialogInput> ScriptDialogs() {
  auto script = std::make_shared<ScriptedDialogInput>();
  SetDialogInput(script);
  return script;
}

}  // namespace sim

namespace {

INT_PTR Fail(DWORD error, INT_PTR result) {
  SetLastError(error);
  return result;
}

}  // namespace

// 0 for an owner that is not a window, -1 for any other failure, else the
// EndDialog result.
extern "C" INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent,
                                          DLGPROC lpDialogFunc, LPARAM dwInitParam) {
  using sim::WindowManager;
  if (hWndParent != nullptr && !WindowManager::Get().Exists(hWndParent)) return Fail(ERROR_INVALID_WINDOW_HANDLE, 0);
  HRSRC resource = FindResourceA(hInstance, lpTemplateName, RT_DIALOG);
  if (resource == nullptr) return -1;
  const void* bytes = LockResource(LoadResource(hInstance, resource));
  const auto parsed = sim::ParseDialogTemplate(bytes, SizeofResource(hInstance, resource));
  if (!parsed) return Fail(ERROR_INVALID_DATA, -1);

  DWORD error = 0;
  HWND dialog = sim::CreateDialogWindow(hInstance, *parsed, hWndParent, lpDialogFunc, &error);
  if (dialog == nullptr) return Fail(error, -1);
  // The owner a dialog gets is the top-level window above the parent given.
  HWND owner = GetWindow(dialog, GW_OWNER);

  SendMessageA(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(sim::FirstTabStop(dialog)), dwInitParam);
  sim::Window state;
  const auto ended = [&] { return !WindowManager::Get().Snapshot(dialog, &state) || state.ended; };
  // A modal dialog disables its owner while it is open.
  bool disabled_owner = false;
  if (!ended() && owner != nullptr && IsWindowEnabled(owner)) {
    EnableWindow(owner, FALSE);
    disabled_owner = true;
  }
  while (!ended()) {
    auto input = sim::GetDialogInput();
    std::optional<sim::DialogAction> action;
    if (input) action = input->NextAction(dialog);
    if (!action) sim::BugCheck("the dialog \"" + state.text + "\" waits for a user, and none acts", dialog);
    sim::Perform(dialog, *action);
  }
  const INT_PTR result = WindowManager::Get().Exists(dialog) ? state.result : 0;
  if (disabled_owner && IsWindow(owner)) EnableWindow(owner, TRUE);
  if (WindowManager::Get().Exists(dialog)) DestroyWindow(dialog);
  return result;
}

extern "C" BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
  bool dialog = false;
  const bool found = sim::WindowManager::Get().Edit(hDlg, [&](sim::Window& w) {
    dialog = w.is_dialog;
    if (!dialog) return;
    w.ended = true;
    w.result = nResult;
  });
  if (!found || !dialog) return static_cast<BOOL>(Fail(ERROR_INVALID_WINDOW_HANDLE, FALSE));
  return TRUE;
}
