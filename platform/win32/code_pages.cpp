#include "platform/code_pages.h"

#include <windows.h>

#include <atomic>

namespace platform {
namespace {
std::atomic<unsigned> g_ansiOverride{0};
std::atomic<unsigned> g_oemOverride{0};
}  // namespace

unsigned ansiCodePage() {
    unsigned v = g_ansiOverride.load();
    return v ? v : GetACP();
}

unsigned oemCodePage() {
    unsigned v = g_oemOverride.load();
    return v ? v : GetOEMCP();
}

void setCodePagesForTesting(unsigned ansi, unsigned oem) {
    g_ansiOverride = ansi;
    g_oemOverride = oem;
}

}  // namespace platform
