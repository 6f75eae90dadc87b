// The user in front of the simulated PC's dialogs, and host windows for tests.
//
// A modal dialog (DialogBoxParamA) asks the machine's dialog input for one
// action at a time until the dialog procedure ends the dialog. Tests queue a
// script of actions; a host with a terminal UI supplies its own DialogInput,
// which may read the dialog's controls (GetDlgItem, SendMessageA) to show
// them. A modal dialog that asks for input when there is none fails loudly:
// the script is shorter than the dialog's life.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/win32/dialog.h"

namespace sim {

struct DialogAction {
  enum class Kind {
    Click,            // a click on the button `control`: WM_COMMAND with BN_CLICKED
    SelectComboItem,  // item `index` of the combo box `control`, by keyboard with
                      // the list closed: the selection, then CBN_SELCHANGE
    Enter,            // the Enter key: the default push button's command, else IDOK
    Escape,           // the Esc key: the IDCANCEL command
    Close,            // the caption's close: WM_CLOSE
  };
  Kind kind;
  int control = 0;
  int index = 0;

  static DialogAction Click(int control) { return {Kind::Click, control, 0}; }
  static DialogAction Select(int control, int index) { return {Kind::SelectComboItem, control, index}; }
  static DialogAction Enter() { return {Kind::Enter}; }
  static DialogAction Escape() { return {Kind::Escape}; }
  static DialogAction Close() { return {Kind::Close}; }
};

std::string Describe(const DialogAction& action);

class DialogInput {
 public:
  virtual ~DialogInput() = default;
  // The next action for the open dialog; nullopt when the user has nothing
  // more to do.
  virtual std::optional<DialogAction> NextAction(HWND dialog) = 0;
};

class ScriptedDialogInput final : public DialogInput {
 public:
  ScriptedDialogInput& Then(DialogAction action);
  std::optional<DialogAction> NextAction(HWND dialog) override;
  size_t Remaining() const;

 private:
  mutable std::mutex mutex_;
  std::deque<DialogAction> actions_;
};

// The machine's dialog input; null (the start) means no user.
void SetDialogInput(std::shared_ptr<DialogInput> input);
std::shared_ptr<DialogInput> GetDialogInput();
// Queues actions on a new scripted input that becomes the machine's.
std::shared_ptr<ScriptedDialogInput> ScriptDialogs();

// A top-level window of the host program, with an owner when it is an owned
// window (a tool window, a palette). Style as CreateWindowExA takes it.
HWND CreateHostWindow(const char* title, HWND owner = nullptr, DWORD style = WS_OVERLAPPEDWINDOW | WS_VISIBLE);

}  // namespace sim
