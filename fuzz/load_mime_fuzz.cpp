// MIME loading and rendering.
// Input: arbitrary bytes read as a message.
// Oracle: reading, rendering (with and without the "BVX-" prefix left out)
// and cloning never crash, read out of bounds or hit undefined behaviour;
// the rendering of a message that loaded loads again, and that copy renders
// too.
#include <cstddef>
#include <cstdint>

#include "diag/log_base.h"
#include "fuzz/fuzz_support.h"
#include "mime/email2.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1024u * 1024u) return 0;
    LogNull log;
    std::unique_ptr<Email2> e = Email2::createFromMime(data, static_cast<uint32_t>(size), log);
    if (!e) return 0;

    StringBuffer sent;
    e->assembleMime(sent, nullptr, "BVX-", log);
    StringBuffer out;
    e->assembleMime(out, nullptr, nullptr, log);

    std::unique_ptr<Email2> again = Email2::createFromMime(out.getString(), out.length(), log);
    FUZZ_CHECK(again, "the rendering of a loaded message does not load");
    StringBuffer out2;
    again->assembleMime(out2, nullptr, nullptr, log);

    FUZZ_CHECK(e->clone(log), "clone of a loaded message failed");
    return 0;
}
