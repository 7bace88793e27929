// Property sheets: a dialog with a tab control of pages and OK, Cancel and
// Apply. A page's dialog is made the first time it is shown; leaving a
// page asks it (PSN_KILLACTIVE), Apply and OK ask every page made so far
// (PSN_APPLY) and a page that refuses keeps the sheet open on it; Cancel
// tells them (PSN_RESET). Apply is enabled while a page says it changed.
#include <algorithm>
#include <memory>
#include <string>

#include "commctrl.h"
#include "user_internal.h"

namespace user {
namespace {

struct PageRecord {
    PROPSHEETPAGEA psp{};
    std::string title;
    HWND hwnd = nullptr;
    bool changed = false;
};

struct Sheet {
    const PROPSHEETHEADERA* header = nullptr;
    std::vector<PageRecord*> pages;
    int current = -1;
    HWND hwnd = nullptr;
    HWND tab = nullptr;
    bool modeless = false;
};

const DLGTEMPLATEA* TemplateOf(const PROPSHEETPAGEA& psp)
{
    if (psp.dwFlags & PSP_DLGINDIRECT) return psp.pResource;
    return FindDialogTemplate(psp.hInstance, psp.pszTemplate);
}

Sheet* SheetOf(HWND hwnd) { return reinterpret_cast<Sheet*>(GetWindowLongPtrA(hwnd, DWLP_USER)); }

LRESULT NotifyPage(Sheet* sheet, PageRecord* page, UINT code, LPARAM param = 0)
{
    if (!page->hwnd) return 0;
    PSHNOTIFY nm{{sheet->hwnd, 0, code}, param};
    return SendMessageA(page->hwnd, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&nm));
}

bool MakePage(Sheet* sheet, PageRecord* page)
{
    if (page->hwnd) return true;
    const DLGTEMPLATEA* t = TemplateOf(page->psp);
    if (!t) return false;
    // A page is a child dialog inside the tab's display area.
    DLGTEMPLATEA child = *t;
    child.style = (t->style & ~(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE | DS_MODALFRAME)) | WS_CHILD | DS_CONTROL;
    child.x = child.y = 0;
    if ((page->psp.dwFlags & PSP_USECALLBACK) && page->psp.pfnCallback)
        page->psp.pfnCallback(nullptr, PSPCB_CREATE, &page->psp);
    page->hwnd = CreateDialogIndirectParamA(page->psp.hInstance, &child, sheet->hwnd, page->psp.pfnDlgProc,
                                            reinterpret_cast<LPARAM>(&page->psp));
    if (!page->hwnd) return false;
    RECT area;
    GetWindowRect(sheet->tab, &area);
    POINT tl{area.left, area.top}, br{area.right, area.bottom};
    ScreenToClient(sheet->hwnd, &tl);
    ScreenToClient(sheet->hwnd, &br);
    area = RECT{tl.x, tl.y, br.x, br.y};
    SendMessageA(sheet->tab, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&area));
    SetWindowPos(page->hwnd, HWND_TOP, area.left, area.top, area.right - area.left, area.bottom - area.top, 0);
    return true;
}

bool Activate(Sheet* sheet, int index)
{
    if (index < 0 || index >= static_cast<int>(sheet->pages.size())) return false;
    PageRecord* page = sheet->pages[index];
    if (!MakePage(sheet, page)) return false;
    if (NotifyPage(sheet, page, PSN_SETACTIVE) == -1) return false;  // the page would not be shown
    for (PageRecord* other : sheet->pages)
        if (other != page && other->hwnd) ShowWindow(other->hwnd, SW_HIDE);
    sheet->current = index;
    SendMessageA(sheet->tab, TCM_SETCURSEL, index, 0);
    ShowWindow(page->hwnd, SW_SHOW);
    if (HWND first = GetNextDlgTabItem(page->hwnd, nullptr, FALSE)) SetFocus(first);
    return true;
}

PageRecord* Current(Sheet* sheet)
{
    return sheet->current >= 0 && sheet->current < static_cast<int>(sheet->pages.size()) ? sheet->pages[sheet->current] : nullptr;
}

