#pragma once
// Base of the implementation objects: each owns the log of its last public
// operation.
#include "diag/logger.h"
#include "text/brenvik_object.h"

// The build date every public operation logs first as "DllDate".
inline constexpr const char* kDllDate = "Feb  8 2009";

class ClsBase : public BrenvikObject {
  public:
    ClsBase() = default;
    ~ClsBase() override = default;
    ClsBase(const ClsBase&) = delete;
    ClsBase& operator=(const ClsBase&) = delete;

    // Writes the log as XML to the path (trimmed); false for a null or
    // empty path or an incomplete write.
    bool SaveLastError(const char* path);
    Logger& log() { return m_log; }

  protected:
    Logger m_log;
};
