#pragma once
#include <cstdint>

// Common base of the library's value types. The serial number only helps
// when reading a crash dump; nothing depends on its value.
class BrenvikObject {
  public:
    BrenvikObject();
    BrenvikObject(const BrenvikObject&);
    BrenvikObject& operator=(const BrenvikObject&) { return *this; }
    virtual ~BrenvikObject();

    uint32_t serial() const { return m_serial; }

  private:
    uint32_t m_serial;
};

// Stops the process: a guard byte showed that an object was used after its
// destruction or that memory around it was overwritten.
[[noreturn]] void fatalObjectCorruption(const char* typeName);
