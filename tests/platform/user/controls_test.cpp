// The common controls keep their state and tell their parent: a list view
// in report view (columns, sorting, owner draw, owner data, full-row
// select), a tree, a trackbar, a tab control, an up-down and a progress bar.
#include <cstring>
#include <vector>

#include "platform/user/commctrl.h"
#include "tests/platform/user/ui_test.h"

namespace {

// What the parent heard.
struct Heard {
    std::vector<UINT> notifications;   // WM_NOTIFY codes
    std::vector<int> changed;          // LVN_ITEMCHANGED items whose selection changed
    std::vector<std::pair<UINT, int>> scrolls;  // WM_HSCROLL code and position
    std::vector<RECT> drawn;           // WM_DRAWITEM rectangles
    std::vector<UINT> drawnItems;
    bool refuseTabChange = false;
    std::vector<std::string> treeSelections;
};
Heard* heard = nullptr;

LRESULT CALLBACK ParentProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_NOTIFY: {
        auto* nm = reinterpret_cast<NMHDR*>(lParam);
        heard->notifications.push_back(nm->code);
        if (nm->code == LVN_ITEMCHANGED) {
            auto* lv = reinterpret_cast<NMLISTVIEW*>(lParam);
            if ((lv->uNewState ^ lv->uOldState) & LVIS_SELECTED) heard->changed.push_back(lv->iItem);
        }
        if (nm->code == LVN_GETDISPINFOA) {
            auto* info = reinterpret_cast<NMLVDISPINFOA*>(lParam);
            std::snprintf(info->item.pszText, info->item.cchTextMax, "row %d col %d", info->item.iItem, info->item.iSubItem);
        }
        if (nm->code == TCN_SELCHANGING) return heard->refuseTabChange;
        if (nm->code == TVN_SELCHANGEDA) {
            auto* tv = reinterpret_cast<NMTREEVIEWA*>(lParam);
            char text[32] = {};
            TVITEMA item{TVIF_TEXT, tv->itemNew.hItem, 0, 0, text, sizeof text, 0, 0, 0, 0};
            SendMessage(nm->hwndFrom, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
            heard->treeSelections.push_back(text);
        }
        return 0;
    }
    case WM_HSCROLL: heard->scrolls.push_back({LOWORD(wParam), static_cast<short>(HIWORD(wParam))}); return 0;
    case WM_DRAWITEM: {
        auto* dis = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
        heard->drawn.push_back(dis->rcItem);
        heard->drawnItems.push_back(dis->itemID);
        HBRUSH b = CreateSolidBrush((dis->itemState & ODS_SELECTED) ? RGB(0, 128, 0) : RGB(200, 0, 0));
        FillRect(dis->hDC, &dis->rcItem, b);
        DeleteObject(b);
        return TRUE;
    }
    case WM_MEASUREITEM: reinterpret_cast<MEASUREITEMSTRUCT*>(lParam)->itemHeight = 20; return TRUE;
    case WM_CTLCOLORSTATIC:
        if (GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) == 7) {
            // A static of its own colours: yellow on dark blue.
            static HBRUSH navy = CreateSolidBrush(RGB(0, 0, 96));
            SetTextColor(reinterpret_cast<HDC>(wParam), RGB(255, 255, 0));
            return reinterpret_cast<LRESULT>(navy);
        }
        return DefWindowProc(hwnd, msg, wParam, lParam);
    default: return DefWindowProc(hwnd, msg, wParam, lParam);
    }
}

class ControlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        WNDCLASS wc{};
        wc.lpfnWndProc = ParentProc;
        wc.lpszClassName = "ControlsParent";
        wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
        RegisterClass(&wc);
    }
    void SetUp() override
    {
        heard = &log;
        parent = CreateWindowEx(0, "ControlsParent", "Controls", WS_POPUP | WS_CAPTION | WS_VISIBLE, 10, 10, 500, 400, nullptr,
                                nullptr, nullptr, nullptr);
    }
    void TearDown() override
    {
        DestroyWindow(parent);
        heard = nullptr;
    }
    HWND Make(const char* cls, DWORD style, int x, int y, int w, int h, int id = 100)
    {
        return CreateWindowEx(0, cls, "", WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
    }
    HWND MakeReport(DWORD style)
    {
        HWND list = Make(WC_LISTVIEW, LVS_REPORT | style, 0, 0, 300, 200);
        const char* names[] = {"Name", "Size", "Date"};
        for (int c = 0; c < 3; ++c) {
            LVCOLUMNA col{LVCF_TEXT | LVCF_WIDTH | LVCF_FMT, c == 1 ? LVCFMT_RIGHT : LVCFMT_LEFT, 80, const_cast<char*>(names[c]), 0, 0};
            EXPECT_EQ(SendMessage(list, LVM_INSERTCOLUMNA, c, reinterpret_cast<LPARAM>(&col)), c);
        }
        return list;
    }
    static void AddRow(HWND list, int at, const char* name, const char* size, LPARAM param)
    {
        LVITEMA item{LVIF_TEXT | LVIF_PARAM, at, 0, 0, 0, const_cast<char*>(name), 0, 0, param, 0};
        const int row = static_cast<int>(SendMessage(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
        LVITEMA sub{LVIF_TEXT, row, 1, 0, 0, const_cast<char*>(size), 0, 0, 0, 0};
        SendMessage(list, LVM_SETITEMTEXTA, row, reinterpret_cast<LPARAM>(&sub));
    }
    static std::string Cell(HWND list, int row, int sub)
    {
        char text[64] = {};
        LVITEMA item{LVIF_TEXT, row, sub, 0, 0, text, sizeof text, 0, 0, 0};
        SendMessage(list, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
        return text;
    }
    Heard log;
    HWND parent = nullptr;
};

int CALLBACK BySizeDescending(LPARAM a, LPARAM b, LPARAM) { return static_cast<int>(b - a); }

TEST_F(ControlsTest, ReportListKeepsColumnsAndSortsByTheCallersComparison)
{
    HWND list = MakeReport(LVS_SINGLESEL | LVS_SHOWSELALWAYS);
    HWND header = reinterpret_cast<HWND>(SendMessage(list, LVM_GETHEADER, 0, 0));
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(SendMessage(header, HDM_GETITEMCOUNT, 0, 0), 3);
    // The header's items are the columns: read, resized, and placed side by side.
    char heading[16] = {};
    HDITEMA hd{HDI_TEXT | HDI_WIDTH | HDI_FORMAT, 0, heading, nullptr, sizeof heading, 0, 0};
    ASSERT_TRUE(SendMessage(header, HDM_GETITEMA, 1, reinterpret_cast<LPARAM>(&hd)));
    EXPECT_STREQ(heading, "Size");
    EXPECT_EQ(hd.cxy, 80);
    EXPECT_EQ(hd.fmt & 3, HDF_RIGHT);
    hd.mask = HDI_WIDTH;
    hd.cxy = 100;
    SendMessage(header, HDM_SETITEMA, 1, reinterpret_cast<LPARAM>(&hd));
    EXPECT_EQ(SendMessage(list, LVM_GETCOLUMNWIDTH, 1, 0), 100);
    RECT third;
    SendMessage(header, HDM_GETITEMRECT, 2, reinterpret_cast<LPARAM>(&third));
    EXPECT_EQ(third.left, 180);
    EXPECT_FALSE(SendMessage(header, HDM_GETITEMA, 7, reinterpret_cast<LPARAM>(&hd)));
    AddRow(list, 0, "clip-a", "10", 10);
    AddRow(list, 1, "clip-b", "30", 30);
    AddRow(list, 2, "clip-c", "20", 20);
    EXPECT_EQ(SendMessage(list, LVM_GETITEMCOUNT, 0, 0), 3);
    EXPECT_EQ(Cell(list, 1, 1), "30");
    EXPECT_TRUE(SendMessage(list, LVM_SORTITEMS, 0, reinterpret_cast<LPARAM>(BySizeDescending)));
    EXPECT_EQ(Cell(list, 0, 0), "clip-b");
    EXPECT_EQ(Cell(list, 1, 0), "clip-c");
    EXPECT_EQ(Cell(list, 2, 1), "10");
    // A click on a column header asks the parent to sort.
    ASSERT_TRUE(user::script::Click(header));
    EXPECT_NE(std::find(log.notifications.begin(), log.notifications.end(), LVN_COLUMNCLICK), log.notifications.end());
    // Choosing rows: each change deselects the last, with the notifications.
    log.changed.clear();
    ASSERT_TRUE(user::script::Choose(list, 2));
    ASSERT_TRUE(user::script::Choose(list, 0));
    EXPECT_EQ(log.changed, (std::vector<int>{2, 2, 0}));
    EXPECT_EQ(SendMessage(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED), 0);
    EXPECT_EQ(SendMessage(list, LVM_GETSELECTEDCOUNT, 0, 0), 1);
    // Bad indexes get FALSE or -1, not a crash.
    EXPECT_EQ(SendMessage(list, LVM_GETITEMTEXTA, 9, 0), 0);
    EXPECT_FALSE(SendMessage(list, LVM_DELETEITEM, 9, 0));
    EXPECT_EQ(SendMessage(list, LVM_INSERTCOLUMNA, 0, 0), -1);
    EXPECT_EQ(Cell(list, 9, 0), "");
}

TEST_F(ControlsTest, FullRowSelectTakesAClickAnywhereInTheRow)
{
    for (bool fullRow : {false, true}) {
        HWND list = MakeReport(0);
        SendMessage(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, fullRow ? LVS_EX_FULLROWSELECT : 0);
        AddRow(list, 0, "a", "1", 1);
        RECT row;
        row.left = LVIR_BOUNDS;
        SendMessage(list, LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&row));
        user::script::ClickAt(list, POINT{200, (row.top + row.bottom) / 2});  // in the third column
        EXPECT_EQ(SendMessage(list, LVM_GETITEMSTATE, 0, LVIS_SELECTED) != 0, fullRow);
        DestroyWindow(list);
    }
}

TEST_F(ControlsTest, OwnerDrawnRowsAreDrawnByTheParentAtTheirHeight)
{
    HWND list = MakeReport(LVS_OWNERDRAWFIXED);
    for (int i = 0; i < 3; ++i) AddRow(list, i, "x", "1", i);
    user::script::Choose(list, 1);
    log.drawn.clear();
    UpdateWindow(list);
    ASSERT_EQ(log.drawn.size(), 3u);
    EXPECT_EQ(log.drawnItems, (std::vector<UINT>{0, 1, 2}));
    // Rows of the measured 20 pixels below the 20-pixel header, as wide as the columns.
    EXPECT_EQ(log.drawn[1].top, 40);
    EXPECT_EQ(log.drawn[1].bottom, 60);
    EXPECT_EQ(log.drawn[1].right, 240);
    // What the parent drew is in the picture: the selected row green.
    EXPECT_EQ(user::WindowPixel(list, 100, 50), RGB(0, 128, 0));
    EXPECT_EQ(user::WindowPixel(list, 100, 30), RGB(200, 0, 0));
}

TEST_F(ControlsTest, OwnerDataAsksTheParentForTexts)
{
    HWND list = MakeReport(LVS_OWNERDATA);
    SendMessage(list, LVM_SETITEMCOUNT, 100000, 0);
    EXPECT_EQ(SendMessage(list, LVM_GETITEMCOUNT, 0, 0), 100000);
    EXPECT_EQ(Cell(list, 99999, 2), "row 99999 col 2");
    ASSERT_TRUE(user::script::Choose(list, 5000));
    EXPECT_EQ(SendMessage(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED), 5000);
    EXPECT_FALSE(user::Snapshot(parent, "test-owner-data").empty());
}

TEST_F(ControlsTest, TreeExpandsSelectsAndRefusesStaleItems)
{
    HWND tree = Make(WC_TREEVIEW, TVS_HASBUTTONS | TVS_LINESATROOT | TVS_SHOWSELALWAYS, 0, 0, 200, 200);
    auto insert = [&](HTREEITEM parentItem, const char* text, HTREEITEM after = TVI_LAST) {
        TVINSERTSTRUCTA ins{parentItem, after, {TVIF_TEXT, nullptr, 0, 0, const_cast<char*>(text), 0, 0, 0, 0, 0}};
        return reinterpret_cast<HTREEITEM>(SendMessage(tree, TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&ins)));
    };
    HTREEITEM board = insert(TVI_ROOT, "Board 0");
    HTREEITEM drive1 = insert(board, "Drive 1");
    insert(board, "Drive 0", TVI_FIRST);
    HTREEITEM other = insert(TVI_ROOT, "Board 1");
    EXPECT_EQ(SendMessage(tree, TVM_GETCOUNT, 0, 0), 4);
    HTREEITEM first = reinterpret_cast<HTREEITEM>(SendMessage(tree, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(board)));
    char text[16];
    TVITEMA item{TVIF_TEXT, first, 0, 0, text, sizeof text, 0, 0, 0, 0};
    SendMessage(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    EXPECT_STREQ(text, "Drive 0");
    // Collapsed, the rows are the two boards; a click on the second selects it.
    ASSERT_TRUE(user::script::Choose(tree, 1));
    EXPECT_EQ(SendMessage(tree, TVM_GETNEXTITEM, TVGN_CARET, 0), reinterpret_cast<LRESULT>(other));
    // Expanding shows the drives under board 0: row 2 is now "Drive 1".
    SendMessage(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(board));
    ASSERT_TRUE(user::script::Choose(tree, 2));
    EXPECT_EQ(log.treeSelections, (std::vector<std::string>{"Board 1", "Drive 1"}));
    // Collapsing over the selection moves it up to the collapsed item.
    SendMessage(tree, TVM_EXPAND, TVE_COLLAPSE, reinterpret_cast<LPARAM>(board));
    EXPECT_EQ(SendMessage(tree, TVM_GETNEXTITEM, TVGN_CARET, 0), reinterpret_cast<LRESULT>(board));
    // A deleted item's handle is refused.
    EXPECT_TRUE(SendMessage(tree, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(drive1)));
    item.hItem = drive1;
    EXPECT_FALSE(SendMessage(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item)));
    EXPECT_FALSE(SendMessage(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(drive1)));
    EXPECT_EQ(SendMessage(tree, TVM_GETCOUNT, 0, 0), 3);
    SendMessage(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(board));
    EXPECT_FALSE(user::Snapshot(parent, "test-tree").empty());
}

TEST_F(ControlsTest, TrackbarTellsItsParentEveryMove)
{
    HWND track = Make(TRACKBAR_CLASS, TBS_AUTOTICKS, 0, 0, 200, 30);
    SendMessage(track, TBM_SETRANGE, FALSE, MAKELPARAM(0, 255));
    SendMessage(track, TBM_SETPOS, TRUE, 128);
    SendMessage(track, TBM_SETPAGESIZE, 0, 16);
    EXPECT_EQ(SendMessage(track, TBM_GETPOS, 0, 0), 128);
    EXPECT_TRUE(log.scrolls.empty());  // set by the program: no notification
    SetFocus(track);
    SendMessage(track, WM_KEYDOWN, VK_RIGHT, 0);
    SendMessage(track, WM_KEYDOWN, VK_NEXT, 0);
    SendMessage(track, WM_KEYDOWN, VK_END, 0);
    ASSERT_TRUE(user::script::Drag(track, 300));  // past the end: stops at 255... then
    ASSERT_TRUE(user::script::Drag(track, 40));
    const std::vector<std::pair<UINT, int>> expected{
        {TB_LINEDOWN, 129},      {TB_ENDTRACK, 0},      {TB_PAGEDOWN, 145}, {TB_ENDTRACK, 0},
        {TB_BOTTOM, 255},        {TB_ENDTRACK, 0},      {TB_THUMBTRACK, 255}, {TB_THUMBPOSITION, 255},
        {TB_ENDTRACK, 0},        {TB_THUMBTRACK, 40},   {TB_THUMBPOSITION, 40}, {TB_ENDTRACK, 0},
    };
    EXPECT_EQ(log.scrolls, expected);
    EXPECT_EQ(SendMessage(track, TBM_GETPOS, 0, 0), 40);
}

TEST_F(ControlsTest, TabChangesAskTheParentFirst)
{
    HWND tab = Make(WC_TABCONTROL, 0, 0, 0, 300, 100);
    for (const char* t : {"Device 0", "Device 2"}) {
        TCITEMA item{TCIF_TEXT, 0, 0, const_cast<char*>(t), 0, -1, 0};
        SendMessage(tab, TCM_INSERTITEMA, SendMessage(tab, TCM_GETITEMCOUNT, 0, 0), reinterpret_cast<LPARAM>(&item));
    }
    EXPECT_EQ(SendMessage(tab, TCM_GETCURSEL, 0, 0), 0);
    log.refuseTabChange = true;
    EXPECT_FALSE(user::script::Choose(tab, 1));
    EXPECT_EQ(SendMessage(tab, TCM_GETCURSEL, 0, 0), 0);
    log.refuseTabChange = false;
    log.notifications.clear();
    EXPECT_TRUE(user::script::Choose(tab, 1));
    EXPECT_EQ(log.notifications, (std::vector<UINT>{TCN_SELCHANGING, TCN_SELCHANGE, NM_CLICK}));
    char text[16];
    TCITEMA item{TCIF_TEXT, 0, 0, text, sizeof text, 0, 0};
    SendMessage(tab, TCM_GETITEMA, 1, reinterpret_cast<LPARAM>(&item));
    EXPECT_STREQ(text, "Device 2");
    EXPECT_FALSE(SendMessage(tab, TCM_GETITEMA, 5, reinterpret_cast<LPARAM>(&item)));
}

TEST_F(ControlsTest, UpDownStepsItsBuddyAndProgressClampsItsPosition)
{
    HWND edit = Make("Edit", WS_BORDER, 10, 10, 60, 20, 1);
    HWND spin = Make(UPDOWN_CLASS, UDS_AUTOBUDDY | UDS_SETBUDDYINT | UDS_ALIGNRIGHT, 0, 0, 10, 10, 2);
    EXPECT_EQ(reinterpret_cast<HWND>(SendMessage(spin, UDM_GETBUDDY, 0, 0)), edit);
    SendMessage(spin, UDM_SETRANGE32, 0, 10);
    SendMessage(spin, UDM_SETPOS32, 0, 9);
    ASSERT_TRUE(user::script::Drag(spin, 10));
    EXPECT_EQ(user::script::Text(edit), "10");
    SendMessage(spin, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(1, 1));  // up, at the top: stays
    EXPECT_EQ(SendMessage(spin, UDM_GETPOS32, 0, 0), 10);
    EXPECT_EQ(std::count(log.notifications.begin(), log.notifications.end(), UDN_DELTAPOS), 2);

    HWND progress = Make(PROGRESS_CLASS, 0, 0, 100, 200, 16, 3);
    SendMessage(progress, PBM_SETRANGE32, 0, 50);
    EXPECT_EQ(SendMessage(progress, PBM_SETPOS, 80, 0), 0);
    EXPECT_EQ(SendMessage(progress, PBM_GETPOS, 0, 0), 50);
    SendMessage(progress, PBM_SETPOS, 25, 0);
    // Half the bar filled, in the highlight colour.
    EXPECT_EQ(user::WindowPixel(progress, 50, 8), GetSysColor(COLOR_HIGHLIGHT));
    EXPECT_EQ(user::WindowPixel(progress, 150, 8), GetSysColor(COLOR_BTNFACE));
    HWND track = Make(TRACKBAR_CLASS, TBS_AUTOTICKS, 0, 130, 200, 30, 4);
    SendMessage(track, TBM_SETRANGE, FALSE, MAKELPARAM(0, 10));
    SendMessage(track, TBM_SETPOS, TRUE, 3);
    HWND tab = Make(WC_TABCONTROL, 0, 220, 0, 250, 150, 5);
    for (const char* t : {"SCSI Devices", "Performance Plot"}) {
        TCITEMA item{TCIF_TEXT, 0, 0, const_cast<char*>(t), 0, -1, 0};
        SendMessage(tab, TCM_INSERTITEMA, SendMessage(tab, TCM_GETITEMCOUNT, 0, 0), reinterpret_cast<LPARAM>(&item));
    }
    EXPECT_FALSE(user::Snapshot(parent, "test-small-controls").empty());
}

TEST_F(ControlsTest, AMultiLineEditScrollsAndItsScrollBarFollows)
{
    HWND report = Make("Edit", ES_MULTILINE | ES_READONLY | WS_VSCROLL | WS_BORDER, 0, 0, 200, 100);
    std::string text;
    for (int i = 0; i < 30; ++i) text += "Line " + std::to_string(i) + "\r\n";
    SetWindowText(report, text.c_str());
    EXPECT_EQ(SendMessage(report, EM_GETLINECOUNT, 0, 0), 31);
    UpdateWindow(report);
    EXPECT_EQ(GetScrollPos(report, SB_VERT), 0);
    EXPECT_TRUE(SendMessage(report, EM_LINESCROLL, 0, 10));
    UpdateWindow(report);
    EXPECT_EQ(SendMessage(report, EM_GETFIRSTVISIBLELINE, 0, 0), 10);
    EXPECT_EQ(GetScrollPos(report, SB_VERT), 10);
    // Past the end it stops with the last line at the bottom.
    SendMessage(report, WM_VSCROLL, MAKEWPARAM(SB_THUMBPOSITION, 500), 0);
    UpdateWindow(report);
    const LRESULT last = SendMessage(report, EM_GETFIRSTVISIBLELINE, 0, 0);
    EXPECT_GT(last, 20);
    EXPECT_LT(last, 30);
    // Typing into a read-only edit changes nothing.
    user::script::Type(report, "x");
    EXPECT_EQ(user::script::Text(report), text);
}

TEST_F(ControlsTest, ImageListsDrawTheirPicturesBesideListItems)
{
    // Two 16x16 pictures side by side: red on a magenta key, then blue.
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP strip = CreateCompatibleBitmap(screen, 32, 16);
    HGDIOBJ old = SelectObject(mem, strip);
    RECT key{0, 0, 32, 16}, red{4, 4, 12, 12}, blue{16, 0, 32, 16};
    HBRUSH brushes[3] = {CreateSolidBrush(RGB(255, 0, 255)), CreateSolidBrush(RGB(255, 0, 0)), CreateSolidBrush(RGB(0, 0, 255))};
    FillRect(mem, &key, brushes[0]);
    FillRect(mem, &red, brushes[1]);
    FillRect(mem, &blue, brushes[2]);
    SelectObject(mem, old);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    HIMAGELIST images = ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 2, 2);
    ASSERT_NE(images, nullptr);
    EXPECT_EQ(ImageList_AddMasked(images, strip, RGB(255, 0, 255)), 0);
    EXPECT_EQ(ImageList_GetImageCount(images), 2);
    EXPECT_EQ(ImageList_AddIcon(images, LoadIcon(nullptr, IDI_WARNING)), 2);

    HWND list = MakeReport(0);
    SendMessage(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(images));
    LVITEMA item{LVIF_TEXT | LVIF_IMAGE, 0, 0, 0, 0, const_cast<char*>("clip"), 0, 0, 0, 0};
    SendMessage(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
    RECT row;
    row.left = LVIR_BOUNDS;
    SendMessage(list, LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&row));
    const int top = row.top + (row.bottom - row.top - 16) / 2;
    EXPECT_EQ(user::WindowPixel(list, 3 + 8, top + 8), RGB(255, 0, 0));      // the picture
    EXPECT_EQ(user::WindowPixel(list, 3 + 1, top + 1), RGB(255, 255, 255));  // its key colour is see-through
    HDC dc = GetDC(list);
    EXPECT_FALSE(ImageList_Draw(images, 7, dc, 0, 0, ILD_NORMAL));
    ReleaseDC(list, dc);
    EXPECT_TRUE(ImageList_Destroy(images));
    EXPECT_FALSE(ImageList_Destroy(images));
    EXPECT_EQ(ImageList_GetImageCount(images), 0);
    for (HBRUSH b : brushes) DeleteObject(b);
    DeleteObject(strip);
}

