// Property sheets: pages made when first shown, Apply reaching every page
// made, a page that refuses its data keeping the sheet open on it, Cancel
// telling every page, and the sheet messages pages send.
#include <vector>

#include "platform/user/commctrl.h"
#include "tests/platform/user/ui_test.h"

namespace {

struct PageLog {
    const char* name;
    std::vector<UINT> heard;  // PSN_* codes
    LRESULT applyAnswer = PSNRET_NOERROR;
    BOOL killAnswer = FALSE;
};

INT_PTR CALLBACK PageProc(HWND page, UINT msg, WPARAM, LPARAM lParam)
{
    if (msg == WM_INITDIALOG) {
        auto* psp = reinterpret_cast<PROPSHEETPAGEA*>(lParam);
        SetWindowLongPtr(page, DWLP_USER, psp->lParam);
        return TRUE;
    }
    auto* log = reinterpret_cast<PageLog*>(GetWindowLongPtr(page, DWLP_USER));
    if (msg == WM_NOTIFY && log) {
        const UINT code = reinterpret_cast<NMHDR*>(lParam)->code;
        log->heard.push_back(code);
        if (code == PSN_APPLY) SetWindowLongPtr(page, DWLP_MSGRESULT, log->applyAnswer);
        if (code == PSN_KILLACTIVE) SetWindowLongPtr(page, DWLP_MSGRESULT, log->killAnswer);
        return TRUE;
    }
    if (msg == PSM_QUERYSIBLINGS && log) {
        SetWindowLongPtr(page, DWLP_MSGRESULT, log->name[0] == 'S' ? 77 : 0);
        return TRUE;
    }
    return FALSE;
}

const DLGITEM kGeneralItems[] = {{"Button", "&Enabled", 10, WS_TABSTOP | BS_AUTOCHECKBOX, 7, 7, 80, 10, 0}};
const DLGITEM kScsiItems[] = {{"Edit", "", 20, WS_TABSTOP | WS_BORDER, 7, 7, 80, 14, 0}};
const DLGTEMPLATEA kGeneral = {201, "General", WS_CHILD | DS_CONTROL, 0, 0, 200, 120, kGeneralItems, 1, 0, nullptr};
const DLGTEMPLATEA kScsi = {202, "SCSI", WS_CHILD | DS_CONTROL, 0, 0, 210, 100, kScsiItems, 1, 0, nullptr};

class SheetTest : public ::testing::Test {
protected:
    INT_PTR Run(std::vector<user::script::Step> steps)
    {
        PROPSHEETPAGEA pages[2] = {};
        const DLGTEMPLATEA* templates[2] = {&kGeneral, &kScsi};
        PageLog* logs[2] = {&general, &scsi};
        for (int i = 0; i < 2; ++i) {
            pages[i].dwSize = sizeof(PROPSHEETPAGEA);
            pages[i].dwFlags = PSP_DLGINDIRECT;
            pages[i].pResource = templates[i];
            pages[i].pfnDlgProc = PageProc;
            pages[i].lParam = reinterpret_cast<LPARAM>(logs[i]);
        }
        PROPSHEETHEADERA header{sizeof header, PSH_PROPSHEETPAGE, nullptr, nullptr, nullptr, "Hardware", 2, 0, pages, nullptr, nullptr};
        user::script::SetIdleSteps(std::move(steps));
        return PropertySheet(&header);
    }
    static HWND Page(HWND sheet) { return reinterpret_cast<HWND>(SendMessage(sheet, PSM_GETCURRENTPAGEHWND, 0, 0)); }
    static HWND Tab(HWND sheet) { return reinterpret_cast<HWND>(SendMessage(sheet, PSM_GETTABCONTROL, 0, 0)); }
    PageLog general{"General", {}}, scsi{"SCSI", {}};
};

TEST_F(SheetTest, ApplyReachesEveryPageMadeAndOkEnds)
{
    const INT_PTR r = Run({
        [&](HWND sheet) {
            char caption[32];
            GetWindowText(sheet, caption, sizeof caption);
            EXPECT_STREQ(caption, "Hardware");
            EXPECT_EQ(SendMessage(Tab(sheet), TCM_GETITEMCOUNT, 0, 0), 2);
            // Apply is off until a page says it changed.
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(sheet, ID_APPLY_NOW)));
            EXPECT_TRUE(scsi.heard.empty());  // not shown yet, not made
            ASSERT_TRUE(user::script::Choose(Tab(sheet), 1));
            SendMessage(sheet, PSM_CHANGED, reinterpret_cast<WPARAM>(Page(sheet)), 0);
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(sheet, ID_APPLY_NOW)));
            EXPECT_EQ(SendMessage(sheet, PSM_QUERYSIBLINGS, 1, 2), 77);
            user::script::Click(GetDlgItem(sheet, ID_APPLY_NOW));
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(sheet, ID_APPLY_NOW)));
            EXPECT_FALSE(user::Snapshot(sheet, "test-property-sheet").empty());
        },
        [&](HWND sheet) { user::script::Click(GetDlgItem(sheet, IDOK)); },
    });
    EXPECT_EQ(r, 1);
    EXPECT_EQ(general.heard, (std::vector<UINT>{PSN_SETACTIVE, PSN_KILLACTIVE, PSN_APPLY, PSN_APPLY}));
    EXPECT_EQ(scsi.heard, (std::vector<UINT>{PSN_SETACTIVE, PSN_KILLACTIVE, PSN_APPLY, PSN_KILLACTIVE, PSN_APPLY}));
}

