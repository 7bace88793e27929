// Windows and messages: classes, the window tree, sending and posting,
// sub-classing, timers on the machine clock, focus and painting.
#include <cstring>
#include <thread>
#include <vector>

#include "tests/platform/user/ui_test.h"

namespace {

struct Log {
    std::vector<UINT> messages;
    int paints = 0;
};
Log* current = nullptr;

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (current) current->messages.push_back(msg);
    if (msg == WM_PAINT) {
        if (current) ++current->paints;
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT r{10, 10, 30, 20};
        HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
        FillRect(dc, &r, red);
        DeleteObject(red);
        EndPaint(hwnd, &ps);
        return 0;
    }
    if (msg == WM_USER + 1) return static_cast<LRESULT>(wParam + lParam);
    return DefWindowProc(hwnd, msg, wParam, lParam);
}

class WindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        WNDCLASS wc{};
        wc.lpfnWndProc = RecordingProc;
        wc.lpszClassName = "RecordingWindow";
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        wc.cbWndExtra = 8;
        ASSERT_NE(RegisterClass(&wc), 0);
    }
    void SetUp() override { current = &log; }
    void TearDown() override
    {
        current = nullptr;
        if (IsWindow(top)) DestroyWindow(top);
    }
    HWND MakeTop(DWORD style = WS_OVERLAPPEDWINDOW | WS_VISIBLE)
    {
        top = CreateWindowEx(0, "RecordingWindow", "Top", style, 100, 50, 200, 150, nullptr, nullptr, nullptr, nullptr);
        return top;
    }
    Log log;
    HWND top = nullptr;
};

