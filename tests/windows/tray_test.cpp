// The tray shell driven through its real window procedure with real
// messages; only the shell services that would reach outside the process
// (notification area, popup menu, message box) are recorded instead.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <string>
#include <thread>

#include "monitor/latency_status.h"
#include "monitor/probe_target.h"
#include "platform/probe_ops.h"
#include "platform/shell_ops.h"
#include "resources/resource.h"
#include "tray/main_window.h"
#include "tray/shutdown.h"
#include "tray/tray_icon.h"

namespace {

struct NotifyCall {
    DWORD message;
    NOTIFYICONDATAW data;
};

NotifyCall Calls[16];
std::atomic<int> CallCount;
int MenuCount;
HMENU MenuShown;
UINT MenuFlags;
POINT MenuPoint;
HWND MenuOwner;
int MessageCount;
std::string MessageText, MessageCaption;
HWND MessageOwner;
UINT MessageType;

// The shutdown cases meet the workers mid-call: the refresh thread's first
// add or modify and the probe thread's first echo request each hold until
// released (never longer than kHoldLimitMs, so nothing can hang).
constexpr DWORD kHoldLimitMs = 10000;
std::atomic<uint32_t> HoldShell;
HANDLE ShellEntered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
HANDLE ShellReleased = CreateEventW(nullptr, TRUE, FALSE, nullptr);
HANDLE EchoEntered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
HANDLE EchoReleased = CreateEventW(nullptr, TRUE, FALSE, nullptr);
std::atomic<uint32_t> EchoReturns, Closes, ReturnsAtClose;
void* ClosedEcho;

BOOL RecordNotify(DWORD message, NOTIFYICONDATAW* data)
{
    if (message != NIM_DELETE && HoldShell.exchange(0) != 0) {
        SetEvent(ShellEntered);
        WaitForSingleObject(ShellReleased, kHoldLimitMs);
    }
    // Logged as the call returns: that is when its effect is in the shell.
    int at = CallCount.fetch_add(1);
    if (at < 16)
        Calls[at] = NotifyCall{message, *data};
    return TRUE;
}

uint32_t HeldSendEcho(void*, uint32_t, const void*, uint16_t, void*, uint32_t, uint32_t)
{
    SetEvent(EchoEntered);
    WaitForSingleObject(EchoReleased, kHoldLimitMs);
    EchoReturns.fetch_add(1);
    return 0;
}

void RecordCloseEcho(void* echo)
{
    Closes.fetch_add(1);
    ReturnsAtClose.store(EchoReturns.load());
    ClosedEcho = echo;
}

BOOL RecordMenu(HMENU menu, UINT flags, int x, int y, HWND owner)
{
    ++MenuCount;
    MenuFlags = flags;
    MenuPoint = POINT{x, y};
    MenuOwner = owner;
    // The menu is destroyed once this returns, so its items are read now.
    wchar_t text[32];
    EXPECT_EQ(GetMenuItemCount(menu), 2);
    EXPECT_EQ(GetMenuItemID(menu, 0), UINT(ID_MENU_ABOUT));
    EXPECT_EQ(GetMenuItemID(menu, 1), UINT(ID_MENU_EXIT));
    GetMenuStringW(menu, 0, text, 32, MF_BYPOSITION);
    EXPECT_STREQ(text, L"About");
    GetMenuStringW(menu, 1, text, 32, MF_BYPOSITION);
    EXPECT_STREQ(text, L"Exit");
    MenuShown = menu;
    return TRUE;
}

int RecordMessage(HWND owner, const char* text, const char* caption, UINT type)
{
    ++MessageCount;
    MessageOwner = owner;
    MessageText = text;
    MessageCaption = caption;
    MessageType = type;
    return IDOK;
}

HWND Window;

class TrayShell : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        Shell = ShellOps{RecordNotify, RecordMenu, RecordMessage};
        Window = CreateMainWindow(GetModuleHandleW(nullptr));
    }
    void SetUp() override
    {
        ASSERT_NE(Window, nullptr);
        CallCount = MenuCount = MessageCount = 0;
    }
};

HICON Icon(int id)
{
    return LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id));
}

