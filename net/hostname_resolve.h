#pragma once
// A name lookup that runs on a thread of its own, so that a caller can give
// up after a time-out even when the system resolver blocks.
#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/sockets.h"
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

    // Looks the name up within timeoutMs (0: no limit). On success addresses
    // holds every address of the name in the resolver's order, IPv6 and IPv4,
    // without 0.0.0.0 and ::. An IPv6 literal ("[::1]", "::1") is its own
    // answer without a lookup. A lookup that outlives the time-out sets
    // timedOut and keeps running on its thread.
    bool resolve(const char* name, uint32_t timeoutMs, LogBase& log,
                 std::vector<platform::IpAddress>& addresses, bool& timedOut);

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
    std::vector<platform::IpAddress> m_result;
};

// "%d.%d.%d.%d" of an address in network byte order.
void formatIPv4(uint32_t address, StringBuffer& out);

// What a host text says about IPv6. An IPv6 address has colons of its own,
// so it must be recognised before the rule that cuts a host at its first
// ':' (a port or junk there is ignored).
enum class Ipv6Host {
    None,       // no IPv6 literal: the host goes through the usual rules
    Literal,    // "[::1]", "[::1]:2525" or "::1"
    Malformed,  // starts with '[' but is none of the forms above
};
// For a Literal, address is the literal and port the number after "]:",
// or -1 when there is none. The text is taken as it is, without trimming.
Ipv6Host parseIPv6Host(const char* text, platform::IpAddress& address, int& port);
