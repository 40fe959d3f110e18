// The exclusive lock file of platform/lockfile.h.
#include "platform/lockfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace cert::platform {

LockFile::LockFile(const std::string& path, unsigned mode) noexcept {
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode);
    if (m_fd < 0) {
        m_error = ErrnoToWinError(errno);
        return;
    }
    while (::flock(m_fd, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        // ENOLCK (a file system without locks), EBADF, ...: whatever the
        // reason, the file is not locked.
        ::close(m_fd);
        m_fd = -1;
        m_error = ERROR_LOCK_VIOLATION;
        return;
    }
}

LockFile::~LockFile() {
    if (m_fd >= 0) ::close(m_fd);  // closing releases the lock
}

}  // namespace cert::platform