void ExpectRecord(const NotifyCall& call, DWORD message, int icon, const wchar_t* tip)
{
    static const NOTIFYICONDATAW zero = {};
    const NOTIFYICONDATAW& d = call.data;
    EXPECT_EQ(call.message, message);
    EXPECT_EQ(d.cbSize, 976u);
    EXPECT_EQ(d.hWnd, Window);
    EXPECT_EQ(d.uID, 1u);
    EXPECT_EQ(d.uFlags, 7u);
    EXPECT_EQ(d.uCallbackMessage, 1026u);
    EXPECT_EQ(d.uVersion, 4u);
    EXPECT_EQ(d.hIcon, Icon(icon));
    EXPECT_STREQ(d.szTip, tip);
    // Nothing else is set: no balloon, no state, no GUID.
    EXPECT_EQ(d.dwState | d.dwStateMask | d.dwInfoFlags, 0u);
    EXPECT_EQ(d.szInfo[0] | d.szInfoTitle[0], 0);
    EXPECT_EQ(memcmp(&d.guidItem, &zero.guidItem, sizeof d.guidItem), 0);
    EXPECT_EQ(d.hBalloonIcon, nullptr);
}

}  // namespace

TEST_F(TrayShell, WindowIsHiddenAndNamedFromStrings)
{
    wchar_t text[100];
    EXPECT_TRUE(IsWindow(Window));
    EXPECT_FALSE(IsWindowVisible(Window));
    GetWindowTextW(Window, text, 100);
    EXPECT_STREQ(text, L"vimra");
    GetClassNameW(Window, text, 100);
    EXPECT_STREQ(text, L"VIMRA");
    EXPECT_EQ(MainWindow, Window);
}

TEST_F(TrayShell, UpdatePublishesAddThenModify)
{
    UpdateTrayStatus(26);
    ASSERT_EQ(CallCount, 2);
    ExpectRecord(Calls[0], NIM_ADD, IDI_STATUS_DOWN, L"Starting...");
    ExpectRecord(Calls[1], NIM_MODIFY, IDI_STATUS_5, L"26ms");

    UpdateTrayStatus(2665);
    ASSERT_EQ(CallCount, 4);
    ExpectRecord(Calls[2], NIM_ADD, IDI_STATUS_DOWN, L"Starting...");
    ExpectRecord(Calls[3], NIM_MODIFY, IDI_STATUS_DOWN, L"Timeout");

    UpdateTrayStatus(679);
    ExpectRecord(Calls[5], NIM_MODIFY, IDI_STATUS_0, L"679ms");
}

TEST_F(TrayShell, OnlyRightButtonPressOpensTheMenu)
{
    const LPARAM ignored[] = {WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK,
                              WM_RBUTTONUP, WM_RBUTTONDBLCLK, WM_CONTEXTMENU, NIN_SELECT};
    for (LPARAM mouse : ignored)
        EXPECT_EQ(SendMessageW(Window, WM_TRAYCALLBACK, 1, mouse), 0);
    EXPECT_EQ(MenuCount, 0);

    SetCursorPos(120, 80);
    POINT cursor;
    GetCursorPos(&cursor);
    EXPECT_EQ(SendMessageW(Window, WM_TRAYCALLBACK, 1, WM_RBUTTONDOWN), 0);
    ASSERT_EQ(MenuCount, 1);
    EXPECT_EQ(MenuFlags, 0u);
    EXPECT_EQ(MenuOwner, Window);
    EXPECT_EQ(MenuPoint.x, cursor.x);
    EXPECT_EQ(MenuPoint.y, cursor.y);
    // Loaded for the showing and destroyed right after.
    EXPECT_FALSE(IsMenu(MenuShown));
    EXPECT_EQ(CallCount, 0);
}

TEST_F(TrayShell, AboutShowsTheFixedVersionText)
{
    EXPECT_EQ(SendMessageW(Window, WM_COMMAND, ID_MENU_ABOUT, 0), 0);
    ASSERT_EQ(MessageCount, 1);
    EXPECT_EQ(MessageText, "Version: 0.71 build: 186");
    EXPECT_EQ(MessageCaption, "About");
    EXPECT_EQ(MessageType, UINT(MB_OK));
    EXPECT_EQ(MessageOwner, nullptr);
}

TEST_F(TrayShell, AcceleratorCommandGoesToTheDefault)
{
    EXPECT_NE(LoadMainAccelerators(GetModuleHandleW(nullptr)), nullptr);
    EXPECT_EQ(SendMessageW(Window, WM_COMMAND, ID_ACCEL_COMMAND, 0), 0);
    EXPECT_TRUE(IsWindow(Window));
    EXPECT_EQ(CallCount + MenuCount + MessageCount, 0);
    EXPECT_EQ(StopFlag.load(), 0u);
}

