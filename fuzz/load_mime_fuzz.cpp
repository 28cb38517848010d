// Feeds arbitrary bytes to the MIME reader, then renders and copies what it
// made: none of it may crash, read out of bounds or run away.
#include <cstddef>
#include <cstdint>

#include "diag/log_base.h"
#include "mime/email2.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4u * 1024u * 1024u) return 0;
    LogNull log;
    Email2* e = Email2::createFromMime(data, static_cast<uint32_t>(size), log);
    if (!e) return 0;
    StringBuffer out;
    e->assembleMime(out, nullptr, "BVX-", log);
    Email2* copy = e->clone(log);
    delete copy;
    delete e;
    return 0;
}