void UpdateApply(Sheet* sheet)
{
    const bool any = std::any_of(sheet->pages.begin(), sheet->pages.end(), [](PageRecord* p) { return p->changed; });
    if (HWND apply = GetDlgItem(sheet->hwnd, ID_APPLY_NOW)) EnableWindow(apply, any);
}

bool Apply(Sheet* sheet)
{
    if (PageRecord* cur = Current(sheet); cur && NotifyPage(sheet, cur, PSN_KILLACTIVE)) return false;
    for (size_t i = 0; i < sheet->pages.size(); ++i) {
        PageRecord* page = sheet->pages[i];
        if (!page->hwnd) continue;
        const LRESULT r = NotifyPage(sheet, page, PSN_APPLY, 0);
        if (r == PSNRET_INVALID_NOCHANGEPAGE) {
            Activate(sheet, static_cast<int>(i));
            return false;
        }
        if (r == PSNRET_INVALID) return false;
    }
    for (PageRecord* page : sheet->pages) page->changed = false;
    UpdateApply(sheet);
    return true;
}

void Finish(Sheet* sheet, INT_PTR result)
{
    if (sheet->modeless)
        DestroyWindow(sheet->hwnd);
    else
        EndDialog(sheet->hwnd, result);
}

PageRecord* PageByHandleOrIndex(Sheet* sheet, WPARAM index, LPARAM handle, int* at)
{
    for (size_t i = 0; i < sheet->pages.size(); ++i)
        if (handle ? reinterpret_cast<LPARAM>(sheet->pages[i]) == handle : i == index) {
            *at = static_cast<int>(i);
            return sheet->pages[i];
        }
    return nullptr;
}

