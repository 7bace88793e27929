// The dialog and property-sheet classes: data exchange on OK and not on
// Cancel, a check that refuses keeping the dialog open, routing by id,
// a sheet's pages applied together, and the application's profile.
#include "platform/ui/app.h"
#include "platform/ui/propsheet.h"
#include "tests/platform/user/ui_test.h"

namespace {

HINSTANCE Module() { return reinterpret_cast<HINSTANCE>(0x500000); }

enum { kName = 1001, kLevel = 1002, kMute = 1003, kRoute = 1004, kLeft = 1005, kRight = 1006 };

const DLGITEM kMixerItems[] = {
    {"Edit", "", kName, WS_TABSTOP | WS_BORDER, 7, 7, 100, 14, 0},
    {"Edit", "", kLevel, WS_TABSTOP | WS_BORDER, 7, 25, 40, 14, 0},
    {"Button", "&Mute", kMute, WS_TABSTOP | BS_AUTOCHECKBOX, 7, 43, 60, 10, 0},
    {"Button", "&Left", kLeft, WS_TABSTOP | WS_GROUP | BS_AUTORADIOBUTTON, 7, 56, 40, 10, 0},
    {"Button", "&Right", kRight, BS_AUTORADIOBUTTON, 50, 56, 40, 10, 0},
    {"Button", "Reset", kRoute, WS_TABSTOP | WS_GROUP, 110, 7, 50, 14, 0},
    {"Button", "OK", IDOK, WS_TABSTOP | BS_DEFPUSHBUTTON, 110, 60, 50, 14, 0},
    {"Button", "Cancel", IDCANCEL, WS_TABSTOP, 110, 78, 50, 14, 0},
};
const DLGTEMPLATEA kMixer = {300, "Mixer", WS_POPUP | WS_CAPTION | DS_MODALFRAME, 0, 0, 170, 100, kMixerItems,
                             static_cast<int>(std::size(kMixerItems)), 0, nullptr};

class CMixerDlg : public CDialog {
public:
    explicit CMixerDlg(CWnd* parent = nullptr) : CDialog(300, parent)
    {
        OnCommandRoute(kRoute, BN_CLICKED, [this] {
            ++resets;
            SetDlgItemText(kLevel, "0");
        });
    }
    void DoDataExchange(CDataExchange* dx) override
    {
        DDX_Text(dx, kName, m_name);
        DDX_Text(dx, kLevel, m_level);
        DDV_MinMaxInt(dx, m_level, -96, 12);
        DDX_Check(dx, kMute, m_mute);
        DDX_Radio(dx, kLeft, m_side);
    }
    std::string m_name = "Track 1";
    int m_level = -6;
    int m_mute = 0;
    int m_side = 0;
    int resets = 0;
};

class ClassesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CDialog::SetResourceModule(Module());
        RegisterDialogTemplate(Module(), &kMixer);
    }
};

TEST_F(ClassesTest, OkExchangesTheDataAndCancelLeavesIt)
{
    CMixerDlg dlg;
    user::script::SetIdleSteps({[&](HWND hwnd) {
        // The controls show the members.
        EXPECT_EQ(user::script::Text(GetDlgItem(hwnd, kName)), "Track 1");
        EXPECT_EQ(user::script::Text(GetDlgItem(hwnd, kLevel)), "-6");
        EXPECT_EQ(IsDlgButtonChecked(hwnd, kLeft), BST_CHECKED);
        EXPECT_EQ(CWnd::FromHandlePermanent(hwnd), &dlg);
        user::script::Type(GetDlgItem(hwnd, kName), "Voice");
        user::script::Click(GetDlgItem(hwnd, kRoute));  // routed by id
        user::script::Click(GetDlgItem(hwnd, kMute));
        user::script::Click(GetDlgItem(hwnd, kRight));
        user::script::Click(GetDlgItem(hwnd, IDOK));
    }});
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(dlg.m_name, "Voice");
    EXPECT_EQ(dlg.m_level, 0);
    EXPECT_EQ(dlg.m_mute, 1);
    EXPECT_EQ(dlg.m_side, 1);
    EXPECT_EQ(dlg.resets, 1);
    EXPECT_EQ(dlg.m_hWnd, nullptr);

    CMixerDlg cancelled;
    user::script::SetIdleSteps({[&](HWND hwnd) {
        user::script::Type(GetDlgItem(hwnd, kName), "Other");
        user::script::Click(GetDlgItem(hwnd, IDCANCEL));
    }});
    EXPECT_EQ(cancelled.DoModal(), IDCANCEL);
    EXPECT_EQ(cancelled.m_name, "Track 1");
}

