// Dialogs from templates: the controls the template names, the modal loop
// worked by a script, OK and Cancel, keyboard navigation and bad input.
#include <cstring>

#include "tests/platform/user/ui_test.h"

namespace {

enum { kName = 101, kCount = 102, kEnabled = 103, kModeA = 104, kModeB = 105, kList = 106, kChoice = 107 };

const DLGITEM kItems[] = {
    {"Static", "&Name:", IDC_STATIC, SS_LEFT, 7, 9, 40, 8, 0},
    {"Edit", "Clip 1", kName, WS_TABSTOP | ES_AUTOHSCROLL | WS_BORDER, 50, 7, 100, 14, 0},
    {"Edit", "", kCount, WS_TABSTOP | ES_NUMBER | WS_BORDER, 50, 25, 40, 14, 0},
    {"Button", "&Enabled", kEnabled, WS_TABSTOP | BS_AUTOCHECKBOX, 7, 43, 80, 10, 0},
    {"Button", "Mode", IDC_STATIC, BS_GROUPBOX, 7, 56, 140, 40, 0},
    {"Button", "Mode &A", kModeA, WS_TABSTOP | WS_GROUP | BS_AUTORADIOBUTTON, 14, 67, 60, 10, 0},
    {"Button", "Mode &B", kModeB, BS_AUTORADIOBUTTON, 14, 80, 60, 10, 0},
    {"ListBox", "", kList, WS_TABSTOP | WS_BORDER | LBS_NOTIFY | LBS_SORT, 160, 7, 60, 50, 0},
    {"ComboBox", "", kChoice, WS_TABSTOP | CBS_DROPDOWNLIST, 160, 62, 60, 60, 0},
    {"Button", "OK", IDOK, WS_TABSTOP | BS_DEFPUSHBUTTON, 110, 105, 50, 14, 0},
    {"Button", "Cancel", IDCANCEL, WS_TABSTOP, 170, 105, 50, 14, 0},
};
const DLGTEMPLATEA kDialog = {123, "Clip Settings", WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | WS_VISIBLE,
                              0, 0, 230, 126, kItems, static_cast<int>(std::size(kItems)), 0, nullptr};

struct Settings {
    char name[32] = "old";
    UINT count = 7;
    bool enabled = false;
    int mode = 0;
    int choice = -1;
    std::vector<int> notifications;
};

INT_PTR CALLBACK SettingsProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* s = reinterpret_cast<Settings*>(GetWindowLongPtr(dlg, DWLP_USER));
    switch (msg) {
    case WM_INITDIALOG:
        SetWindowLongPtr(dlg, DWLP_USER, lParam);
        s = reinterpret_cast<Settings*>(lParam);
        SetDlgItemInt(dlg, kCount, s->count, FALSE);
        CheckRadioButton(dlg, kModeA, kModeB, kModeA);
        for (const char* t : {"Gamma", "Alpha", "Beta"}) SendDlgItemMessage(dlg, kList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(t));
        for (const char* t : {"525", "625"}) SendDlgItemMessage(dlg, kChoice, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(t));
        SendDlgItemMessage(dlg, kChoice, CB_SETCURSEL, 0, 0);
        return TRUE;
    case WM_COMMAND:
        s->notifications.push_back(static_cast<int>(wParam));
        if (LOWORD(wParam) == IDOK) {
            // The members take the controls' values only on OK.
            GetDlgItemText(dlg, kName, s->name, sizeof s->name);
            BOOL ok = FALSE;
            const UINT count = GetDlgItemInt(dlg, kCount, &ok, FALSE);
            if (!ok) {
                MessageBox(dlg, "Please enter a number.", "Clip Settings", MB_OK | MB_ICONEXCLAMATION);
                return TRUE;
            }
            s->count = count;
            s->enabled = IsDlgButtonChecked(dlg, kEnabled) == BST_CHECKED;
            s->mode = IsDlgButtonChecked(dlg, kModeB) ? 1 : 0;
            s->choice = static_cast<int>(SendDlgItemMessage(dlg, kChoice, CB_GETCURSEL, 0, 0));
            EndDialog(dlg, IDOK);
        } else if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dlg, IDCANCEL);
        }
        return TRUE;
    default: return FALSE;
    }
}

