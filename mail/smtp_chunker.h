#pragma once
// The message text as BDAT chunks carry it (RFC 3030): as it is, without
// dot-stuffing, handed on in chunks whose size is known before each goes,
// the last one marked; or only counted.
#include <cstdint>
#include <functional>
#include <string>

#include "mime/mime_output.h"

class SmtpChunker : public MimeOutput {
  public:
    static constexpr uint32_t kChunk = 64 * 1024;
    // Where the chunks go; false stops the text. Without one, only counts.
    using Sink = std::function<bool(const char* bytes, uint32_t n, bool last)>;
    explicit SmtpChunker(Sink sink = nullptr) : m_sink(std::move(sink)) {}

    bool writeBytes(const void* bytes, uint32_t n) override;
    // The rest with the tail after it, as the last chunk, which is therefore
    // never empty when the tail is not.
    bool finish(const char* tail);
    // Bytes of text so far, the tail not included.
    uint64_t total() const { return m_total; }

  private:
    Sink m_sink;
    std::string m_pending;
    uint64_t m_total = 0;
};
