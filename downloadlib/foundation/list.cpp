#include "foundation/list.h"

#include <algorithm>
#include <iterator>

void* vmCList::GetAt(int index) const {
    if (index < 0 || index >= GetCount()) {
        return nullptr;
    }
    return *std::next(items_.begin(), index);
}

void* vmCList::RemoveAt(int index) {
    if (index < 0 || index >= GetCount()) {
        return nullptr;
    }
    auto it = std::next(items_.begin(), index);
    void* element = *it;
    items_.erase(it);
    return element;
}

void* vmCList::Remove(void* element) {
    auto it = std::find(items_.begin(), items_.end(), element);
    if (it == items_.end()) {
        return nullptr;
    }
    items_.erase(it);
    return element;
}