TEST_F(ControlsTest, ParentColoursAndOwnerDrawnTabbedListBoxes)
{
    HWND label = Make("Static", SS_LEFT, 0, 0, 100, 20, 7);
    SetWindowText(label, "IIII");
    HWND plain = Make("Static", SS_LEFT, 0, 30, 100, 20, 8);
    SetWindowText(plain, "IIII");
    EXPECT_EQ(user::WindowPixel(label, 90, 15), RGB(0, 0, 96));
    EXPECT_EQ(user::WindowPixel(plain, 90, 15), GetSysColor(COLOR_BTNFACE));
    int yellow = 0;
    for (int x = 0; x < 40; ++x)
        for (int y = 0; y < 20; ++y) yellow += user::WindowPixel(label, x, y) == RGB(255, 255, 0);
    EXPECT_GT(yellow, 10);  // the text in the parent's colour

    HWND owner = Make("ListBox", LBS_OWNERDRAWFIXED | LBS_NOTIFY, 120, 0, 100, 100, 9);
    for (LPARAM data : {11, 22, 33}) SendMessage(owner, LB_ADDSTRING, 0, data);
    EXPECT_EQ(SendMessage(owner, LB_GETITEMDATA, 1, 0), 22);
    EXPECT_EQ(SendMessage(owner, LB_GETITEMHEIGHT, 0, 0), 20);  // as the parent measured
    log.drawn.clear();
    ASSERT_TRUE(user::script::Choose(owner, 2));
    UpdateWindow(owner);
    ASSERT_GE(log.drawn.size(), 3u);
    EXPECT_EQ(user::WindowPixel(owner, 50, 50), RGB(0, 128, 0));  // item 2, selected

    // Tab stops in dialog units: the second column starts 40 units (60 pixels) in.
    HWND tabbed = Make("ListBox", LBS_USETABSTOPS, 240, 0, 200, 100, 10);
    const int stop = 40;
    EXPECT_TRUE(SendMessage(tabbed, LB_SETTABSTOPS, 1, reinterpret_cast<LPARAM>(&stop)));
    SendMessage(tabbed, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>("a\tIIIIIIII"));
    int inkAfterStop = 0, inkBetween = 0;
    for (int y = 0; y < 13; ++y) {
        for (int x = 62; x < 100; ++x) inkAfterStop += user::WindowPixel(tabbed, x, y) == RGB(0, 0, 0);
        for (int x = 12; x < 60; ++x) inkBetween += user::WindowPixel(tabbed, x, y) == RGB(0, 0, 0);
    }
    EXPECT_GT(inkAfterStop, 10);
    EXPECT_EQ(inkBetween, 0);
}

}  // namespace
