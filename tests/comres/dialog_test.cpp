// The dialog manager with a scripted user: the control panel's template from
// the module, a test dialog procedure that behaves like a latency panel, the
// owner disabled while the dialog is open, and the keys' commands.
#include "platform/win32/dialog.h"

#include <cstdio>
#include <string>
#include <vector>

#include "platform/win32/resource.h"
#include "sim/win32/dialog_script.h"
#include "sim/win32/window_manager.h"
#include "tests/comres/comres_fixture.h"

namespace comres {
namespace {

constexpr int kLatencies[] = {1, 2, 4, 5, 6, 8, 10, 20, 40, 50, 60, 80, 100};
constexpr INT_PTR kClosed = 111;

// What the test procedure saw; one dialog at a time.
struct Seen {
  HWND dialog = nullptr;
  HWND owner = nullptr;
  LPARAM init_param = 0;
  std::vector<std::string> events;
  int chosen = -1;
  bool owner_enabled_while_open = true;
  bool end_in_init = false;
  bool disable_ok = false;
  bool handle_close = false;
};
Seen* g_seen = nullptr;

INT_PTR CALLBACK PanelProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  Seen& seen = *g_seen;
  switch (message) {
    case WM_INITDIALOG: {
      seen.dialog = dialog;
      seen.init_param = lParam;
      seen.events.push_back("init focus " + std::to_string(GetDlgCtrlID(reinterpret_cast<HWND>(wParam))));
      for (int i = 0; i < 13; ++i) {
        char text[50];
        std::snprintf(text, sizeof(text), "%d ms", kLatencies[i]);
        SendDlgItemMessageA(dialog, 1012, CB_INSERTSTRING, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
      }
      SendDlgItemMessageA(dialog, 1012, CB_SETCURSEL, static_cast<WPARAM>(lParam), 0);
      if (seen.disable_ok) EnableWindow(GetDlgItem(dialog, 1000), FALSE);
      if (seen.end_in_init) EndDialog(dialog, 5);
      return TRUE;
    }
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      const int code = HIWORD(wParam);
      seen.events.push_back("command " + std::to_string(id) + " code " + std::to_string(code));
      if (seen.owner != nullptr && IsWindowEnabled(seen.owner)) seen.owner_enabled_while_open = false;
      // The notification names the control that sent it.
      if (reinterpret_cast<HWND>(lParam) != GetDlgItem(dialog, id) && lParam != 0) seen.events.push_back("bad control");
      if (id == 1012 && code == CBN_SELCHANGE)
        seen.events.push_back("selected " + std::to_string(SendDlgItemMessageA(dialog, 1012, CB_GETCURSEL, 0, 0)));
      if (id == 1000) {
        seen.chosen = static_cast<int>(SendDlgItemMessageA(dialog, 1012, CB_GETCURSEL, 0, 0));
        EndDialog(dialog, kClosed);
      }
      if (id == 1001) EndDialog(dialog, kClosed);
      return TRUE;
    }
    case WM_CLOSE:
      seen.events.push_back("close");
      if (seen.handle_close) {
        EndDialog(dialog, 7);
        return TRUE;
      }
      return FALSE;
    case WM_DESTROY:
      seen.events.push_back("destroy");
      return FALSE;
    default:
      return FALSE;
  }
}

class Dialogs : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    HMODULE module = LoadLibraryA(kServerPath);
    ASSERT_NE(nullptr, module) << GetLastError();
    module_.reset(module);
    host_ = sim::CreateHostWindow("Host");
    ASSERT_NE(nullptr, host_);
    seen_.owner = host_;
    g_seen = &seen_;
  }
  void TearDown() override {
    g_seen = nullptr;
    if (IsWindow(host_)) DestroyWindow(host_);
    EXPECT_TRUE(machine_->Leaks().empty());
    module_.reset();
    MachineTest::TearDown();
  }

  INT_PTR Show(LPARAM param = 9, HWND owner = nullptr) {
    return DialogBoxParamA(module_.get(), "IDD_ASIOCP_TELVAR", owner ? owner : host_, PanelProc, param);
  }

  ModulePtr module_;
  HWND host_ = nullptr;
  Seen seen_;
};

using Events = std::vector<std::string>;

TEST_F(Dialogs, SelectionAndOkEndTheDialogWithItsResult) {
  auto script = sim::ScriptDialogs();
  script->Then(sim::DialogAction::Select(1012, 6)).Then(sim::DialogAction::Click(1000));
  EXPECT_EQ(kClosed, Show(9));
  EXPECT_EQ(9, seen_.init_param);
  EXPECT_EQ(6, seen_.chosen);
  // OK is the first tab stop, so it gets the focus.
  EXPECT_EQ((Events{"init focus 1000", "command 1012 code 1", "selected 6", "command 1000 code 0", "destroy"}),
            seen_.events);
  EXPECT_TRUE(seen_.owner_enabled_while_open);
  EXPECT_EQ(0u, script->Remaining());
}