TEST_F(SheetTest, APageThatRefusesItsDataKeepsTheSheetOpenOnIt)
{
    general.applyAnswer = PSNRET_INVALID_NOCHANGEPAGE;
    int stillOpen = 0;
    const INT_PTR r = Run({
        [&](HWND sheet) {
            user::script::Choose(Tab(sheet), 1);
            user::script::Click(GetDlgItem(sheet, IDOK));
        },
        [&](HWND sheet) {
            // Still here, back on the page that refused.
            ++stillOpen;
            EXPECT_EQ(SendMessage(Tab(sheet), TCM_GETCURSEL, 0, 0), 0);
            general.applyAnswer = PSNRET_NOERROR;
            // A page that will not be left keeps its tab.
            general.killAnswer = TRUE;
            EXPECT_FALSE(user::script::Choose(Tab(sheet), 1));
            general.killAnswer = FALSE;
            // PSM_PRESSBUTTON presses OK as a user would.
            SendMessage(sheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
        },
    });
    EXPECT_EQ(stillOpen, 1);
    EXPECT_EQ(r, 1);
}

TEST_F(SheetTest, CancelResetsEveryPageMade)
{
    const INT_PTR r = Run({[&](HWND sheet) {
        user::script::Choose(Tab(sheet), 1);
        user::script::Key(VK_ESCAPE);
    }});
    EXPECT_EQ(r, 0);
    EXPECT_EQ(general.heard.back(), PSN_RESET);
    EXPECT_EQ(scsi.heard.back(), PSN_RESET);
    EXPECT_EQ(std::count(general.heard.begin(), general.heard.end(), PSN_APPLY), 0);
}

TEST(Sheet, BadHeadersAndMissingTemplatesAreRefused)
{
    EXPECT_EQ(PropertySheet(nullptr), -1);
    PROPSHEETPAGEA page{};
    page.dwSize = sizeof page;
    page.hInstance = reinterpret_cast<HINSTANCE>(0x1234);
    page.pszTemplate = MAKEINTRESOURCE(4242);
    page.pfnDlgProc = PageProc;
    PROPSHEETHEADERA header{sizeof header, PSH_PROPSHEETPAGE, nullptr, nullptr, nullptr, "x", 1, 0, &page, nullptr, nullptr};
    EXPECT_EQ(PropertySheet(&header), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    header.nPages = 0;
    EXPECT_EQ(PropertySheet(&header), -1);
}

}  // namespace
