#include "item_list.h"

#include <strings.h>

namespace user {

int ItemList::Insert(int index, const std::string& text, bool sorted)
{
    if (sorted) {
        index = 0;
        while (index < Count() && strcasecmp(items_[index].text.c_str(), text.c_str()) <= 0) ++index;
    } else if (index < 0 || index > Count()) {
        if (index > Count()) return -1;
        index = Count();
    }
    items_.insert(items_.begin() + index, ListItem{text, 0, false});
    return index;
}

bool ItemList::Remove(int index)
{
    if (!Valid(index)) return false;
    items_.erase(items_.begin() + index);
    return true;
}

int ItemList::Find(int start, const std::string& text, bool exact) const
{
    const int n = Count();
    for (int k = 1; k <= n; ++k) {
        const int i = ((start < 0 ? -1 : start) + k) % n;
        const std::string& t = items_[i].text;
        if (exact ? strcasecmp(t.c_str(), text.c_str()) == 0 : strncasecmp(t.c_str(), text.c_str(), text.size()) == 0)
            return i;
    }
    return -1;
}

}  // namespace user
