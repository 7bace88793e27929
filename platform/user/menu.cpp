// Menus: items with their commands, check and enable states and popups;
// TrackPopupMenu, with nothing on a screen to click, takes the command a
// script chose and records what the menu held.
#include <cstring>
#include <map>
#include <memory>

#include "script.h"
#include "user_internal.h"

namespace {

struct MenuItem {
    UINT flags = 0;
    UINT_PTR id = 0;
    std::string text;
    HMENU popup = nullptr;
};

struct Menu {
    std::vector<MenuItem> items;
};

std::map<uintptr_t, std::unique_ptr<Menu>>& Menus()
{
    static std::map<uintptr_t, std::unique_ptr<Menu>> menus;
    return menus;
}
uintptr_t nextMenu = 0x30000;
UINT chosen = 0;
std::vector<std::string> lastMenu;

Menu* Find(HMENU h)
{
    auto it = Menus().find(reinterpret_cast<uintptr_t>(h));
    if (it == Menus().end()) {
        SetLastError(ERROR_INVALID_MENU_HANDLE);
        return nullptr;
    }
    return it->second.get();
}

HMENU Make()
{
    std::lock_guard guard(user::Lock());
    nextMenu += 4;
    Menus()[nextMenu] = std::make_unique<Menu>();
    return reinterpret_cast<HMENU>(nextMenu);
}

// The item an operation names: by position, or by command anywhere in the
// menu and its popups.
MenuItem* Locate(HMENU h, UINT item, UINT flags, Menu** owner = nullptr, size_t* at = nullptr)
{
    Menu* m = Find(h);
    if (!m) return nullptr;
    if (flags & MF_BYPOSITION) {
        if (item >= m->items.size()) return nullptr;
        if (owner) *owner = m;
        if (at) *at = item;
        return &m->items[item];
    }
    for (size_t i = 0; i < m->items.size(); ++i) {
        MenuItem& it = m->items[i];
        if (!(it.flags & MF_POPUP) && it.id == item) {
            if (owner) *owner = m;
            if (at) *at = i;
            return &it;
        }
        if (it.flags & MF_POPUP)
            if (MenuItem* inner = Locate(it.popup, item, flags, owner, at)) return inner;
    }
    return nullptr;
}

MenuItem ItemOf(UINT flags, UINT_PTR idOrPopup, LPCSTR text)
{
    MenuItem it;
    it.flags = flags & ~MF_BYPOSITION;
    if (flags & MF_POPUP)
        it.popup = reinterpret_cast<HMENU>(idOrPopup);
    else
        it.id = idOrPopup;
    if (!(flags & MF_SEPARATOR) && text) it.text = text;
    return it;
}

void Describe(HMENU h, std::vector<std::string>& out, const std::string& indent)
{
    Menu* m = Find(h);
    if (!m) return;
    for (const MenuItem& it : m->items) {
        if (it.flags & MF_SEPARATOR) {
            out.push_back(indent + "-");
            continue;
        }
        out.push_back(indent + ((it.flags & MF_CHECKED) ? "*" : "") + it.text);
        if (it.flags & MF_POPUP) Describe(it.popup, out, indent + "  ");
    }
}

HMENU Copy(HMENU h)
{
    Menu* m = Find(h);
    if (!m) return nullptr;
    HMENU copy = Make();
    for (const MenuItem& it : m->items) {
        MenuItem c = it;
        if (it.flags & MF_POPUP) c.popup = Copy(it.popup);
        Find(copy)->items.push_back(c);
    }
    return copy;
}

std::map<std::pair<HINSTANCE, UINT>, HMENU>& Resources()
{
    static std::map<std::pair<HINSTANCE, UINT>, HMENU> menus;
    return menus;
}

}  // namespace

HMENU CreateMenu() { return Make(); }
HMENU CreatePopupMenu() { return Make(); }

BOOL DestroyMenu(HMENU h)
{
    std::lock_guard guard(user::Lock());
    Menu* m = Find(h);
    if (!m) return FALSE;
    // Popups go with the menu that holds them.
    std::vector<HMENU> popups;
    for (const MenuItem& it : m->items)
        if (it.flags & MF_POPUP) popups.push_back(it.popup);
    Menus().erase(reinterpret_cast<uintptr_t>(h));
    for (HMENU p : popups) DestroyMenu(p);
    return TRUE;
}

BOOL AppendMenuA(HMENU h, UINT flags, UINT_PTR idOrPopup, LPCSTR text)
{
    std::lock_guard guard(user::Lock());
    Menu* m = Find(h);
    if (!m || ((flags & MF_POPUP) && !Find(reinterpret_cast<HMENU>(idOrPopup)))) return FALSE;
    m->items.push_back(ItemOf(flags, idOrPopup, text));
    return TRUE;
}

BOOL InsertMenuA(HMENU h, UINT position, UINT flags, UINT_PTR idOrPopup, LPCSTR text)
{
    std::lock_guard guard(user::Lock());
    Menu* m = Find(h);
    if (!m || ((flags & MF_POPUP) && !Find(reinterpret_cast<HMENU>(idOrPopup)))) return FALSE;
    size_t at = m->items.size();
    if (flags & MF_BYPOSITION) {
        if (position != 0xFFFFFFFF) at = std::min<size_t>(position, m->items.size());
    } else {
        Menu* owner = nullptr;
        size_t found = 0;
        if (Locate(h, position, MF_BYCOMMAND, &owner, &found) && owner == m) at = found;
    }
    m->items.insert(m->items.begin() + static_cast<ptrdiff_t>(at), ItemOf(flags, idOrPopup, text));
    return TRUE;
}

