#pragma once
// The system's ANSI and OEM code pages.
namespace platform {

unsigned ansiCodePage();
unsigned oemCodePage();

// Tests pin both values so that conversions do not depend on the machine's
// locale. A value of 0 returns to the system's own value.
void setCodePagesForTesting(unsigned ansi, unsigned oem);

}  // namespace platform
