#include "mail/dot_stuffer.h"

bool DotStuffer::writeBytes(const void* bytes, uint32_t n) {
    const char* p = static_cast<const char*>(bytes);
    uint32_t start = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (p[i] == '.' && m_afterLineFeed) {
            if (m_sink) {
                m_pending.append(p + start, i - start);
                m_pending.push_back('.');
            }
            start = i;
            ++m_total;
        }
        m_afterLineFeed = p[i] == '\n';
    }
    m_total += n;
    if (!m_sink) return true;
    m_pending.append(p + start, n - start);
    return m_pending.size() < kPiece || handOn();
}

bool DotStuffer::finish(const char* tail) {
    if (!m_sink) return true;
    m_pending.append(tail);
    return handOn();
}

bool DotStuffer::handOn() {
    const bool ok =
        m_pending.empty() || m_sink(m_pending.data(), static_cast<uint32_t>(m_pending.size()));
    m_pending.clear();
    return ok;
}