HINSTANCE Module() { return reinterpret_cast<HINSTANCE>(0x400000); }

class DialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RegisterDialogTemplate(Module(), &kDialog); }
    INT_PTR Run(Settings& s, std::vector<user::script::Step> steps)
    {
        user::script::SetIdleSteps(std::move(steps));
        return DialogBoxParam(Module(), MAKEINTRESOURCE(123), nullptr, SettingsProc, reinterpret_cast<LPARAM>(&s));
    }
};

TEST_F(DialogTest, ControlsAreWhatTheTemplateSays)
{
    Settings s;
    HWND seen = nullptr;
    const INT_PTR r = Run(s, {[&](HWND dlg) {
        seen = dlg;
        char text[64];
        GetWindowText(dlg, text, sizeof text);
        EXPECT_STREQ(text, "Clip Settings");
        // Every item: class, text, id, in template order as the tab order.
        HWND child = GetWindow(dlg, GW_CHILD);
        for (const DLGITEM& item : kItems) {
            ASSERT_NE(child, nullptr);
            EXPECT_STRCASEEQ(uitest::ClassOf(child).c_str(), item.className);
            EXPECT_EQ(GetDlgCtrlID(child), item.id);
            if (std::strcmp(item.className, "ComboBox") != 0 && item.id != kCount) {
                GetWindowText(child, text, sizeof text);
                EXPECT_STREQ(text, item.text);
            }
            EXPECT_TRUE(IsWindowVisible(child));
            child = GetWindow(child, GW_HWNDNEXT);
        }
        EXPECT_EQ(child, nullptr);
        // Positions: dialog units at the fixed base units 6 x 13.
        RECT r;
        GetWindowRect(GetDlgItem(dlg, kName), &r);
        POINT p{r.left, r.top};
        ScreenToClient(dlg, &p);
        EXPECT_EQ(p.x, 75);
        EXPECT_EQ(p.y, 11);
        EXPECT_EQ(r.right - r.left, 150);
        GetClientRect(dlg, &r);
        EXPECT_EQ(r.right, 345);
        EXPECT_EQ(r.bottom, 205);
        // States the dialog procedure set up.
        EXPECT_EQ(GetDlgItemInt(dlg, kCount, nullptr, FALSE), 7u);
        EXPECT_EQ(IsDlgButtonChecked(dlg, kModeA), BST_CHECKED);
        EXPECT_EQ(IsDlgButtonChecked(dlg, kEnabled), BST_UNCHECKED);
        char item[16];
        SendDlgItemMessage(dlg, kList, LB_GETTEXT, 0, reinterpret_cast<LPARAM>(item));
        EXPECT_STREQ(item, "Alpha");  // sorted
        EXPECT_EQ(user::script::Text(GetDlgItem(dlg, kChoice)), "525");
        EXPECT_EQ(LOWORD(SendMessage(dlg, DM_GETDEFID, 0, 0)), IDOK);
        EXPECT_EQ(GetFocus(), GetDlgItem(dlg, kName));  // the first tab stop
        EXPECT_FALSE(IsWindowEnabled(nullptr));
        EXPECT_FALSE(user::Snapshot(dlg, "test-clip-settings").empty());
        EndDialog(dlg, 42);
    }});
    EXPECT_EQ(r, 42);
    EXPECT_FALSE(IsWindow(seen));
}

