// Resources of a module kept as tables: dialog templates and strings,
// registered by the module that owns them and found by module and id.
#include <cstring>

#include "user_internal.h"

namespace {

std::map<std::pair<HINSTANCE, int>, const DLGTEMPLATEA*>& Dialogs()
{
    static std::map<std::pair<HINSTANCE, int>, const DLGTEMPLATEA*> dialogs;
    return dialogs;
}
std::map<std::pair<HINSTANCE, UINT>, std::string>& Strings()
{
    static std::map<std::pair<HINSTANCE, UINT>, std::string> strings;
    return strings;
}

}  // namespace

BOOL RegisterDialogTemplate(HINSTANCE module, const DLGTEMPLATEA* dialog)
{
    if (!dialog || (dialog->itemCount > 0 && !dialog->items) || dialog->itemCount < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard guard(user::Lock());
    Dialogs()[{module, dialog->id}] = dialog;
    return TRUE;
}

const DLGTEMPLATEA* FindDialogTemplate(HINSTANCE module, LPCSTR name)
{
    if (!IS_INTRESOURCE(name)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    std::lock_guard guard(user::Lock());
    auto it = Dialogs().find({module, static_cast<int>(reinterpret_cast<uintptr_t>(name))});
    if (it == Dialogs().end()) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    return it->second;
}

namespace {

std::map<std::pair<HINSTANCE, UINT>, HBITMAP>& Bitmaps()
{
    static std::map<std::pair<HINSTANCE, UINT>, HBITMAP> bitmaps;
    return bitmaps;
}

HBITMAP CopyOf(HBITMAP source)
{
    BITMAP bm{};
    if (!GetObjectA(source, sizeof bm, &bm)) return nullptr;
    HBITMAP copy = CreateBitmap(bm.bmWidth, bm.bmHeight, 1, 32, nullptr);
    HDC from = CreateCompatibleDC(nullptr), to = CreateCompatibleDC(nullptr);
    HGDIOBJ a = SelectObject(from, source), b = SelectObject(to, copy);
    BitBlt(to, 0, 0, bm.bmWidth, bm.bmHeight, from, 0, 0, SRCCOPY);
    SelectObject(from, a);
    SelectObject(to, b);
    DeleteDC(from);
    DeleteDC(to);
    return copy;
}

}  // namespace

BOOL RegisterBitmapResource(HINSTANCE module, UINT id, HBITMAP bitmap)
{
    HBITMAP copy = CopyOf(bitmap);
    if (!copy) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard guard(user::Lock());
    HBITMAP& slot = Bitmaps()[{module, id}];
    if (slot) DeleteObject(slot);
    slot = copy;
    return TRUE;
}

HBITMAP LoadBitmapA(HINSTANCE module, LPCSTR name)
{
    if (!IS_INTRESOURCE(name)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    std::lock_guard guard(user::Lock());
    auto it = Bitmaps().find({module, static_cast<UINT>(reinterpret_cast<uintptr_t>(name))});
    if (it == Bitmaps().end()) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    return CopyOf(it->second);
}

HANDLE LoadImageA(HINSTANCE module, LPCSTR name, UINT type, int, int, UINT)
{
    if (type == IMAGE_BITMAP) return LoadBitmapA(module, name);
    if (type == IMAGE_ICON) return LoadIconA(module, name);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

BOOL RegisterStringResource(HINSTANCE module, UINT id, LPCSTR text)
{
    if (!text) return FALSE;
    std::lock_guard guard(user::Lock());
    Strings()[{module, id}] = text;
    return TRUE;
}

int LoadStringA(HINSTANCE module, UINT id, LPSTR buffer, int max)
{
    if (!buffer || max <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard guard(user::Lock());
    auto it = Strings().find({module, id});
    if (it == Strings().end()) {
        buffer[0] = 0;
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    const int n = std::min<int>(static_cast<int>(it->second.size()), max - 1);
    std::memcpy(buffer, it->second.data(), n);
    buffer[n] = 0;
    return n;
}
