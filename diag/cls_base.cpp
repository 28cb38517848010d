#include "diag/cls_base.h"

#include "text/string_buffer.h"

bool ClsBase::SaveLastError(const char* path) {
    if (!path) return false;
    // Hosts pass paths typed by users; stray blanks are never meant.
    StringBuffer trimmed(path);
    trimmed.trim();
    if (trimmed.isEmpty()) return false;
    return m_log.SaveLastError(0, trimmed.getString());
}