TEST_F(Dialogs, TheOwnerIsDisabledWhileTheDialogIsOpen) {
  seen_.owner_enabled_while_open = false;
  auto script = sim::ScriptDialogs();
  script->Then(sim::DialogAction::Click(1001));
  bool owner_enabled = true;
  // Observe the owner from the procedure's command handling.
  seen_.owner = nullptr;
  struct Probe final : sim::DialogInput {
    HWND owner;
    bool* enabled;
    std::shared_ptr<sim::ScriptedDialogInput> script;
    std::optional<sim::DialogAction> NextAction(HWND dialog) override {
      *enabled = IsWindowEnabled(owner) != FALSE;
      EXPECT_EQ(owner, GetWindow(dialog, GW_OWNER));
      EXPECT_EQ(owner, GetParent(dialog));
      return script->NextAction(dialog);
    }
  };
  auto probe = std::make_shared<Probe>();
  probe->owner = host_;
  probe->enabled = &owner_enabled;
  probe->script = script;
  sim::SetDialogInput(probe);
  EXPECT_EQ(kClosed, Show());
  EXPECT_FALSE(owner_enabled);
  EXPECT_TRUE(IsWindowEnabled(host_));
  EXPECT_FALSE(IsWindow(seen_.dialog));
}

TEST_F(Dialogs, AnOwnerThatWasDisabledStaysDisabled) {
  EnableWindow(host_, FALSE);
  sim::ScriptDialogs()->Then(sim::DialogAction::Click(1001));
  seen_.owner = nullptr;
  EXPECT_EQ(kClosed, Show());
  EXPECT_FALSE(IsWindowEnabled(host_));
}

TEST_F(Dialogs, EscSendsCancelsIdWhichThisDialogSwallows) {
  sim::ScriptDialogs()
      ->Then(sim::DialogAction::Select(1012, 2))
      .Then(sim::DialogAction::Escape())
      .Then(sim::DialogAction::Click(1001));
  EXPECT_EQ(kClosed, Show());
  EXPECT_EQ(-1, seen_.chosen);
  EXPECT_EQ((Events{"init focus 1000", "command 1012 code 1", "selected 2", "command 2 code 0", "command 1001 code 0",
                    "destroy"}),
            seen_.events);
}

TEST_F(Dialogs, EnterCommandsTheDefaultPushButton) {
  sim::ScriptDialogs()->Then(sim::DialogAction::Enter());
  EXPECT_EQ(kClosed, Show(3));
  EXPECT_EQ(3, seen_.chosen);
}

TEST_F(Dialogs, CloseBecomesCancelUnlessTheProcedureHandlesIt) {
  sim::ScriptDialogs()->Then(sim::DialogAction::Close()).Then(sim::DialogAction::Click(1000));
  EXPECT_EQ(kClosed, Show());
  EXPECT_EQ((Events{"init focus 1000", "close", "command 2 code 0", "command 1000 code 0", "destroy"}), seen_.events);

  seen_ = Seen{};
  seen_.handle_close = true;
  sim::ScriptDialogs()->Then(sim::DialogAction::Close());
  EXPECT_EQ(7, Show());
}

TEST_F(Dialogs, ADisabledButtonTakesNoClick) {
  seen_.disable_ok = true;
  sim::ScriptDialogs()->Then(sim::DialogAction::Click(1000)).Then(sim::DialogAction::Click(1001));
  EXPECT_EQ(kClosed, Show());
  // The focus was chosen before the procedure disabled OK.
  EXPECT_EQ((Events{"init focus 1000", "command 1001 code 0", "destroy"}), seen_.events);
}

TEST_F(Dialogs, EndDialogDuringInitNeedsNoUser) {
  seen_.end_in_init = true;
  sim::SetDialogInput(nullptr);
  EXPECT_EQ(5, Show());
  EXPECT_TRUE(IsWindowEnabled(host_));
}

