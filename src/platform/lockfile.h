// The one exclusive lock file of the platform layer: the registry hives'
// "registry.txt.lock" and the key sets' ".lock" are held through it.
//
// Internal to the library. The lock is flock(2) on a file that is created
// when missing and never removed (removing it would let a later locker
// lock a different file than a waiting one). It is held from construction
// until destruction and guards against other processes and, since each
// object opens its own descriptor, against other threads of this process.
// A lock that cannot be taken is never taken silently: the object then
// reports why and the caller must not go on.
#pragma once

#include <string>

#include "cert/platform.h"

namespace cert::platform {

class LockFile {
public:
    // Waits for the lock. `mode` is the mode a new lock file gets.
    explicit LockFile(const std::string& path, unsigned mode = 0600) noexcept;
    ~LockFile();
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;

    bool Held() const { return m_error == ERROR_SUCCESS; }
    // ERROR_SUCCESS when held; otherwise why not: the open error of the lock
    // file (ERROR_ACCESS_DENIED, ERROR_PATH_NOT_FOUND, ...) or
    // ERROR_LOCK_VIOLATION when the file opened but the lock was refused.
    DWORD Error() const { return m_error; }

private:
    int m_fd = -1;
    DWORD m_error = ERROR_SUCCESS;
};

}  // namespace cert::platform
