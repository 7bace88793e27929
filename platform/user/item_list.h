// The items of a list box or a combo box's list: strings with their data,
// kept sorted when the control says so, searched as Windows searches them.
#pragma once

#include <string>
#include <vector>

#include "user.h"

namespace user {

struct ListItem {
    std::string text;
    ULONG_PTR data = 0;
    bool selected = false;
};

class ItemList {
public:
    // Where a string goes: at 'index' (-1: the end), or in order when sorted.
    int Insert(int index, const std::string& text, bool sorted);
    bool Remove(int index);
    void Clear() { items_.clear(); }
    int Count() const { return static_cast<int>(items_.size()); }
    bool Valid(int index) const { return index >= 0 && index < Count(); }
    ListItem& At(int index) { return items_[index]; }
    // Case-insensitive search from after 'start' round to it: a prefix or the
    // whole string.
    int Find(int start, const std::string& text, bool exact) const;

private:
    std::vector<ListItem> items_;
};

}  // namespace user