BOOL RemoveMenu(HMENU h, UINT item, UINT flags)
{
    std::lock_guard guard(user::Lock());
    Menu* owner = nullptr;
    size_t at = 0;
    if (!Locate(h, item, flags, &owner, &at)) return FALSE;
    owner->items.erase(owner->items.begin() + static_cast<ptrdiff_t>(at));
    return TRUE;
}

BOOL DeleteMenu(HMENU h, UINT item, UINT flags)
{
    std::lock_guard guard(user::Lock());
    MenuItem* it = Locate(h, item, flags);
    if (!it) return FALSE;
    HMENU popup = (it->flags & MF_POPUP) ? it->popup : nullptr;
    RemoveMenu(h, item, flags);
    if (popup) DestroyMenu(popup);
    return TRUE;
}

DWORD CheckMenuItem(HMENU h, UINT item, UINT flags)
{
    std::lock_guard guard(user::Lock());
    MenuItem* it = Locate(h, item, flags);
    if (!it) return static_cast<DWORD>(-1);
    const DWORD old = it->flags & MF_CHECKED;
    it->flags = (it->flags & ~MF_CHECKED) | (flags & MF_CHECKED);
    return old;
}

BOOL EnableMenuItem(HMENU h, UINT item, UINT flags)
{
    std::lock_guard guard(user::Lock());
    MenuItem* it = Locate(h, item, flags);
    if (!it) return -1;
    const BOOL old = static_cast<BOOL>(it->flags & (MF_GRAYED | MF_DISABLED));
    it->flags = (it->flags & ~(MF_GRAYED | MF_DISABLED)) | (flags & (MF_GRAYED | MF_DISABLED));
    return old;
}

UINT GetMenuState(HMENU h, UINT item, UINT flags)
{
    std::lock_guard guard(user::Lock());
    MenuItem* it = Locate(h, item, flags);
    return it ? it->flags & (MF_GRAYED | MF_DISABLED | MF_CHECKED | MF_POPUP | MF_SEPARATOR) : static_cast<UINT>(-1);
}

int GetMenuItemCount(HMENU h)
{
    std::lock_guard guard(user::Lock());
    Menu* m = Find(h);
    return m ? static_cast<int>(m->items.size()) : -1;
}

UINT GetMenuItemID(HMENU h, int position)
{
    std::lock_guard guard(user::Lock());
    Menu* m = Find(h);
    if (!m || position < 0 || position >= static_cast<int>(m->items.size())) return static_cast<UINT>(-1);
    const MenuItem& it = m->items[position];
    return (it.flags & MF_POPUP) ? static_cast<UINT>(-1) : static_cast<UINT>(it.id);
}

HMENU GetSubMenu(HMENU h, int position)
{
    std::lock_guard guard(user::Lock());
    Menu* m = Find(h);
    if (!m || position < 0 || position >= static_cast<int>(m->items.size())) return nullptr;
    return (m->items[position].flags & MF_POPUP) ? m->items[position].popup : nullptr;
}

int GetMenuStringA(HMENU h, UINT item, LPSTR text, int max, UINT flags)
{
    std::lock_guard guard(user::Lock());
    MenuItem* it = Locate(h, item, flags);
    if (!it) return 0;
    if (!text || max <= 0) return static_cast<int>(it->text.size());
    const int n = std::min<int>(static_cast<int>(it->text.size()), max - 1);
    std::memcpy(text, it->text.data(), n);
    text[n] = 0;
    return n;
}

BOOL TrackPopupMenu(HMENU h, UINT flags, int, int, int, HWND owner, const RECT*)
{
    UINT command = 0;
    {
        std::lock_guard guard(user::Lock());
        if (!Find(h)) return FALSE;
        if (!owner || !IsWindow(owner)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        lastMenu.clear();
        Describe(h, lastMenu, "");
        // The script's choice counts only for an enabled item of this menu.
        MenuItem* it = chosen ? Locate(h, chosen, MF_BYCOMMAND) : nullptr;
        if (it && !(it->flags & (MF_GRAYED | MF_DISABLED))) command = chosen;
        chosen = 0;
    }
    if (flags & TPM_RETURNCMD) return static_cast<BOOL>(command);
    if (command && !(flags & TPM_NONOTIFY)) PostMessageA(owner, WM_COMMAND, MAKEWPARAM(command, 0), 0);
    return command != 0;
}

BOOL RegisterMenuResource(HINSTANCE module, UINT id, HMENU menu)
{
    std::lock_guard guard(user::Lock());
    HMENU copy = Copy(menu);
    if (!copy) return FALSE;
    HMENU& slot = Resources()[{module, id}];
    if (slot) DestroyMenu(slot);
    slot = copy;
    return TRUE;
}

HMENU LoadMenuA(HINSTANCE module, LPCSTR name)
{
    std::lock_guard guard(user::Lock());
    auto it = IS_INTRESOURCE(name) ? Resources().find({module, static_cast<UINT>(reinterpret_cast<uintptr_t>(name))})
                                   : Resources().end();
    if (it == Resources().end()) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    return Copy(it->second);
}

namespace user::script {

void ChooseMenuCommand(UINT id)
{
    std::lock_guard guard(Lock());
    chosen = id;
}

std::vector<std::string> LastMenu()
{
    std::lock_guard guard(Lock());
    return lastMenu;
}

}  // namespace user::script
