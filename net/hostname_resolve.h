#pragma once
// A name lookup that runs on a thread of its own, so that a caller can give
// up after a time-out even when the system resolver blocks.
#include <atomic>
#include <cstdint>

#include "text/brenvik_object.h"
#include "text/string_buffer.h"

class LogBase;

// Shared by the threads that hold it: the last release deletes it.
class RefCountedObject : public BrenvikObject {
  public:
    RefCountedObject(const RefCountedObject&) = delete;
    RefCountedObject& operator=(const RefCountedObject&) = delete;

    void incRefCount();
    // Deletes the object when this takes the count from 1 to 0; a count that
    // is already below 1 stays at 0.
    void decRefCount();
    int refCount() const { return m_refCount.load(); }

  protected:
    RefCountedObject() = default;  // one reference, the creator's
    ~RefCountedObject() override = default;

  private:
    std::atomic<int> m_refCount{1};
};

class HostnameResolve : public RefCountedObject {
  public:
    // Null when memory ran out. The caller holds the one reference.
    static HostnameResolve* createNew();

    // Looks the name up within timeoutMs (0: no limit). On success ipText is
    // the dotted quad and address its value in network byte order. A lookup
    // that outlives the time-out sets timedOut and keeps running on its thread.
    bool resolve(const char* name, uint32_t timeoutMs, LogBase& log, StringBuffer& ipText,
                 uint32_t& address, bool& timedOut);

    // Lookup objects alive in the process, so tests can see a lookup thread
    // finish and free its object after its caller gave up.
    static int liveCount();

  private:
    HostnameResolve();
    ~HostnameResolve() override;
    static void threadMain(void* self);
    void lookUp();

    StringBuffer m_name;
    uint32_t m_timeoutMs = 0;
    std::atomic<bool> m_busy{false};
    StringBuffer m_resultText;
    uint32_t m_resultAddress = 0;
};

// "%d.%d.%d.%d" of an address in network byte order.
void formatIPv4(uint32_t address, StringBuffer& out);
