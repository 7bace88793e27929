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
