// Scope ownership of the library's reference-counted objects in the mesh tests.
#pragma once

namespace kestovar::test {

// Holds one reference on a reference-counted object (an object, a list, a channel set) for the
// rest of the scope, releasing it with Delete(), and reads as the pointer.
template <class T>
class Owned {
public:
    Owned(T* object) : m_object(object) {}
    ~Owned() {
        if (m_object) m_object->Delete();
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    operator T*() const { return m_object; }
    T* operator->() const { return m_object; }
    T& operator*() const { return *m_object; }

private:
    T* m_object;
};

}  // namespace kestovar::test
