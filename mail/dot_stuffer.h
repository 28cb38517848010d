#pragma once
// The message text as it goes after DATA (RFC 5321 4.5.2): a line that
// starts with "." gets another in front, and the text is handed on in
// pieces of about kPiece bytes, or only counted.
#include <cstdint>
#include <functional>
#include <string>

#include "mime/mime_output.h"

class DotStuffer : public MimeOutput {
  public:
    static constexpr uint32_t kPiece = 64 * 1024;
    // Where the pieces go; false stops the text. Without one, only counts.
    using Sink = std::function<bool(const char* bytes, uint32_t n)>;
    explicit DotStuffer(Sink sink = nullptr) : m_sink(std::move(sink)) {}

    bool writeBytes(const void* bytes, uint32_t n) override;
    // Hands on what is left, with the tail (the end-of-data line) after it.
    bool finish(const char* tail);
    // Bytes of stuffed text so far, the tail not included.
    uint64_t total() const { return m_total; }

  private:
    bool handOn();

    Sink m_sink;
    std::string m_pending;
    uint64_t m_total = 0;
    bool m_afterLineFeed = false;  // the text itself never starts with "."
};
