#pragma once
// A counted holder for the plug-in's client objects: a new handle starts
// with count 1, every copy adds one, and the object is deleted when the
// last handle lets go. The plug-in itself only ever holds one handle per
// object, so in practice releasing the handle deletes the object.
#include <cstddef>

template <class T>
class SharedHandle {
  public:
    SharedHandle() = default;
    // Takes ownership of obj (null gives an empty handle).
    explicit SharedHandle(T* obj) {
        if (!obj) return;
        try {
            m_block = new Block{obj, 1};
        } catch (...) {
            delete obj;  // the handle could not be made: do not leak the object
            throw;
        }
    }
    SharedHandle(const SharedHandle& other) : m_block(other.m_block) {
        if (m_block) ++m_block->count;
    }
    SharedHandle& operator=(const SharedHandle& other) {
        if (m_block != other.m_block) {
            SharedHandle copy(other);
            Block* b = m_block;
            m_block = copy.m_block;
            copy.m_block = b;
        }
        return *this;
    }
    ~SharedHandle() { release(); }

    // Lets go of the object; deletes it when this was the last handle.
    // GCC 12 cannot see that two handles sharing a block keep its count
    // above zero, and warns about the second release after inlining both.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuse-after-free"
#endif
    void release() {
        Block* b = m_block;
        m_block = nullptr;
        if (b && --b->count == 0) {
            delete b->obj;
            delete b;
        }
    }
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif

    T* get() const {
        return m_block ? m_block->obj : nullptr;
    }
    T* operator->() const {
        return get();
    }
    explicit operator bool() const {
        return m_block != nullptr;
    }
    long useCount() const {
        return m_block ? m_block->count : 0;
    }

  private:
    struct Block {
        T* obj;
        long count;
    };
    Block* m_block = nullptr;
};