TEST_F(DialogTest, OkByScriptEndsTheLoopAndTheMembersTakeTheValues)
{
    Settings s;
    using namespace user::script;
    const INT_PTR r = Run(s, {
                                 [](HWND dlg) {
                                     HWND name = GetDlgItem(dlg, kName);
                                     SendMessage(name, EM_SETSEL, 0, -1);
                                     Type(name, "Take 2");
                                     Type(GetDlgItem(dlg, kCount), "x9");  // the letter is refused
                                     Click(GetDlgItem(dlg, kEnabled));
                                     Click(GetDlgItem(dlg, kModeB));
                                     Choose(GetDlgItem(dlg, kChoice), 1);
                                     Choose(GetDlgItem(dlg, kList), 2);
                                 },
                                 [](HWND dlg) {
                                     EXPECT_EQ(IsDlgButtonChecked(dlg, kModeA), BST_UNCHECKED);
                                     EXPECT_EQ(Text(GetDlgItem(dlg, kList)), "Gamma");
                                     Click(GetDlgItem(dlg, IDOK));
                                 },
                             });
    EXPECT_EQ(r, IDOK);
    EXPECT_STREQ(s.name, "Take 2");
    EXPECT_EQ(s.count, 9u);  // "7" selected by focus, replaced by typing
    EXPECT_TRUE(s.enabled);
    EXPECT_EQ(s.mode, 1);
    EXPECT_EQ(s.choice, 1);
    // The notifications the parent saw, by control: check box click, list
    // selection change, combo selection change.
    auto saw = [&](int id, WORD code) {
        return std::count(s.notifications.begin(), s.notifications.end(), static_cast<int>(MAKEWPARAM(id, code))) > 0;
    };
    EXPECT_TRUE(saw(kEnabled, BN_CLICKED));
    EXPECT_TRUE(saw(kList, LBN_SELCHANGE));
    EXPECT_TRUE(saw(kChoice, CBN_SELCHANGE));
    EXPECT_TRUE(saw(kName, EN_CHANGE));
}

TEST_F(DialogTest, CancelAndEscapeLeaveTheMembers)
{
    for (bool byKey : {false, true}) {
        Settings s;
        const INT_PTR r = Run(s, {[&](HWND dlg) {
            user::script::Type(GetDlgItem(dlg, kName), "changed");
            if (byKey)
                user::script::Key(VK_ESCAPE);
            else
                user::script::Click(GetDlgItem(dlg, IDCANCEL));
        }});
        EXPECT_EQ(r, IDCANCEL) << (byKey ? "Escape" : "Cancel");
        EXPECT_STREQ(s.name, "old");
        EXPECT_EQ(s.count, 7u);
    }
}

TEST_F(DialogTest, EnterPressesTheDefaultButtonAndTabWalksTheTabStops)
{
    Settings s;
    std::vector<int> order;
    const INT_PTR r = Run(s, {[&](HWND dlg) {
        for (int i = 0; i < 8; ++i) {
            order.push_back(GetDlgCtrlID(GetFocus()));
            user::script::Key(VK_TAB);
        }
        SetFocus(GetDlgItem(dlg, kName));
        user::script::Key(VK_RETURN);
    }});
    EXPECT_EQ(r, IDOK);
    // Only the checked radio button of a group is a tab stop.
    EXPECT_EQ(order, (std::vector<int>{kName, kCount, kEnabled, kModeA, kList, kChoice, IDOK, IDCANCEL}));
}

TEST_F(DialogTest, AFailedCheckShowsAMessageBoxTheScriptAnswers)
{
    Settings s;
    std::string boxText;
    const INT_PTR r = Run(s, {
                                 [](HWND dlg) {
                                     SetDlgItemText(dlg, kCount, "");
                                     user::script::Click(GetDlgItem(dlg, IDOK));
                                 },
                                 // Runs inside the message box's own modal loop.
                                 [&](HWND box) {
                                     char caption[64];
                                     GetWindowText(box, caption, sizeof caption);
                                     EXPECT_STREQ(caption, "Clip Settings");
                                     HWND text = GetDlgItem(box, 0xFFFF);
                                     boxText = user::script::Text(text);
                                     EXPECT_FALSE(user::Snapshot(box, "test-message-box").empty());
                                     user::script::Click(GetDlgItem(box, IDOK));
                                 },
                                 [](HWND dlg) { user::script::Click(GetDlgItem(dlg, IDCANCEL)); },
                             });
    EXPECT_EQ(r, IDCANCEL);
    EXPECT_EQ(boxText, "Please enter a number.");
}

