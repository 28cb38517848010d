#pragma once
// Whole-file access for attachments and the saved error log. Paths are
// UTF-8 on every platform.
#include <cstddef>
#include <cstdint>

namespace platform {

enum class PathKind { Missing, RegularFile, Other };

// What stands at the path (the wide stat of the host's attachment check).
PathKind pathKind(const char* utf8Path);

class File {
  public:
    File() = default;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens an existing file for reading.
    bool openRead(const char* utf8Path);
    // Creates the file anew for writing, replacing an existing one.
    bool createAlways(const char* utf8Path);
    bool isOpen() const { return m_fd >= 0; }

    // The size of the open file; false when the system cannot tell.
    bool size(uint64_t& out) const;
    // Reads up to n bytes; the count actually read, or -1 on error.
    long long read(void* buf, size_t n);
    // Writes all n bytes unless the system fails; the count written, or -1.
    long long write(const void* buf, size_t n);
    void close();

    // The system error number of the last failed call (Windows numbering on Windows).
    int lastError() const { return m_lastError; }

  private:
    intptr_t m_fd = -1;
    int m_lastError = 0;
};

}  // namespace platform