TEST_F(Dialogs, TheDialogsWindowsFollowTheTemplate) {
  struct Check final : sim::DialogInput {
    std::optional<sim::DialogAction> NextAction(HWND dialog) override {
      char text[64] = {};
      GetWindowTextA(dialog, text, sizeof(text));
      EXPECT_STREQ("Calvex VN ORA ASIO", text);
      struct Control {
        int id;
        const char* window_class;
        const char* text;
      };
      const Control controls[] = {{1000, "Button", "OK"}, {1001, "Button", "Cancel"},   {1017, "Static", ""},
                                  {1012, "ComboBox", ""}, {4, "Button", "Preferences"}, {202, "Static", "Latency :"}};
      HWND previous = nullptr;
      for (const auto& c : controls) {
        SCOPED_TRACE(c.id);
        HWND control = GetDlgItem(dialog, c.id);
        EXPECT_NE(nullptr, control);
        EXPECT_EQ(dialog, GetParent(control));
        // Template order is z-order from the top.
        EXPECT_EQ(previous, GetWindow(control, GW_HWNDPREV));
        previous = control;
        sim::Window w;
        EXPECT_TRUE(sim::WindowManager::Get().Snapshot(control, &w));
        EXPECT_EQ(c.window_class, w.window_class);
        char buffer[32] = {};
        GetDlgItemTextA(dialog, c.id, buffer, sizeof(buffer));
        EXPECT_STREQ(c.text, buffer);
      }
      sim::Window picture;
      EXPECT_TRUE(sim::WindowManager::Get().Snapshot(GetDlgItem(dialog, 1017), &picture));
      BITMAP info{};
      EXPECT_EQ(static_cast<int>(sizeof(info)), GetObjectA(picture.image, sizeof(info), &info));
      EXPECT_EQ(75, info.bmWidth);
      EXPECT_EQ(39, info.bmHeight);
      EXPECT_EQ(13, SendDlgItemMessageA(dialog, 1012, CB_GETCOUNT, 0, 0));
      char last[16] = {};
      SendDlgItemMessageA(dialog, 1012, CB_GETLBTEXT, 12, reinterpret_cast<LPARAM>(last));
      EXPECT_STREQ("100 ms", last);
      // A terminal user picks the last entry, then presses Enter.
      if (!picked) {
        picked = true;
        return sim::DialogAction::Select(1012, 12);
      }
      return sim::DialogAction::Enter();
    }
    bool picked = false;
  };
  sim::SetDialogInput(std::make_shared<Check>());
  EXPECT_EQ(kClosed, Show());
  EXPECT_EQ(12, seen_.chosen);
}

TEST_F(Dialogs, AChildAsParentGivesItsTopLevelWindowAsOwner) {
  HWND child = CreateWindowExA(0, "Static", "", WS_CHILD, 0, 0, 1, 1, host_, nullptr, nullptr, nullptr);
  struct Owner final : sim::DialogInput {
    HWND owner = nullptr;
    std::optional<sim::DialogAction> NextAction(HWND dialog) override {
      owner = GetWindow(dialog, GW_OWNER);
      return sim::DialogAction::Click(1001);
    }
  };
  auto input = std::make_shared<Owner>();
  sim::SetDialogInput(input);
  EXPECT_EQ(kClosed, Show(9, child));
  EXPECT_EQ(host_, input->owner);
}

TEST_F(Dialogs, FailuresToOpen) {
  sim::ScriptDialogs();
  SetLastError(kSentinel);
  EXPECT_EQ(0, DialogBoxParamA(module_.get(), "IDD_ASIOCP_TELVAR", reinterpret_cast<HWND>(0x7777), PanelProc, 0));
  EXPECT_EQ(ERROR_INVALID_WINDOW_HANDLE, GetLastError());
  SetLastError(kSentinel);
  EXPECT_EQ(-1, DialogBoxParamA(module_.get(), "IDD_NONE", host_, PanelProc, 0));
  EXPECT_EQ(ERROR_RESOURCE_NAME_NOT_FOUND, GetLastError());
  EXPECT_TRUE(seen_.events.empty());
  // No owner at all is fine.
  sim::ScriptDialogs()->Then(sim::DialogAction::Click(1001));
  seen_.owner = nullptr;
  EXPECT_EQ(kClosed, DialogBoxParamA(module_.get(), "IDD_ASIOCP_TELVAR", nullptr, PanelProc, 0));
}

TEST_F(Dialogs, ADialogWithoutAProcedureStillEnds) {
  struct Ender final : sim::DialogInput {
    std::optional<sim::DialogAction> NextAction(HWND dialog) override {
      EXPECT_TRUE(EndDialog(dialog, 3));
      return sim::DialogAction::Escape();
    }
  };
  sim::SetDialogInput(std::make_shared<Ender>());
  EXPECT_EQ(3, DialogBoxParamA(module_.get(), "IDD_ASIOCP_TELVAR", host_, nullptr, 0));
  EXPECT_TRUE(IsWindowEnabled(host_));
}

using DialogsDeathTest = Dialogs;

TEST_F(DialogsDeathTest, ADialogWithoutAUserFailsLoudly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sim::ScriptDialogs()->Then(sim::DialogAction::Escape());
        Show();
      },
      "waits for a user");
  EXPECT_DEATH(
      {
        sim::ScriptDialogs()->Then(sim::DialogAction::Select(1012, 13));
        Show();
      },
      "names no item");
}

}  // namespace
}  // namespace comres
