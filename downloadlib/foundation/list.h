// The library's list of untyped pointers. It owns its nodes, never its elements.
#pragma once

#include <list>

class vmCList {
  public:
    int GetCount() const { return static_cast<int>(items_.size()); }
    // Element at index, walking from the head; null for an index outside the list.
    void* GetAt(int index) const;
    void* RemoveAt(int index);
    // Unlinks the first node holding element; returns it, or null when it is not in the list.
    void* Remove(void* element);
    void Append(void* element) { items_.push_back(element); }
    void* GetHead() const { return items_.empty() ? nullptr : items_.front(); }
    void RemoveAll() { items_.clear(); }

  private:
    std::list<void*> items_;
};