INT_PTR CALLBACK SheetProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    Sheet* sheet = msg == WM_INITDIALOG ? reinterpret_cast<Sheet*>(lParam) : SheetOf(hwnd);
    if (!sheet) return FALSE;
    auto answer = [&](LRESULT r) {
        SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, r);
        return TRUE;
    };
    switch (msg) {
    case WM_INITDIALOG: {
        SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
        sheet->hwnd = hwnd;
        sheet->tab = GetDlgItem(hwnd, IDC_PROPSHEET_TAB);
        for (size_t i = 0; i < sheet->pages.size(); ++i) {
            TCITEMA item{TCIF_TEXT, 0, 0, sheet->pages[i]->title.data(), 0, -1, 0};
            SendMessageA(sheet->tab, TCM_INSERTITEMA, i, reinterpret_cast<LPARAM>(&item));
        }
        UpdateApply(sheet);
        if (sheet->header->pfnCallback) sheet->header->pfnCallback(hwnd, PSCB_INITIALIZED, 0);
        const UINT start = std::min<UINT>(sheet->header->nStartPage, static_cast<UINT>(sheet->pages.size()) - 1);
        Activate(sheet, static_cast<int>(start));
        return FALSE;  // the page set the focus
    }
    case WM_NOTIFY: {
        auto* nm = reinterpret_cast<NMHDR*>(lParam);
        if (nm->hwndFrom != sheet->tab) return FALSE;
        if (nm->code == TCN_SELCHANGING) {
            PageRecord* cur = Current(sheet);
            return answer(cur && NotifyPage(sheet, cur, PSN_KILLACTIVE) ? TRUE : FALSE);
        }
        if (nm->code == TCN_SELCHANGE) {
            const int to = static_cast<int>(SendMessageA(sheet->tab, TCM_GETCURSEL, 0, 0));
            if (!Activate(sheet, to)) SendMessageA(sheet->tab, TCM_SETCURSEL, sheet->current, 0);
            return TRUE;
        }
        return FALSE;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            if (Apply(sheet)) Finish(sheet, 1);
            return TRUE;
        case IDCANCEL: {
            PageRecord* cur = Current(sheet);
            if (cur && NotifyPage(sheet, cur, PSN_QUERYCANCEL)) return TRUE;
            for (PageRecord* page : sheet->pages) NotifyPage(sheet, page, PSN_RESET);
            Finish(sheet, 0);
            return TRUE;
        }
        case ID_APPLY_NOW: Apply(sheet); return TRUE;
        default: return FALSE;
        }
    case PSM_CHANGED:
    case PSM_UNCHANGED:
        for (PageRecord* page : sheet->pages)
            if (page->hwnd == reinterpret_cast<HWND>(wParam)) page->changed = msg == PSM_CHANGED;
        UpdateApply(sheet);
        return answer(0);
    case PSM_PRESSBUTTON: {
        const int id = wParam == PSBTN_OK ? IDOK : wParam == PSBTN_CANCEL ? IDCANCEL : wParam == PSBTN_APPLYNOW ? ID_APPLY_NOW : 0;
        // Pressed as a user would, after the caller's message is done.
        if (id) PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(hwnd, id)));
        return answer(0);
    }
    case PSM_QUERYSIBLINGS:
        for (PageRecord* page : sheet->pages)
            if (page->hwnd)
                if (LRESULT r = SendMessageA(page->hwnd, PSM_QUERYSIBLINGS, wParam, lParam)) return answer(r);
        return answer(0);
    case PSM_GETTABCONTROL: return answer(reinterpret_cast<LRESULT>(sheet->tab));
    case PSM_GETCURRENTPAGEHWND: return answer(reinterpret_cast<LRESULT>(Current(sheet) ? Current(sheet)->hwnd : nullptr));
    case PSM_SETCURSEL: {
        int at = -1;
        if (!PageByHandleOrIndex(sheet, wParam, lParam, &at)) return answer(FALSE);
        PageRecord* cur = Current(sheet);
        if (cur && at != sheet->current && NotifyPage(sheet, cur, PSN_KILLACTIVE)) return answer(FALSE);
        return answer(Activate(sheet, at));
    }
    case PSM_ADDPAGE: {
        auto* page = reinterpret_cast<PageRecord*>(lParam);
        if (!page) return answer(FALSE);
        sheet->pages.push_back(page);
        TCITEMA item{TCIF_TEXT, 0, 0, page->title.data(), 0, -1, 0};
        SendMessageA(sheet->tab, TCM_INSERTITEMA, sheet->pages.size() - 1, reinterpret_cast<LPARAM>(&item));
        return answer(TRUE);
    }
    case PSM_REMOVEPAGE: {
        int at = -1;
        PageRecord* page = PageByHandleOrIndex(sheet, wParam, lParam, &at);
        if (!page) return answer(FALSE);
        if (page->hwnd) DestroyWindow(page->hwnd);
        page->hwnd = nullptr;
        sheet->pages.erase(sheet->pages.begin() + at);
        SendMessageA(sheet->tab, TCM_DELETEITEM, at, 0);
        if (sheet->current == at) {
            sheet->current = -1;
            Activate(sheet, std::min<int>(at, static_cast<int>(sheet->pages.size()) - 1));
        } else if (sheet->current > at) {
            --sheet->current;
        }
        return answer(TRUE);
    }
    case PSM_APPLY: return answer(Apply(sheet));
    case PSM_CANCELTOCLOSE:
        SetDlgItemTextA(hwnd, IDOK, "Close");
        EnableWindow(GetDlgItem(hwnd, IDCANCEL), FALSE);
        return answer(0);
    case PSM_SETTITLEA: SetWindowTextA(hwnd, reinterpret_cast<LPCSTR>(lParam)); return answer(0);
    case WM_DESTROY:
        for (PageRecord* page : sheet->pages)
            if (page->hwnd) page->hwnd = nullptr;  // destroyed with the sheet as its children
        return FALSE;
    default: return FALSE;
    }
}

}  // namespace
}  // namespace user

using namespace user;

