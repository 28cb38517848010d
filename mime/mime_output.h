#pragma once
// Where rendered MIME text can go instead of one buffer: the same text,
// handed over in pieces.
#include <cstdint>

class MimeOutput {
  public:
    virtual ~MimeOutput() = default;
    // False ends the rendering: nothing more is written after a failure.
    virtual bool writeBytes(const void* bytes, uint32_t n) = 0;
};