TEST(Dialog, HiddenItemsAndBitmapsOfTheModule)
{
    HINSTANCE module = reinterpret_cast<HINSTANCE>(0x410000);
    HBITMAP product = CreateBitmap(8, 4, 1, 32, nullptr);
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, product);
    RECT all{0, 0, 8, 4};
    HBRUSH green = CreateSolidBrush(RGB(0, 200, 0));
    FillRect(dc, &all, green);
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(green);
    ASSERT_TRUE(RegisterBitmapResource(module, 152, product));
    DeleteObject(product);  // the module keeps its own copy
    const DLGITEM items[] = {
        {"Static", MAKEINTRESOURCE(152), 10, SS_BITMAP, 0, 0, 20, 20, 0},
        {"ListBox", "", 1098, 0, 0, 30, 40, 40, 0, true},
    };
    const DLGTEMPLATEA t = {145, "SCSI", WS_POPUP, 0, 0, 100, 100, items, 2, 0, nullptr};
    HWND dlg = CreateDialogIndirectParam(module, &t, nullptr, nullptr, 0);
    ASSERT_NE(dlg, nullptr);
    ShowWindow(dlg, SW_SHOW);
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(dlg, 1098)));
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(dlg, 10)));
    EXPECT_EQ(user::WindowPixel(GetDlgItem(dlg, 10), 7, 3), RGB(0, 200, 0));
    EXPECT_EQ(LoadBitmap(module, MAKEINTRESOURCE(153)), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    DestroyWindow(dlg);
}

TEST(Dialog, AnUnexpectedMessageBoxIsRecordedWithItsText)
{
    EXPECT_EQ(MessageBox(nullptr, "Insufficient memory", "Test", MB_OKCANCEL | MB_DEFBUTTON2), IDCANCEL);
    auto boxes = user::script::TakeUnexpectedMessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Insufficient memory");
    EXPECT_EQ(boxes[0].caption, "Test");
}

TEST(Dialog, BadTemplatesIdsAndHandlesGetTheWindowsAnswer)
{
    const DLGITEM unknown[] = {{"NoSuchClass", "", 5, 0, 0, 0, 10, 10, 0}};
    const DLGTEMPLATEA bad = {1, "x", WS_POPUP, 0, 0, 50, 50, unknown, 1, 0, nullptr};
    SetLastError(0);
    EXPECT_EQ(CreateDialogIndirectParam(nullptr, &bad, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
    EXPECT_EQ(DialogBoxIndirectParam(nullptr, &bad, nullptr, nullptr, 0), -1);
    EXPECT_EQ(DialogBoxParam(nullptr, MAKEINTRESOURCE(999), nullptr, nullptr, 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));

    const DLGITEM one[] = {{"Edit", "a", 5, 0, 0, 0, 10, 10, 0}};
    const DLGTEMPLATEA good = {2, "x", WS_POPUP, 0, 0, 50, 50, one, 1, 0, nullptr};
    HWND dlg = CreateDialogIndirectParam(nullptr, &good, nullptr, nullptr, 0);
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(GetDlgItem(dlg, 77), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CONTROL_ID_NOT_FOUND));
    EXPECT_FALSE(SetDlgItemText(dlg, 77, "x"));
    BOOL ok = TRUE;
    EXPECT_EQ(GetDlgItemInt(dlg, 77, &ok, TRUE), 0u);
    EXPECT_FALSE(ok);
    SetDlgItemText(dlg, 5, " -12 ");
    EXPECT_EQ(static_cast<int>(GetDlgItemInt(dlg, 5, &ok, TRUE)), -12);
    EXPECT_TRUE(ok);
    EXPECT_EQ(GetDlgItemInt(dlg, 5, &ok, FALSE), 0u);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(DestroyWindow(dlg));
    EXPECT_FALSE(EndDialog(dlg, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(SendDlgItemMessage(dlg, 5, WM_GETTEXTLENGTH, 0, 0), 0);
}

}  // namespace