TEST_F(ClassesTest, ACheckThatRefusesKeepsTheDialogOpenOnTheControl)
{
    CMixerDlg dlg;
    std::string said;
    user::script::SetIdleSteps({
        [&](HWND hwnd) {
            SetDlgItemText(hwnd, kLevel, "40");  // above the +12 the check allows
            user::script::Click(GetDlgItem(hwnd, IDOK));
        },
        [&](HWND box) {
            said = user::script::Text(GetDlgItem(box, 0xFFFF));
            user::script::Click(GetDlgItem(box, IDOK));
        },
        [&](HWND hwnd) {
            EXPECT_EQ(GetFocus(), GetDlgItem(hwnd, kLevel));
            SetDlgItemText(hwnd, kLevel, "abc");
            user::script::Click(GetDlgItem(hwnd, IDOK));
        },
        [&](HWND box) { user::script::Click(GetDlgItem(box, IDOK)); },
        [&](HWND hwnd) {
            SetDlgItemText(hwnd, kLevel, "12");
            user::script::Click(GetDlgItem(hwnd, IDOK));
        },
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(said, "Please enter a whole number from -96 to 12.");
    EXPECT_EQ(dlg.m_level, 12);
    EXPECT_EQ(user::script::PendingSteps(), 0);
}

// Two pages of a sheet; the first refuses to be applied while told to.
const DLGITEM kPageAItems[] = {{"Edit", "", kName, WS_TABSTOP | WS_BORDER, 7, 7, 100, 14, 0}};
const DLGITEM kPageBItems[] = {{"Button", "&Mute", kMute, WS_TABSTOP | BS_AUTOCHECKBOX, 7, 7, 60, 10, 0}};
const DLGTEMPLATEA kPageA = {310, "General", WS_CHILD | DS_CONTROL, 0, 0, 180, 90, kPageAItems, 1, 0, nullptr};
const DLGTEMPLATEA kPageB = {311, "Audio", WS_CHILD | DS_CONTROL, 0, 0, 180, 90, kPageBItems, 1, 0, nullptr};

class CGeneralPage : public CPropertyPage {
public:
    CGeneralPage() : CPropertyPage(310) {}
    void DoDataExchange(CDataExchange* dx) override { DDX_Text(dx, kName, m_name); }
    BOOL OnApply() override
    {
        ++applied;
        return !refuse;
    }
    std::string m_name = "Board";
    int applied = 0;
    bool refuse = false;
};

class CAudioPage : public CPropertyPage {
public:
    CAudioPage() : CPropertyPage(311) {}
    BOOL OnInitDialog() override
    {
        CPropertyPage::OnInitDialog();
        OnCommandRoute(kMute, BN_CLICKED, [this] { SetModified(TRUE); });
        return TRUE;
    }
    void DoDataExchange(CDataExchange* dx) override { DDX_Check(dx, kMute, m_mute); }
    BOOL OnApply() override
    {
        ++applied;
        return TRUE;
    }
    int m_mute = 0;
    int applied = 0;
};

class CBoardSheet : public CPropertySheet {
public:
    CBoardSheet() : CPropertySheet("Hardware") {}
    BOOL OnInitDialog() override
    {
        // The sheet's own start: its tab control and buttons are there.
        initTabs = GetTabControl() ? GetTabControl()->GetItemCount() : -1;
        return TRUE;
    }
    int initTabs = 0;
};

TEST_F(ClassesTest, ApplyReachesBothPagesAndARefusalKeepsTheSheetOpen)
{
    RegisterDialogTemplate(Module(), &kPageA);
    RegisterDialogTemplate(Module(), &kPageB);
    CGeneralPage general;
    CAudioPage audio;
    CBoardSheet sheet;
    sheet.AddPage(&general);
    sheet.AddPage(&audio);
    general.refuse = true;
    int steps = 0;
    user::script::SetIdleSteps({
        [&](HWND hwnd) {
            ++steps;
            EXPECT_EQ(sheet.m_hWnd, hwnd);
            user::script::Type(GetDlgItem(general.m_hWnd, kName), "Board 2");
            ASSERT_TRUE(user::script::Choose(sheet.GetTabControl()->m_hWnd, 1));
            user::script::Click(GetDlgItem(audio.m_hWnd, kMute));
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hwnd, ID_APPLY_NOW)));  // SetModified
            user::script::Click(GetDlgItem(hwnd, IDOK));
        },
        [&](HWND) {
            // The general page refused: the sheet is still open, on it.
            ++steps;
            EXPECT_EQ(sheet.GetActivePage(), &general);
            general.refuse = false;
            sheet.PressButton(PSBTN_OK);
        },
    });
    EXPECT_EQ(sheet.DoModal(), IDOK);
    EXPECT_EQ(steps, 2);
    EXPECT_EQ(sheet.initTabs, 2);
    EXPECT_EQ(general.applied, 2);
    EXPECT_EQ(audio.applied, 1);  // the second OK went no further than the refusing page the first time
    EXPECT_EQ(general.m_name, "Board 2");
    EXPECT_EQ(audio.m_mute, 1);
}

