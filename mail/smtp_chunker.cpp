#include "mail/smtp_chunker.h"

#include <cstring>

bool SmtpChunker::writeBytes(const void* bytes, uint32_t n) {
    m_total += n;
    if (!m_sink) return true;
    m_pending.append(static_cast<const char*>(bytes), n);
    // A full chunk goes only once more text follows it: the last chunk
    // must be the one finish hands on.
    while (m_pending.size() > kChunk) {
        if (!m_sink(m_pending.data(), kChunk, false)) return false;
        m_pending.erase(0, kChunk);
    }
    return true;
}

bool SmtpChunker::finish(const char* tail) {
    if (!m_sink) return true;
    m_pending.append(tail, strlen(tail));
    const bool ok = m_sink(m_pending.data(), static_cast<uint32_t>(m_pending.size()), true);
    m_pending.clear();
    return ok;
}
