#include "platform/random.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace platform {
namespace {

// For kernels older than getrandom (Linux 3.17).
bool readUrandom(unsigned char* p, size_t n) {
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    while (n) {
        ssize_t r = ::read(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        p += r;
        n -= static_cast<size_t>(r);
    }
    ::close(fd);
    return n == 0;
}

}  // namespace

bool secureRandom(void* out, size_t n) {
    unsigned char* p = static_cast<unsigned char*>(out);
    while (n) {
        // Large requests come back in pieces.
        ssize_t r = getrandom(p, n, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            return errno == ENOSYS && readUrandom(p, n);
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

}  // namespace platform
