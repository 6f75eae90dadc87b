// The window manager: owners, parents and z-order, enabling, texts, combo
// boxes, destruction, and the thread locale.
#include <cstring>
#include <thread>

#include "platform/win32/dialog.h"
#include "platform/win32/locale.h"
#include "sim/win32/dialog_script.h"
#include "sim/win32/thread_locale.h"
#include "tests/comres/comres_fixture.h"

namespace comres {
namespace {

class Windows : public MachineTest {};

HWND const kNotAWindow = reinterpret_cast<HWND>(0x7777);

TEST_F(Windows, OwnedWindowsSitAboveTheirOwnerAndAnswerGetParentOnlyAsPopups) {
  HWND host = sim::CreateHostWindow("Host");
  HWND palette = sim::CreateHostWindow("Palette", host, WS_POPUP | WS_VISIBLE);
  HWND owned_overlapped = sim::CreateHostWindow("Owned", host, WS_OVERLAPPEDWINDOW | WS_VISIBLE);
  HWND other = sim::CreateHostWindow("Other");
  ASSERT_TRUE(host && palette && owned_overlapped && other);

  // Newest on top: other, owned_overlapped, palette, host.
  EXPECT_EQ(other, GetWindow(host, GW_HWNDFIRST));
  EXPECT_EQ(host, GetWindow(other, GW_HWNDLAST));
  EXPECT_EQ(palette, GetWindow(host, GW_HWNDPREV));
  EXPECT_EQ(owned_overlapped, GetWindow(palette, GW_HWNDPREV));
  EXPECT_EQ(palette, GetWindow(owned_overlapped, GW_HWNDNEXT));
  EXPECT_EQ(nullptr, GetWindow(other, GW_HWNDPREV));
  EXPECT_EQ(nullptr, GetWindow(host, GW_HWNDNEXT));

  EXPECT_EQ(host, GetWindow(palette, GW_OWNER));
  EXPECT_EQ(host, GetWindow(owned_overlapped, GW_OWNER));
  EXPECT_EQ(nullptr, GetWindow(host, GW_OWNER));
  EXPECT_EQ(host, GetParent(palette));
  EXPECT_EQ(nullptr, GetParent(owned_overlapped));
  EXPECT_EQ(nullptr, GetParent(host));
  EXPECT_EQ(palette, GetWindow(host, GW_ENABLEDPOPUP));
  EXPECT_EQ(nullptr, GetWindow(host, GW_CHILD));

  for (HWND w : {other, owned_overlapped, palette, host}) EXPECT_TRUE(DestroyWindow(w));
}

// The control panel looks for the host's owned popups directly above it in
// z-order and disables the topmost of that run.
HWND OwnedRunAbove(HWND host) {
  HWND found = nullptr;
  int steps = 0;
  for (HWND w = GetWindow(host, GW_HWNDPREV); w != nullptr && GetParent(w) == host && steps < 200;
       w = GetWindow(w, GW_HWNDPREV), ++steps)
    found = w;
  return found;
}

TEST_F(Windows, TheRunOfOwnedPopupsAboveTheHostEndsAtTheFirstStranger) {
  HWND host = sim::CreateHostWindow("Host");
  EXPECT_EQ(nullptr, OwnedRunAbove(host));
  HWND first = sim::CreateHostWindow("Mixer", host, WS_POPUP | WS_VISIBLE);
  HWND second = sim::CreateHostWindow("Meter", host, WS_POPUP | WS_VISIBLE);
  EXPECT_EQ(second, OwnedRunAbove(host));
  HWND stranger = sim::CreateHostWindow("Other program");
  HWND third = sim::CreateHostWindow("Late palette", host, WS_POPUP | WS_VISIBLE);
  EXPECT_EQ(second, OwnedRunAbove(host));
  EXPECT_FALSE(EnableWindow(OwnedRunAbove(host), FALSE));
  EXPECT_FALSE(IsWindowEnabled(second));
  EXPECT_TRUE(IsWindowEnabled(host));
  for (HWND w : {third, stranger, second, first, host}) EXPECT_TRUE(DestroyWindow(w));
}

TEST_F(Windows, EnableWindowAnswersWhetherTheWindowWasDisabled) {
  HWND host = sim::CreateHostWindow("Host");
  EXPECT_TRUE(IsWindowEnabled(host));
  EXPECT_FALSE(EnableWindow(host, FALSE));
  EXPECT_FALSE(IsWindowEnabled(host));
  EXPECT_TRUE(EnableWindow(host, FALSE));
  EXPECT_TRUE(EnableWindow(host, TRUE));
  EXPECT_FALSE(EnableWindow(host, TRUE));
  EXPECT_TRUE(IsWindowEnabled(host));
  HWND disabled = sim::CreateHostWindow("Disabled", nullptr, WS_OVERLAPPEDWINDOW | WS_DISABLED);
  EXPECT_FALSE(IsWindowEnabled(disabled));
  DestroyWindow(disabled);
  DestroyWindow(host);
}

TEST_F(Windows, CallsOnAWindowThatIsNotOneFailWithInvalidWindowHandle) {
  HWND gone = sim::CreateHostWindow("Gone");
  ASSERT_TRUE(DestroyWindow(gone));
  for (HWND w : {kNotAWindow, gone}) {
    SetLastError(kSentinel);
    EXPECT_FALSE(IsWindow(w));
    EXPECT_EQ(kSentinel, GetLastError());
    struct Call {
      const char* name;
      bool (*call)(HWND);
    };
    const Call calls[] = {
        {"IsWindowEnabled", [](HWND h) { return IsWindowEnabled(h) == FALSE; }},
        {"EnableWindow", [](HWND h) { return EnableWindow(h, TRUE) == FALSE; }},
        {"GetWindow", [](HWND h) { return GetWindow(h, GW_HWNDPREV) == nullptr; }},
        {"GetParent", [](HWND h) { return GetParent(h) == nullptr; }},
        {"DestroyWindow", [](HWND h) { return DestroyWindow(h) == FALSE; }},
        {"SendMessageA", [](HWND h) { return SendMessageA(h, WM_GETTEXTLENGTH, 0, 0) == 0; }},
        {"GetDlgItem", [](HWND h) { return GetDlgItem(h, 1) == nullptr; }},
        {"EndDialog", [](HWND h) { return EndDialog(h, 1) == FALSE; }},
        {"SetWindowTextA", [](HWND h) { return SetWindowTextA(h, "x") == FALSE; }},
    };
    for (const auto& c : calls) {
      SCOPED_TRACE(c.name);
      SetLastError(kSentinel);
      EXPECT_TRUE(c.call(w));
      EXPECT_EQ(ERROR_INVALID_WINDOW_HANDLE, GetLastError());
    }
  }
  HWND host = sim::CreateHostWindow("Host");
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, GetWindow(host, 99));
  EXPECT_EQ(ERROR_INVALID_GW_COMMAND, GetLastError());
  // EndDialog needs a dialog.
  SetLastError(kSentinel);
  EXPECT_FALSE(EndDialog(host, 1));
  EXPECT_EQ(ERROR_INVALID_WINDOW_HANDLE, GetLastError());
  DestroyWindow(host);
}

TEST_F(Windows, CreationNeedsAKnownClassAndAParentForAChild) {
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, CreateWindowExA(0, "NoSuchClass", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(ERROR_CANNOT_FIND_WND_CLASS, GetLastError());
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, CreateWindowExA(0, "Button", "", WS_CHILD, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(ERROR_TLW_WITH_WSCHILD, GetLastError());
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, CreateWindowExA(0, "Button", "", WS_POPUP, 0, 0, 1, 1, kNotAWindow, nullptr, nullptr, nullptr));
  EXPECT_EQ(ERROR_INVALID_WINDOW_HANDLE, GetLastError());
}

TEST_F(Windows, ChildrenHaveIdsAndAPopupOwnedByAChildBelongsToItsTopLevelWindow) {
  HWND host = sim::CreateHostWindow("Host");
  HWND button = CreateWindowExA(0, "BUTTON", "Go", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, host,
                                reinterpret_cast<HMENU>(static_cast<ULONG_PTR>(7)), nullptr, nullptr);
  ASSERT_NE(nullptr, button);
  EXPECT_EQ(host, GetParent(button));
  EXPECT_EQ(nullptr, GetWindow(button, GW_OWNER));
  EXPECT_EQ(button, GetWindow(host, GW_CHILD));
  EXPECT_EQ(button, GetDlgItem(host, 7));
  EXPECT_EQ(7, GetDlgCtrlID(button));
  EXPECT_EQ(0, GetDlgCtrlID(host));
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, GetDlgItem(host, 8));
  EXPECT_EQ(ERROR_CONTROL_ID_NOT_FOUND, GetLastError());

  HWND popup = sim::CreateHostWindow("Popup", button, WS_POPUP);
  EXPECT_EQ(host, GetWindow(popup, GW_OWNER));

  // Destroying a window takes its children and owned windows with it.
  EXPECT_TRUE(DestroyWindow(host));
  EXPECT_FALSE(IsWindow(button));
  EXPECT_FALSE(IsWindow(popup));
  EXPECT_TRUE(machine_->Leaks().empty());
}

TEST_F(Windows, OnlyTheCreatingThreadDestroysAWindow) {
  HWND host = sim::CreateHostWindow("Host");
  BOOL destroyed = TRUE;
  DWORD error = 0;
  std::thread([&] {
    SetLastError(kSentinel);
    destroyed = DestroyWindow(host);
    error = GetLastError();
  }).join();
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(ERROR_ACCESS_DENIED, error);
  EXPECT_TRUE(IsWindow(host));
  EXPECT_EQ(1u, machine_->Leaks().size());
  DestroyWindow(host);
}

TEST_F(Windows, TextIsCutToTheBufferAndTerminated) {
  HWND host = sim::CreateHostWindow("Calvex");
  char text[8];
  std::memset(text, 'x', sizeof(text));
  EXPECT_EQ(6, GetWindowTextA(host, text, sizeof(text)));
  EXPECT_STREQ("Calvex", text);
  EXPECT_EQ('x', text[7]);
  ASSERT_TRUE(SetWindowTextA(host, "Calvex VN ORA ASIO"));
  std::memset(text, 'x', sizeof(text));
  EXPECT_EQ(4, GetWindowTextA(host, text, 5));
  EXPECT_STREQ("Calv", text);
  EXPECT_EQ('x', text[5]);
  EXPECT_EQ(18, SendMessageA(host, WM_GETTEXTLENGTH, 0, 0));
  EXPECT_EQ(0, GetWindowTextA(host, text, 0));
  DestroyWindow(host);
}

TEST_F(Windows, ComboBoxMessages) {
  HWND host = sim::CreateHostWindow("Host");
  HWND combo = CreateWindowExA(0, "ComboBox", "", WS_CHILD | CBS_DROPDOWNLIST, 0, 0, 10, 10, host,
                               reinterpret_cast<HMENU>(static_cast<ULONG_PTR>(1012)), nullptr, nullptr);
  ASSERT_NE(nullptr, combo);
  auto send = [&](UINT msg, WPARAM w, LPARAM l) { return SendDlgItemMessageA(host, 1012, msg, w, l); };
  auto text = [](const char* s) { return reinterpret_cast<LPARAM>(s); };
  EXPECT_EQ(CB_ERR, send(CB_GETCURSEL, 0, 0));
  EXPECT_EQ(0, send(CB_ADDSTRING, 0, text("1 ms")));
  EXPECT_EQ(1, send(CB_ADDSTRING, 0, text("4 ms")));
  EXPECT_EQ(1, send(CB_INSERTSTRING, 1, text("2 ms")));
  EXPECT_EQ(3, send(CB_INSERTSTRING, static_cast<WPARAM>(-1), text("5 ms")));
  EXPECT_EQ(CB_ERR, send(CB_INSERTSTRING, 9, text("past the end")));
  EXPECT_EQ(4, send(CB_GETCOUNT, 0, 0));
  EXPECT_EQ(2, send(CB_SETCURSEL, 2, 0));
  EXPECT_EQ(2, send(CB_GETCURSEL, 0, 0));
  // Inserting above the selection moves it with its item.
  EXPECT_EQ(0, send(CB_INSERTSTRING, 0, text("0 ms")));
  EXPECT_EQ(3, send(CB_GETCURSEL, 0, 0));
  char item[16];
  std::memset(item, 'x', sizeof(item));
  EXPECT_EQ(4, send(CB_GETLBTEXTLEN, 3, 0));
  EXPECT_EQ(4, send(CB_GETLBTEXT, 3, reinterpret_cast<LPARAM>(item)));
  EXPECT_STREQ("4 ms", item);
  EXPECT_EQ('x', item[5]);
  EXPECT_EQ(CB_ERR, send(CB_GETLBTEXT, 5, reinterpret_cast<LPARAM>(item)));
  EXPECT_EQ(2, send(CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), text("2 MS")));
  EXPECT_EQ(CB_ERR, send(CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), text("3 ms")));
  EXPECT_EQ(CB_OKAY, send(CB_SETITEMDATA, 1, 42));
  EXPECT_EQ(42, send(CB_GETITEMDATA, 1, 0));
  // Deleting the selected item clears the selection.
  EXPECT_EQ(4, send(CB_DELETESTRING, 3, 0));
  EXPECT_EQ(CB_ERR, send(CB_GETCURSEL, 0, 0));
  // An index past the end, or -1, clears the selection too.
  EXPECT_EQ(1, send(CB_SETCURSEL, 1, 0));
  EXPECT_EQ(CB_ERR, send(CB_SETCURSEL, 4, 0));
  EXPECT_EQ(CB_ERR, send(CB_GETCURSEL, 0, 0));
  EXPECT_EQ(CB_OKAY, send(CB_RESETCONTENT, 0, 0));
  EXPECT_EQ(0, send(CB_GETCOUNT, 0, 0));
  DestroyWindow(host);
}

TEST_F(Windows, ThreadLocaleChangesAreRecorded) {
  const LCID before = GetThreadLocale();
  EXPECT_EQ(0x0409u, before);
  ASSERT_TRUE(SetThreadLocale(LOCALE_SYSTEM_DEFAULT));
  ASSERT_TRUE(SetThreadLocale(before));
  SetLastError(kSentinel);
  EXPECT_FALSE(SetThreadLocale(0x0400 | 0x10000));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  const auto changes = sim::ThreadLocales::Get().Changes();
  ASSERT_EQ(2u, changes.size());
  EXPECT_EQ(LOCALE_SYSTEM_DEFAULT, changes[0].requested);
  EXPECT_EQ(before, changes[0].from);
  EXPECT_EQ(before, changes[1].requested);
  EXPECT_EQ(before, GetThreadLocale());
}

}  // namespace
}  // namespace comres
