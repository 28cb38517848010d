#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

PathKind pathKind(const char* utf8Path) {
    struct stat st;
    if (!utf8Path || stat(utf8Path, &st) != 0) return PathKind::Missing;
    return S_ISREG(st.st_mode) ? PathKind::RegularFile : PathKind::Other;
}

File::~File() {
    close();
}

bool File::openRead(const char* utf8Path) {
    close();
    if (!utf8Path) return false;
    int fd = ::open(utf8Path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        m_lastError = errno;
        return false;
    }
    // Reading a directory would fail later with a less helpful error.
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        m_lastError = EISDIR;
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

bool File::createAlways(const char* utf8Path) {
    close();
    if (!utf8Path) return false;
    int fd = ::open(utf8Path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        m_lastError = errno;
        return false;
    }
    m_fd = fd;
    return true;
}

bool File::size(uint64_t& out) const {
    struct stat st;
    if (m_fd < 0 || fstat(static_cast<int>(m_fd), &st) != 0) return false;
    out = static_cast<uint64_t>(st.st_size);
    return true;
}

long long File::read(void* buf, size_t n) {
    if (m_fd < 0) return -1;
    size_t done = 0;
    char* p = static_cast<char*>(buf);
    while (done < n) {
        ssize_t r = ::read(static_cast<int>(m_fd), p + done, n - done);
        if (r < 0) {
            if (errno == EINTR) continue;
            m_lastError = errno;
            return done ? static_cast<long long>(done) : -1;
        }
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return static_cast<long long>(done);
}

long long File::write(const void* buf, size_t n) {
    if (m_fd < 0) return -1;
    size_t done = 0;
    const char* p = static_cast<const char*>(buf);
    while (done < n) {
        ssize_t w = ::write(static_cast<int>(m_fd), p + done, n - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            m_lastError = errno;
            return done ? static_cast<long long>(done) : -1;
        }
        done += static_cast<size_t>(w);
    }
    return static_cast<long long>(done);
}

void File::close() {
    if (m_fd >= 0) ::close(static_cast<int>(m_fd));
    m_fd = -1;
}

}  // namespace platform
