#include "net/hostname_resolve.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "diag/log_base.h"
#include "platform/clock.h"
#include "platform/sockets.h"
#include "platform/threads.h"

namespace {

std::atomic<int> g_live{0};

// The caller checks its time-out this often while it polls.
const uint32_t kPollMs = 10;
const uint32_t kTimeoutCheckMs = 200;

// The last label (a final dot aside) is a decimal or "0x" hex number.
bool endsInNumber(const StringBuffer& name) {
    std::string text(name.getString());
    if (!text.empty() && text.back() == '.') text.pop_back();
    const size_t dot = text.rfind('.');
    const std::string last = dot == std::string::npos ? text : text.substr(dot + 1);
    if (last.empty()) return false;
    size_t from = 0;
    bool hex = false;
    if (last.size() >= 2 && last[0] == '0' && (last[1] == 'x' || last[1] == 'X')) {
        from = 2;
        hex = true;
    }
    for (size_t i = from; i < last.size(); ++i) {
        const char c = last[i];
        const bool digit = c >= '0' && c <= '9';
        const bool hexDigit = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!digit && !(hex && hexDigit)) return false;
    }
    return true;
}

}  // namespace

void RefCountedObject::incRefCount() {
    m_refCount.fetch_add(1);
}

void RefCountedObject::decRefCount() {
    int n = m_refCount.load();
    for (;;) {
        if (n < 1) {
            m_refCount.store(0);
            return;
        }
        if (m_refCount.compare_exchange_weak(n, n - 1)) break;
    }
    if (n == 1) delete this;
}

void formatIPv4(uint32_t address, StringBuffer& out) {
    unsigned char b[4];
    std::memcpy(b, &address, 4);  // network order: first byte first
    char text[20];
    std::snprintf(text, sizeof(text), "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    out.setString(text);
}

Ipv6Host parseIPv6Host(const char* text, platform::IpAddress& address, int& port) {
    address = platform::IpAddress();
    port = -1;
    if (!text) return Ipv6Host::None;
    const std::string t(text);
    if (t.empty() || t[0] != '[')
        return platform::parseIPv6(t.c_str(), address) ? Ipv6Host::Literal : Ipv6Host::None;
    const size_t close = t.find(']');
    if (close == std::string::npos || !platform::parseIPv6(t.substr(1, close - 1).c_str(), address))
        return Ipv6Host::Malformed;
    if (close + 1 == t.size()) return Ipv6Host::Literal;
    // "]:" and 1 to 5 digits, at most 65535.
    const std::string digits = t.substr(close + 2);
    if (t[close + 1] != ':' || digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos || std::stoi(digits) > 65535) {
        address = platform::IpAddress();
        return Ipv6Host::Malformed;
    }
    port = std::stoi(digits);
    return Ipv6Host::Literal;
}

HostnameResolve::HostnameResolve() {
    g_live.fetch_add(1);
}

HostnameResolve::~HostnameResolve() {
    g_live.fetch_sub(1);
}

HostnameResolve* HostnameResolve::createNew() {
    return new (std::nothrow) HostnameResolve();
}

int HostnameResolve::liveCount() {
    return g_live.load();
}

void HostnameResolve::threadMain(void* self) {
    HostnameResolve* r = static_cast<HostnameResolve*>(self);
    try {
        r->lookUp();
    } catch (...) {
        // Nobody could receive it; the empty result already says "failed".
    }
    r->m_busy.store(false);
    r->decRefCount();
}

void HostnameResolve::lookUp() {
    platform::HostEntry entry;
    std::vector<platform::IpAddress> found;
    if (platform::resolveHost(m_name.getString(), entry)) found = std::move(entry.addresses);
    m_result = std::move(found);
}

bool HostnameResolve::resolve(const char* name, uint32_t timeoutMs, LogBase& log,
                              std::vector<platform::IpAddress>& addresses, bool& timedOut) {
    timedOut = false;
    addresses.clear();

    m_name.setString(name ? name : "");
    m_name.replaceAll("http://", "");
    m_name.replaceAll("https://", "");
    int cut = m_name.findChar('/');
    if (cut >= 0) m_name.truncate(static_cast<uint32_t>(cut));
    m_name.trim();
    platform::IpAddress literal;
    int literalPort = -1;
    const Ipv6Host v6 = parseIPv6Host(m_name.getString(), literal, literalPort);
    if (v6 == Ipv6Host::Literal) {
        addresses.push_back(literal);
        return true;
    }
    if (v6 == Ipv6Host::Malformed) m_name.clear();
    cut = m_name.findChar(':');
    if (cut >= 0) m_name.truncate(static_cast<uint32_t>(cut));
    m_name.trim();
    if (m_name.isEmpty()) {
        log.LogError("Invalid hostname for resolving hostname to IP address.");
        log.LogData("hostname", name ? name : "");
        return false;
    }
    // An address is its own answer. A name that ends in a number is meant
    // as an address too, but the system's lookup would read its octal, hex
    // or short form as another one than the certificate check reads, so
    // only the dotted-decimal form is taken.
    const uint32_t v4 = platform::parseIPv4(m_name.getString());
    if (v4 != platform::kAddrNone) {
        addresses.push_back(platform::IpAddress::v4(v4));
        return true;
    }
    if (endsInNumber(m_name)) {
        log.LogError(
            "Not an IPv4 address in dotted-decimal form (four numbers 0 to 255, "
            "without leading zeros).");
        log.LogDataSb("hostname", m_name);
        return false;
    }
    m_timeoutMs = timeoutMs;
    m_result.clear();

    // The thread's own reference keeps this object alive after a caller that
    // gave up has released it.
    incRefCount();
    m_busy.store(true);
    uint32_t started = platform::tickCount();
    if (!platform::startDetachedThread(threadMain, this)) {
        m_busy.store(false);
        decRefCount();
        log.LogError("Failed to start the thread for resolving the hostname.");
        return false;
    }

    uint32_t lastCheck = started;
    while (m_busy.load()) {
        platform::sleepMs(kPollMs);
        uint32_t now = platform::tickCount();
        if (now - lastCheck < kTimeoutCheckMs) continue;
        lastCheck = now;
        if (m_timeoutMs != 0 && now - started > m_timeoutMs && m_busy.load()) {
            timedOut = true;
            return false;
        }
    }
    // No connect can reach 0.0.0.0 or ::; a name that has only those has none.
    for (const platform::IpAddress& a : m_result)
        if (!a.isUnspecified()) addresses.push_back(a);
    return !addresses.empty();
}