// Starts the real workers with no network: echo requests and closes are
// the fakes above, pauses are the real ones the stop signal cuts short. Both
// workers are inside their first call when this returns.
void StartHeldWorkers()
{
    static int echoHandle;
    ProbeOps ops = Probe;
    ops.SendEcho = HeldSendEcho;
    ops.CloseEcho = RecordCloseEcho;
    Probe = ops;
    ProbeTarget.echo = &echoHandle;
    HoldShell.store(1);
    StartWorkers();
    ASSERT_EQ(WaitForSingleObject(ShellEntered, kHoldLimitMs), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(EchoEntered, kHoldLimitMs), WAIT_OBJECT_0);
}

// After the test nothing of the workers may still run against the fakes.
void ExpectWorkersEnded()
{
    SetEvent(ShellReleased);
    SetEvent(EchoReleased);
    EXPECT_EQ(WaitForSingleObject(RefreshThread, kHoldLimitMs), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ProbeThread, kHoldLimitMs), WAIT_OBJECT_0);
}

// The calls in the order they returned: A add, M modify, D delete.
std::string Sequence()
{
    std::string sequence;
    for (int i = 0; i < CallCount && i < 16; ++i)
        sequence += Calls[i].message < 3 ? "AMD"[Calls[i].message] : '?';
    return sequence;
}

// Both ways out end the same way, here with the refresh thread inside the
// shell and an echo request in flight, released 250 and 550 ms after the
// stop (well within the waits for them): workers told to stop, the
// update's call got through before exactly one delete keyed by window and
// id, and the echo handle closed once, after its request returned. Each
// runs in its own process (see the test list), since the stop is for good.
void ExpectOrderlyEnd(UINT message, WPARAM command)
{
    StartHeldWorkers();
    if (::testing::Test::HasFatalFailure())
        return;
    std::thread releaser([] {
        for (int i = 0; i < 5000 && StopFlag.load() == 0; ++i)
            Sleep(1);
        Sleep(250);
        SetEvent(ShellReleased);
        Sleep(300);
        SetEvent(EchoReleased);
    });
    PostMessageW(Window, message, command, 0);
    EXPECT_EQ(RunMessageLoop(LoadMainAccelerators(GetModuleHandleW(nullptr))), 0);
    FinishShutdown();
    releaser.join();
    ExpectWorkersEnded();

    EXPECT_FALSE(IsWindow(Window));
    EXPECT_EQ(StopFlag.load(), 1u);
    std::string sequence = Sequence();
    ASSERT_GE(sequence.size(), 2u);
    EXPECT_EQ(sequence[0], 'A');
    EXPECT_EQ(sequence.find('D'), sequence.size() - 1) << "calls: " << sequence;
    const NotifyCall& last = Calls[sequence.size() - 1];
    EXPECT_EQ(last.data.hWnd, Window);
    EXPECT_EQ(last.data.uID, 1u);
    EXPECT_EQ(last.data.cbSize, 976u);

    EXPECT_EQ(Closes, 1u);
    EXPECT_EQ(ReturnsAtClose, 1u) << "echo handle closed under its request";
    EXPECT_EQ(ClosedEcho, ProbeTarget.echo);
}

TEST_F(TrayShell, EndByExitCommand)
{
    ExpectOrderlyEnd(WM_COMMAND, ID_MENU_EXIT);
}

TEST_F(TrayShell, EndByCloseFromOutside)
{
    ExpectOrderlyEnd(WM_CLOSE, 0);
}

// Neither worker gets out in time: the update is still inside the shell
// when the message loop ends, past the first wait and delete, and lands
// only during the wait that follows (250 ms into it): a delete that did not
// wait for it would come first and leave the icon behind. The echo request
// outlasts every wait.
// The icon is deleted again behind the late add, nothing new is started
// after the stop, and the handle is left to the process end.
TEST_F(TrayShell, EndByExitWithWorkersStuck)
{
    StartHeldWorkers();
    if (HasFatalFailure())
        return;
    PostMessageW(Window, WM_COMMAND, ID_MENU_EXIT, 0);
    EXPECT_EQ(RunMessageLoop(LoadMainAccelerators(GetModuleHandleW(nullptr))), 0);
    EXPECT_EQ(Sequence(), "D");
    std::thread releaser([] {
        Sleep(250);
        SetEvent(ShellReleased);
    });
    FinishShutdown();
    releaser.join();
    EXPECT_EQ(Closes, 0u);
    ExpectWorkersEnded();
    EXPECT_EQ(Sequence(), "DAD");
}