// A list that draws its own rows and a link that picks its own colours,
// both told by reflection from their dialog.
class CRowList : public CListCtrl {
public:
    CRowList() { OnReflectRoute(LVN_ITEMCHANGED, [this](NMHDR*) { return ++changes, 0; }); }
    void DrawItem(LPDRAWITEMSTRUCT dis) override
    {
        rows.push_back(dis->itemID);
        FillRect(dis->hDC, &dis->rcItem, GetSysColorBrush(COLOR_INFOBK));
    }
    std::vector<UINT> rows;
    int changes = 0;
};

class CLink : public CStatic {
public:
    HBRUSH CtlColor(HDC dc, UINT) override
    {
        SetTextColor(dc, RGB(0, 0, 255));
        return brush;
    }
    CBrush brush{RGB(255, 255, 224)};
};

const DLGITEM kReflectItems[] = {
    {WC_LISTVIEW, "", 1108, LVS_REPORT | LVS_OWNERDRAWFIXED | LVS_SHOWSELALWAYS, 7, 7, 120, 60, 0},
    {"Static", "www.example.org", 1067, SS_NOTIFY, 7, 75, 120, 10, 0},
};
const DLGTEMPLATEA kReflect = {320, "Reflect", WS_POPUP | WS_CAPTION, 0, 0, 140, 90, kReflectItems, 2, 0, nullptr};

class CReflectDlg : public CDialog {
public:
    CReflectDlg() : CDialog(320) {}
    void DoDataExchange(CDataExchange* dx) override
    {
        DDX_Control(dx, 1108, list);
        DDX_Control(dx, 1067, link);
    }
    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        list.InsertColumn(0, "Id", LVCFMT_LEFT, 60);
        for (const char* id : {"0", "1", "2"}) list.InsertItem(list.GetItemCount(), id);
        return TRUE;
    }
    CRowList list;
    CLink link;
};

TEST_F(ClassesTest, ControlsHandleWhatTheirParentIsToldByReflection)
{
    RegisterDialogTemplate(Module(), &kReflect);
    CReflectDlg dlg;
    user::script::SetIdleSteps({[&](HWND hwnd) {
        UpdateWindow(hwnd);
        EXPECT_EQ(dlg.list.rows, (std::vector<UINT>{0, 1, 2}));
        ASSERT_TRUE(user::script::Choose(dlg.list.m_hWnd, 1));
        EXPECT_GE(dlg.list.changes, 1);
        // The link's own background, not the dialog's.
        EXPECT_EQ(user::WindowPixel(dlg.link.m_hWnd, 118, 5), RGB(255, 255, 224));
        EndDialog(hwnd, IDOK);
    }});
    EXPECT_EQ(dlg.DoModal(), IDOK);
}

TEST_F(ClassesTest, TheApplicationKeepsItsProfileUnderItsRegistryKey)
{
    CWinApp app("Solvane Hardware Manager");
    EXPECT_EQ(AfxGetApp(), &app);
    EXPECT_EQ(app.GetProfileInt("Window", "Left", 7), 7u);  // no key set: the default
    app.SetRegistryKey("KIV");
    EXPECT_TRUE(app.WriteProfileInt("Window", "Left", 120));
    EXPECT_EQ(app.GetProfileInt("Window", "Left", 7), 120u);
    EXPECT_TRUE(app.WriteProfileString("Window", "Board", "Device 2"));
    EXPECT_EQ(app.GetProfileString("Window", "Board"), "Device 2");
    EXPECT_EQ(app.GetProfileString("Window", "Missing", "none"), "none");
}

}  // namespace