HPROPSHEETPAGE CreatePropertySheetPageA(const PROPSHEETPAGEA* psp)
{
    if (!psp || ((psp->dwFlags & PSP_DLGINDIRECT) ? !psp->pResource : !psp->pszTemplate)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* page = new PageRecord;
    page->psp = *psp;
    const DLGTEMPLATEA* t = TemplateOf(*psp);
    if ((psp->dwFlags & PSP_USETITLE) && psp->pszTitle && !IS_INTRESOURCE(psp->pszTitle))
        page->title = psp->pszTitle;
    else if (t && t->caption)
        page->title = t->caption;
    return reinterpret_cast<HPROPSHEETPAGE>(page);
}

BOOL DestroyPropertySheetPage(HPROPSHEETPAGE handle)
{
    auto* page = reinterpret_cast<PageRecord*>(handle);
    if (!page) return FALSE;
    if ((page->psp.dwFlags & PSP_USECALLBACK) && page->psp.pfnCallback)
        page->psp.pfnCallback(nullptr, PSPCB_RELEASE, &page->psp);
    if (page->hwnd && IsWindow(page->hwnd)) DestroyWindow(page->hwnd);
    delete page;
    return TRUE;
}

INT_PTR PropertySheetA(const PROPSHEETHEADERA* header)
{
    if (!header || header->nPages == 0 || (header->dwFlags & PSH_PROPSHEETPAGE ? !header->ppsp : !header->phpage)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    Sheet sheet;
    sheet.header = header;
    sheet.modeless = (header->dwFlags & PSH_MODELESS) != 0;
    std::vector<std::unique_ptr<PageRecord>> owned;  // pages made here from the header's array
    int pageW = 0, pageH = 0;
    for (UINT i = 0; i < header->nPages; ++i) {
        PageRecord* page;
        if (header->dwFlags & PSH_PROPSHEETPAGE) {
            page = reinterpret_cast<PageRecord*>(CreatePropertySheetPageA(&header->ppsp[i]));
            if (page) owned.emplace_back(page);
        } else {
            page = reinterpret_cast<PageRecord*>(header->phpage[i]);
        }
        const DLGTEMPLATEA* t = page ? TemplateOf(page->psp) : nullptr;
        if (!t) {
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
            for (auto& p : owned) delete p.release();
            return -1;
        }
        pageW = std::max<int>(pageW, t->cx);
        pageH = std::max<int>(pageH, t->cy);
        sheet.pages.push_back(page);
    }
    // Laid out in dialog units round the largest page: the tab control with
    // its strip, then the buttons in a row at the bottom right.
    const short tabW = static_cast<short>(pageW + 4), tabH = static_cast<short>(pageH + 18);
    const short buttonsY = static_cast<short>(7 + tabH + 7);
    const short width = static_cast<short>(tabW + 14), height = static_cast<short>(buttonsY + 14 + 7);
    const bool apply = !(header->dwFlags & PSH_NOAPPLYNOW);
    std::vector<DLGITEM> items;
    items.push_back({WC_TABCONTROLA, "", IDC_PROPSHEET_TAB, WS_TABSTOP | WS_CLIPSIBLINGS, 7, 7, tabW, tabH, 0});
    short x = static_cast<short>(width - 7 - 50);
    if (apply) {
        items.push_back({"Button", "&Apply", ID_APPLY_NOW, WS_TABSTOP, x, buttonsY, 50, 14, 0});
        x = static_cast<short>(x - 54);
    }
    items.push_back({"Button", "Cancel", IDCANCEL, WS_TABSTOP, x, buttonsY, 50, 14, 0});
    x = static_cast<short>(x - 54);
    items.push_back({"Button", "OK", IDOK, WS_TABSTOP | BS_DEFPUSHBUTTON, x, buttonsY, 50, 14, 0});
    std::string caption = header->pszCaption && !IS_INTRESOURCE(header->pszCaption) ? header->pszCaption : "";
    if (header->dwFlags & PSH_PROPTITLE) caption += " Properties";
    const DLGTEMPLATEA t{0, caption.c_str(), WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | WS_VISIBLE,
                         0, 0, width, height, items.data(), static_cast<int>(items.size()), WS_EX_CONTROLPARENT, nullptr};
    INT_PTR result;
    if (sheet.modeless) {
        // A modeless sheet's pages outlive this call only as the caller's
        // handles; pages made from the header's array are not allowed here.
        if (!owned.empty()) {
            for (auto& p : owned) delete p.release();
            SetLastError(ERROR_INVALID_PARAMETER);
            return -1;
        }
        auto* kept = new Sheet(sheet);
        HWND hwnd = CreateDialogIndirectParamA(header->hInstance, &t, header->hwndParent, SheetProc, reinterpret_cast<LPARAM>(kept));
        return reinterpret_cast<INT_PTR>(hwnd);
    }
    result = DialogBoxIndirectParamA(header->hInstance, &t, header->hwndParent, SheetProc, reinterpret_cast<LPARAM>(&sheet));
    for (auto& p : owned) DestroyPropertySheetPage(reinterpret_cast<HPROPSHEETPAGE>(p.release()));
    return result;
}
