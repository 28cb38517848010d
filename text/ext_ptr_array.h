#pragma once
// A growable array of object pointers. It owns its objects only for
// deleteAll(); removing by index and truncating never delete.
#include <cstdint>
#include <memory>

#include "text/brenvik_object.h"

class ExtPtrArray {
  public:
    ExtPtrArray() = default;
    ~ExtPtrArray();  // frees the slot array, not the objects
    ExtPtrArray(const ExtPtrArray&) = delete;
    ExtPtrArray& operator=(const ExtPtrArray&) = delete;

    bool append(BrenvikObject* obj);  // false when memory ran out
    BrenvikObject* getAt(uint32_t i) const;
    BrenvikObject* last() const;
    BrenvikObject* removeAt(uint32_t i);
    BrenvikObject* pop();
    void truncateNoDelete();
    void deleteAll();
    // Replaces element i; the old pointer is returned, not deleted. Out of
    // range: nothing is stored and null is returned (the caller keeps obj).
    BrenvikObject* setAt(uint32_t i, BrenvikObject* obj);
    bool insertAt(uint32_t i, BrenvikObject* obj);
    // The same for an array that owns its objects (deleteAll): it takes obj,
    // which is deleted when there is no room.
    template <class T>
    bool appendOwned(std::unique_ptr<T> obj) {
        if (!append(obj.get())) return false;
        obj.release();
        return true;
    }
    template <class T>
    bool insertOwned(uint32_t i, std::unique_ptr<T> obj) {
        if (!insertAt(i, obj.get())) return false;
        obj.release();
        return true;
    }

    uint32_t count() const { return m_count; }
    uint32_t capacity() const { return m_capacity; }
    uint32_t growthStep() const { return m_growth; }

    template <class T>
    T* at(uint32_t i) const {
        return static_cast<T*>(getAt(i));
    }

  private:
    uint32_t m_growth = 5;
    uint32_t m_capacity = 0;
    uint32_t m_count = 0;
    BrenvikObject** m_items = nullptr;
};
