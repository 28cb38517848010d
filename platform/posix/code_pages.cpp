#include "platform/code_pages.h"

#include <langinfo.h>
#include <strings.h>

#include <atomic>
#include <clocale>
#include <cstring>

namespace platform {
namespace {
std::atomic<unsigned> g_ansiOverride{0};
std::atomic<unsigned> g_oemOverride{0};

unsigned systemAnsi() {
    // The process locale is never changed; read the codeset the environment
    // asks for without touching the global locale.
    locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (!loc) return 1252;
    const char* cs = nl_langinfo_l(CODESET, loc);
    bool utf8 = cs && (strcasecmp(cs, "UTF-8") == 0 || strcasecmp(cs, "utf8") == 0);
    freelocale(loc);
    return utf8 ? 65001 : 1252;
}
}  // namespace

unsigned ansiCodePage() {
    unsigned v = g_ansiOverride.load();
    if (v) return v;
    static const unsigned sys = systemAnsi();
    return sys;
}

unsigned oemCodePage() {
    unsigned v = g_oemOverride.load();
    return v ? v : 437;
}

void setCodePagesForTesting(unsigned ansi, unsigned oem) {
    g_ansiOverride = ansi;
    g_oemOverride = oem;
}

}  // namespace platform
