// Address lists (To, Cc, From as they are read from header text).
// Input: one flag byte (skip duplicates), then the list text.
// Oracle: no crash, out-of-bounds read or undefined behaviour; the count
// returned is the number of addresses appended; every address is valid;
// the header form (format) and the envelope form (the bare address) hold no
// CR, LF or NUL, so a list can never add a header line or an SMTP command;
// with skip-duplicates no bare address appears twice (ignoring case);
// parsing is deterministic.
#include <strings.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "diag/log_base.h"
#include "fuzz/fuzz_support.h"
#include "mime/rfc822_address.h"
#include "text/ext_ptr_array.h"

namespace {

bool hasLineBreak(const StringBuffer& s) {
    return std::memchr(s.getString(), '\r', s.length()) ||
           std::memchr(s.getString(), '\n', s.length()) ||
           std::memchr(s.getString(), '\0', s.length());
}

std::string formatted(const ExtPtrArray& list) {
    std::string all;
    for (uint32_t i = 0; i < list.count(); ++i) {
        StringBuffer f;
        list.at<Rfc822Address>(i)->format(f);
        all += fuzzsupport::str(f) + "\n";
    }
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 64 * 1024) return 0;
    const bool skipDuplicates = data[0] & 1;
    const std::string text =
        fuzzsupport::cText(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    LogNull log;

    ExtPtrArray list;
    const int n = Rfc822Address::parseAddressList(text.c_str(), list, skipDuplicates, log);
    FUZZ_CHECK(n >= 0 && static_cast<uint32_t>(n) == list.count(),
               "count returned differs from the addresses appended");
    for (uint32_t i = 0; i < list.count(); ++i) {
        const Rfc822Address* a = list.at<Rfc822Address>(i);
        FUZZ_CHECK(a && a->isValid(), "an appended address is not valid");
        StringBuffer f, bare, name;
        a->format(f);
        a->getAddress(bare);
        a->getName(name);
        FUZZ_CHECK(!hasLineBreak(f), "header form of an address holds CR, LF or NUL");
        FUZZ_CHECK(!hasLineBreak(bare), "bare address holds CR, LF or NUL");
        if (skipDuplicates) {
            for (uint32_t j = 0; j < i; ++j) {
                const StringBuffer& other = list.at<Rfc822Address>(j)->address();
                FUZZ_CHECK(strcasecmp(other.getString(), bare.getString()) != 0,
                           "skip-duplicates kept the same address twice");
            }
        }
    }

    ExtPtrArray again;
    Rfc822Address::parseAddressList(text.c_str(), again, skipDuplicates, log);
    FUZZ_CHECK(formatted(list) == formatted(again), "the same list parsed twice differs");
    list.deleteAll();
    again.deleteAll();

    // One mailbox, as From and the return path are read (their callers
    // have already taken out line breaks).
    if (Rfc822Address* one = Rfc822Address::parseAddress(text.c_str(), log)) {
        StringBuffer f;
        one->format(f);
        FUZZ_CHECK(text.find_first_of("\r\n") != std::string::npos || !hasLineBreak(f),
                   "header form of a mailbox holds a line break its text did not have");
        delete one;
    }
    return 0;
}