TEST_F(WindowTest, CreationSendsItsMessagesInOrderAndBuildsTheTree)
{
    ASSERT_NE(MakeTop(), nullptr);
    ASSERT_GE(log.messages.size(), 3u);
    EXPECT_EQ(log.messages[0], WM_NCCREATE);
    EXPECT_EQ(log.messages[1], WM_CREATE);
    HWND child = CreateWindowEx(0, "RecordingWindow", "Child", WS_CHILD | WS_VISIBLE, 5, 6, 50, 40, top,
                                reinterpret_cast<HMENU>(7), nullptr, nullptr);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(GetParent(child), top);
    EXPECT_EQ(GetDlgCtrlID(child), 7);
    EXPECT_EQ(GetDlgItem(top, 7), child);
    EXPECT_TRUE(IsChild(top, child));
    // The parent heard of the child's creation.
    EXPECT_NE(std::find(log.messages.begin(), log.messages.end(), static_cast<UINT>(WM_PARENTNOTIFY)), log.messages.end());
    // Rectangles: the child's window rectangle on the screen is the top's
    // client origin plus its place.
    RECT wr, cr;
    GetWindowRect(child, &wr);
    POINT origin{0, 0};
    ClientToScreen(top, &origin);
    EXPECT_EQ(wr.left, origin.x + 5);
    EXPECT_EQ(wr.top, origin.y + 6);
    GetClientRect(top, &cr);
    EXPECT_EQ(cr.right, 200 - 8);        // a sizing frame, 4 a side
    EXPECT_EQ(cr.bottom, 150 - 8 - 18);  // and the caption
    char text[16];
    EXPECT_EQ(GetWindowText(child, text, sizeof text), 5);
    EXPECT_STREQ(text, "Child");
    EXPECT_TRUE(SetWindowText(child, "Renamed"));
    EXPECT_EQ(GetWindowTextLength(child), 7);
    // Window longs and the class's extra bytes.
    EXPECT_EQ(SetWindowLongPtr(child, 4, 1234), 0);
    EXPECT_EQ(GetWindowLongPtr(child, 4), 1234);
    EXPECT_EQ(GetWindowLongPtr(child, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
    // Destroying the parent destroys the child, children after the parent.
    log.messages.clear();
    EXPECT_TRUE(DestroyWindow(top));
    EXPECT_FALSE(IsWindow(child));
    const std::vector<UINT> tail(log.messages.end() - 4, log.messages.end());
    EXPECT_EQ(tail, (std::vector<UINT>{WM_DESTROY, WM_DESTROY, WM_NCDESTROY, WM_NCDESTROY}));
}

TEST_F(WindowTest, DestroyedAndBadWindowsAnswerZeroWithTheErrorCode)
{
    MakeTop();
    DestroyWindow(top);
    HWND bogus = reinterpret_cast<HWND>(0x12345);
    for (HWND h : {top, bogus}) {
        SetLastError(0);
        EXPECT_EQ(SendMessage(h, WM_USER + 1, 2, 3), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
        EXPECT_FALSE(PostMessage(h, WM_USER, 0, 0));
        EXPECT_FALSE(DestroyWindow(h));
        EXPECT_FALSE(ShowWindow(h, SW_SHOW));
        RECT r;
        EXPECT_FALSE(GetWindowRect(h, &r));
        EXPECT_EQ(GetDC(h), nullptr);
        EXPECT_EQ(SetTimer(h, 1, 100, nullptr), 0u);
    }
    SetLastError(0);
    EXPECT_EQ(CreateWindowEx(0, "NoSuchClass", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
    EXPECT_EQ(CreateWindowEx(0, "RecordingWindow", "", WS_CHILD, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TLW_WITH_WSCHILD));
    WNDCLASS again{};
    again.lpfnWndProc = RecordingProc;
    again.lpszClassName = "recordingwindow";  // names are not case-sensitive
    EXPECT_EQ(RegisterClass(&again), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
}

TEST_F(WindowTest, PostedMessagesQueueInOrderAndQuitEndsTheLoop)
{
    MakeTop(WS_OVERLAPPEDWINDOW);  // hidden: no paint in the queue
    EXPECT_EQ(SendMessage(top, WM_USER + 1, 2, 3), 5);
    PostMessage(top, WM_USER + 2, 1, 0);
    PostMessage(top, WM_USER + 3, 2, 0);
    MSG msg;
    EXPECT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 2));
    // A range filter picks the later one first.
    EXPECT_TRUE(PeekMessage(&msg, nullptr, WM_USER + 3, WM_USER + 3, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 2u);
    PostQuitMessage(3);
    std::vector<UINT> got;
    while (GetMessage(&msg, nullptr, 0, 0)) {
        got.push_back(msg.message);
        DispatchMessage(&msg);
    }
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_EQ(got, std::vector<UINT>{WM_USER + 2});
    EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
    // A broadcast reaches every top-level window.
    HWND second = CreateWindowEx(0, "RecordingWindow", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    EXPECT_TRUE(PostMessage(HWND_BROADCAST, WM_DEVICECHANGE, 0x8000, 0));
    std::vector<HWND> reached;
    while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE))
        if (msg.message == WM_DEVICECHANGE) reached.push_back(msg.hwnd);
    EXPECT_EQ(std::count(reached.begin(), reached.end(), top), 1);
    EXPECT_EQ(std::count(reached.begin(), reached.end(), second), 1);
    DestroyWindow(second);
}

TEST_F(WindowTest, AMessageSentFromAnotherThreadRunsOnTheWindowsThread)
{
    MakeTop(WS_OVERLAPPEDWINDOW);
    std::thread::id ranOn;
    current = nullptr;
    static std::thread::id* where = nullptr;
    where = &ranOn;
    WNDPROC recording = [](HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
        if (msg == WM_USER + 1) *where = std::this_thread::get_id();
        return RecordingProc(hwnd, msg, wParam, lParam);
    };
    SetWindowLongPtr(top, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(recording));
    LRESULT answer = 0;
    std::thread worker([&] {
        answer = SendMessage(top, WM_USER + 1, 20, 22);
        PostMessage(top, WM_USER + 9, 0, 0);
    });
    MSG msg;
    while (GetMessage(&msg, nullptr, 0, 0) && msg.message != WM_USER + 9) DispatchMessage(&msg);
    worker.join();
    EXPECT_EQ(answer, 42);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    // To a window gone, a send from another thread answers 0 at once.
    DestroyWindow(top);
    std::thread late([&] { answer = SendMessage(top, WM_USER + 1, 1, 1); });
    late.join();
    EXPECT_EQ(answer, 0);
}

TEST_F(WindowTest, PopupMenusTakeTheScriptsChoice)
{
    MakeTop(WS_OVERLAPPEDWINDOW);
    HMENU columns = CreatePopupMenu();
    AppendMenu(columns, MF_STRING | MF_CHECKED, 2001, "Id");
    AppendMenu(columns, MF_STRING, 2002, "Vendor");
    HMENU menu = CreatePopupMenu();
    AppendMenu(menu, MF_STRING, 2000, "&Columns...");
    AppendMenu(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenu(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(columns), "Show");
    EXPECT_EQ(GetMenuItemCount(menu), 3);
    EXPECT_EQ(GetSubMenu(menu, 2), columns);
    EXPECT_EQ(CheckMenuItem(menu, 2002, MF_BYCOMMAND | MF_CHECKED), static_cast<DWORD>(MF_UNCHECKED));
    EXPECT_EQ(GetMenuState(menu, 2002, MF_BYCOMMAND) & MF_CHECKED, static_cast<UINT>(MF_CHECKED));
    // Chosen: the command comes back, or reaches the owner as WM_COMMAND.
    user::script::ChooseMenuCommand(2002);
    EXPECT_EQ(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, 10, 10, 0, top, nullptr), 2002);
    EXPECT_EQ(user::script::LastMenu(), (std::vector<std::string>{"&Columns...", "-", "Show", "  *Id", "  *Vendor"}));
    user::script::ChooseMenuCommand(2000);
    EXPECT_TRUE(TrackPopupMenu(menu, 0, 10, 10, 0, top, nullptr));
    MSG msg;
    ASSERT_TRUE(PeekMessage(&msg, top, WM_COMMAND, WM_COMMAND, PM_REMOVE));
    EXPECT_EQ(LOWORD(msg.wParam), 2000);
    // A disabled item, or nothing chosen, gives no command.
    EnableMenuItem(menu, 2000, MF_BYCOMMAND | MF_GRAYED);
    user::script::ChooseMenuCommand(2000);
    EXPECT_EQ(TrackPopupMenu(menu, TPM_RETURNCMD, 0, 0, 0, top, nullptr), 0);
    EXPECT_EQ(TrackPopupMenu(menu, TPM_RETURNCMD, 0, 0, 0, top, nullptr), 0);
    // A menu of the module is a fresh copy each time it is loaded.
    HINSTANCE module = reinterpret_cast<HINSTANCE>(0x420000);
    ASSERT_TRUE(RegisterMenuResource(module, 129, menu));
    HMENU loaded = LoadMenu(module, MAKEINTRESOURCE(129));
    ASSERT_NE(loaded, nullptr);
    EXPECT_NE(GetSubMenu(loaded, 2), columns);
    char text[16];
    EXPECT_EQ(GetMenuString(loaded, 2001, text, sizeof text, MF_BYCOMMAND), 2);
    EXPECT_STREQ(text, "Id");
    EXPECT_TRUE(DestroyMenu(menu));
    EXPECT_FALSE(DestroyMenu(columns));  // went with its menu
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_MENU_HANDLE));
    EXPECT_FALSE(TrackPopupMenu(menu, 0, 0, 0, 0, top, nullptr));
    EXPECT_EQ(LoadMenu(module, MAKEINTRESOURCE(130)), nullptr);
    DestroyMenu(loaded);
    // A right click on a child asks its parent for the context menu, at the
    // pointer's place on the screen.
    ShowWindow(top, SW_SHOW);
    HWND child = CreateWindowEx(0, "Static", "", WS_CHILD | WS_VISIBLE, 10, 10, 50, 20, top, nullptr, nullptr, nullptr);
    log.messages.clear();
    ASSERT_TRUE(user::script::RightClickAt(child, POINT{5, 6}));
    EXPECT_NE(std::find(log.messages.begin(), log.messages.end(), static_cast<UINT>(WM_CONTEXTMENU)), log.messages.end());
    POINT expected{5, 6}, cursor{};
    ClientToScreen(child, &expected);
    ASSERT_TRUE(GetCursorPos(&cursor));
    EXPECT_EQ(cursor.x, expected.x);
    EXPECT_EQ(cursor.y, expected.y);
}

LRESULT CALLBACK Upper(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
WNDPROC original = nullptr;
LRESULT CALLBACK Upper(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    // A sub-class that answers one message itself and passes the rest on.
    if (msg == WM_USER + 1) return 100 + CallWindowProc(original, hwnd, msg, wParam, lParam);
    return CallWindowProc(original, hwnd, msg, wParam, lParam);
}

TEST_F(WindowTest, SubclassingPutsTheNewProcedureInFront)
{
    MakeTop();
    original = reinterpret_cast<WNDPROC>(SetWindowLongPtr(top, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Upper)));
    EXPECT_EQ(original, RecordingProc);
    EXPECT_EQ(SendMessage(top, WM_USER + 1, 2, 3), 105);
    SetWindowLongPtr(top, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
    EXPECT_EQ(SendMessage(top, WM_USER + 1, 2, 3), 5);
}

int timerCalls = 0;
void CALLBACK CountTimer(HWND, UINT, UINT_PTR, DWORD) { ++timerCalls; }

TEST_F(WindowTest, TimersFireOnTheMachineClock)
{
    MakeTop(WS_OVERLAPPEDWINDOW);
    ASSERT_EQ(SetTimer(top, 5, 100, nullptr), 5u);
    timerCalls = 0;
    const UINT_PTR loose = SetTimer(nullptr, 0, 200, CountTimer);
    ASSERT_NE(loose, 0u);
    const DWORD start = GetTickCount();
    std::vector<DWORD> at;
    MSG msg;
    while (at.size() < 5 && GetMessage(&msg, nullptr, 0, 0)) {
        if (msg.message == WM_TIMER && msg.hwnd == top) {
            EXPECT_EQ(msg.wParam, 5u);
            at.push_back(GetTickCount() - start);
        }
        DispatchMessage(&msg);
    }
    // Five ticks of a 100 ms timer take 500 ms of machine time, each at or
    // after its due time; the 200 ms timer ran its procedure twice meanwhile.
    ASSERT_EQ(at.size(), 5u);
    for (size_t i = 0; i < at.size(); ++i) {
        EXPECT_GE(at[i], 100 * (i + 1)) << i;
        EXPECT_LT(at[i], 100 * (i + 1) + 60) << i;
    }
    EXPECT_EQ(timerCalls, 2);
    EXPECT_TRUE(KillTimer(top, 5));
    EXPECT_FALSE(KillTimer(top, 5));
    EXPECT_TRUE(KillTimer(nullptr, loose));
}

TEST_F(WindowTest, FocusEnableAndShow)
{
    MakeTop();
    HWND a = CreateWindowEx(0, "Edit", "", WS_CHILD | WS_VISIBLE, 0, 0, 50, 20, top, reinterpret_cast<HMENU>(1), nullptr, nullptr);
    HWND b = CreateWindowEx(0, "Edit", "", WS_CHILD | WS_VISIBLE, 0, 30, 50, 20, top, reinterpret_cast<HMENU>(2), nullptr, nullptr);
    SetFocus(a);
    EXPECT_EQ(GetFocus(), a);
    EXPECT_EQ(SetFocus(b), a);
    // Disabling the focused window takes the focus away from it.
    EXPECT_FALSE(EnableWindow(b, FALSE));
    EXPECT_FALSE(IsWindowEnabled(b));
    EXPECT_NE(GetFocus(), b);
    EXPECT_FALSE(user::script::Click(b));  // a disabled control takes no click
    EXPECT_TRUE(EnableWindow(b, TRUE));
    ShowWindow(top, SW_HIDE);
    EXPECT_FALSE(IsWindowVisible(a));  // hidden with its parent
    EXPECT_NE(GetWindowLong(a, GWL_STYLE) & WS_VISIBLE, 0);
    ShowWindow(top, SW_SHOW);
    EXPECT_TRUE(IsWindowVisible(a));
}

TEST_F(WindowTest, PaintingReachesTheTopLevelImage)
{
    MakeTop();
    HWND child = CreateWindowEx(WS_EX_CLIENTEDGE, "RecordingWindow", "", WS_CHILD | WS_VISIBLE, 40, 30, 60, 40, top, nullptr,
                                nullptr, nullptr);
    MSG msg;
    while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessage(&msg);
    EXPECT_EQ(log.paints, 2);  // the top, then the child
    // The top's red box at client (10,10)-(30,20); the frame is 4 wide and
    // the caption 18 tall.
    EXPECT_EQ(user::WindowPixel(top, 4 + 10, 22 + 10), RGB(255, 0, 0));
    EXPECT_EQ(user::WindowPixel(top, 4 + 29, 22 + 19), RGB(255, 0, 0));
    EXPECT_EQ(user::WindowPixel(top, 4 + 30, 22 + 15), RGB(255, 255, 255));
    EXPECT_EQ(user::WindowPixel(top, 4 + 9, 22 + 15), RGB(255, 255, 255));
    // The child's box inside its client edge, offset by its place.
    EXPECT_EQ(user::WindowPixel(child, 2 + 12, 2 + 12), RGB(255, 0, 0));
    EXPECT_EQ(user::WindowPixel(top, 4 + 40 + 2 + 12, 22 + 30 + 2 + 12), RGB(255, 0, 0));
    // Invalidating a part paints again; a validated window does not.
    InvalidateRect(child, nullptr, TRUE);
    EXPECT_TRUE(GetUpdateRect(child, nullptr, FALSE));
    ValidateRect(child, nullptr);
    EXPECT_FALSE(PeekMessage(&msg, nullptr, WM_PAINT, WM_PAINT, PM_NOREMOVE));
    const std::string path = user::Snapshot(top, "test-window");
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_FALSE(user::Snapshot(nullptr, "test-desktop").empty());
}

}  // namespace
